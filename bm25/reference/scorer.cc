#include "scorer.h"

#include <algorithm>
#include <utility>

namespace bm25 {

void Scorer::upsert(DocumentId id, SparseEmbedding embedding) {
  remove(id);
  // Only `id` is added while this loop runs, so a set already holding it has
  // it as its last element.
  for (const TokenWeight& entry : embedding) {
    std::vector<DocumentId>& set = inverted_token_index_[entry.index];
    if (set.empty() || set.back() != id) set.push_back(id);
  }
  embeddings_[id] = std::move(embedding);
}

void Scorer::remove(DocumentId id) {
  auto it = embeddings_.find(id);
  if (it == embeddings_.end()) return;
  for (const TokenWeight& entry : it->second) {
    auto set = inverted_token_index_.find(entry.index);
    if (set == inverted_token_index_.end()) continue;
    auto pos = std::find(set->second.begin(), set->second.end(), id);
    if (pos != set->second.end()) set->second.erase(pos);
  }
  embeddings_.erase(it);
}

std::vector<float> Scorer::query_idfs(const SparseEmbedding& query) const {
  const float n_docs = static_cast<float>(embeddings_.size());
  std::vector<float> idfs;
  idfs.reserve(query.size());
  for (const TokenWeight& q : query) {
    auto set = inverted_token_index_.find(q.index);
    const float doc_freq =
        set == inverted_token_index_.end() ? 0.0f : static_cast<float>(set->second.size());
    idfs.push_back(idf(n_docs, doc_freq));
  }
  return idfs;
}

float Scorer::score_with_idfs(const SparseEmbedding& doc, const SparseEmbedding& query,
                              const std::vector<float>& idfs) {
  float sum = 0.0f;
  for (size_t i = 0; i < query.size(); ++i) {
    const uint32_t index = query[i].index;
    float weight = 0.0f;
    for (const TokenWeight& d : doc) {
      if (d.index == index) {
        weight = d.value;
        break;
      }
    }
    const float contribution = idfs[i] * weight;
    sum = sum + contribution;
  }
  return sum;
}

float Scorer::score_(const SparseEmbedding& doc, const SparseEmbedding& query) const {
  if (query.empty()) return 0.0f;
  return score_with_idfs(doc, query, query_idfs(query));
}

}  // namespace bm25
