#include "utils/page_advice.h"

#include <atomic>
#include <cerrno>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace vesk {

namespace {

// Calls madvise(advice) on the whole pages of `page` bytes inside [begin,
// begin + bytes); returns its result (0 when there is no such page).
[[maybe_unused]] int advise_whole_pages(void* begin, size_t bytes, uintptr_t page, int advice) {
  const uintptr_t start = reinterpret_cast<uintptr_t>(begin);
  const uintptr_t first = (start + page - 1) & ~(page - 1);
  const uintptr_t last = (start + bytes) & ~(page - 1);
  if (last <= first) return 0;
  return madvise(reinterpret_cast<void*>(first), last - first, advice);
}

}  // namespace

void advise_huge_pages(void* begin, size_t bytes) {
#if defined(MADV_HUGEPAGE)
  if (begin == nullptr) return;
  advise_whole_pages(begin, bytes, kHugePageBytes, MADV_HUGEPAGE);
#else
  (void)begin;
  (void)bytes;
#endif
}

void prefault_for_write(void* begin, size_t bytes) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  static std::atomic<bool> refused{false};
  static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  if (begin == nullptr || refused.load(std::memory_order_relaxed)) return;
  if (advise_whole_pages(begin, bytes, page, MADV_POPULATE_WRITE) != 0 && errno == EINVAL) {
    refused.store(true, std::memory_order_relaxed);
  }
#else
  (void)begin;
  (void)bytes;
#endif
}

}  // namespace vesk
