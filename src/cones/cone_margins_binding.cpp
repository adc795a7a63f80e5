// cone_margins(vectors, selected, kinds, generators, generator_mask, facets, facet_mask,
//              blocks_all, shifts, wedge_planes, wedge_first, wedge_second, wedge_mask,
//              common_shift)
#include <Python.h>

#include "cones/byte_sizes.h"
#include "cones/cone_margin.h"
#include "module/functions.h"
#include "cones/selected_groups.h"
#include "runtime/array_arg.h"
#include "runtime/gil.h"
#include "runtime/parallel_for.h"
#include "runtime/py_memory.h"

namespace zet {
namespace {

constexpr int64_t kMarginGrain = 8192;


}  // namespace

PyObject* py_cone_margins(PyObject*, PyObject* args) {
  PyObject *vectors_obj, *selected_obj, *kinds_obj, *generators_obj, *generator_mask_obj,
      *facets_obj, *facet_mask_obj, *blocks_all_obj, *shifts_obj, *planes_obj, *first_obj,
      *second_obj, *wedge_mask_obj;
  double common_shift;
  if (!PyArg_ParseTuple(args, "OOOOOOOOOOOOOd:cone_margins", &vectors_obj, &selected_obj,
                        &kinds_obj, &generators_obj, &generator_mask_obj, &facets_obj,
                        &facet_mask_obj, &blocks_all_obj, &shifts_obj, &planes_obj, &first_obj,
                        &second_obj, &wedge_mask_obj, &common_shift))
    return nullptr;
  ArrayArg vectors, selected, kinds, generators, generator_mask, facets, facet_mask, blocks_all,
      shifts, planes, first, second, wedge_mask;
  if (!acquire_array(vectors_obj, vectors, kFloat64, {-1, 3}, "vectors") ||
      !acquire_array(selected_obj, selected, kInt64, {-1}, "selected") ||
      !acquire_array(kinds_obj, kinds, kInt8, {-1}, "kinds") ||
      !acquire_array(generators_obj, generators, kFloat64, {-1, -1, 3}, "generators") ||
      !acquire_array(generator_mask_obj, generator_mask, kBool, {-1, -1}, "generator_mask") ||
      !acquire_array(facets_obj, facets, kFloat64, {-1, -1, 3}, "facets") ||
      !acquire_array(facet_mask_obj, facet_mask, kBool, {-1, -1}, "facet_mask") ||
      !acquire_array(blocks_all_obj, blocks_all, kBool, {-1}, "blocks_all") ||
      !acquire_array(shifts_obj, shifts, kFloat64, {-1}, "shifts") ||
      !acquire_array(planes_obj, planes, kFloat64, {-1, -1, 3}, "wedges") ||
      !acquire_array(first_obj, first, kFloat64, {-1, -1, 3}, "wedges") ||
      !acquire_array(second_obj, second, kFloat64, {-1, -1, 3}, "wedges") ||
      !acquire_array(wedge_mask_obj, wedge_mask, kBool, {-1, -1}, "wedge_mask"))
    return nullptr;
  const Py_ssize_t groups = kinds.extent(0), slots = generators.extent(1),
                   facet_slots = facets.extent(1), wedges = planes.extent(1);
  if (generators.extent(0) != groups || generator_mask.extent(0) != groups ||
      facets.extent(0) != groups || facet_mask.extent(0) != groups ||
      blocks_all.extent(0) != groups || shifts.extent(0) != groups ||
      wedge_mask.extent(0) != groups || generator_mask.extent(1) != slots ||
      facet_mask.extent(1) != facet_slots || wedge_mask.extent(1) != wedges) {
    PyErr_SetString(PyExc_ValueError, "cone constraint arrays have inconsistent shapes");
    return nullptr;
  }
  if (planes.extent(0) != groups || first.extent(0) != groups || first.extent(1) != wedges ||
      second.extent(0) != groups || second.extent(1) != wedges) {
    PyErr_SetString(PyExc_ValueError, "wedge arrays have inconsistent shapes");
    return nullptr;
  }
  if (!selection_in_range(selected, groups)) return nullptr;
  const Py_ssize_t n = vectors.extent(0), s = selected.extent(0);
  PyRef output = new_bytes(saturating_product(size_t(n), size_t(s), sizeof(double)));
  if (!output) return nullptr;
  const MarginContext context{.directions = vectors.data<double>(),
                              .selected = selected.data<int64_t>(),
                              .kinds = kinds.data<int8_t>(),
                              .generators = generators.data<double>(),
                              .facets = facets.data<double>(),
                              .shifts = shifts.data<double>(),
                              .wedge_planes = planes.data<double>(),
                              .wedge_first = first.data<double>(),
                              .wedge_second = second.data<double>(),
                              .generator_mask = generator_mask.data<uint8_t>(),
                              .facet_mask = facet_mask.data<uint8_t>(),
                              .blocks_all = blocks_all.data<uint8_t>(),
                              .wedge_mask = wedge_mask.data<uint8_t>(),
                              .S = s,
                              .K = slots,
                              .F = facet_slots,
                              .W = wedges,
                              .common_shift = common_shift,
                              .output = bytes_data<double>(output)};
  auto rectangle = [&context](int64_t a_begin, int64_t a_end, int64_t b_begin, int64_t b_end) {
    margin_rows(context, a_begin, a_end, b_begin, b_end);
  };
  {
    GilReleased unlocked;
    for_each_range(n, s, kMarginGrain, rectangle);
  }
  return output.release();
}

}  // namespace zet
