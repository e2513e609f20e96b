#include "utils/vector.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace vesk {
namespace {

TEST(DotProductTest, SumsProductsInIndexOrder) {
  const std::vector<float> a = {1, 2, 3}, b = {4, 5, 6};
  auto r = dot_product(a, b);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value(), 32.0f);

  // Order matters: 1e8 + 1 - 1e8 in float32 is 0 left to right, 1 otherwise.
  const std::vector<float> x = {1e8f, 1.0f, -1e8f}, ones = {1, 1, 1};
  EXPECT_EQ(dot_product(x, ones).value(), 0.0f);
}

TEST(DotProductTest, EmptyAndNegativeZero) {
  auto r = dot_product({}, {});
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value(), 0.0f);
  EXPECT_TRUE(std::signbit(r.value()));

  // -0.0 start: (-0) + (-0) stays -0, while a +0 start would give +0.
  const std::vector<float> a = {-1.0f}, b = {0.0f};
  EXPECT_TRUE(std::signbit(dot_product(a, b).value()));
}

TEST(DotProductTest, KeepsSubnormals) {
  const std::vector<float> a = {1e-20f}, b = {1e-20f};
  const float got = dot_product(a, b).value();
  EXPECT_GT(got, 0.0f);
  EXPECT_EQ(std::fpclassify(got), FP_SUBNORMAL);
}

#if defined(__x86_64__)
// A caller running with flush-to-zero and denormals-are-zero (as left behind
// by fast-math libraries) still gets exact subnormals, and keeps its mode.
TEST(DotProductTest, KeepsSubnormalsUnderFlushToZeroMode) {
  const unsigned saved = _mm_getcsr();
  _mm_setcsr(saved | 0x8040);
  const std::vector<float> a = {1e-20f, 1e-39f}, b = {1e-20f, 1.0f};
  const float got = dot_product(a, b).value();
  const unsigned mode = _mm_getcsr();
  _mm_setcsr(saved);
  EXPECT_EQ(mode & 0x8040u, 0x8040u);
  EXPECT_EQ(std::fpclassify(got), FP_SUBNORMAL);
  EXPECT_EQ(got, dot_product(a, b).value());
}
#endif

TEST(DotProductTest, LengthMismatchIsInternal) {
  const std::vector<float> a = {1, 2, 3}, b = {1, 2, 3, 4};
  auto r = dot_product(a, b);
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(r.status().IsInternal());
  EXPECT_EQ(r.status().message(), "Vector length mismatch: len(a)=3 != len(b)=4");
}

}  // namespace
}  // namespace vesk
