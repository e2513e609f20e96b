#include "utils/unicode_space.h"

#include <cstddef>

namespace vesk {

bool is_white_space(char32_t c) {
  if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
  if (c < 0x85) return false;
  switch (c) {
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

namespace {

// Decodes the character starting at text[i]; returns its length in bytes, or
// 0 when the bytes there are not a valid UTF-8 sequence.
size_t decode_at(std::string_view text, size_t i, char32_t* out) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = b(i);
  size_t len;
  char32_t c;
  if (lead < 0x80) {
    *out = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    len = 2;
    c = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    len = 3;
    c = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    len = 4;
    c = lead & 0x07;
  } else {
    return 0;
  }
  if (i + len > text.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    c = (c << 6) | (b(i + k) & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not valid UTF-8.
  static constexpr char32_t kMinimum[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kMinimum[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  *out = c;
  return len;
}

// Start of the character that ends just before `end`, or `end` when the bytes
// before it are not a valid UTF-8 sequence.
size_t previous_start(std::string_view text, size_t end) {
  size_t start = end;
  for (size_t k = 0; k < 4 && start > 0; ++k) {
    --start;
    if ((static_cast<unsigned char>(text[start]) & 0xC0) != 0x80) return start;
  }
  return end;
}

}  // namespace

std::string_view trim_white_space(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    char32_t c;
    size_t len = decode_at(text, begin, &c);
    if (len == 0 || !is_white_space(c)) break;
    begin += len;
  }
  size_t end = text.size();
  while (end > begin) {
    size_t start = previous_start(text, end);
    if (start == end || start < begin) break;
    char32_t c;
    size_t len = decode_at(text, start, &c);
    if (len != end - start || !is_white_space(c)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace vesk
