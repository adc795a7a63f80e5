#include "rays/leaf_blocks.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace zet {

namespace {

// A bound on the blocks of the tree's leaves that leaf_blocks can return (it refuses more):
// a leaf adds at most one block to what its positions fill, and there are at most k leaves.
int64_t leaf_block_bound(const RayTree& tree) {
  return std::min<int64_t>(tree.order_length / kBlockLanes + tree.k,
                           std::numeric_limits<int32_t>::max());
}

// Blocks of the tree's leaves: every leaf node, in node order, takes its blocks after those
// of the leaves before it; first_block (k entries) gets each leaf's first block and spans
// each block's positions. Returns the number of blocks, or -1 when that exceeds what leaves
// that do not overlap can need (the caller then walks the binary tree).
int64_t leaf_blocks(const RayTree& tree, int32_t* first_block, BlockSpan* spans) {
  int64_t count = 0, leaves = 0;
  for (int64_t n = 0; n < tree.k; ++n) {
    const int32_t* meta = tree.node_meta + 5 * n;
    if (meta[0] >= 0) continue;
    ++leaves;
    // Leaves that do not overlap need at most this many; overlapping ones could ask for far
    // more blocks than there are positions.
    const int64_t need = (int64_t{meta[3]} + kBlockLanes - 1) / kBlockLanes;
    if (count + need > tree.order_length / kBlockLanes + leaves ||
        count + need > std::numeric_limits<int32_t>::max())
      return -1;
    first_block[n] = static_cast<int32_t>(count);
    for (int32_t at = 0; at < meta[3]; at += kBlockLanes, ++count)
      spans[count] = {meta[2] + at, std::min(kBlockLanes, meta[3] - at)};
  }
  return count;
}

}  // namespace

bool reserve_lazy_leaves(LazyLeaves& lazy, const BlockSpan* spans, int64_t count) {
  constexpr size_t kAlign = 64;
  lazy.count = 0;
  lazy.generation = 1;
  lazy.spans = spans;
  if (count < 0 || static_cast<uint64_t>(count) > SIZE_MAX / sizeof(PreparedBlock) - 1 ||
      !lazy.stamps.resize(static_cast<size_t>(count)) ||
      !lazy.memory.resize(static_cast<size_t>(count) * sizeof(PreparedBlock) + kAlign))
    return false;
  const uintptr_t base = reinterpret_cast<uintptr_t>(lazy.memory.get());
  lazy.blocks = reinterpret_cast<PreparedBlock*>((base + kAlign - 1) & ~uintptr_t{kAlign - 1});
  std::fill(lazy.stamps.get(), lazy.stamps.get() + count, uint32_t{0});
  lazy.count = count;
  return true;
}

void next_generation(LazyLeaves& lazy) {
  if (++lazy.generation != 0) return;
  std::fill(lazy.stamps.get(), lazy.stamps.get() + lazy.count, uint32_t{0});
  lazy.generation = 1;
}

int64_t LeafLayout::add(const RayTree& tree, RawArray<int32_t>& first_block) {
  // Room for as many blocks as leaf_blocks could allow, so that one pass fills it; the
  // pages past those it fills are never touched.
  const int64_t bound = leaf_block_bound(tree);
  if (!first_block.resize(static_cast<size_t>(tree.k)) ||
      !spans_.resize(static_cast<size_t>(count_ + bound)))
    return -1;
  const int64_t added = leaf_blocks(tree, first_block.get(), spans_.get() + count_);
  if (added < 0) return -1;
  count_ += added;
  return count_ - added;
}

}  // namespace zet
