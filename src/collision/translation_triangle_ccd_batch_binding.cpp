// translation_triangle_ccd_batch(moving, obstacle, velocity, paths, abs_tol, rel_tol, sin_tol)
#include <Python.h>

#include "collision/ccd_kernel.h"
#include "module/functions.h"
#include "runtime/array_arg.h"
#include "runtime/gil.h"
#include "runtime/py_memory.h"

namespace zet {

PyObject* py_translation_triangle_ccd_batch(PyObject*, PyObject* args) {
  PyObject *moving_obj, *obstacle_obj, *velocity_obj, *paths_obj;
  double abs_tol, rel_tol, sin_tol;
  if (!PyArg_ParseTuple(args, "OOOOddd:translation_triangle_ccd_batch", &moving_obj, &obstacle_obj,
                        &velocity_obj, &paths_obj, &abs_tol, &rel_tol, &sin_tol))
    return nullptr;
  ArrayArg moving, obstacle, velocity, paths;
  if (!acquire_strict_float64(moving_obj, moving, {-1, 3, 3}, "moving") ||
      !acquire_strict_float64(obstacle_obj, obstacle, {-1, 3, 3}, "obstacle") ||
      !acquire_strict_float64(velocity_obj, velocity, {3}, "velocity") ||
      !acquire_strict_float64(paths_obj, paths, {-1, 2}, "paths"))
    return nullptr;
  const Py_ssize_t n = moving.extent(0);
  if (obstacle.extent(0) != n || paths.extent(0) != n) {
    PyErr_SetString(PyExc_ValueError, "batch dimensions must match");
    return nullptr;
  }
  PyMemArray<TriangleCcdResult> results;
  if (!results.allocate(size_t(n))) return nullptr;

  const double* a = moving.data<double>();
  const double* b = obstacle.data<double>();
  const double* t = paths.data<double>();
  const double* vp = velocity.data<double>();
  const double v[3] = {vp[0], vp[1], vp[2]};
  {
    GilReleased unlocked;
    for (Py_ssize_t i = 0; i < n; ++i)
      results[i] = translating_triangle_ccd(a + 9 * i, b + 9 * i, v, t[2 * i], t[2 * i + 1],
                                            abs_tol, rel_tol, sin_tol);
  }

  PyRef list(PyList_New(n));
  if (!list) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    const TriangleCcdResult& r = results[i];
    PyObject* item =
        Py_BuildValue("(iddiddiii)", r.status, r.enter, r.exit, r.strict, r.strict_enter,
                      r.strict_exit, r.axis_count, r.skipped_axes, r.reason);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), i, item);
  }
  return list.release();
}

}  // namespace zet
