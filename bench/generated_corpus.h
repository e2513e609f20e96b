// GeneratedCorpus: documents and embeddings for the index benchmarks
// (bench_index_memory, bench_index_ops), made the way bench/datagen.py makes
// them, or read from the files datagen.py writes.
//
// Text: words of bench/words.txt drawn by rank with Zipf-Mandelbrot weights
// (s = 1.07, q = 2.7), 50 to 300 words a document, with datagen's mix of
// numbers, years, hyphenated compounds, contractions, possessives, quotes and
// parentheses, sentences of about 14 words with capitalised starts and
// commas, and 3 or 4 metadata pairs (author, category, year, sometimes
// source). The same distributions as datagen.py, not the same draws: the
// Python and C++ streams differ word for word but not in kind. Document i
// depends only on (seed, i), so any document can be made again cheaply (to
// re-add what a benchmark deleted) without keeping the corpus.
//
// Embeddings: values uniform in [-1, 1), also a function of (seed, i); the
// benchmarks that use them never look at scores.
//
// Thread safety: const methods may run concurrently. Ownership: owns its word
// list; every document or embedding returned is a new value.
#ifndef VESK_BENCH_GENERATED_CORPUS_H_
#define VESK_BENCH_GENERATED_CORPUS_H_

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "models/document_info.h"
#include "models/embedding_batch.h"

namespace vesk_bench {

// splitmix64: a fast generator with good output for a per-document seed.
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, 1).
  double unit() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
  // Uniform in [0, n). REQUIRES: n > 0.
  size_t below(size_t n) { return static_cast<size_t>(unit() * static_cast<double>(n)); }

 private:
  uint64_t state_;
};

class GeneratedCorpus {
 public:
  static constexpr uint64_t kSeed = 20261208;
  static constexpr size_t kMinWords = 50;
  static constexpr size_t kMaxWords = 300;

  // Reads the ranked word list (one word a line; lines starting with '#' and
  // blank lines skipped). On success returns the corpus; on failure returns
  // null and sets *error.
  static std::unique_ptr<GeneratedCorpus> open(const std::string& words_path, std::string* error) {
    std::ifstream in(words_path);
    if (!in) {
      *error = "cannot read " + words_path;
      return nullptr;
    }
    std::unique_ptr<GeneratedCorpus> c(new GeneratedCorpus());
    std::string line;
    while (std::getline(in, line)) {
      while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
      if (line.empty() || line[0] == '#') continue;
      c->words_.push_back(line);
    }
    if (c->words_.empty()) {
      *error = words_path + " holds no words";
      return nullptr;
    }
    c->build_alias_table();
    return c;
  }

  static std::string doc_id(size_t i) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), "doc-%07zu", i);
    return buf;
  }

  // Document i of the stream for `seed`, with id doc_id(i).
  vesk::DocumentInfo document(size_t i, uint64_t seed = kSeed) const {
    Rng rng(seed * 0x100000001b3ull ^ (i + 1) * 0x9e3779b97f4a7c15ull);
    vesk::DocumentInfo doc;
    doc.id = doc_id(i);
    doc.text = text(&rng);
    doc.metadata = metadata(&rng);
    return doc;
  }

  // Writes embedding i of the stream for `seed` (dim values) to out.
  static void embedding(size_t i, std::span<float> out, uint64_t seed = kSeed) {
    Rng rng(~seed * 0x100000001b3ull ^ (i + 1) * 0xc2b2ae3d27d4eb4full);
    for (float& v : out) {
      v = static_cast<float>(static_cast<int32_t>(rng.next() >> 32)) * (1.0f / 2147483648.0f);
    }
  }

  // Documents [first, first + count) and their embeddings of `dim` values.
  void make(size_t first, size_t count, size_t dim, std::vector<vesk::DocumentInfo>* docs,
            vesk::EmbeddingBatch* embeddings, uint64_t seed = kSeed) const {
    docs->reserve(docs->size() + count);
    embeddings->reserve(embeddings->size() + count, (embeddings->size() + count) * dim);
    for (size_t i = first; i < first + count; ++i) {
      docs->push_back(document(i, seed));
      embedding(i, {embeddings->append_uninitialized(dim), dim}, seed);
    }
  }

 private:
  GeneratedCorpus() = default;

  // Vose's alias method over the ranks: one uniform draw picks a column, a
  // second decides between the column's rank and its alias.
  void build_alias_table() {
    const size_t n = words_.size();
    std::vector<double> p(n);
    double total = 0.0;
    for (size_t r = 0; r < n; ++r) {
      p[r] = 1.0 / std::pow(static_cast<double>(r + 1) + 2.7, 1.07);
      total += p[r];
    }
    for (double& x : p) x = x / total * static_cast<double>(n);
    prob_.assign(n, 1.0);
    alias_.resize(n);
    for (size_t r = 0; r < n; ++r) alias_[r] = static_cast<uint32_t>(r);
    std::vector<size_t> small, large;
    for (size_t r = 0; r < n; ++r) (p[r] < 1.0 ? small : large).push_back(r);
    while (!small.empty() && !large.empty()) {
      size_t s = small.back(), l = large.back();
      small.pop_back();
      prob_[s] = p[s];
      alias_[s] = static_cast<uint32_t>(l);
      p[l] -= 1.0 - p[s];
      if (p[l] < 1.0) {
        large.pop_back();
        small.push_back(l);
      }
    }
  }

  const std::string& word(Rng* rng) const {
    size_t col = rng->below(words_.size());
    return words_[rng->unit() < prob_[col] ? col : alias_[col]];
  }

  std::string text(Rng* rng) const {
    static constexpr const char* kContractions[] = {
        "don't",  "it's",    "can't",  "isn't",    "won't", "they're", "we're",  "you'll",
        "didn't", "doesn't", "wasn't", "couldn't", "i'm",   "that's",  "there's"};
    const size_t length = kMinWords + rng->below(kMaxWords - kMinWords + 1);
    std::string out;
    out.reserve(length * 7);
    bool sentence_start = true;
    for (size_t w = 0; w < length; ++w) {
      if (w > 0) out += ' ';
      const size_t token_start = out.size();
      const double r = rng->unit();
      if (r < 0.004) {
        out += std::to_string(rng->below(100));
      } else if (r < 0.006) {
        out += std::to_string(1900 + rng->below(130));
      } else if (r < 0.007) {
        char buf[16];
        std::snprintf(buf, sizeof(buf), "%zu,%03zu", 1 + rng->below(9), rng->below(1000));
        out += buf;
      } else if (r < 0.008) {
        out += std::to_string(rng->below(100)) + "." + std::to_string(rng->below(10));
      } else if (r < 0.018) {
        out += word(rng);
        out += '-';
        out += word(rng);
      } else if (r < 0.023) {
        out += kContractions[rng->below(std::size(kContractions))];
      } else if (r < 0.028) {
        out += word(rng);
        out += "'s";
      } else if (r < 0.031) {
        out += '(';
        out += word(rng);
        out += ')';
      } else if (r < 0.034) {
        out += '"';
        out += word(rng);
        out += '"';
      } else {
        out += word(rng);
      }
      if (sentence_start) {
        char& c = out[token_start];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      }
      const double r2 = rng->unit();
      const bool end = r2 < 1.0 / 14.0 || w + 1 == length;
      if (end) {
        const double r3 = rng->unit();
        out += r3 < 0.05 ? '?' : r3 < 0.08 ? '!' : '.';
      } else if (r2 >= 0.10 && r2 < 0.16) {
        out += ',';
      } else if (r2 >= 0.16 && r2 < 0.165) {
        out += ';';
      } else if (r2 >= 0.165 && r2 < 0.17) {
        out += ':';
      }
      sentence_start = end;
    }
    return out;
  }

  static vesk::Metadata metadata(Rng* rng) {
    static constexpr const char* kFirst[] = {"Ann",   "Bob",   "Carol",  "David", "Emma",  "Frank",
                                             "Grace", "Henry", "Irene",  "Jack",  "Karen", "Liam",
                                             "Maria", "Noah",  "Olivia", "Peter", "Quinn", "Rachel",
                                             "Sam",   "Tina",  "Victor", "Wendy"};
    static constexpr const char* kLast[] = {
        "Adams",  "Baker",  "Clark", "Davis", "Evans",  "Fisher", "Green",
        "Harris", "Irving", "Jones", "King",  "Lewis",  "Moore",  "Nelson",
        "Owens",  "Parker", "Reed",  "Smith", "Turner", "Walker", "Young"};
    static constexpr const char* kCategories[] = {
        "science",  "history",    "sports",    "politics",  "music",   "travel", "health",
        "business", "technology", "education", "food",      "film",    "art",    "nature",
        "law",      "religion",   "fashion",   "gardening", "finance", "weather"};
    static constexpr const char* kSources[] = {"web",  "news", "forum",   "wiki",
                                               "blog", "book", "journal", "archive"};
    vesk::Metadata m;
    m.emplace_back("author", std::string(kFirst[rng->below(std::size(kFirst))]) + " " +
                                 kLast[rng->below(std::size(kLast))]);
    m.emplace_back("category", kCategories[rng->below(std::size(kCategories))]);
    m.emplace_back("year", std::to_string(1990 + rng->below(36)));
    const size_t source = rng->below(2 * std::size(kSources));
    if (source < std::size(kSources)) m.emplace_back("source", kSources[source]);
    return m;
  }

  std::vector<std::string> words_;  // by rank, most frequent first
  std::vector<double> prob_;        // alias method: keep column r with this probability
  std::vector<uint32_t> alias_;     // else take this rank
};

// Reads up to `limit` documents (0 = all) of the files bench/datagen.py writes
// (`python bench/datagen.py N FOLDER`): docs.tsv, one document a line as id,
// text, then metadata key and value fields, tab-separated; embeddings.f32, n
// rows of `dim` little-endian float32 values. Appends to *docs and
// *embeddings. On failure returns false and sets *error (what was appended
// stays).
inline bool read_corpus_files(const std::string& folder, size_t limit, size_t dim,
                              std::vector<vesk::DocumentInfo>* docs,
                              vesk::EmbeddingBatch* embeddings, std::string* error) {
  std::ifstream text(folder + "/docs.tsv");
  std::ifstream values(folder + "/embeddings.f32", std::ios::binary);
  if (!text || !values) {
    *error = "cannot read " + folder + "/docs.tsv and " + folder + "/embeddings.f32";
    return false;
  }
  std::string line;
  std::vector<float> row(dim);
  size_t count = 0;
  while ((limit == 0 || count < limit) && std::getline(text, line)) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
      fields.push_back(line.substr(start, tab - start));
    }
    fields.push_back(line.substr(start));
    if (fields.size() < 2 || fields.size() % 2 != 0) {
      *error = "docs.tsv line " + std::to_string(count + 1) + ": expected id, text, key, value...";
      return false;
    }
    vesk::DocumentInfo doc;
    doc.id = std::move(fields[0]);
    doc.text = std::move(fields[1]);
    if (fields.size() > 2) {
      doc.metadata.emplace();
      for (size_t f = 2; f < fields.size(); f += 2) {
        doc.metadata->emplace_back(std::move(fields[f]), std::move(fields[f + 1]));
      }
    }
    if (!values.read(reinterpret_cast<char*>(row.data()),
                     static_cast<std::streamsize>(dim * sizeof(float)))) {
      *error = "embeddings.f32 holds fewer rows than docs.tsv";
      return false;
    }
    docs->push_back(std::move(doc));
    embeddings->append(row);
    ++count;
  }
  return true;
}

}  // namespace vesk_bench

#endif  // VESK_BENCH_GENERATED_CORPUS_H_
