// Benchmarks of the BM25 engine and of the core's incremental keyword index
// over generated English-like documents (Zipf-distributed pseudo-words mixed
// with English stop words; a fixed seed, so every run sees the same corpus).
//
//   BM_EngineBuild          build a bm25::SearchEngine over N documents
//   BM_EngineSearch         one query against that engine
//   BM_KeywordIndexBuild    KeywordIndex::build over N documents (and the
//                           index's memory per document)
//   BM_KeywordIndexAppend   1,000 single-document appends to an index that
//                           already holds `start` documents (cost per document
//                           at the start versus the end of a 100,000 load)
//   BM_KeywordIndexSearch   one query against a 100,000-document index
//   BM_KeywordIndexErase    erase one middle slot, then append its text again
//   BM_KeywordGenerated     top-10 against a 100,000-document index of the
//                           generated corpus (generated_corpus.h, the
//                           comparison's kind of documents): short queries
//                           (arg 0: 2-8 words drawn from its documents) and
//                           long ones (arg 1: 10-20 consecutive words of a
//                           document); arg 2 is the short queries allowing
//                           1% of the slots
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "generated_corpus.h"
#include "hybridsearch/document_text.h"
#include "hybridsearch/keyword_index.h"
#include "search.h"

namespace {

constexpr size_t kCorpusSize = 100000;
constexpr size_t kVocabulary = 30000;

class Corpus {
 public:
  Corpus() {
    static const char* kSyllables[] = {"ba",  "ker", "lo",  "mi",  "stan", "tor", "ve",  "pli",
                                       "gra", "nu",  "sel", "dor", "fi",   "mar", "quo", "ren",
                                       "ti",  "shu", "wex", "al",  "pen",  "cor", "dia", "ly"};
    std::mt19937_64 rng(20261208);
    std::uniform_int_distribution<size_t> syllable(0, std::size(kSyllables) - 1);
    std::uniform_int_distribution<int> parts(2, 4);
    while (words_.size() < kVocabulary) {
      std::string word;
      for (int i = parts(rng); i > 0; --i) word += kSyllables[syllable(rng)];
      words_.push_back(std::move(word));
    }
    // Zipf weights 1/rank.
    double total = 0.0;
    for (size_t r = 1; r <= kVocabulary; ++r) {
      total += 1.0 / static_cast<double>(r);
      cdf_.push_back(total);
    }
    for (double& c : cdf_) c /= total;

    static const char* kStopWords[] = {"the", "of", "and", "to",   "a",
                                       "in",  "is", "it",  "that", "for"};
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uniform_int_distribution<size_t> stop(0, std::size(kStopWords) - 1);
    std::uniform_int_distribution<int> length(10, 150);
    docs_.reserve(kCorpusSize);
    for (size_t d = 0; d < kCorpusSize; ++d) {
      std::string text;
      for (int i = length(rng); i > 0; --i) {
        if (!text.empty()) text += ' ';
        if (unit(rng) < 0.3) {
          text += kStopWords[stop(rng)];
        } else {
          text += zipf_word(unit(rng));
        }
        if (unit(rng) < 0.05) text += '.';
      }
      vesk::DocumentInfo doc;
      doc.id = "doc-" + std::to_string(d);
      doc.text = std::move(text);
      if (d % 3 == 0) doc.metadata = vesk::Metadata{{"category", zipf_word(unit(rng))}};
      docs_.push_back(std::move(doc));
    }
    // Queries: two or three words from the upper-middle of the ranks.
    std::uniform_int_distribution<size_t> rank(10, 3000);
    for (int q = 0; q < 256; ++q) {
      std::string query = words_[rank(rng)] + " " + words_[rank(rng)];
      if (q % 2 == 0) query += " " + words_[rank(rng)];
      queries_.push_back(std::move(query));
    }
  }

  const std::vector<vesk::DocumentInfo>& docs() const { return docs_; }
  const std::vector<std::string>& queries() const { return queries_; }

  std::vector<bm25::Document> engine_docs(size_t n) const {
    std::vector<bm25::Document> out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) out.push_back({i, docs_[i].text});
    return out;
  }

 private:
  const std::string& zipf_word(double u) const {
    size_t r = std::lower_bound(cdf_.begin(), cdf_.end(), u) - cdf_.begin();
    return words_[std::min(r, kVocabulary - 1)];
  }

  std::vector<std::string> words_;
  std::vector<double> cdf_;
  std::vector<vesk::DocumentInfo> docs_;
  std::vector<std::string> queries_;
};

const Corpus& corpus() {
  static const Corpus* c = new Corpus();
  return *c;
}

// The searchable texts of the first `n` documents of the corpus.
const std::vector<std::string>& corpus_texts() {
  static const std::vector<std::string>* texts = [] {
    auto* t = new std::vector<std::string>();
    for (const auto& doc : corpus().docs()) t->push_back(vesk::collect_document_text(doc));
    return t;
  }();
  return *texts;
}

std::unique_ptr<vesk::KeywordIndex> build_index(size_t n) {
  const std::vector<std::string_view> views(corpus_texts().begin(), corpus_texts().begin() + n);
  return vesk::KeywordIndex::build(views, nullptr);
}

void BM_EngineBuild(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<bm25::Document> docs = corpus().engine_docs(n);
    state.ResumeTiming();
    bm25::SearchEngine engine =
        bm25::SearchEngineBuilder::with_documents(bm25::Language::English, std::move(docs)).build();
    benchmark::DoNotOptimize(engine.size());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
}
BENCHMARK(BM_EngineBuild)
    ->Arg(10000)
    ->Arg(kCorpusSize)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

void BM_EngineSearch(benchmark::State& state) {
  static const bm25::SearchEngine* engine =
      new bm25::SearchEngine(bm25::SearchEngineBuilder::with_documents(
                                 bm25::Language::English, corpus().engine_docs(kCorpusSize))
                                 .build());
  const auto& queries = corpus().queries();
  size_t q = 0;
  for (auto _ : state) {
    auto results = engine->search(queries[q++ % queries.size()], 10);
    benchmark::DoNotOptimize(results.data());
  }
}
BENCHMARK(BM_EngineSearch)->Unit(benchmark::kMicrosecond);

void BM_KeywordIndexBuild(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  corpus_texts();
  size_t bytes = 0;
  for (auto _ : state) {
    auto index = build_index(n);
    bytes = index->memory_bytes();
    benchmark::DoNotOptimize(index->size());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
  state.counters["bytes_per_doc"] = static_cast<double>(bytes) / static_cast<double>(n);
}
BENCHMARK(BM_KeywordIndexBuild)
    ->Arg(10000)
    ->Arg(kCorpusSize)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

void BM_KeywordIndexAppend(benchmark::State& state) {
  constexpr size_t kBatch = 1000;
  const size_t start = static_cast<size_t>(state.range(0));
  const auto& texts = corpus_texts();
  for (auto _ : state) {
    state.PauseTiming();
    auto index = build_index(start);
    state.ResumeTiming();
    for (size_t i = start; i < start + kBatch; ++i) index->append(texts[i]);
    benchmark::DoNotOptimize(index->size());
    state.PauseTiming();
    index.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kBatch));
}
BENCHMARK(BM_KeywordIndexAppend)
    ->Arg(0)
    ->Arg(10000)
    ->Arg(50000)
    ->Arg(kCorpusSize - 1000)
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(3);

const vesk::KeywordIndex& full_index() {
  static const vesk::KeywordIndex* index = build_index(kCorpusSize).release();
  return *index;
}

void BM_KeywordIndexSearch(benchmark::State& state) {
  const vesk::KeywordIndex& index = full_index();
  const auto& queries = corpus().queries();
  const size_t top_k = static_cast<size_t>(state.range(0));
  size_t q = 0;
  for (auto _ : state) {
    auto results = index.search(queries[q++ % queries.size()], top_k, nullptr);
    benchmark::DoNotOptimize(results.data());
  }
}
BENCHMARK(BM_KeywordIndexSearch)->Arg(10)->Arg(100)->Unit(benchmark::kMicrosecond);

void BM_KeywordIndexErase(benchmark::State& state) {
  // Erases one live slot and appends its text again in a new slot.
  auto index = build_index(kCorpusSize);
  const auto& texts = corpus_texts();
  size_t slot = kCorpusSize / 2;
  for (auto _ : state) {
    index->erase(slot, texts[slot]);
    index->append(texts[slot]);
    ++slot;
  }
}
BENCHMARK(BM_KeywordIndexErase)->Unit(benchmark::kMicrosecond)->Iterations(10000);

struct Generated {
  std::unique_ptr<vesk::KeywordIndex> index;
  std::vector<std::string> short_queries;
  std::vector<std::string> long_queries;
  vesk::Bitmap one_percent;
};

const Generated& generated() {
  static const Generated* g = [] {
    std::string path = __FILE__;
    path = path.substr(0, path.rfind('/') + 1) + "words.txt";
    std::string error;
    auto corpus = vesk_bench::GeneratedCorpus::open(path, &error);
    if (corpus == nullptr) {
      std::fprintf(stderr, "%s\n", error.c_str());
      std::abort();
    }
    // VESK_BENCH_KEYWORD_DOCS sets another corpus size (e.g. 1000000).
    const char* docs_env = std::getenv("VESK_BENCH_KEYWORD_DOCS");
    const size_t n_docs = docs_env != nullptr ? std::strtoull(docs_env, nullptr, 10) : kCorpusSize;
    std::vector<std::string> texts;
    for (size_t i = 0; i < n_docs; ++i) {
      texts.push_back(vesk::collect_document_text(corpus->document(i)));
    }
    auto* out = new Generated();
    const std::vector<std::string_view> views(texts.begin(), texts.end());
    out->index = vesk::KeywordIndex::build(views, nullptr);
    out->one_percent = vesk::Bitmap(n_docs);
    for (size_t i = 7; i < n_docs; i += 100) out->one_percent.set(i);
    std::mt19937_64 rng(7);
    auto words_of = [&texts](size_t d) {
      std::vector<std::string> words;
      size_t at = 0;
      const std::string& t = texts[d];
      while (at < t.size()) {
        size_t next = t.find(' ', at);
        if (next == std::string::npos) next = t.size();
        if (next > at) words.push_back(t.substr(at, next - at));
        at = next + 1;
      }
      return words;
    };
    for (int q = 0; q < 200; ++q) {
      std::string query;
      for (int k = 2 + static_cast<int>(rng() % 7); k > 0; --k) {
        const auto words = words_of(rng() % n_docs);
        query += words[rng() % words.size()] + " ";
      }
      out->short_queries.push_back(query);
      const auto words = words_of(rng() % n_docs);
      const size_t length = 10 + rng() % 11;
      const size_t first = rng() % (words.size() - length);
      std::string long_query;
      for (size_t i = first; i < first + length; ++i) long_query += words[i] + " ";
      out->long_queries.push_back(long_query);
    }
    return out;
  }();
  return *g;
}

void BM_KeywordGenerated(benchmark::State& state) {
  const Generated& g = generated();
  const int kind = static_cast<int>(state.range(0));
  const auto& queries = kind == 1 ? g.long_queries : g.short_queries;
  const vesk::Bitmap* allowed = kind == 2 ? &g.one_percent : nullptr;
  size_t q = 0;
  for (auto _ : state) {
    auto results = g.index->search(queries[q++ % queries.size()], 10, allowed);
    benchmark::DoNotOptimize(results.data());
  }
}
BENCHMARK(BM_KeywordGenerated)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
