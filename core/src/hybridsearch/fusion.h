// Weighted reciprocal rank fusion of ranked result lists.
//
// Thread safety: pure function of its inputs.
#ifndef VESK_CORE_HYBRIDSEARCH_FUSION_H_
#define VESK_CORE_HYBRIDSEARCH_FUSION_H_

#include <cstddef>
#include <string>
#include <vector>

#include "models/document_info.h"
#include "utils/status.h"

namespace vesk {

struct NamedResultList {
  std::string label;
  std::vector<QueryResultDocumentInfo> docs;  // best first
};

// Each document (by id) scores the sum over its occurrences of
// weight * (1 / (k + rank)), rank counted from 1 per list, in float32 with
// rounding after every operation; semantic lists weigh `alpha`, keyword lists
// 1 - alpha. Returns at most `top_k` documents, highest fused score first;
// equal fused scores come out in the order their ids were first seen. Each
// document's id, text and metadata come from its first occurrence.
//
// Fails with Internal "alpha must be between 0.0 and 1.0, got: <alpha>" unless
// 0 <= alpha <= 1 (NaN fails), alpha written as its shortest float32 decimal
// without exponent (1.5, -0.25, NaN, inf, -inf).
Result<std::vector<QueryResultDocumentInfo>> reciprocal_rank_fusion(
    std::vector<NamedResultList> semantic, std::vector<NamedResultList> keyword, size_t top_k,
    size_t rank_constant, float alpha);

}  // namespace vesk

#endif  // VESK_CORE_HYBRIDSEARCH_FUSION_H_
