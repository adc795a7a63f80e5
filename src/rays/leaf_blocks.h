// Where each leaf's prepared triangles sit, in blocks of four positions, and the blocks of
// several trees prepared on demand, direction by direction.
#pragma once
#include <cstdint>

#include "rays/ray_tree_hits.h"
#include "runtime/raw_array.h"

namespace zet {

// Blocks of the tree's leaves: every leaf node, in node order, takes its blocks after those
// of the leaves before it; first_block (k entries, or null) gets each leaf's first block and
// blocks (or null) the first position and lane count of each block, not prepared. Returns the
// number of blocks, or -1 when that exceeds what leaves that do not overlap can need (the caller
// then walks the binary tree) or `room`.
int64_t leaf_blocks(const RayTree& tree, int32_t* first_block, PreparedBlock* blocks,
                    int64_t room = INT64_MAX);

// Blocks prepared on demand, for one direction at a time, for several trees at once (each
// at its own offset): a leaf's blocks are prepared when the stamp of its first block is the
// current generation; a new direction takes a new generation (next_generation).
struct LazyLeaves {
  RawArray<unsigned char> memory;
  PreparedBlock* blocks = nullptr;  // 64-byte aligned in memory
  int64_t count = 0;
  uint32_t generation = 1;
};

// Room for `count` blocks in all, none prepared; describe_blocks then fills in the blocks of
// each tree at its offset: `count` of them, as its leaf_blocks counted them (nothing when
// that is -1, and never more). False when memory could not be had.
bool reserve_lazy_leaves(LazyLeaves& lazy, int64_t count);
void describe_blocks(const RayTree& tree, int64_t count, LazyLeaves& lazy, int64_t offset);
// One tree's blocks, for the rays of one call: room for them in lazy, each described (none
// prepared), and each leaf's first block in first_block (k entries). Returns the number of blocks,
// or -1 as leaf_blocks does (or when memory could not be had); lazy is then left without blocks.
int64_t lay_out_leaves(const RayTree& tree, int32_t* first_block, LazyLeaves& lazy);
// Nothing prepared from here on, at the cost of one increment: once the generations have
// gone round, the stamps are cleared, so an old stamp never passes for a new generation.
void next_generation(LazyLeaves& lazy);

}  // namespace zet
