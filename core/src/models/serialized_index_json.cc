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

// Longest text of one finite float: "-0.00000123456789" (17 bytes).
constexpr size_t kMaxFloatText = 17;
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

// Writes `value` at p and returns the end. Finite values are written as the
// shortest decimal that reads back as the same float32; non-finite as null.
inline char* WriteFloat(char* p, float value) {
  if (!std::isfinite(value)) {
    std::memcpy(p, "null", 4);
    return p + 4;
  }
  // Shortest round-trip digits in scientific form: d[.ddd]e(+|-)XX.
  char sci[32];
  char* const sci_end =
      std::to_chars(sci, sci + sizeof(sci), value, std::chars_format::scientific).ptr;
  const char* s = sci;
  if (*s == '-') {
    *p++ = '-';
    ++s;
  }
  char digits[12];
  int n = 0;
  digits[n++] = *s++;
  if (*s == '.') {
    ++s;
    while (*s != 'e') digits[n++] = *s++;
  }
  ++s;  // 'e'
  const bool exp_negative = (*s++ == '-');
  int exp = 0;
  while (s < sci_end) exp = exp * 10 + (*s++ - '0');
  if (exp_negative) exp = -exp;
  const int kk = exp + 1;  // value = 0.d1..dn * 10^kk

  if (kk >= n && kk <= 13) {
    std::memcpy(p, digits, n);
    p += n;
    std::memset(p, '0', kk - n);
    p += kk - n;
    *p++ = '.';
    *p++ = '0';
  } else if (kk > 0 && kk <= 13) {
    std::memcpy(p, digits, kk);
    p += kk;
    *p++ = '.';
    std::memcpy(p, digits + kk, n - kk);
    p += n - kk;
  } else if (kk > -6 && kk <= 0) {
    *p++ = '0';
    *p++ = '.';
    std::memset(p, '0', -kk);
    p += -kk;
    std::memcpy(p, digits, n);
    p += n;
  } else {
    *p++ = digits[0];
    if (n > 1) {
      *p++ = '.';
      std::memcpy(p, digits + 1, n - 1);
      p += n - 1;
    }
    *p++ = 'e';
    p = std::to_chars(p, p + 8, kk - 1).ptr;
  }
  return p;
}

// Accumulates output in a small buffer and appends it to the destination
// string a chunk at a time, passing each chunk through the optional encoder.
class ChunkWriter {
 public:
  ChunkWriter(std::string* out, JsonByteTransform encode)
      : out_(out), encode_(encode), start_(out->size()) {}

  ChunkWriter(const ChunkWriter&) = delete;
  ChunkWriter& operator=(const ChunkWriter&) = delete;

  // Returns a pointer to at least n (<= kWriteChunk) writable bytes; the
  // caller hands back the end of what it wrote to Commit().
  char* Reserve(size_t n) {
    if (len_ + n > kWriteChunk) Flush();
    return buf_ + len_;
  }
  void Commit(char* end) { len_ = static_cast<size_t>(end - buf_); }

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
    if (encode_ != nullptr) encode_(buf_, len_, out_->size() - start_);
    out_->append(buf_, len_);
    len_ = 0;
  }

 private:
  std::string* const out_;
  const JsonByteTransform encode_;
  const size_t start_;  // where the document begins in *out_
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
class PlainStream {
 public:
  typedef char Ch;

  explicit PlainStream(std::string_view data)
      : begin_(data.data()), cur_(data.data()), end_(data.data() + data.size()) {}

  Ch Peek() const { return cur_ != end_ ? *cur_ : '\0'; }
  Ch Take() { return cur_ != end_ ? *cur_++ : '\0'; }
  size_t Tell() const { return static_cast<size_t>(cur_ - begin_); }

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
};

// Input stream over encoded bytes: decodes them a chunk at a time into a
// small buffer. Reads '\0' past the end.
class DecodingStream {
 public:
  typedef char Ch;

  DecodingStream(std::string_view stored, JsonByteTransform decode)
      : stored_(stored), decode_(decode), buf_(new char[kReadChunk]) {
    cur_ = end_ = buf_.get();
  }

  Ch Peek() const { return cur_ != end_ ? *cur_ : Refill(); }
  Ch Take() {
    const Ch c = Peek();
    if (cur_ != end_) ++cur_;
    return c;
  }
  size_t Tell() const { return base_ + static_cast<size_t>(cur_ - buf_.get()); }

  LineColumn Position(size_t pos) const {
    LineColumn lc;
    std::unique_ptr<char[]> tmp(new char[kReadChunk]);
    for (size_t at = 0; at < pos; at += kReadChunk) {
      const size_t n = std::min(kReadChunk, pos - at);
      std::memcpy(tmp.get(), stored_.data() + at, n);
      decode_(tmp.get(), n, at);
      AdvanceLineColumn(tmp.get(), n, &lc);
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
  // Decodes the next chunk; returns its first byte, or '\0' at the end.
  Ch Refill() const {
    if (next_ >= stored_.size()) return '\0';
    const size_t n = std::min(kReadChunk, stored_.size() - next_);
    std::memcpy(buf_.get(), stored_.data() + next_, n);
    decode_(buf_.get(), n, next_);
    base_ = next_;
    next_ += n;
    cur_ = buf_.get();
    end_ = buf_.get() + n;
    return *cur_;
  }

  const std::string_view stored_;
  const JsonByteTransform decode_;
  std::unique_ptr<char[]> buf_;
  mutable const char* cur_;
  mutable const char* end_;
  mutable size_t base_ = 0;  // document position of buf_[0]
  mutable size_t next_ = 0;  // document position of the next chunk
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
  explicit DocumentHandler(const Stream* stream) : stream_(stream) {}

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
        list_ = List::kRow;
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

  const Stream* const stream_;
  SerializedIndex index_;
  std::vector<float>* row_ = nullptr;

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
// position ('\0' at the end of the input), `at_end` whether the input ended.
std::string SyntaxMessage(rapidjson::ParseErrorCode code, char at, bool at_end, bool after_comma,
                          bool after_minus) {
  using namespace rapidjson;
  switch (code) {
    case kParseErrorDocumentEmpty:
    case kParseErrorValueInvalid:
      if (after_minus) return "invalid number";
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

inline bool IsJsonSpace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

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
    const bool after_minus = offset > from && window[offset - from - 1] == '-';
    const bool at_end = (offset >= size);
    // The position counts the offending byte, except where the number
    // reader stopped inside an over-long exponent.
    const size_t pos =
        result.Code() == rapidjson::kParseErrorNumberTooBig ? offset : std::min(size, offset + 1);
    return Status::InvalidArgument(WithPosition(
        SyntaxMessage(result.Code(), at, at_end, after_comma, after_minus), stream.Position(pos)));
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

void append_serialized_index_json(const SerializedIndex& index, std::string* out,
                                  JsonByteTransform encode) {
  ChunkWriter w(out, encode);
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
    for (size_t i = 0; i < row.size(); ++i) {
      char* p = w.Reserve(kMaxFloatText + 1);
      if (i > 0) *p++ = ',';
      w.Commit(WriteFloat(p, row[i]));
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
