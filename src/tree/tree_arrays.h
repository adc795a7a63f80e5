// Validation of mesh and tree arguments: a vertices/triangles pair, or the 7-tuple
// (vertices, triangles, excluded, node_min, node_max, node_meta, order). Every message names
// the argument's role ("moving", "obstacle", "mesh", ...), not the element. The views stay
// acquired for the owner's lifetime.
#pragma once
#include <Python.h>

#include "runtime/array_arg.h"
#include "runtime/py_memory.h"
#include "tree/tree_view.h"

namespace zet {

struct MeshArrays {
  ArrayArg vertices, triangles;
};

struct TriangleTree {
  ArrayArg views[7];
  TreeView view{};
};

// vertices float64 (n, 3), triangles uint32 (m, 3), every triangle index below n.
bool acquire_mesh(PyObject* vertices, PyObject* triangles, MeshArrays& mesh, const char* name);

// The seven items of a tree argument, a tuple or any other sequence of seven, as a tuple that
// `held` owns for the call: a sequence may make its items afresh each time it is asked, so a
// borrowed item could be gone before it is used. TypeError for anything else.
bool tree_items(PyObject* object, PyRef& held, PyObject* items[7], const char* name);

// The seven elements in order, then lengths, indices and node records.
bool acquire_tree(PyObject* const items[7], TriangleTree& tree, const char* name);

}  // namespace zet
