// cone_groups(generators, generator_mask, rank_tolerance, facet_tolerance)
#include <Python.h>

#include "cones/cone_group_kernel.h"
#include "cones/cone_group_result.h"
#include "module/functions.h"
#include "runtime/array_arg.h"

namespace zet {

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
