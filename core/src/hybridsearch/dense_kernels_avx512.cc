// AVX-512F dense kernel; this file is compiled with -mavx512f -mavx2 and must
// only run on CPUs that have them (see dense_block_scorer). It uses no inline
// functions from other headers, so no AVX-512 code can leak into shared inline
// definitions.

#include <immintrin.h>

#include "hybridsearch/dense_kernels.h"

namespace vesk {
namespace dense_internal {

namespace {
constexpr size_t kLanes = 16;
}  // namespace

// One block is one 16-lane register. Four blocks at a time give four
// independent running sums; multiply and add stay separate instructions.
void ScoreBlocksAvx512(const float* blocks, size_t block_count, size_t dim, const float* query,
                       float* scores) {
  const size_t stride = kLanes * dim;
  size_t b = 0;
  for (; b + 4 <= block_count; b += 4) {
    const float* p0 = blocks + b * stride;
    const float* p1 = p0 + stride;
    const float* p2 = p1 + stride;
    const float* p3 = p2 + stride;
    __m512 a0 = _mm512_set1_ps(-0.0f), a1 = a0, a2 = a0, a3 = a0;
    for (size_t i = 0; i < dim; ++i) {
      const __m512 q = _mm512_set1_ps(query[i]);
      const size_t off = i * kLanes;
      a0 = _mm512_add_ps(a0, _mm512_mul_ps(q, _mm512_loadu_ps(p0 + off)));
      a1 = _mm512_add_ps(a1, _mm512_mul_ps(q, _mm512_loadu_ps(p1 + off)));
      a2 = _mm512_add_ps(a2, _mm512_mul_ps(q, _mm512_loadu_ps(p2 + off)));
      a3 = _mm512_add_ps(a3, _mm512_mul_ps(q, _mm512_loadu_ps(p3 + off)));
    }
    float* out = scores + b * kLanes;
    _mm512_storeu_ps(out, a0);
    _mm512_storeu_ps(out + 16, a1);
    _mm512_storeu_ps(out + 32, a2);
    _mm512_storeu_ps(out + 48, a3);
  }
  for (; b < block_count; ++b) {
    const float* p0 = blocks + b * stride;
    __m512 a0 = _mm512_set1_ps(-0.0f);
    for (size_t i = 0; i < dim; ++i) {
      a0 = _mm512_add_ps(a0,
                         _mm512_mul_ps(_mm512_set1_ps(query[i]), _mm512_loadu_ps(p0 + i * kLanes)));
    }
    _mm512_storeu_ps(scores + b * kLanes, a0);
  }
  _mm256_zeroupper();
}

}  // namespace dense_internal
}  // namespace vesk
