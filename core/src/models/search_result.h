// The answer of a hybrid query.
//
// Thread safety: plain value.
#ifndef VESK_CORE_MODELS_SEARCH_RESULT_H_
#define VESK_CORE_MODELS_SEARCH_RESULT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "models/document_info.h"

namespace vesk {

struct SearchResult {
  std::vector<QueryResultDocumentInfo> docs;  // best first
  std::string query;                          // exactly as the caller gave it
  std::optional<std::string> index_name;
  std::optional<uint64_t> time_taken_ms;
};

}  // namespace vesk

#endif  // VESK_CORE_MODELS_SEARCH_RESULT_H_
