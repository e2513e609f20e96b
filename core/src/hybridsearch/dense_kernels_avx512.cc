// AVX-512F dense kernel; this file is compiled with -mavx512f -mavx2 and must
// only run on CPUs that have them (see dense_block_scorer). It uses no inline
// functions from other headers, so no AVX-512 code can leak into shared inline
// definitions.

#include <immintrin.h>

#include <utility>

#include "hybridsearch/dense_kernels.h"

namespace vesk {
namespace dense_internal {

namespace {
constexpr size_t kLanes = 16;
}  // namespace

// One block is one 16-lane register and one running sum. Blocks are scored
// one after the other, so the memory is read as a single sequential stream,
// which the hardware prefetchers follow best; the out-of-order core overlaps
// the add chains of consecutive blocks. (Measured on Zen 4 against two, four
// and eight blocks per step, each block its own stream, over the store's
// huge-page memory: one block per step was fastest from L3-sized to
// DRAM-sized stores and matched a plain read of the memory.) Multiply and add
// stay separate.
void score_blocks_avx512(const float* blocks, size_t block_count, size_t dim, const float* query,
                         float* scores) {
  const size_t stride = kLanes * dim;
  for (size_t b = 0; b < block_count; ++b) {
    const float* p = blocks + b * stride;
    __m512 acc = _mm512_set1_ps(-0.0f);
    for (size_t i = 0; i < dim; ++i) {
      const __m512 product =
          _mm512_mul_ps(_mm512_set1_ps(query[i]), _mm512_loadu_ps(p + i * kLanes));
      acc = _mm512_add_ps(acc, product);
    }
    _mm512_storeu_ps(scores + b * kLanes, acc);
  }
  _mm256_zeroupper();
}

namespace {

// kQueries queries against one block: one register (one running sum) per
// query; the block row is loaded once per dimension for all of them.
template <size_t kQueries>
void score_block_group_avx512(const float* block, size_t dim, const float* queries, float* scores,
                              size_t score_stride) {
  __m512 acc[kQueries];
  for (size_t q = 0; q < kQueries; ++q) acc[q] = _mm512_set1_ps(-0.0f);
  for (size_t i = 0; i < dim; ++i) {
    const __m512 x = _mm512_loadu_ps(block + i * kLanes);
    for (size_t q = 0; q < kQueries; ++q) {
      const __m512 product = _mm512_mul_ps(_mm512_set1_ps(queries[q * dim + i]), x);
      acc[q] = _mm512_add_ps(acc[q], product);
    }
  }
  for (size_t q = 0; q < kQueries; ++q) _mm512_storeu_ps(scores + q * score_stride, acc[q]);
}

template <size_t... kSizes>
void score_block_rest_avx512(size_t count, const float* block, size_t dim, const float* queries,
                             float* scores, size_t score_stride, std::index_sequence<kSizes...>) {
  // Exactly one size matches count (1..7).
  ((count == kSizes + 1
        ? score_block_group_avx512<kSizes + 1>(block, dim, queries, scores, score_stride)
        : void()),
   ...);
}

}  // namespace

void score_batch_avx512(const float* blocks, size_t block_count, size_t dim, const float* queries,
                        size_t query_count, float* scores, size_t score_stride) {
  for (size_t b = 0; b < block_count; ++b) {
    const float* block = blocks + b * kLanes * dim;
    float* out = scores + b * kLanes;
    size_t q = 0;
    for (; q + 8 <= query_count; q += 8) {
      score_block_group_avx512<8>(block, dim, queries + q * dim, out + q * score_stride,
                                  score_stride);
    }
    if (q < query_count) {
      score_block_rest_avx512(query_count - q, block, dim, queries + q * dim,
                              out + q * score_stride, score_stride, std::make_index_sequence<7>());
    }
  }
  _mm256_zeroupper();
}

}  // namespace dense_internal
}  // namespace vesk
