// Exhaustive inner-product search over an index's embeddings.
//
// Thread safety: pure function of its inputs.
#ifndef VESK_CORE_HYBRIDSEARCH_EMBEDDINGSEARCH_H_
#define VESK_CORE_HYBRIDSEARCH_EMBEDDINGSEARCH_H_

#include <cstddef>
#include <span>
#include <vector>

#include "index/embedding_store.h"
#include "models/document_info.h"
#include "utils/status.h"

namespace vesk {

// Scores document i (for i below min(docs.size(), embeddings.size())) by
// dot_product(query, embedding i) and returns the best `top_k`, highest score
// first, equal scores in storage order, each with copies of the document's id,
// text and metadata.
//
// Fails with Internal "Vector length mismatch: len(a)=<query length> !=
// len(b)=<stored length>" for the first stored embedding (in storage order)
// whose length differs from the query's, even when top_k is 0; and with
// Internal when two or more documents were scored and any score is NaN.
Result<std::vector<QueryResultDocumentInfo>> embedding_search(std::span<const DocumentInfo> docs,
                                                              const EmbeddingStore& embeddings,
                                                              std::span<const float> query,
                                                              size_t top_k);

}  // namespace vesk

#endif  // VESK_CORE_HYBRIDSEARCH_EMBEDDINGSEARCH_H_
