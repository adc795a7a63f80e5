// cells_bound_batch(centers, radii, angular, cell_offsets, relevant, relevant_offsets, chunk,
//                   kinds, generators, generator_mask, facets, facet_mask, blocks_all, shifts,
//                   wedge planes, first sides, second sides, wedge_mask, cap_axes, cap_cos,
//                   common_shift)
#include <Python.h>

#include "cones/cell_batch.h"
#include "cones/cone_group_args.h"
#include "module/functions.h"
#include "runtime/array_arg.h"
#include "runtime/call_args.h"
#include "runtime/gil.h"
#include "runtime/py_memory.h"
#include "runtime/thread_count.h"

namespace zet {

PyObject* py_cells_bound_batch(PyObject*, PyObject* args) {
  PyObject *centers_obj, *radii_obj, *angular_obj, *cell_offsets_obj, *relevant_obj,
      *relevant_offsets_obj, *group_objs[11], *cap_axes_obj, *cap_cos_obj;
  Py_ssize_t chunk;
  double common_shift;
  if (!PyArg_ParseTuple(args, "OOOOOOnOOOOOOOOOOOOOd:cells_bound_batch", &centers_obj, &radii_obj,
                        &angular_obj, &cell_offsets_obj, &relevant_obj, &relevant_offsets_obj,
                        &chunk, &group_objs[0], &group_objs[1], &group_objs[2], &group_objs[3],
                        &group_objs[4], &group_objs[5], &group_objs[6], &group_objs[7],
                        &group_objs[8], &group_objs[9], &group_objs[10], &cap_axes_obj,
                        &cap_cos_obj, &common_shift))
    return nullptr;

  // 1. Element type, rank and fixed extents of every array, in argument order.
  ArrayArg centers, radii, angular, cell_offsets, relevant, relevant_offsets, cap_axes, cap_cos;
  ConeGroupArgs groups;
  if (!acquire_array(centers_obj, centers, kFloat64, {-1, 3}, "centers") ||
      !acquire_array(radii_obj, radii, kFloat64, {-1}, "radii") ||
      !acquire_array(angular_obj, angular, kFloat64, {-1}, "angular") ||
      !acquire_array(cell_offsets_obj, cell_offsets, kInt64, {-1}, "cell_offsets") ||
      !acquire_array(relevant_obj, relevant, kInt64, {-1}, "relevant") ||
      !acquire_array(relevant_offsets_obj, relevant_offsets, kInt64, {-1}, "relevant_offsets") ||
      !groups.acquire(group_objs) ||
      !acquire_array(cap_axes_obj, cap_axes, kFloat64, {-1, 3}, "cap_axes") ||
      !acquire_array(cap_cos_obj, cap_cos, kFloat64, {-1}, "cap_cos"))
    return nullptr;

  // 2. The pruning interval.
  if (!require(chunk > 0, "chunk must be positive")) return nullptr;

  // 3. Cell and batch arrays.
  const Py_ssize_t n = centers.extent(0), batches = cell_offsets.extent(0) - 1;
  if (!require(radii.extent(0) == n && angular.extent(0) == n && batches >= 0 &&
                   relevant_offsets.extent(0) == batches + 1,
               "cell batch arrays have inconsistent shapes"))
    return nullptr;

  // 4. Cone-group arrays: G rows, and K, F, W agreeing between arrays and their masks.
  const Py_ssize_t g = groups.groups();
  if (!groups.shapes_agree(cap_axes.extent(0) == g && cap_cos.extent(0) == g)) return nullptr;

  // 5. The offsets span the cells and the relevant groups.
  const int64_t* cells_at = cell_offsets.data<int64_t>();
  const int64_t* groups_at = relevant_offsets.data<int64_t>();
  const Py_ssize_t r = relevant.extent(0);
  if (!require(cells_at[0] == 0 && cells_at[batches] == n && groups_at[0] == 0 &&
                   groups_at[batches] == r,
               "batch offsets must span the cell and group arrays"))
    return nullptr;

  // 6. The flag-block offsets; a flag array beyond any byte string is refused.
  PyMemArray<int64_t> flag_offsets;
  if (!flag_offsets.allocate(size_t(batches) + 1)) return nullptr;
  const FlagOffsetWalk walk =
      walk_flag_offsets(cells_at, groups_at, batches, PY_SSIZE_T_MAX, flag_offsets.get());
  if (!require(walk != FlagOffsetWalk::kEmptyBatch,
               "every batch needs at least one cell and non-negative groups") ||
      !require(walk != FlagOffsetWalk::kTooManyFlags,
               "cell batches have more relevance flags than a byte string can hold"))
    return nullptr;

  // 7. Relevant group indices.
  const int64_t* relevant_at = relevant.data<int64_t>();
  for (Py_ssize_t i = 0; i < r; ++i) {
    if (relevant_at[i] < 0 || relevant_at[i] >= g) {
      PyErr_SetString(PyExc_IndexError, "relevant group index is out of range");
      return nullptr;
    }
  }

  // 8. The outputs.
  PyRef values = new_bytes(size_t(n) * sizeof(double));
  if (!values) return nullptr;
  PyRef flags = new_bytes(size_t(flag_offsets[size_t(batches)]));
  if (!flags) return nullptr;

  CellBatchJob job;
  job.margins = groups.margin_context(common_shift);
  job.cap_axes = cap_axes.data<double>();
  job.cap_cos = cap_cos.data<double>();
  job.centers = centers.data<double>();
  job.radii = radii.data<double>();
  job.angular = angular.data<double>();
  job.cell_offsets = cells_at;
  job.relevant = relevant_at;
  job.relevant_offsets = groups_at;
  job.flag_offsets = flag_offsets.get();
  job.chunk = chunk;
  job.values = bytes_data<double>(values);
  job.flags = bytes_data<uint8_t>(flags);
  const int64_t threads = effective_thread_count();
  bool complete;
  {
    GilReleased unlocked;
    complete = run_cell_batches(job, batches, threads);
  }
  if (!complete) return PyErr_NoMemory();
  return PyTuple_Pack(2, values.get(), flags.get());
}

}  // namespace zet
