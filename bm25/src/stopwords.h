// Internals of the stop-word lists and of the process-wide cache
// GET_STOPWORDS behind get_stopwords() (declared in default_tokenizer.h).
//
// Thread safety: every function here is thread-safe.
#ifndef VESK_BM25_STOPWORDS_H_
#define VESK_BM25_STOPWORDS_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "language.h"

namespace bm25::detail {

// The Snowball algorithm name of `language` ("english", ...).
const char* stemmer_name(Language language);
// The two-letter code of the stop-word list of `language`; empty for Tamil.
std::string_view stopword_code(Language language);

// The message for a list code that does not exist.
std::string unknown_language_message(std::string_view code);

// The list of `code` in the corpus's order (blank lines dropped, words kept as
// they stand), viewing the embedded data. An unknown code is a programming
// error: throws std::invalid_argument with unknown_language_message(code).
std::vector<std::string_view> stopword_list(std::string_view code);

// GET_STOPWORDS.
inline constexpr size_t kStopwordCacheCapacity = 16;
using StopwordCacheKey = std::pair<Language, bool>;
// The cached keys, most recently used first (for tests).
std::vector<StopwordCacheKey> stopword_cache_keys();
// Empties the cache (for tests).
void clear_stopword_cache();
// How many sets get_stopwords has built since the process started (for tests).
size_t stopword_sets_built();

}  // namespace bm25::detail

#endif  // VESK_BM25_STOPWORDS_H_
