// DefaultTokenizer: normalize, lowercase, segment, filter, stem.
#include "default_tokenizer.h"

#include <libstemmer.h>
#include <unicode/rbbi.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "stopwords.h"
#include "word_break.h"

namespace bm25 {
namespace {

inline uint64_t load64(const char* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}
inline uint32_t load32(const char* p) {
  uint32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

// Every byte of a string of n <= 8 bytes in one word, without a byte loop:
// the first and the last 4 bytes (overlapping) from 4 bytes on, else the
// first, middle and last byte. For a given n the result determines the bytes.
inline uint64_t short_tail(const char* p, size_t n) {
  if (n >= 4) return load32(p) | static_cast<uint64_t>(load32(p + n - 4)) << 32;
  if (n == 0) return 0;
  return static_cast<uint64_t>(static_cast<unsigned char>(p[0])) |
         static_cast<uint64_t>(static_cast<unsigned char>(p[n / 2])) << 8 |
         static_cast<uint64_t>(static_cast<unsigned char>(p[n - 1])) << 16;
}

// A fast hash for words: one multiply per 8 bytes, no byte loop.
inline uint64_t hash_word(std::string_view s) {
  constexpr uint64_t kMul = 0x9E3779B97F4A7C15ULL;
  const char* p = s.data();
  const size_t n = s.size();
  uint64_t h = (n + 1) * kMul;
  if (n <= 8) {
    h = (h ^ short_tail(p, n)) * kMul;
  } else {
    size_t i = 0;
    for (; i + 8 < n; i += 8) {
      h = (h ^ load64(p + i)) * kMul;
      h ^= h >> 29;
    }
    h = (h ^ load64(p + n - 8)) * kMul;  // the last 8 bytes (overlapping)
  }
  h ^= h >> 32;
  h *= 0xBF58476D1CE4E5B9ULL;
  h ^= h >> 29;
  return h;
}

// Equality of two byte strings of the same length n, without calling memcmp.
inline bool same_bytes(const char* a, const char* b, size_t n) {
  if (n <= 8) return short_tail(a, n) == short_tail(b, n);  // short_tail covers every byte
  for (size_t i = 0; i + 8 < n; i += 8) {
    if (load64(a + i) != load64(b + i)) return false;
  }
  return load64(a + n - 8) == load64(b + n - 8);
}

// The tokenizer's stop-word set: the owned words of get_stopwords() in an
// open-addressing table, looked up by string_view with the hash the stem
// cache also uses, without allocating.
class StopTable {
 public:
  StopTable() = default;
  explicit StopTable(StopWordSet set) {
    if (set.empty()) return;
    size_t capacity = 16;
    while (capacity < 2 * set.size()) capacity *= 2;
    mask_ = capacity - 1;
    slots_.assign(capacity, 0);
    words_.reserve(set.size());
    for (auto it = set.begin(); it != set.end();) {
      std::string word = std::move(set.extract(it++).value());
      const uint64_t h = hash_word(word);
      size_t i = h & mask_;
      while (slots_[i] != 0) i = (i + 1) & mask_;
      max_length_ = std::max(max_length_, word.size());
      words_.push_back(std::move(word));
      hashes_.push_back(h);
      slots_[i] = static_cast<uint32_t>(words_.size());
    }
  }

  bool empty() const { return words_.empty(); }

  bool contains(std::string_view word, uint64_t h) const {
    if (word.size() > max_length_) return false;
    for (size_t i = h & mask_;; i = (i + 1) & mask_) {
      const uint32_t e = slots_[i];
      if (e == 0) return false;
      if (hashes_[e - 1] == h && words_[e - 1].size() == word.size() &&
          same_bytes(words_[e - 1].data(), word.data(), word.size())) {
        return true;
      }
    }
  }

 private:
  std::vector<std::string> words_;
  std::vector<uint64_t> hashes_;
  std::vector<uint32_t> slots_;  // 1 + index into words_, 0 when free
  size_t mask_ = 0;
  size_t max_length_ = 0;
};

// Snowball stems of recent words, per thread and language: a direct-mapped
// table (stems depend on the word and the language only) whose slots hold
// word and stem inline, so a hit touches one cache line or two and nothing
// is allocated. Words and stems up to kMaxCached bytes are cached.
class StemCache {
 public:
  static constexpr size_t kSlots = 8192;
  static constexpr size_t kMaxCached = 27;

  explicit StemCache(sb_stemmer* stemmer) : stemmer_(stemmer), slots_(new Slot[kSlots]()) {}

  std::string_view stem(std::string_view word, uint64_t h) {
    if (word.size() > kMaxCached) return run(word);
    Slot& slot = slots_[h & (kSlots - 1)];
    if (slot.hash == h && slot.word_length == word.size() &&
        same_bytes(slot.word, word.data(), word.size())) {
      return std::string_view(slot.stem, slot.stem_length);
    }
    const std::string_view stem = run(word);
    if (stem.size() > kMaxCached) return stem;
    slot.hash = h;
    slot.word_length = static_cast<uint8_t>(word.size());  // never 0: a slot with 0 is free
    slot.stem_length = static_cast<uint8_t>(stem.size());
    std::memcpy(slot.word, word.data(), word.size());
    std::memcpy(slot.stem, stem.data(), stem.size());
    return stem;
  }

 private:
  struct alignas(64) Slot {
    uint64_t hash;
    uint8_t word_length;
    uint8_t stem_length;
    char word[kMaxCached];
    char stem[kMaxCached];
  };
  static_assert(sizeof(Slot) == 64);

  std::string_view run(std::string_view word) {
    if (word.size() > static_cast<size_t>(INT_MAX)) return word;
    const sb_symbol* stem = sb_stemmer_stem(
        stemmer_, reinterpret_cast<const sb_symbol*>(word.data()), static_cast<int>(word.size()));
    if (stem == nullptr) return word;  // out of memory inside libstemmer: keep the word
    return std::string_view(reinterpret_cast<const char*>(stem),
                            static_cast<size_t>(sb_stemmer_length(stemmer_)));
  }

  sb_stemmer* stemmer_;
  std::unique_ptr<Slot[]> slots_;
};

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
  std::array<std::unique_ptr<StemCache>, kLanguageCount> stem_caches;
  bool in_use = false;

  Scratch() = default;
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  ~Scratch() {
    for (sb_stemmer* stemmer : stemmers) {
      if (stemmer != nullptr) sb_stemmer_delete(stemmer);
    }
  }

  // The stemmer of `language` behind its cache; nullptr if libstemmer lacks it.
  StemCache* stem_cache(Language language) {
    const auto i = static_cast<size_t>(language);
    if (!stem_caches[i]) {
      if (stemmers[i] == nullptr)
        stemmers[i] = sb_stemmer_new(detail::stemmer_name(language), "UTF_8");
      if (stemmers[i] == nullptr) return nullptr;
      stem_caches[i] = std::make_unique<StemCache>(stemmers[i]);
    }
    return stem_caches[i].get();
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

}  // namespace

struct DefaultTokenizer::Rep {
  bool normalization;
  bool stemming;
  bool stopwords;
  Language language;
  StopTable stop_words;
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
  // Every Language value is valid; anything else is a programming error.
  if (static_cast<size_t>(language_) >= static_cast<size_t>(kLanguageCount)) {
    throw std::invalid_argument("bm25::DefaultTokenizerBuilder: not a Language value: " +
                                std::to_string(static_cast<int>(language_)));
  }
  auto rep = std::make_unique<DefaultTokenizer::Rep>();
  rep->normalization = normalization_;
  rep->stemming = stemming_;
  rep->stopwords = stopwords_;
  rep->language = language_;
  if (stopwords_) rep->stop_words = StopTable(get_stopwords(language_, normalization_));
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
  StemCache* stems = rep.stemming ? scratch->stem_cache(rep.language) : nullptr;
  const bool filter = !rep.stop_words.empty();

  auto emit = [&](std::string_view segment) {
    if (!filter && stems == nullptr) {
      fn(segment);
      return;
    }
    const uint64_t h = hash_word(segment);
    if (filter && rep.stop_words.contains(segment, h)) return;
    fn(stems != nullptr ? stems->stem(segment, h) : segment);
  };

  std::string_view t = rep.normalization ? normalize(text, &scratch->normalized) : text;
  // normalize() gives ASCII: the input itself when all its bytes are below
  // 0x7F, else the table's ASCII texts.
  if (!general && (rep.normalization || detail::is_ascii(t))) {
    std::string& lowered = scratch->lowered;
    detail::for_each_ascii_word(t, [&](std::string_view segment, bool has_upper) {
      if (has_upper) {
        detail::ascii_lower(segment, &lowered);
        segment = lowered;
      }
      emit(segment);
    });
    return;
  }
  detail::for_each_icu_word(t, scratch->word_iterator(), &scratch->segment, emit);
}

std::vector<std::string> DefaultTokenizer::tokenize(std::string_view text) const {
  std::vector<std::string> tokens;
  for_each_token(text, [&tokens](std::string_view token) { tokens.emplace_back(token); });
  return tokens;
}

}  // namespace bm25
