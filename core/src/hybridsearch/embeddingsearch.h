// Exhaustive inner-product search over an index's embeddings.
//
// Thread safety: pure function of its inputs.
#ifndef VESK_CORE_HYBRIDSEARCH_EMBEDDINGSEARCH_H_
#define VESK_CORE_HYBRIDSEARCH_EMBEDDINGSEARCH_H_

#include <cstddef>
#include <span>
#include <vector>

#include "hybridsearch/top_k.h"
#include "index/embedding_store.h"
#include "utils/bitmap.h"
#include "utils/status.h"

namespace vesk {

// Scores every slot of `embeddings` (only those set in `allowed` when it is
// given) by dot_product(query, embedding) and returns the best `top_k`,
// highest score first, equal scores in slot order.
//
// Fails with Internal "Vector length mismatch: len(a)=<query length> !=
// len(b)=<stored length>" for the first scored embedding (in slot order)
// whose length differs from the query's, even when top_k is 0; and with
// Internal when two or more slots were scored and any score is NaN.
Result<std::vector<ScoredSlot>> embedding_search(const EmbeddingStore& embeddings,
                                                 std::span<const float> query, size_t top_k,
                                                 const Bitmap* allowed);

}  // namespace vesk

#endif  // VESK_CORE_HYBRIDSEARCH_EMBEDDINGSEARCH_H_
