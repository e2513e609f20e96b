// Transparent huge-page advice for large buffers.
//
// Filling a fresh buffer of many megabytes through 4 KiB page faults costs
// several times the writing itself; backing it with 2 MiB pages avoids most
// of them. The advice changes no contents and may be ignored by the system.
//
// Thread safety: safe to call from any thread. Ownership: the caller keeps
// the memory; nothing is allocated or freed here.
#ifndef VESK_CORE_UTILS_HUGE_PAGES_H_
#define VESK_CORE_UTILS_HUGE_PAGES_H_

#include <cstddef>

namespace vesk {

// The huge-page size the advice works in: 2 MiB.
inline constexpr size_t kHugePageBytes = size_t{2} << 20;

// Asks the system to back the whole 2 MiB pages inside [begin, begin + bytes)
// with transparent huge pages. The range is aligned inward, so a range that
// holds no whole huge page, or a null `begin`, is left alone. Advice only:
// where the system has no transparent huge pages, or refuses, nothing happens
// and nothing is reported.
void advise_huge_pages(void* begin, size_t bytes);

}  // namespace vesk

#endif  // VESK_CORE_UTILS_HUGE_PAGES_H_
