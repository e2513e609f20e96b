// Advice to the system about how to back large buffers with pages.
//
// Filling a fresh buffer of many megabytes through 4 KiB page faults costs
// several times the writing itself. Backing it with 2 MiB pages avoids most
// of the faults; mapping a range writable in one call ahead of the writes
// avoids taking them one page at a time. Neither changes any contents, and
// the system may ignore either.
//
// Thread safety: safe to call from any thread. Ownership: the caller keeps
// the memory; nothing is allocated or freed here.
#ifndef VESK_CORE_UTILS_PAGE_ADVICE_H_
#define VESK_CORE_UTILS_PAGE_ADVICE_H_

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

// Maps the whole pages inside [begin, begin + bytes) writable ahead of their
// first store: one system call for many pages instead of a page fault per
// page. Aligned inward like advise_huge_pages(). Advice only: where the
// system cannot (Linux before 5.14, other systems), the pages fault in as
// they are touched, and after the first refusal nothing more is asked.
void prefault_for_write(void* begin, size_t bytes);

}  // namespace vesk

#endif  // VESK_CORE_UTILS_PAGE_ADVICE_H_
