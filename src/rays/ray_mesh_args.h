// The ray meshes of a direction-score call, the moving one and a tuple of obstacles, each an
// 11-tuple (vertices, triangles, node_min, node_max, node_meta, order, usable, points,
// bounds_min, bounds_max, epsilon): acquired in argument order, checked, and turned into the
// kernel's views.
#pragma once
#include <Python.h>

#include "rays/direction_scores.h"
#include "runtime/array_arg.h"
#include "runtime/py_memory.h"
#include "tree/tree_arrays.h"

namespace zet {

// The views of one ray mesh.
struct RayMesh {
  MeshArrays mesh;
  ArrayArg node_min, node_max, node_meta, order, usable, points, bounds_min, bounds_max;
  double epsilon;
};

// The obstacles' records in one zeroed block from the interpreter's allocator (room for one
// record at least), each built in place; the owner's end releases every view they hold.
class RayMeshRecords {
 public:
  RayMeshRecords() = default;
  ~RayMeshRecords();
  RayMeshRecords(const RayMeshRecords&) = delete;
  RayMeshRecords& operator=(const RayMeshRecords&) = delete;

  bool allocate(size_t count);
  RayMesh& operator[](size_t i) { return records_[i]; }

 private:
  RayMesh* records_ = nullptr;
  size_t count_ = 0;
};

struct RayMeshArgs {
  RayMesh moving;
  RayMeshView moving_view{};
  RayMeshRecords obstacles;
  PyMemArray<RayMeshView> obstacle_views;
  Py_ssize_t obstacle_count = 0;

  // Room for `count` obstacles; false with MemoryError set.
  bool allocate(Py_ssize_t count);
  // Acquires the moving mesh and then each obstacle of the tuple, every array before any
  // check, and checks them all; on a failure the first problem in argument order is the one
  // reported.
  bool acquire(PyObject* moving_object, PyObject* obstacle_tuple);
};

}  // namespace zet
