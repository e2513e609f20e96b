// Documents as they are stored and as they come back from a query.
//
// Metadata keeps the caller's insertion order; keys are unique (the binding
// reads them from a dict). Absent metadata (std::nullopt) and an empty map are
// different states and both survive copies.
//
// Thread safety: plain values.
#ifndef VESK_CORE_MODELS_DOCUMENT_INFO_H_
#define VESK_CORE_MODELS_DOCUMENT_INFO_H_

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vesk {

using Metadata = std::vector<std::pair<std::string, std::string>>;

struct DocumentInfo {
  std::string id;
  std::string text;
  std::optional<Metadata> metadata;
};

// One entry of a ranked answer. The meaning of `score` depends on the path that
// produced it: an inner product, a BM25 score or a fused reciprocal-rank score.
struct QueryResultDocumentInfo {
  std::string id;
  std::string text;
  std::optional<Metadata> metadata;
  float score = 0.0f;
};

}  // namespace vesk

#endif  // VESK_CORE_MODELS_DOCUMENT_INFO_H_
