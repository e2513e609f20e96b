#include "hybridsearch/document_text.h"

#include <string_view>

#include "utils/unicode_space.h"

namespace vesk {

std::string metadata_to_string(const std::optional<Metadata>& metadata) {
  std::string out;
  if (!metadata.has_value()) return out;
  for (const auto& [raw_key, raw_value] : *metadata) {
    const std::string_view key = trim_white_space(raw_key);
    const std::string_view value = trim_white_space(raw_value);
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
  const std::string_view text = trim_white_space(document.text);
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
