#include "scorer.h"

#include <utility>

namespace bm25 {

void Scorer::upsert(DocumentId id, SparseEmbedding embedding) {
  remove(id);
  for (const TokenWeight& entry : embedding) inverted_token_index_[entry.index].insert(id);
  embeddings_[id] = std::move(embedding);
}

void Scorer::remove(DocumentId id) {
  auto it = embeddings_.find(id);
  if (it == embeddings_.end()) return;
  for (const TokenWeight& entry : it->second) {
    auto set = inverted_token_index_.find(entry.index);
    if (set != inverted_token_index_.end()) set->second.erase(id);
  }
  embeddings_.erase(it);
}

float Scorer::score_(const SparseEmbedding& doc, const SparseEmbedding& query) const {
  if (query.empty()) return 0.0f;
  const float n_docs = static_cast<float>(embeddings_.size());
  float sum = 0.0f;
  for (const TokenWeight& q : query) {
    auto set = inverted_token_index_.find(q.index);
    const float doc_freq =
        set == inverted_token_index_.end() ? 0.0f : static_cast<float>(set->second.size());
    const float term_idf = idf(n_docs, doc_freq);
    float weight = 0.0f;
    for (const TokenWeight& d : doc) {
      if (d.index == q.index) {
        weight = d.value;
        break;
      }
    }
    const float contribution = term_idf * weight;
    sum = sum + contribution;
  }
  return sum;
}

}  // namespace bm25
