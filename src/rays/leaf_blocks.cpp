#include "rays/leaf_blocks.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace zet {

int64_t leaf_blocks(const RayTree& tree, int32_t* first_block, PreparedBlock* blocks,
                    int64_t room) {
  int64_t count = 0, leaves = 0;
  for (int64_t n = 0; n < tree.k; ++n) {
    const int32_t* meta = tree.node_meta + 5 * n;
    if (meta[0] >= 0) continue;
    ++leaves;
    // Leaves that do not overlap need at most this many; overlapping ones could ask for far
    // more blocks than there are positions.
    const int64_t need = (int64_t{meta[3]} + kBlockLanes - 1) / kBlockLanes;
    if (count + need > tree.order_length / kBlockLanes + leaves ||
        count + need > std::numeric_limits<int32_t>::max() || count + need > room)
      return -1;
    if (first_block != nullptr) first_block[n] = static_cast<int32_t>(count);
    for (int32_t at = 0; at < meta[3]; at += kBlockLanes, ++count) {
      if (blocks == nullptr) continue;
      blocks[count].first = meta[2] + at;
      blocks[count].lanes = std::min(kBlockLanes, meta[3] - at);
      blocks[count].stamp = 0;
    }
  }
  return count;
}

namespace {

// Room for count blocks, their contents undefined; lazy.count is 0 until they are described.
bool reserve_block_memory(LazyLeaves& lazy, int64_t count) {
  constexpr size_t kAlign = 64;
  lazy.count = 0;
  lazy.generation = 1;
  if (count < 0 || static_cast<uint64_t>(count) > SIZE_MAX / sizeof(PreparedBlock) - 1 ||
      !lazy.memory.resize(static_cast<size_t>(count) * sizeof(PreparedBlock) + kAlign))
    return false;
  const uintptr_t base = reinterpret_cast<uintptr_t>(lazy.memory.get());
  lazy.blocks = reinterpret_cast<PreparedBlock*>((base + kAlign - 1) & ~uintptr_t{kAlign - 1});
  return true;
}

}  // namespace

bool reserve_lazy_leaves(LazyLeaves& lazy, int64_t count) {
  if (!reserve_block_memory(lazy, count)) return false;
  lazy.count = count;
  for (int64_t b = 0; b < count; ++b) lazy.blocks[b].stamp = 0;
  lazy.generation = 1;
  return true;
}

void next_generation(LazyLeaves& lazy) {
  if (++lazy.generation != 0) return;
  for (int64_t b = 0; b < lazy.count; ++b) lazy.blocks[b].stamp = 0;
  lazy.generation = 1;
}

void describe_blocks(const RayTree& tree, int64_t count, LazyLeaves& lazy, int64_t offset) {
  if (count >= 0) leaf_blocks(tree, nullptr, lazy.blocks + offset, count);
}

int64_t lay_out_leaves(const RayTree& tree, int32_t* first_block, LazyLeaves& lazy) {
  // Counted (with the first blocks) before the room is taken: room for as many blocks as
  // leaf_blocks could allow would be up to twice as large, and past the size the allocator
  // keeps for reuse it would be mapped afresh, and its pages faulted in, on every call.
  // Describing them clears their stamps too, so that needs no pass of its own.
  const int64_t count = leaf_blocks(tree, first_block, nullptr);
  if (count < 0 || !reserve_block_memory(lazy, count)) return -1;
  leaf_blocks(tree, nullptr, lazy.blocks, count);
  lazy.count = count;
  return count;
}

}  // namespace zet
