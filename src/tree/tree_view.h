// A validated mesh with its AABB tree, as plain pointers for the kernels. The node arrays
// follow the layout that the tree build writes: node_min and node_max (k x 3), node_meta
// (k x 5: left, right, start, count, reserved; a negative left marks a leaf whose
// triangles are order[start .. start + count - 1]), and order (L entries).
#pragma once
#include <cstdint>

namespace zet {

struct TreeView {
  const double* vertices;     // n x 3
  const uint32_t* triangles;  // m x 3
  const uint8_t* excluded;    // m; nonzero leaves the triangle out of every traversal
  const double* node_min;     // k x 3
  const double* node_max;     // k x 3
  const int32_t* node_meta;   // k x 5
  const uint32_t* order;      // L
  int64_t n, m, k, L;

  bool is_leaf(int32_t node) const { return node_meta[5 * int64_t{node}] < 0; }
  int32_t left(int32_t node) const { return node_meta[5 * int64_t{node}]; }
  int32_t right(int32_t node) const { return node_meta[5 * int64_t{node} + 1]; }
  int32_t start(int32_t node) const { return node_meta[5 * int64_t{node} + 2]; }
  int32_t count(int32_t node) const { return node_meta[5 * int64_t{node} + 3]; }
  const double* box_min(int32_t node) const { return node_min + 3 * int64_t{node}; }
  const double* box_max(int32_t node) const { return node_max + 3 * int64_t{node}; }
  const double* vertex(uint32_t v) const { return vertices + 3 * int64_t{v}; }
  const uint32_t* triangle(uint32_t t) const { return triangles + 3 * int64_t{t}; }
};

// True when every one of the count indices is below limit.
bool indices_below(const uint32_t* indices, int64_t count, int64_t limit);

// Index of the first node whose record is malformed, or -1. A leaf needs a start and a
// count that are not negative and a range inside order (length order_length). An internal
// node needs both children after itself and inside the array; and, so that no node can be
// reached twice (which would repeat pairs and can make a walk exponentially long), two
// different children that no earlier node has named. has_parent is zeroed scratch of k
// bytes.
int64_t first_malformed_node(const int32_t* node_meta, int64_t k, int64_t order_length,
                             uint8_t* has_parent);

}  // namespace zet
