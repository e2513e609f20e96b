#include "persist/float_text.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <system_error>

namespace vesk {

namespace {

// ---- Upper bounds of the text ----

// Upper bound of the layout of a float with at most 9 significant digits
// whose decimal point sits at position kk (see WriteFloat), sign excluded.
size_t LayoutBound(int kk) {
  if (kk > 0 && kk <= 13) return std::max<size_t>(kk + 2, 10);
  if (kk > -6 && kk <= 0) return 2 + static_cast<size_t>(-kk) + 9;
  const int exp = kk - 1;
  const size_t exp_digits = (std::abs(exp) >= 10 ? 2 : 1) + (exp < 0 ? 1 : 0);
  return 1 + 1 + 8 + 1 + exp_digits;
}

// For each biased float32 exponent, an upper bound of the text of a float
// with that exponent, sign excluded ("null" for the non-finite ones).
const std::array<uint8_t, 256>& FloatTextBounds() {
  static const std::array<uint8_t, 256> table = [] {
    std::array<uint8_t, 256> t{};
    for (int b = 0; b < 256; ++b) {
      if (b == 255) {
        t[b] = 4;
        continue;
      }
      // Normal values lie in [2^e2, 2^(e2+1)); subnormals and zero below
      // 2^-126. One position of slack on each side absorbs rounding.
      const int e2 = (b == 0) ? -150 : b - 127;
      const int e2_hi = (b == 0) ? -126 : e2 + 1;
      const int kk_lo = static_cast<int>(std::floor(e2 * std::log10(2.0))) + 1 - 1;
      const int kk_hi = static_cast<int>(std::floor(e2_hi * std::log10(2.0))) + 1 + 1;
      size_t bound = 3;  // "0.0"
      for (int kk = kk_lo; kk <= kk_hi; ++kk) bound = std::max(bound, LayoutBound(kk));
      t[b] = static_cast<uint8_t>(bound);
    }
    return t;
  }();
  return table;
}

// ---- Shortest float32 digits (the Ryu algorithm at 32-bit precision) ----

constexpr int kPow5InvBitCount = 59;
constexpr int kPow5BitCount = 61;

// ceil(log2(5^e)) for e in [1, 3528]; 1 for e = 0.
constexpr int Pow5Bits(int e) {
  return static_cast<int>((static_cast<uint32_t>(e) * 1217359) >> 19) + 1;
}
// floor(log10(2^e)) and floor(log10(5^e)) for small non-negative e.
inline int Log10Pow2(int e) { return static_cast<int>((static_cast<uint32_t>(e) * 78913) >> 18); }
inline int Log10Pow5(int e) { return static_cast<int>((static_cast<uint32_t>(e) * 732923) >> 20); }

struct Pow5Tables {
  uint64_t inv_split[31];  // floor(2^(Pow5Bits(i) - 1 + 59) / 5^i) + 1
  uint64_t split[47];      // 5^i scaled to exactly 61 significant bits
};

constexpr Pow5Tables MakePow5Tables() {
  Pow5Tables t{};
  unsigned __int128 pow5 = 1;
  for (int i = 0; i < 47; ++i) {
    const int bits = Pow5Bits(i);
    if (i < 31) {
      const int shift = bits - 1 + kPow5InvBitCount;
      // 2^128 / 5^i where the shift would overflow; 5^i never divides it.
      const unsigned __int128 num = shift >= 128 ? ~static_cast<unsigned __int128>(0)
                                                 : static_cast<unsigned __int128>(1) << shift;
      t.inv_split[i] = static_cast<uint64_t>(num / pow5) + 1;
    }
    const int shift = bits - kPow5BitCount;
    t.split[i] = static_cast<uint64_t>(shift >= 0 ? pow5 >> shift : pow5 << -shift);
    pow5 *= 5;
  }
  return t;
}

constexpr Pow5Tables kPow5 = MakePow5Tables();
static_assert(kPow5.inv_split[0] == 576460752303423489u);  // 2^59 + 1
static_assert(kPow5.split[1] == 1441151880758558720u);     // 5 * 2^58

[[gnu::always_inline]] inline uint32_t MulShift(uint32_t m, uint64_t factor, int shift) {
  return static_cast<uint32_t>((static_cast<unsigned __int128>(m) * factor) >> shift);
}

inline int Pow5Factor(uint32_t value) {
  int count = 0;
  while (value % 5 == 0) {
    value /= 5;
    ++count;
  }
  return count;
}

inline bool MultipleOfPow5(uint32_t value, int p) { return Pow5Factor(value) >= p; }
inline bool MultipleOfPow2(uint32_t value, int p) { return (value & ((1u << p) - 1)) == 0; }

// The shortest decimal digits of a finite, nonzero-or-zero float32 `bits`
// (sign ignored): value = *digits * 10^*exp10, with *digits < 10^9 and
// without trailing zeros (0 gives 0 and 0).
[[gnu::always_inline]] inline void ShortestDigits(uint32_t bits, uint32_t* digits, int* exp10) {
  const uint32_t ieee_mantissa = bits & ((1u << 23) - 1);
  const uint32_t ieee_exponent = (bits >> 23) & 0xff;
  if (ieee_exponent == 0 && ieee_mantissa == 0) {
    *digits = 0;
    *exp10 = 0;
    return;
  }
  int e2;
  uint32_t m2;
  if (ieee_exponent == 0) {
    e2 = 1 - 127 - 23 - 2;
    m2 = ieee_mantissa;
  } else {
    e2 = static_cast<int>(ieee_exponent) - 127 - 23 - 2;
    m2 = (1u << 23) | ieee_mantissa;
  }
  const bool even = (m2 & 1) == 0;
  const bool accept_bounds = even;

  // The value and its rounding interval, times 4.
  const uint32_t mv = 4 * m2;
  const uint32_t mp = 4 * m2 + 2;
  const uint32_t mm_shift = (ieee_mantissa != 0 || ieee_exponent <= 1) ? 1 : 0;
  const uint32_t mm = 4 * m2 - 1 - mm_shift;

  const Pow5Tables& pow5 = kPow5;
  uint32_t vr, vp, vm;
  int e10;
  bool vm_trailing_zeros = false;
  bool vr_trailing_zeros = false;
  uint8_t last_removed = 0;
  if (e2 >= 0) {
    const int q = Log10Pow2(e2);
    e10 = q;
    const int k = kPow5InvBitCount + Pow5Bits(q) - 1;
    const int i = -e2 + q + k;
    vr = MulShift(mv, pow5.inv_split[q], i);
    vp = MulShift(mp, pow5.inv_split[q], i);
    vm = MulShift(mm, pow5.inv_split[q], i);
    if (q != 0 && (vp - 1) / 10 <= vm / 10) {
      const int l = kPow5InvBitCount + Pow5Bits(q - 1) - 1;
      last_removed =
          static_cast<uint8_t>(MulShift(mv, pow5.inv_split[q - 1], -e2 + q - 1 + l) % 10);
    }
    if (q <= 9) {
      if (mv % 5 == 0) {
        vr_trailing_zeros = MultipleOfPow5(mv, q);
      } else if (accept_bounds) {
        vm_trailing_zeros = MultipleOfPow5(mm, q);
      } else {
        vp -= MultipleOfPow5(mp, q) ? 1 : 0;
      }
    }
  } else {
    const int q = Log10Pow5(-e2);
    e10 = q + e2;
    const int i = -e2 - q;
    const int k = Pow5Bits(i) - kPow5BitCount;
    int j = q - k;
    vr = MulShift(mv, pow5.split[i], j);
    vp = MulShift(mp, pow5.split[i], j);
    vm = MulShift(mm, pow5.split[i], j);
    if (q != 0 && (vp - 1) / 10 <= vm / 10) {
      j = q - 1 - (Pow5Bits(i + 1) - kPow5BitCount);
      last_removed = static_cast<uint8_t>(MulShift(mv, pow5.split[i + 1], j) % 10);
    }
    if (q <= 1) {
      vr_trailing_zeros = true;
      if (accept_bounds) {
        vm_trailing_zeros = mm_shift == 1;
      } else {
        --vp;
      }
    } else if (q < 31) {
      vr_trailing_zeros = MultipleOfPow2(mv, q - 1);
    }
  }

  // Drop digits while the interval still holds a shorter number.
  int removed = 0;
  uint32_t output;
  if (vm_trailing_zeros || vr_trailing_zeros) {
    while (vp / 10 > vm / 10) {
      vm_trailing_zeros &= vm % 10 == 0;
      vr_trailing_zeros &= last_removed == 0;
      last_removed = static_cast<uint8_t>(vr % 10);
      vr /= 10;
      vp /= 10;
      vm /= 10;
      ++removed;
    }
    if (vm_trailing_zeros) {
      while (vm % 10 == 0) {
        vr_trailing_zeros &= last_removed == 0;
        last_removed = static_cast<uint8_t>(vr % 10);
        vr /= 10;
        vp /= 10;
        vm /= 10;
        ++removed;
      }
    }
    if (vr_trailing_zeros && last_removed == 5 && vr % 2 == 0) last_removed = 4;  // ties to even
    output =
        vr + (((vr == vm && (!accept_bounds || !vm_trailing_zeros)) || last_removed >= 5) ? 1 : 0);
  } else {
    while (vp / 10 > vm / 10) {
      last_removed = static_cast<uint8_t>(vr % 10);
      vr /= 10;
      vp /= 10;
      vm /= 10;
      ++removed;
    }
    output = vr + ((vr == vm || last_removed >= 5) ? 1 : 0);
  }
  int exp = e10 + removed;
  // The interval may allow trailing zeros that the search kept.
  while (output != 0 && output % 10 == 0) {
    output /= 10;
    ++exp;
  }
  *digits = output;
  *exp10 = exp;
}

inline int DecimalLength(uint32_t v) {  // v < 10^9
  return 1 + (v >= 10) + (v >= 100) + (v >= 1000) + (v >= 10000) + (v >= 100000) + (v >= 1000000) +
         (v >= 10000000) + (v >= 100000000);
}

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The eight decimal digits of v < 10^8 as ASCII, most significant first in
// memory (little-endian), computed in one register: two 4-digit lanes, then
// four 2-digit lanes, then eight 1-digit lanes.
[[gnu::always_inline]] inline uint64_t EightDigits(uint32_t v) {
  const uint64_t hi = v / 10000;
  const uint64_t lo = v - hi * 10000;
  const uint64_t quads = hi | (lo << 32);
  const uint64_t hundreds = ((quads * 10486) >> 20) & 0x0000007F0000007Full;
  const uint64_t pairs = hundreds | ((quads - hundreds * 100) << 16);
  const uint64_t tens = ((pairs * 103) >> 10) & 0x000F000F000F000Full;
  const uint64_t digits = tens | ((pairs - tens * 10) << 8);
  return digits | 0x3030303030303030ull;
}

constexpr uint32_t kPow10U32[10] = {1,      10,      100,      1000,      10000,
                                    100000, 1000000, 10000000, 100000000, 1000000000};

// Writes `value` at p and returns the end. Finite values are written as the
// shortest decimal that reads back as the same float32; non-finite as null.
// Digits are stored in fixed-size blocks, so up to kFloatTextRoom bytes past
// p may be written; only the returned range is meaningful.
[[gnu::always_inline]] inline char* WriteFloat(char* p, float value) {
  const uint32_t bits = std::bit_cast<uint32_t>(value);
  if (((bits >> 23) & 0xff) == 0xff) {
    std::memcpy(p, "null", 4);
    return p + 4;
  }
  *p = '-';
  p += bits >> 31;
  uint32_t digits;
  int exp10;
  ShortestDigits(bits, &digits, &exp10);
  if (digits == 0) {
    std::memcpy(p, "0.0", 3);
    return p + 3;
  }
  const int n = DecimalLength(digits);
  const int kk = exp10 + n;  // value = 0.d1..dn * 10^kk
  // The digits left-aligned to nine places: the first, then eight more
  // (past the n-th they are zeros).
  const uint32_t aligned = digits * kPow10U32[9 - n];
  const uint32_t first = aligned / 100000000;
  const char lead = static_cast<char>('0' + first);
  const uint64_t rest = EightDigits(aligned - first * 100000000);

  if (kk > -6 && kk <= 0) {
    std::memcpy(p, "0.000000", 8);
    p += 2 - kk;
    p[0] = lead;
    std::memcpy(p + 1, &rest, 8);
    return p + n;
  }
  if (kk >= n && kk <= 13) {
    p[0] = lead;
    std::memcpy(p + 1, &rest, 8);
    std::memcpy(p + 9, "00000", 5);
    p += kk;
    std::memcpy(p, ".0", 2);
    return p + 2;
  }
  if (kk > 0 && kk <= 13) {
    // Digits at p + 1, then the first kk of them moved down one place.
    p[1] = lead;
    std::memcpy(p + 2, &rest, 8);
    for (int i = 0; i < kk; ++i) p[i] = p[i + 1];
    p[kk] = '.';
    return p + n + 1;
  }
  p[0] = lead;
  p[1] = '.';
  std::memcpy(p + 2, &rest, 8);
  p += n > 1 ? n + 1 : 1;
  *p++ = 'e';
  int e = kk - 1;
  if (e < 0) {
    *p++ = '-';
    e = -e;
  }
  if (e >= 10) {
    std::memcpy(p, kDigitPairs + 2 * e, 2);
    return p + 2;
  }
  *p = static_cast<char>('0' + e);
  return p + 1;
}

// ---- Reading ----

// True if a number whose double conversion was out of range is too large
// (rather than too small). `p` points past the sign; the text is a valid
// JSON number.
bool DecimalOverflows(const char* p, const char* end) {
  long long order = 0;  // decimal position of the first nonzero digit
  bool nonzero = false;
  bool fraction = false;
  for (; p < end && *p != 'e' && *p != 'E'; ++p) {
    if (*p == '.') {
      fraction = true;
      continue;
    }
    if (!nonzero) {
      if (*p != '0') {
        nonzero = true;
        if (!fraction) ++order;
      } else if (fraction) {
        --order;
      }
    } else if (!fraction) {
      ++order;
    }
  }
  if (!nonzero) return false;
  long long exp = 0;
  bool exp_negative = false;
  if (p < end) {
    ++p;
    if (*p == '+' || *p == '-') exp_negative = (*p++ == '-');
    for (; p < end; ++p) exp = std::min<long long>(exp * 10 + (*p - '0'), 1'000'000'000);
  }
  return order + (exp_negative ? -exp : exp) > 0;
}

}  // namespace

char* write_float_text(char* p, float value) { return WriteFloat(p, value); }

char* write_float_list_text(char* p, std::span<const float> values) {
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) *p++ = ',';
    p = WriteFloat(p, values[i]);
  }
  return p;
}

size_t float_list_text_bound(std::span<const float> values) {
  const std::array<uint8_t, 256>& bounds = FloatTextBounds();
  size_t size = 0;
  for (float value : values) {
    const uint32_t bits = std::bit_cast<uint32_t>(value);
    size += bounds[(bits >> 23) & 0xff] + (bits >> 31) + 1;
  }
  return size;
}

DecimalNumber parse_decimal_number(std::string_view text) {
  const char* const s = text.data();
  const char* const end = s + text.size();
  const bool negative = (*s == '-');
  const char* p = s + (negative ? 1 : 0);
  DecimalNumber num;

  // Integer syntax: digits only.
  uint64_t v = 0;
  bool overflow = false;
  const char* q = p;
  for (; q < end && *q >= '0' && *q <= '9'; ++q) {
    const unsigned digit = static_cast<unsigned>(*q - '0');
    if (v > (std::numeric_limits<uint64_t>::max() - digit) / 10) overflow = true;
    v = v * 10 + digit;
  }
  if (q == end && !overflow) {
    if (!negative) {
      num.kind = DecimalNumber::Kind::kUnsigned;
      num.u = v;
    } else if (v == 0) {
      num.kind = DecimalNumber::Kind::kFloat;
      num.d = -0.0;
    } else if (v <= (uint64_t{1} << 63)) {
      num.kind = DecimalNumber::Kind::kSigned;
      num.i = static_cast<int64_t>(~v + 1);
    } else {
      num.kind = DecimalNumber::Kind::kFloat;
      num.d = -static_cast<double>(v);
    }
    return num;
  }

  double d = 0;
  const std::from_chars_result r = std::from_chars(s, end, d);
  if (r.ec == std::errc::result_out_of_range) {
    if (DecimalOverflows(p, end)) {
      num.kind = DecimalNumber::Kind::kOutOfRange;
      return num;
    }
    d = negative ? -0.0 : 0.0;
  } else if (std::isinf(d)) {
    num.kind = DecimalNumber::Kind::kOutOfRange;
    return num;
  }
  num.kind = DecimalNumber::Kind::kFloat;
  num.d = d;
  return num;
}

}  // namespace vesk
