#include "hybridsearch/shared_scan.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "hybridsearch/embedding_search.h"

namespace vesk {
namespace {

bool Same(const Result<std::vector<ScoredSlot>>& got, const Result<std::vector<ScoredSlot>>& want) {
  if (got.ok() != want.ok()) return false;
  if (!want.ok()) return got.status().message() == want.status().message();
  if (got.value().size() != want.value().size()) return false;
  for (size_t i = 0; i < want.value().size(); ++i) {
    const ScoredSlot& a = got.value()[i];
    const ScoredSlot& b = want.value()[i];
    if (a.position != b.position || std::memcmp(&a.score, &b.score, sizeof(float)) != 0) {
      return false;
    }
  }
  return true;
}

// Threads searching at once, each joining whatever scan is under way at any
// unit, get exactly what a lone embedding_search returns: ties (few distinct
// values), NaN scores, filters of every density, k from 0 past the slot
// count, a store of several runs whose last block is partly padding.
TEST(SharedScanTest, ConcurrentSearchesMatchLoneSearches) {
  constexpr size_t kDim = 8, kThreads = 4, kSearches = 150;
  std::mt19937 rng(11);
  EmbeddingStore store;  // grown without reserve: several runs
  const size_t n = 6007;
  for (size_t p = 0; p < n; ++p) {
    std::vector<float> v(kDim);
    for (float& x : v) x = static_cast<float>(static_cast<int>(rng() % 3) - 1);
    store.append(v);
  }
  ASSERT_GT(store.run_count(), 1u);
  std::vector<Bitmap> filters(3, Bitmap(n));
  for (size_t p = 0; p < n; ++p) {
    if (rng() % 2 == 0) filters[0].set(p);    // half
    if (rng() % 100 == 0) filters[1].set(p);  // selective: runs alone
    if (rng() % 10 != 0) filters[2].set(p);   // most
  }
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    std::vector<float> query;
    size_t top_k;
    const Bitmap* allowed;
    Result<std::vector<ScoredSlot>> want = std::vector<ScoredSlot>{};
  };
  std::vector<std::vector<Case>> cases(kThreads);
  for (auto& mine : cases) {
    for (size_t s = 0; s < kSearches; ++s) {
      Case c;
      c.query.resize(kDim);
      for (float& x : c.query) x = static_cast<float>(static_cast<int>(rng() % 5) - 2);
      if (rng() % 10 == 0) c.query[rng() % kDim] = nan;
      const size_t ks[] = {0, 1, 10, 100, n + 5};
      c.top_k = ks[rng() % 5];
      const size_t f = rng() % 5;
      c.allowed = f < 3 ? &filters[f] : nullptr;
      c.want = embedding_search(store, c.query, c.top_k, c.allowed);
      mine.push_back(std::move(c));
    }
  }
  auto pool = ThreadPool::create(2);
  ASSERT_TRUE(pool.ok());
  for (ThreadPool* p : {static_cast<ThreadPool*>(nullptr), pool.value().get()}) {
    SharedScan shared(p);
    std::vector<std::string> wrong(kThreads);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (size_t s = 0; s < kSearches; ++s) {
          const Case& c = cases[t][s];
          if (!Same(shared.search(store, c.query, c.top_k, c.allowed), c.want)) {
            wrong[t] += " " + std::to_string(s);
          }
        }
      });
    }
    for (auto& th : threads) th.join();
    for (size_t t = 0; t < kThreads; ++t) {
      EXPECT_EQ(wrong[t], "") << "thread " << t << (p ? " with pool" : " without pool");
    }
    EXPECT_GT(shared.joins(), 0u) << "no search joined a scan under way";
  }
}

}  // namespace
}  // namespace vesk
