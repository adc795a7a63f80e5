#include "tree/tree_arrays.h"

#include <algorithm>

#include "runtime/gil.h"
#include "runtime/py_memory.h"
#include "runtime/raw_array.h"

namespace zet {
namespace {

bool fail(const char* message, const char* name) {
  PyErr_Format(PyExc_ValueError, message, name);
  return false;
}

}  // namespace

bool acquire_mesh_arrays(PyObject* vertices, PyObject* triangles, MeshArrays& mesh,
                         const char* name) {
  return acquire_array(vertices, mesh.vertices, kFloat64, {-1, 3}, name) &&
         acquire_array(triangles, mesh.triangles, kUint32, {-1, 3}, name);
}

bool scan_indices_below(const uint32_t* indices, int64_t count, int64_t limit) {
  GilReleasedForScan unlocked(count);
  return indices_below(indices, count, limit);
}

bool check_mesh(const MeshArrays& mesh, const char* name) {
  if (!scan_indices_below(mesh.triangles.data<uint32_t>(), 3 * mesh.triangles.extent(0),
                          mesh.vertices.extent(0)))
    return fail("%s triangle index is outside the vertex array", name);
  return true;
}

namespace {

// first_malformed_node with scratch of its own from the raw allocator, so that it can run
// with the lock released; false when the scratch could not be had.
bool scan_nodes(const int32_t* node_meta, int64_t k, int64_t order_length, int64_t& bad) {
  RawArray<uint8_t> has_parent;
  if (!has_parent.resize(size_t(k))) return false;
  std::fill(has_parent.get(), has_parent.get() + k, uint8_t{0});
  bad = first_malformed_node(node_meta, k, order_length, has_parent.get());
  return true;
}

}  // namespace

bool find_malformed_node(const int32_t* node_meta, int64_t k, int64_t order_length, int64_t& bad) {
  bool scanned;
  {
    GilReleasedForScan unlocked(k);
    scanned = scan_nodes(node_meta, k, order_length, bad);
  }
  if (!scanned) PyErr_NoMemory();
  return scanned;
}

bool tree_items(PyObject* object, PyRef& held, PyObject* items[7], const char* name) {
  if (PySequence_Check(object) && !PyBytes_Check(object) && !PyUnicode_Check(object)) {
    PyRef tuple(PySequence_Tuple(object));
    if (!tuple) return false;
    if (PyTuple_GET_SIZE(tuple.get()) == 7) {
      for (int i = 0; i < 7; ++i) items[i] = PyTuple_GET_ITEM(tuple.get(), i);
      held.reset(tuple.release());
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s must be a sequence of 7 tree arrays", name);
  return false;
}

bool acquire_tree_arrays(PyObject* const items[7], TriangleTree& tree, const char* name) {
  ArrayArg* v = tree.views;
  return acquire_array(items[0], v[0], kFloat64, {-1, 3}, name) &&
         acquire_array(items[1], v[1], kUint32, {-1, 3}, name) &&
         acquire_array(items[2], v[2], kFlags, {-1}, name) &&
         acquire_array(items[3], v[3], kFloat64, {-1, 3}, name) &&
         acquire_array(items[4], v[4], kFloat64, {-1, 3}, name) &&
         acquire_array(items[5], v[5], kInt32, {-1, 5}, name) &&
         acquire_array(items[6], v[6], kUint32, {-1}, name);
}

bool check_tree(TriangleTree& tree, const char* name) {
  const ArrayArg* v = tree.views;
  const int64_t n = v[0].extent(0), m = v[1].extent(0), k = v[5].extent(0), L = v[6].extent(0);
  if (v[2].extent(0) != m || v[3].extent(0) != k || v[4].extent(0) != k || k == 0 || k > 2147483647)
    return fail("%s tree arrays have inconsistent lengths", name);
  // The three scans in one stretch without the lock, in the order their errors are reported.
  bool triangles_below, leaves_below = false, scanned = false;
  int64_t bad = -1;
  {
    GilReleasedForScan unlocked(3 * m + L + k);
    triangles_below = indices_below(v[1].data<uint32_t>(), 3 * m, n);
    leaves_below = triangles_below && indices_below(v[6].data<uint32_t>(), L, m);
    scanned = leaves_below && scan_nodes(v[5].data<int32_t>(), k, L, bad);
  }
  if (!triangles_below) return fail("%s triangle index is outside the vertex array", name);
  if (!leaves_below) return fail("%s leaf triangle is outside the triangle array", name);
  if (!scanned) {
    PyErr_NoMemory();
    return false;
  }
  if (bad >= 0) {
    PyErr_Format(PyExc_ValueError, "%s tree node %zd is malformed", name,
                 static_cast<Py_ssize_t>(bad));
    return false;
  }
  tree.view = {v[0].data<double>(),
               v[1].data<uint32_t>(),
               v[2].data<uint8_t>(),
               v[3].data<double>(),
               v[4].data<double>(),
               v[5].data<int32_t>(),
               v[6].data<uint32_t>(),
               n,
               m,
               k,
               L};
  return true;
}

}  // namespace zet
