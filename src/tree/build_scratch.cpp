#include "tree/build_scratch.h"

#include <atomic>
#include <cstdint>

#include "runtime/raw_memory.h"

namespace zet {

// The block's size sits in front of its arrays, so that a kept block is a single pointer
// that builds on any thread can take and give back atomically.
struct TreeBuildScratch::Block {
  size_t bytes;
};

namespace {

std::atomic<TreeBuildScratch::Block*> kept_block{nullptr};

// The arrays start after the size, at the allocator's alignment.
constexpr size_t kHeaderBytes = 16;
// A box row per triangle, then one split pair.
constexpr size_t kBytesPerTriangle = kTriangleBoxStride * sizeof(double) + sizeof(SplitPair);

size_t block_bytes(size_t triangle_count) {
  return kHeaderBytes + triangle_count * kBytesPerTriangle;
}

}  // namespace

TreeBuildScratch::~TreeBuildScratch() {
  if (block_ == nullptr) return;
  if (block_->bytes <= kKeptBuildScratchBytes) block_ = kept_block.exchange(block_);
  raw_free(block_);
}

bool TreeBuildScratch::reserve(size_t triangle_count) {
  triangle_count_ = triangle_count;
  const size_t bytes = block_bytes(triangle_count);
  if (block_ != nullptr && block_->bytes >= bytes) return true;
  raw_free(block_);
  block_ = kept_block.exchange(nullptr);
  if (block_ != nullptr && block_->bytes >= bytes) return true;
  raw_free(block_);
  block_ = static_cast<Block*>(raw_malloc(bytes));
  if (block_ == nullptr) return false;
  block_->bytes = bytes;
  return true;
}

void TreeBuildScratch::assign(TreeBuildArrays& arrays) const {
  unsigned char* p = reinterpret_cast<unsigned char*>(block_) + kHeaderBytes;
  const size_t m = triangle_count_;
  arrays.tri_min = reinterpret_cast<double*>(p);
  arrays.tri_max = arrays.tri_min + 3;
  arrays.split_pairs = reinterpret_cast<SplitPair*>(arrays.tri_min + kTriangleBoxStride * m);
}

}  // namespace zet
