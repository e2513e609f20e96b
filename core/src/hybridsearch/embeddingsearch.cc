#include "hybridsearch/embeddingsearch.h"

#include <algorithm>
#include <string>

#include "hybridsearch/dense_kernels.h"
#include "hybridsearch/top_k.h"
#include "utils/vector.h"

namespace vesk {

namespace {

constexpr size_t kLanes = EmbeddingStore::kBlock;
// Blocks scored per kernel call: the scores of one chunk (4 KiB) stay in L1
// between the kernel and the selection.
constexpr size_t kChunkBlocks = 64;

Status length_mismatch(size_t query_len, size_t stored_len) {
  return Status::Internal("Vector length mismatch: len(a)=" + std::to_string(query_len) +
                          " != len(b)=" + std::to_string(stored_len));
}

QueryResultDocumentInfo copy_document(const DocumentInfo& doc, float score) {
  return QueryResultDocumentInfo{doc.id, doc.text, doc.metadata, score};
}

}  // namespace

Result<std::vector<QueryResultDocumentInfo>> embedding_search(std::span<const DocumentInfo> docs,
                                                              const EmbeddingStore& embeddings,
                                                              std::span<const float> query,
                                                              size_t top_k) {
  std::vector<QueryResultDocumentInfo> results;
  const size_t pairs = std::min(docs.size(), embeddings.size());
  if (pairs == 0) return results;

  // Every pair is checked before any is scored; the first mismatch in storage
  // order wins, as if the pairs were scored one by one.
  size_t dim = 0;
  const bool uniform = embeddings.uniform(&dim);
  if (uniform) {
    if (dim != query.size()) return length_mismatch(query.size(), dim);
  } else {
    for (size_t p = 0; p < pairs; ++p) {
      if (embeddings.length(p) != query.size()) {
        return length_mismatch(query.size(), embeddings.length(p));
      }
    }
  }

  ScopedExactSubnormals exact_subnormals;
  BlockScorer scorer = uniform ? dense_block_scorer() : nullptr;
  alignas(64) float chunk[kChunkBlocks * kLanes];

  if (pairs == 1) {
    // Nothing to order, so even a NaN score is returned.
    float score;
    if (uniform) {
      scorer(embeddings.block(0), 1, dim, query.data(), chunk);
      score = chunk[0];
    } else {
      score = dot_product(query, embeddings.row(0)).value();
    }
    if (top_k > 0) results.push_back(copy_document(docs[0], score));
    return results;
  }

  // Scores arrive in storage order, so a score equal to the worst kept one
  // never displaces it: ties keep storage order.
  TopK<size_t> selector(std::min(top_k, pairs));
  if (uniform) {
    const size_t block_total = (pairs + kLanes - 1) / kLanes;
    for (size_t b = 0; b < block_total; b += kChunkBlocks) {
      const size_t blocks = std::min(kChunkBlocks, block_total - b);
      scorer(embeddings.block(b), blocks, dim, query.data(), chunk);
      const size_t first = b * kLanes;
      const size_t count = std::min(blocks * kLanes, pairs - first);
      for (size_t j = 0; j < count; ++j) selector.offer_in_order(chunk[j], first + j);
    }
  } else {
    for (size_t p = 0; p < pairs; ++p) {
      const float score = dot_product(query, embeddings.row(p)).value();
      selector.offer_in_order(score, p);
    }
  }
  if (selector.saw_nan()) {
    return Status::Internal("Cannot order embedding scores: a similarity score is NaN");
  }

  const std::vector<TopK<size_t>::Entry> best = selector.take_sorted();
  results.reserve(best.size());
  for (const auto& entry : best)
    results.push_back(copy_document(docs[entry.position], entry.score));
  return results;
}

}  // namespace vesk
