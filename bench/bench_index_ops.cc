// Single-document changes to a large vesk::Index: deletes, upserts and adds,
// each one call of the public API, timed one by one and reported amortized
// over a run of many calls (so that any occasional reorganisation, such as
// compacting after many deletes, is paid for in the figure).
//
//   BM_Delete/N   delete_documents of one random live id
//   BM_DeleteQuarter/N
//                 the same for N / 4 + N / 100 deletes in one run (one
//                 repetition): as the index compacts once dead slots reach a
//                 quarter of all slots, such a run pays for a compaction, so
//                 its mean is the amortized cost of a delete
//   BM_Upsert/N   add_documents of one document whose id is stored (replaced
//                 in place): another generated text and a new embedding
//   BM_Add/N      add_documents of one new document
//
// The index holds N generated documents (generated_corpus.h: English-like
// text of 50 to 300 words, 3-4 metadata pairs, 384-float embeddings), built
// once per N with add_documents in chunks. One benchmark run makes up to
// --ops calls or stops after --budget_s seconds of calls, whichever comes
// first; after the run (untimed) the index is put back to N documents, so
// repetitions and the next benchmark start from the same size. Reported:
// the mean time of one call (manual time per iteration is the whole run;
// counters us_per_op, max_ms and ops; items_per_second = calls per second).
//
//   bench_index_ops [--sizes=100000,1000000] [--ops=10000] [--budget_s=60]
//                   [--quarter_budget_s=600]
//                   [Google Benchmark flags, e.g. --benchmark_format=json]
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "generated_corpus.h"
#include "index/index.h"

namespace {

constexpr size_t kDim = 384;
constexpr size_t kBuildChunk = 50000;
constexpr uint64_t kReplacementSeed = 77;  // texts and embeddings for upserts

using Clock = std::chrono::steady_clock;

struct Settings {
  std::vector<size_t> sizes = {100000, 1000000};
  size_t ops = 10000;
  double budget_s = 60.0;
  double quarter_budget_s = 600.0;
};
Settings settings;

const vesk_bench::GeneratedCorpus& corpus() {
  static const vesk_bench::GeneratedCorpus* c = [] {
    std::string error;
    auto g = vesk_bench::GeneratedCorpus::open(VESK_BENCH_WORDS, &error);
    if (!g) {
      std::fprintf(stderr, "%s\n", error.c_str());
      std::exit(1);
    }
    return g.release();
  }();
  return *c;
}

// add_documents took the embeddings by pointer before taking them by
// reference; either form is accepted.
template <typename I>
auto add(I& index, std::vector<vesk::DocumentInfo> docs, const vesk::EmbeddingBatch& batch) {
  if constexpr (requires { index.add_documents(std::move(docs), batch, nullptr); }) {
    return index.add_documents(std::move(docs), batch, nullptr);
  } else {
    return index.add_documents(std::move(docs), &batch, nullptr);
  }
}

// The index of one size, kept across the benchmarks of that size.
struct Fixture {
  size_t n = 0;
  std::unique_ptr<vesk::Index> index;
  std::vector<size_t> live;  // document numbers stored (id doc_id(number))
  size_t next_new = 0;       // number of the next document added by BM_Add
  vesk_bench::Rng rng{12345};
};

// Adds generated documents `numbers` (batched); returns false on failure.
bool add_generated(Fixture* f, const std::vector<size_t>& numbers, uint64_t seed) {
  for (size_t start = 0; start < numbers.size(); start += kBuildChunk) {
    const size_t end = std::min(numbers.size(), start + kBuildChunk);
    std::vector<vesk::DocumentInfo> docs;
    vesk::EmbeddingBatch batch;
    docs.reserve(end - start);
    batch.reserve(end - start, (end - start) * kDim);
    for (size_t k = start; k < end; ++k) {
      docs.push_back(corpus().document(numbers[k], seed));
      vesk_bench::GeneratedCorpus::embedding(numbers[k], {batch.append_uninitialized(kDim), kDim},
                                             seed);
    }
    if (!add(*f->index, std::move(docs), batch).ok()) return false;
  }
  return true;
}

Fixture* fixture(size_t n) {
  static std::unique_ptr<Fixture> f;
  if (f && f->n == n) return f.get();
  f.reset();  // free the previous size first
  f = std::make_unique<Fixture>();
  f->n = n;
  f->index = std::make_unique<vesk::Index>("bench", vesk::VeskModel::MiniLm);
  const auto t0 = Clock::now();
  f->live.resize(n);
  for (size_t i = 0; i < n; ++i) f->live[i] = i;
  if (!add_generated(f.get(), f->live, vesk_bench::GeneratedCorpus::kSeed)) {
    std::fprintf(stderr, "building the index failed\n");
    std::exit(1);
  }
  f->next_new = n;
  std::fprintf(stderr, "index of %zu documents built in %.1f s\n", n,
               std::chrono::duration<double>(Clock::now() - t0).count());
  return f.get();
}

// Times op(i) for i = 0, 1, ... until `ops` calls or `budget_s` seconds; op
// returns false on a failed call. Sets the run's manual time and counters.
template <typename Op>
size_t timed_calls(benchmark::State& state, Op op, size_t ops = settings.ops,
                   double budget_s = settings.budget_s) {
  double total = 0.0, worst = 0.0;
  size_t done = 0;
  const auto stop = Clock::now() + std::chrono::duration<double>(budget_s);
  while (done < ops && Clock::now() < stop) {
    double seconds = 0.0;
    if (!op(done, &seconds)) {
      state.SkipWithError("a call failed");
      break;
    }
    total += seconds;
    worst = std::max(worst, seconds);
    ++done;
  }
  state.SetIterationTime(total);
  state.counters["ops"] = static_cast<double>(done);
  state.counters["us_per_op"] = done ? total / static_cast<double>(done) * 1e6 : 0.0;
  state.counters["max_ms"] = worst * 1e3;
  state.SetItemsProcessed(static_cast<int64_t>(done));
  return done;
}

size_t take_random_live(Fixture* f) {
  const size_t k = f->rng.below(f->live.size());
  const size_t number = f->live[k];
  f->live[k] = f->live.back();
  f->live.pop_back();
  return number;
}

// Single deletes of random live ids, then (untimed) the same documents added
// back.
void run_deletes(benchmark::State& state, Fixture* f, size_t ops, double budget_s) {
  for (auto _ : state) {
    std::vector<size_t> removed;
    timed_calls(
        state,
        [&](size_t, double* seconds) {
          const size_t number = take_random_live(f);
          const std::string id = vesk_bench::GeneratedCorpus::doc_id(number);
          const auto t0 = Clock::now();
          const uint64_t count = f->index->delete_documents(std::span<const std::string>(&id, 1));
          *seconds = std::chrono::duration<double>(Clock::now() - t0).count();
          removed.push_back(number);
          return count == 1;
        },
        ops, budget_s);
    // Back to n documents for the next run (the same documents, now at the end).
    if (!add_generated(f, removed, vesk_bench::GeneratedCorpus::kSeed)) {
      state.SkipWithError("re-adding failed");
    }
    f->live.insert(f->live.end(), removed.begin(), removed.end());
  }
}

void BM_Delete(benchmark::State& state, size_t n) {
  run_deletes(state, fixture(n), settings.ops, settings.budget_s);
}

void BM_DeleteQuarter(benchmark::State& state, size_t n) {
  run_deletes(state, fixture(n), n / 4 + n / 100, settings.quarter_budget_s);
}

void BM_Upsert(benchmark::State& state, size_t n) {
  Fixture* f = fixture(n);
  for (auto _ : state) {
    timed_calls(state, [&](size_t i, double* seconds) {
      const size_t number = f->live[f->rng.below(f->live.size())];
      // Another generated document's text, metadata and embedding under this id.
      const size_t source = f->rng.below(n);
      std::vector<vesk::DocumentInfo> docs;
      docs.push_back(corpus().document(source, kReplacementSeed));
      docs.back().id = vesk_bench::GeneratedCorpus::doc_id(number);
      vesk::EmbeddingBatch batch;
      vesk_bench::GeneratedCorpus::embedding(source, {batch.append_uninitialized(kDim), kDim},
                                             kReplacementSeed);
      const auto t0 = Clock::now();
      auto r = add(*f->index, std::move(docs), batch);
      *seconds = std::chrono::duration<double>(Clock::now() - t0).count();
      return r.ok() && r.value().updated == 1;
    });
  }
}

void BM_Add(benchmark::State& state, size_t n) {
  Fixture* f = fixture(n);
  for (auto _ : state) {
    std::vector<std::string> added;
    timed_calls(state, [&](size_t, double* seconds) {
      const size_t number = f->next_new++;
      std::vector<vesk::DocumentInfo> docs;
      docs.push_back(corpus().document(number));
      vesk::EmbeddingBatch batch;
      vesk_bench::GeneratedCorpus::embedding(number, {batch.append_uninitialized(kDim), kDim});
      added.push_back(docs.back().id);
      const auto t0 = Clock::now();
      auto r = add(*f->index, std::move(docs), batch);
      *seconds = std::chrono::duration<double>(Clock::now() - t0).count();
      return r.ok() && r.value().added == 1;
    });
    // Back to n documents (untimed).
    if (f->index->delete_documents(added) != added.size()) {
      state.SkipWithError("removing the added documents failed");
    }
  }
}

std::vector<size_t> parse_sizes(const std::string& s) {
  std::vector<size_t> out;
  size_t start = 0;
  while (start <= s.size()) {
    size_t comma = s.find(',', start);
    if (comma == std::string::npos) comma = s.size();
    if (comma > start) out.push_back(std::strtoull(s.c_str() + start, nullptr, 10));
    start = comma + 1;
  }
  return out;
}

// Takes this benchmark's own flags out of argv; returns false on a bad value.
bool parse_own_flags(int* argc, char** argv) {
  int kept = 1;
  for (int i = 1; i < *argc; ++i) {
    std::string a = argv[i];
    if (a.rfind("--sizes=", 0) == 0) {
      settings.sizes = parse_sizes(a.substr(8));
      if (settings.sizes.empty()) return false;
    } else if (a.rfind("--ops=", 0) == 0) {
      settings.ops = std::strtoull(a.c_str() + 6, nullptr, 10);
    } else if (a.rfind("--budget_s=", 0) == 0) {
      settings.budget_s = std::strtod(a.c_str() + 11, nullptr);
    } else if (a.rfind("--quarter_budget_s=", 0) == 0) {
      settings.quarter_budget_s = std::strtod(a.c_str() + 19, nullptr);
    } else {
      argv[kept++] = argv[i];
    }
  }
  *argc = kept;
  return settings.ops > 0 && settings.budget_s > 0 && settings.quarter_budget_s > 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (!parse_own_flags(&argc, argv)) {
    std::fprintf(stderr,
                 "usage: %s [--sizes=N,...] [--ops=N] [--budget_s=S] [--quarter_budget_s=S] "
                 "[benchmark flags]\n",
                 argv[0]);
    return 2;
  }
  // Every benchmark of one size runs before the next size is built.
  for (size_t n : settings.sizes) {
    for (auto [name, fn] : {std::pair{"BM_Delete", &BM_Delete}, std::pair{"BM_Upsert", &BM_Upsert},
                            std::pair{"BM_Add", &BM_Add}}) {
      benchmark::RegisterBenchmark((std::string(name) + "/" + std::to_string(n)).c_str(), fn, n)
          ->UseManualTime()
          ->Iterations(1)
          ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RegisterBenchmark(("BM_DeleteQuarter/" + std::to_string(n)).c_str(),
                                 BM_DeleteQuarter, n)
        ->UseManualTime()
        ->Iterations(1)
        ->Repetitions(1)
        ->Unit(benchmark::kMicrosecond);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
