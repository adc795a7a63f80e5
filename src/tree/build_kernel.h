// Median-split AABB tree build over a triangle mesh. The split order is a total order on
// (centre coordinate, triangle index), so a mesh and a leaf size always give the same
// arrays, whether one thread builds the tree or many.
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/cancel_poller.h"
#include "runtime/float_order.h"

namespace zet {

constexpr size_t kTriangleBoxStride = 6;

// A triangle's centre coordinate on the split axis, as an integer whose unsigned order is
// the order of the coordinates, together with the triangle.
struct SplitPair {
  uint64_t key;
  uint32_t triangle;
};

// Everything the build reads and writes. Node arrays hold exactly the tree's node count of
// rows; out_order holds one entry per triangle.
struct TreeBuildArrays {
  // Per-triangle boxes, rows of kTriangleBoxStride: the minimum corner, then the maximum
  // corner at tri_max = tri_min + 3, so that a node reads each of its triangles' boxes from
  // one place (one or two adjacent cache lines) rather than from two arrays.
  double* tri_min;
  double* tri_max;
  SplitPair* split_pairs;  // m, the permutation being refined, keyed on the last split axis
  uint32_t* out_order;     // m, result order
  double* node_min;        // k x 3
  double* node_max;        // k x 3
  int32_t* node_meta;      // k x 5
  uint32_t triangle_count;
  uint32_t leaf_size;
  // Set by prepare_tree_build: the triangle boxes hold no NaN and no axis holds both +0 and -0,
  // so the node boxes do not depend on the order of a node's triangles: any selection will do.
  bool any_selection = false;
};

// Number of nodes of the tree over m triangles: 1 for a leaf, else the sum of the two
// halves' trees plus one.
uint32_t tree_node_count(uint32_t triangle_count, uint32_t leaf_size);

// Per-triangle boxes, the identity permutation in the split pairs, and any_selection.
void prepare_tree_build(const double* vertices, const uint32_t* triangles, TreeBuildArrays& arrays);

// Builds the tree into the node arrays and out_order. The poller (counted discipline) is
// consulted at node creations on the serial path and once per wave on the parallel one.
void build_tree(const TreeBuildArrays& arrays, int64_t threads, CancelPoller& poller);

}  // namespace zet
