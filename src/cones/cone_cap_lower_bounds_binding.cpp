// cone_cap_lower_bounds(directions, selected, cap_axes, cap_cos, blocks_all, shifts,
//                       angular_radius, common_shift)
#include <Python.h>

#include <algorithm>

#include "cones/byte_sizes.h"
#include "cones/cap_bound.h"
#include "cones/selected_groups.h"
#include "module/functions.h"
#include "runtime/array_arg.h"
#include "runtime/gil.h"
#include "runtime/parallel_for.h"
#include "runtime/py_memory.h"

namespace zet {
namespace {

constexpr int64_t kCapBoundGrain = 16384;

// What the workers read: the caps, the directions with their radii, the selection and its
// half-angle table; each worker writes the output rectangle it was given.
struct CapBoundJob {
  CapArrays caps;
  const double* directions;      // D x 3
  const double* angular_radius;  // A, 1 or D
  const CapAngle* angles;        // S
  const int64_t* selected;       // S
  int64_t A, S;
  double* output;  // D x S
};

void cap_bound_rows(const CapBoundJob& job, int64_t a_begin, int64_t a_end, int64_t b_begin,
                    int64_t b_end) {
  for (int64_t i = a_begin; i < a_end; ++i) {
    const double* u = job.directions + 3 * i;
    const AngularRadius radius =
        row_radius(job.angular_radius[job.A == 1 ? 0 : i], b_end - b_begin);
    double* row = job.output + job.S * i;
    for (int64_t j = b_begin; j < b_end; ++j)
      row[j] = cap_lower_bound(job.caps, u, job.selected[j], job.angles[j], radius);
  }
}

}  // namespace

PyObject* py_cone_cap_lower_bounds(PyObject*, PyObject* args) {
  PyObject *directions_obj, *selected_obj, *cap_axes_obj, *cap_cos_obj, *blocks_all_obj,
      *shifts_obj, *radius_obj;
  double common_shift;
  if (!PyArg_ParseTuple(args, "OOOOOOOd:cone_cap_lower_bounds", &directions_obj, &selected_obj,
                        &cap_axes_obj, &cap_cos_obj, &blocks_all_obj, &shifts_obj, &radius_obj,
                        &common_shift))
    return nullptr;
  ArrayArg directions, selected, cap_axes, cap_cos, blocks_all, shifts, radius;
  if (!acquire_array(directions_obj, directions, kFloat64, {-1, 3}, "directions") ||
      !acquire_array(selected_obj, selected, kInt64, {-1}, "selected") ||
      !acquire_array(cap_axes_obj, cap_axes, kFloat64, {-1, 3}, "cap_axes") ||
      !acquire_array(cap_cos_obj, cap_cos, kFloat64, {-1}, "cap_cos") ||
      !acquire_array(blocks_all_obj, blocks_all, kBool, {-1}, "blocks_all") ||
      !acquire_array(shifts_obj, shifts, kFloat64, {-1}, "shifts") ||
      !acquire_array(radius_obj, radius, kFloat64, {-1}, "angular_radius"))
    return nullptr;
  const Py_ssize_t groups = cap_axes.extent(0), d = directions.extent(0), a = radius.extent(0),
                   s = selected.extent(0);
  if (cap_cos.extent(0) != groups || blocks_all.extent(0) != groups || shifts.extent(0) != groups ||
      (a != 1 && a != d)) {
    PyErr_SetString(PyExc_ValueError, "cap bound arrays have inconsistent shapes");
    return nullptr;
  }
  if (!selection_in_range(selected, groups)) return nullptr;
  PyRef output = new_bytes(saturating_product(size_t(d), size_t(s), sizeof(double)));
  PyMemArray<CapAngle> angles;
  if (!output || !angles.allocate(std::max<size_t>(size_t(s), 1))) return nullptr;
  const int64_t* index = selected.data<int64_t>();
  const CapBoundJob job{{cap_axes.data<double>(), cap_cos.data<double>(),
                         blocks_all.data<uint8_t>(), shifts.data<double>(), common_shift},
                        directions.data<double>(),
                        radius.data<double>(),
                        angles.get(),
                        index,
                        a,
                        s,
                        bytes_data<double>(output)};
  auto rectangle = [&job](int64_t a_begin, int64_t a_end, int64_t b_begin, int64_t b_end) {
    cap_bound_rows(job, a_begin, a_end, b_begin, b_end);
  };
  {
    GilReleased unlocked;
    for (Py_ssize_t j = 0; j < s; ++j) angles[j] = cap_angle(job.caps, index[j]);
    for_each_range(d, s, kCapBoundGrain, rectangle);
  }
  return output.release();
}

}  // namespace zet
