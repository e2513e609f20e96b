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

// Four blocks at a time: eight independent running sums of eight lanes, so the
// add latency is hidden. Multiply and add stay separate instructions.
void ScoreBlocksAvx2(const float* blocks, size_t block_count, size_t dim, const float* query,
                     float* scores) {
  const size_t stride = kLanes * dim;
  size_t b = 0;
  for (; b + 4 <= block_count; b += 4) {
    const float* p0 = blocks + b * stride;
    const float* p1 = p0 + stride;
    const float* p2 = p1 + stride;
    const float* p3 = p2 + stride;
    __m256 a0 = _mm256_set1_ps(-0.0f), a1 = a0, c0 = a0, c1 = a0;
    __m256 d0 = a0, d1 = a0, e0 = a0, e1 = a0;
    for (size_t i = 0; i < dim; ++i) {
      const __m256 q = _mm256_broadcast_ss(query + i);
      const size_t off = i * kLanes;
      a0 = _mm256_add_ps(a0, _mm256_mul_ps(q, _mm256_loadu_ps(p0 + off)));
      a1 = _mm256_add_ps(a1, _mm256_mul_ps(q, _mm256_loadu_ps(p0 + off + 8)));
      c0 = _mm256_add_ps(c0, _mm256_mul_ps(q, _mm256_loadu_ps(p1 + off)));
      c1 = _mm256_add_ps(c1, _mm256_mul_ps(q, _mm256_loadu_ps(p1 + off + 8)));
      d0 = _mm256_add_ps(d0, _mm256_mul_ps(q, _mm256_loadu_ps(p2 + off)));
      d1 = _mm256_add_ps(d1, _mm256_mul_ps(q, _mm256_loadu_ps(p2 + off + 8)));
      e0 = _mm256_add_ps(e0, _mm256_mul_ps(q, _mm256_loadu_ps(p3 + off)));
      e1 = _mm256_add_ps(e1, _mm256_mul_ps(q, _mm256_loadu_ps(p3 + off + 8)));
    }
    float* out = scores + b * kLanes;
    _mm256_storeu_ps(out, a0);
    _mm256_storeu_ps(out + 8, a1);
    _mm256_storeu_ps(out + 16, c0);
    _mm256_storeu_ps(out + 24, c1);
    _mm256_storeu_ps(out + 32, d0);
    _mm256_storeu_ps(out + 40, d1);
    _mm256_storeu_ps(out + 48, e0);
    _mm256_storeu_ps(out + 56, e1);
  }
  for (; b < block_count; ++b) {
    const float* p0 = blocks + b * stride;
    __m256 a0 = _mm256_set1_ps(-0.0f), a1 = a0;
    for (size_t i = 0; i < dim; ++i) {
      const __m256 q = _mm256_broadcast_ss(query + i);
      a0 = _mm256_add_ps(a0, _mm256_mul_ps(q, _mm256_loadu_ps(p0 + i * kLanes)));
      a1 = _mm256_add_ps(a1, _mm256_mul_ps(q, _mm256_loadu_ps(p0 + i * kLanes + 8)));
    }
    _mm256_storeu_ps(scores + b * kLanes, a0);
    _mm256_storeu_ps(scores + b * kLanes + 8, a1);
  }
  _mm256_zeroupper();
}

}  // namespace dense_internal
}  // namespace vesk
