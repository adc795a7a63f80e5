// pair_cones(moving, obstacle, epsilon, rank_tolerance, facet_tolerance)
#include <Python.h>

#include "cones/cone_group_kernel.h"
#include "cones/cone_group_result.h"
#include "module/functions.h"
#include "runtime/array_arg.h"

namespace zet {

PyObject* py_pair_cones(PyObject*, PyObject* args) {
  PyObject *moving_obj, *obstacle_obj, *epsilon_obj;
  double rank_tolerance, facet_tolerance;
  if (!PyArg_ParseTuple(args, "OOOdd:pair_cones", &moving_obj, &obstacle_obj, &epsilon_obj,
                        &rank_tolerance, &facet_tolerance))
    return nullptr;
  ArrayArg moving, obstacle, epsilon;
  if (!acquire_array(moving_obj, moving, kFloat64, {-1, 3, 3}, "moving triangles") ||
      !acquire_array(obstacle_obj, obstacle, kFloat64, {-1, 3, 3}, "obstacle triangles") ||
      !acquire_array(epsilon_obj, epsilon, kFloat64, {-1}, "epsilon"))
    return nullptr;
  const Py_ssize_t n = moving.extent(0);
  if (obstacle.extent(0) != n || epsilon.extent(0) != n) {
    PyErr_SetString(PyExc_ValueError, "pair arrays must have the same length");
    return nullptr;
  }
  ConeGroupJob job;
  job.moving = moving.data<double>();
  job.obstacle = obstacle.data<double>();
  job.epsilon = epsilon.data<double>();
  job.rank_tolerance = rank_tolerance;
  job.facet_tolerance = facet_tolerance;
  return run_cone_group_job(job, n);
}

}  // namespace zet
