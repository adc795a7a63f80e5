// Working memory of a tree build: the per-triangle boxes and the split pairs, in
// one block. A block of at most kKeptBuildScratchBytes outlives its build, for the next one:
// the disassembly planner builds trees of a few thousand triangles many times in a row, and
// each fresh block would be faulted in page by page (about 4% of such a build).
#pragma once
#include <cstddef>

#include "tree/build_kernel.h"

namespace zet {

// About 95k triangles; a larger block is returned to the allocator after its build.
constexpr size_t kKeptBuildScratchBytes = size_t{8} << 20;

class TreeBuildScratch {
 public:
  TreeBuildScratch() = default;
  ~TreeBuildScratch();
  TreeBuildScratch(const TreeBuildScratch&) = delete;
  TreeBuildScratch& operator=(const TreeBuildScratch&) = delete;

  // Room for triangle_count triangles; false when the memory is not available.
  bool reserve(size_t triangle_count);
  // Points the scratch members of arrays (boxes, keys, split pairs) into the block.
  void assign(TreeBuildArrays& arrays) const;

  struct Block;

 private:
  Block* block_ = nullptr;
  size_t triangle_count_ = 0;
};

}  // namespace zet
