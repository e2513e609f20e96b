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

}  // namespace dense_internal
}  // namespace vesk
