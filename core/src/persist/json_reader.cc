#include "persist/json_reader.h"

#include <rapidjson/reader.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "persist/float_text.h"
#include "utils/float_format.h"
#include "utils/utf8.h"

namespace vesk {

namespace {

// ---------------------------------------------------------------------------
// Input streams
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

  // The bytes from the read position on that can be read directly, and
  // moving past n of them.
  std::string_view Ahead() const { return std::string_view(cur_, end_ - cur_); }
  void Skip(size_t n) { cur_ += n; }

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

  // The decoded bytes from the read position on (up to the end of the
  // current chunk), and moving past n of them.
  std::string_view Ahead() const { return std::string_view(cur_, end_ - cur_); }
  void Skip(size_t n) { cur_ += n; }

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
// Numbers and strings
// ---------------------------------------------------------------------------

// A number as type errors name it: "integer `5`", "floating point `384.0`".
std::string DescribeNumber(const DecimalNumber& num) {
  switch (num.kind) {
    case DecimalNumber::Kind::kUnsigned:
      return "integer `" + std::to_string(num.u) + "`";
    case DecimalNumber::Kind::kSigned:
      return "integer `" + std::to_string(num.i) + "`";
    default:
      return "floating point `" + format_double_with_fraction(num.d) + "`";
  }
}

// A string as type errors name it: quoted, with quotes, backslashes, line
// breaks and tabs escaped.
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

inline bool IsJsonSpace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// Moves the next byte of `s` into text[*len]; false once the 40-byte
// text is full.
template <typename Stream>
[[gnu::always_inline]] inline bool TakeInto(Stream& s, char (&text)[40], size_t* len) {
  if (*len == sizeof(text)) return false;
  text[(*len)++] = s.Take();
  return true;
}

// Reads one JSON number from `s` into *out, converted like RawNumber does.
// Returns false, with an unspecified part consumed, for anything that is not
// a well-formed number of at most 39 characters in range; the caller then
// rewinds and lets the general parser report it.
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
  double d;
  if (!integer && exact && exact_decimal_to_double(mant, exp10, &d)) {
    *out = static_cast<float>(negative ? -d : d);
    return true;
  }
  const DecimalNumber num = parse_decimal_number(std::string_view(text, len));
  if (num.kind == DecimalNumber::Kind::kOutOfRange) return false;
  *out = decimal_number_to_float(num);
  return true;
}

template <typename Stream>
[[gnu::always_inline]] inline void SkipSpace(Stream& s) {
  while (IsJsonSpace(s.Peek())) s.Take();
}

// ---------------------------------------------------------------------------
// The document handler
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
    const DecimalNumber num = parse_decimal_number(std::string_view(str, length));
    if (num.kind == DecimalNumber::Kind::kOutOfRange) return Fail("number out of range");
    if (slot == Slot::kRowValue) {
      row_->push_back(decimal_number_to_float(num));
      return true;
    }
    if (slot == Slot::kDimension) {
      if (num.kind == DecimalNumber::Kind::kUnsigned) {
        index_.dimension = num.u;
        return true;
      }
      if (num.kind == DecimalNumber::Kind::kSigned) {
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
    if (!is_valid_utf8(std::string_view(str, length))) return Fail("invalid unicode code point");
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
    if (!is_valid_utf8(std::string_view(str, length))) return Fail("invalid unicode code point");
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
      if (ScanNumbersQuick(s)) return true;
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

  // Reads elements of the common form "number," straight from the
  // stream's buffer while it holds enough bytes. Returns true after a last
  // number followed by "]" (the stream left at the "]"), false at the
  // first element it cannot read so (the stream left at its start).
  bool ScanNumbersQuick(Stream& s) {
    const std::string_view ahead = s.Ahead();
    if (ahead.size() <= kQuickNumberRoom) return false;
    const char* const begin = ahead.data();
    const char* const limit = begin + ahead.size() - kQuickNumberRoom;
    const char* p = begin;
    bool closed = false;
    float values[kQuickListGroup];
    for (;;) {
      const size_t n = scan_float_list_quick(p, limit, values, &p, &closed);
      row_->insert(row_->end(), values, values + n);
      if (closed || n < kQuickListGroup) break;
    }
    s.Skip(static_cast<size_t>(p - begin));
    return closed;
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
