// Embedder: turns a text into a SparseEmbedding, one (token dimension, BM25
// term weight) entry per token occurrence. Part of the reference engine that
// tests and benchmarks build from scratch to check the core's keyword index.
//
// A token's dimension is TokenEmbedder::embed of the token; its weight is
// term_weight (bm25_math.h), the document-side half of Okapi BM25. The
// inverse document frequency is applied by the Scorer (scorer.h).
//
// Thread safety: an Embedder is immutable after construction; embed may run on
// several threads at once. Ownership: an Embedder owns its tokenizer.
#ifndef VESK_BM25_EMBEDDER_H_
#define VESK_BM25_EMBEDDER_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "bm25_math.h"
#include "default_tokenizer.h"

namespace bm25 {

// One token occurrence: its dimension and its term weight in the text.
struct TokenWeight {
  uint32_t index = 0;
  float value = 0.0f;

  friend bool operator==(const TokenWeight&, const TokenWeight&) = default;
};

// One entry per token occurrence, in token order. Repeated tokens give equal
// entries; entries are neither merged nor sorted.
using SparseEmbedding = std::vector<TokenWeight>;

class Embedder {
 public:
  Embedder(DefaultTokenizer tokenizer, float k1, float b, float avgdl);
  Embedder(Embedder&&) noexcept = default;
  Embedder& operator=(Embedder&&) noexcept = default;

  // The embedding of `text`: one entry per token, in token order, each
  // carrying the token's dimension and term_weight(k1, b, tf, len, avgdl),
  // where tf counts the positions with the same dimension and len is the
  // number of tokens. Empty for a text without tokens. Never fails.
  SparseEmbedding embed(std::string_view text) const;

  float avgdl() const { return avgdl_; }

 private:
  // Appends the dimension of every token of `text`, in order, to *out.
  void token_indices(std::string_view text, std::vector<uint32_t>* out) const;

  DefaultTokenizer tokenizer_;
  float k1_;
  float b_;
  float avgdl_;
};

}  // namespace bm25

#endif  // VESK_BM25_EMBEDDER_H_
