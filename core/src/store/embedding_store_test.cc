#include "store/embedding_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace vesk {
namespace {

using Rows = std::vector<std::vector<float>>;

std::vector<float> Vec(size_t len, float base) {
  std::vector<float> v(len);
  for (size_t i = 0; i < len; ++i) v[i] = base + static_cast<float>(i) * 0.5f;
  return v;
}

// Checks every observable of `store` against the plain rows in `want`,
// including the interleaved layout and its zero padding when uniform.
void ExpectSame(const EmbeddingStore& store, const Rows& want) {
  ASSERT_EQ(store.size(), want.size());
  bool same_len = true;
  for (const auto& r : want) same_len = same_len && r.size() == want[0].size();
  size_t dim = 12345;
  ASSERT_EQ(store.uniform(&dim), same_len);
  for (size_t p = 0; p < want.size(); ++p) {
    EXPECT_EQ(store.length(p), want[p].size()) << p;
    EXPECT_EQ(store.get(p), want[p]) << p;
  }
  if (!same_len) {
    for (size_t p = 0; p < want.size(); ++p) {
      auto r = store.row(p);
      EXPECT_EQ(std::vector<float>(r.begin(), r.end()), want[p]);
    }
    return;
  }
  EXPECT_EQ(dim, want.empty() ? 0 : want[0].size());
  const size_t k = EmbeddingStore::kBlock;
  ASSERT_EQ(store.block_count(), (want.size() + k - 1) / k);
  // The runs cover the blocks in order, each contiguous.
  size_t next_block = 0;
  for (size_t r = 0; r < store.run_count(); ++r) {
    const EmbeddingStore::BlockRun run = store.run(r);
    ASSERT_EQ(run.first_block, next_block) << "run " << r;
    ASSERT_GT(run.block_count, 0u) << "run " << r;
    for (size_t b = 0; b < run.block_count; ++b) {
      ASSERT_EQ(store.block(run.first_block + b), run.data + b * k * dim) << "run " << r;
    }
    next_block += run.block_count;
  }
  ASSERT_EQ(next_block, store.block_count());
  for (size_t b = 0; b < store.block_count(); ++b) {
    const float* blk = store.block(b);
    for (size_t j = 0; j < k; ++j) {
      const size_t p = b * k + j;
      for (size_t i = 0; i < dim; ++i) {
        const float expect = p < want.size() ? want[p][i] : 0.0f;
        ASSERT_EQ(blk[i * k + j], expect) << "block " << b << " lane " << j << " dim " << i;
      }
    }
  }
}

TEST(EmbeddingStoreTest, EmptyStoreIsUniformWithDimZero) {
  EmbeddingStore store;
  size_t dim = 7;
  EXPECT_TRUE(store.uniform(&dim));
  EXPECT_EQ(dim, 0u);
  EXPECT_TRUE(store.empty());
  EXPECT_EQ(store.block_count(), 0u);
}

TEST(EmbeddingStoreTest, MixedLengthsSwitchLayoutAndBack) {
  EmbeddingStore store;
  Rows want = {Vec(3, 1), Vec(3, 2), Vec(3, 3)};
  for (auto& r : want) store.append(r);
  want.push_back(Vec(4, 4));
  store.append(want.back());
  ExpectSame(store, want);  // mixed

  // Fixing the odd one out by replacement makes the store uniform again.
  want[3] = Vec(3, 9);
  store.replace(3, want[3]);
  ExpectSame(store, want);

  // So does erasing it.
  want.push_back(Vec(2, 5));
  store.append(want.back());
  ExpectSame(store, want);
  const size_t drop[] = {4};
  store.erase(drop);
  want.pop_back();
  ExpectSame(store, want);

  store.clear();
  ExpectSame(store, {});
  store.append(Vec(8, 1));
  ExpectSame(store, {Vec(8, 1)});
}

TEST(EmbeddingStoreTest, SingleEmbeddingMayChangeLengthAndStayUniform) {
  EmbeddingStore store;
  store.append(Vec(3, 1));
  store.replace(0, Vec(6, 2));
  ExpectSame(store, {Vec(6, 2)});
}

TEST(EmbeddingStoreTest, EmptyEmbeddings) {
  EmbeddingStore store;
  Rows want(20, std::vector<float>{});
  for (auto& r : want) store.append(r);
  ExpectSame(store, want);
  const size_t drop[] = {0, 19};
  store.erase(drop);
  want.erase(want.begin() + 19);
  want.erase(want.begin());
  ExpectSame(store, want);
}

TEST(EmbeddingStoreTest, EraseClosesGapsAndZeroesPadding) {
  EmbeddingStore store;
  Rows want;
  for (int p = 0; p < 40; ++p) {
    want.push_back(Vec(3, static_cast<float>(p + 1)));
    store.append(want.back());
  }
  const size_t drop[] = {0, 15, 16, 17, 39};
  store.erase(drop);
  for (auto it = std::rbegin(drop); it != std::rend(drop); ++it) want.erase(want.begin() + *it);
  ExpectSame(store, want);

  std::vector<size_t> all(want.size());
  for (size_t i = 0; i < all.size(); ++i) all[i] = i;
  store.erase(all);
  ExpectSame(store, {});
}

// Large enough for the block array to take the huge-page allocation path
// (at least 2 MiB), through every layout change.
TEST(EmbeddingStoreTest, LargeStoreThroughLayoutChanges) {
  EmbeddingStore store;
  Rows want;
  store.reserve(6000, 100);
  for (int p = 0; p < 6000; ++p) {
    want.push_back(Vec(100, static_cast<float>(p)));
    store.append(want.back());
  }
  ExpectSame(store, want);
  want[4321] = Vec(7, -1);
  store.replace(4321, want[4321]);  // to rows
  ExpectSame(store, want);
  const size_t drop[] = {3, 4321, 5999};
  store.erase(drop);  // back to blocks
  for (auto it = std::rbegin(drop); it != std::rend(drop); ++it) want.erase(want.begin() + *it);
  ExpectSame(store, want);
}

// Growth one embedding at a time adds runs: stored blocks never move, the
// memory held stays within 1.5 times the blocks in use (plus one run of at
// most kMaxRunBytes), and a copy holds exactly the blocks in use.
TEST(EmbeddingStoreTest, GrowthAddsRunsWithoutMovingBlocks) {
  constexpr size_t kDim = 384;
  const size_t block_bytes = EmbeddingStore::kBlock * kDim * sizeof(float);
  EmbeddingStore store;
  std::vector<const float*> first_blocks;  // data of each run when it appeared
  std::vector<float> e(kDim);
  for (size_t p = 0; p < 12000; ++p) {
    e[0] = static_cast<float>(p);
    store.append(e);
    const size_t used = store.block_count() * block_bytes;
    const size_t slack = std::max(used / 2, EmbeddingStore::kMaxRunBytes + (2u << 20));
    ASSERT_LE(store.memory_bytes(), used + slack + 4096) << p;
    if (store.run_count() > first_blocks.size())
      first_blocks.push_back(store.run(store.run_count() - 1).data);
    for (size_t r = 0; r < store.run_count(); ++r) ASSERT_EQ(store.run(r).data, first_blocks[r]);
  }
  EXPECT_GT(store.run_count(), 3u);
  for (size_t p = 0; p < store.size(); p += 997) EXPECT_EQ(store.get(p)[0], static_cast<float>(p));

  const EmbeddingStore copy = store;
  EXPECT_EQ(copy.run_count(), 1u);
  EXPECT_LE(copy.memory_bytes(), copy.block_count() * block_bytes + (2u << 20) + 4096);
  for (size_t p = 0; p < copy.size(); p += 997) EXPECT_EQ(copy.get(p), store.get(p));
}

// Random sequences of operations against a plain vector-of-rows model, with
// mostly one length so that both layouts and the transitions get exercised.
TEST(EmbeddingStoreTest, RandomOperationsMatchModel) {
  std::mt19937 rng(42);
  for (int round = 0; round < 20; ++round) {
    EmbeddingStore store;
    Rows want;
    auto pick_len = [&] { return rng() % 10 == 0 ? size_t{rng() % 4} : size_t{7}; };
    for (int step = 0; step < 300; ++step) {
      const unsigned op = rng() % 10;
      if (op < 5 || want.empty()) {
        want.push_back(Vec(pick_len(), static_cast<float>(rng() % 1000)));
        store.append(want.back());
      } else if (op < 7) {
        const size_t p = rng() % want.size();
        want[p] = Vec(pick_len(), static_cast<float>(rng() % 1000));
        store.replace(p, want[p]);
      } else if (op < 9) {
        std::vector<size_t> drop;
        for (size_t p = 0; p < want.size(); ++p)
          if (rng() % 8 == 0) drop.push_back(p);
        store.erase(drop);
        for (auto it = drop.rbegin(); it != drop.rend(); ++it) want.erase(want.begin() + *it);
      } else {
        store.reserve(want.size() + 10, 7);
      }
      ExpectSame(store, want);
      if (HasFatalFailure()) return;
    }
  }
}

}  // namespace
}  // namespace vesk
