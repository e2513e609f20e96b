#include "embedder.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <utility>

namespace bm25 {

namespace {

constexpr uint32_t kFxSeed = 0x27220A95u;

inline uint32_t fx_step(uint32_t h, uint32_t w) { return (std::rotl(h, 5) ^ w) * kFxSeed; }

}  // namespace

uint32_t TokenEmbedder::embed(std::string_view token) {
  const auto* p = reinterpret_cast<const unsigned char*>(token.data());
  size_t n = token.size();
  uint32_t h = 0;
  while (n >= 4) {
    uint32_t w = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                 static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
    h = fx_step(h, w);
    p += 4;
    n -= 4;
  }
  for (; n > 0; --n, ++p) h = fx_step(h, *p);
  return fx_step(h, 0xFFu);
}

float effective_avgdl(float avgdl) { return avgdl > 0.0f ? avgdl : kFallbackAvgdl; }

float term_weight(float k1, float b, float tf, float len, float avgdl) {
  const float a = effective_avgdl(avgdl);
  const float numerator = (k1 + 1.0f) * tf;
  const float ratio = len / a;
  const float scaled = b * ratio;
  const float inner = (1.0f - b) + scaled;
  const float saturation = k1 * inner;
  const float denominator = saturation + tf;
  return numerator / denominator;
}

float idf(float n_docs, float doc_freq) {
  const float rest = n_docs - doc_freq;
  const float top = rest + 0.5f;
  const float bottom = doc_freq + 0.5f;
  const float quotient = top / bottom;
  return std::log(quotient + 1.0f);
}

float average_length(uint64_t total_tokens, uint64_t n_docs) {
  if (n_docs == 0) return kFallbackAvgdl;
  return static_cast<float>(static_cast<double>(total_tokens) / static_cast<double>(n_docs));
}

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
