// build_aabb_tree(vertices, triangles, leaf_size, should_cancel, cancel_check_interval)
#include <Python.h>

#include "module/functions.h"
#include "runtime/array_arg.h"
#include "runtime/call_args.h"
#include "runtime/cancel_poller.h"
#include "runtime/gil.h"
#include "runtime/py_memory.h"
#include "runtime/thread_count.h"
#include "tree/build_kernel.h"
#include "tree/build_scratch.h"
#include "tree/tree_arrays.h"
#include "tree/tree_view.h"

namespace zet {
namespace {

// node_meta holds node indices, starts and counts as int32: 2^30 triangles would allow
// more than 2^31 - 1 nodes.
constexpr Py_ssize_t kMaxTreeTriangles = (Py_ssize_t{1} << 30) - 1;

}  // namespace

PyObject* py_build_aabb_tree(PyObject*, PyObject* args) {
  PyObject *vertices_obj, *triangles_obj, *should_cancel;
  int leaf_size, interval;
  if (!PyArg_ParseTuple(args, "OOiOi:build_aabb_tree", &vertices_obj, &triangles_obj, &leaf_size,
                        &should_cancel, &interval))
    return nullptr;
  CancelPoller poller;
  if (!require(leaf_size >= 1, "leaf_size must be positive") ||
      !require(interval >= 1, "cancel_check_interval must be positive") ||
      !accept_should_cancel(should_cancel, &poller.callable))
    return nullptr;
  poller.interval = static_cast<uint32_t>(interval);

  ArrayArg vertices, triangles;
  if (!acquire_strict_float64(vertices_obj, vertices, {-1, 3}, "vertices") ||
      !acquire_strict_uint32(triangles_obj, triangles, {-1, 3}, "triangles"))
    return nullptr;
  const Py_ssize_t n = vertices.extent(0), m = triangles.extent(0);
  if (!require(m <= kMaxTreeTriangles,
               "triangles has too many rows for a tree (at most 1073741823)") ||
      !require(scan_indices_below(triangles.data<uint32_t>(), 3 * m, n),
               "triangle index is outside the vertex array"))
    return nullptr;
  if (m == 0)
    return Py_BuildValue("(y#y#y#y#)", "", Py_ssize_t{0}, "", Py_ssize_t{0}, "", Py_ssize_t{0}, "",
                         Py_ssize_t{0});

  // Results are written in place into their bytes objects; the node count is known ahead.
  const uint32_t k = tree_node_count(static_cast<uint32_t>(m), static_cast<uint32_t>(leaf_size));
  PyRef node_min = new_bytes(size_t{k} * 24), node_max = new_bytes(size_t{k} * 24),
        node_meta = new_bytes(size_t{k} * 20), order = new_bytes(size_t(m) * 4);
  if (!node_min || !node_max || !node_meta || !order) return nullptr;
  TreeBuildScratch scratch;
  if (!scratch.reserve(size_t(m))) {
    PyErr_NoMemory();
    return nullptr;
  }
  TreeBuildArrays arrays{nullptr,
                         nullptr,
                         nullptr,
                         bytes_data<uint32_t>(order),
                         bytes_data<double>(node_min),
                         bytes_data<double>(node_max),
                         bytes_data<int32_t>(node_meta),
                         static_cast<uint32_t>(m),
                         static_cast<uint32_t>(leaf_size)};
  scratch.assign(arrays);
  {
    GilReleased unlocked;
    prepare_tree_build(vertices.data<double>(), triangles.data<uint32_t>(), arrays);
    build_tree(arrays, effective_thread_count(), poller);
  }
  if (poller.error) return nullptr;
  if (poller.cancelled) {
    PyErr_SetString(PyExc_InterruptedError, "native BVH build cancelled");
    return nullptr;
  }
  return PyTuple_Pack(4, node_min.get(), node_max.get(), node_meta.get(), order.get());
}

}  // namespace zet
