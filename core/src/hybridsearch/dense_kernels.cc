// Portable kernels (scalar and SSE2, the x86-64 baseline), run-time kernel
// choice. Wider kernels live in dense_kernels_avx2.cc
// and dense_kernels_avx512.cc, compiled with their own target flags.

#include "hybridsearch/dense_kernels.h"

#include <emmintrin.h>
#include <xmmintrin.h>

#include <atomic>

namespace vesk {

namespace {

constexpr size_t kLanes = 16;

}  // namespace

namespace dense_internal {

void score_blocks_scalar(const float* blocks, size_t block_count, size_t dim, const float* query,
                         float* scores) {
  for (size_t b = 0; b < block_count; ++b) {
    const float* blk = blocks + b * kLanes * dim;
    float acc[kLanes];
    for (size_t j = 0; j < kLanes; ++j) acc[j] = -0.0f;
    for (size_t i = 0; i < dim; ++i) {
      const float q = query[i];
      for (size_t j = 0; j < kLanes; ++j) {
        const float product = q * blk[i * kLanes + j];
        acc[j] = acc[j] + product;
      }
    }
    for (size_t j = 0; j < kLanes; ++j) scores[b * kLanes + j] = acc[j];
  }
}

// One block (four registers, four running sums) per step, so the memory is
// read as one sequential stream; see dense_kernels_avx512.cc.
void score_blocks_sse2(const float* blocks, size_t block_count, size_t dim, const float* query,
                       float* scores) {
  const size_t stride = kLanes * dim;  // floats per block
  for (size_t b = 0; b < block_count; ++b) {
    const float* p = blocks + b * stride;
    __m128 a0 = _mm_set1_ps(-0.0f), a1 = a0, a2 = a0, a3 = a0;
    for (size_t i = 0; i < dim; ++i) {
      const __m128 q = _mm_set1_ps(query[i]);
      const float* row = p + i * kLanes;
      a0 = _mm_add_ps(a0, _mm_mul_ps(q, _mm_loadu_ps(row)));
      a1 = _mm_add_ps(a1, _mm_mul_ps(q, _mm_loadu_ps(row + 4)));
      a2 = _mm_add_ps(a2, _mm_mul_ps(q, _mm_loadu_ps(row + 8)));
      a3 = _mm_add_ps(a3, _mm_mul_ps(q, _mm_loadu_ps(row + 12)));
    }
    float* out = scores + b * kLanes;
    _mm_storeu_ps(out, a0);
    _mm_storeu_ps(out + 4, a1);
    _mm_storeu_ps(out + 8, a2);
    _mm_storeu_ps(out + 12, a3);
  }
}

void score_batch_scalar(const float* blocks, size_t block_count, size_t dim, const float* queries,
                        size_t query_count, float* scores, size_t score_stride) {
  for (size_t b = 0; b < block_count; ++b) {
    for (size_t q = 0; q < query_count; ++q) {
      score_blocks_scalar(blocks + b * kLanes * dim, 1, dim, queries + q * dim,
                          scores + q * score_stride + b * kLanes);
    }
  }
}

namespace {

// kQueries queries against one block, four registers (one running sum each)
// per query; two queries keep all sums and the block row in the 16 registers.
template <size_t kQueries>
void score_block_group_sse2(const float* block, size_t dim, const float* queries, float* scores,
                            size_t score_stride) {
  __m128 acc[kQueries][4];
  for (size_t q = 0; q < kQueries; ++q) {
    for (size_t r = 0; r < 4; ++r) acc[q][r] = _mm_set1_ps(-0.0f);
  }
  for (size_t i = 0; i < dim; ++i) {
    const float* row = block + i * kLanes;
    const __m128 x0 = _mm_loadu_ps(row), x1 = _mm_loadu_ps(row + 4);
    const __m128 x2 = _mm_loadu_ps(row + 8), x3 = _mm_loadu_ps(row + 12);
    for (size_t q = 0; q < kQueries; ++q) {
      const __m128 v = _mm_set1_ps(queries[q * dim + i]);
      acc[q][0] = _mm_add_ps(acc[q][0], _mm_mul_ps(v, x0));
      acc[q][1] = _mm_add_ps(acc[q][1], _mm_mul_ps(v, x1));
      acc[q][2] = _mm_add_ps(acc[q][2], _mm_mul_ps(v, x2));
      acc[q][3] = _mm_add_ps(acc[q][3], _mm_mul_ps(v, x3));
    }
  }
  for (size_t q = 0; q < kQueries; ++q) {
    for (size_t r = 0; r < 4; ++r) _mm_storeu_ps(scores + q * score_stride + 4 * r, acc[q][r]);
  }
}

}  // namespace

void score_batch_sse2(const float* blocks, size_t block_count, size_t dim, const float* queries,
                      size_t query_count, float* scores, size_t score_stride) {
  for (size_t b = 0; b < block_count; ++b) {
    const float* block = blocks + b * kLanes * dim;
    float* out = scores + b * kLanes;
    size_t q = 0;
    for (; q + 2 <= query_count; q += 2) {
      score_block_group_sse2<2>(block, dim, queries + q * dim, out + q * score_stride,
                                score_stride);
    }
    if (q < query_count) {
      score_block_group_sse2<1>(block, dim, queries + q * dim, out + q * score_stride,
                                score_stride);
    }
  }
}

}  // namespace dense_internal

namespace {

DenseKernel best_supported() {
  if (dense_kernel_supported(DenseKernel::Avx512)) return DenseKernel::Avx512;
  if (dense_kernel_supported(DenseKernel::Avx2)) return DenseKernel::Avx2;
  return DenseKernel::Sse2;
}

std::atomic<DenseKernel>& forced_kernel() {
  static std::atomic<DenseKernel> forced{DenseKernel::Auto};
  return forced;
}

}  // namespace

bool dense_kernel_supported(DenseKernel kernel) {
  switch (kernel) {
    case DenseKernel::Auto:
    case DenseKernel::Scalar:
    case DenseKernel::Sse2:
      return true;
    case DenseKernel::Avx2:
      return __builtin_cpu_supports("avx2");
    case DenseKernel::Avx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx2");
  }
  return false;  // not an enumerator
}

DenseKernel active_dense_kernel() {
  const DenseKernel forced = forced_kernel().load(std::memory_order_relaxed);
  if (forced != DenseKernel::Auto) return forced;
  static const DenseKernel best = best_supported();
  return best;
}

BlockScorer dense_block_scorer(DenseKernel kernel) {
  if (kernel == DenseKernel::Auto) kernel = active_dense_kernel();
  if (!dense_kernel_supported(kernel)) return nullptr;
  switch (kernel) {
    case DenseKernel::Scalar:
      return &dense_internal::score_blocks_scalar;
    case DenseKernel::Sse2:
      return &dense_internal::score_blocks_sse2;
    case DenseKernel::Avx2:
      return &dense_internal::score_blocks_avx2;
    case DenseKernel::Avx512:
      return &dense_internal::score_blocks_avx512;
    case DenseKernel::Auto:  // resolved above
      break;
  }
  return nullptr;
}

BatchScorer dense_batch_scorer(DenseKernel kernel) {
  if (kernel == DenseKernel::Auto) kernel = active_dense_kernel();
  if (!dense_kernel_supported(kernel)) return nullptr;
  switch (kernel) {
    case DenseKernel::Scalar:
      return &dense_internal::score_batch_scalar;
    case DenseKernel::Sse2:
      return &dense_internal::score_batch_sse2;
    case DenseKernel::Avx2:
      return &dense_internal::score_batch_avx2;
    case DenseKernel::Avx512:
      return &dense_internal::score_batch_avx512;
    case DenseKernel::Auto:  // resolved above
      break;
  }
  return nullptr;
}

bool force_dense_kernel(DenseKernel kernel) {
  if (!dense_kernel_supported(kernel)) return false;
  forced_kernel().store(kernel, std::memory_order_relaxed);
  return true;
}

}  // namespace vesk
