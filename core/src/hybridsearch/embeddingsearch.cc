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

}  // namespace

Result<std::vector<ScoredSlot>> embedding_search(const EmbeddingStore& embeddings,
                                                 std::span<const float> query, size_t top_k,
                                                 const Bitmap* allowed) {
  std::vector<ScoredSlot> results;
  const size_t slots = embeddings.size();
  auto taking = [allowed](size_t slot) { return allowed == nullptr || allowed->test(slot); };
  const size_t pairs = allowed == nullptr ? slots : allowed->count();
  if (pairs == 0) return results;

  // Every slot taking part is checked before any is scored; the first
  // mismatch in slot order wins, as if they were scored one by one.
  size_t dim = 0;
  const bool uniform = embeddings.uniform(&dim);
  if (uniform) {
    if (dim != query.size()) return length_mismatch(query.size(), dim);
  } else {
    for (size_t p = 0; p < slots; ++p) {
      if (taking(p) && embeddings.length(p) != query.size()) {
        return length_mismatch(query.size(), embeddings.length(p));
      }
    }
  }

  ScopedExactSubnormals exact_subnormals;
  BlockScorer scorer = uniform ? dense_block_scorer() : nullptr;
  alignas(64) float chunk[kChunkBlocks * kLanes];

  if (pairs == 1) {
    // Nothing to order, so even a NaN score is returned.
    size_t only = 0;
    while (!taking(only)) ++only;
    float score;
    if (uniform) {
      scorer(embeddings.block(only / kLanes), 1, dim, query.data(), chunk);
      score = chunk[only % kLanes];
    } else {
      score = dot_product(query, embeddings.row(only)).value();
    }
    if (top_k > 0) results.push_back(ScoredSlot{score, static_cast<uint32_t>(only)});
    return results;
  }

  // Scores arrive in slot order, so a score equal to the worst kept one never
  // displaces it: ties keep storage order.
  TopK<uint32_t> selector(std::min(top_k, pairs));
  if (uniform) {
    const size_t block_total = (slots + kLanes - 1) / kLanes;
    for (size_t b = 0; b < block_total; b += kChunkBlocks) {
      const size_t blocks = std::min(kChunkBlocks, block_total - b);
      scorer(embeddings.block(b), blocks, dim, query.data(), chunk);
      const size_t first = b * kLanes;
      const size_t count = std::min(blocks * kLanes, slots - first);
      if (allowed == nullptr) {
        for (size_t j = 0; j < count; ++j) {
          selector.offer_in_order(chunk[j], static_cast<uint32_t>(first + j));
        }
      } else {
        for (size_t j = 0; j < count; ++j) {
          if (allowed->test(first + j)) {
            selector.offer_in_order(chunk[j], static_cast<uint32_t>(first + j));
          }
        }
      }
    }
  } else {
    for (size_t p = 0; p < slots; ++p) {
      if (!taking(p)) continue;
      const float score = dot_product(query, embeddings.row(p)).value();
      selector.offer_in_order(score, static_cast<uint32_t>(p));
    }
  }
  if (selector.saw_nan()) {
    return Status::Internal("Cannot order embedding scores: a similarity score is NaN");
  }
  return selector.take_sorted();
}

}  // namespace vesk
