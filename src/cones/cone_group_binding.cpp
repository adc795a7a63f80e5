// pair_cones(moving, obstacle, epsilon, rank_tolerance, facet_tolerance)
// cone_groups(generators, generator_mask, rank_tolerance, facet_tolerance)
#include <Python.h>

#include <algorithm>

#include "cones/byte_sizes.h"
#include "cones/cone_group_kernel.h"
#include "module/functions.h"
#include "runtime/array_arg.h"
#include "runtime/gil.h"
#include "runtime/py_memory.h"

namespace zet {
namespace {

// Count pass, compaction, fill pass; returns the 9-tuple of the groups in input order.
PyObject* run_cone_group_job(ConeGroupJob& job, Py_ssize_t n) {
  const size_t items = static_cast<size_t>(n);
  PyRef has_group = new_bytes(items);
  PyMemArray<uint8_t> facet_counts;
  PyMemArray<int64_t> group_index;
  if (!has_group || !facet_counts.allocate(std::max<size_t>(items, 1)) ||
      !group_index.allocate(std::max<size_t>(items, 1)))
    return nullptr;
  job.has_group = bytes_data<uint8_t>(has_group);
  job.facet_counts = facet_counts.get();
  job.group_index = group_index.get();
  job.pass = 0;
  {
    GilReleased unlocked;
    run_cone_group_pass(job, n);
  }
  const size_t groups = static_cast<size_t>(compact_cone_groups(job, n));
  const size_t capacity = static_cast<size_t>(job.facet_capacity);
  PyRef generators = new_bytes(saturating_product(groups, 27, sizeof(double)));
  PyRef generator_mask = generators ? new_bytes(saturating_product(groups, 9)) : PyRef();
  PyRef facets = generator_mask
                     ? new_bytes(saturating_product(groups, capacity, 3 * sizeof(double)))
                     : PyRef();
  PyRef facet_mask = facets ? new_bytes(saturating_product(groups, capacity)) : PyRef();
  PyRef blocks_all = facet_mask ? new_bytes(groups) : PyRef();
  PyRef cap_axes = blocks_all ? new_bytes(saturating_product(groups, 3, sizeof(double))) : PyRef();
  PyRef cap_cos = cap_axes ? new_bytes(saturating_product(groups, sizeof(double))) : PyRef();
  if (!cap_cos) return nullptr;
  job.generators = bytes_data<double>(generators);
  job.generator_mask = bytes_data<uint8_t>(generator_mask);
  job.facets = bytes_data<double>(facets);
  job.facet_mask = bytes_data<uint8_t>(facet_mask);
  job.blocks_all = bytes_data<uint8_t>(blocks_all);
  job.cap_axes = bytes_data<double>(cap_axes);
  job.cap_cos = bytes_data<double>(cap_cos);
  job.pass = 1;
  {
    GilReleased unlocked;
    run_cone_group_pass(job, n);
  }
  return Py_BuildValue("(OnOOOOOOO)", has_group.get(), static_cast<Py_ssize_t>(capacity),
                       generators.get(), generator_mask.get(), facets.get(), facet_mask.get(),
                       blocks_all.get(), cap_axes.get(), cap_cos.get());
}

}  // namespace

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

PyObject* py_cone_groups(PyObject*, PyObject* args) {
  PyObject *generators_obj, *mask_obj;
  double rank_tolerance, facet_tolerance;
  if (!PyArg_ParseTuple(args, "OOdd:cone_groups", &generators_obj, &mask_obj, &rank_tolerance,
                        &facet_tolerance))
    return nullptr;
  ArrayArg generators, mask;
  if (!acquire_array(generators_obj, generators, kFloat64, {-1, kConeSlots, 3}, "generators") ||
      !acquire_array(mask_obj, mask, kBool, {-1, kConeSlots}, "generator_mask"))
    return nullptr;
  const Py_ssize_t n = generators.extent(0);
  if (mask.extent(0) != n) {
    PyErr_SetString(PyExc_ValueError, "generator mask shape does not match generators");
    return nullptr;
  }
  ConeGroupJob job;
  job.input_generators = generators.data<double>();
  job.input_mask = mask.data<uint8_t>();
  job.rank_tolerance = rank_tolerance;
  job.facet_tolerance = facet_tolerance;
  return run_cone_group_job(job, n);
}

}  // namespace zet
