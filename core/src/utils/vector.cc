#include "utils/vector.h"

#include <string>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#define VESK_VECTOR_X86 1
#else
#define VESK_VECTOR_X86 0
#endif

namespace vesk {

Result<float> dot_product(std::span<const float> a, std::span<const float> b) {
  if (a.size() != b.size()) {
    return Status::Internal("Vector length mismatch: len(a)=" + std::to_string(a.size()) +
                            " != len(b)=" + std::to_string(b.size()));
  }
  // The build forbids contraction and reassociation, so this is exactly one
  // rounded product and one rounded sum per element, in index order.
  ScopedExactSubnormals exact_subnormals;
  float sum = -0.0f;
  for (size_t i = 0; i < a.size(); ++i) {
    const float product = a[i] * b[i];
    sum = sum + product;
  }
  return sum;
}

#if VESK_VECTOR_X86
namespace {
constexpr unsigned kFlushToZero = 0x8000;       // MXCSR.FTZ
constexpr unsigned kDenormalsAreZero = 0x0040;  // MXCSR.DAZ
}  // namespace

ScopedExactSubnormals::ScopedExactSubnormals() : saved_(_mm_getcsr()), changed_(false) {
  if (saved_ & (kFlushToZero | kDenormalsAreZero)) {
    _mm_setcsr(saved_ & ~(kFlushToZero | kDenormalsAreZero));
    changed_ = true;
  }
}

ScopedExactSubnormals::~ScopedExactSubnormals() {
  if (changed_) _mm_setcsr(saved_);
}
#else
ScopedExactSubnormals::ScopedExactSubnormals() : saved_(0), changed_(false) {}
ScopedExactSubnormals::~ScopedExactSubnormals() {}
#endif

}  // namespace vesk
