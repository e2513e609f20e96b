// Tokenizer: the interface through which the embedder turns text into terms.
//
// Thread safety: implementations are immutable after construction and may be
// used from several threads at once.
#ifndef VESK_BM25_TOKENIZER_H_
#define VESK_BM25_TOKENIZER_H_

#include <string>
#include <string_view>
#include <vector>

namespace bm25 {

class Tokenizer {
 public:
  virtual ~Tokenizer() = default;
  // The ordered terms of `text`, repeats kept. Never fails.
  virtual std::vector<std::string> tokenize(std::string_view text) const = 0;
};

}  // namespace bm25

#endif  // VESK_BM25_TOKENIZER_H_
