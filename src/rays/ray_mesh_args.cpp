#include "rays/ray_mesh_args.h"

#include <algorithm>
#include <new>

#include "runtime/call_args.h"

namespace zet {
namespace {

bool fail(PyObject* type, const char* message, const char* name) {
  PyErr_Format(type, message, name);
  return false;
}

// How far the acquisition of a ray mesh got.
enum class Held { kNothing, kMesh, kAll };

// Acquires the elements of one 11-tuple in order and reads its epsilon. Element messages
// carry the element's name, the others the mesh's.
Held acquire_ray_mesh_arrays(PyObject* object, RayMesh& r, const char* name) {
  if (!PyTuple_Check(object) || PyTuple_GET_SIZE(object) != 11) {
    fail(PyExc_TypeError, "%s must be an 11-tuple", name);
    return Held::kNothing;
  }
  auto item = [object](Py_ssize_t i) { return PyTuple_GET_ITEM(object, i); };
  if (!acquire_mesh_arrays(item(0), item(1), r.mesh, name)) return Held::kNothing;
  if (!acquire_array(item(2), r.node_min, kFloat64, {-1, 3}, "node_min") ||
      !acquire_array(item(3), r.node_max, kFloat64, {-1, 3}, "node_max") ||
      !acquire_array(item(4), r.node_meta, kInt32, {-1, 5}, "node_meta") ||
      !acquire_array(item(5), r.order, kUint32, {-1}, "order") ||
      !acquire_array(item(6), r.usable, kFlags, {-1}, "usable") ||
      !acquire_array(item(7), r.points, kInt64, {-1}, "points") ||
      !acquire_array(item(8), r.bounds_min, kFloat64, {3}, "bounds_min") ||
      !acquire_array(item(9), r.bounds_max, kFloat64, {3}, "bounds_max"))
    return Held::kMesh;
  r.epsilon = PyFloat_AsDouble(item(10));
  return PyErr_Occurred() ? Held::kMesh : Held::kAll;
}

// Checks one acquired ray mesh after its triangle indices (check_mesh): lengths, leaf
// indices, node records and ray origins; fills view.
bool check_ray_mesh(const RayMesh& r, RayMeshView& view, const char* name) {
  const int64_t n = r.mesh.vertices.extent(0), m = r.mesh.triangles.extent(0);
  const int64_t k = r.node_meta.extent(0), L = r.order.extent(0), p = r.points.extent(0);
  if (r.node_min.extent(0) != k || r.node_max.extent(0) != k || r.usable.extent(0) != m)
    return fail(PyExc_ValueError, "%s tree arrays have inconsistent lengths", name);
  if (!require(scan_indices_below(r.order.data<uint32_t>(), L, m),
               "leaf triangle is outside the triangle array"))
    return false;
  int64_t bad;
  if (!find_malformed_node(r.node_meta.data<int32_t>(), k, L, bad)) return false;
  if (bad >= 0) {
    PyErr_Format(PyExc_ValueError, "%s tree node %zd is malformed", name,
                 static_cast<Py_ssize_t>(bad));
    return false;
  }
  const int64_t* points = r.points.data<int64_t>();
  if (!std::all_of(points, points + p, [n](int64_t v) { return v >= 0 && v < n; }))
    return fail(PyExc_ValueError, "%s ray origin is outside the vertex array", name);
  view.tree = {r.mesh.vertices.data<double>(),
               r.mesh.triangles.data<uint32_t>(),
               r.usable.data<uint8_t>(),
               r.node_min.data<double>(),
               r.node_max.data<double>(),
               r.node_meta.data<int32_t>(),
               r.order.data<uint32_t>(),
               k,
               L};
  view.points = points;
  view.point_count = p;
  for (int a = 0; a < 3; ++a) {
    view.bounds_min[a] = r.bounds_min.data<double>()[a];
    view.bounds_max[a] = r.bounds_max.data<double>()[a];
  }
  view.epsilon = r.epsilon;
  return true;
}

}  // namespace

RayMeshRecords::~RayMeshRecords() {
  for (size_t i = 0; i < count_; ++i) records_[i].~RayMesh();
  PyMem_Free(records_);
}

bool RayMeshRecords::allocate(size_t count) {
  records_ = static_cast<RayMesh*>(PyMem_Calloc(std::max<size_t>(count, 1), sizeof(RayMesh)));
  if (records_ == nullptr) {
    PyErr_NoMemory();
    return false;
  }
  for (; count_ < count; ++count_) new (&records_[count_]) RayMesh();
  return true;
}

bool RayMeshArgs::allocate(Py_ssize_t count) {
  obstacle_count = count;
  return obstacles.allocate(size_t(count)) && obstacle_views.allocate(size_t(count));
}

bool RayMeshArgs::acquire(PyObject* moving_object, PyObject* obstacle_tuple) {
  // Mesh 0 is the moving one, mesh j > 0 obstacle j - 1. Every array comes before any value
  // (see report_in_order); in argument order a mesh's triangle indices come before its other
  // elements.
  const Py_ssize_t meshes = obstacle_count + 1;
  auto object = [&](Py_ssize_t j) {
    return j == 0 ? moving_object : PyTuple_GET_ITEM(obstacle_tuple, j - 1);
  };
  auto mesh = [&](Py_ssize_t j) -> RayMesh& { return j == 0 ? moving : obstacles[j - 1]; };
  auto view = [&](Py_ssize_t j) -> RayMeshView& {
    return j == 0 ? moving_view : obstacle_views[j - 1];
  };
  auto name = [](Py_ssize_t j) { return j == 0 ? "moving mesh" : "obstacle mesh"; };
  auto check_whole = [&](Py_ssize_t count) {
    for (Py_ssize_t j = 0; j < count; ++j)
      if (!check_mesh(mesh(j).mesh, name(j)) || !check_ray_mesh(mesh(j), view(j), name(j)))
        return false;
    return true;
  };
  Py_ssize_t whole = 0;  // meshes acquired whole
  Held last = Held::kAll;
  while (whole < meshes &&
         (last = acquire_ray_mesh_arrays(object(whole), mesh(whole), name(whole))) == Held::kAll)
    ++whole;
  if (whole < meshes) {
    report_in_order([&] {
      return check_whole(whole) &&
             (last != Held::kMesh || check_mesh(mesh(whole).mesh, name(whole)));
    });
    return false;
  }
  return check_whole(meshes);
}

}  // namespace zet
