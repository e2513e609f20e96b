#include "persist/float_text.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <system_error>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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
      // The values lie in [lo, hi): [2^e, 2^(e+1)) for normals, up to
      // 2^-126 for subnormals. Their shortest decimals lie in the rounding
      // intervals, which reach at most a relative 2^-24 below lo and up to
      // hi; kk = floor(log10(decimal)) + 1 takes the values between those
      // of the two ends. (No end is within 1e-9 of a power of ten except
      // 2^0, which the 2^-24 margin covers, so the logarithms decide.)
      const double lo = (b == 0) ? std::ldexp(1.0, -149) : std::ldexp(1.0, b - 127);
      const double hi = (b == 0) ? std::ldexp(1.0, -126) : std::ldexp(1.0, b - 126);
      const int kk_lo = static_cast<int>(std::floor(std::log10(lo * (1 - 0x1p-24)))) + 1;
      const int kk_hi = static_cast<int>(std::floor(std::log10(hi))) + 1;
      size_t bound = 3;  // "0.0"
      for (int kk = kk_lo; kk <= kk_hi; ++kk) bound = std::max(bound, LayoutBound(kk));
      t[b] = static_cast<uint8_t>(bound);
    }
    return t;
  }();
  return table;
}

// ---- Shortest float32 digits ----
//
// The result is the shortest decimal inside the float's rounding interval
// (whose ends belong to it when the binary significand is even); among
// several of that length, the one closest to the value, ties going to an
// even last digit. This is the digit string Ryu produces at 32-bit
// precision, found here with one 32 x 64-bit multiplication by a cached
// power of ten in the common case (the Dragonbox method): the value is
// scaled so that its interval is between 10 and 100 units wide, and the
// digits are read off one division by 100 (a candidate with one digit
// fewer) or by 10.

constexpr int kMinCachedPow10 = -31;
constexpr int kMaxCachedPow10 = 46;

// 10^k for k in [kMinCachedPow10, kMaxCachedPow10], scaled by a power of two
// to exactly 64 significant bits and rounded up.
constexpr uint64_t kPow10Cache[kMaxCachedPow10 - kMinCachedPow10 + 1] = {
    0x81ceb32c4b43fcf5, 0xa2425ff75e14fc32, 0xcad2f7f5359a3b3f, 0xfd87b5f28300ca0e,
    0x9e74d1b791e07e49, 0xc612062576589ddb, 0xf79687aed3eec552, 0x9abe14cd44753b53,
    0xc16d9a0095928a28, 0xf1c90080baf72cb2, 0x971da05074da7bef, 0xbce5086492111aeb,
    0xec1e4a7db69561a6, 0x9392ee8e921d5d08, 0xb877aa3236a4b44a, 0xe69594bec44de15c,
    0x901d7cf73ab0acda, 0xb424dc35095cd810, 0xe12e13424bb40e14, 0x8cbccc096f5088cc,
    0xafebff0bcb24aaff, 0xdbe6fecebdedd5bf, 0x89705f4136b4a598, 0xabcc77118461cefd,
    0xd6bf94d5e57a42bd, 0x8637bd05af6c69b6, 0xa7c5ac471b478424, 0xd1b71758e219652c,
    0x83126e978d4fdf3c, 0xa3d70a3d70a3d70b, 0xcccccccccccccccd, 0x8000000000000000,
    0xa000000000000000, 0xc800000000000000, 0xfa00000000000000, 0x9c40000000000000,
    0xc350000000000000, 0xf424000000000000, 0x9896800000000000, 0xbebc200000000000,
    0xee6b280000000000, 0x9502f90000000000, 0xba43b74000000000, 0xe8d4a51000000000,
    0x9184e72a00000000, 0xb5e620f480000000, 0xe35fa931a0000000, 0x8e1bc9bf04000000,
    0xb1a2bc2ec5000000, 0xde0b6b3a76400000, 0x8ac7230489e80000, 0xad78ebc5ac620000,
    0xd8d726b7177a8000, 0x878678326eac9000, 0xa968163f0a57b400, 0xd3c21bcecceda100,
    0x84595161401484a0, 0xa56fa5b99019a5c8, 0xcecb8f27f4200f3a, 0x813f3978f8940985,
    0xa18f07d736b90be6, 0xc9f2c9cd04674edf, 0xfc6f7c4045812297, 0x9dc5ada82b70b59e,
    0xc5371912364ce306, 0xf684df56c3e01bc7, 0x9a130b963a6c115d, 0xc097ce7bc90715b4,
    0xf0bdc21abb48db21, 0x96769950b50d88f5, 0xbc143fa4e250eb32, 0xeb194f8e1ae525fe,
    0x92efd1b8d0cf37bf, 0xb7abc627050305ae, 0xe596b7b0c643c71a, 0x8f7e32ce7bea5c70,
    0xb35dbf821ae4f38c, 0xe0352f62a19e306f,
};
static_assert(kPow10Cache[0 - kMinCachedPow10] == uint64_t{1} << 63);
static_assert(kPow10Cache[1 - kMinCachedPow10] == uint64_t{10} << 60);

// floor(e * log10(2)), floor(k * log2(10)) and floor(e * log10(2) -
// log10(4/3)) for the small exponents of a float32.
constexpr int FloorLog10Pow2(int e) { return (e * 315653) >> 20; }
constexpr int FloorLog2Pow10(int k) { return (k * 1741647) >> 19; }
// The same by 16-bit multipliers, for the exponents of normal floats and
// the powers of ten they use (the eight-float code multiplies 16-bit lanes).
constexpr bool ShortFormsAgree() {
  for (int e = -149; e <= 104; ++e) {
    const int k = 1 - FloorLog10Pow2(e);
    if (((e * 1233) >> 12) != FloorLog10Pow2(e) || ((k * 1701) >> 9) != FloorLog2Pow10(k)) {
      return false;
    }
  }
  return true;
}
static_assert(ShortFormsAgree());
constexpr int FloorLog10Pow2MinusLog10FourThirds(int e) { return (e * 631305 - 261663) >> 21; }
static_assert(FloorLog10Pow2(-149) == -45 && FloorLog10Pow2(104) == 31);
static_assert(FloorLog2Pow10(-31) == -103 && FloorLog2Pow10(46) == 152);

// The cached power 10^k.
[[gnu::always_inline]] constexpr uint64_t CachedPow10(int k) {
  return kPow10Cache[k - kMinCachedPow10];
}

// The cached power a float of each biased exponent uses in the common case
// (ShortestDigits()); those of the other exponents are never used.
constexpr auto kCacheByExponent = [] {
  std::array<uint64_t, 256> t{};
  for (int biased = 1; biased < 255; ++biased) {
    t[biased] = CachedPow10(1 - FloorLog10Pow2(biased - 150));
  }
  return t;
}();

// The upper and the lower 64 bits of the 96-bit product x * y.
[[gnu::always_inline]] inline uint64_t MulUpper64(uint32_t x, uint64_t y) {
  return static_cast<uint64_t>((static_cast<unsigned __int128>(x) * y) >> 32);
}
[[gnu::always_inline]] inline uint64_t MulLower64(uint32_t x, uint64_t y) { return x * y; }

// For x = two_f * 10^k / 2^(63 - beta) (from the lower bits of two_f *
// cache): whether its integer part is odd, and whether it is an integer.
struct ParityResult {
  bool parity;
  bool is_integer;
};
[[gnu::always_inline]] inline ParityResult MulParity(uint32_t two_f, uint64_t cache, int beta) {
  const uint64_t r = MulLower64(two_f, cache);
  return {((r >> (64 - beta)) & 1) != 0, static_cast<uint32_t>(r >> (32 - beta)) == 0};
}

// Divides n by the largest power of ten that divides it, adding its
// exponent to *exp10. REQUIRES: n != 0.
[[gnu::always_inline]] inline uint32_t RemoveTrailingZeros(uint32_t n, int* exp10) {
  // n is a multiple of 100 exactly when n * 25^-1 (mod 2^32), rotated right
  // by two bits, is at most (2^32 - 1) / 100; likewise for 10.
  constexpr uint32_t kInverse5 = 0xcccccccdu;
  constexpr uint32_t kInverse25 = 0xc28f5c29u;
  for (;;) {
    const uint32_t q = std::rotr(n * kInverse25, 2);
    if (q > 0xffffffffu / 100) break;
    n = q;
    *exp10 += 2;
  }
  const uint32_t q = std::rotr(n * kInverse5, 1);
  if (q <= 0xffffffffu / 10) {
    n = q;
    *exp10 += 1;
  }
  return n;
}

// The digits of a power of two 2^23 * 2^e (a float with a zero stored
// significand above the smallest normal exponent), whose interval reaches
// half as far below the value as above it.
[[gnu::noinline]] void ShorterIntervalDigits(int e, uint32_t* digits, int* exp10) {
  const int minus_k = FloorLog10Pow2MinusLog10FourThirds(e);
  const int beta = e + FloorLog2Pow10(-minus_k);
  const uint64_t cache = CachedPow10(-minus_k);
  // The interval's ends, scaled; both belong to it (the significand is
  // even), and the left one is an integer only for e in [2, 3].
  uint32_t xi = static_cast<uint32_t>((cache - (cache >> 25)) >> (64 - 23 - 1 - beta));
  const uint32_t zi = static_cast<uint32_t>((cache + (cache >> 24)) >> (64 - 23 - 1 - beta));
  if (e < 2 || e > 3) ++xi;
  uint32_t sig = zi / 10;
  if (sig * 10 >= xi) {
    *exp10 = minus_k + 1;
    *digits = RemoveTrailingZeros(sig, exp10);
    return;
  }
  // The value itself rounded to an integer at this scale, ties to even
  // (a tie happens only for e = -35).
  sig = (static_cast<uint32_t>(cache >> (64 - 23 - 2 - beta)) + 1) / 2;
  if ((sig % 2 != 0) && e == -35) {
    --sig;
  } else if (sig < xi) {
    ++sig;
  }
  *exp10 = minus_k;
  *digits = RemoveTrailingZeros(sig, exp10);
}

// The shortest decimal digits of a finite float32 `bits` (sign ignored):
// value = *digits * 10^*exp10, with *digits < 10^9 and without trailing
// zeros (0 gives 0 and 0). Handles every input; ShortestDigits() below is
// the quick form of the common case.
[[gnu::noinline]] void ShortestDigitsGeneral(uint32_t bits, uint32_t* digits, int* exp10) {
  const uint32_t stored = bits & ((1u << 23) - 1);
  const uint32_t biased = (bits >> 23) & 0xff;
  int e;  // value = f * 2^e
  uint32_t f;
  if (biased != 0) {
    e = static_cast<int>(biased) - 150;
    if (stored == 0 && biased > 1) [[unlikely]] {
      ShorterIntervalDigits(e, digits, exp10);
      return;
    }
    f = stored | (1u << 23);
  } else {
    if (stored == 0) {
      *digits = 0;
      *exp10 = 0;
      return;
    }
    e = -149;
    f = stored;
  }
  const bool include_ends = (f % 2) == 0;
  const uint32_t two_f = f << 1;

  // Scale by 10^k so that the interval [x, z] of the value, scaled, is
  // deltai in [10, 100) units wide; zi is the integer part of z.
  const int minus_k = FloorLog10Pow2(e) - 1;
  const uint64_t cache = CachedPow10(-minus_k);
  const int beta = e + FloorLog2Pow10(-minus_k);
  const uint32_t deltai = static_cast<uint32_t>(cache >> (63 - beta));
  const uint64_t z = MulUpper64((two_f | 1) << beta, cache);
  const uint32_t zi = static_cast<uint32_t>(z >> 32);
  const bool z_is_integer = static_cast<uint32_t>(z) == 0;

  // One digit fewer: the largest multiple of 100 not above zi, if it lies
  // in the interval (there is at most one).
  uint32_t sig = zi / 100;
  uint32_t r = zi - 100 * sig;
  bool shorter = true;
  if (r < deltai) {
    if (r == 0 && z_is_integer && !include_ends) {
      // zi itself is the excluded right end.
      --sig;
      r = 100;
      shorter = false;
    }
  } else if (r > deltai) {
    shorter = false;
  } else {
    // r == deltai: the candidate sits at the left end; compare fractions.
    const ParityResult x = MulParity(two_f - 1, cache, beta);
    if (!(x.parity || (x.is_integer && include_ends))) shorter = false;
  }
  if (shorter) {
    *exp10 = minus_k + 2;
    *digits = RemoveTrailingZeros(sig, exp10);
    return;
  }

  // Otherwise the value rounded to the nearest unit, ties to even: the
  // candidate is y = z - (deltai / 2 units), found from r without a
  // second multiplication except when it may be a tie.
  sig *= 10;
  uint32_t dist = r - (deltai / 2) + 5;
  const bool approx_y_parity = ((dist ^ 5) & 1) != 0;
  // dist / 10, and whether the division is exact (valid for dist <= 100).
  dist *= 6554;
  const bool divisible = (dist & 0xffff) < 6554;
  dist >>= 16;
  sig += dist;
  if (divisible) {
    const ParityResult y = MulParity(two_f, cache, beta);
    if (y.parity != approx_y_parity) {
      --sig;
    } else if ((sig % 2 != 0) && y.is_integer) {
      --sig;
    }
  }
  *digits = sig;
  *exp10 = minus_k + 1;
}

// The shortest decimal digits of a finite float32 `bits` (sign ignored),
// possibly followed by zeros: value = *digits * 10^*exp10 with *digits <
// 10^9, and *digits with its trailing zeros removed are the digits
// ShortestDigitsGeneral() gives. Zero gives 0.
//
// The common case (a normal float with a nonzero stored significand whose
// candidates lie strictly inside its interval) takes no unpredictable
// branch: both the candidate with one digit fewer and the rounded value are
// computed and one is selected. Everything else goes to
// ShortestDigitsGeneral().
[[gnu::always_inline]] inline void ShortestDigits(uint32_t bits, uint32_t* digits, int* exp10) {
  const uint32_t stored = bits & ((1u << 23) - 1);
  const uint32_t biased = (bits >> 23) & 0xff;
  if (stored == 0 || biased == 0) [[unlikely]] {
    ShortestDigitsGeneral(bits, digits, exp10);
    return;
  }
  const int e = static_cast<int>(biased) - 150;
  const uint32_t f = stored | (1u << 23);
  const uint32_t two_f = f << 1;
  const int minus_k = FloorLog10Pow2(e) - 1;
  const uint64_t cache = CachedPow10(-minus_k);
  const int beta = e + FloorLog2Pow10(-minus_k);
  const uint32_t deltai = static_cast<uint32_t>(cache >> (63 - beta));
  const uint64_t z = MulUpper64((two_f | 1) << beta, cache);
  const uint32_t zi = static_cast<uint32_t>(z >> 32);
  const uint32_t sig = zi / 100;
  const uint32_t r = zi - 100 * sig;
  // A candidate on an end of the interval needs the exact comparisons.
  if (r == deltai || (r == 0 && static_cast<uint32_t>(z) == 0)) [[unlikely]] {
    ShortestDigitsGeneral(bits, digits, exp10);
    return;
  }
  const bool shorter = r < deltai;
  // The rounded value (meaningful only when !shorter), as in
  // ShortestDigitsGeneral().
  uint32_t dist = r - (deltai / 2) + 5;
  const bool approx_y_parity = ((dist ^ 5) & 1) != 0;
  dist *= 6554;
  const bool divisible = (dist & 0xffff) < 6554;
  dist >>= 16;
  uint32_t rounded = sig * 10 + dist;
  if (divisible && !shorter) [[unlikely]] {
    const ParityResult y = MulParity(two_f, cache, beta);
    if (y.parity != approx_y_parity) {
      --rounded;
    } else if ((rounded % 2 != 0) && y.is_integer) {
      --rounded;
    }
  }
  // Selected without a branch: which one applies is close to a coin toss.
  const uint32_t pick_shorter = 0u - static_cast<uint32_t>(shorter);
  *digits = (sig & pick_shorter) | (rounded & ~pick_shorter);
  *exp10 = minus_k + 1 + static_cast<int>(shorter);
}

constexpr uint32_t kPow10U32[10] = {1,      10,      100,      1000,      10000,
                                    100000, 1000000, 10000000, 100000000, 1000000000};

// The number of decimal digits of 0 < v < 10^9: from the bit length (1233 /
// 4096 is just above log10(2)), corrected by one comparison.
[[gnu::always_inline]] inline int DecimalLength(uint32_t v) {
  const int t = ((32 - std::countl_zero(v)) * 1233) >> 12;
  return t + (v >= kPow10U32[t] ? 1 : 0);
}

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The eight decimal digits of v < 10^8 as byte values 0-9, most
// significant first in memory (little-endian), computed in one register:
// two 4-digit lanes, then four 2-digit lanes, then eight 1-digit lanes.
[[gnu::always_inline]] inline uint64_t EightDigitValues(uint32_t v) {
  const uint64_t hi = v / 10000;
  const uint64_t lo = v - hi * 10000;
  const uint64_t quads = hi | (lo << 32);
  const uint64_t hundreds = ((quads * 10486) >> 20) & 0x0000007F0000007Full;
  const uint64_t pairs = hundreds | ((quads - hundreds * 100) << 16);
  const uint64_t tens = ((pairs * 103) >> 10) & 0x000F000F000F000Full;
  return tens | ((pairs - tens * 10) << 8);
}

// A float taken apart for writing: its sign, and either a special text or
// its shortest digits as the first digit and eight more (zeros past the
// n-th) with the position kk of the decimal point relative to the first
// digit (value = 0.d1..dn * 10^kk).
struct FloatParts {
  enum Kind : uint8_t { kDigits, kNull, kZero };
  uint64_t rest;  // ASCII digits d2..d9, d2 first in memory
  int kk;
  int n;
  char lead;  // d1 in ASCII
  Kind kind;
  bool negative;
};

[[gnu::always_inline]] inline FloatParts Decompose(float value) {
  FloatParts parts;
  const uint32_t bits = std::bit_cast<uint32_t>(value);
  parts.negative = (bits >> 31) != 0;
  if (((bits >> 23) & 0xff) == 0xff) [[unlikely]] {
    parts.kind = FloatParts::kNull;
    parts.negative = false;
    return parts;
  }
  if ((bits & 0x7fffffffu) == 0) [[unlikely]] {
    parts.kind = FloatParts::kZero;
    return parts;
  }
  parts.kind = FloatParts::kDigits;
  uint32_t digits;
  int exp10;
  ShortestDigits(bits, &digits, &exp10);
  const int len = DecimalLength(digits);  // trailing zeros included
  parts.kk = exp10 + len;
  // The digits left-aligned to nine places; n counts up to the last
  // nonzero one.
  const uint32_t aligned = digits * kPow10U32[9 - len];
  const uint32_t first = aligned / 100000000;
  parts.lead = static_cast<char>('0' + first);
  const uint64_t rest_values = EightDigitValues(aligned - first * 100000000);
  parts.n = 9 - std::countl_zero(rest_values) / 8;
  parts.rest = rest_values | 0x3030303030303030ull;
  return parts;
}

#if defined(__x86_64__)

// ---- Eight floats at once (AVX2) ----
//
// The common case of Decompose() for eight floats in the lanes of vectors:
// the same integer operations on 32-bit lanes (products wider than 32 bits
// from the even and odd lanes separately), so the parts are the same as the
// scalar ones. Lanes outside the common case are reported for Decompose().

// The vector constants of a routine, each eight 32-bit lanes of one value
// (a pair of 16-bit lanes of v is the value TwoLanes16(v)), read from memory
// where used through a pointer the compiler cannot follow. Written with
// _mm256_set1_epi32(), GCC builds each in the loop from a general register
// (a move and a broadcast, two instructions for the vector units) once the
// sixteen vector registers are taken, and turns a multiplication by some
// constants into a chain of shifts and additions (which compete for the
// one shift unit some processors have); read from memory, each is an
// operand of the one instruction using it.
template <int32_t... kValues>
class Splats {
 public:
  [[gnu::always_inline]] Splats() : lanes_(kLanes[0]) { asm("" : "+r"(lanes_)); }

  template <int32_t kValue>
  [[gnu::target("avx2"), gnu::always_inline]] __m256i Get() const {
    constexpr size_t kIndex = IndexOf(kValue);
    static_assert(kIndex < sizeof...(kValues), "a value not in the list");
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes_ + 8 * kIndex));
  }

 private:
  static constexpr size_t IndexOf(int32_t value) {
    size_t i = 0;
    for (const int32_t v : {kValues...}) {
      if (v == value) return i;
      ++i;
    }
    return i;
  }

  alignas(32) static constexpr int32_t kLanes[sizeof...(kValues)][8] = {
      {kValues, kValues, kValues, kValues, kValues, kValues, kValues, kValues}...};
  const int32_t* lanes_;
};

constexpr int32_t TwoLanes16(int16_t v) { return static_cast<int32_t>(v) * 0x10001; }

// The upper 32 bits of the 64-bit products a * b, lane by lane, for b with
// the same value in every lane.
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i MulHigh32(__m256i a, __m256i b) {
  const __m256i even = _mm256_srli_epi64(_mm256_mul_epu32(a, b), 32);
  const __m256i odd = _mm256_mul_epu32(_mm256_srli_epi64(a, 32), b);
  return _mm256_blend_epi32(even, odd, 0xAA);
}

// 64-bit values of the even lanes and of the odd lanes (products of 32-bit
// lanes, the cached powers), each in a 64-bit lane.
struct WideProducts {
  __m256i even;
  __m256i odd;
};
// Their upper and lower 32-bit halves, back in their lanes.
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i HighHalves(WideProducts p) {
  return _mm256_blend_epi32(_mm256_srli_epi64(p.even, 32), p.odd, 0xAA);
}
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i LowHalves(WideProducts p) {
  return _mm256_blend_epi32(p.even, _mm256_slli_epi64(p.odd, 32), 0xAA);
}

// The lower 64 bits of the products f * cache of eight lanes, as their
// lower and upper 32-bit halves (cache_hi holding the upper halves of the
// powers in the lanes).
struct EightLower64 {
  __m256i lo;
  __m256i hi;
};
[[gnu::target("avx2"), gnu::always_inline]] inline EightLower64 MulLower64Eight(
    __m256i f, const WideProducts& cache, __m256i cache_hi) {
  const WideProducts lower = {_mm256_mul_epu32(f, cache.even),
                              _mm256_mul_epu32(_mm256_srli_epi64(f, 32), cache.odd)};
  return {LowHalves(lower), _mm256_add_epi32(HighHalves(lower), _mm256_mullo_epi32(f, cache_hi))};
}

// MulParity() of eight lanes, from the lower 64 bits m of f * cache: for
// x = f * 10^k / 2^(63 - beta), whether its integer part is odd (1 or 0)
// and whether it is an integer (a mask).
struct EightParities {
  __m256i parity;
  __m256i is_integer;
};
[[gnu::target("avx2"), gnu::always_inline]] inline EightParities MulParityEight(EightLower64 m,
                                                                                __m256i beta,
                                                                                __m256i one) {
  const __m256i shift = _mm256_sub_epi32(_mm256_slli_epi32(one, 5), beta);  // 32 - beta
  return {_mm256_and_si256(_mm256_srlv_epi32(m.hi, shift), one),
          _mm256_cmpeq_epi32(
              _mm256_or_si256(_mm256_srlv_epi32(m.lo, shift), _mm256_sllv_epi32(m.hi, beta)),
              _mm256_setzero_si256())};
}

// The shortest digits of eight floats, lane by lane, as ShortestDigits()
// gives them (value = digits * 10^exp10, trailing zeros possible); the
// lanes of `general` are those left to Decompose() (zero, subnormals,
// powers of two, non-finite values, a candidate on the right end of the
// interval), whose other lanes are meaningless. A candidate on the left end
// (about one float in a hundred, so handing those on sent one block of
// eight in thirteen to the scalar path) is judged here as
// ShortestDigitsGeneral() does.
struct EightDigits {
  __m256i digits;
  __m256i exp10;
  __m256i general;
};

[[gnu::target("avx2"), gnu::always_inline]] inline EightDigits ShortestDigitsEightAvx2(
    const float* values) {
  const Splats<1, (1 << 23) - 1, (1 << 23), 0xff, 150, 1233, 1701, 31, 0x51EB851F, 100, 5, 6554, 10,
               -1>
      c;
  const __m256i one = c.Get<1>();
  const __m256i zero = _mm256_setzero_si256();
  const __m256i bits = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(values));
  const __m256i stored = _mm256_and_si256(bits, c.Get<(1 << 23) - 1>());
  const __m256i biased = _mm256_and_si256(_mm256_srli_epi32(bits, 23), c.Get<0xff>());
  __m256i general = _mm256_or_si256(
      _mm256_or_si256(_mm256_cmpeq_epi32(stored, zero), _mm256_cmpeq_epi32(biased, zero)),
      _mm256_cmpeq_epi32(biased, c.Get<0xff>()));

  const __m256i e = _mm256_sub_epi32(biased, c.Get<150>());
  const __m256i two_f = _mm256_slli_epi32(_mm256_or_si256(stored, c.Get<(1 << 23)>()), 1);
  // minus_k = FloorLog10Pow2(e) - 1; k = -minus_k; both from products of
  // 16-bit lanes (ShortFormsAgree()).
  const __m256i minus_k =
      _mm256_sub_epi32(_mm256_srai_epi32(_mm256_madd_epi16(e, c.Get<1233>()), 12), one);
  const __m256i k = _mm256_sub_epi32(zero, minus_k);
  // The cached powers, loaded one by one by the float's exponent with
  // scalar instructions (quicker than gathering, and off the vector
  // units): those of the even lanes and of the odd lanes as 64-bit lanes,
  // then split into their upper and lower halves.
  const auto cached = [&](int lane) {
    uint32_t lane_bits;
    std::memcpy(&lane_bits, values + lane, 4);
    return static_cast<long long>(kCacheByExponent[(lane_bits >> 23) & 0xff]);
  };
  const WideProducts cache = {_mm256_set_epi64x(cached(6), cached(4), cached(2), cached(0)),
                              _mm256_set_epi64x(cached(7), cached(5), cached(3), cached(1))};
  // The upper halves: of the even lanes' powers in their low halves (where
  // _mm256_mul_epu32() reads), and of all eight in their lanes.
  const __m256i cache_even_hi = _mm256_srli_epi64(cache.even, 32);
  const __m256i cache_odd_hi = _mm256_srli_epi64(cache.odd, 32);
  const __m256i cache_hi = _mm256_blend_epi32(cache_even_hi, cache.odd, 0xAA);
  const __m256i beta =
      _mm256_add_epi32(e, _mm256_srai_epi32(_mm256_madd_epi16(k, c.Get<1701>()), 9));
  // beta is 3 to 6 for every common-case float: cache >> (63 - beta) is
  // cache_hi >> (31 - beta).
  const __m256i deltai = _mm256_srlv_epi32(cache_hi, _mm256_sub_epi32(c.Get<31>(), beta));

  // z = x * cache >> 32 with x = (two_f | 1) << beta.
  const __m256i x = _mm256_sllv_epi32(_mm256_or_si256(two_f, one), beta);
  const __m256i x_odd = _mm256_srli_epi64(x, 32);
  const WideProducts x_hi = {_mm256_mul_epu32(x, cache_even_hi),
                             _mm256_mul_epu32(x_odd, cache_odd_hi)};
  const WideProducts x_lo = {_mm256_mul_epu32(x, cache.even), _mm256_mul_epu32(x_odd, cache.odd)};
  const WideProducts z = {_mm256_add_epi64(x_hi.even, _mm256_srli_epi64(x_lo.even, 32)),
                          _mm256_add_epi64(x_hi.odd, _mm256_srli_epi64(x_lo.odd, 32))};
  const __m256i zi = HighHalves(z);
  const __m256i z_low = LowHalves(z);

  const __m256i sig = _mm256_srli_epi32(MulHigh32(zi, c.Get<0x51EB851F>()), 5);
  const __m256i r = _mm256_sub_epi32(zi, _mm256_mullo_epi32(sig, c.Get<100>()));
  general = _mm256_or_si256(
      general, _mm256_and_si256(_mm256_cmpeq_epi32(r, zero), _mm256_cmpeq_epi32(z_low, zero)));
  // r and deltai are below 2^31.
  __m256i shorter = _mm256_cmpgt_epi32(deltai, r);
  // A candidate with one digit fewer on the left end: as in
  // ShortestDigitsGeneral(), it is inside the interval when the scaled end
  // has an odd integer part, or is an integer and belongs to the interval
  // (an even significand). Computed for every lane: a branch on the lanes
  // there (one block of eight in thirteen) costs more.
  // (two_f - 1) * cache is two_f * cache less cache.
  const EightLower64 y_product = MulLower64Eight(two_f, cache, cache_hi);
  {
    const __m256i cache_lo = LowHalves(cache);
    const __m256i lo = _mm256_sub_epi32(y_product.lo, cache_lo);
    const __m256i no_borrow = _mm256_cmpeq_epi32(_mm256_max_epu32(lo, y_product.lo), y_product.lo);
    const __m256i hi = _mm256_sub_epi32(_mm256_sub_epi32(y_product.hi, cache_hi),
                                        _mm256_add_epi32(no_borrow, one));
    const EightParities left = MulParityEight({lo, hi}, beta, one);
    const __m256i even = _mm256_cmpeq_epi32(_mm256_and_si256(stored, one), zero);
    const __m256i inside = _mm256_or_si256(_mm256_cmpeq_epi32(left.parity, one),
                                           _mm256_and_si256(left.is_integer, even));
    shorter = _mm256_or_si256(shorter, _mm256_and_si256(_mm256_cmpeq_epi32(r, deltai), inside));
  }

  __m256i dist = _mm256_add_epi32(_mm256_sub_epi32(r, _mm256_srli_epi32(deltai, 1)), c.Get<5>());
  const __m256i approx_y_parity = _mm256_and_si256(_mm256_xor_si256(dist, c.Get<5>()), one);
  // dist * 6554 in 16-bit halves (dist is at most 99 where it counts, a
  // longer candidate): the lower half tells divisibility, the upper is
  // dist / 10.
  const __m256i divisible =
      _mm256_cmpgt_epi32(c.Get<6554>(), _mm256_mullo_epi16(dist, c.Get<6554>()));
  dist = _mm256_mulhi_epu16(dist, c.Get<6554>());
  __m256i rounded = _mm256_add_epi32(_mm256_mullo_epi32(sig, c.Get<10>()), dist);

  const EightParities y = MulParityEight(y_product, beta, one);
  const __m256i y_parity = y.parity;
  const __m256i y_is_integer = y.is_integer;
  // One less when the parity differs, or when it agrees, the value is an
  // integer and the candidate odd; only for divisible, longer candidates.
  const __m256i parity_differs =
      _mm256_xor_si256(_mm256_cmpeq_epi32(y_parity, approx_y_parity), c.Get<-1>());
  const __m256i odd_integer =
      _mm256_and_si256(y_is_integer, _mm256_cmpeq_epi32(_mm256_and_si256(rounded, one), one));
  const __m256i decrement = _mm256_andnot_si256(
      shorter, _mm256_and_si256(divisible, _mm256_or_si256(parity_differs, odd_integer)));
  rounded = _mm256_add_epi32(rounded, decrement);  // decrement is -1 or 0

  const __m256i digits = _mm256_blendv_epi8(rounded, sig, shorter);
  const __m256i exp10 = _mm256_sub_epi32(_mm256_add_epi32(minus_k, one), shorter);

  return {digits, exp10, general};
}

// Eight floats taken apart as Decompose() does for its digits case, from
// their shortest digits, in registers: `rest` holds the eight digits after
// the first as byte values (FloatParts::rest without the ASCII offset), one
// 64-bit lane per float, floats 0-3 then 4-7.
struct EightParts {
  __m256i kk;
  __m256i first;  // d1 as a value 0-9
  __m256i rest[2];
};

[[gnu::target("avx2"), gnu::always_inline]] inline EightParts EightPartsAvx2(__m256i digits,
                                                                             __m256i exp10) {
  const Splats<3, 9, 999999, 9999999, 99999999, 0x55E63B89, static_cast<int32_t>(0xD1B71759u),
               TwoLanes16(10000), TwoLanes16(5243), TwoLanes16(100), TwoLanes16(6554),
               TwoLanes16(10)>
      c;
  EightParts out;
  // The decimal length, the digits left-aligned to nine places, the first
  // and the eight others. The digits of the common case have six to nine
  // decimal digits (the candidate with one digit fewer six to eight, the
  // other seven to nine; checked over every float): 9 - len is 3 less one
  // for each of 10^6, 10^7 and 10^8 they reach.
  const __m256i scale_index =
      _mm256_add_epi32(_mm256_add_epi32(c.Get<3>(), _mm256_cmpgt_epi32(digits, c.Get<999999>())),
                       _mm256_add_epi32(_mm256_cmpgt_epi32(digits, c.Get<9999999>()),
                                        _mm256_cmpgt_epi32(digits, c.Get<99999999>())));
  const __m256i len = _mm256_sub_epi32(c.Get<9>(), scale_index);
  const __m256i scale = _mm256_permutevar8x32_epi32(
      _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kPow10U32)), scale_index);
  const __m256i aligned = _mm256_mullo_epi32(digits, scale);
  const __m256i kk = _mm256_add_epi32(exp10, len);
  // The first digit (aligned / 10^8) and the first five (aligned / 10^4)
  // side by side, the products exact for every 32-bit value; then digits
  // two to five and six to nine.
  const __m256i first = _mm256_srli_epi32(MulHigh32(aligned, c.Get<0x55E63B89>()), 25);
  const __m256i five =
      _mm256_srli_epi32(MulHigh32(aligned, c.Get<static_cast<int32_t>(0xD1B71759u)>()), 13);
  // Digits two to five and six to nine, each below 10^4, so found in the
  // lower 16 bits of the lanes (the upper ones meaningless), and side by
  // side in one vector: the two four-digit groups of each float in its
  // 32-bit lane, the lanes of floats 2-3 and 4-5 swapped.
  const __m256i ten_thousand = c.Get<TwoLanes16(10000)>();
  const __m256i hi = _mm256_sub_epi16(five, _mm256_mullo_epi16(first, ten_thousand));
  const __m256i lo = _mm256_sub_epi16(aligned, _mm256_mullo_epi16(five, ten_thousand));
  const __m256i quads =
      _mm256_permute4x64_epi64(_mm256_blend_epi16(hi, _mm256_slli_epi32(lo, 16), 0xAA), 0xD8);
  // EightDigitValues() on the sixteen groups: each / 100 as
  // (quad * 5243) >> 19, and the rest; the pairs of floats 0-1 and 2-3, then
  // 4-5 and 6-7, in 32-bit lanes; each / 10 as (pair * 6554) >> 16, and the
  // rest.
  const __m256i hundreds =
      _mm256_srli_epi16(_mm256_mulhi_epu16(quads, c.Get<TwoLanes16(5243)>()), 3);
  const __m256i remainders =
      _mm256_sub_epi16(quads, _mm256_mullo_epi16(hundreds, c.Get<TwoLanes16(100)>()));
  for (int half = 0; half < 2; ++half) {
    const __m256i pairs = half == 0 ? _mm256_unpacklo_epi16(hundreds, remainders)
                                    : _mm256_unpackhi_epi16(hundreds, remainders);
    const __m256i tens = _mm256_mulhi_epu16(pairs, c.Get<TwoLanes16(6554)>());
    out.rest[half] = _mm256_or_si256(
        tens, _mm256_slli_epi16(
                  _mm256_sub_epi16(pairs, _mm256_mullo_epi16(tens, c.Get<TwoLanes16(10)>())), 8));
  }
  out.kk = kk;
  out.first = first;
  return out;
}

bool HasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

bool HasAvx2Bmi() {
  static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi");
  return has;
}

// ---- The bound of a list, 32 floats at once (AVX2) ----
//
// The biased exponents of 32 floats are packed into the bytes of one
// vector and looked up 16 table entries at a time with byte shuffles,
// indexed by their low four bits: FloatTextBounds() is one value for most
// rows of 16 exponents (given by a shuffle indexed by the upper four bits),
// so only the other rows are looked up and blended in.

// The rows of 16 exponents whose bounds are not all the same: around 2^0
// (rows 6 to 10, the plain layouts' range) and the last (the non-finite
// values).
constexpr int kVaryingRows[] = {6, 7, 8, 9, 10, 15};

// FloatTextBounds() for the shuffles, each row in both 128-bit lanes: the
// one value of each row (meaningless for the varying ones), and the varying
// rows in full.
struct ByteBounds {
  alignas(32) uint8_t uniform[32];
  alignas(32) uint8_t rows[std::size(kVaryingRows)][32];
};

const ByteBounds& FloatTextByteBounds() {
  static const ByteBounds table = [] {
    ByteBounds t{};
    const std::array<uint8_t, 256>& bounds = FloatTextBounds();
    for (int i = 0; i < 32; ++i) t.uniform[i] = bounds[(i % 16) * 16];
    for (size_t r = 0; r < std::size(kVaryingRows); ++r) {
      for (int i = 0; i < 32; ++i) t.rows[r][i] = bounds[kVaryingRows[r] * 16 + i % 16];
    }
    for (int b = 0; b < 256; ++b) {
      const bool varying = std::find(std::begin(kVaryingRows), std::end(kVaryingRows), b / 16) !=
                           std::end(kVaryingRows);
      assert(varying || bounds[b] == t.uniform[b / 16]);
      (void)varying;
    }
    return t;
  }();
  return table;
}

// The sign and the biased exponent of eight floats, as 9-bit lanes.
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i SignAndExponent(const float* p) {
  return _mm256_srli_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), 23);
}

// float_list_text_bound() of values[0, count), count a multiple of 32.
[[gnu::target("avx2")]] size_t FloatListTextBoundAvx2(const float* values, size_t count) {
  const ByteBounds& table = FloatTextByteBounds();
  const __m256i uniform = _mm256_load_si256(reinterpret_cast<const __m256i*>(table.uniform));
  const __m256i low_nibble = _mm256_set1_epi8(0x0f);
  const __m256i low_byte = _mm256_set1_epi16(0xff);
  size_t size = count;  // the separators
  // Sums of eight bytes (each at most 19) in 64-bit lanes.
  __m256i sum = _mm256_setzero_si256();
  for (size_t i = 0; i < count; i += 32) {
    // Sign and biased exponent of each float in 16-bit lanes, then apart
    // in bytes (in an order of no account for a sum).
    const __m256i top01 =
        _mm256_packus_epi32(SignAndExponent(values + i), SignAndExponent(values + i + 8));
    const __m256i top23 =
        _mm256_packus_epi32(SignAndExponent(values + i + 16), SignAndExponent(values + i + 24));
    const __m256i biased =
        _mm256_packus_epi16(_mm256_and_si256(top01, low_byte), _mm256_and_si256(top23, low_byte));
    const __m256i negative =
        _mm256_packus_epi16(_mm256_srli_epi16(top01, 8), _mm256_srli_epi16(top23, 8));
    const __m256i low = _mm256_and_si256(biased, low_nibble);
    const __m256i row = _mm256_and_si256(_mm256_srli_epi16(biased, 4), low_nibble);
    __m256i bound = _mm256_shuffle_epi8(uniform, row);
#pragma GCC unroll 6
    for (size_t r = 0; r < std::size(kVaryingRows); ++r) {
      const __m256i entries = _mm256_shuffle_epi8(
          _mm256_load_si256(reinterpret_cast<const __m256i*>(table.rows[r])), low);
      bound = _mm256_blendv_epi8(
          bound, entries,
          _mm256_cmpeq_epi8(row, _mm256_set1_epi8(static_cast<char>(kVaryingRows[r]))));
    }
    sum = _mm256_add_epi64(
        sum, _mm256_sad_epu8(_mm256_add_epi8(bound, negative), _mm256_setzero_si256()));
  }
  alignas(32) uint64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sum);
  for (const uint64_t lane : lanes) size += lane;
  return size;
}

#endif  // defined(__x86_64__)

// Writes the text of `parts` at p and returns the end. Digits are stored in
// fixed-size blocks, so up to kFloatTextRoom bytes past p may be written;
// only the returned range is meaningful.
[[gnu::always_inline]] inline char* WriteParts(char* p, const FloatParts& parts) {
  *p = '-';
  p += parts.negative ? 1 : 0;
  const int kk = parts.kk;
  const int n = parts.n;
  if (parts.kind == FloatParts::kDigits && kk > -6 && kk <= 0) [[likely]] {
    std::memcpy(p, "0.000000", 8);
    p += 2 - kk;
    p[0] = parts.lead;
    std::memcpy(p + 1, &parts.rest, 8);
    return p + n;
  }
  if (parts.kind == FloatParts::kNull) {
    std::memcpy(p, "null", 4);
    return p + 4;
  }
  if (parts.kind == FloatParts::kZero) {
    std::memcpy(p, "0.0", 3);
    return p + 3;
  }
  if (kk >= n && kk <= 13) {
    p[0] = parts.lead;
    std::memcpy(p + 1, &parts.rest, 8);
    std::memcpy(p + 9, "00000", 5);
    p += kk;
    std::memcpy(p, ".0", 2);
    return p + 2;
  }
  if (kk > 0 && kk <= 13) {
    // Digits at p + 1, then the first kk of them moved down one place.
    p[1] = parts.lead;
    std::memcpy(p + 2, &parts.rest, 8);
    for (int i = 0; i < kk; ++i) p[i] = p[i + 1];
    p[kk] = '.';
    return p + n + 1;
  }
  p[0] = parts.lead;
  p[1] = '.';
  std::memcpy(p + 2, &parts.rest, 8);
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

#if defined(__x86_64__)

// ---- The text of eight floats by byte shuffles (AVX2) ----
//
// A float of the plain layouts (kk from -5 to 13) whose text, with its
// comma, fits in 16 bytes is a fixed selection from sixteen source bytes:
// its nine digits and the few characters of the layouts. The selection
// depends only on the sign, kk and the digit count n, so it is looked up in
// a table and applied with one byte shuffle, and each text is stored whole.

// The source bytes of a float: d2..d9 at 0-7, then d1 and the characters.
constexpr uint8_t kSrcRest = 0;
constexpr uint8_t kSrcLead = 8;
constexpr uint8_t kSrcZero = 9;
constexpr uint8_t kSrcDot = 10;
constexpr uint8_t kSrcMinus = 11;
constexpr uint8_t kSrcComma = 12;
// Bytes 8-15 of the source as a 64-bit word, d1 (as a value) added to it.
constexpr uint64_t kSrcCharacters = uint64_t{'0'} | uint64_t{'0'} << 8 | uint64_t{'.'} << 16 |
                                    uint64_t{'-'} << 24 | uint64_t{','} << 32;

constexpr int kShuffleMinKk = -5;
constexpr int kShuffleMaxKk = 13;
constexpr size_t kShuffleLayouts = (kShuffleMaxKk - kShuffleMinKk + 1) * 2 * 16;

// The byte offset of the selection of (kk, negative, n) in the table.
constexpr size_t ShuffleOffset(int kk, int negative, int n) {
  return ((static_cast<size_t>(kk - kShuffleMinKk) * 2 + negative) * 16 + n) * 16;
}

// The selections: the text of the layout (WriteParts()) followed by a
// comma, unused bytes zero; layouts longer than 16 bytes are left empty.
struct ShuffleTable {
  alignas(64) uint8_t bytes[kShuffleLayouts * 16];
};
constexpr ShuffleTable kShuffleTable = [] {
  ShuffleTable t{};
  for (int kk = kShuffleMinKk; kk <= kShuffleMaxKk; ++kk) {
    for (int negative = 0; negative < 2; ++negative) {
      for (int n = 1; n <= 9; ++n) {
        uint8_t text[32] = {};
        size_t len = 0;
        auto digit = [](int j) {  // d_j, j from 1
          return static_cast<uint8_t>(j == 1 ? kSrcLead : kSrcRest + j - 2);
        };
        if (negative) text[len++] = kSrcMinus;
        if (kk <= 0) {
          text[len++] = kSrcZero;
          text[len++] = kSrcDot;
          for (int z = 0; z < -kk; ++z) text[len++] = kSrcZero;
          for (int j = 1; j <= n; ++j) text[len++] = digit(j);
        } else if (kk < n) {
          for (int j = 1; j <= kk; ++j) text[len++] = digit(j);
          text[len++] = kSrcDot;
          for (int j = kk + 1; j <= n; ++j) text[len++] = digit(j);
        } else {
          for (int j = 1; j <= n; ++j) text[len++] = digit(j);
          for (int z = 0; z < kk - n; ++z) text[len++] = kSrcZero;
          text[len++] = kSrcDot;
          text[len++] = kSrcZero;
        }
        text[len++] = kSrcComma;
        if (len > 16) continue;
        for (size_t i = 0; i < 16; ++i) {
          t.bytes[ShuffleOffset(kk, negative, n) + i] = i < len ? text[i] : 0x80;
        }
      }
    }
  }
  return t;
}();

// The selections at two byte offsets of the table, in the two 128-bit
// lanes.
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i Selections(int32_t low, int32_t high) {
  const char* const table = reinterpret_cast<const char*>(kShuffleTable.bytes);
  return _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(table + low))),
      _mm_load_si128(reinterpret_cast<const __m128i*>(table + high)), 1);
}

// Writes the eight floats of `d` (whose bits are `bits`), each followed by
// a comma, at *out and advances it, when all of them are of the layouts
// above; otherwise returns false and writes nothing. Stores 16 bytes at the
// start of each text.
[[gnu::target("avx2"), gnu::always_inline]] inline bool WriteEightShuffled(const EightParts& d,
                                                                           __m256i bits,
                                                                           char** out) {
  const Splats<1, 3, 2, kShuffleMinKk, kShuffleMaxKk, 16> c;
  const __m256i zero = _mm256_setzero_si256();
  const __m256i one = c.Get<1>();
  // n - 1 per float: the digit bytes of `rest` up to its last nonzero one
  // (each byte or-ed with those above it, then counted).
  __m256i count[2];
  for (int half = 0; half < 2; ++half) {
    __m256i f = _mm256_andnot_si256(_mm256_cmpeq_epi8(d.rest[half], zero), _mm256_set1_epi8(1));
    f = _mm256_or_si256(f, _mm256_srli_epi64(f, 8));
    f = _mm256_or_si256(f, _mm256_srli_epi64(f, 16));
    f = _mm256_or_si256(f, _mm256_srli_epi64(f, 32));
    count[half] = _mm256_sad_epu8(f, zero);
  }
  // [c0 c4 c1 c5 | c2 c6 c3 c7] back in float order.
  const __m256i n = _mm256_add_epi32(
      _mm256_permutevar8x32_epi32(_mm256_or_si256(count[0], _mm256_slli_epi64(count[1], 32)),
                                  _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7)),
      one);
  const __m256i kk = d.kk;
  const __m256i negative = _mm256_srli_epi32(bits, 31);
  // The text length with the comma: n - kk + 3 for kk <= 0, n + 2 for
  // 0 < kk < n, kk + 3 for kk >= n; and the sign.
  const __m256i positive_kk = _mm256_cmpgt_epi32(kk, zero);
  const __m256i whole = _mm256_cmpgt_epi32(kk, _mm256_sub_epi32(n, one));
  const __m256i three = c.Get<3>();
  const __m256i len = _mm256_add_epi32(
      _mm256_blendv_epi8(
          _mm256_add_epi32(_mm256_sub_epi32(n, kk), three),
          _mm256_blendv_epi8(_mm256_add_epi32(n, c.Get<2>()), _mm256_add_epi32(kk, three), whole),
          positive_kk),
      negative);
  const __m256i outside =
      _mm256_or_si256(_mm256_or_si256(_mm256_cmpgt_epi32(c.Get<kShuffleMinKk>(), kk),
                                      _mm256_cmpgt_epi32(kk, c.Get<kShuffleMaxKk>())),
                      _mm256_cmpgt_epi32(len, c.Get<16>()));
  if (!_mm256_testz_si256(outside, outside)) return false;

  // ShuffleOffset(kk, negative, n).
  const __m256i layout =
      _mm256_or_si256(_mm256_slli_epi32(_mm256_sub_epi32(kk, c.Get<kShuffleMinKk>()), 1), negative);
  const __m256i offset = _mm256_slli_epi32(_mm256_or_si256(_mm256_slli_epi32(layout, 4), n), 4);
  alignas(32) int32_t offsets[8];
  alignas(32) int32_t lens[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(offsets), offset);
  _mm256_store_si256(reinterpret_cast<__m256i*>(lens), len);

  char* p = *out;
  for (int half = 0; half < 2; ++half) {
    const __m256i digits = _mm256_or_si256(d.rest[half], _mm256_set1_epi8('0'));
    const __m256i lead =
        _mm256_add_epi64(_mm256_cvtepu32_epi64(half == 0 ? _mm256_castsi256_si128(d.first)
                                                         : _mm256_extracti128_si256(d.first, 1)),
                         _mm256_set1_epi64x(static_cast<long long>(kSrcCharacters)));
    // Floats 0 and 2, 1 and 3 of the half, one per 128-bit lane.
    const int f = 4 * half;
    const __m256i text02 = _mm256_shuffle_epi8(_mm256_unpacklo_epi64(digits, lead),
                                               Selections(offsets[f], offsets[f + 2]));
    const __m256i text13 = _mm256_shuffle_epi8(_mm256_unpackhi_epi64(digits, lead),
                                               Selections(offsets[f + 1], offsets[f + 3]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_castsi256_si128(text02));
    p += lens[f];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_castsi256_si128(text13));
    p += lens[f + 1];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_extracti128_si256(text02, 1));
    p += lens[f + 2];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_extracti128_si256(text13, 1));
    p += lens[f + 3];
  }
  *out = p;
  return true;
}

// Writes values[0, count) (count a multiple of 8) as write_float_list_text
// does, each followed by a comma; returns the end. In three passes over
// pieces of the list (the shortest digits, their parts, the text): each
// pass is a loop of independent steps short enough for the processor to
// overlap several of them.
[[gnu::target("avx2")]] char* WriteFloatListAvx2(char* p, const float* values, size_t count) {
  constexpr size_t kPiece = 128;
  alignas(32) uint32_t digits[kPiece];
  alignas(32) int32_t exp10[kPiece];
  uint8_t general[kPiece / 8];
  alignas(32) int32_t kks[kPiece];
  alignas(32) int32_t firsts[kPiece];
  alignas(32) uint64_t rests[kPiece];
  for (size_t piece = 0; piece < count; piece += kPiece) {
    const float* const v = values + piece;
    const size_t size = std::min(kPiece, count - piece);
    for (size_t b = 0; b < size; b += 8) {
      const EightDigits d = ShortestDigitsEightAvx2(v + b);
      _mm256_store_si256(reinterpret_cast<__m256i*>(digits + b), d.digits);
      _mm256_store_si256(reinterpret_cast<__m256i*>(exp10 + b), d.exp10);
      general[b / 8] = static_cast<uint8_t>(_mm256_movemask_ps(_mm256_castsi256_ps(d.general)));
    }
    for (size_t b = 0; b < size; b += 8) {
      const EightParts d =
          EightPartsAvx2(_mm256_load_si256(reinterpret_cast<const __m256i*>(digits + b)),
                         _mm256_load_si256(reinterpret_cast<const __m256i*>(exp10 + b)));
      _mm256_store_si256(reinterpret_cast<__m256i*>(kks + b), d.kk);
      _mm256_store_si256(reinterpret_cast<__m256i*>(firsts + b), d.first);
      _mm256_store_si256(reinterpret_cast<__m256i*>(rests + b), d.rest[0]);
      _mm256_store_si256(reinterpret_cast<__m256i*>(rests + b + 4), d.rest[1]);
    }
    for (size_t b = 0; b < size; b += 8) {
      EightParts d;
      d.kk = _mm256_load_si256(reinterpret_cast<const __m256i*>(kks + b));
      d.first = _mm256_load_si256(reinterpret_cast<const __m256i*>(firsts + b));
      d.rest[0] = _mm256_load_si256(reinterpret_cast<const __m256i*>(rests + b));
      d.rest[1] = _mm256_load_si256(reinterpret_cast<const __m256i*>(rests + b + 4));
      const __m256i bits = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + b));
      if (general[b / 8] == 0 && WriteEightShuffled(d, bits, &p)) [[likely]] {
        continue;
      }
      // Some float of another layout: one at a time.
      alignas(32) uint64_t rest[8];
      alignas(32) int32_t kk[8];
      alignas(32) int32_t first[8];
      _mm256_store_si256(reinterpret_cast<__m256i*>(rest), d.rest[0]);
      _mm256_store_si256(reinterpret_cast<__m256i*>(rest + 4), d.rest[1]);
      _mm256_store_si256(reinterpret_cast<__m256i*>(kk), d.kk);
      _mm256_store_si256(reinterpret_cast<__m256i*>(first), d.first);
      const unsigned negative =
          static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(bits)));
      for (int i = 0; i < 8; ++i) {
        if ((general[b / 8] >> i) & 1) {
          p = WriteParts(p, Decompose(v[b + i]));
        } else {
          FloatParts parts;
          parts.kind = FloatParts::kDigits;
          parts.negative = ((negative >> i) & 1) != 0;
          parts.kk = kk[i];
          parts.lead = static_cast<char>('0' + first[i]);
          parts.n = 9 - std::countl_zero(rest[i]) / 8;
          parts.rest = rest[i] | 0x3030303030303030ull;
          p = WriteParts(p, parts);
        }
        *p++ = ',';
      }
    }
  }
  return p;
}

#endif  // defined(__x86_64__)

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

// ---- Reading lists of numbers ----

// The list reader without SIMD: scan_decimal_quick() one number at a time.
size_t ScanFloatListScalar(const char* p, const char* limit, float* out, const char** end,
                           bool* closed) {
  *closed = false;
  size_t n = 0;
  while (n < kQuickListGroup && p < limit) {
    QuickDecimal q;
    const char* const e = scan_decimal_quick(p, &q);
    if (e == nullptr || (*e != ',' && *e != ']')) break;
    out[n++] = quick_decimal_to_float(q);
    if (*e == ']') {
      *closed = true;
      p = e;
      break;
    }
    p = e + 1;
  }
  *end = p;
  return n;
}

#if defined(__x86_64__)

// For a number of len bytes (3 to 15) whose '.' is at q, the byte shuffle
// that puts its digits (the bytes before and after the '.') right-aligned
// in sixteen bytes, zeros before them; at (len * 16 + q) * 16.
struct DigitShuffles {
  alignas(64) uint8_t bytes[16 * 16 * 16];
};
constexpr DigitShuffles kDigitShuffles = [] {
  DigitShuffles t{};
  for (int len = 0; len < 16; ++len) {
    for (int q = 0; q < 16; ++q) {
      uint8_t* const entry = t.bytes + (len * 16 + q) * 16;
      for (int k = 0; k < 16; ++k) entry[k] = 0x80;
      if (len < 3 || q < 1 || q > len - 2) continue;
      int k = 15;
      for (int i = len - 1; i >= 0; --i) {
        if (i != q) entry[k--] = static_cast<uint8_t>(i);
      }
    }
  }
  return t;
}();

// Reads the number of the quick form in p[0, len), len from 3 to 15 (the
// byte p[len] is its end): true and its parts in *out, or false.
[[gnu::target("avx2"), gnu::always_inline]] inline bool ReadShortDecimal(const char* p, size_t len,
                                                                         QuickDecimal* out) {
  if (len - 3 > 12) return false;
  const __m128i text = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i values = _mm_sub_epi8(text, _mm_set1_epi8('0'));
  const __m128i digit = _mm_cmpeq_epi8(_mm_min_epu8(values, _mm_set1_epi8(9)), values);
  const unsigned mask = (1u << len) - 1;
  const unsigned digits = static_cast<unsigned>(_mm_movemask_epi8(digit)) & mask;
  const unsigned dot =
      static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(text, _mm_set1_epi8('.')))) & mask;
  const unsigned negative = p[0] == '-' ? 1 : 0;
  // Every byte a digit but the sign and one '.', which has digits on both
  // sides, and no leading zero.
  if ((digits | dot | negative) != mask || (dot & (dot - 1)) != 0) return false;
  const unsigned q = static_cast<unsigned>(std::countr_zero(dot));  // 32 if no '.'
  if (q <= negative || q + 1 >= len) return false;
  if (p[negative] == '0' && q != negative + 1) return false;
  // The digits right-aligned, as one 16-digit integer: pairs, fours, eights.
  const __m128i aligned = _mm_shuffle_epi8(
      _mm_and_si128(values, digit),
      _mm_load_si128(reinterpret_cast<const __m128i*>(kDigitShuffles.bytes + (len * 16 + q) * 16)));
  const __m128i pairs = _mm_maddubs_epi16(aligned, _mm_set1_epi16(0x010A));
  const __m128i fours = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00010064));
  const __m128i eights = _mm_madd_epi16(_mm_packus_epi32(fours, fours), _mm_set1_epi32(0x00012710));
  const uint64_t both = static_cast<uint64_t>(_mm_cvtsi128_si64(eights));
  // At most 14 digits: an exact double.
  const uint64_t mantissa = (both & 0xffffffffu) * 100000000 + (both >> 32);
  out->mantissa = static_cast<double>(static_cast<int64_t>(mantissa));
  out->divisor = kExactPow10[len - 1 - q];
  out->multiplier = negative ? -1.0 : 1.0;
  return true;
}

// For a number "-?D.D+" of len bytes (up to 15) with or without its sign:
// the byte shuffle that puts its digits right-aligned in sixteen bytes
// (zeros before them), the classes of its bytes (0xFF for a digit,
// kDotClass for the '.', 0 for the sign) where `check` is set, and the
// power of ten its digits are divided by, negated for a negative number; at
// index len * 2 + negative. Lengths too short for the form have a class no
// byte has.
constexpr uint8_t kDotClass = 0x0F;
constexpr uint8_t kNoClass = 0x55;
struct FractionForm {
  uint8_t shuffle[16];
  uint8_t classes[16];
  uint8_t check[16];
  double divisor;
  uint8_t padding[8];
};
struct FractionForms {
  alignas(64) FractionForm forms[32];
};
static_assert(sizeof(FractionForm) == 64);
constexpr FractionForms kFractionForms = [] {
  FractionForms t{};
  for (int len = 0; len < 16; ++len) {
    for (int negative = 0; negative < 2; ++negative) {
      FractionForm& form = t.forms[len * 2 + negative];
      for (int k = 0; k < 16; ++k) {
        form.shuffle[k] = 0x80;
        form.check[k] = k < len ? 0xFF : 0;
        form.classes[k] = k >= len || k < negative ? 0 : k == negative + 1 ? kDotClass : 0xFF;
      }
      // At least one digit on each side of the '.'.
      const int fraction = len - 2 - negative;
      if (fraction < 1) {
        form.check[0] = 0xFF;
        form.classes[0] = kNoClass;
        form.divisor = 1;
        continue;
      }
      form.divisor = negative ? -kExactPow10[fraction] : kExactPow10[fraction];
      int k = 15;
      for (int i = len - 1; i >= negative; --i) {
        if (i != negative + 1) form.shuffle[k--] = static_cast<uint8_t>(i);
      }
    }
  }
  return t;
}();

// The two FractionForm rows `row` (0 to 2) of forms a and b in the two
// 128-bit lanes.
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i FormRows(const FractionForm& a,
                                                                    const FractionForm& b,
                                                                    int row) {
  const uint8_t* const rows_a[3] = {a.shuffle, a.classes, a.check};
  const uint8_t* const rows_b[3] = {b.shuffle, b.classes, b.check};
  return _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(rows_b[row]),
                             reinterpret_cast<const __m128i*>(rows_a[row]));
}

// Two numbers at a and b of the forms fa and fb, in the two 128-bit
// lanes: their digit groups of four as 32-bit lanes; *fits is cleared
// unless both have their forms.
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i ReadTwoFractions(
    const char* a, const FractionForm& fa, const char* b, const FractionForm& fb, bool* fits) {
  const __m256i text =
      _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(b), reinterpret_cast<const __m128i*>(a));
  const __m256i values = _mm256_sub_epi8(text, _mm256_set1_epi8('0'));
  const __m256i digit = _mm256_cmpeq_epi8(_mm256_min_epu8(values, _mm256_set1_epi8(9)), values);
  // The bytes of the classes the forms have (the sign, the one byte of
  // class 0, was taken from the first byte by the caller).
  const __m256i classes =
      _mm256_or_si256(digit, _mm256_and_si256(_mm256_cmpeq_epi8(text, _mm256_set1_epi8('.')),
                                              _mm256_set1_epi8(kDotClass)));
  *fits &=
      _mm256_testz_si256(_mm256_xor_si256(classes, FormRows(fa, fb, 1)), FormRows(fa, fb, 2)) != 0;
  const __m256i aligned = _mm256_shuffle_epi8(values, FormRows(fa, fb, 0));
  const __m256i pairs = _mm256_maddubs_epi16(aligned, _mm256_set1_epi16(0x010A));
  return _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00010064));
}

// Reads the four numbers from `start` to e0, then up to e1, e2 and e3, each
// "-?D.D+" of at most 15 bytes (quick_decimal_to_float() gives their
// floats) into out[0, 4), or returns false.
[[gnu::target("avx2"), gnu::always_inline]] inline bool ReadFourFractions(
    const char* start, const char* e0, const char* e1, const char* e2, const char* e3, float* out) {
  const char* const s0 = start;
  const char* const s1 = e0 + 1;
  const char* const s2 = e1 + 1;
  const char* const s3 = e2 + 1;
  const size_t len0 = static_cast<size_t>(e0 - s0);
  const size_t len1 = static_cast<size_t>(e1 - s1);
  const size_t len2 = static_cast<size_t>(e2 - s2);
  const size_t len3 = static_cast<size_t>(e3 - s3);
  if ((len0 | len1 | len2 | len3) >= 16) return false;
  const size_t n0 = *s0 == '-' ? 1 : 0;
  const size_t n1 = *s1 == '-' ? 1 : 0;
  const size_t n2 = *s2 == '-' ? 1 : 0;
  const size_t n3 = *s3 == '-' ? 1 : 0;
  const FractionForm& form0 = kFractionForms.forms[len0 * 2 + n0];
  const FractionForm& form1 = kFractionForms.forms[len1 * 2 + n1];
  const FractionForm& form2 = kFractionForms.forms[len2 * 2 + n2];
  const FractionForm& form3 = kFractionForms.forms[len3 * 2 + n3];
  bool fits = true;
  const __m256i fours02 = ReadTwoFractions(s0, form0, s2, form2, &fits);
  const __m256i fours13 = ReadTwoFractions(s1, form1, s3, form3, &fits);
  if (!fits) return false;
  // Lanes: numbers 0 and 1, then 2 and 3: their upper and lower eight
  // digits, below 10^6 and 10^8.
  const __m256i eights =
      _mm256_madd_epi16(_mm256_packus_epi32(fours02, fours13), _mm256_set1_epi32(0x00012710));
  const __m128i upper =
      _mm256_castsi256_si128(_mm256_permute4x64_epi64(_mm256_shuffle_epi32(eights, 0x88), 0x08));
  const __m128i lower =
      _mm256_castsi256_si128(_mm256_permute4x64_epi64(_mm256_shuffle_epi32(eights, 0xDD), 0x08));
  // Exact: below 10^14.
  const __m256d mantissa = _mm256_add_pd(
      _mm256_mul_pd(_mm256_cvtepi32_pd(upper), _mm256_set1_pd(1e8)), _mm256_cvtepi32_pd(lower));
  // Dividing by a negated power of ten gives the negated quotient (a
  // negative zero for "-0.0").
  const __m256d quotient = _mm256_div_pd(
      mantissa, _mm256_setr_pd(form0.divisor, form1.divisor, form2.divisor, form3.divisor));
  _mm_storeu_ps(out, _mm256_cvtpd_ps(quotient));
  return true;
}

// The bytes of p[0, 64) that are ',' or ']', as bits.
[[gnu::target("avx2"), gnu::always_inline]] inline uint64_t SeparatorBits(const char* p) {
  const __m256i comma = _mm256_set1_epi8(',');
  const __m256i bracket = _mm256_set1_epi8(']');
  const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
  const uint32_t low_bits = static_cast<uint32_t>(_mm256_movemask_epi8(
      _mm256_or_si256(_mm256_cmpeq_epi8(low, comma), _mm256_cmpeq_epi8(low, bracket))));
  const uint32_t high_bits = static_cast<uint32_t>(_mm256_movemask_epi8(
      _mm256_or_si256(_mm256_cmpeq_epi8(high, comma), _mm256_cmpeq_epi8(high, bracket))));
  return low_bits | static_cast<uint64_t>(high_bits) << 32;
}

// scan_float_list_quick() with AVX2. Each step finds the separators in the
// 64 bytes from where it starts, then reads the four numbers before the
// first four of them if they have the form "-?D.D+" (byte shuffles, digit
// sums and one 4-wide division), else the one before the first with
// ReadShortDecimal() or scan_decimal_quick().
[[gnu::target("avx2,bmi")]] size_t ScanFloatListAvx2(const char* p, const char* limit, float* out,
                                                     const char** end, bool* closed) {
  size_t n = 0;
  bool is_closed = false;
  // A step reads 64 bytes: it starts at most 32 bytes before `limit`.
  while (n < kQuickListGroup && p + 32 <= limit) {
    uint64_t bits = SeparatorBits(p);
    // countr_zero() of no bits is 64: the end of the window.
    const char* const e0 = p + std::countr_zero(bits);
    bits &= bits - 1;
    const char* const e1 = p + std::countr_zero(bits);
    bits &= bits - 1;
    const char* const e2 = p + std::countr_zero(bits);
    bits &= bits - 1;
    const char* const e3 = p + std::countr_zero(bits);
    // Four numbers, none but the last followed by ']'.
    // The numbers' sixteen bytes end before limit + kQuickNumberRoom.
    if (n + 4 <= kQuickListGroup && e3 < p + 64 && e3 <= limit + 16 && *e0 == ',' && *e1 == ',' &&
        *e2 == ',' && ReadFourFractions(p, e0, e1, e2, e3, out + n)) {
      n += 4;
      if (*e3 == ']') {
        is_closed = true;
        p = e3;
        break;
      }
      p = e3 + 1;
      continue;
    }
    // One number.
    if (e0 == p + 64) break;
    QuickDecimal q;
    if (!ReadShortDecimal(p, static_cast<size_t>(e0 - p), &q) && scan_decimal_quick(p, &q) != e0) {
      break;
    }
    out[n++] = quick_decimal_to_float(q);
    if (*e0 == ']') {
      is_closed = true;
      p = e0;
      break;
    }
    p = e0 + 1;
  }
  *end = p;
  *closed = is_closed;
  return n;
}

#endif  // defined(__x86_64__)

}  // namespace

size_t scan_float_list_quick(const char* p, const char* limit, float* out, const char** end,
                             bool* closed) {
#if defined(__x86_64__)
  if (HasAvx2Bmi()) return ScanFloatListAvx2(p, limit, out, end, closed);
#endif
  return ScanFloatListScalar(p, limit, out, end, closed);
}

char* write_float_text(char* p, float value) { return WriteParts(p, Decompose(value)); }

char* write_float_list_text(char* p, std::span<const float> values) {
  // In blocks: first the digits of every value (independent computations
  // that overlap), then the text, whose positions depend on each other.
  constexpr size_t kBlock = 16;
  FloatParts parts[kBlock];
  size_t start = 0;
#if defined(__x86_64__)
  if (HasAvx2()) {
    start = values.size() / 8 * 8;
    p = WriteFloatListAvx2(p, values.data(), start);
  }
#endif
  for (; start < values.size(); start += kBlock) {
    const size_t count = std::min(kBlock, values.size() - start);
    for (size_t i = 0; i < count; ++i) parts[i] = Decompose(values[start + i]);
    for (size_t i = 0; i < count; ++i) {
      p = WriteParts(p, parts[i]);
      *p++ = ',';
    }
  }
  return values.empty() ? p : p - 1;
}

size_t float_list_text_bound(std::span<const float> values) {
  const std::array<uint8_t, 256>& bounds = FloatTextBounds();
  size_t size = 0;
  size_t start = 0;
#if defined(__x86_64__)
  if (HasAvx2()) {
    start = values.size() / 32 * 32;
    size = FloatListTextBoundAvx2(values.data(), start);
  }
#endif
  for (const float value : values.subspan(start)) {
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
