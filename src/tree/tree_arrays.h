// Validation of mesh and tree arguments: a vertices/triangles pair, or the 7-tuple
// (vertices, triangles, excluded, node_min, node_max, node_meta, order). Every message names
// the argument's role ("moving", "obstacle", "mesh", ...), not the element. The views stay
// acquired for the owner's lifetime.
//
// Acquiring a buffer can run the caller's code (an exporter written in Python), which can
// change arrays acquired before. So a function first acquires every array of the call
// (the *_arrays steps: element kinds and shapes) and only then checks values (the check_*
// steps: lengths, indices, node records); nothing of the caller's runs after a check.
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

// vertices float64 (n, 3), triangles uint32 (m, 3).
bool acquire_mesh_arrays(PyObject* vertices, PyObject* triangles, MeshArrays& mesh,
                         const char* name);
// indices_below, with the interpreter lock released while a long scan runs.
bool scan_indices_below(const uint32_t* indices, int64_t count, int64_t limit);

// Every triangle index below n.
bool check_mesh(const MeshArrays& mesh, const char* name);

// The seven items of a tree argument, a tuple or any other sequence of seven, as a tuple that
// `held` owns for the call: a sequence may make its items afresh each time it is asked, so a
// borrowed item could be gone before it is used. TypeError for anything else.
bool tree_items(PyObject* object, PyRef& held, PyObject* items[7], const char* name);

// The seven elements in order.
bool acquire_tree_arrays(PyObject* const items[7], TriangleTree& tree, const char* name);
// Lengths, indices and node records; fills tree.view.
bool check_tree(TriangleTree& tree, const char* name);

// The first malformed one of k node records (first_malformed_node, -1 when none) in bad, with
// the scratch it needs; false with MemoryError set when the scratch could not be had. A long
// scan runs with the interpreter lock released.
bool find_malformed_node(const int32_t* node_meta, int64_t k, int64_t order_length, int64_t& bad);

}  // namespace zet
