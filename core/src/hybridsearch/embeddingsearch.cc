#include "hybridsearch/embeddingsearch.h"

#include <algorithm>
#include <limits>
#include <string>

#include "hybridsearch/dense_kernels.h"
#include "utils/vector.h"

namespace vesk {

namespace {

constexpr size_t kLanes = EmbeddingStore::kBlock;
// Blocks scored per kernel call: the scores of one chunk (4 KiB) stay in L1
// between the kernel and the selection.
constexpr size_t kChunkBlocks = 64;

Status LengthMismatch(size_t query_len, size_t stored_len) {
  return Status::Internal("Vector length mismatch: len(a)=" + std::to_string(query_len) +
                          " != len(b)=" + std::to_string(stored_len));
}

struct Scored {
  float score;
  size_t pos;
};

// Strict order of the ranking: higher score first, then lower position. Never
// sees a NaN score.
bool Better(const Scored& a, const Scored& b) {
  return a.score > b.score || (a.score == b.score && a.pos < b.pos);
}

// Keeps the best `capacity` of the scores offered in increasing position
// order, as a heap whose front is the worst kept entry. Positions only grow,
// so a new score that merely equals the worst kept one never gets in, exactly
// as a stable sort followed by a cut would decide. NaN scores are noted, not
// kept.
class TopSelector {
 public:
  explicit TopSelector(size_t capacity) : capacity_(capacity) {
    heap_.reserve(capacity);
    // While the heap has room `bar_` is NaN, so every score takes the slow
    // path; with no room at all only NaN does (to be noted).
    bar_ = capacity == 0 ? std::numeric_limits<float>::infinity()
                         : std::numeric_limits<float>::quiet_NaN();
  }

  void Offer(const float* scores, size_t count, size_t first_pos) {
    for (size_t j = 0; j < count; ++j) {
      const float v = scores[j];
      if (v <= bar_) continue;  // cannot enter; the common case
      Admit(v, first_pos + j);
    }
  }

  bool saw_nan() const { return saw_nan_; }

  // Best first. Leaves the selector empty.
  std::vector<Scored> TakeSorted() {
    std::sort_heap(heap_.begin(), heap_.end(), Better);
    return std::move(heap_);
  }

 private:
  void Admit(float v, size_t pos) {
    if (v != v) {
      saw_nan_ = true;
      return;
    }
    if (capacity_ == 0) return;
    if (heap_.size() < capacity_) {
      heap_.push_back({v, pos});
      std::push_heap(heap_.begin(), heap_.end(), Better);
      if (heap_.size() == capacity_) bar_ = heap_.front().score;
      return;
    }
    // Here v > bar_, the worst kept score: replace it.
    std::pop_heap(heap_.begin(), heap_.end(), Better);
    heap_.back() = {v, pos};
    std::push_heap(heap_.begin(), heap_.end(), Better);
    bar_ = heap_.front().score;
  }

  size_t capacity_;
  float bar_;
  bool saw_nan_ = false;
  std::vector<Scored> heap_;
};

QueryResultDocumentInfo Copy(const DocumentInfo& doc, float score) {
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
    if (dim != query.size()) return LengthMismatch(query.size(), dim);
  } else {
    for (size_t p = 0; p < pairs; ++p) {
      if (embeddings.length(p) != query.size()) {
        return LengthMismatch(query.size(), embeddings.length(p));
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
    if (top_k > 0) results.push_back(Copy(docs[0], score));
    return results;
  }

  TopSelector selector(std::min(top_k, pairs));
  if (uniform) {
    const size_t block_total = (pairs + kLanes - 1) / kLanes;
    for (size_t b = 0; b < block_total; b += kChunkBlocks) {
      const size_t blocks = std::min(kChunkBlocks, block_total - b);
      scorer(embeddings.block(b), blocks, dim, query.data(), chunk);
      const size_t first = b * kLanes;
      selector.Offer(chunk, std::min(blocks * kLanes, pairs - first), first);
    }
  } else {
    for (size_t p = 0; p < pairs; ++p) {
      const float score = dot_product(query, embeddings.row(p)).value();
      selector.Offer(&score, 1, p);
    }
  }
  if (selector.saw_nan()) {
    return Status::Internal("Cannot order embedding scores: a similarity score is NaN");
  }

  const std::vector<Scored> best = selector.TakeSorted();
  results.reserve(best.size());
  for (const Scored& s : best) results.push_back(Copy(docs[s.pos], s.score));
  return results;
}

}  // namespace vesk
