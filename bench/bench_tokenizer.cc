// Benchmarks of the BM25 default tokenizer (bm25/src/default_tokenizer.h) on
// generated English-like text: sentences of real English words drawn with
// Zipf weights, about 45% of them NLTK stop words, capitalised sentence
// starts, commas, contractions, numbers and line breaks; a fixed seed, so
// every run sees the same text. Throughput is reported as bytes/s of input
// and tokens/s of emitted terms.
//
//   BM_Tokenize            tokenize(): the vector<string> interface, all options on
//   BM_ForEachToken        for_each_token(): no per-term allocation, all options on
//   BM_ForEachToken/opts   stemming and/or stop words off (isolates their cost)
//   BM_ForEachTokenThreads the same tokenizer shared by several threads
//   BM_Accented            French-like text with accents, normalization on
//                          (normalize() plus the ASCII path)
//   BM_AccentedIcu         the same text with normalization off (ICU path)
//   BM_Normalize           normalize() alone on the accented text
//   BM_LargeVocabulary     for_each_token on text over 30,000 pseudo-words
//                          (Zipf): most stems miss the per-thread stem cache
//   BM_ShortTexts          for_each_token over the English text cut into
//                          ~64-byte pieces (query-sized: per-call overhead)
//   BM_Build               building a tokenizer (a GET_STOPWORDS cache hit)
//   BM_StemShared          the choice behind the per-thread stemmers: one
//                          Snowball stemmer per thread (mode 0) against one
//                          shared stemmer behind a mutex (mode 1), per word
#include <benchmark/benchmark.h>

#include <libstemmer.h>

#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "default_tokenizer.h"

namespace {

constexpr size_t kTextBytes = 1 << 20;  // 1 MiB per text

const char* const kStopWords[] = {
    "the",  "of",    "and",   "to",    "a",  "in",    "is",    "it",   "that", "for", "was",
    "on",   "with",  "as",    "he",    "be", "at",    "by",    "this", "had",  "not", "are",
    "but",  "from",  "or",    "have",  "an", "they",  "which", "you",  "were", "her", "all",
    "she",  "there", "would", "their", "we", "him",   "been",  "has",  "when", "who", "will",
    "more", "no",    "if",    "out",   "so", "don't", "it's",  "can't"};

const char* const kWords[] = {
    "search",      "index",       "document",    "running",    "quickly",       "engines",
    "information", "retrieval",   "ranking",     "relevance",  "queries",       "tokenizer",
    "language",    "processing",  "computers",   "networks",   "government",    "development",
    "university",  "community",   "education",   "research",   "children",      "families",
    "business",    "companies",   "services",    "products",   "national",      "international",
    "political",   "economic",    "historical",  "important",  "different",     "following",
    "including",   "according",   "generally",   "especially", "particularly",  "considered",
    "described",   "published",   "established", "increased",  "organized",     "happened",
    "operations",  "management",  "performance", "technology", "systems",       "analysis",
    "students",    "teachers",    "hospitals",   "doctors",    "patients",      "treatment",
    "medicine",    "scientists",  "experiments", "results",    "questions",     "answers",
    "problems",    "solutions",   "decisions",   "agreements", "relationships", "connections",
    "conditions",  "situations",  "positions",   "directions", "locations",     "cities",
    "countries",   "mountains",   "rivers",      "forests",    "animals",       "flowers",
    "weather",     "seasons",     "summer",      "winter",     "morning",       "evening",
    "yesterday",   "tomorrow",    "beautiful",   "wonderful",  "dangerous",     "expensive",
    "comfortable", "available",   "possible",    "necessary",  "different",     "happiness",
    "kindness",    "darkness",    "movement",    "agreement",  "government",    "building",
    "walking",     "talking",     "thinking",    "reading",    "writing",       "played",
    "worked",      "studied",     "carried",     "finished",   "started",       "connected",
    "generation",  "generations", "generous",    "generally",  "nationality",   "rational",
    "relational",  "conditional", "hopeful",     "hopefully",  "hopelessness",  "electricity",
    "electrical",  "adjustable",  "defensible",  "irritant",   "replacement",   "dependent",
    "adoption",    "homologous",  "communism",   "activate",   "angularity",    "effective",
    "bowdlerize",  "dog",         "dogs",        "cat",        "cats",          "house",
    "houses",      "car",         "cars",        "water",      "food",          "music",
    "art",         "history",     "science",     "world",      "people",        "time",
    "year",        "years",       "day",         "days",       "way",           "man",
    "woman",       "life",        "hand",        "part",       "place",         "case",
    "week",        "point",       "number",      "group",      "fact",          "state",
    "states",      "program",     "programs",    "question",   "work",          "school",
    "family",      "student",     "word",        "words",      "home",          "room",
    "mother",      "father",      "area",        "money",      "story",         "month",
    "lot",         "right",       "study",       "book",       "books",         "eye",
    "eyes",        "job",         "jobs",        "night",      "side",          "kind",
    "head",        "heads",       "service",     "friend",     "friends",       "power",
    "hour",        "game",        "line",        "end",        "member",        "members",
    "law",         "laws"};

class TextMaker {
 public:
  explicit TextMaker(uint64_t seed) : rng_(seed) {}

  std::string english(size_t bytes) {
    std::string text;
    text.reserve(bytes + 256);
    std::discrete_distribution<size_t> word = zipf(std::size(kWords));
    std::discrete_distribution<size_t> stop = zipf(std::size(kStopWords));
    std::uniform_int_distribution<int> percent(0, 99);
    std::uniform_int_distribution<int> sentence_length(6, 24);
    while (text.size() < bytes) {
      const int n = sentence_length(rng_);
      for (int i = 0; i < n; ++i) {
        std::string w;
        const int p = percent(rng_);
        if (p < 45) {
          w = kStopWords[stop(rng_)];
        } else if (p < 47) {
          w = std::to_string(percent(rng_) * 37) + (p == 45 ? ".5" : "");
        } else {
          w = kWords[word(rng_)];
        }
        if (i == 0) w[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(w[0])));
        text += w;
        if (i + 1 < n) text += percent(rng_) < 8 ? ", " : " ";
      }
      text += percent(rng_) < 15 ? ".\n" : ". ";
    }
    return text;
  }

  // The English text with a French-like share of accented letters.
  std::string accented(size_t bytes) {
    std::string text = english(bytes);
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    std::uniform_int_distribution<int> percent(0, 99);
    for (char c : text) {
      if (c == 'e' && percent(rng_) < 15) {
        out += "\u00e9";
      } else if (c == 'a' && percent(rng_) < 5) {
        out += "\u00e0";
      } else if (c == 'c' && percent(rng_) < 5) {
        out += "\u00e7";
      } else {
        out += c;
      }
    }
    return out;
  }

 private:
  static std::discrete_distribution<size_t> zipf(size_t n) {
    std::vector<double> weights;
    for (size_t r = 1; r <= n; ++r) weights.push_back(1.0 / static_cast<double>(r));
    return std::discrete_distribution<size_t>(weights.begin(), weights.end());
  }
  std::mt19937_64 rng_;
};

// Pseudo-words of 2-4 syllables, Zipf-distributed over 30,000 of them, mixed
// with stop words (like bench_bm25's corpus).
std::string large_vocabulary_text(size_t bytes) {
  static const char* kSyllables[] = {"ba",  "ker", "lo",  "mi",   "stan", "tor", "ve",  "pli",
                                     "gra", "nu",  "sel", "dor",  "fi",   "mar", "quo", "ren",
                                     "ti",  "shu", "wex", "al",   "pen",  "cor", "dia", "ly",
                                     "ing", "ed",  "s",   "ness", "tion", "ful"};
  std::mt19937_64 rng(20261210);
  std::uniform_int_distribution<size_t> syllable(0, std::size(kSyllables) - 1);
  std::uniform_int_distribution<int> parts(2, 4);
  std::vector<std::string> words;
  while (words.size() < 30000) {
    std::string w;
    for (int i = parts(rng); i > 0; --i) w += kSyllables[syllable(rng)];
    words.push_back(std::move(w));
  }
  std::vector<double> weights;
  for (size_t r = 1; r <= words.size(); ++r) weights.push_back(1.0 / static_cast<double>(r));
  std::discrete_distribution<size_t> word(weights.begin(), weights.end());
  std::uniform_int_distribution<int> percent(0, 99);
  std::uniform_int_distribution<size_t> stop(0, std::size(kStopWords) - 1);
  std::string text;
  while (text.size() < bytes) {
    text += percent(rng) < 40 ? kStopWords[stop(rng)] : words[word(rng)];
    text += percent(rng) < 5 ? ".\n" : " ";
  }
  return text;
}

const std::string& english_text() {
  static const std::string text = TextMaker(20261208).english(kTextBytes);
  return text;
}

const std::string& accented_text() {
  static const std::string text = TextMaker(20261209).accented(kTextBytes);
  return text;
}

void report(benchmark::State& state, const std::string& text, size_t tokens_per_run) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.counters["tokens/s"] = benchmark::Counter(
      static_cast<double>(state.iterations() * tokens_per_run), benchmark::Counter::kIsRate);
}

size_t count_tokens(const bm25::DefaultTokenizer& tokenizer, const std::string& text) {
  size_t n = 0;
  tokenizer.for_each_token(text, [&n](std::string_view) { ++n; });
  return n;
}

void BM_Tokenize(benchmark::State& state) {
  const std::string& text = english_text();
  const bm25::DefaultTokenizer tokenizer = bm25::DefaultTokenizerBuilder().build();
  size_t tokens = 0;
  for (auto _ : state) {
    std::vector<std::string> out = tokenizer.tokenize(text);
    tokens = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  report(state, text, tokens);
}
BENCHMARK(BM_Tokenize)->Unit(benchmark::kMillisecond);

// Arguments: stemming, stop words.
void BM_ForEachToken(benchmark::State& state) {
  const std::string& text = english_text();
  const bm25::DefaultTokenizer tokenizer = bm25::DefaultTokenizerBuilder()
                                               .stemming(state.range(0) != 0)
                                               .stopwords(state.range(1) != 0)
                                               .build();
  const size_t tokens = count_tokens(tokenizer, text);
  for (auto _ : state) {
    size_t bytes = 0;
    tokenizer.for_each_token(text, [&bytes](std::string_view t) { bytes += t.size(); });
    benchmark::DoNotOptimize(bytes);
  }
  report(state, text, tokens);
}
BENCHMARK(BM_ForEachToken)
    ->ArgNames({"stem", "stop"})
    ->Args({1, 1})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({0, 0})
    ->Unit(benchmark::kMillisecond);

void BM_ForEachTokenThreads(benchmark::State& state) {
  static const bm25::DefaultTokenizer tokenizer = bm25::DefaultTokenizerBuilder().build();
  const std::string& text = english_text();
  const size_t tokens = count_tokens(tokenizer, text);
  for (auto _ : state) {
    size_t bytes = 0;
    tokenizer.for_each_token(text, [&bytes](std::string_view t) { bytes += t.size(); });
    benchmark::DoNotOptimize(bytes);
  }
  report(state, text, tokens);
}
BENCHMARK(BM_ForEachTokenThreads)
    ->Threads(1)
    ->Threads(2)
    ->Threads(4)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_Accented(benchmark::State& state) {
  const std::string& text = accented_text();
  const bm25::DefaultTokenizer tokenizer =
      bm25::DefaultTokenizerBuilder().language(bm25::Language::French).build();
  const size_t tokens = count_tokens(tokenizer, text);
  for (auto _ : state) {
    size_t bytes = 0;
    tokenizer.for_each_token(text, [&bytes](std::string_view t) { bytes += t.size(); });
    benchmark::DoNotOptimize(bytes);
  }
  report(state, text, tokens);
}
BENCHMARK(BM_Accented)->Unit(benchmark::kMillisecond);

void BM_AccentedIcu(benchmark::State& state) {
  const std::string& text = accented_text();
  const bm25::DefaultTokenizer tokenizer =
      bm25::DefaultTokenizerBuilder().language(bm25::Language::French).normalization(false).build();
  const size_t tokens = count_tokens(tokenizer, text);
  for (auto _ : state) {
    size_t bytes = 0;
    tokenizer.for_each_token(text, [&bytes](std::string_view t) { bytes += t.size(); });
    benchmark::DoNotOptimize(bytes);
  }
  report(state, text, tokens);
}
BENCHMARK(BM_AccentedIcu)->Unit(benchmark::kMillisecond);

void BM_Normalize(benchmark::State& state) {
  const std::string& text = accented_text();
  std::string storage;
  for (auto _ : state) {
    benchmark::DoNotOptimize(bm25::normalize(text, &storage).data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Normalize)->Unit(benchmark::kMillisecond);

void BM_ShortTexts(benchmark::State& state) {
  const std::string& text = english_text();
  std::vector<std::string_view> pieces;
  for (size_t i = 0; i < text.size(); i += 64)
    pieces.push_back(std::string_view(text).substr(i, 64));
  const bm25::DefaultTokenizer tokenizer = bm25::DefaultTokenizerBuilder().build();
  size_t tokens = 0;
  for (std::string_view piece : pieces) tokens += count_tokens(tokenizer, std::string(piece));
  for (auto _ : state) {
    size_t bytes = 0;
    for (std::string_view piece : pieces) {
      tokenizer.for_each_token(piece, [&bytes](std::string_view t) { bytes += t.size(); });
    }
    benchmark::DoNotOptimize(bytes);
  }
  report(state, text, tokens);
  state.counters["texts/s"] = benchmark::Counter(
      static_cast<double>(state.iterations() * pieces.size()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ShortTexts)->Unit(benchmark::kMillisecond);

void BM_LargeVocabulary(benchmark::State& state) {
  static const std::string text = large_vocabulary_text(kTextBytes);
  const bm25::DefaultTokenizer tokenizer = bm25::DefaultTokenizerBuilder().build();
  const size_t tokens = count_tokens(tokenizer, text);
  for (auto _ : state) {
    size_t bytes = 0;
    tokenizer.for_each_token(text, [&bytes](std::string_view t) { bytes += t.size(); });
    benchmark::DoNotOptimize(bytes);
  }
  report(state, text, tokens);
}
BENCHMARK(BM_LargeVocabulary)->Unit(benchmark::kMillisecond);

// Arguments: mode (0 per-thread stemmer, 1 shared stemmer behind a mutex).
void BM_StemShared(benchmark::State& state) {
  static const std::vector<std::string> words = [] {
    std::vector<std::string> out;
    const bm25::DefaultTokenizer plain = bm25::DefaultTokenizerBuilder().stemming(false).build();
    plain.for_each_token(large_vocabulary_text(1 << 18),
                         [&out](std::string_view t) { out.emplace_back(t); });
    return out;
  }();
  static std::mutex mutex;
  static sb_stemmer* shared = sb_stemmer_new("english", "UTF_8");
  sb_stemmer* own = sb_stemmer_new("english", "UTF_8");
  const bool locked = state.range(0) == 1;
  for (auto _ : state) {
    size_t bytes = 0;
    for (const std::string& w : words) {
      const auto* p = reinterpret_cast<const sb_symbol*>(w.data());
      const int n = static_cast<int>(w.size());
      if (locked) {
        std::lock_guard<std::mutex> lock(mutex);
        sb_stemmer_stem(shared, p, n);
        bytes += static_cast<size_t>(sb_stemmer_length(shared));
      } else {
        sb_stemmer_stem(own, p, n);
        bytes += static_cast<size_t>(sb_stemmer_length(own));
      }
    }
    benchmark::DoNotOptimize(bytes);
  }
  sb_stemmer_delete(own);
  state.counters["words/s"] = benchmark::Counter(
      static_cast<double>(state.iterations() * words.size()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_StemShared)
    ->ArgName("mode")
    ->Arg(0)
    ->Arg(1)
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_Build(benchmark::State& state) {
  for (auto _ : state) {
    bm25::DefaultTokenizer tokenizer = bm25::DefaultTokenizerBuilder().build();
    benchmark::DoNotOptimize(&tokenizer);
  }
}
BENCHMARK(BM_Build);

}  // namespace

BENCHMARK_MAIN();
