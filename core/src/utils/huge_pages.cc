#include "utils/huge_pages.h"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vesk {

void advise_huge_pages(void* begin, size_t bytes) {
#if defined(MADV_HUGEPAGE)
  if (begin == nullptr) return;
  const uintptr_t start = reinterpret_cast<uintptr_t>(begin);
  const uintptr_t first = (start + kHugePageBytes - 1) & ~uintptr_t{kHugePageBytes - 1};
  const uintptr_t last = (start + bytes) & ~uintptr_t{kHugePageBytes - 1};
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)begin;
  (void)bytes;
#endif
}

}  // namespace vesk
