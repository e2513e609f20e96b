// Inner products of float32 vectors with a fixed, reproducible operation order.
//
// Thread safety: pure functions; ScopedExactSubnormals changes the calling
// thread's floating-point mode for its lifetime.
#ifndef VESK_CORE_UTILS_VECTOR_H_
#define VESK_CORE_UTILS_VECTOR_H_

#include <span>

#include "utils/status.h"

namespace vesk {

// sum_{i = 0..n-1} a[i] * b[i]: each product rounded to float32 and added to a
// float32 running sum that starts at -0.0, strictly in increasing i, never
// fused or reassociated. Fails with Internal "Vector length mismatch:
// len(a)=<a.size()> != len(b)=<b.size()>" when the lengths differ.
// Subnormal values take part exactly, whatever the caller's floating-point mode.
Result<float> dot_product(std::span<const float> a, std::span<const float> b);

// While alive, makes sure subnormal inputs and results are neither flushed to
// zero nor treated as zero (clears MXCSR FTZ and DAZ, which a library built
// with fast-math may have set), restoring the previous mode on destruction.
class ScopedExactSubnormals {
 public:
  ScopedExactSubnormals();
  ~ScopedExactSubnormals();
  ScopedExactSubnormals(const ScopedExactSubnormals&) = delete;
  ScopedExactSubnormals& operator=(const ScopedExactSubnormals&) = delete;

 private:
  unsigned saved_;
  bool changed_;
};

}  // namespace vesk

#endif  // VESK_CORE_UTILS_VECTOR_H_
