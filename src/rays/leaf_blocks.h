// Where each leaf's prepared triangles sit, in blocks of four positions, and the blocks of
// several trees prepared on demand, direction by direction.
#pragma once
#include <cstdint>

#include "rays/ray_tree_hits.h"
#include "runtime/raw_array.h"

namespace zet {

// The positions of order a block holds: from first, lanes of them (1 to kBlockLanes).
struct BlockSpan {
  int32_t first;
  int32_t lanes;
};

// Blocks prepared on demand, for one direction at a time, for several trees at once (each
// at its own offset): a leaf's blocks are prepared when the stamp of its first block is not
// the current generation; a new direction takes a new generation (next_generation). The
// stamps sit apart from the blocks, in an array a hundred times smaller: clearing them
// touches no block, so the memory of a leaf that no ray reaches is never touched at all
// (mapped afresh on every call, it would otherwise be faulted in page by page).
struct LazyLeaves {
  const BlockSpan* spans = nullptr;  // per block, shared by the threads of a call
  RawArray<uint32_t> stamps;         // per block
  RawArray<unsigned char> memory;
  PreparedBlock* blocks = nullptr;  // 64-byte aligned in memory
  int64_t count = 0;
  uint32_t generation = 1;
};

// Room for the `count` blocks that spans describe (as LeafLayout gave them), none
// prepared. False when memory could not be had.
bool reserve_lazy_leaves(LazyLeaves& lazy, const BlockSpan* spans, int64_t count);
// Nothing prepared from here on, at the cost of one increment: once the generations have
// gone round, the stamps are cleared, so an old stamp never passes for a new generation.
void next_generation(LazyLeaves& lazy);

// The leaf blocks of the trees a call walks collapsed, one tree's after another's.
class LeafLayout {
 public:
  // Lays out the tree's blocks after those already there, in one pass over its nodes, and
  // its leaves' first blocks in first_block (k entries); returns where they start, or -1
  // when the tree is to be walked as a binary tree (its leaves overlap too much, or memory
  // could not be had).
  int64_t add(const RayTree& tree, RawArray<int32_t>& first_block);
  const BlockSpan* spans() const { return spans_.get(); }
  int64_t count() const { return count_; }

 private:
  RawArray<BlockSpan> spans_;
  int64_t count_ = 0;
};

}  // namespace zet
