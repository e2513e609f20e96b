#include "persist/float_text.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace vesk {
namespace {

// The text the writer gives one float.
std::string FloatText(float f) {
  char buf[kFloatTextRoom];
  return std::string(buf, write_float_text(buf, f));
}

TEST(FloatTextTest, FloatLayout) {
  EXPECT_EQ(FloatText(1.0f), "1.0");
  EXPECT_EQ(FloatText(1.5e7f), "15000000.0");
  EXPECT_EQ(FloatText(12.34f), "12.34");
  EXPECT_EQ(FloatText(0.1f), "0.1");
  EXPECT_EQ(FloatText(0.001234f), "0.001234");
  EXPECT_EQ(FloatText(0.000001f), "0.000001");
  EXPECT_EQ(FloatText(1e-7f), "1e-7");
  EXPECT_EQ(FloatText(1.234e-7f), "1.234e-7");
  EXPECT_EQ(FloatText(3.4028235e38f), "3.4028235e38");
  EXPECT_EQ(FloatText(1e20f), "1e20");
  EXPECT_EQ(FloatText(3e38f), "3e38");
  EXPECT_EQ(FloatText(0.0f), "0.0");
  EXPECT_EQ(FloatText(-0.0f), "-0.0");
  EXPECT_EQ(FloatText(-2.5f), "-2.5");
  EXPECT_EQ(FloatText(1e13f), "1e13");             // kk = 14: exponent form
  EXPECT_EQ(FloatText(1e12f), "1000000000000.0");  // kk = 13: plain
  EXPECT_EQ(FloatText(1.2345678e12f), "1234567800000.0");
  EXPECT_EQ(FloatText(123456.79f), "123456.79");
  EXPECT_EQ(FloatText(16777216.0f), "16777216.0");
  EXPECT_EQ(FloatText(std::numeric_limits<float>::denorm_min()), "1e-45");
  EXPECT_EQ(FloatText(-std::numeric_limits<float>::min()), "-1.1754944e-38");
  EXPECT_EQ(FloatText(std::numeric_limits<float>::quiet_NaN()), "null");
  EXPECT_EQ(FloatText(std::numeric_limits<float>::infinity()), "null");
  EXPECT_EQ(FloatText(-std::numeric_limits<float>::infinity()), "null");
}

// Over a spread of bit patterns covering every exponent: the text reads back
// as the same float, carries the same digits as the standard library's
// shortest form, and fits the bound and the documented maximum; a row is
// the values' texts joined by commas, and the bound of a list is the sum of
// the bounds of its values.
TEST(FloatTextTest, ShortestRoundTripWithinBound) {
  std::vector<float> row;
  std::string joined;
  std::vector<float> all;
  size_t bound_sum = 0;
  for (uint64_t bits = 0; bits <= 0xFFFFFFFFu; bits += 65521) {
    const float f = std::bit_cast<float>(static_cast<uint32_t>(bits));
    const std::string text = FloatText(f);
    const float one[1] = {f};
    ASSERT_LE(text.size() + 1, float_list_text_bound(one)) << text;
    ASSERT_LE(text.size(), kMaxFloatText) << text;
    all.push_back(f);
    bound_sum += float_list_text_bound(one);
    if (row.size() < 500) {
      row.push_back(f);
      joined += (joined.empty() ? "" : ",") + text;
    }
    if (!std::isfinite(f)) {
      ASSERT_EQ(text, "null");
      continue;
    }
    ASSERT_EQ(std::bit_cast<uint32_t>(std::strtof(text.c_str(), nullptr)),
              static_cast<uint32_t>(bits))
        << text;
    char buf[64];
    const std::string shortest(
        buf, std::to_chars(buf, buf + sizeof(buf), f, std::chars_format::scientific).ptr);
    ASSERT_EQ(std::strtod(text.c_str(), nullptr), std::strtod(shortest.c_str(), nullptr))
        << text << " vs " << shortest;
  }
  std::vector<char> buf(row.size() * (kMaxFloatText + 1) + kFloatTextRoom);
  EXPECT_EQ(std::string(buf.data(), write_float_list_text(buf.data(), row)), joined);
  EXPECT_LE(joined.size() + 1, float_list_text_bound(row));
  EXPECT_EQ(float_list_text_bound(all), bound_sum);
}

// The text of a finite float built from the standard library's shortest
// digits (an independent implementation of the same digit search) and the
// documented layout.
std::string ExpectedText(float f) {
  if (f == 0) return std::signbit(f) ? "-0.0" : "0.0";
  char buf[64];
  char* end = std::to_chars(buf, buf + sizeof(buf), f, std::chars_format::scientific).ptr;
  std::string sci(buf, end);
  std::string out;
  if (sci[0] == '-') {
    out = "-";
    sci.erase(0, 1);
  }
  const size_t e_at = sci.find('e');
  std::string digits = sci.substr(0, e_at);
  if (digits.size() > 1) digits.erase(1, 1);  // the '.'
  const int n = static_cast<int>(digits.size());
  const int kk = std::stoi(sci.substr(e_at + 1)) + 1;
  if (kk >= n && kk <= 13) return out + digits + std::string(kk - n, '0') + ".0";
  if (kk > 0 && kk <= 13) return out + digits.substr(0, kk) + "." + digits.substr(kk);
  if (kk > -6 && kk <= 0) return out + "0." + std::string(-kk, '0') + digits;
  const std::string exponent = std::to_string(kk - 1);
  if (n == 1) return out + digits + "e" + exponent;
  return out + digits.substr(0, 1) + "." + digits.substr(1) + "e" + exponent;
}

// Every float of several binary exponents (subnormals, the smallest normals,
// the magnitudes of embedding values, 1, the edge of the plain layout at
// 10^13, the largest), every power of two, and random bit patterns of both
// signs: the text is the expected one and within the bound, and a list of
// them (written several at a time where the processor allows) is their
// texts joined by commas.
TEST(FloatTextTest, MatchesShortestDigitsExhaustively) {
  char buf[kFloatTextRoom];
  std::vector<float> list;
  std::string joined;
  std::vector<char> list_buf;
  auto check_list = [&] {
    list_buf.resize(list.size() * (kMaxFloatText + 1) + kFloatTextRoom);
    const bool same =
        std::string_view(list_buf.data(),
                         write_float_list_text(list_buf.data(), list) - list_buf.data()) == joined;
    list.clear();
    joined.clear();
    return same;
  };
  auto check = [&](uint32_t bits) {
    const float f = std::bit_cast<float>(bits);
    const size_t size = static_cast<size_t>(write_float_text(buf, f) - buf);
    // Lists of up to 1000 values, with the negated value every third.
    if (!list.empty()) joined += ',';
    joined.append(buf, size);
    list.push_back(f);
    if (bits % 3 == 0) {
      char text[kFloatTextRoom];
      joined += ',';
      joined.append(text, write_float_text(text, -f));
      list.push_back(-f);
    }
    if (list.size() >= 1 + bits % 1000 && !check_list()) return false;
    const float one[1] = {f};
    if (size + 1 > float_list_text_bound(one)) return false;
    return std::string_view(buf, size) == ExpectedText(f);
  };
  for (uint32_t biased : {0u, 1u, 122u, 127u, 170u, 254u}) {
    for (uint32_t m = 0; m < (1u << 23); ++m) {
      const uint32_t bits = (biased << 23) | m;
      ASSERT_TRUE(check(bits)) << std::hex << bits << " "
                               << ExpectedText(std::bit_cast<float>(bits));
    }
  }
  for (uint32_t biased = 0; biased < 255; ++biased) ASSERT_TRUE(check(biased << 23)) << biased;
  std::mt19937 rng(7);
  for (int i = 0; i < 500000; ++i) {
    const uint32_t bits = static_cast<uint32_t>(rng());
    if (((bits >> 23) & 0xff) == 0xff) continue;
    ASSERT_TRUE(check(bits)) << std::hex << bits << " " << ExpectedText(std::bit_cast<float>(bits));
  }
  EXPECT_TRUE(check_list());
}

// Manual (a few minutes): every one of the 2^32 bit patterns, in lists,
// written as the joined texts of the values one by one.
TEST(FloatTextTest, DISABLED_ListTextOfEveryBitPattern) {
  constexpr size_t kList = 4096;
  std::vector<float> list(kList);
  std::vector<char> list_buf(kList * (kMaxFloatText + 1) + kFloatTextRoom);
  std::string joined;
  for (uint64_t first = 0; first <= 0xFFFFFFFFu; first += kList) {
    joined.clear();
    for (size_t i = 0; i < kList; ++i) {
      list[i] = std::bit_cast<float>(static_cast<uint32_t>(first + i));
      char text[kFloatTextRoom];
      if (i > 0) joined += ',';
      joined.append(text, write_float_text(text, list[i]));
    }
    const char* end = write_float_list_text(list_buf.data(), list);
    ASSERT_EQ(std::string_view(list_buf.data(), end - list_buf.data()), joined) << first;
  }
}

TEST(FloatTextTest, DecimalNumberKinds) {
  using Kind = DecimalNumber::Kind;
  EXPECT_EQ(parse_decimal_number("18446744073709551615").kind, Kind::kUnsigned);
  EXPECT_EQ(parse_decimal_number("18446744073709551615").u, 18446744073709551615u);
  EXPECT_EQ(parse_decimal_number("18446744073709551616").kind, Kind::kFloat);
  EXPECT_EQ(parse_decimal_number("-9223372036854775808").kind, Kind::kSigned);
  EXPECT_EQ(parse_decimal_number("-9223372036854775808").i, std::numeric_limits<int64_t>::min());
  EXPECT_EQ(parse_decimal_number("-9223372036854775809").kind, Kind::kFloat);
  // "-0" is a float, as are all fractions and exponents.
  const DecimalNumber minus_zero = parse_decimal_number("-0");
  EXPECT_EQ(minus_zero.kind, Kind::kFloat);
  EXPECT_TRUE(std::signbit(minus_zero.d));
  EXPECT_EQ(parse_decimal_number("1e0").kind, Kind::kFloat);
  EXPECT_EQ(parse_decimal_number("2.50").d, 2.5);
  // Too large is out of range, too small is a signed zero.
  EXPECT_EQ(parse_decimal_number("1e309").kind, Kind::kOutOfRange);
  EXPECT_EQ(parse_decimal_number("-0.001e312").kind, Kind::kOutOfRange);
  EXPECT_EQ(parse_decimal_number("0.000e999").kind, Kind::kFloat);
  const DecimalNumber tiny = parse_decimal_number("-1e-400");
  EXPECT_EQ(tiny.kind, Kind::kFloat);
  EXPECT_EQ(tiny.d, 0.0);
  EXPECT_TRUE(std::signbit(tiny.d));
  // Integers round to float32 directly, not through a double.
  EXPECT_EQ(decimal_number_to_float(parse_decimal_number("1152921573326323713")),
            static_cast<float>(1152921573326323713ull));
}

// Number texts of many shapes (the writer's output for random bit patterns,
// and random signs, digit counts and exponents), each also damaged at a
// random place, followed by padding: whatever the quick scan accepts is a
// well-formed number read to the same float as the general reading, and it
// accepts the writer's text of every value of ordinary magnitude.
TEST(FloatTextTest, QuickScanAgreesWithGeneralReading) {
  const std::regex json_number(R"(-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?)");
  std::mt19937 rng(11);
  auto pick = [&](std::string_view from) { return from[rng() % from.size()]; };
  auto digits = [&](int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += pick("0123456789");
    return out;
  };
  size_t accepted = 0;
  for (int i = 0; i < 400000; ++i) {
    std::string text;
    if (i % 2 == 0) {
      const float f = std::bit_cast<float>(static_cast<uint32_t>(rng()));
      text = FloatText(f);
      const float magnitude = std::fabs(f);
      if (magnitude >= 1e-6f && magnitude < 1e7f) {
        float value;
        const char* end = scan_float_quick((text + std::string(40, ' ')).c_str(), &value);
        ASSERT_TRUE(end != nullptr) << text;
      }
    } else {
      if (rng() % 2) text += '-';
      text += rng() % 3 == 0 ? "0" : digits(1 + rng() % 9);
      if (rng() % 8) text += "." + digits(rng() % 19);
      if (rng() % 3 == 0) text += std::string(1, pick("eE")) + pick("+-x") + digits(rng() % 4);
    }
    if (rng() % 3 == 0) {
      const size_t at = rng() % (text.size() + 1);
      const char c = pick("0123456789.-+eE,] n");
      switch (rng() % 3) {
        case 0:
          text.insert(at, 1, c);
          break;
        case 1:
          if (at < text.size()) text[at] = c;
          break;
        default:
          if (at < text.size()) text.erase(at, 1);
      }
    }
    const std::string padded = text + pick(",] x.e5") + std::string(40, '#');
    float value;
    const char* end = scan_float_quick(padded.c_str(), &value);
    if (end == nullptr) continue;
    ++accepted;
    const std::string_view read(padded.c_str(), static_cast<size_t>(end - padded.c_str()));
    ASSERT_TRUE(std::regex_match(read.begin(), read.end(), json_number)) << padded;
    const float expected = decimal_number_to_float(parse_decimal_number(read));
    ASSERT_EQ(std::bit_cast<uint32_t>(value), std::bit_cast<uint32_t>(expected)) << read;
  }
  EXPECT_GT(accepted, 100000u);
}

// Lists of number texts (the writer's for values of embedding magnitudes
// and for random bit patterns), some elements damaged or left empty,
// closed by ']' and read in steps from the start as the JSON reader does,
// with the readable end at random places: every number read is a
// well-formed element read to the same float as the general reading, the
// reading resumes exactly at the next element, and a clean list of
// ordinary values is read whole.
TEST(FloatTextTest, QuickListScanAgreesWithGeneralReading) {
  const std::regex json_number(R"(-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?)");
  std::mt19937 rng(13);
  std::normal_distribution<float> normal(0.0f, 0.05f);
  auto pick = [&](std::string_view from) { return from[rng() % from.size()]; };
  size_t read = 0;
  for (int trial = 0; trial < 20000; ++trial) {
    const bool clean = trial % 4 == 0;
    std::vector<std::string> elements(1 + rng() % 70);
    bool ordinary = true;  // all of magnitudes the quick reading takes
    for (std::string& text : elements) {
      const unsigned kind = rng() % 10;
      float f = normal(rng);
      if (kind == 0) f = std::bit_cast<float>(static_cast<uint32_t>(rng()));
      if (kind == 1) f *= 1000.0f;
      if (kind == 2) f = rng() % 2 ? 0.0f : -0.0f;
      text = FloatText(f);
      ordinary &= f == 0 || (std::fabs(f) >= 1e-6f && std::fabs(f) < 1e7f);
      ordinary &= f == 0 || (std::fabs(f) >= 1e-6f && std::fabs(f) < 1e7f);
      if (!clean && rng() % 12 == 0) {
        const size_t at = rng() % (text.size() + 1);
        const char c = pick(std::string_view("0123456789.-+eE nD\xff\0", 20));
        switch (rng() % 3) {
          case 0:
            text.insert(at, 1, c);
            break;
          case 1:
            if (at < text.size()) text.erase(at, 1);
            break;
          default:
            text.clear();  // ",," or ",]"
        }
      }
    }
    std::string list;
    std::vector<size_t> starts;
    for (const std::string& text : elements) {
      starts.push_back(list.size());
      list += text + ",";
    }
    list.back() = ']';
    const size_t readable = list.size();
    list += std::string(64, '#');
    const size_t limit = clean ? readable + kQuickNumberRoom : rng() % (readable + 1);
    const char* p = list.data();
    size_t element = 0;
    bool closed = false;
    for (;;) {
      float values[kQuickListGroup];
      const char* end;
      const size_t n = scan_float_list_quick(p, list.data() + limit, values, &end, &closed);
      for (size_t i = 0; i < n; ++i, ++element) {
        ASSERT_LT(element, elements.size());
        ASSERT_EQ(p, list.data() + starts[element]);
        const std::string& text = elements[element];
        ASSERT_TRUE(std::regex_match(text, json_number)) << text;
        const float expected = decimal_number_to_float(parse_decimal_number(text));
        ASSERT_EQ(std::bit_cast<uint32_t>(values[i]), std::bit_cast<uint32_t>(expected)) << text;
        p += text.size() + (i + 1 < n || !closed ? 1 : 0);
      }
      ASSERT_EQ(end, p);
      read += n;
      if (closed || n < kQuickListGroup) break;
    }
    if (closed) {
      ASSERT_EQ(element, elements.size());
      ASSERT_EQ(*p, ']');
    }
    if (clean && ordinary) {
      ASSERT_TRUE(closed) << list.substr(0, readable);
    }
  }
  EXPECT_GT(read, 100000u);
}

}  // namespace
}  // namespace vesk
