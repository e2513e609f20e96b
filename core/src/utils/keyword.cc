#include "utils/keyword.h"

namespace vesk {

namespace {

// The code points with the Unicode White_Space property.
bool is_unicode_white_space(char32_t c) {
  if (c >= 0x09 && c <= 0x0D) return true;
  if (c >= 0x2000 && c <= 0x200A) return true;
  switch (c) {
    case 0x20:
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
      return false;
  }
}

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Decodes the well-formed UTF-8 sequence of `len` bytes at `p`. Returns false
// for anything else (bad lead byte, bad continuation, overlong, surrogate).
bool decode(const unsigned char* p, size_t len, char32_t* out) {
  const unsigned char lead = p[0];
  size_t want;
  char32_t c;
  if (lead < 0x80) {
    want = 1;
    c = lead;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    want = 2;
    c = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    want = 3;
    c = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    want = 4;
    c = lead & 0x07;
  } else {
    return false;
  }
  if (len != want) return false;
  for (size_t i = 1; i < want; ++i) {
    if (!is_continuation(p[i])) return false;
    c = (c << 6) | (p[i] & 0x3F);
  }
  if ((want == 3 && c < 0x800) || (want == 4 && (c < 0x10000 || c > 0x10FFFF)) ||
      (c >= 0xD800 && c <= 0xDFFF)) {
    return false;
  }
  *out = c;
  return true;
}

size_t sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

}  // namespace

std::string_view trim_keyword_text(std::string_view text) {
  const auto* data = reinterpret_cast<const unsigned char*>(text.data());
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end) {
    const size_t len = sequence_length(data[begin]);
    char32_t c;
    if (len == 0 || begin + len > end || !decode(data + begin, len, &c) ||
        !is_unicode_white_space(c)) {
      break;
    }
    begin += len;
  }
  while (end > begin) {
    // Step back over at most three continuation bytes to the lead byte.
    size_t start = end - 1;
    while (start > begin && end - start < 4 && is_continuation(data[start])) --start;
    char32_t c;
    if (!decode(data + start, end - start, &c) || !is_unicode_white_space(c)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

std::string metadata_to_string(const std::optional<Metadata>& metadata) {
  std::string out;
  if (!metadata.has_value()) return out;
  for (const auto& [raw_key, raw_value] : *metadata) {
    const std::string_view key = trim_keyword_text(raw_key);
    const std::string_view value = trim_keyword_text(raw_value);
    if (key.empty() && value.empty()) continue;
    if (!out.empty()) out.push_back(' ');
    if (!key.empty()) {
      out.append(key);
      if (!value.empty()) out.push_back(' ');
    }
    out.append(value);
  }
  return out;
}

std::string collect_document_text(const DocumentInfo& document) {
  const std::string_view text = trim_keyword_text(document.text);
  std::string rendered = metadata_to_string(document.metadata);
  if (text.empty()) return rendered;
  std::string out;
  out.reserve(text.size() + 1 + rendered.size());
  out.append(text);
  if (!rendered.empty()) {
    out.push_back(' ');
    out.append(rendered);
  }
  return out;
}

}  // namespace vesk
