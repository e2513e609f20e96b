// AVX2 dense kernel; this file is compiled with -mavx2 and must only run on
// CPUs that have it (see dense_block_scorer). It uses no inline functions from
// other headers, so no AVX2 code can leak into shared inline definitions.

#include <immintrin.h>

#include "hybridsearch/dense_kernels.h"

namespace vesk {
namespace dense_internal {

namespace {
constexpr size_t kLanes = 16;
}  // namespace

// One block (two registers, two running sums) per step, so the memory is read
// as one sequential stream; see dense_kernels_avx512.cc for the measurements
// behind this choice. Multiply and add stay separate instructions.
void score_blocks_avx2(const float* blocks, size_t block_count, size_t dim, const float* query,
                       float* scores) {
  const size_t stride = kLanes * dim;
  for (size_t b = 0; b < block_count; ++b) {
    const float* p = blocks + b * stride;
    __m256 lo = _mm256_set1_ps(-0.0f), hi = lo;
    for (size_t i = 0; i < dim; ++i) {
      const __m256 q = _mm256_broadcast_ss(query + i);
      lo = _mm256_add_ps(lo, _mm256_mul_ps(q, _mm256_loadu_ps(p + i * kLanes)));
      hi = _mm256_add_ps(hi, _mm256_mul_ps(q, _mm256_loadu_ps(p + i * kLanes + 8)));
    }
    _mm256_storeu_ps(scores + b * kLanes, lo);
    _mm256_storeu_ps(scores + b * kLanes + 8, hi);
  }
  _mm256_zeroupper();
}

namespace {

// Rows of a block scored per step before moving to the next query group: a
// tile of the block (kTileRows * 64 bytes) and of up to kMaxBatchQueries
// queries stay in L1 while every group of the batch passes over them.
constexpr size_t kTileRows = 96;

// Rows [begin, end) of one block against kQueries queries: two registers (two
// running sums) per query. The sums start at -0.0 on the first tile and are
// carried between tiles through `scores`; a float stored and loaded again is
// the same value, so each lane's sum is exactly the one-pass sum.
template <size_t kQueries>
void score_tile_avx2(const float* block, size_t begin, size_t end, size_t dim, const float* queries,
                     float* scores, size_t score_stride) {
  // The loops over the queries are unrolled so that the sums live in
  // registers, not in memory.
  __m256 lo[kQueries], hi[kQueries];
#pragma GCC unroll 8
  for (size_t q = 0; q < kQueries; ++q) {
    if (begin == 0) {
      lo[q] = hi[q] = _mm256_set1_ps(-0.0f);
    } else {
      lo[q] = _mm256_loadu_ps(scores + q * score_stride);
      hi[q] = _mm256_loadu_ps(scores + q * score_stride + 8);
    }
  }
  for (size_t i = begin; i < end; ++i) {
    const __m256 x0 = _mm256_loadu_ps(block + i * kLanes);
    const __m256 x1 = _mm256_loadu_ps(block + i * kLanes + 8);
#pragma GCC unroll 8
    for (size_t q = 0; q < kQueries; ++q) {
      const __m256 v = _mm256_broadcast_ss(queries + q * dim + i);
      lo[q] = _mm256_add_ps(lo[q], _mm256_mul_ps(v, x0));
      hi[q] = _mm256_add_ps(hi[q], _mm256_mul_ps(v, x1));
    }
  }
#pragma GCC unroll 8
  for (size_t q = 0; q < kQueries; ++q) {
    _mm256_storeu_ps(scores + q * score_stride, lo[q]);
    _mm256_storeu_ps(scores + q * score_stride + 8, hi[q]);
  }
}

constexpr size_t kGroup = 6;

}  // namespace

// Each block is scored tile by tile; within a tile, groups of kGroup queries
// take turns, so the tile is read from memory once for the whole batch and
// from L1 by every group.
void score_batch_avx2(const float* blocks, size_t block_count, size_t dim, const float* queries,
                      size_t query_count, float* scores, size_t score_stride) {
  for (size_t b = 0; b < block_count; ++b) {
    const float* block = blocks + b * kLanes * dim;
    float* out = scores + b * kLanes;
    // One pass even for dim 0, which writes the -0.0 start values.
    for (size_t begin = 0; begin == 0 || begin < dim; begin += kTileRows) {
      const size_t end = begin + kTileRows < dim ? begin + kTileRows : dim;
      size_t q = 0;
      for (; q + kGroup <= query_count; q += kGroup) {
        score_tile_avx2<kGroup>(block, begin, end, dim, queries + q * dim, out + q * score_stride,
                                score_stride);
      }
      const float* rest = queries + q * dim;
      float* rest_out = out + q * score_stride;
      switch (query_count - q) {
        case 5:
          score_tile_avx2<5>(block, begin, end, dim, rest, rest_out, score_stride);
          break;
        case 4:
          score_tile_avx2<4>(block, begin, end, dim, rest, rest_out, score_stride);
          break;
        case 3:
          score_tile_avx2<3>(block, begin, end, dim, rest, rest_out, score_stride);
          break;
        case 2:
          score_tile_avx2<2>(block, begin, end, dim, rest, rest_out, score_stride);
          break;
        case 1:
          score_tile_avx2<1>(block, begin, end, dim, rest, rest_out, score_stride);
          break;
        default:
          break;
      }
    }
  }
  _mm256_zeroupper();
}

}  // namespace dense_internal
}  // namespace vesk
