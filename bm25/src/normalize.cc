// normalize(): transliteration to ASCII with the deunicode table.
#include "normalize.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "default_tokenizer.h"
#include "embedded_data.h"

namespace bm25 {
namespace detail {

std::optional<std::string_view> deunicode_entry(char32_t cp) {
  if (cp > kDeunicodeLast) return std::nullopt;
  const std::string_view pointers = data::deunicode_pointers();
  const auto* p =
      reinterpret_cast<const unsigned char*>(pointers.data()) + 3 * static_cast<size_t>(cp);
  const size_t len = p[2];
  if (len <= 2) return std::string_view(pointers.data() + 3 * static_cast<size_t>(cp), len);
  const size_t off = static_cast<size_t>(p[0]) | static_cast<size_t>(p[1]) << 8;
  const std::string_view mapping = data::deunicode_mapping();
  if (off + len > mapping.size()) return std::nullopt;
  return mapping.substr(off, len);
}

namespace {
// Tab, LF, VT, FF and CR: kept as themselves (the mend of the published rule).
constexpr std::string_view kControls = "\t\n\v\f\r";
}  // namespace

std::string_view transliteration(char32_t cp) {
  if (cp >= 0x09 && cp <= 0x0D) return kControls.substr(cp - 0x09, 1);
  const std::optional<std::string_view> entry = deunicode_entry(cp);
  return entry ? *entry : kPlaceholder;
}

char32_t decode_utf8(std::string_view text, size_t pos, size_t* length) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  const unsigned b0 = s[pos];
  if (b0 < 0x80) {
    *length = 1;
    return b0;
  }
  size_t need;
  char32_t cp;
  unsigned lo = 0x80, hi = 0xBF;  // range of the first continuation byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    *length = 1;
    return 0xFFFD;
  }
  for (size_t k = 1; k <= need; ++k) {
    if (pos + k >= n) {
      *length = k;
      return 0xFFFD;
    }
    const unsigned b = s[pos + k];
    if (b < lo || b > hi) {
      *length = k;
      return 0xFFFD;
    }
    lo = 0x80;
    hi = 0xBF;
    cp = cp << 6 | (b & 0x3F);
  }
  *length = need + 1;
  return cp;
}

}  // namespace detail

namespace {
// The length of the leading run of bytes below 0x7F, 8 bytes at a time: a
// byte b is below 0x7F exactly when neither b nor b + 1 has its top bit set
// (a carry out of a byte >= 0x7F only ever flags bytes after it).
size_t ascii_prefix(std::string_view text) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHighs = 0x8080808080808080ULL;
  const char* p = text.data();
  const size_t n = text.size();
  size_t i = 0;
  while (i + 8 <= n) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    if (((w + kOnes) | w) & kHighs) break;
    i += 8;
  }
  while (i < n && static_cast<unsigned char>(p[i]) < 0x7F) ++i;
  return i;
}
}  // namespace

std::string_view normalize(std::string_view text, std::string* storage) {
  const size_t n = text.size();
  const size_t prefix = ascii_prefix(text);
  if (prefix == n) return text;

  storage->clear();
  storage->reserve(n | 15);
  storage->append(text.data(), prefix);

  size_t pos = prefix;
  size_t length;
  std::string_view current = detail::transliteration(detail::decode_utf8(text, pos, &length));
  pos += length;
  for (;;) {
    std::string_view next;
    const bool has_next = pos < n;
    if (has_next) {
      next = detail::transliteration(detail::decode_utf8(text, pos, &length));
      pos += length;
    }
    // An entry longer than one character that ends in a space loses it at the
    // end of the text or before an entry that begins with a space.
    if (current.size() > 1 && current.back() == ' ' &&
        (!has_next || (!next.empty() && next.front() == ' '))) {
      current.remove_suffix(1);
    }
    storage->append(current);
    if (!has_next) break;
    current = next;
  }
  return *storage;
}

}  // namespace bm25
