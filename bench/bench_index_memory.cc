// Resident memory of a vesk::Index per document, split by part.
//
// Builds an Index of N documents with 384-float embeddings in one
// add_documents call, from generated documents (generated_corpus.h) or from
// the files `python bench/datagen.py N FOLDER` writes (--corpus=FOLDER), and
// reports bytes per document of:
//   - each part the index accounts for (Index::memory_usage()): embeddings,
//     keyword index, documents (ids, texts, metadata), id index (id to slot
//     table and live bitmap);
//   - the resident set the index holds once the source data is freed (VmRSS
//     after minus before, both after malloc_trim), and what of it the parts
//     do not account for (allocator slack, fragmentation);
//   - the peak while adding: the high-water mark (VmHWM, reset just before
//     add_documents through /proc/self/clear_refs) above the resident set
//     just before the call, when the source documents and embeddings are
//     already in memory; and that peak including the source data.
// The process does nothing else, so the resident-set deltas are the index's.
//
//   bench_index_memory [--n=100000] [--corpus=FOLDER] [--json]
//
// --json prints one JSON object instead of the table (read by bench/comparison).
#include <malloc.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "generated_corpus.h"
#include "index/index.h"

namespace {

constexpr size_t kDim = 384;

// A field of /proc/self/status in bytes ("VmRSS", "VmHWM"), or 0 when absent.
size_t status_bytes(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t len = std::strlen(field);
  while (std::getline(in, line)) {
    if (line.compare(0, len, field) == 0 && line.size() > len && line[len] == ':') {
      return std::strtoull(line.c_str() + len + 1, nullptr, 10) * 1024;
    }
  }
  return 0;
}

size_t resident_after_trim() {
  malloc_trim(0);
  return status_bytes("VmRSS");
}

// Resets VmHWM to the current VmRSS (Linux 4.0 and later). Returns false
// where that is not possible; the peak then covers the whole process life.
bool reset_peak() {
  std::ofstream out("/proc/self/clear_refs");
  out << "5";
  out.flush();
  return static_cast<bool>(out);
}

// The bytes each part holds, where the core reports them.
struct Parts {
  bool known = false;
  size_t embeddings = 0;
  size_t keyword_index = 0;
  size_t documents = 0;
  size_t id_index = 0;
  size_t sum() const { return embeddings + keyword_index + documents + id_index; }
};

template <typename I>
Parts parts_of(const I& index) {
  Parts p;
  if constexpr (requires { index.memory_usage(); }) {
    const auto usage = index.memory_usage();
    p.known = true;
    p.embeddings = usage.embeddings;
    p.keyword_index = usage.keyword_index;
    p.documents = usage.documents;
    p.id_index = usage.id_index;
  }
  return p;
}

// add_documents took the embeddings by pointer before taking them by
// reference; either form is accepted.
template <typename I>
auto add_all(I& index, std::vector<vesk::DocumentInfo> docs, const vesk::EmbeddingBatch& batch) {
  if constexpr (requires { index.add_documents(std::move(docs), batch, nullptr); }) {
    return index.add_documents(std::move(docs), batch, nullptr);
  } else {
    return index.add_documents(std::move(docs), &batch, nullptr);
  }
}

struct Options {
  size_t n = 100000;
  std::string corpus;
  bool json = false;
};

bool parse(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a.rfind("--n=", 0) == 0) {
      o->n = std::strtoull(a.c_str() + 4, nullptr, 10);
    } else if (a.rfind("--corpus=", 0) == 0) {
      o->corpus = a.substr(9);
    } else if (a == "--json") {
      o->json = true;
    } else {
      std::fprintf(stderr, "usage: %s [--n=100000] [--corpus=FOLDER] [--json]\n", argv[0]);
      return false;
    }
  }
  return o->n > 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!parse(argc, argv, &opt)) return 2;

  const size_t rss_start = resident_after_trim();
  std::vector<vesk::DocumentInfo> docs;
  vesk::EmbeddingBatch batch;
  std::string error;
  if (!opt.corpus.empty()) {
    if (!vesk_bench::read_corpus_files(opt.corpus, opt.n, kDim, &docs, &batch, &error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
    opt.n = docs.size();
  } else {
    auto gen = vesk_bench::GeneratedCorpus::open(VESK_BENCH_WORDS, &error);
    if (!gen) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
    gen->make(0, opt.n, kDim, &docs, &batch);
  }
  if (opt.n == 0) {
    std::fprintf(stderr, "no documents\n");
    return 1;
  }

  size_t text_bytes = 0;
  for (const auto& d : docs) text_bytes += d.id.size() + d.text.size();
  vesk::Index index("bench", vesk::VeskModel::MiniLm);
  const size_t rss_source = resident_after_trim();
  const bool peak_reset = reset_peak();
  auto added = add_all(index, std::move(docs), batch);
  const size_t hwm = status_bytes("VmHWM");
  if (!added.ok()) {
    std::fprintf(stderr, "add_documents failed\n");
    return 1;
  }
  docs = {};
  batch = vesk::EmbeddingBatch();
  const size_t rss_index = resident_after_trim();
  const Parts parts = parts_of(index);

  const double n = static_cast<double>(opt.n);
  const double resident = static_cast<double>(rss_index) - static_cast<double>(rss_start);
  const double peak_add = static_cast<double>(hwm) - static_cast<double>(rss_source);
  const double peak_total = static_cast<double>(hwm) - static_cast<double>(rss_start);
  const double source = static_cast<double>(rss_source) - static_cast<double>(rss_start);
  if (opt.json) {
    std::printf(
        "{\"n\": %zu, \"dim\": %zu, \"resident\": %.0f, \"source\": %.0f, "
        "\"peak_add\": %.0f, \"peak_total\": %.0f, \"peak_reset\": %s, "
        "\"id_text_bytes\": %zu, \"parts_known\": %s",
        opt.n, kDim, resident, source, peak_add, peak_total, peak_reset ? "true" : "false",
        text_bytes, parts.known ? "true" : "false");
    if (parts.known) {
      std::printf(
          ", \"embeddings\": %zu, \"keyword_index\": %zu, \"documents\": %zu, "
          "\"id_index\": %zu",
          parts.embeddings, parts.keyword_index, parts.documents, parts.id_index);
    }
    std::printf("}\n");
    return 0;
  }
  std::printf("vesk::Index of %zu documents (%zu-float embeddings, %s)\n", opt.n, kDim,
              opt.corpus.empty() ? "generated" : opt.corpus.c_str());
  std::printf("%-44s %12s %10s\n", "part", "bytes", "bytes/doc");
  auto row = [&](const char* name, double bytes) {
    std::printf("%-44s %12.0f %10.1f\n", name, bytes, bytes / n);
  };
  if (parts.known) {
    row("embeddings", static_cast<double>(parts.embeddings));
    row("keyword index", static_cast<double>(parts.keyword_index));
    row("documents (ids, texts, metadata)", static_cast<double>(parts.documents));
    row("id index (id -> slot table, live bitmap)", static_cast<double>(parts.id_index));
    row("sum of the parts", static_cast<double>(parts.sum()));
    row("resident, not in the parts", resident - static_cast<double>(parts.sum()));
  } else {
    std::printf("(this build's Index has no memory_usage(): parts not available)\n");
  }
  row("resident set of the index", resident);
  row("ids + texts of the input (bytes of UTF-8)", static_cast<double>(text_bytes));
  row(peak_reset ? "peak while adding, above the input" : "peak (whole run), above the input",
      peak_add);
  row("peak while adding, input included", peak_total);
  return 0;
}
