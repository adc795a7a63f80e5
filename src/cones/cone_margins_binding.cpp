// cone_margins(vectors, selected, kinds, generators, generator_mask, facets, facet_mask,
//              blocks_all, shifts, wedge_planes, wedge_first, wedge_second, wedge_mask,
//              common_shift)
#include <Python.h>

#include "cones/byte_sizes.h"
#include "cones/cone_group_args.h"
#include "cones/cone_margin.h"
#include "cones/selected_groups.h"
#include "module/functions.h"
#include "runtime/array_arg.h"
#include "runtime/gil.h"
#include "runtime/parallel_for.h"
#include "runtime/py_memory.h"

namespace zet {
namespace {

constexpr int64_t kMarginGrain = 8192;

}  // namespace

PyObject* py_cone_margins(PyObject*, PyObject* args) {
  PyObject *vectors_obj, *selected_obj, *group_objs[11];
  double common_shift;
  if (!PyArg_ParseTuple(args, "OOOOOOOOOOOOOd:cone_margins", &vectors_obj, &selected_obj,
                        &group_objs[0], &group_objs[1], &group_objs[2], &group_objs[3],
                        &group_objs[4], &group_objs[5], &group_objs[6], &group_objs[7],
                        &group_objs[8], &group_objs[9], &group_objs[10], &common_shift))
    return nullptr;
  ArrayArg vectors, selected;
  ConeGroupArgs groups;
  if (!acquire_array(vectors_obj, vectors, kFloat64, {-1, 3}, "vectors") ||
      !acquire_array(selected_obj, selected, kInt64, {-1}, "selected") ||
      !groups.acquire(group_objs) || !groups.shapes_agree(true) ||
      !selection_in_range(selected, groups.groups()))
    return nullptr;
  const Py_ssize_t n = vectors.extent(0), s = selected.extent(0);
  PyRef output = new_bytes(saturating_product(size_t(n), size_t(s), sizeof(double)));
  if (!output) return nullptr;
  MarginContext context = groups.margin_context(common_shift);
  context.directions = vectors.data<double>();
  context.selected = selected.data<int64_t>();
  context.S = s;
  context.output = bytes_data<double>(output);
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
