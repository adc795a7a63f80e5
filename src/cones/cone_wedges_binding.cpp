// cone_wedges(generators, generator_mask)
#include <Python.h>

#include "cones/byte_sizes.h"
#include "cones/cone_wedges.h"
#include "module/functions.h"
#include "runtime/array_arg.h"
#include "runtime/gil.h"
#include "runtime/py_memory.h"

namespace zet {

PyObject* py_cone_wedges(PyObject*, PyObject* args) {
  PyObject *generators_obj, *mask_obj;
  if (!PyArg_ParseTuple(args, "OO:cone_wedges", &generators_obj, &mask_obj)) return nullptr;
  ArrayArg generators, mask;
  if (!acquire_array(generators_obj, generators, kFloat64, {-1, -1, 3}, "generators") ||
      !acquire_array(mask_obj, mask, kBool, {-1, -1}, "generator_mask"))
    return nullptr;
  const Py_ssize_t groups = generators.extent(0), slots = generators.extent(1);
  if (mask.extent(0) != groups || mask.extent(1) != slots) {
    PyErr_SetString(PyExc_ValueError, "generator mask shape does not match generators");
    return nullptr;
  }
  // K (K - 1) / 2 wedges a group; with no group every array is empty whatever K is.
  const size_t wedges = groups == 0 ? 0 : saturating_pair_count(size_t(slots));
  const size_t flags = saturating_product(size_t(groups), wedges);
  const size_t vectors = saturating_product(flags, 3 * sizeof(double));
  if (vectors > size_t(PY_SSIZE_T_MAX)) {
    PyErr_SetString(PyExc_ValueError, "generators have too many slots for their wedge arrays");
    return nullptr;
  }
  PyRef planes = new_bytes(vectors);
  PyRef first_sides = planes ? new_bytes(vectors) : PyRef();
  PyRef second_sides = first_sides ? new_bytes(vectors) : PyRef();
  PyRef usable = second_sides ? new_bytes(flags) : PyRef();
  if (!usable) return nullptr;
  ConeWedgeJob job;
  job.generators = generators.data<double>();
  job.mask = mask.data<uint8_t>();
  job.slots = slots;
  job.wedges = static_cast<int64_t>(wedges);
  job.planes = bytes_data<double>(planes);
  job.first_sides = bytes_data<double>(first_sides);
  job.second_sides = bytes_data<double>(second_sides);
  job.usable = bytes_data<uint8_t>(usable);
  {
    GilReleased unlocked;
    run_cone_wedges(job, groups);
  }
  return PyTuple_Pack(4, planes.get(), first_sides.get(), second_sides.get(), usable.get());
}

}  // namespace zet
