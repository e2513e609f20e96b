// The BM25 arithmetic: token hashing, the parameters k1 and b, the term
// weight with its length-dependent part, the inverse document frequency and
// the average document length.
//
// This file is the only place where that arithmetic is written down. The
// reference engine (Embedder and Scorer) and the core's incremental keyword
// index both call these functions, so their scores agree bit for bit. Every
// float function computes in 32-bit floating point with one rounding per
// operation, in the order its comment gives; the build forbids contraction
// and reassociation, so inlining changes no result.
//
// Thread safety: pure functions and constants. Ownership: nothing is kept.
#ifndef VESK_BM25_BM25_MATH_H_
#define VESK_BM25_BM25_MATH_H_

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace bm25 {

// Term-frequency saturation and length normalisation of the engine.
inline constexpr float kK1 = 1.2f;
inline constexpr float kB = 0.75f;

// The average document length used when the fitted one is not positive (an
// empty corpus, or one whose documents all tokenize to nothing).
inline constexpr float kFallbackAvgdl = 256.0f;

// The mapping from a token to its dimension.
struct TokenEmbedder {
  // 32-bit FxHash of the bytes of `token` followed by 0xFF: h starts at 0 and
  // takes one step h = (rotl(h, 5) ^ w) * 0x27220A95 per little-endian 4-byte
  // word, then per remaining byte, then for 0xFF. Pure; never fails.
  static uint32_t embed(std::string_view token) {
    constexpr uint32_t kSeed = 0x27220A95u;
    auto step = [](uint32_t h, uint32_t w) { return (std::rotl(h, 5) ^ w) * kSeed; };
    const auto* p = reinterpret_cast<const unsigned char*>(token.data());
    size_t n = token.size();
    uint32_t h = 0;
    while (n >= 4) {
      const uint32_t w = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
      h = step(h, w);
      p += 4;
      n -= 4;
    }
    for (; n > 0; --n, ++p) h = step(h, *p);
    return step(h, 0xFFu);
  }
};

// `avgdl` when it is positive, kFallbackAvgdl otherwise.
inline float effective_avgdl(float avgdl) { return avgdl > 0.0f ? avgdl : kFallbackAvgdl; }

// The length-dependent part of the term weight of a text of `len` tokens,
// k1 * ((1 - b) + b * (len / a)), in this order, where `a` is an effective
// average length (see effective_avgdl). It depends on the text only through
// its length, so a caller may compute it once per length.
inline float length_saturation(float k1, float b, float len, float a) {
  const float ratio = len / a;
  const float scaled = b * ratio;
  const float inner = (1.0f - b) + scaled;
  return k1 * inner;
}

// The term weight of a token that occurs `tf` times in a text whose
// length_saturation is `saturation`: ((k1 + 1) * tf) / (saturation + tf).
inline float saturated_weight(float k1, float tf, float saturation) {
  const float numerator = (k1 + 1.0f) * tf;
  const float denominator = saturation + tf;
  return numerator / denominator;
}

// The BM25 term weight of a token that occurs `tf` times in a text of `len`
// tokens when the corpus's average length is `avgdl`:
//   numerator   = (k1 + 1) * tf
//   inner       = (1 - b) + b * (len / effective_avgdl(avgdl))
//   denominator = k1 * inner + tf
//   weight      = numerator / denominator
inline float term_weight(float k1, float b, float tf, float len, float avgdl) {
  return saturated_weight(k1, tf, length_saturation(k1, b, len, effective_avgdl(avgdl)));
}

// Inverse document frequency of a dimension held by `doc_freq` of `n_docs`
// documents: ln((n_docs - doc_freq + 0.5) / (doc_freq + 0.5) + 1), in that
// order. Positive and finite whenever doc_freq <= n_docs.
inline float idf(float n_docs, float doc_freq) {
  const float rest = n_docs - doc_freq;
  const float top = rest + 0.5f;
  const float bottom = doc_freq + 0.5f;
  const float quotient = top / bottom;
  return std::log(quotient + 1.0f);
}

// The average document length of a corpus of `n_docs` documents holding
// `total_tokens` tokens: the quotient computed in float64 and rounded once to
// float32 (dividing in float32 would round the total first and can give a
// different value); kFallbackAvgdl when n_docs is 0.
inline float average_length(uint64_t total_tokens, uint64_t n_docs) {
  if (n_docs == 0) return kFallbackAvgdl;
  return static_cast<float>(static_cast<double>(total_tokens) / static_cast<double>(n_docs));
}

}  // namespace bm25

#endif  // VESK_BM25_BM25_MATH_H_
