// direction_ray_scores(directions, length, moving, obstacles)
#include <Python.h>

#include <cmath>

#include "module/functions.h"
#include "rays/direction_scores.h"
#include "rays/ray_mesh_args.h"
#include "runtime/array_arg.h"
#include "runtime/call_args.h"
#include "runtime/gil.h"
#include "runtime/py_memory.h"
#include "runtime/thread_count.h"

namespace zet {

PyObject* py_direction_ray_scores(PyObject*, PyObject* args) {
  PyObject *directions_obj, *moving_obj, *obstacles_obj;
  DirectionScoresParams p{};
  if (!PyArg_ParseTuple(args, "OdOO:direction_ray_scores", &directions_obj, &p.length, &moving_obj,
                        &obstacles_obj) ||
      !require(std::isfinite(p.length) && p.length >= 0.0,
               "length must be finite and non-negative"))
    return nullptr;
  if (!PyTuple_Check(obstacles_obj)) {
    PyErr_SetString(PyExc_TypeError, "obstacles must be a tuple");
    return nullptr;
  }
  ArrayArg directions;
  RayMeshArgs meshes;
  if (!meshes.allocate(PyTuple_GET_SIZE(obstacles_obj)) ||
      !acquire_array(directions_obj, directions, kFloat64, {-1, 3}, "directions") ||
      !meshes.acquire(moving_obj, obstacles_obj))
    return nullptr;
  const int64_t q = directions.extent(0);
  PyRef counts = new_bytes(q * sizeof(int64_t));
  if (!counts) return nullptr;
  PyRef scores = new_bytes(q * sizeof(double));
  if (!scores) return nullptr;
  p.directions = directions.data<double>();
  p.direction_count = q;
  p.moving = &meshes.moving_view;
  p.obstacles = meshes.obstacle_views.get();
  p.obstacle_count = meshes.obstacle_count;
  p.counts = bytes_data<int64_t>(counts);
  p.scores = bytes_data<double>(scores);

  const int64_t threads = effective_thread_count();
  bool completed;
  {
    GilReleased unlocked;
    completed = run_direction_scores(p, threads);
  }
  if (!completed) return PyErr_NoMemory();
  return PyTuple_Pack(2, counts.get(), scores.get());
}

}  // namespace zet
