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

#include <cstddef>
#include <cstdint>
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

}  // namespace vesk

#endif  // VESK_CORE_PERSIST_FLOAT_TEXT_H_
