// Embedder: turns a text into a SparseEmbedding, one (token dimension, BM25
// term weight) entry per token occurrence, and the shared BM25 arithmetic.
//
// A token's dimension is the 32-bit FxHash of its UTF-8 bytes followed by the
// byte 0xFF (TokenEmbedder). Its weight is the document-side half of Okapi
// BM25: the term frequency saturated by k1 and normalised for length by b and
// the average document length. The inverse document frequency is applied by
// the Scorer (scorer.h).
//
// The free functions term_weight, idf and average_length are the only places
// where this arithmetic is written down. Every caller that must agree bit for
// bit with the engine (the incremental keyword index of the core) uses them;
// all of them compute in 32-bit floating point with one rounding per
// operation, in a fixed order.
//
// Thread safety: an Embedder is immutable after construction; embed may run on
// several threads at once. Ownership: an Embedder owns its tokenizer.
#ifndef VESK_BM25_EMBEDDER_H_
#define VESK_BM25_EMBEDDER_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "default_tokenizer.h"

namespace bm25 {

// The average document length used when the fitted one is not positive (an
// empty corpus, or one whose documents all tokenize to nothing).
inline constexpr float kFallbackAvgdl = 256.0f;

// One token occurrence: its dimension and its term weight in the text.
struct TokenWeight {
  uint32_t index = 0;
  float value = 0.0f;

  friend bool operator==(const TokenWeight&, const TokenWeight&) = default;
};

// One entry per token occurrence, in token order. Repeated tokens give equal
// entries; entries are neither merged nor sorted.
using SparseEmbedding = std::vector<TokenWeight>;

// The mapping from a token to its dimension.
struct TokenEmbedder {
  // 32-bit FxHash of the bytes of `token` followed by 0xFF. Pure; never fails.
  static uint32_t embed(std::string_view token);
};

// `avgdl` when it is positive, kFallbackAvgdl otherwise.
float effective_avgdl(float avgdl);

// The BM25 term weight of a token that occurs `tf` times in a text of `len`
// tokens, in float32 and in this order:
//   numerator   = (k1 + 1) * tf
//   inner       = (1 - b) + b * (len / A)
//   denominator = k1 * inner + tf
//   weight      = numerator / denominator
// where A = effective_avgdl(avgdl).
float term_weight(float k1, float b, float tf, float len, float avgdl);

// Inverse document frequency of a dimension held by `doc_freq` of `n_docs`
// documents: ln((n_docs - doc_freq + 0.5) / (doc_freq + 0.5) + 1) in float32,
// in that order.
float idf(float n_docs, float doc_freq);

// The average document length of a corpus of `n_docs` documents holding
// `total_tokens` tokens: the quotient computed in float64 and rounded to
// float32; kFallbackAvgdl when n_docs is 0.
float average_length(uint64_t total_tokens, uint64_t n_docs);

class Embedder {
 public:
  // The BM25 parameters the search engine builder uses.
  static constexpr float kK1 = 1.2f;
  static constexpr float kB = 0.75f;

  Embedder(DefaultTokenizer tokenizer, float k1, float b, float avgdl);
  Embedder(Embedder&&) noexcept = default;
  Embedder& operator=(Embedder&&) noexcept = default;

  // The embedding of `text`: one entry per token, in token order, each
  // carrying the token's dimension and term_weight(k1, b, tf, len, avgdl),
  // where tf counts the positions with the same dimension and len is the
  // number of tokens. Empty for a text without tokens. Never fails.
  SparseEmbedding embed(std::string_view text) const;

  // Appends the dimension of every token of `text`, in order, to *out.
  void token_indices(std::string_view text, std::vector<uint32_t>* out) const;

  const DefaultTokenizer& tokenizer() const { return tokenizer_; }
  float k1() const { return k1_; }
  float b() const { return b_; }
  float avgdl() const { return avgdl_; }

 private:
  DefaultTokenizer tokenizer_;
  float k1_;
  float b_;
  float avgdl_;
};

}  // namespace bm25

#endif  // VESK_BM25_EMBEDDER_H_
