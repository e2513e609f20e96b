#include "hybridsearch/dense_kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "store/embedding_store.h"
#include "utils/vector.h"

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace vesk {
namespace {

constexpr DenseKernel kAllKernels[] = {DenseKernel::Scalar, DenseKernel::Sse2, DenseKernel::Avx2,
                                       DenseKernel::Avx512};

const char* Name(DenseKernel k) {
  switch (k) {
    case DenseKernel::Scalar:
      return "scalar";
    case DenseKernel::Sse2:
      return "sse2";
    case DenseKernel::Avx2:
      return "avx2";
    case DenseKernel::Avx512:
      return "avx512";
    default:
      return "auto";
  }
}

// Random values over a wide range of magnitudes, so that any change in the
// order of additions shows up in the low bits, mixed with signed zeros,
// subnormals and huge values.
float Finite(std::mt19937& rng) {
  switch (rng() % 50) {
    case 0:
      return -0.0f;
    case 1:
      return 0.0f;
    case 2:
      return 1e-40f;  // subnormal
    case 3:
      return -3.5e-39f;
    case 4:
      return std::numeric_limits<float>::denorm_min();
    case 5:
      return 1e20f;
    default: {
      std::uniform_real_distribution<float> mant(-1.0f, 1.0f);
      std::uniform_int_distribution<int> exp(-25, 12);
      return std::ldexp(mant(rng), exp(rng));
    }
  }
}

// A vector of Finite values; one in four also gets an infinity or a NaN at a
// random place (spreading them everywhere would make most sums non-finite).
std::vector<float> RandomVector(std::mt19937& rng, size_t dim) {
  std::vector<float> v(dim);
  for (float& x : v) x = Finite(rng);
  if (dim > 0 && rng() % 4 == 0) {
    const float inf = std::numeric_limits<float>::infinity();
    const float odd[] = {inf, -inf, std::numeric_limits<float>::quiet_NaN()};
    v[rng() % dim] = odd[rng() % 3];
  }
  return v;
}

bool SameScore(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  uint32_t x, y;
  std::memcpy(&x, &a, 4);
  std::memcpy(&y, &b, 4);
  return x == y;
}

// Every supported kernel, single and batch, must reproduce dot_product bit for
// bit, lane by lane and query by query, for odd document counts, dimensions
// and query group sizes.
TEST(DenseKernelsTest, BitIdenticalToDotProduct) {
  std::mt19937 rng(2024);
  const size_t dims[] = {0, 1, 3, 17, 384, 1024};
  const size_t counts[] = {1, 15, 16, 17, 33, 64, 69, 130};
  constexpr size_t kB = EmbeddingStore::kBlock;
  int kernels_run = 0;
  size_t cases = 0;
  for (DenseKernel kernel : kAllKernels) {
    BlockScorer scorer = dense_block_scorer(kernel);
    BatchScorer batch = dense_batch_scorer(kernel);
    if (scorer == nullptr) {
      EXPECT_FALSE(dense_kernel_supported(kernel));
      EXPECT_EQ(batch, nullptr);
      continue;
    }
    ASSERT_NE(batch, nullptr);
    ++kernels_run;
    for (size_t dim : dims) {
      for (size_t n : counts) {
        if (dim == 1024 && n > 64) continue;
        EmbeddingStore store;
        store.reserve(n, dim);  // one run
        for (size_t p = 0; p < n; ++p) {
          store.append(RandomVector(rng, dim));
        }
        ASSERT_EQ(store.run_count(), 1u);
        const float* blocks = store.run(0).data;
        const size_t block_count = store.block_count();
        const std::vector<float> query = RandomVector(rng, dim);
        std::vector<float> scores(block_count * kB, 1234.5f);
        scorer(blocks, block_count, dim, query.data(), scores.data());
        for (size_t p = 0; p < n; ++p) {
          const float want = dot_product(query, store.get(p)).value();
          ASSERT_TRUE(SameScore(scores[p], want))
              << Name(kernel) << " dim " << dim << " n " << n << " pos " << p << ": " << scores[p]
              << " vs " << want;
        }

        // A group of 1..kMaxBatchQueries queries, every size in turn, scores
        // with a stride wider than needed (the gap must stay untouched).
        const size_t group = 1 + cases++ % kMaxBatchQueries;
        std::vector<float> queries;
        for (size_t q = 0; q < group; ++q) {
          const std::vector<float> v = RandomVector(rng, dim);
          queries.insert(queries.end(), v.begin(), v.end());
        }
        const size_t stride = block_count * kB + 5;
        std::vector<float> batch_scores(group * stride, 1234.5f);
        batch(blocks, block_count, dim, queries.data(), group, batch_scores.data(), stride);
        for (size_t q = 0; q < group; ++q) {
          const std::span<const float> qv(queries.data() + q * dim, dim);
          for (size_t p = 0; p < n; ++p) {
            const float want = dot_product(qv, store.get(p)).value();
            ASSERT_TRUE(SameScore(batch_scores[q * stride + p], want))
                << Name(kernel) << " batch of " << group << " query " << q << " dim " << dim
                << " n " << n << " pos " << p;
          }
          for (size_t j = block_count * kB; j < stride; ++j) {
            ASSERT_EQ(batch_scores[q * stride + j], 1234.5f);
          }
        }
      }
    }
  }
  EXPECT_GE(kernels_run, 2);
}

#if defined(__x86_64__)
// A caller that runs with flush-to-zero / denormals-are-zero set still gets
// exact subnormal arithmetic inside the guard, and its mode back afterwards.
TEST(DenseKernelsTest, SubnormalsSurviveFlushToZeroMode) {
  const unsigned saved = _mm_getcsr();
  _mm_setcsr(saved | 0x8040);
  float got[16];
  {
    ScopedExactSubnormals exact;
    EmbeddingStore store;
    const float e[] = {1e-20f, 1e-39f};
    store.append(e);
    const float q[] = {1e-20f, 1.0f};
    for (DenseKernel kernel : kAllKernels) {
      BlockScorer scorer = dense_block_scorer(kernel);
      if (scorer == nullptr) continue;
      scorer(store.block(0), 1, 2, q, got);
      // 1e-40 + 1e-39, both subnormal.
      EXPECT_EQ(got[0], dot_product(q, e).value()) << Name(kernel);
      EXPECT_EQ(std::fpclassify(got[0]), FP_SUBNORMAL) << Name(kernel);
      std::fill(std::begin(got), std::end(got), 0.0f);
      dense_batch_scorer(kernel)(store.block(0), 1, 2, q, 1, got, 16);
      EXPECT_EQ(got[0], dot_product(q, e).value()) << Name(kernel);
    }
  }
  EXPECT_EQ(_mm_getcsr() & 0x8040u, 0x8040u);
  _mm_setcsr(saved);
}
#endif

TEST(DenseKernelsTest, ForcingSelectsKernel) {
  for (DenseKernel kernel : kAllKernels) {
    if (!dense_kernel_supported(kernel)) {
      EXPECT_FALSE(force_dense_kernel(kernel));
      continue;
    }
    ASSERT_TRUE(force_dense_kernel(kernel));
    EXPECT_EQ(active_dense_kernel(), kernel);
    EXPECT_EQ(dense_block_scorer(), dense_block_scorer(kernel));
    EXPECT_EQ(dense_batch_scorer(), dense_batch_scorer(kernel));
  }
  ASSERT_TRUE(force_dense_kernel(DenseKernel::Auto));
  EXPECT_NE(active_dense_kernel(), DenseKernel::Auto);
}

}  // namespace
}  // namespace vesk
