// DefaultTokenizer: normalize, lowercase, segment, filter, stem.
#include "default_tokenizer.h"

#include <libstemmer.h>
#include <unicode/rbbi.h>

#include <array>
#include <climits>
#include <functional>

#include "stopwords.h"
#include "word_break.h"

namespace bm25 {
namespace {

struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};
// The tokenizer's own set: the same words, looked up by string_view.
using LookupSet = std::unordered_set<std::string, StringHash, std::equal_to<>>;

// Per-thread working state: libstemmer stemmers are not reentrant and ICU
// break iterators hold their text, so each thread keeps its own, created on
// first use; the buffers keep their capacity from text to text. A callback
// that tokenizes again on the same thread gets a fresh Scratch (see Lease).
struct Scratch {
  std::string normalized;
  std::string lowered;
  std::string segment;
  std::unique_ptr<icu::RuleBasedBreakIterator> iterator;
  std::array<sb_stemmer*, kLanguageCount> stemmers{};
  bool in_use = false;

  Scratch() = default;
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  ~Scratch() {
    for (sb_stemmer* stemmer : stemmers) {
      if (stemmer != nullptr) sb_stemmer_delete(stemmer);
    }
  }

  sb_stemmer* stemmer(Language language) {
    sb_stemmer*& slot = stemmers[static_cast<size_t>(language)];
    if (slot == nullptr) slot = sb_stemmer_new(detail::stemmer_name(language), "UTF_8");
    return slot;
  }

  icu::RuleBasedBreakIterator* word_iterator() {
    if (!iterator) iterator = detail::make_uax29_word_iterator();
    return iterator.get();
  }
};

class Lease {
 public:
  Lease() {
    thread_local Scratch scratch;
    if (!scratch.in_use) {
      scratch_ = &scratch;
    } else {
      owned_ = std::make_unique<Scratch>();
      scratch_ = owned_.get();
    }
    scratch_->in_use = true;
  }
  ~Lease() { scratch_->in_use = false; }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  Scratch* operator->() const { return scratch_; }

 private:
  std::unique_ptr<Scratch> owned_;
  Scratch* scratch_;
};

// ICU indexes UTF-16 with int32_t: longer texts go in pieces that end after a
// line feed, where the annex always breaks and Final_Sigma has no context.
constexpr size_t kIcuPiece = size_t{1} << 29;

}  // namespace

struct DefaultTokenizer::Rep {
  bool normalization;
  bool stemming;
  bool stopwords;
  Language language;
  LookupSet stop_words;
};

DefaultTokenizer::DefaultTokenizer(std::unique_ptr<Rep> rep) : rep_(std::move(rep)) {}
DefaultTokenizer::~DefaultTokenizer() = default;
DefaultTokenizer::DefaultTokenizer(DefaultTokenizer&&) noexcept = default;
DefaultTokenizer& DefaultTokenizer::operator=(DefaultTokenizer&&) noexcept = default;

bool DefaultTokenizer::normalization() const { return rep_->normalization; }
bool DefaultTokenizer::stemming() const { return rep_->stemming; }
bool DefaultTokenizer::stopwords() const { return rep_->stopwords; }
Language DefaultTokenizer::language() const { return rep_->language; }

DefaultTokenizer DefaultTokenizerBuilder::build() const {
  auto rep = std::make_unique<DefaultTokenizer::Rep>();
  rep->normalization = normalization_;
  rep->stemming = stemming_;
  rep->stopwords = stopwords_;
  rep->language = language_;
  if (stopwords_) {
    StopWordSet set = get_stopwords(language_, normalization_);
    rep->stop_words.reserve(set.size());
    for (auto it = set.begin(); it != set.end();) {
      auto node = set.extract(it++);
      rep->stop_words.insert(std::move(node.value()));
    }
  }
  return DefaultTokenizer(std::move(rep));
}

void DefaultTokenizer::for_each_token(std::string_view text,
                                      FunctionRef<void(std::string_view)> fn) const {
  run(text, fn, false);
}

void DefaultTokenizer::run(std::string_view text, FunctionRef<void(std::string_view)> fn,
                           bool general) const {
  if (text.empty()) return;
  const Rep& rep = *rep_;
  Lease scratch;
  sb_stemmer* stemmer = rep.stemming ? scratch->stemmer(rep.language) : nullptr;

  auto emit = [&](std::string_view segment) {
    if (!rep.stop_words.empty() && rep.stop_words.find(segment) != rep.stop_words.end()) return;
    if (stemmer != nullptr && segment.size() <= static_cast<size_t>(INT_MAX)) {
      const sb_symbol* stem =
          sb_stemmer_stem(stemmer, reinterpret_cast<const sb_symbol*>(segment.data()),
                          static_cast<int>(segment.size()));
      if (stem != nullptr) {
        fn(std::string_view(reinterpret_cast<const char*>(stem),
                            static_cast<size_t>(sb_stemmer_length(stemmer))));
        return;
      }
    }
    fn(segment);
  };

  std::string_view t = rep.normalization ? normalize(text, &scratch->normalized) : text;
  // normalize() gives ASCII: the input itself when all its bytes are below
  // 0x7F, else the table's ASCII texts.
  if (!general && (rep.normalization || detail::is_ascii(t))) {
    detail::ascii_lower(t, &scratch->lowered);
    detail::for_each_ascii_word(std::string_view(scratch->lowered), emit);
    return;
  }
  icu::RuleBasedBreakIterator* iterator = scratch->word_iterator();
  while (!t.empty()) {
    std::string_view piece = t;
    if (piece.size() > kIcuPiece) {
      const size_t lf = t.rfind('\n', kIcuPiece - 1);
      size_t cut = lf == std::string_view::npos ? kIcuPiece : lf + 1;
      while (cut > 1 && (static_cast<unsigned char>(t[cut]) & 0xC0) == 0x80)
        --cut;  // not inside a character
      piece = t.substr(0, cut);
    }
    detail::for_each_icu_word(piece, iterator, &scratch->segment, emit);
    t.remove_prefix(piece.size());
  }
}

std::vector<std::string> DefaultTokenizer::tokenize(std::string_view text) const {
  std::vector<std::string> tokens;
  for_each_token(text, [&tokens](std::string_view token) { tokens.emplace_back(token); });
  return tokens;
}

}  // namespace bm25
