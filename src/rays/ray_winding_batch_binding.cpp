// ray_winding_batch(points, direction, node_min, node_max, child_left, child_right, is_leaf,
//                   leaf_table, triangle_vertices, usable, epsilon, origin_tolerance)
#include <Python.h>

#include <algorithm>

#include "module/functions.h"
#include "rays/ray_winding.h"
#include "runtime/array_arg.h"
#include "runtime/call_args.h"
#include "runtime/gil.h"
#include "runtime/py_memory.h"
#include "runtime/thread_count.h"

namespace zet {

PyObject* py_ray_winding_batch(PyObject*, PyObject* args) {
  PyObject *points_obj, *direction_obj, *node_min_obj, *node_max_obj, *left_obj, *right_obj,
      *is_leaf_obj, *leaf_table_obj, *triangles_obj, *usable_obj;
  WindingBatch b{};
  if (!PyArg_ParseTuple(args, "OOOOOOOOOOdd:ray_winding_batch", &points_obj, &direction_obj,
                        &node_min_obj, &node_max_obj, &left_obj, &right_obj, &is_leaf_obj,
                        &leaf_table_obj, &triangles_obj, &usable_obj, &b.epsilon,
                        &b.origin_tolerance))
    return nullptr;
  ArrayArg points, direction, node_min, node_max, left, right, is_leaf, leaf_table, triangles,
      usable;
  if (!acquire_array(points_obj, points, kFloat64, {-1, 3}, "points") ||
      !acquire_array(direction_obj, direction, kFloat64, {3}, "direction") ||
      !acquire_array(node_min_obj, node_min, kFloat64, {-1, 3}, "node_min") ||
      !acquire_array(node_max_obj, node_max, kFloat64, {-1, 3}, "node_max") ||
      !acquire_array(left_obj, left, kInt64, {-1}, "child_left") ||
      !acquire_array(right_obj, right, kInt64, {-1}, "child_right") ||
      !acquire_array(is_leaf_obj, is_leaf, kFlags, {-1}, "is_leaf") ||
      !acquire_array(leaf_table_obj, leaf_table, kInt64, {-1, -1}, "leaf_table") ||
      !acquire_array(triangles_obj, triangles, kFloat64, {-1, 3, 3}, "triangle_vertices") ||
      !acquire_array(usable_obj, usable, kFlags, {-1}, "usable"))
    return nullptr;
  const int64_t k = node_min.extent(0), t = triangles.extent(0), p = points.extent(0);
  if (!require(node_max.extent(0) == k && left.extent(0) == k && right.extent(0) == k &&
                   is_leaf.extent(0) == k && leaf_table.extent(0) == k && usable.extent(0) == t,
               "winding tree arrays have inconsistent lengths"))
    return nullptr;
  PyMemArray<uint64_t> child_seen;
  if (!child_seen.allocate((k + 63) / 64)) return nullptr;
  std::fill(child_seen.get(), child_seen.get() + (k + 63) / 64, uint64_t{0});
  const int64_t width = leaf_table.extent(1);
  // Both scans in one stretch without the lock, in the order their errors are reported.
  int64_t bad;
  bool leaves_below = false;
  {
    GilReleasedForScan unlocked(k + k * width);
    bad = first_malformed_winding_node(left.data<int64_t>(), right.data<int64_t>(),
                                       is_leaf.data<uint8_t>(), k, child_seen.get());
    leaves_below = bad < 0 && entries_below(leaf_table.data<int64_t>(), k * width, t);
  }
  if (bad >= 0)
    return PyErr_Format(PyExc_ValueError, "winding tree node %zd is malformed",
                        static_cast<Py_ssize_t>(bad));
  if (!require(leaves_below, "leaf triangle is outside the triangle array")) return nullptr;
  PyRef crossings = new_bytes(static_cast<size_t>(p) * sizeof(int64_t));
  if (!crossings) return nullptr;
  PyRef ambiguous = new_bytes(static_cast<size_t>(p));
  if (!ambiguous) return nullptr;
  b.crossings = bytes_data<int64_t>(crossings);
  b.ambiguous = bytes_data<uint8_t>(ambiguous);

  if (k == 0 || p == 0) {
    std::fill(b.crossings, b.crossings + p, int64_t{0});
    std::fill(b.ambiguous, b.ambiguous + p, uint8_t{0});
  } else {
    b.tree = {node_min.data<double>(),
              node_max.data<double>(),
              left.data<int64_t>(),
              right.data<int64_t>(),
              is_leaf.data<uint8_t>(),
              leaf_table.data<int64_t>(),
              triangles.data<double>(),
              usable.data<uint8_t>(),
              k,
              width,
              t};
    b.points = points.data<double>();
    b.point_count = p;
    for (int a = 0; a < 3; ++a) b.direction[a] = direction.data<double>()[a];
    const int64_t threads = effective_thread_count();
    bool complete;
    {
      GilReleased unlocked;
      complete = run_ray_winding(b, threads);
    }
    if (!complete) return PyErr_NoMemory();
  }
  return PyTuple_Pack(2, crossings.get(), ambiguous.get());
}

}  // namespace zet
