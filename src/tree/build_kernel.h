// Median-split AABB tree build over a triangle mesh. The split order is a total order on
// (centre coordinate, triangle index), so a mesh and a leaf size always give the same
// arrays, whether one thread builds the tree or many.
#pragma once
#include <cstdint>

#include "runtime/cancel_poller.h"
#include "runtime/float_order.h"

namespace zet {

// A triangle's centre coordinate on the split axis, as an integer whose unsigned order is
// the order of the coordinates, together with the triangle.
struct SplitPair {
  uint64_t key;
  uint32_t triangle;
};

// Everything the build reads and writes. Node arrays hold exactly the tree's node count of
// rows; out_order holds one entry per triangle.
struct TreeBuildArrays {
  double* tri_min;         // m x 3, per-triangle box
  double* tri_max;         // m x 3
  uint64_t* centre_key;    // m x 3, ordered keys of the box centres
  SplitPair* split_pairs;  // 2m: the selection build's permutation being refined (keyed on the
                           // last split axis) in the first m, the presort's digit passes in all
  uint32_t* out_order;     // m, result order
  double* node_min;        // k x 3
  double* node_max;        // k x 3
  int32_t* node_meta;      // k x 5
  uint32_t triangle_count;
  uint32_t leaf_size;
  // The presorted build's lists (see build_tree).
  uint32_t* axis_order = nullptr;  // 3 x m: per axis, each node's triangles in (centre, index) order
  uint32_t* spare = nullptr;       // m: a range being split is written here, then copied back
  uint8_t* goes_left = nullptr;    // m: per triangle, whether the split being made sends it left
  bool presorted = false;          // set by build_tree: which of the two builds runs
};

// Number of nodes of the tree over m triangles: 1 for a leaf, else the sum of the two
// halves' trees plus one.
uint32_t tree_node_count(uint32_t triangle_count, uint32_t leaf_size);

// Per-triangle boxes and centre keys, and the identity permutation in the split pairs.
void prepare_tree_build(const double* vertices, const uint32_t* triangles,
                        const TreeBuildArrays& arrays);

// Builds the tree into the node arrays and out_order. The poller (counted discipline) is
// consulted at node creations on the serial path and once per wave on the parallel one.
void build_tree(const TreeBuildArrays& arrays, int64_t threads, CancelPoller& poller);

}  // namespace zet
