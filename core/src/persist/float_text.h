// Float32 values as decimal text in the persisted JSON document.
//
// Writing: the shortest decimal that reads back as the same float32, written
// straight into the caller's buffer without allocating, and an upper bound of
// that text computed without formatting anything. Reading: the text of a JSON
// number classified the way a strict deserializer sees it (unsigned integer,
// negative integer, double, or out of range) and rounded to a float32.
//
// Thread safety: every function here is pure (the tables it reads are built
// once, thread-safely); distinct calls may run concurrently. Ownership:
// writers store into the caller's buffer and keep nothing; inputs are only
// read.
#ifndef VESK_CORE_PERSIST_FLOAT_TEXT_H_
#define VESK_CORE_PERSIST_FLOAT_TEXT_H_

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace vesk {

// ---- Writing ----

// The longest text of one float: "-0.00000123456789".
inline constexpr size_t kMaxFloatText = 17;

// Digits are stored in fixed-size blocks: a write starting at p may store
// bytes anywhere in [p, p + kFloatTextRoom), of which only the returned range
// is meaningful.
inline constexpr size_t kFloatTextRoom = 40;

// Writes `value` at p and returns the end of its text. A finite value is
// written as the shortest decimal that reads back as the same float32: plain
// with at least one fractional digit ("0.001234", "15000000.0", "-0.0") for
// magnitudes in [1e-6, 1e13) and zero, otherwise in exponent form ("1e-7",
// "1.234e-7", "3.4028235e38"). A
// non-finite value is written as "null". Cannot fail; needs kFloatTextRoom
// bytes of room at p.
char* write_float_text(char* p, float value);

// Writes `values` at p, each as write_float_text does, separated by commas;
// returns the end of the text. Needs
// values.size() * (kMaxFloatText + 1) + kFloatTextRoom bytes of room at p.
char* write_float_list_text(char* p, std::span<const float> values);

// An upper bound of the text of `values` written one after another with one
// separator byte after each, from one table look-up per value.
size_t float_list_text_bound(std::span<const float> values);

// ---- Reading ----

// A JSON number as a strict deserializer sees it: an unsigned integer, a
// negative integer, or (for anything else, "-0" and integers too large for
// 64 bits) a double; kOutOfRange when the double would be infinite.
struct DecimalNumber {
  enum class Kind { kUnsigned, kSigned, kFloat, kOutOfRange };
  Kind kind = Kind::kUnsigned;
  uint64_t u = 0;  // for kUnsigned
  int64_t i = 0;   // for kSigned
  double d = 0;    // for kFloat
};

// Classifies `text`. Values too small for a double read as a zero of the same
// sign. REQUIRES: `text` is a well-formed JSON number.
DecimalNumber parse_decimal_number(std::string_view text);

// The number as the nearest float32: integers directly, others through the
// double they read as (so a double halfway between two floats rounds as the
// double does).
inline float decimal_number_to_float(const DecimalNumber& num) {
  switch (num.kind) {
    case DecimalNumber::Kind::kUnsigned:
      return static_cast<float>(num.u);
    case DecimalNumber::Kind::kSigned:
      return static_cast<float>(num.i);
    default:
      return static_cast<float>(num.d);
  }
}

inline constexpr double kExactPow10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                           1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                           1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The quick conversion of mantissa * 10^exp10 (mantissa holding every
// nonzero digit of the text): when mantissa <= 2^53 and |exp10| <= 22 both
// operands are exact doubles, so the one rounding of their product or
// quotient gives the correctly rounded double; stores it in *out and returns
// true. Otherwise returns false and leaves *out alone.
[[gnu::always_inline]] inline bool exact_decimal_to_double(uint64_t mantissa, int exp10,
                                                           double* out) {
  if (mantissa > (uint64_t{1} << 53) || exp10 < -22 || exp10 > 22) return false;
  const double d = static_cast<double>(mantissa);
  *out = exp10 < 0 ? d / kExactPow10[-exp10] : d * kExactPow10[exp10];
  return true;
}

// ---- Reading numbers in their common form ----

// Bytes scan_float_quick() may read at p.
inline constexpr size_t kQuickNumberRoom = 32;

namespace float_text_internal {

// A nonzero byte for every byte of `w` that is not an ASCII digit; exact up
// to and including the first such byte (in memory order).
[[gnu::always_inline]] inline uint64_t NonDigitBytes(uint64_t w) {
  const uint64_t high = (w & 0xF0F0F0F0F0F0F0F0ull) ^ 0x3030303030303030ull;
  const uint64_t past_nine =
      ((w + 0x0606060606060606ull) & 0xF0F0F0F0F0F0F0F0ull) ^ 0x3030303030303030ull;
  return high | past_nine;
}

// The number of leading ASCII digits of `w` (0 to 8).
[[gnu::always_inline]] inline int LeadingDigits(uint64_t w) {
  const uint64_t nd = NonDigitBytes(w);
  return nd == 0 ? 8 : std::countr_zero(nd) / 8;
}

// The value of the first k (1 to 8) bytes of `w`, ASCII digits, the first
// in memory the most significant: moved to the top of the word (zeros
// above them read as leading zeros), then combined pairwise.
[[gnu::always_inline]] inline uint64_t DigitsValue(uint64_t w, int k) {
  uint64_t v = w << (8 * (8 - k));
  v = ((v & 0x0F0F0F0F0F0F0F0Full) * 2561) >> 8;
  v = ((v & 0x00FF00FF00FF00FFull) * 6553601) >> 16;
  return ((v & 0x0000FFFF0000FFFFull) * 42949672960001ull) >> 32;
}

[[gnu::always_inline]] inline uint64_t Load8(const char* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

inline constexpr uint64_t kPow10U64[9] = {1,      10,      100,      1000,     10000,
                                          100000, 1000000, 10000000, 100000000};

// The divisor and the multiplier of a power of ten 10^(i - 22).
inline constexpr auto kQuickDivisor = [] {
  std::array<double, 45> t{};
  for (int i = 0; i < 45; ++i) t[i] = i < 22 ? kExactPow10[22 - i] : 1.0;
  return t;
}();
inline constexpr auto kQuickMultiplier = [] {
  std::array<double, 45> t{};
  for (int i = 0; i < 45; ++i) t[i] = i < 22 ? 1.0 : kExactPow10[i - 22];
  return t;
}();

}  // namespace float_text_internal

// A number read by scan_decimal_quick(): its value is
// mantissa / divisor * multiplier, all three exact doubles, one of
// divisor and |multiplier| being 1, so the value is the correctly rounded
// double of the text (the sign applied by the multiplier).
struct QuickDecimal {
  double mantissa;
  double divisor;
  double multiplier;
};

// The float the general reading gives for a number read by
// scan_decimal_quick(): its double, rounded.
[[gnu::always_inline]] inline float quick_decimal_to_float(const QuickDecimal& q) {
  return static_cast<float>(q.mantissa / q.divisor * q.multiplier);
}

// Reads the JSON number at p when it has the common form of written floats:
// an optional '-', an integer part of 1 to 7 digits, a fraction of 1 to 16
// digits, an optional exponent of 1 or 2 digits, at most 15 digits before
// the exponent and a power of ten within 10^+-22. Then stores it in *out,
// so that quick_decimal_to_float() gives the float
// decimal_number_to_float(parse_decimal_number(text)) gives for the text,
// and returns its end: the first byte that cannot continue the number or a
// byte that makes it malformed (a second '.', a third exponent digit...),
// left to the caller to judge. Returns nullptr for anything else, storing
// nothing. Reads up to kQuickNumberRoom bytes at p. The common case takes
// no branch that depends on the digits or the sign.
[[gnu::always_inline]] inline const char* scan_decimal_quick(const char* p, QuickDecimal* out) {
  using namespace float_text_internal;
  const bool negative = (*p == '-');
  p += negative ? 1 : 0;
  uint64_t mant = 0;
  int digits = 1;
  if (p[0] == '0' && p[1] == '.') {
    p += 2;
  } else {
    const uint64_t w = Load8(p);
    digits = LeadingDigits(w);
    if (digits == 0 || digits == 8 || *p == '0') return nullptr;
    mant = DigitsValue(w, digits);
    p += digits;
    if (*p != '.') return nullptr;
    ++p;
  }
  uint64_t w = Load8(p);
  const int k = LeadingDigits(w);
  if (k == 0) return nullptr;
  // The next eight bytes count only after eight digits.
  const uint64_t w2 = Load8(p + 8);
  const int k2 = k == 8 ? LeadingDigits(w2) : 0;
  if (k2 == 8) return nullptr;
  mant = mant * kPow10U64[k] + DigitsValue(w, k);
  mant = mant * kPow10U64[k2] + (DigitsValue(w2 << 8, k2 + 1));
  const int fraction = k + k2;
  p += fraction;
  // Below 10^15 < 2^53, the mantissa is an exact double.
  if (digits + fraction > 15) return nullptr;
  int exp10 = -fraction;
  if ((*p | 0x20) == 'e') [[unlikely]] {
    ++p;
    const bool exp_negative = (*p == '-');
    p += (*p == '-' || *p == '+') ? 1 : 0;
    if (*p < '0' || *p > '9') return nullptr;
    int e = *p++ - '0';
    if (*p >= '0' && *p <= '9') e = e * 10 + (*p++ - '0');
    exp10 += exp_negative ? -e : e;
    if (exp10 < -22 || exp10 > 22) return nullptr;
  }
  out->mantissa = static_cast<double>(static_cast<int64_t>(mant));
  out->divisor = kQuickDivisor[exp10 + 22];
  out->multiplier = std::bit_cast<double>(std::bit_cast<uint64_t>(kQuickMultiplier[exp10 + 22]) |
                                          (static_cast<uint64_t>(negative) << 63));
  return p;
}

// scan_decimal_quick() and quick_decimal_to_float() in one.
[[gnu::always_inline]] inline const char* scan_float_quick(const char* p, float* out) {
  QuickDecimal q;
  const char* const end = scan_decimal_quick(p, &q);
  if (end != nullptr) *out = quick_decimal_to_float(q);
  return end;
}

// ---- Reading lists of numbers in their common form ----

// Numbers scan_float_list_quick() reads at most in one call.
inline constexpr size_t kQuickListGroup = 128;

// Reads the elements of a JSON array from p on while each is a number
// followed by ',' or ']' that scan_decimal_quick() or the quick form
// "-?(0|[1-9][0-9]*)\.[0-9]+" of at most 15 bytes accepts, and starts before
// `limit` (the reading may stop up to kQuickNumberRoom bytes earlier);
// stops after kQuickListGroup of them, after one followed by ']', or
// before the first element it cannot read so. Stores their floats
// (those quick_decimal_to_float() gives) in out[0, count) and returns the
// count; *end is then the start of the next element, or the ']' when
// *closed is set. Reads no byte at or past limit + kQuickNumberRoom.
size_t scan_float_list_quick(const char* p, const char* limit, float* out, const char** end,
                             bool* closed);

}  // namespace vesk

#endif  // VESK_CORE_PERSIST_FLOAT_TEXT_H_
