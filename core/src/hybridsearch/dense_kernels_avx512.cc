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

// One block is one 16-lane register. Eight blocks at a time give eight
// independent running sums (hiding the add latency) and eight concurrent read
// streams, which measured faster than four; multiply and add stay separate
// instructions.
void ScoreBlocksAvx512(const float* blocks, size_t block_count, size_t dim, const float* query,
                       float* scores) {
  const size_t stride = kLanes * dim;
  size_t b = 0;
  for (; b + 8 <= block_count; b += 8) {
    const float* p0 = blocks + b * stride;
    const float* p1 = p0 + stride;
    const float* p2 = p1 + stride;
    const float* p3 = p2 + stride;
    const float* p4 = p3 + stride;
    const float* p5 = p4 + stride;
    const float* p6 = p5 + stride;
    const float* p7 = p6 + stride;
    __m512 a0 = _mm512_set1_ps(-0.0f), a1 = a0, a2 = a0, a3 = a0;
    __m512 a4 = a0, a5 = a0, a6 = a0, a7 = a0;
    for (size_t i = 0; i < dim; ++i) {
      const __m512 q = _mm512_set1_ps(query[i]);
      const size_t off = i * kLanes;
      a0 = _mm512_add_ps(a0, _mm512_mul_ps(q, _mm512_loadu_ps(p0 + off)));
      a1 = _mm512_add_ps(a1, _mm512_mul_ps(q, _mm512_loadu_ps(p1 + off)));
      a2 = _mm512_add_ps(a2, _mm512_mul_ps(q, _mm512_loadu_ps(p2 + off)));
      a3 = _mm512_add_ps(a3, _mm512_mul_ps(q, _mm512_loadu_ps(p3 + off)));
      a4 = _mm512_add_ps(a4, _mm512_mul_ps(q, _mm512_loadu_ps(p4 + off)));
      a5 = _mm512_add_ps(a5, _mm512_mul_ps(q, _mm512_loadu_ps(p5 + off)));
      a6 = _mm512_add_ps(a6, _mm512_mul_ps(q, _mm512_loadu_ps(p6 + off)));
      a7 = _mm512_add_ps(a7, _mm512_mul_ps(q, _mm512_loadu_ps(p7 + off)));
    }
    float* out = scores + b * kLanes;
    _mm512_storeu_ps(out, a0);
    _mm512_storeu_ps(out + 16, a1);
    _mm512_storeu_ps(out + 32, a2);
    _mm512_storeu_ps(out + 48, a3);
    _mm512_storeu_ps(out + 64, a4);
    _mm512_storeu_ps(out + 80, a5);
    _mm512_storeu_ps(out + 96, a6);
    _mm512_storeu_ps(out + 112, a7);
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
