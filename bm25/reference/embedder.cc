#include "embedder.h"

#include <algorithm>
#include <utility>

namespace bm25 {

Embedder::Embedder(DefaultTokenizer tokenizer, float k1, float b, float avgdl)
    : tokenizer_(std::move(tokenizer)), k1_(k1), b_(b), avgdl_(avgdl) {}

void Embedder::token_indices(std::string_view text, std::vector<uint32_t>* out) const {
  tokenizer_.for_each_token(
      text, [out](std::string_view token) { out->push_back(TokenEmbedder::embed(token)); });
}

SparseEmbedding Embedder::embed(std::string_view text) const {
  std::vector<uint32_t> indices;
  token_indices(text, &indices);
  SparseEmbedding result;
  if (indices.empty()) return result;

  // Term frequencies are counted over dimensions, so colliding tokens count
  // together. A sorted copy serves as the frequency table.
  std::vector<uint32_t> sorted = indices;
  std::sort(sorted.begin(), sorted.end());
  const float len = static_cast<float>(indices.size());
  result.reserve(indices.size());
  for (uint32_t index : indices) {
    auto [lo, hi] = std::equal_range(sorted.begin(), sorted.end(), index);
    const float tf = static_cast<float>(hi - lo);
    result.push_back(TokenWeight{index, term_weight(k1_, b_, tf, len, avgdl_)});
  }
  return result;
}

}  // namespace bm25
