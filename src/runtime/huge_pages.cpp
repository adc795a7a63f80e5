#include "runtime/huge_pages.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace zet {

void advise_huge_pages(void* data, size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes < kHugePageAdviceFrom) return;
  const HugePageRange r = huge_pages_inside(reinterpret_cast<uintptr_t>(data), bytes);
  if (r.end > r.begin) madvise(reinterpret_cast<void*>(r.begin), r.end - r.begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

}  // namespace zet
