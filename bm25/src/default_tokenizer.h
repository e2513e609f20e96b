// DefaultTokenizer: transliteration to ASCII, Unicode lowercasing, default
// word segmentation, an alphanumeric filter, stop-word removal and Snowball
// stemming. Built by DefaultTokenizerBuilder; stop-word sets come from the
// process-wide cache GET_STOPWORDS.
//
// Thread safety: a built tokenizer is immutable and may be shared between
// threads; get_stopwords is thread-safe. Ownership: a tokenizer owns its
// stop-word set (the cache keeps its own copy). The Snowball stemmers (not
// reentrant) and the ICU break iterator live per thread, created on a thread's
// first use and freed when it exits, with the per-thread scratch buffers that
// keep for_each_token free of per-term allocations.
#ifndef VESK_BM25_DEFAULT_TOKENIZER_H_
#define VESK_BM25_DEFAULT_TOKENIZER_H_

#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <vector>

#include "language.h"
#include "tokenizer.h"

namespace bm25 {

using StopWordSet = std::unordered_set<std::string>;

// Transliterates `text` to ASCII with the deunicode table ("[?]" for
// characters without transliteration). Returns a view of `text` itself when
// every byte is below 0x7F; otherwise writes the result into *storage and
// returns a view of it. Tab, line feed, vertical tab, form feed and carriage
// return are kept as themselves everywhere.
std::string_view normalize(std::string_view text, std::string* storage);

// The stop words of `language` (empty for Tamil), each normalized when
// `normalization` is on; a copy owned by the caller. Cached process-wide
// (16 entries, least recently used evicted).
StopWordSet get_stopwords(Language language, bool normalization);

// A minimal non-owning callable reference, for per-token callbacks.
template <typename Fn>
class FunctionRef;
template <typename R, typename... Args>
class FunctionRef<R(Args...)> {
 public:
  template <typename F, typename = std::enable_if_t<!std::is_same_v<std::decay_t<F>, FunctionRef>>>
  FunctionRef(F&& f)  // NOLINT: implicit by design
      : obj_(const_cast<void*>(static_cast<const void*>(&f))), call_([](void* o, Args... a) -> R {
          return (*static_cast<std::remove_reference_t<F>*>(o))(a...);
        }) {}
  R operator()(Args... a) const { return call_(obj_, a...); }

 private:
  void* obj_;
  R (*call_)(void*, Args...);
};

class DefaultTokenizer final : public Tokenizer {
 public:
  ~DefaultTokenizer() override;
  DefaultTokenizer(DefaultTokenizer&&) noexcept;
  DefaultTokenizer& operator=(DefaultTokenizer&&) noexcept;

  std::vector<std::string> tokenize(std::string_view text) const override;

  // Calls fn(term) for every term of `text` in order; the view is valid only
  // during the call. Same terms as tokenize(), without allocating per term.
  void for_each_token(std::string_view text, FunctionRef<void(std::string_view)> fn) const;

  bool normalization() const;
  bool stemming() const;
  bool stopwords() const;
  Language language() const;

 private:
  friend class DefaultTokenizerBuilder;
  friend struct DefaultTokenizerTestPeer;
  struct Rep;
  // for_each_token; `general` forces the ICU path also for ASCII text (tests).
  void run(std::string_view text, FunctionRef<void(std::string_view)> fn, bool general) const;
  explicit DefaultTokenizer(std::unique_ptr<Rep> rep);
  std::unique_ptr<Rep> rep_;
};

class DefaultTokenizerBuilder {
 public:
  DefaultTokenizerBuilder() = default;
  DefaultTokenizerBuilder& normalization(bool on) {
    normalization_ = on;
    return *this;
  }
  DefaultTokenizerBuilder& stemming(bool on) {
    stemming_ = on;
    return *this;
  }
  DefaultTokenizerBuilder& stopwords(bool on) {
    stopwords_ = on;
    return *this;
  }
  DefaultTokenizerBuilder& language(Language language) {
    language_ = language;
    return *this;
  }
  // Never fails.
  DefaultTokenizer build() const;

 private:
  bool normalization_ = true;
  bool stemming_ = true;
  bool stopwords_ = true;
  Language language_ = Language::English;
};

}  // namespace bm25

#endif  // VESK_BM25_DEFAULT_TOKENIZER_H_
