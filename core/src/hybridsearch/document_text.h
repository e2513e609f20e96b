// The searchable text of a document: its text followed by a rendering of its
// metadata, so that metadata keys and values can be found by keyword.
//
// Trimming always removes leading and trailing characters with the Unicode
// White_Space property.
//
// Thread safety: pure functions. Ownership: results are new strings.
#ifndef VESK_CORE_HYBRIDSEARCH_DOCUMENT_TEXT_H_
#define VESK_CORE_HYBRIDSEARCH_DOCUMENT_TEXT_H_

#include <optional>
#include <string>

#include "models/document_info.h"

namespace vesk {

// The metadata entries in their stored order, each rendered as "key value",
// "key" or "value" after trimming both (nothing when both are empty), joined
// by single spaces. Empty for absent or empty metadata.
std::string metadata_to_string(const std::optional<Metadata>& metadata);

// The trimmed text and the metadata rendering joined by one space; either one
// alone when the other is empty; empty when both are.
std::string collect_document_text(const DocumentInfo& document);

}  // namespace vesk

#endif  // VESK_CORE_HYBRIDSEARCH_DOCUMENT_TEXT_H_
