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

  // An entry longer than one character that ends in a space waits here for
  // the next character: it loses that space at the end of the text or when
  // the next character's entry begins with a space.
  std::string_view pending;
  auto settle = [&](bool next_begins_with_space) {
    if (pending.empty()) return;
    if (next_begins_with_space) pending.remove_suffix(1);
    storage->append(pending);
    pending = {};
  };

  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  size_t pos = prefix;
  while (pos < n) {
    if (bytes[pos] < 0x80) {
      // A run of ASCII: every entry is the byte itself (printable, or tab,
      // LF, VT, FF, CR by the mend) or empty (the other controls, DEL).
      settle(bytes[pos] == ' ');
      size_t run = pos;
      while (run < n && bytes[run] < 0x80) ++run;
      size_t copied = pos;
      for (size_t i = pos; i < run; ++i) {
        const unsigned c = bytes[i];
        if ((c >= 0x20 && c < 0x7F) || (c >= 0x09 && c <= 0x0D)) continue;
        storage->append(text.data() + copied, i - copied);
        copied = i + 1;
      }
      storage->append(text.data() + copied, run - copied);
      pos = run;
      continue;
    }
    size_t length;
    const std::string_view entry = detail::transliteration(detail::decode_utf8(text, pos, &length));
    pos += length;
    settle(!entry.empty() && entry.front() == ' ');
    if (entry.size() > 1 && entry.back() == ' ') {
      pending = entry;
    } else {
      storage->append(entry);
    }
  }
  settle(true);  // the end of the text
  return *storage;
}

}  // namespace bm25
