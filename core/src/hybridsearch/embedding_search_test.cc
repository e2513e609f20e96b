#include "hybridsearch/embedding_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "hybridsearch/dense_kernels.h"
#include "models/document_info.h"
#include "utils/vector.h"

namespace vesk {
namespace {

using Vecs = std::vector<std::vector<float>>;

std::vector<DocumentInfo> Docs(size_t n) {
  std::vector<DocumentInfo> docs;
  for (size_t i = 0; i < n; ++i) {
    docs.push_back({"d" + std::to_string(i), "text " + std::to_string(i), std::nullopt});
  }
  return docs;
}

EmbeddingStore Store(const Vecs& rows) {
  EmbeddingStore store;
  for (const auto& r : rows) store.append(r);
  return store;
}

// The search over the slots that have a document: docs[i] is slot i.
struct Hit {
  std::string id;
  float score;
};
Result<std::vector<Hit>> Search(const std::vector<DocumentInfo>& docs, const EmbeddingStore& store,
                                std::span<const float> q, size_t top_k) {
  Bitmap allowed(store.size());
  for (size_t i = 0; i < docs.size() && i < store.size(); ++i) allowed.set(i);
  auto found = embedding_search(store, q, top_k, docs.size() >= store.size() ? nullptr : &allowed);
  if (!found.ok()) return found.status();
  std::vector<Hit> hits;
  for (const ScoredSlot& s : found.value()) hits.push_back({docs[s.position].id, s.score});
  return hits;
}

std::vector<std::string> Ids(const std::vector<Hit>& got) {
  std::vector<std::string> ids;
  for (const auto& d : got) ids.push_back(d.id);
  return ids;
}

// The definition: score every pair with dot_product, stable sort, cut.
std::vector<std::pair<size_t, float>> Reference(const Vecs& rows, size_t pairs,
                                                const std::vector<float>& q, size_t top_k) {
  std::vector<std::pair<size_t, float>> all;
  for (size_t p = 0; p < pairs; ++p) all.push_back({p, dot_product(q, rows[p]).value()});
  std::stable_sort(all.begin(), all.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  if (all.size() > top_k) all.resize(top_k);
  return all;
}

// Runs every test case once per kernel the CPU supports (and once for the
// mixed-length path where it applies) and restores automatic choice after.
class EmbeddingSearchTest : public ::testing::TestWithParam<DenseKernel> {
 protected:
  void SetUp() override {
    if (!force_dense_kernel(GetParam())) GTEST_SKIP() << "kernel not supported on this CPU";
  }
  void TearDown() override { force_dense_kernel(DenseKernel::Auto); }
};

TEST_P(EmbeddingSearchTest, Scores) {
  auto docs = Docs(2);
  const EmbeddingStore store = Store({{4, 5, 6}, {1, 0, 0}});
  const std::vector<float> q = {1, 2, 3};
  auto r = Search(docs, store, q, 10);
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r.value().size(), 2u);
  EXPECT_EQ(r.value()[0].id, "d0");
  EXPECT_EQ(r.value()[0].score, 32.0f);
  EXPECT_EQ(r.value()[1].score, 1.0f);
}

TEST_P(EmbeddingSearchTest, EmptyInputs) {
  const std::vector<float> q = {1, 2};
  auto none = Search({}, Store({{1, 2}}), q, 5);
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none.value().empty());
  auto docs = Docs(3);
  auto no_embeddings = Search(docs, EmbeddingStore(), q, 5);
  ASSERT_TRUE(no_embeddings.ok());
  EXPECT_TRUE(no_embeddings.value().empty());
}

TEST_P(EmbeddingSearchTest, EmptyVectorsScoreNegativeZeroInStorageOrder) {
  auto docs = Docs(20);
  const EmbeddingStore store = Store(Vecs(20));
  auto r = Search(docs, store, {}, 100);
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r.value().size(), 20u);
  for (size_t i = 0; i < 20; ++i) {
    EXPECT_EQ(r.value()[i].id, "d" + std::to_string(i));
    EXPECT_EQ(r.value()[i].score, 0.0f);
    EXPECT_TRUE(std::signbit(r.value()[i].score));
  }
}

TEST_P(EmbeddingSearchTest, TiesKeepStorageOrderAndSignedZerosTie) {
  auto docs = Docs(6);
  // Scores: 1, 2, 1, +0, -0, 2.
  const EmbeddingStore store = Store({{1, 0}, {2, 0}, {1, 0}, {0, 5}, {-0.0f, -7}, {2, 0}});
  const std::vector<float> q = {1, 0};
  auto r = Search(docs, store, q, 6);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(Ids(r.value()), (std::vector<std::string>{"d1", "d5", "d0", "d2", "d3", "d4"}));
  // The cut falls inside a run of equal scores: the earlier one stays.
  auto cut = Search(docs, store, q, 3);
  EXPECT_EQ(Ids(cut.value()), (std::vector<std::string>{"d1", "d5", "d0"}));
}

TEST_P(EmbeddingSearchTest, NegativeAndInfiniteScores) {
  auto docs = Docs(4);
  const float inf = std::numeric_limits<float>::infinity();
  const EmbeddingStore store = Store({{-0.5f}, {0.0f}, {-inf}, {inf}});
  const std::vector<float> q = {1};
  auto r = Search(docs, store, q, 10);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(Ids(r.value()), (std::vector<std::string>{"d3", "d1", "d0", "d2"}));
}

TEST_P(EmbeddingSearchTest, LengthMismatchFailsEvenWithTopKZero) {
  auto docs = Docs(3);
  const EmbeddingStore store = Store({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}});
  const std::vector<float> q = {1, 2, 3, 4};
  for (size_t top_k : {size_t{0}, size_t{1}, size_t{10}}) {
    auto r = Search(docs, store, q, top_k);
    ASSERT_FALSE(r.ok());
    EXPECT_TRUE(r.status().IsInternal());
    EXPECT_EQ(r.status().message(), "Vector length mismatch: len(a)=4 != len(b)=3");
  }
}

TEST_P(EmbeddingSearchTest, NanFailsUnlessSingleEntry) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> q = {1, 1};
  auto one_doc = Docs(1);
  auto single = Search(one_doc, Store({{nan, 1}}), q, 5);
  ASSERT_TRUE(single.ok());
  ASSERT_EQ(single.value().size(), 1u);
  EXPECT_TRUE(std::isnan(single.value()[0].score));

  auto docs = Docs(40);
  Vecs rows(40, std::vector<float>{1, 2});
  rows[33] = {std::numeric_limits<float>::infinity(), 0};  // inf * 0 + ... = NaN
  const std::vector<float> q2 = {0, 1};
  for (size_t top_k : {size_t{0}, size_t{1}, size_t{40}}) {
    auto r = Search(docs, Store(rows), q2, top_k);
    ASSERT_FALSE(r.ok()) << top_k;
    EXPECT_TRUE(r.status().IsInternal());
  }
}

TEST_P(EmbeddingSearchTest, OnlyAllowedSlotsTakePart) {
  // More documents than embeddings: d2 has no embedding.
  auto docs = Docs(3);
  const std::vector<float> q = {1};
  auto r = Search(docs, Store({{1}, {2}}), q, 10);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(Ids(r.value()), (std::vector<std::string>{"d1", "d0"}));

  // More embeddings than documents: the extra ones are neither scored nor
  // checked (a NaN or a wrong length there changes nothing).
  auto two = Docs(2);
  auto extra =
      Search(two, Store({{1}, {2}, {std::numeric_limits<float>::quiet_NaN()}, {5, 5}}), q, 10);
  ASSERT_TRUE(extra.ok());
  EXPECT_EQ(Ids(extra.value()), (std::vector<std::string>{"d1", "d0"}));
}

// A selective filter skips the blocks without an allowed slot; the answer
// must be the same bits as scoring every allowed slot one by one.
TEST_P(EmbeddingSearchTest, SelectiveFilterMatchesOneByOne) {
  std::mt19937 rng(5);
  const size_t n = 3000, dim = 24;
  Vecs rows(n, std::vector<float>(dim));
  for (auto& r : rows)
    for (float& v : r) v = static_cast<float>(static_cast<int>(rng() % 9) - 4) * 0.125f;
  const EmbeddingStore store = Store(rows);
  std::vector<float> q(dim);
  for (float& v : q) v = static_cast<float>(static_cast<int>(rng() % 7) - 3) * 0.5f;
  for (size_t one_in : {size_t{10}, size_t{50}, size_t{400}}) {
    Bitmap allowed(n);
    std::vector<std::pair<size_t, float>> want;
    for (size_t p = 0; p < n; ++p) {
      if (rng() % one_in != 0) continue;
      allowed.set(p);
      want.push_back({p, dot_product(q, rows[p]).value()});
    }
    std::stable_sort(want.begin(), want.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    if (want.size() > 20) want.resize(20);
    auto got = embedding_search(store, q, 20, &allowed);
    ASSERT_TRUE(got.ok());
    ASSERT_EQ(got.value().size(), want.size()) << one_in;
    for (size_t i = 0; i < want.size(); ++i) {
      EXPECT_EQ(got.value()[i].position, want[i].first) << one_in << " rank " << i;
      EXPECT_EQ(std::bit_cast<uint32_t>(got.value()[i].score),
                std::bit_cast<uint32_t>(want[i].second));
    }
  }
}

TEST_P(EmbeddingSearchTest, MatchesStableSortOnRandomData) {
  std::mt19937 rng(99);
  for (size_t dim : {size_t{1}, size_t{3}, size_t{384}}) {
    for (size_t n : {size_t{2}, size_t{17}, size_t{1000}, size_t{2500}}) {
      // Few distinct values so that many scores tie.
      Vecs rows(n, std::vector<float>(dim));
      for (auto& r : rows)
        for (float& v : r) v = static_cast<float>(static_cast<int>(rng() % 5) - 2) * 0.25f;
      std::vector<float> q(dim);
      for (float& v : q) v = static_cast<float>(static_cast<int>(rng() % 7) - 3);
      const EmbeddingStore store = Store(rows);
      const size_t doc_count = n - n / 7;  // some embeddings without a document
      auto docs = Docs(doc_count);
      for (size_t top_k : {size_t{1}, size_t{10}, n / 2, n + 5}) {
        auto r = Search(docs, store, q, top_k);
        ASSERT_TRUE(r.ok());
        const auto want = Reference(rows, doc_count, q, top_k);
        ASSERT_EQ(r.value().size(), want.size());
        for (size_t i = 0; i < want.size(); ++i) {
          ASSERT_EQ(r.value()[i].id, "d" + std::to_string(want[i].first))
              << "dim " << dim << " n " << n << " top_k " << top_k << " rank " << i;
          ASSERT_EQ(r.value()[i].score, want[i].second);
        }
      }
    }
  }
}

void ExpectSameOutcome(const Result<std::vector<ScoredSlot>>& got,
                       const Result<std::vector<ScoredSlot>>& want, const std::string& what) {
  ASSERT_EQ(got.ok(), want.ok()) << what;
  if (!want.ok()) {
    EXPECT_EQ(got.status().message(), want.status().message()) << what;
    return;
  }
  ASSERT_EQ(got.value().size(), want.value().size()) << what;
  for (size_t i = 0; i < want.value().size(); ++i) {
    const ScoredSlot& a = got.value()[i];
    const ScoredSlot& b = want.value()[i];
    ASSERT_EQ(a.position, b.position) << what << " rank " << i;
    ASSERT_EQ(std::memcmp(&a.score, &b.score, sizeof(float)), 0) << what << " rank " << i;
  }
}

// The parallel and batch forms give exactly the outcome of one query on one
// thread: results, length mismatches and the NaN rule, on stores of one or
// many runs and of mixed lengths, with and without allowed slots.
TEST_P(EmbeddingSearchTest, ParallelAndBatchMatchOneThreadOneQuery) {
  std::mt19937 rng(7);
  auto pool3 = ThreadPool::create(3);
  auto pool2 = ThreadPool::create(2);
  ASSERT_TRUE(pool3.ok() && pool2.ok());
  ThreadPool* pools[] = {pool2.value().get(), pool3.value().get()};
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (size_t n : {size_t{1}, size_t{2}, size_t{40}, size_t{20000}}) {
    for (size_t dim : {size_t{3}, size_t{16}}) {
      for (int shape = 0; shape < 3; ++shape) {  // uniform, mixed, mismatched
        EmbeddingStore store;
        for (size_t p = 0; p < n; ++p) {
          std::vector<float> v(dim);
          // Few distinct values so that many scores tie.
          for (float& x : v) x = static_cast<float>(static_cast<int>(rng() % 5) - 2) * 0.5f;
          store.append(v);
        }
        if (shape > 0) store.append(std::vector<float>(dim + 1, 1.0f));  // slot n
        const size_t slots = store.size();
        for (int mask = 0; mask < 3; ++mask) {
          // mask 0: all slots; 1: a random half; 2: at most one slot. The
          // odd-length slot n takes part only in the "mismatched" shape.
          Bitmap allowed(slots);
          for (size_t p = 0; p < n; ++p) {
            if (mask == 0 || (mask == 1 && rng() % 2 == 0)) allowed.set(p);
          }
          if (mask == 2 && rng() % 3 != 0) allowed.set(rng() % n);
          if (shape == 2) allowed.set(n);
          const Bitmap* allow = (mask == 0 && shape != 1) ? nullptr : &allowed;

          const size_t count = 1 + rng() % 19;
          std::vector<float> queries(count * dim);
          for (float& x : queries) x = static_cast<float>(static_cast<int>(rng() % 7) - 3);
          for (size_t q = 0; q < count; ++q) {
            if (rng() % 4 == 0) queries[q * dim + rng() % dim] = nan;  // NaN scores
          }
          for (size_t top_k : {size_t{0}, size_t{1}, size_t{10}, std::min<size_t>(n + 3, 300)}) {
            std::vector<Result<std::vector<ScoredSlot>>> want;
            for (size_t q = 0; q < count; ++q) {
              want.push_back(embedding_search(
                  store, std::span<const float>(queries.data() + q * dim, dim), top_k, allow));
            }
            const std::string what = "n " + std::to_string(n) + " dim " + std::to_string(dim) +
                                     " shape " + std::to_string(shape) + " mask " +
                                     std::to_string(mask) + " top_k " + std::to_string(top_k);
            for (ThreadPool* pool : {static_cast<ThreadPool*>(nullptr), pools[0], pools[1]}) {
              auto batch = embedding_search_batch(store, queries, count, top_k, allow, pool);
              ASSERT_EQ(batch.size(), count);
              for (size_t q = 0; q < count; ++q) {
                const std::span<const float> query(queries.data() + q * dim, dim);
                ExpectSameOutcome(batch[q], want[q], what + " batch query " + std::to_string(q));
                if (pool != nullptr) {
                  ExpectSameOutcome(embedding_search(store, query, top_k, allow, pool), want[q],
                                    what + " pool query " + std::to_string(q));
                }
              }
              if (HasFatalFailure()) return;
            }
          }
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, EmbeddingSearchTest,
                         ::testing::Values(DenseKernel::Scalar, DenseKernel::Sse2,
                                           DenseKernel::Avx2, DenseKernel::Avx512),
                         [](const auto& info) {
                           switch (info.param) {
                             case DenseKernel::Scalar:
                               return std::string("Scalar");
                             case DenseKernel::Sse2:
                               return std::string("Sse2");
                             case DenseKernel::Avx2:
                               return std::string("Avx2");
                             default:
                               return std::string("Avx512");
                           }
                         });

// Mixed lengths use the per-row path.
TEST(EmbeddingSearchMixedTest, FirstMismatchInStorageOrder) {
  auto docs = Docs(4);
  const std::vector<float> q = {1, 2, 3};
  auto r = Search(docs, Store({{1, 2, 3}, {1, 2, 3, 4, 5}, {1, 2}, {1, 2, 3}}), q, 0);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.status().message(), "Vector length mismatch: len(a)=3 != len(b)=5");

  // A differing length past the last document does not count.
  auto two = Docs(2);
  auto ok = Search(two, Store({{4, 5, 6}, {0, 0, 1}, {1}}), q, 5);
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(Ids(ok.value()), (std::vector<std::string>{"d0", "d1"}));
  EXPECT_EQ(ok.value()[0].score, 32.0f);
}

TEST(EmbeddingSearchMixedTest, SingleNanAndTies) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  auto one = Docs(1);
  EmbeddingStore store = Store({{nan}, {1, 2}});  // mixed, only one pair
  const std::vector<float> q = {1};
  auto r = Search(one, store, q, 1);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(std::isnan(r.value().at(0).score));

  // Mixed store, all paired rows of the query's length.
  auto three = Docs(3);
  auto ties = Search(three, Store({{1}, {2}, {1}, {1, 1}}), q, 3);
  ASSERT_TRUE(ties.ok());
  EXPECT_EQ(Ids(ties.value()), (std::vector<std::string>{"d1", "d0", "d2"}));
  auto with_nan = Search(three, Store({{1}, {nan}, {1}, {1, 1}}), q, 3);
  EXPECT_FALSE(with_nan.ok());
}

}  // namespace
}  // namespace vesk
