#include "utils/float_format.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <random>

namespace vesk {
namespace {

TEST(FormatFloatPlainTest, KnownValues) {
  EXPECT_EQ(format_float_plain(1.5f), "1.5");
  EXPECT_EQ(format_float_plain(-0.25f), "-0.25");
  EXPECT_EQ(format_float_plain(2.0f), "2");
  EXPECT_EQ(format_float_plain(0.0f), "0");
  EXPECT_EQ(format_float_plain(-0.0f), "-0");
  EXPECT_EQ(format_float_plain(1.1f), "1.1");
  EXPECT_EQ(format_float_plain(1e20f), "100000000000000000000");
  EXPECT_EQ(format_float_plain(1e-6f), "0.000001");
  EXPECT_EQ(format_float_plain(123.456f), "123.456");
  EXPECT_EQ(format_float_plain(1.0000001f), "1.0000001");
  EXPECT_EQ(format_float_plain(16777216.0f), "16777216");
  EXPECT_EQ(format_float_plain(std::numeric_limits<float>::max()),
            "340282350000000000000000000000000000000");
  EXPECT_EQ(format_float_plain(std::numeric_limits<float>::denorm_min()),
            "0.000000000000000000000000000000000000000000001");
}

TEST(FormatFloatPlainTest, NonFinite) {
  EXPECT_EQ(format_float_plain(std::numeric_limits<float>::quiet_NaN()), "NaN");
  EXPECT_EQ(format_float_plain(-std::numeric_limits<float>::quiet_NaN()), "NaN");
  EXPECT_EQ(format_float_plain(std::numeric_limits<float>::infinity()), "inf");
  EXPECT_EQ(format_float_plain(-std::numeric_limits<float>::infinity()), "-inf");
}

TEST(FormatFloatPlainTest, ReadsBackToSameFloat) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> mant(1.0f, 10.0f);
  std::uniform_int_distribution<int> exp(-40, 38);
  for (int i = 0; i < 2000; ++i) {
    const float v = mant(rng) * std::pow(10.0f, static_cast<float>(exp(rng)));
    if (!std::isfinite(v)) continue;
    const std::string s = format_float_plain(v);
    EXPECT_EQ(s.find('e'), std::string::npos) << s;
    EXPECT_EQ(std::strtof(s.c_str(), nullptr), v) << s;
  }
}

TEST(FormatDoubleWithFractionTest, AlwaysAFractionalDigit) {
  EXPECT_EQ(format_double_with_fraction(384.0), "384.0");
  EXPECT_EQ(format_double_with_fraction(0.0), "0.0");
  EXPECT_EQ(format_double_with_fraction(-0.0), "-0.0");
  EXPECT_EQ(format_double_with_fraction(2.5), "2.5");
  EXPECT_EQ(format_double_with_fraction(1.5e-7), "0.00000015");
  EXPECT_EQ(format_double_with_fraction(18446744073709551616.0), "18446744073709552000.0");
  EXPECT_EQ(format_double_with_fraction(0.1), "0.1");  // double digits, not float ones
  EXPECT_EQ(format_double_with_fraction(-std::numeric_limits<double>::infinity()), "-inf");
}

}  // namespace
}  // namespace vesk
