// Large fresh blocks are faulted in page by page on first touch: a million-triangle build
// took some 17 thousand faults (about a sixth of its time) for its working memory and
// results. Asking the kernel for huge pages on its working memory turns most of that into a
// few dozen (results are left to the allocator, see new_bytes).
#pragma once
#include <cstddef>
#include <cstdint>

namespace zet {

// Blocks from this size on are advised; smaller ones would rarely hold an aligned huge page.
constexpr size_t kHugePageAdviceFrom = size_t{4} << 20;
constexpr uintptr_t kHugePageBytes = uintptr_t{2} << 20;

// The whole huge pages inside [data, data + bytes): [begin, end), empty (end <= begin) when
// there are none.
struct HugePageRange {
  uintptr_t begin, end;
};

constexpr HugePageRange huge_pages_inside(uintptr_t data, size_t bytes) {
  return {(data + kHugePageBytes - 1) & ~(kHugePageBytes - 1),
          (data + bytes) & ~(kHugePageBytes - 1)};
}

// Asks for huge pages on the whole huge pages inside a block of at least kHugePageAdviceFrom
// bytes; only advice: where huge pages are off, nothing changes.
void advise_huge_pages(void* data, size_t bytes);

}  // namespace zet
