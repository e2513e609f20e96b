// Exact dense search speed: embedding_search over N stored embeddings of
// dimension 384 with top_k 10, next to a plain vectorised read of the same
// embedding memory (the ceiling for a scan that must touch every value).
//
// Also: the scan split over 1 and 2 threads of a ThreadPool (wall time, and
// CPU time of the whole process), a batch of 64 queries against 64 single
// queries, 64 queries from 1, 2 and 4 threads at once through one SharedScan
// (counter joined: the share of searches that joined a scan under way), and
// the memory the store holds when grown one embedding at a time.
//
// Reported: time per query (ms) and bytes_per_second = embedding bytes read
// per second. Run with e.g.
//   bench_dense --benchmark_min_time=2s --benchmark_repetitions=3
#include <benchmark/benchmark.h>

#include <immintrin.h>

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "hybridsearch/dense_kernels.h"
#include "hybridsearch/embedding_search.h"
#include "hybridsearch/shared_scan.h"
#include "hybridsearch/thread_pool.h"
#include "store/embedding_store.h"

namespace {

constexpr size_t kDim = 384;
constexpr size_t kTopK = 10;

struct Corpus {
  vesk::EmbeddingStore store;
  std::vector<float> query;
};

float NextFloat(uint64_t* state) {
  *state ^= *state << 13;
  *state ^= *state >> 7;
  *state ^= *state << 17;
  return static_cast<float>(static_cast<int32_t>(*state >> 32)) * (1.0f / 2147483648.0f);
}

// Built once per size and kept for the whole run.
const Corpus& GetCorpus(size_t n) {
  static std::map<size_t, std::unique_ptr<Corpus>> cache;
  auto& slot = cache[n];
  if (!slot) {
    slot = std::make_unique<Corpus>();
    uint64_t state = 0x9e3779b97f4a7c15ull ^ n;
    slot->store.reserve(n, kDim);
    std::vector<float> e(kDim);
    for (size_t i = 0; i < n; ++i) {
      for (float& v : e) v = NextFloat(&state);
      slot->store.append(e);
    }
    slot->query.resize(kDim);
    for (float& v : slot->query) v = NextFloat(&state);
  }
  return *slot;
}

size_t EmbeddingBytes(const Corpus& c) {
  return c.store.block_count() * vesk::EmbeddingStore::kBlock * kDim * sizeof(float);
}

void RunSearch(benchmark::State& state, vesk::DenseKernel kernel) {
  const Corpus& c = GetCorpus(static_cast<size_t>(state.range(0)));
  if (!vesk::force_dense_kernel(kernel)) {
    state.SkipWithError("kernel not supported on this CPU");
    return;
  }
  for (auto _ : state) {
    auto r = vesk::embedding_search(c.store, c.query, kTopK, nullptr);
    benchmark::DoNotOptimize(r);
  }
  vesk::force_dense_kernel(vesk::DenseKernel::Auto);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * EmbeddingBytes(c)));
}

void BM_EmbeddingSearch(benchmark::State& state) { RunSearch(state, vesk::DenseKernel::Auto); }
void BM_EmbeddingSearchAvx2(benchmark::State& state) { RunSearch(state, vesk::DenseKernel::Avx2); }
void BM_EmbeddingSearchSse2(benchmark::State& state) { RunSearch(state, vesk::DenseKernel::Sse2); }

// Sums every float of the embedding memory with independent accumulators of
// the widest vector unit available: how fast one core can stream this memory
// at all.
__attribute__((target("avx2"))) float SumAvx2(const float* p, size_t n) {
  __m256 a[8];
  for (auto& x : a) x = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    for (int k = 0; k < 8; ++k) a[k] = _mm256_add_ps(a[k], _mm256_loadu_ps(p + i + 8 * k));
  }
  __m256 s = _mm256_setzero_ps();
  for (auto& x : a) s = _mm256_add_ps(s, x);
  float out[8];
  _mm256_storeu_ps(out, s);
  float total = 0;
  for (float v : out) total += v;
  for (; i < n; ++i) total += p[i];
  return total;
}

__attribute__((target("avx512f"))) float SumAvx512(const float* p, size_t n) {
  __m512 a[4];
  for (auto& x : a) x = _mm512_setzero_ps();
  size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    for (int k = 0; k < 4; ++k) a[k] = _mm512_add_ps(a[k], _mm512_loadu_ps(p + i + 16 * k));
  }
  float total =
      _mm512_reduce_add_ps(_mm512_add_ps(_mm512_add_ps(a[0], a[1]), _mm512_add_ps(a[2], a[3])));
  for (; i < n; ++i) total += p[i];
  return total;
}

void BM_MemoryRead(benchmark::State& state) {
  const Corpus& c = GetCorpus(static_cast<size_t>(state.range(0)));
  const bool wide = __builtin_cpu_supports("avx512f");
  for (auto _ : state) {
    for (size_t r = 0; r < c.store.run_count(); ++r) {
      const vesk::EmbeddingStore::BlockRun run = c.store.run(r);
      const size_t n = run.block_count * vesk::EmbeddingStore::kBlock * kDim;
      benchmark::DoNotOptimize(wide ? SumAvx512(run.data, n) : SumAvx2(run.data, n));
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * EmbeddingBytes(c)));
}

// The scan split over state.range(1) threads (the caller and workers).
void BM_EmbeddingSearchThreads(benchmark::State& state) {
  const Corpus& c = GetCorpus(static_cast<size_t>(state.range(0)));
  auto pool = vesk::ThreadPool::create(static_cast<size_t>(state.range(1)));
  if (!pool.ok()) {
    state.SkipWithError("cannot start threads");
    return;
  }
  for (auto _ : state) {
    auto r = vesk::embedding_search(c.store, c.query, kTopK, nullptr, pool.value().get());
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * EmbeddingBytes(c)));
}

constexpr size_t kBatch = 64;

std::vector<float> BatchQueries() {
  std::vector<float> queries(kBatch * kDim);
  uint64_t state = 12345;
  for (float& v : queries) v = NextFloat(&state);
  return queries;
}

// kBatch queries one after the other; time per iteration is for all of them.
void BM_SingleQueries64(benchmark::State& state) {
  const Corpus& c = GetCorpus(static_cast<size_t>(state.range(0)));
  const std::vector<float> queries = BatchQueries();
  for (auto _ : state) {
    for (size_t q = 0; q < kBatch; ++q) {
      auto r = vesk::embedding_search(
          c.store, std::span<const float>(queries.data() + q * kDim, kDim), kTopK, nullptr);
      benchmark::DoNotOptimize(r);
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kBatch));
}

// The same kBatch queries as one batch, on state.range(1) threads.
void BM_BatchQueries64(benchmark::State& state) {
  const Corpus& c = GetCorpus(static_cast<size_t>(state.range(0)));
  const std::vector<float> queries = BatchQueries();
  auto pool = vesk::ThreadPool::create(static_cast<size_t>(state.range(1)));
  if (!pool.ok()) {
    state.SkipWithError("cannot start threads");
    return;
  }
  for (auto _ : state) {
    auto r =
        vesk::embedding_search_batch(c.store, queries, kBatch, kTopK, nullptr, pool.value().get());
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kBatch));
}

// kBatch queries searched by state.range(1) threads at once (each its share,
// one after the other) on a pool of 2, through one SharedScan, so that
// concurrent searches share their reads; state.range(1) == 0 is the
// reference: the same queries one after the other by embedding_search.
void BM_ConcurrentSearches(benchmark::State& state) {
  const Corpus& c = GetCorpus(static_cast<size_t>(state.range(0)));
  const size_t searchers = static_cast<size_t>(state.range(1));
  const std::vector<float> queries = BatchQueries();
  auto pool = vesk::ThreadPool::create(2);
  if (!pool.ok()) {
    state.SkipWithError("cannot start threads");
    return;
  }
  vesk::SharedScan shared(pool.value().get());
  auto query = [&](size_t q) { return std::span<const float>(queries.data() + q * kDim, kDim); };
  for (auto _ : state) {
    if (searchers == 0) {
      for (size_t q = 0; q < kBatch; ++q) {
        auto r = vesk::embedding_search(c.store, query(q), kTopK, nullptr, pool.value().get());
        benchmark::DoNotOptimize(r);
      }
      continue;
    }
    std::vector<std::thread> threads;
    for (size_t t = 0; t < searchers; ++t) {
      threads.emplace_back([&, t] {
        for (size_t q = t; q < kBatch; q += searchers) {
          auto r = shared.search(c.store, query(q), kTopK, nullptr);
          benchmark::DoNotOptimize(r);
        }
      });
    }
    for (auto& thread : threads) thread.join();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kBatch));
  // The share of searches that joined a scan under way.
  state.counters["joined"] =
      static_cast<double>(shared.joins()) / static_cast<double>(state.iterations() * kBatch);
}

// Grows a store one embedding at a time (no reserve) and reports the memory
// it holds against the raw floats (counter over_raw_pct).
void BM_StoreGrowth(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  std::vector<float> e(kDim, 0.5f);
  size_t held = 0;
  for (auto _ : state) {
    vesk::EmbeddingStore store;
    for (size_t i = 0; i < n; ++i) store.append(e);
    held = store.memory_bytes();
    benchmark::DoNotOptimize(held);
  }
  const double raw = static_cast<double>(n * kDim * sizeof(float));
  state.counters["memory_bytes"] = static_cast<double>(held);
  state.counters["over_raw_pct"] = 100.0 * (static_cast<double>(held) - raw) / raw;
}

}  // namespace

// Baseline first, then the search, per size, so each pair runs back to back.
BENCHMARK(BM_MemoryRead)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EmbeddingSearch)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EmbeddingSearchAvx2)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EmbeddingSearchSse2)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

BENCHMARK(BM_EmbeddingSearchThreads)
    ->Args({1000000, 1})
    ->Args({1000000, 2})
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SingleQueries64)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BatchQueries64)
    ->Args({100000, 1})
    ->Args({100000, 2})
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConcurrentSearches)
    ->Args({100000, 0})
    ->Args({100000, 1})
    ->Args({100000, 2})
    ->Args({100000, 4})
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StoreGrowth)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
