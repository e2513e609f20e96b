// The stop-word lists and the process-wide cache GET_STOPWORDS.
#include "stopwords.h"

#include <array>
#include <atomic>
#include <list>
#include <mutex>
#include <stdexcept>

#include "default_tokenizer.h"
#include "embedded_data.h"

namespace bm25 {
namespace detail {
namespace {

struct LanguageInfo {
  const char* stemmer;
  std::string_view code;  // empty: no list
};

// Indexed by the numeric value of Language.
constexpr std::array<LanguageInfo, kLanguageCount> kLanguages = {{
    {"arabic", "ar"},
    {"danish", "da"},
    {"dutch", "nl"},
    {"english", "en"},
    {"french", "fr"},
    {"german", "de"},
    {"greek", "el"},
    {"hungarian", "hu"},
    {"italian", "it"},
    {"norwegian", "no"},
    {"portuguese", "pt"},
    {"romanian", "ro"},
    {"russian", "ru"},
    {"spanish", "es"},
    {"swedish", "sv"},
    {"tamil", ""},
    {"turkish", "tr"},
}};

const LanguageInfo& info(Language language) {
  const auto index = static_cast<size_t>(language);
  if (index >= kLanguages.size()) throw std::invalid_argument("unknown bm25::Language value");
  return kLanguages[index];
}

bool is_blank(std::string_view line) {
  for (char c : line) {
    if (c != ' ' && c != '\t' && c != '\r' && c != '\v' && c != '\f') return false;
  }
  return true;
}

// The cache: a mutex around a least-recently-used list of at most 16 sets.
struct StopwordCache {
  std::mutex mutex;
  std::list<std::pair<StopwordCacheKey, StopWordSet>> entries;  // most recent first
  std::atomic<size_t> built{0};
};

// GET_STOPWORDS, the process-wide cache: created on first use (thread-safely)
// and never destroyed, so it stays usable until exit.
StopwordCache& GET_STOPWORDS() {
  static StopwordCache* instance = new StopwordCache();
  return *instance;
}

StopWordSet make_set(Language language, bool normalization) {
  StopWordSet set;
  const std::string_view code = info(language).code;
  if (code.empty()) return set;  // Tamil
  std::string storage;
  for (std::string_view word : stopword_list(code)) {
    set.emplace(normalization ? normalize(word, &storage) : word);
  }
  return set;
}

}  // namespace

const char* stemmer_name(Language language) { return info(language).stemmer; }

std::string_view stopword_code(Language language) { return info(language).code; }

std::string unknown_language_message(std::string_view code) {
  return "The '" + std::string(code) +
         "' language is not recognized. Please check the documentation for a supported list of "
         "languages.";
}

std::vector<std::string_view> stopword_list(std::string_view code) {
  for (const data::StopwordFile& file : data::stopword_files()) {
    if (file.code != code) continue;
    std::vector<std::string_view> words;
    std::string_view text = file.text;
    while (!text.empty()) {
      const size_t end = text.find('\n');
      std::string_view line = text.substr(0, end);
      text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (!is_blank(line)) words.push_back(line);
    }
    return words;
  }
  throw std::invalid_argument(unknown_language_message(code));
}

std::vector<StopwordCacheKey> stopword_cache_keys() {
  StopwordCache& c = GET_STOPWORDS();
  std::lock_guard<std::mutex> lock(c.mutex);
  std::vector<StopwordCacheKey> keys;
  for (const auto& entry : c.entries) keys.push_back(entry.first);
  return keys;
}

void clear_stopword_cache() {
  StopwordCache& c = GET_STOPWORDS();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.entries.clear();
}

size_t stopword_sets_built() { return GET_STOPWORDS().built.load(); }

}  // namespace detail

StopWordSet get_stopwords(Language language, bool normalization) {
  detail::StopwordCache& c = detail::GET_STOPWORDS();
  const detail::StopwordCacheKey key(language, normalization);
  {
    std::lock_guard<std::mutex> lock(c.mutex);
    for (auto it = c.entries.begin(); it != c.entries.end(); ++it) {
      if (it->first != key) continue;
      c.entries.splice(c.entries.begin(), c.entries, it);
      return it->second;
    }
  }
  // Built without the lock: two threads missing the same key both build it.
  StopWordSet set = detail::make_set(language, normalization);
  c.built.fetch_add(1);
  StopWordSet copy = set;
  {
    std::lock_guard<std::mutex> lock(c.mutex);
    for (auto it = c.entries.begin(); it != c.entries.end(); ++it) {
      if (it->first == key) {
        c.entries.erase(it);
        break;
      }
    }
    if (c.entries.size() >= detail::kStopwordCacheCapacity) c.entries.pop_back();
    c.entries.emplace_front(key, std::move(copy));
  }
  return set;
}

}  // namespace bm25
