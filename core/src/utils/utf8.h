// Checking that bytes are well-formed UTF-8, as every stored string must be.
//
// Thread safety: a pure function. Ownership: borrows its input.
#ifndef VESK_CORE_UTILS_UTF8_H_
#define VESK_CORE_UTILS_UTF8_H_

#include <string_view>

namespace vesk {

// True when `s` is strict UTF-8: no overlong forms, no surrogates, nothing
// above U+10FFFF, no sequence cut short at the end.
bool is_valid_utf8(std::string_view s);

}  // namespace vesk

#endif  // VESK_CORE_UTILS_UTF8_H_
