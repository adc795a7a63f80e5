// clipped_overlap_areas(subject, clip, tolerance)
#include <Python.h>

#include "checks/overlap_kernel.h"
#include "module/functions.h"
#include "runtime/array_arg.h"
#include "runtime/gil.h"
#include "runtime/parallel_for.h"
#include "runtime/py_memory.h"

namespace zet {
namespace {

// Least number of pairs that justifies a thread.
constexpr int64_t kOverlapGrain = 4096;

}  // namespace

PyObject* py_clipped_overlap_areas(PyObject*, PyObject* args) {
  PyObject *subject_obj, *clip_obj;
  double tolerance;
  if (!PyArg_ParseTuple(args, "OOd:clipped_overlap_areas", &subject_obj, &clip_obj, &tolerance))
    return nullptr;
  ArrayArg subject, clip;
  if (!acquire_array(subject_obj, subject, kFloat64, {-1, 3, 2}, "subject") ||
      !acquire_array(clip_obj, clip, kFloat64, {-1, 3, 2}, "clip"))
    return nullptr;
  const Py_ssize_t n = subject.extent(0);
  if (clip.extent(0) != n) {
    PyErr_SetString(PyExc_ValueError, "subject and clip must have the same length");
    return nullptr;
  }
  PyRef areas = new_bytes(8 * size_t(n));
  if (!areas) return nullptr;
  const double* s = subject.data<double>();
  const double* c = clip.data<double>();
  double* out = bytes_data<double>(areas);
  auto rows = [&](int64_t begin, int64_t end, int64_t, int64_t) {
    clipped_overlap_area_rows(s, c, tolerance, out, begin, end);
  };
  {
    GilReleased unlocked;
    for_each_range(n, 1, kOverlapGrain, rows);
  }
  return areas.release();
}

}  // namespace zet
