// Exhaustive inner-product search over an index's embeddings, on the calling
// thread or split over the threads of a ThreadPool, one query at a time or a
// batch of queries per pass over the embeddings.
//
// Every form returns exactly what the one-thread, one-query search returns:
// the scores are computed by the same sums, and the best entries are chosen by
// one total order (score descending, slot ascending), so neither the split
// into parts nor the grouping of queries can change a result.
//
// Thread safety: pure functions of their inputs; the store must not change
// during a call. Ownership: borrows everything; the pool is only used for the
// duration of the call.
#ifndef VESK_CORE_HYBRIDSEARCH_EMBEDDING_SEARCH_H_
#define VESK_CORE_HYBRIDSEARCH_EMBEDDING_SEARCH_H_

#include <cstddef>
#include <span>
#include <vector>

#include "hybridsearch/thread_pool.h"
#include "hybridsearch/top_k.h"
#include "store/embedding_store.h"
#include "utils/bitmap.h"
#include "utils/status.h"

namespace vesk {

// Scores every slot of `embeddings` (only those set in `allowed` when it is
// given) by dot_product(query, embedding) and returns the best `top_k`,
// highest score first, equal scores in slot order. With a `pool`, parts of
// the store are scanned on its threads; the answer is the same.
//
// Fails with Internal "Vector length mismatch: len(a)=<query length> !=
// len(b)=<stored length>" for the first scored embedding (in slot order)
// whose length differs from the query's, even when top_k is 0; and with
// Internal when two or more slots were scored and any score is NaN.
// May throw std::bad_alloc.
Result<std::vector<ScoredSlot>> embedding_search(const EmbeddingStore& embeddings,
                                                 std::span<const float> query, size_t top_k,
                                                 const Bitmap* allowed, ThreadPool* pool = nullptr);

// The searches for `query_count` queries of equal length stored row-major in
// `queries` (query q is queries[q * len, (q + 1) * len), len = queries.size()
// / query_count): entry q is exactly embedding_search(embeddings, query q,
// top_k, allowed). Each block of embeddings is read once per group of up to
// kMaxBatchQueries queries. REQUIRES: queries.size() is a multiple of
// query_count (when query_count > 0). May throw std::bad_alloc.
std::vector<Result<std::vector<ScoredSlot>>> embedding_search_batch(
    const EmbeddingStore& embeddings, std::span<const float> queries, size_t query_count,
    size_t top_k, const Bitmap* allowed, ThreadPool* pool = nullptr);

}  // namespace vesk

#endif  // VESK_CORE_HYBRIDSEARCH_EMBEDDING_SEARCH_H_
