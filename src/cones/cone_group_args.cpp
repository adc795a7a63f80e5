#include "cones/cone_group_args.h"

namespace zet {

bool ConeGroupArgs::acquire(PyObject* const o[11]) {
  return acquire_array(o[0], kinds, kInt8, {-1}, "kinds") &&
         acquire_array(o[1], generators, kFloat64, {-1, -1, 3}, "generators") &&
         acquire_array(o[2], generator_mask, kBool, {-1, -1}, "generator_mask") &&
         acquire_array(o[3], facets, kFloat64, {-1, -1, 3}, "facets") &&
         acquire_array(o[4], facet_mask, kBool, {-1, -1}, "facet_mask") &&
         acquire_array(o[5], blocks_all, kBool, {-1}, "blocks_all") &&
         acquire_array(o[6], shifts, kFloat64, {-1}, "shifts") &&
         acquire_array(o[7], planes, kFloat64, {-1, -1, 3}, "wedges") &&
         acquire_array(o[8], first, kFloat64, {-1, -1, 3}, "wedges") &&
         acquire_array(o[9], second, kFloat64, {-1, -1, 3}, "wedges") &&
         acquire_array(o[10], wedge_mask, kBool, {-1, -1}, "wedge_mask");
}

bool ConeGroupArgs::shapes_agree(bool more_rows_agree) const {
  const Py_ssize_t g = groups(), k = generators.extent(1), f = facets.extent(1),
                   w = planes.extent(1);
  if (!(more_rows_agree && generators.extent(0) == g && generator_mask.extent(0) == g &&
        generator_mask.extent(1) == k && facets.extent(0) == g && facet_mask.extent(0) == g &&
        facet_mask.extent(1) == f && blocks_all.extent(0) == g && shifts.extent(0) == g &&
        wedge_mask.extent(0) == g && wedge_mask.extent(1) == w)) {
    PyErr_SetString(PyExc_ValueError, "cone constraint arrays have inconsistent shapes");
    return false;
  }
  if (!(planes.extent(0) == g && first.extent(0) == g && first.extent(1) == w &&
        second.extent(0) == g && second.extent(1) == w)) {
    PyErr_SetString(PyExc_ValueError, "wedge arrays have inconsistent shapes");
    return false;
  }
  return true;
}

MarginContext ConeGroupArgs::margin_context(double common_shift) const {
  return {.directions = nullptr,
          .selected = nullptr,
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
          .S = 0,
          .K = generators.extent(1),
          .F = facets.extent(1),
          .W = planes.extent(1),
          .common_shift = common_shift,
          .output = nullptr};
}

}  // namespace zet
