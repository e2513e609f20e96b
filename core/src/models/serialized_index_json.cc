#include "models/serialized_index_json.h"

#include <rapidjson/reader.h>

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

namespace vesk {

namespace {

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

// Longest text of one float: "-0.00000123456789" (17 bytes). WriteFloat
// may scribble up to 31 bytes past its start, so reservations for floats
// include kFloatReserve bytes of room.
constexpr size_t kMaxFloatText = 17;
constexpr size_t kFloatReserve = 40;
constexpr size_t kWriteChunk = 16 * 1024;

// Bytes of `c` inside a JSON string as written by the writer.
inline size_t EscapedSize(unsigned char c) {
  if (c >= 0x20) return (c == '"' || c == '\\') ? 2 : 1;
  switch (c) {
    case '\b':
    case '\t':
    case '\n':
    case '\f':
    case '\r':
      return 2;
    default:
      return 6;
  }
}

size_t QuotedSize(std::string_view s) {
  size_t size = 2;
  for (unsigned char c : s) size += EscapedSize(c);
  return size;
}

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
// Digits are stored in fixed-size blocks, so up to kFloatReserve bytes past
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

// Accumulates output in a small buffer and hands it on a chunk at a time,
// passing each chunk through the optional encoder: appended to a string, or
// copied into a caller's buffer (bytes beyond its capacity are counted but
// not stored).
class ChunkWriter {
 public:
  ChunkWriter(std::string* out, JsonByteTransform encode) : str_(out), encode_(encode) {}
  ChunkWriter(char* out, size_t capacity, JsonByteTransform encode)
      : raw_(out), capacity_(capacity), encode_(encode) {}

  ChunkWriter(const ChunkWriter&) = delete;
  ChunkWriter& operator=(const ChunkWriter&) = delete;

  // Returns a pointer to at least n (<= kWriteChunk) writable bytes; the
  // caller hands back the end of what it wrote to Commit().
  [[gnu::always_inline]] char* Reserve(size_t n) {
    if (len_ + n > kWriteChunk) Flush();
    return buf_ + len_;
  }
  [[gnu::always_inline]] void Commit(char* end) { len_ = static_cast<size_t>(end - buf_); }

  void Put(char c) {
    char* p = Reserve(1);
    *p = c;
    ++len_;
  }

  // For short fixed texts (keys, punctuation).
  void PutLiteral(std::string_view text) {
    char* p = Reserve(text.size());
    std::memcpy(p, text.data(), text.size());
    len_ += text.size();
  }

  void PutString(std::string_view s) {
    static constexpr char kHex[] = "0123456789abcdef";
    Put('"');
    size_t i = 0;
    while (i < s.size()) {
      // Copy the longest run of bytes that need no escape, a chunk at a time.
      size_t run = i;
      while (run < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[run]);
        if (c < 0x20 || c == '"' || c == '\\') break;
        ++run;
      }
      while (i < run) {
        if (len_ == kWriteChunk) Flush();
        const size_t n = std::min(run - i, kWriteChunk - len_);
        std::memcpy(buf_ + len_, s.data() + i, n);
        len_ += n;
        i += n;
      }
      if (i == s.size()) break;
      const unsigned char c = static_cast<unsigned char>(s[i++]);
      char* p = Reserve(6);
      *p++ = '\\';
      switch (c) {
        case '"':
          *p++ = '"';
          break;
        case '\\':
          *p++ = '\\';
          break;
        case '\b':
          *p++ = 'b';
          break;
        case '\t':
          *p++ = 't';
          break;
        case '\n':
          *p++ = 'n';
          break;
        case '\f':
          *p++ = 'f';
          break;
        case '\r':
          *p++ = 'r';
          break;
        default:
          *p++ = 'u';
          *p++ = '0';
          *p++ = '0';
          *p++ = kHex[c >> 4];
          *p++ = kHex[c & 0xf];
          break;
      }
      Commit(p);
    }
    Put('"');
  }

  void Flush() {
    if (len_ == 0) return;
    if (encode_ != nullptr) encode_(buf_, len_, written_);
    if (str_ != nullptr) {
      str_->append(buf_, len_);
    } else if (written_ <= capacity_) {
      std::memcpy(raw_ + written_, buf_, std::min(len_, capacity_ - written_));
    }
    written_ += len_;
    len_ = 0;
  }

  // Bytes of the document handed on so far.
  size_t written() const { return written_; }

 private:
  std::string* const str_ = nullptr;
  char* const raw_ = nullptr;
  const size_t capacity_ = 0;
  const JsonByteTransform encode_;
  size_t written_ = 0;
  size_t len_ = 0;
  char buf_[kWriteChunk];
};

// ---------------------------------------------------------------------------
// Reading: input streams
// ---------------------------------------------------------------------------

constexpr size_t kReadChunk = 64 * 1024;

struct LineColumn {
  size_t line = 1;
  size_t column = 0;
};

void AdvanceLineColumn(const char* data, size_t n, LineColumn* lc) {
  for (size_t i = 0; i < n; ++i) {
    if (data[i] == '\n') {
      ++lc->line;
      lc->column = 0;
    } else {
      ++lc->column;
    }
  }
}

// Input stream over bytes held in memory. Reads '\0' past the end.
//
// Besides the parser's interface, streams support Pin() / Rewind() /
// Unpin(): after Pin(), Rewind() returns to the pinned position. The handler
// uses it to try a fast path over embedding rows.
class PlainStream {
 public:
  typedef char Ch;

  explicit PlainStream(std::string_view data)
      : begin_(data.data()), cur_(data.data()), end_(data.data() + data.size()) {}

  [[gnu::always_inline]] Ch Peek() const { return cur_ != end_ ? *cur_ : '\0'; }
  [[gnu::always_inline]] Ch Take() { return cur_ != end_ ? *cur_++ : '\0'; }
  size_t Tell() const { return static_cast<size_t>(cur_ - begin_); }

  void Pin() { pin_ = cur_; }
  void Rewind() { cur_ = pin_; }
  void Unpin() {}

  // Line and column after the first `pos` bytes.
  LineColumn Position(size_t pos) const {
    LineColumn lc;
    AdvanceLineColumn(begin_, pos, &lc);
    return lc;
  }

  // The bytes at positions [from, to).
  std::string Bytes(size_t from, size_t to) const { return std::string(begin_ + from, to - from); }

  // Output interface required by the parser's templates; never called.
  Ch* PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  size_t PutEnd(Ch*) { return 0; }

 private:
  const char* const begin_;
  const char* cur_;
  const char* const end_;
  const char* pin_ = nullptr;
};

// Input stream over encoded bytes: decodes them a chunk at a time into a
// small buffer (which keeps everything from the pinned position on while a
// pin is set). Reads '\0' past the end.
class DecodingStream {
 public:
  typedef char Ch;

  DecodingStream(std::string_view stored, JsonByteTransform decode)
      : stored_(stored), decode_(decode), buf_(kReadChunk) {
    cur_ = end_ = buf_.data();
  }

  [[gnu::always_inline]] Ch Peek() const {
    if (cur_ == end_) [[unlikely]]
      return Refill();
    return *cur_;
  }
  [[gnu::always_inline]] Ch Take() {
    if (cur_ == end_) [[unlikely]] {
      if (Refill() == '\0' && cur_ == end_) return '\0';
    }
    return *cur_++;
  }
  size_t Tell() const { return base_ + static_cast<size_t>(cur_ - buf_.data()); }

  void Pin() {
    pinned_ = true;
    pin_ = Tell();
  }
  void Rewind() { cur_ = buf_.data() + (pin_ - base_); }
  void Unpin() { pinned_ = false; }

  LineColumn Position(size_t pos) const {
    LineColumn lc;
    std::vector<char> tmp(kReadChunk);
    for (size_t at = 0; at < pos; at += kReadChunk) {
      const size_t n = std::min(kReadChunk, pos - at);
      std::memcpy(tmp.data(), stored_.data() + at, n);
      decode_(tmp.data(), n, at);
      AdvanceLineColumn(tmp.data(), n, &lc);
    }
    return lc;
  }

  std::string Bytes(size_t from, size_t to) const {
    std::string out(stored_.substr(from, to - from));
    // The transform depends on positions only, so pieces decode alike.
    decode_(out.data(), out.size(), from);
    return out;
  }

  Ch* PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  size_t PutEnd(Ch*) { return 0; }

 private:
  // Decodes the next chunk behind the bytes still needed (those from the
  // pin on, if pinned); returns the byte at the read position, or '\0' at
  // the end of the input.
  [[gnu::noinline]] Ch Refill() const {
    if (next_ >= stored_.size()) return '\0';
    char* const data = buf_.data();
    const size_t used = static_cast<size_t>(end_ - data);
    const size_t keep_from = pinned_ ? pin_ - base_ : used;
    const size_t keep = used - keep_from;
    std::memmove(data, data + keep_from, keep);
    const size_t n = std::min(kReadChunk, stored_.size() - next_);
    if (keep + n > buf_.size()) buf_.resize(keep + n);
    char* const fresh = buf_.data() + keep;
    std::memcpy(fresh, stored_.data() + next_, n);
    decode_(fresh, n, next_);
    base_ += keep_from;
    next_ += n;
    cur_ = fresh;
    end_ = fresh + n;
    return *cur_;
  }

  const std::string_view stored_;
  const JsonByteTransform decode_;
  mutable std::vector<char> buf_;
  mutable const char* cur_;
  mutable const char* end_;
  mutable size_t base_ = 0;  // document position of buf_[0]
  mutable size_t next_ = 0;  // document position of the next chunk
  bool pinned_ = false;
  size_t pin_ = 0;  // document position of the pin
};

// ---------------------------------------------------------------------------
// Reading: numbers and strings
// ---------------------------------------------------------------------------

// A JSON number as a strict deserializer sees it: an unsigned integer, a
// negative integer, or (for anything else, "-0" and integers too large for
// 64 bits) a double.
struct Number {
  enum class Kind { kUnsigned, kSigned, kFloat, kOutOfRange };
  Kind kind = Kind::kUnsigned;
  uint64_t u = 0;
  int64_t i = 0;
  double d = 0;
};

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

Number ClassifyNumber(const char* s, size_t size) {
  const char* const end = s + size;
  const bool negative = (*s == '-');
  const char* p = s + (negative ? 1 : 0);
  Number num;

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
      num.kind = Number::Kind::kUnsigned;
      num.u = v;
    } else if (v == 0) {
      num.kind = Number::Kind::kFloat;
      num.d = -0.0;
    } else if (v <= (uint64_t{1} << 63)) {
      num.kind = Number::Kind::kSigned;
      num.i = static_cast<int64_t>(~v + 1);
    } else {
      num.kind = Number::Kind::kFloat;
      num.d = -static_cast<double>(v);
    }
    return num;
  }

  double d = 0;
  const std::from_chars_result r = std::from_chars(s, end, d);
  if (r.ec == std::errc::result_out_of_range) {
    if (DecimalOverflows(p, end)) {
      num.kind = Number::Kind::kOutOfRange;
      return num;
    }
    d = negative ? -0.0 : 0.0;
  } else if (std::isinf(d)) {
    num.kind = Number::Kind::kOutOfRange;
    return num;
  }
  num.kind = Number::Kind::kFloat;
  num.d = d;
  return num;
}

// The number as the nearest float32: integers directly, others through the
// double they read as.
inline float NumberToFloat(const Number& num) {
  switch (num.kind) {
    case Number::Kind::kUnsigned:
      return static_cast<float>(num.u);
    case Number::Kind::kSigned:
      return static_cast<float>(num.i);
    default:
      return static_cast<float>(num.d);
  }
}

// A double in plain decimal notation with at least one fractional digit
// ("384.0", "0.00000015", "100000000000000000000.0").
std::string DoubleWithDecimalPoint(double d) {
  if (!std::isfinite(d)) return std::isnan(d) ? "NaN" : (d < 0 ? "-inf" : "inf");
  char sci[40];
  char* const sci_end = std::to_chars(sci, sci + sizeof(sci), d, std::chars_format::scientific).ptr;
  const char* s = sci;
  std::string out;
  if (*s == '-') {
    out.push_back('-');
    ++s;
  }
  std::string digits(1, *s++);
  if (*s == '.') {
    ++s;
    while (*s != 'e') digits.push_back(*s++);
  }
  int exp = 0;
  std::from_chars(s + 1 + (s[1] == '+' ? 1 : 0), sci_end, exp);
  const int kk = exp + 1;
  const int n = static_cast<int>(digits.size());
  if (kk >= n) {
    out += digits;
    out.append(kk - n, '0');
    out += ".0";
  } else if (kk > 0) {
    out.append(digits, 0, kk);
    out += '.';
    out.append(digits, kk);
  } else {
    out += "0.";
    out.append(-kk, '0');
    out += digits;
  }
  return out;
}

std::string DescribeNumber(const Number& num) {
  switch (num.kind) {
    case Number::Kind::kUnsigned:
      return "integer `" + std::to_string(num.u) + "`";
    case Number::Kind::kSigned:
      return "integer `" + std::to_string(num.i) + "`";
    default:
      return "floating point `" + DoubleWithDecimalPoint(num.d) + "`";
  }
}

std::string DescribeString(std::string_view s) {
  std::string out = "string \"";
  for (char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += c;
    }
  }
  out += '"';
  return out;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(const char* data, size_t size) {
  const auto* s = reinterpret_cast<const unsigned char*>(data);
  size_t i = 0;
  while (i < size) {
    // Fast path over ASCII, eight bytes at a time.
    while (i + 8 <= size) {
      uint64_t word;
      std::memcpy(&word, s + i, 8);
      if (word & 0x8080808080808080ull) break;
      i += 8;
    }
    if (i >= size) break;
    const unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (i + len > size) return false;
    if (s[i + 1] < lo || s[i + 1] > hi) return false;
    for (size_t k = 2; k < len; ++k) {
      if (s[i + k] < 0x80 || s[i + k] > 0xBF) return false;
    }
    i += len;
  }
  return true;
}

inline bool IsJsonSpace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

constexpr double kExactPow10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                    1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                    1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Reads one JSON number from `s` into *out, converted like RawNumber does.
// Returns false, with an unspecified part consumed, for anything that is not
// a well-formed number of at most 39 characters in range; the caller then
// rewinds and lets the general parser report it.
// Moves the next byte of `s` into text[*len]; false once the 40-byte
// text is full.
template <typename Stream>
[[gnu::always_inline]] inline bool TakeInto(Stream& s, char (&text)[40], size_t* len) {
  if (*len == sizeof(text)) return false;
  text[(*len)++] = s.Take();
  return true;
}

template <typename Stream>
[[gnu::always_inline]] inline bool ScanFloat(Stream& s, float* out) {
  char text[40];
  size_t len = 0;
  char c = s.Peek();
  const bool negative = (c == '-');
  if (negative) {
    if (!TakeInto(s, text, &len)) return false;
    c = s.Peek();
  }
  uint64_t mant = 0;
  int exp10 = 0;
  bool exact = true;  // mant holds every nonzero digit
  bool integer = true;
  constexpr uint64_t kMantLimit = 100000000000000000ull;  // 10^17
  if (c == '0') {
    if (!TakeInto(s, text, &len)) return false;
    c = s.Peek();
    if (c >= '0' && c <= '9') return false;
  } else if (c >= '1' && c <= '9') {
    do {
      if (!TakeInto(s, text, &len)) return false;
      if (mant < kMantLimit) {
        mant = mant * 10 + static_cast<unsigned>(c - '0');
      } else {
        exact = false;
        ++exp10;
      }
      c = s.Peek();
    } while (c >= '0' && c <= '9');
  } else {
    return false;
  }
  if (c == '.') {
    integer = false;
    if (!TakeInto(s, text, &len)) return false;
    c = s.Peek();
    if (c < '0' || c > '9') return false;
    do {
      if (!TakeInto(s, text, &len)) return false;
      if (mant < kMantLimit) {
        mant = mant * 10 + static_cast<unsigned>(c - '0');
        --exp10;
      } else if (c != '0') {
        exact = false;
      }
      c = s.Peek();
    } while (c >= '0' && c <= '9');
  }
  if (c == 'e' || c == 'E') {
    integer = false;
    if (!TakeInto(s, text, &len)) return false;
    c = s.Peek();
    bool exp_negative = false;
    if (c == '+' || c == '-') {
      exp_negative = (c == '-');
      if (!TakeInto(s, text, &len)) return false;
      c = s.Peek();
    }
    if (c < '0' || c > '9') return false;
    int e = 0;
    do {
      if (!TakeInto(s, text, &len)) return false;
      if (e < 100000) e = e * 10 + (c - '0');
      c = s.Peek();
    } while (c >= '0' && c <= '9');
    exp10 += exp_negative ? -e : e;
  }
  if (!integer && exact && mant <= (uint64_t{1} << 53) && exp10 >= -22 && exp10 <= 22) {
    // Both operands are exact doubles, so the one rounding of the product or
    // quotient gives the correctly rounded double.
    double d = static_cast<double>(mant);
    d = exp10 < 0 ? d / kExactPow10[-exp10] : d * kExactPow10[exp10];
    *out = static_cast<float>(negative ? -d : d);
    return true;
  }
  const Number num = ClassifyNumber(text, len);
  if (num.kind == Number::Kind::kOutOfRange) return false;
  *out = NumberToFloat(num);
  return true;
}

template <typename Stream>
[[gnu::always_inline]] inline void SkipSpace(Stream& s) {
  while (IsJsonSpace(s.Peek())) s.Take();
}

// ---------------------------------------------------------------------------
// Reading: the document handler
// ---------------------------------------------------------------------------

// Deepest nesting of arrays and objects accepted anywhere in the document.
constexpr uint32_t kMaxDepth = 127;

// What the next value in the document is read as.
enum class Slot : uint8_t {
  kNone,  // an error was raised
  kRoot,
  kName,
  kVersion,
  kModel,
  kDimension,
  kEmbeddings,
  kDocIds,
  kModelId,
  kModelVersion,
  kSkip,      // the value of an unknown member
  kRow,       // one embedding, inside "embeddings"
  kRowValue,  // one element of an embedding
  kDocId,     // one entry of "docIds"
};

constexpr std::string_view kTopKeys[6] = {"name",      "version",    "model",
                                          "dimension", "embeddings", "docIds"};
constexpr std::string_view kModelKeys[2] = {"id", "version"};

const char* Expected(Slot slot) {
  switch (slot) {
    case Slot::kRoot:
      return "struct SerializedIndex";
    case Slot::kModel:
      return "struct ModelRef";
    case Slot::kDimension:
      return "u64";
    case Slot::kEmbeddings:
    case Slot::kDocIds:
    case Slot::kRow:
      return "a sequence";
    case Slot::kRowValue:
      return "f32";
    default:
      return "a string";
  }
}

// SAX handler that builds a SerializedIndex. Every callback returns false to
// stop the parse after recording an error message and position.
template <typename Stream>
class DocumentHandler {
 public:
  explicit DocumentHandler(Stream* stream) : stream_(stream) {}

  bool failed() const { return failed_; }
  const std::string& error() const { return error_; }
  size_t error_pos() const { return error_pos_; }
  SerializedIndex& index() { return index_; }

  bool Null() {
    switch (const Slot slot = NextSlot()) {
      case Slot::kNone:
        return false;
      case Slot::kSkip:
        return true;
      case Slot::kRowValue:
        // The writer emits null for NaN and the infinities; read it as NaN
        // so that such a document can be loaded again.
        row_->push_back(std::numeric_limits<float>::quiet_NaN());
        return true;
      default:
        return InvalidType("null", slot);
    }
  }

  bool Bool(bool b) {
    const Slot slot = NextSlot();
    if (slot == Slot::kNone) return false;
    if (slot == Slot::kSkip) return true;
    return InvalidType(b ? "boolean `true`" : "boolean `false`", slot);
  }

  // Numbers arrive as text (the parser runs with kParseNumbersAsStringsFlag).
  bool RawNumber(const char* str, rapidjson::SizeType length, bool) {
    const Slot slot = NextSlot();
    if (slot == Slot::kNone) return false;
    if (slot == Slot::kSkip) return true;
    const Number num = ClassifyNumber(str, length);
    if (num.kind == Number::Kind::kOutOfRange) return Fail("number out of range");
    if (slot == Slot::kRowValue) {
      row_->push_back(NumberToFloat(num));
      return true;
    }
    if (slot == Slot::kDimension) {
      if (num.kind == Number::Kind::kUnsigned) {
        index_.dimension = num.u;
        return true;
      }
      if (num.kind == Number::Kind::kSigned) {
        return Fail("invalid value: " + DescribeNumber(num) + ", expected u64");
      }
    }
    return InvalidType(DescribeNumber(num), slot);
  }

  // Only used without kParseNumbersAsStringsFlag.
  bool Int(int) { return Unreachable(); }
  bool Uint(unsigned) { return Unreachable(); }
  bool Int64(int64_t) { return Unreachable(); }
  bool Uint64(uint64_t) { return Unreachable(); }
  bool Double(double) { return Unreachable(); }

  bool String(const char* str, rapidjson::SizeType length, bool) {
    if (!IsValidUtf8(str, length)) return Fail("invalid unicode code point");
    const Slot slot = NextSlot();
    switch (slot) {
      case Slot::kNone:
        return false;
      case Slot::kSkip:
        return true;
      case Slot::kDocId:
        index_.doc_ids.emplace_back(str, length);
        return true;
      case Slot::kName:
        index_.name.assign(str, length);
        return true;
      case Slot::kVersion:
        index_.version.assign(str, length);
        return true;
      case Slot::kModelId:
        index_.model.id.assign(str, length);
        return true;
      case Slot::kModelVersion:
        index_.model.version.assign(str, length);
        return true;
      default:
        return InvalidType(DescribeString(std::string_view(str, length)), slot);
    }
  }

  bool StartObject() {
    if (!Enter()) return false;
    switch (const Slot slot = NextSlot()) {
      case Slot::kNone:
        return false;
      case Slot::kSkip:
        ++skip_depth_;
        return true;
      case Slot::kRoot:
        context_ = Context::kTopObject;
        return true;
      case Slot::kModel:
        model_parent_ = context_;
        context_ = Context::kModelObject;
        return true;
      default:
        return InvalidType("map", slot);
    }
  }

  bool Key(const char* str, rapidjson::SizeType length, bool) {
    if (!IsValidUtf8(str, length)) return Fail("invalid unicode code point");
    if (skip_depth_ > 0) return true;
    const std::string_view key(str, length);
    if (context_ == Context::kTopObject) {
      return MatchKey(key, kTopKeys, 6, Slot::kName, &top_seen_);
    }
    return MatchKey(key, kModelKeys, 2, Slot::kModelId, &model_seen_);
  }

  bool EndObject(rapidjson::SizeType) {
    --depth_;
    if (skip_depth_ > 0) {
      --skip_depth_;
      return true;
    }
    if (context_ == Context::kModelObject) {
      for (int k = 0; k < 2; ++k) {
        if (!(model_seen_ & (1u << k))) return MissingField(kModelKeys[k]);
      }
      context_ = model_parent_;
      return true;
    }
    for (int k = 0; k < 6; ++k) {
      if (!(top_seen_ & (1u << k))) return MissingField(kTopKeys[k]);
    }
    context_ = Context::kDone;
    return true;
  }

  bool StartArray() {
    if (!Enter()) return false;
    switch (const Slot slot = NextSlot()) {
      case Slot::kNone:
        return false;
      case Slot::kSkip:
        ++skip_depth_;
        return true;
      case Slot::kRoot:
        context_ = Context::kTopArray;
        return true;
      case Slot::kModel:
        model_parent_ = context_;
        context_ = Context::kModelArray;
        return true;
      case Slot::kEmbeddings:
        index_.embeddings.clear();
        list_ = List::kEmbeddings;
        return true;
      case Slot::kRow:
        row_ = &index_.embeddings.emplace_back();
        // Rows usually share one length: size each like the one before.
        row_->reserve(last_row_size_);
        list_ = List::kRow;
        ReadRowFast();
        return true;
      case Slot::kDocIds:
        index_.doc_ids.clear();
        list_ = List::kDocIds;
        return true;
      default:
        return InvalidType("sequence", slot);
    }
  }

  bool EndArray(rapidjson::SizeType) {
    --depth_;
    if (skip_depth_ > 0) {
      --skip_depth_;
      return true;
    }
    switch (list_) {
      case List::kRow:
        // A shorter row than the one before gives its spare room back.
        if (row_->size() < row_->capacity() / 2) row_->shrink_to_fit();
        last_row_size_ = row_->size();
        list_ = List::kEmbeddings;
        return true;
      case List::kEmbeddings:
      case List::kDocIds:
        list_ = List::kNone;
        return true;
      case List::kNone:
        break;
    }
    if (context_ == Context::kModelArray) {
      if (model_count_ < 2) return InvalidLength(model_count_, "struct ModelRef with 2 elements");
      context_ = model_parent_;
      return true;
    }
    if (top_count_ < 6) return InvalidLength(top_count_, "struct SerializedIndex with 6 elements");
    context_ = Context::kDone;
    return true;
  }

 private:
  enum class Context : uint8_t { kRoot, kTopObject, kTopArray, kModelObject, kModelArray, kDone };
  enum class List : uint8_t { kNone, kEmbeddings, kRow, kDocIds };

  // Decides what the value that is starting now is read as. Returns kNone
  // after recording an error.
  Slot NextSlot() {
    if (skip_depth_ > 0) return Slot::kSkip;
    switch (list_) {
      case List::kRow:
        return Slot::kRowValue;
      case List::kEmbeddings:
        return Slot::kRow;
      case List::kDocIds:
        return Slot::kDocId;
      case List::kNone:
        break;
    }
    switch (context_) {
      case Context::kRoot:
        return Slot::kRoot;
      case Context::kTopObject:
      case Context::kModelObject:
        return pending_;
      case Context::kTopArray:
        if (top_count_ == 6) break;
        return static_cast<Slot>(static_cast<int>(Slot::kName) + top_count_++);
      case Context::kModelArray:
        if (model_count_ == 2) break;
        return static_cast<Slot>(static_cast<int>(Slot::kModelId) + model_count_++);
      case Context::kDone:
        break;
    }
    Fail("trailing characters");
    return Slot::kNone;
  }

  // Called just after the "[" of an embedding row. When the row is a plain
  // list of numbers and nulls, reads it straight from the stream and stops
  // before its "]", which the parser then takes as the end of an (as far as
  // it knows) empty array. Otherwise rewinds to the "[" and leaves the row
  // to the parser, so every error is still found and worded by it.
  void ReadRowFast() {
    Stream& s = *stream_;
    s.Pin();
    if (!ScanRow(s)) {
      s.Rewind();
      row_->clear();
    }
    s.Unpin();
  }

  bool ScanRow(Stream& s) {
    SkipSpace(s);
    if (s.Peek() == ']') return true;
    for (;;) {
      if (s.Peek() == 'n') {
        s.Take();
        if (s.Take() != 'u' || s.Take() != 'l' || s.Take() != 'l') return false;
        row_->push_back(std::numeric_limits<float>::quiet_NaN());
      } else {
        float value;
        if (!ScanFloat(s, &value)) return false;
        row_->push_back(value);
      }
      SkipSpace(s);
      const char c = s.Peek();
      if (c == ']') return true;
      if (c != ',') return false;
      s.Take();
      SkipSpace(s);
    }
  }

  bool MatchKey(std::string_view key, const std::string_view* keys, int count, Slot first,
                unsigned* seen) {
    for (int k = 0; k < count; ++k) {
      if (key != keys[k]) continue;
      if (*seen & (1u << k)) return Fail("duplicate field `" + std::string(key) + "`");
      *seen |= 1u << k;
      pending_ = static_cast<Slot>(static_cast<int>(first) + k);
      return true;
    }
    pending_ = Slot::kSkip;
    return true;
  }

  bool Enter() {
    if (++depth_ > kMaxDepth) return Fail("recursion limit exceeded");
    return true;
  }

  bool InvalidType(const std::string& unexpected, Slot slot) {
    return Fail("invalid type: " + unexpected + ", expected " + Expected(slot));
  }
  bool InvalidLength(size_t found, const char* expected) {
    return Fail("invalid length " + std::to_string(found) + ", expected " + expected);
  }
  bool MissingField(std::string_view key) {
    return Fail("missing field `" + std::string(key) + "`");
  }
  bool Unreachable() { return Fail("unexpected number event"); }

  bool Fail(std::string message) {
    failed_ = true;
    error_ = std::move(message);
    error_pos_ = stream_->Tell();
    return false;
  }

  Stream* const stream_;
  SerializedIndex index_;
  std::vector<float>* row_ = nullptr;
  size_t last_row_size_ = 0;

  Context context_ = Context::kRoot;
  Context model_parent_ = Context::kRoot;
  List list_ = List::kNone;
  Slot pending_ = Slot::kNone;
  uint32_t depth_ = 0;
  uint32_t skip_depth_ = 0;
  unsigned top_seen_ = 0;
  unsigned model_seen_ = 0;
  size_t top_count_ = 0;
  size_t model_count_ = 0;

  bool failed_ = false;
  std::string error_;
  size_t error_pos_ = 0;
};

// Wording for the parser's own errors. `at` is the byte at the error
// position ('\0' at the end of the input), `before` the one before it,
// `at_end` whether the input ended, `after_comma` whether the last byte
// before the error position other than whitespace is a comma.
std::string SyntaxMessage(rapidjson::ParseErrorCode code, char at, char before, bool at_end,
                          bool after_comma) {
  using namespace rapidjson;
  switch (code) {
    case kParseErrorDocumentEmpty:
    case kParseErrorValueInvalid:
      if (before == '-') return "invalid number";
      if (before >= 'a' && before <= 'z') return "expected ident";  // a broken literal
      if (at_end) return "EOF while parsing a value";
      if (after_comma && (at == ']' || at == '}')) return "trailing comma";
      if (at == '-' || (at >= '0' && at <= '9')) return "invalid number";
      if (at == 't' || at == 'f' || at == 'n') return "expected ident";
      return "expected value";
    case kParseErrorObjectMissName:
      if (at_end) return "EOF while parsing an object";
      if (at == '}') return "trailing comma";
      return "key must be a string";
    case kParseErrorObjectMissColon:
      return at_end ? "EOF while parsing an object" : "expected `:`";
    case kParseErrorObjectMissCommaOrCurlyBracket:
      return at_end ? "EOF while parsing an object" : "expected `,` or `}`";
    case kParseErrorArrayMissCommaOrSquareBracket:
      return at_end ? "EOF while parsing a list" : "expected `,` or `]`";
    case kParseErrorStringUnicodeEscapeInvalidHex:
    case kParseErrorStringEscapeInvalid:
      if (at_end) return "EOF while parsing a string";
      if (static_cast<unsigned char>(at) < 0x20) {
        return "control character (\\u0000-\\u001F) found while parsing a string";
      }
      return "invalid escape";
    case kParseErrorStringUnicodeSurrogateInvalid:
      return "lone leading surrogate in hex escape";
    case kParseErrorStringMissQuotationMark:
      if (at_end) return "EOF while parsing a string";
      return "control character (\\u0000-\\u001F) found while parsing a string";
    case kParseErrorStringInvalidEncoding:
      return "invalid unicode code point";
    case kParseErrorNumberTooBig:
      return "number out of range";
    case kParseErrorNumberMissFraction:
    case kParseErrorNumberMissExponent:
      return at_end ? "EOF while parsing a value" : "invalid number";
    default:
      return "expected value";
  }
}

std::string WithPosition(const std::string& message, LineColumn lc) {
  return message + " at line " + std::to_string(lc.line) + " column " + std::to_string(lc.column);
}

template <typename Stream>
Result<SerializedIndex> ParseDocument(Stream& stream, size_t size) {
  constexpr unsigned kFlags =
      rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseStopWhenDoneFlag;
  DocumentHandler<Stream> handler(&stream);
  rapidjson::Reader reader;
  const rapidjson::ParseResult result = reader.Parse<kFlags>(stream, handler);

  if (result.IsError()) {
    if (handler.failed()) {
      return Status::InvalidArgument(
          WithPosition(handler.error(), stream.Position(handler.error_pos())));
    }
    size_t offset = std::min(result.Offset(), size);
    if (result.Code() == rapidjson::kParseErrorNumberTooBig) offset = stream.Tell();
    // The byte at the error position, and whether a comma precedes it.
    const size_t from = offset > 64 ? offset - 64 : 0;
    const std::string window = stream.Bytes(from, std::min(size, offset + 1));
    const char at = offset < size ? window.back() : '\0';
    bool after_comma = false;
    for (size_t k = offset - from; k-- > 0;) {
      if (IsJsonSpace(window[k])) continue;
      after_comma = (window[k] == ',');
      break;
    }
    const char before = offset > from ? window[offset - from - 1] : '\0';
    const bool at_end = (offset >= size);
    // The position counts the offending byte, except where the number
    // reader stopped inside an over-long exponent.
    const size_t pos =
        result.Code() == rapidjson::kParseErrorNumberTooBig ? offset : std::min(size, offset + 1);
    return Status::InvalidArgument(WithPosition(
        SyntaxMessage(result.Code(), at, before, at_end, after_comma), stream.Position(pos)));
  }

  // Only whitespace may follow the value.
  while (stream.Tell() < size && IsJsonSpace(stream.Peek())) stream.Take();
  if (stream.Tell() < size) {
    return Status::InvalidArgument(
        WithPosition("trailing characters", stream.Position(stream.Tell() + 1)));
  }
  return std::move(handler.index());
}

}  // namespace

std::string serialized_index_to_json(const SerializedIndex& index) {
  std::string out;
  out.reserve(serialized_index_json_bound(index));
  append_serialized_index_json(index, &out);
  return out;
}

size_t serialized_index_json_bound(const SerializedIndex& index) {
  // {"name":,"version":,"model":{"id":,"version":},"dimension":,
  //  "embeddings":[],"docIds":[]}
  constexpr size_t kFixed = sizeof(R"({"name":,"version":,"model":{"id":,"version":},"dimension":,)"
                                   R"("embeddings":[],"docIds":[]})") -
                            1;
  size_t size = kFixed + 20;  // dimension: at most 20 digits
  size += QuotedSize(index.name) + QuotedSize(index.version);
  size += QuotedSize(index.model.id) + QuotedSize(index.model.version);
  const std::array<uint8_t, 256>& bounds = FloatTextBounds();
  for (const std::vector<float>& row : index.embeddings) {
    size += 3;  // "[", "]" and a comma
    for (float value : row) {
      const uint32_t bits = std::bit_cast<uint32_t>(value);
      size += bounds[(bits >> 23) & 0xff] + (bits >> 31) + 1;
    }
  }
  for (const std::string& id : index.doc_ids) size += QuotedSize(id) + 1;
  return size;
}

namespace {

void WriteDocument(const SerializedIndex& index, ChunkWriter& w) {
  w.PutLiteral(R"({"name":)");
  w.PutString(index.name);
  w.PutLiteral(R"(,"version":)");
  w.PutString(index.version);
  w.PutLiteral(R"(,"model":{"id":)");
  w.PutString(index.model.id);
  w.PutLiteral(R"(,"version":)");
  w.PutString(index.model.version);
  w.PutLiteral(R"(},"dimension":)");
  {
    char* p = w.Reserve(20);
    w.Commit(std::to_chars(p, p + 20, index.dimension).ptr);
  }
  w.PutLiteral(R"(,"embeddings":[)");
  for (size_t r = 0; r < index.embeddings.size(); ++r) {
    if (r > 0) w.Put(',');
    w.Put('[');
    const std::vector<float>& row = index.embeddings[r];
    const size_t row_room = row.size() * (kMaxFloatText + 1) + kFloatReserve;
    if (row_room <= kWriteChunk) {
      // The whole row fits in one reservation.
      char* p = w.Reserve(row_room);
      for (size_t i = 0; i < row.size(); ++i) {
        if (i > 0) *p++ = ',';
        p = WriteFloat(p, row[i]);
      }
      w.Commit(p);
    } else {
      for (size_t i = 0; i < row.size(); ++i) {
        char* p = w.Reserve(kFloatReserve);
        if (i > 0) *p++ = ',';
        w.Commit(WriteFloat(p, row[i]));
      }
    }
    w.Put(']');
  }
  w.PutLiteral(R"(],"docIds":[)");
  for (size_t i = 0; i < index.doc_ids.size(); ++i) {
    if (i > 0) w.Put(',');
    w.PutString(index.doc_ids[i]);
  }
  w.PutLiteral("]}");
  w.Flush();
}

}  // namespace

void append_serialized_index_json(const SerializedIndex& index, std::string* out,
                                  JsonByteTransform encode) {
  ChunkWriter w(out, encode);
  WriteDocument(index, w);
}

size_t write_serialized_index_json(const SerializedIndex& index, char* out, size_t capacity,
                                   JsonByteTransform encode) {
  ChunkWriter w(out, capacity, encode);
  WriteDocument(index, w);
  return w.written();
}

Result<SerializedIndex> serialized_index_from_json(std::string_view json) {
  PlainStream stream(json);
  return ParseDocument(stream, json.size());
}

Result<SerializedIndex> serialized_index_from_json(std::string_view stored,
                                                   JsonByteTransform decode) {
  if (decode == nullptr) return serialized_index_from_json(stored);
  DecodingStream stream(stored, decode);
  return ParseDocument(stream, stored.size());
}

}  // namespace vesk
