#include "hybridsearch/fusion.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "utils/float_format.h"

namespace vesk {

namespace {

// The fused scores and first-seen copies of the documents, both in the order
// their ids were first seen.
class FusionTable {
 public:
  // Adds `weight` * (1 / (k + r)) for each entry of `list` at rank r (from 1),
  // in float32 with a rounding after every operation.
  void add_list(std::vector<QueryResultDocumentInfo>& list, float k, float weight) {
    size_t rank = 0;
    for (QueryResultDocumentInfo& entry : list) {
      ++rank;
      const float r = static_cast<float>(rank);
      const float divisor = k + r;
      const float quotient = 1.0f / divisor;
      const float contribution = weight * quotient;
      const size_t slot = slot_for(entry);
      scores_[slot] = scores_[slot] + contribution;
    }
  }

  // The best `top_k` documents by fused score. The sort is stable, so equal
  // scores keep first-seen order however many tie (an unstable sort keeps it
  // only for short runs). Scores are never NaN: every contribution is finite.
  std::vector<QueryResultDocumentInfo> take(size_t top_k) {
    std::vector<size_t> order(docs_.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [this](size_t a, size_t b) { return scores_[a] > scores_[b]; });
    const size_t count = std::min(top_k, order.size());
    std::vector<QueryResultDocumentInfo> out;
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
      QueryResultDocumentInfo& doc = docs_[order[i]];
      doc.score = scores_[order[i]];
      out.push_back(std::move(doc));
    }
    return out;
  }

 private:
  // Slot of the entry's id; a new id takes over the entry's id, text and
  // metadata (the inputs are consumed, so they are moved, not copied).
  size_t slot_for(QueryResultDocumentInfo& entry) {
    auto [it, inserted] = slots_.try_emplace(entry.id, docs_.size());
    if (inserted) {
      docs_.push_back(QueryResultDocumentInfo{std::move(entry.id), std::move(entry.text),
                                              std::move(entry.metadata), 0.0f});
      scores_.push_back(0.0f);
    }
    return it->second;
  }

  std::unordered_map<std::string, size_t> slots_;
  std::vector<QueryResultDocumentInfo> docs_;
  std::vector<float> scores_;
};

}  // namespace

Result<std::vector<QueryResultDocumentInfo>> reciprocal_rank_fusion(
    std::vector<NamedResultList> semantic, std::vector<NamedResultList> keyword, size_t top_k,
    size_t rank_constant, float alpha) {
  if (!(alpha >= 0.0f && alpha <= 1.0f)) {
    return Status::Internal("alpha must be between 0.0 and 1.0, got: " + format_float_plain(alpha));
  }
  const float k = static_cast<float>(rank_constant);
  const float keyword_weight = 1.0f - alpha;

  FusionTable table;
  if (alpha > 0.0f) {
    for (NamedResultList& list : semantic) table.add_list(list.docs, k, alpha);
  }
  if (alpha < 1.0f) {
    for (NamedResultList& list : keyword) table.add_list(list.docs, k, keyword_weight);
  }
  return table.take(top_k);
}

}  // namespace vesk
