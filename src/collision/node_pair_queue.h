// The path query's queue of node pairs: a binary heap whose top is the pair that comes first
// in the window order (later window end first, then later window start, then the smaller
// moving and obstacle node). The order is total over the pairs a walk queues (no node pair
// is queued twice), so the pops follow from the pushes alone, whatever the heap's shape.
//
// Most pops queue a child of the popped pair, so the walk replaces the top by that child
// instead of removing the top and pushing the child: one sift instead of two. The entries
// hold their order as one 192-bit number, so that choosing between two children takes no
// branch: which of them comes first depends on the data, and a branch on it would be
// mispredicted about half the time.
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/float_order.h"
#include "runtime/growable.h"

namespace zet {

struct NodePair {
  // The order as a 192-bit number, largest first: the window keys, then the node indices
  // complemented. Node indices are non-negative (the tree check refuses others), so their
  // unsigned order is the signed one.
  uint64_t hi_key, lo_key, nodes_rank;
  double lo, hi;  // the window, as the swept box test returned it

  int32_t moving_node() const { return static_cast<int32_t>(~nodes_rank >> 32); }
  int32_t obstacle_node() const { return static_cast<int32_t>(~nodes_rank & 0xffffffffu); }
};

inline NodePair node_pair(double lo, double hi, int32_t moving_node, int32_t obstacle_node) {
  const uint64_t nodes = uint64_t(uint32_t(moving_node)) << 32 | uint32_t(obstacle_node);
  return {total_order_key(hi), total_order_key(lo), ~nodes, lo, hi};
}

// Whether p comes before q: the larger 192-bit number, compared without branches.
inline bool comes_first(const NodePair& p, const NodePair& q) {
  using Wide = unsigned __int128;
  const Wide pk = Wide(p.hi_key) << 64 | p.lo_key, qk = Wide(q.hi_key) << 64 | q.lo_key;
  return (pk > qk) | ((pk == qk) & (p.nodes_rank > q.nodes_rank));
}

class NodePairQueue {
 public:
  bool empty() const { return heap_.empty(); }
  size_t size() const { return heap_.size(); }
  const NodePair& top() const { return heap_[0]; }

  // False, leaving the queue as it was, when it cannot grow.
  [[nodiscard]] bool push(const NodePair& pair) {
    if (!heap_.push_back(pair)) return false;
    sift_up(heap_.size() - 1, pair);
    return true;
  }

  // The last entry, which fills the hole, belongs near the bottom: the hole goes down to a
  // leaf along the children that come first, and the entry rises from there (one
  // comparison per level on the way down instead of two).
  void pop() {
    const size_t n = heap_.size() - 1;
    heap_.pop_back();
    if (n == 0) return;
    NodePair* h = heap_.data();
    size_t i = 0;
    for (size_t child = 1; child < n; child = 2 * i + 1) {
      if (child + 1 < n) child += comes_first(h[child + 1], h[child]);
      h[i] = h[child];
      i = child;
    }
    sift_up(i, h[n]);
  }

  // pop() followed by push(pair), in one sift; never needs memory.
  void replace_top(const NodePair& pair) { sift_down(pair, heap_.size()); }

 private:
  // Places `pair` at the hole `i` or above it.
  void sift_up(size_t i, const NodePair& pair) {
    NodePair* h = heap_.data();
    while (i > 0) {
      const size_t parent = (i - 1) / 2;
      if (!comes_first(pair, h[parent])) break;
      h[i] = h[parent];
      i = parent;
    }
    h[i] = pair;
  }

  // Places `pair` in the heap h[0 .. n - 1] whose top is a hole.
  void sift_down(const NodePair pair, size_t n) {
    NodePair* h = heap_.data();
    size_t i = 0;
    while (true) {
      size_t child = 2 * i + 1;
      if (child + 1 < n)
        child += comes_first(h[child + 1], h[child]);
      else if (child >= n)
        break;
      if (!comes_first(h[child], pair)) break;
      h[i] = h[child];
      i = child;
    }
    h[i] = pair;
  }

  GrowableArray<NodePair> heap_;
};

}  // namespace zet
