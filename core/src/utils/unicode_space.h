// Trimming of Unicode white space (the White_Space property) from UTF-8 text.
//
// Thread safety: pure functions.
#ifndef VESK_CORE_UTILS_UNICODE_SPACE_H_
#define VESK_CORE_UTILS_UNICODE_SPACE_H_

#include <string_view>

namespace vesk {

// True for the 25 code points with the Unicode White_Space property.
bool is_white_space(char32_t c);

// `text` without its leading and trailing White_Space characters. Bytes that
// are not valid UTF-8 are never trimmed.
std::string_view trim_white_space(std::string_view text);

}  // namespace vesk

#endif  // VESK_CORE_UTILS_UNICODE_SPACE_H_
