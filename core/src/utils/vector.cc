#include "utils/vector.h"

#include <string>

namespace vesk {

Result<float> dot_product(std::span<const float> a, std::span<const float> b) {
  if (a.size() != b.size()) {
    return Status::Internal("Vector length mismatch: len(a)=" + std::to_string(a.size()) +
                            " != len(b)=" + std::to_string(b.size()));
  }
  // The build forbids contraction and reassociation, so this is exactly one
  // rounded product and one rounded sum per element, in index order.
  float sum = -0.0f;
  for (size_t i = 0; i < a.size(); ++i) {
    const float product = a[i] * b[i];
    sum = sum + product;
  }
  return sum;
}

}  // namespace vesk
