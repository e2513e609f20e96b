#include "hybridsearch/dense_kernels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "index/embedding_store.h"
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

// Every supported kernel must reproduce dot_product bit for bit, lane by lane,
// for odd document counts and dimensions.
TEST(DenseKernelsTest, BitIdenticalToDotProduct) {
  std::mt19937 rng(2024);
  const size_t dims[] = {0, 1, 3, 17, 384, 1024};
  const size_t counts[] = {1, 15, 16, 17, 33, 64, 69, 130};
  int kernels_run = 0;
  for (DenseKernel kernel : kAllKernels) {
    BlockScorer scorer = dense_block_scorer(kernel);
    if (scorer == nullptr) {
      EXPECT_FALSE(dense_kernel_supported(kernel));
      continue;
    }
    ++kernels_run;
    for (size_t dim : dims) {
      for (size_t n : counts) {
        if (dim == 1024 && n > 64) continue;
        EmbeddingStore store;
        for (size_t p = 0; p < n; ++p) {
          store.append(RandomVector(rng, dim));
        }
        const std::vector<float> query = RandomVector(rng, dim);
        std::vector<float> scores(store.block_count() * EmbeddingStore::kBlock, 1234.5f);
        scorer(store.block(0), store.block_count(), dim, query.data(), scores.data());
        for (size_t p = 0; p < n; ++p) {
          const float want = dot_product(query, store.get(p)).value();
          ASSERT_TRUE(SameScore(scores[p], want))
              << Name(kernel) << " dim " << dim << " n " << n << " pos " << p << ": " << scores[p]
              << " vs " << want;
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
  }
  ASSERT_TRUE(force_dense_kernel(DenseKernel::Auto));
  EXPECT_NE(active_dense_kernel(), DenseKernel::Auto);
}

}  // namespace
}  // namespace vesk
