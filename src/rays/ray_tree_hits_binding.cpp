// ray_tree_hits(origins, direction, ray_length, epsilon, node_min, node_max, node_meta, order,
//               vertices, triangles, usable, cancel_interval, should_cancel)
#include <Python.h>

#include <cmath>

#include "module/functions.h"
#include "rays/ray_tree_hits.h"
#include "runtime/array_arg.h"
#include "runtime/call_args.h"
#include "runtime/gil.h"
#include "runtime/py_memory.h"
#include "tree/tree_arrays.h"

namespace zet {

PyObject* py_ray_tree_hits(PyObject*, PyObject* args) {
  PyObject *origins_obj, *direction_obj, *node_min_obj, *node_max_obj, *node_meta_obj, *order_obj,
      *vertices_obj, *triangles_obj, *usable_obj, *should_cancel;
  RayTreeHitsParams p{};
  int interval;
  if (!PyArg_ParseTuple(args, "OOddOOOOOOOiO:ray_tree_hits", &origins_obj, &direction_obj,
                        &p.length, &p.epsilon, &node_min_obj, &node_max_obj, &node_meta_obj,
                        &order_obj, &vertices_obj, &triangles_obj, &usable_obj, &interval,
                        &should_cancel))
    return nullptr;
  CancelPoller poller;
  if (!require(interval >= 1 && std::isfinite(p.length) && std::isfinite(p.epsilon),
               "invalid ray length, epsilon or cancel interval") ||
      !accept_should_cancel(should_cancel, &poller.callable))
    return nullptr;
  ArrayArg origins, direction, node_min, node_max, node_meta, order, usable;
  MeshArrays mesh;
  bool mesh_held = false;  // every array comes before any value (see report_in_order)
  if (!(acquire_array(origins_obj, origins, kFloat64, {-1, 3}, "origins") &&
        acquire_array(direction_obj, direction, kFloat64, {3}, "direction") &&
        acquire_array(node_min_obj, node_min, kFloat64, {-1, 3}, "node_min") &&
        acquire_array(node_max_obj, node_max, kFloat64, {-1, 3}, "node_max") &&
        acquire_array(node_meta_obj, node_meta, kInt32, {-1, 5}, "node_meta") &&
        acquire_array(order_obj, order, kUint32, {-1}, "order") &&
        acquire_mesh_arrays(vertices_obj, triangles_obj, mesh, "tree mesh") && (mesh_held = true) &&
        acquire_array(usable_obj, usable, kFlags, {-1}, "usable"))) {
    report_in_order([&] { return !mesh_held || check_mesh(mesh, "tree mesh"); });
    return nullptr;
  }
  if (!check_mesh(mesh, "tree mesh")) return nullptr;
  const int64_t k = node_meta.extent(0), m = mesh.triangles.extent(0), L = order.extent(0);
  if (!require(node_min.extent(0) == k && node_max.extent(0) == k && usable.extent(0) == m,
               "ray tree arrays have inconsistent lengths") ||
      !require(scan_indices_below(order.data<uint32_t>(), L, m),
               "leaf triangle is outside the triangle array"))
    return nullptr;
  int64_t bad;
  if (!find_malformed_node(node_meta.data<int32_t>(), k, L, bad)) return nullptr;
  if (bad >= 0)
    return PyErr_Format(PyExc_ValueError, "ray tree node %zd is malformed",
                        static_cast<Py_ssize_t>(bad));
  p.tree = {mesh.vertices.data<double>(),
            mesh.triangles.data<uint32_t>(),
            usable.data<uint8_t>(),
            node_min.data<double>(),
            node_max.data<double>(),
            node_meta.data<int32_t>(),
            order.data<uint32_t>(),
            k,
            L};
  p.origins = origins.data<double>();
  p.ray_count = origins.extent(0);
  for (int a = 0; a < 3; ++a) p.direction[a] = direction.data<double>()[a];
  p.cancel_interval = static_cast<uint32_t>(interval);

  RayTreeHitsResult r;
  {
    GilReleased unlocked;
    run_ray_tree_hits(p, poller, r);
  }
  if (poller.error) return nullptr;
  if (r.out_of_memory) return PyErr_NoMemory();
  const size_t h = r.hits.size();
  PyRef rays = new_bytes(h * sizeof(int64_t));
  if (!rays) return nullptr;
  PyRef triangles = new_bytes(h * sizeof(int64_t));
  if (!triangles) return nullptr;
  PyRef depths = new_bytes(h * sizeof(double));
  if (!depths) return nullptr;
  for (size_t i = 0; i < h; ++i) {
    bytes_data<int64_t>(rays)[i] = r.hits[i].ray;
    bytes_data<int64_t>(triangles)[i] = r.hits[i].triangle;
    bytes_data<double>(depths)[i] = r.hits[i].depth;
  }
  return Py_BuildValue("(iOOO)", r.cancelled ? 1 : 0, rays.get(), triangles.get(), depths.get());
}

}  // namespace zet
