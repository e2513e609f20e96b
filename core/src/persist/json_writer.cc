#include "persist/json_writer.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "persist/float_text.h"
#include "utils/page_advice.h"

namespace vesk {

namespace {

// Output is handed on in chunks of this many bytes.
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

// True for the bytes a JSON string holds as an escape.
inline bool NeedsEscape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

// The end of the first byte at or after `i` in `s` that needs an escape.
inline size_t PlainRunEnd(std::string_view s, size_t i) {
  while (i < s.size() && !NeedsEscape(static_cast<unsigned char>(s[i]))) ++i;
  return i;
}

// Writes the escape of `c` (NeedsEscape(c)) at `p`, EscapedSize(c) bytes;
// returns the end.
char* WriteEscape(char* p, unsigned char c) {
  static constexpr char kHex[] = "0123456789abcdef";
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
      std::memcpy(p, "u00", 3);
      p[3] = kHex[c >> 4];
      p[4] = kHex[c & 0xf];
      p += 5;
      break;
  }
  return p;
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
    Put('"');
    size_t i = 0;
    while (i < s.size()) {
      // Copy the longest run of bytes that need no escape, a chunk at a time.
      const size_t run = PlainRunEnd(s, i);
      while (i < run) {
        if (len_ == kWriteChunk) Flush();
        const size_t n = std::min(run - i, kWriteChunk - len_);
        std::memcpy(buf_ + len_, s.data() + i, n);
        len_ += n;
        i += n;
      }
      if (i == s.size()) break;
      Commit(WriteEscape(Reserve(6), static_cast<unsigned char>(s[i++])));
    }
    Put('"');
  }

  void PutFloatRow(std::span<const float> row) {
    const size_t row_room = row.size() * (kMaxFloatText + 1) + kFloatTextRoom;
    if (row_room <= kWriteChunk) {
      // The whole row fits in one reservation.
      Commit(write_float_list_text(Reserve(row_room), row));
      return;
    }
    for (size_t i = 0; i < row.size(); ++i) {
      char* p = Reserve(kFloatTextRoom);
      if (i > 0) *p++ = ',';
      Commit(write_float_text(p, row[i]));
    }
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
  static constexpr bool stopped() { return false; }

 private:
  std::string* const str_ = nullptr;
  char* const raw_ = nullptr;
  const size_t capacity_ = 0;
  const JsonByteTransform encode_;
  size_t written_ = 0;
  size_t len_ = 0;
  char buf_[kWriteChunk];
};

// Writes straight into the destination, passing the text through the
// optional encoder in pieces of about kWriteChunk bytes while they are
// still in cache. Formatting a row may store scratch bytes past the end of
// its text; where the destination's end is too close for that, the row's
// numbers go through a small buffer.
//
// The destination is either a caller's buffer or the reserved room of a
// string past its size: the string is then grown (and so zero-filled) a
// step at a time just ahead of the text, so the filling happens in cache
// rather than as a separate pass over the whole document; each step's pages
// are mapped in one call first (prefault_for_write()). A caller's buffer too
// small for the document stops the writing (stopped()), with no byte stored
// past its end.
class DirectWriter {
 public:
  DirectWriter(char* out, size_t capacity, JsonByteTransform encode)
      : begin_(out), end_(out + capacity), limit_(end_), p_(out), encoded_(out), encode_(encode) {}

  // Writes after the current size of *str, whose capacity is at least its
  // size plus `bound` (serialized_index_json_bound()).
  DirectWriter(std::string* str, size_t bound, JsonByteTransform encode)
      : DirectWriter(str->data() + str->size(), bound, encode) {
    str_ = str;
    str_start_ = str->size();
    end_ = begin_;
  }

  DirectWriter(const DirectWriter&) = delete;
  DirectWriter& operator=(const DirectWriter&) = delete;

  [[gnu::always_inline]] char* Reserve(size_t n) { return Room(n) ? p_ : sink_; }
  [[gnu::always_inline]] void Commit(char* end) {
    if (!stopped_) p_ = end;
  }
  void Put(char c) {
    if (Room(1)) *p_++ = c;
  }
  void PutLiteral(std::string_view text) {
    if (!Room(text.size())) return;
    std::memcpy(p_, text.data(), text.size());
    p_ += text.size();
  }

  void PutString(std::string_view s) {
    // Six bytes a byte at most: the exact size only where that may not fit.
    if (!Fits(6 * s.size() + 2) && !Room(QuotedSize(s))) return;
    *p_++ = '"';
    size_t i = 0;
    while (i < s.size()) {
      const size_t run = PlainRunEnd(s, i);
      std::memcpy(p_, s.data() + i, run - i);
      p_ += run - i;
      i = run;
      if (i == s.size()) break;
      p_ = WriteEscape(p_, static_cast<unsigned char>(s[i++]));
    }
    *p_++ = '"';
    EncodeDone();
  }

  void PutFloatRow(std::span<const float> row) {
    const size_t row_room = row.size() * (kMaxFloatText + 1) + kFloatTextRoom;
    if (Fits(row_room)) {
      p_ = write_float_list_text(p_, row);
    } else {
      // Near the end: each number through a small buffer.
      for (size_t i = 0; i < row.size(); ++i) {
        char text[kFloatTextRoom + 1];
        char* t = text;
        if (i > 0) *t++ = ',';
        t = write_float_text(t, row[i]);
        const size_t n = static_cast<size_t>(t - text);
        if (!Room(n)) return;
        std::memcpy(p_, text, n);
        p_ += n;
      }
    }
    EncodeDone();
  }

  // Encodes what is still plain.
  void Flush() {
    if (encode_ != nullptr && p_ != encoded_) {
      encode_(encoded_, static_cast<size_t>(p_ - encoded_), static_cast<size_t>(encoded_ - begin_));
    }
    encoded_ = p_;
  }

  size_t written() const { return static_cast<size_t>(p_ - begin_); }

  // Whether a caller's buffer turned out too small.
  bool stopped() const { return stopped_; }

  // A string destination is cut back to the text.
  void Finish() {
    if (str_ != nullptr) str_->resize(str_start_ + written());
  }

 private:
  // Bytes a string destination grows by at a time.
  static constexpr size_t kGrowStep = 256 * 1024;

  // Whether n bytes at p_ are writable, growing a string destination as far
  // as it reaches; false once stopped.
  [[gnu::always_inline]] bool Fits(size_t n) {
    if (static_cast<size_t>(end_ - p_) >= n && !stopped_) [[likely]] {
      return true;
    }
    return !stopped_ && Grow(n);
  }
  // Fits(n), stopping the writing when it fails.
  [[gnu::always_inline]] bool Room(size_t n) {
    if (Fits(n)) [[likely]] {
      return true;
    }
    stopped_ = true;
    return false;
  }
  [[gnu::noinline]] bool Grow(size_t n) {
    if (end_ == limit_) return false;
    const size_t want = std::max(written() + n, static_cast<size_t>(end_ - begin_) + kGrowStep);
    const size_t size = std::min(want, static_cast<size_t>(limit_ - begin_));
    prefault_for_write(end_, static_cast<size_t>(begin_ + size - end_));
    str_->resize(str_start_ + size);
    end_ = begin_ + size;
    return static_cast<size_t>(end_ - p_) >= n;
  }

  // Encodes the text written since the last call once it fills a chunk.
  [[gnu::always_inline]] void EncodeDone() {
    if (static_cast<size_t>(p_ - encoded_) >= kWriteChunk) Flush();
  }

  char* const begin_;
  char* end_;          // of the writable bytes
  char* const limit_;  // of the destination
  char* p_;
  char* encoded_;
  const JsonByteTransform encode_;
  std::string* str_ = nullptr;
  size_t str_start_ = 0;
  bool stopped_ = false;
  char sink_[32];  // what Reserve() gives once stopped
};

template <typename Writer>
void WriteDocument(const SerializedIndex& index, Writer& w) {
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
    if (w.stopped()) return;
    if (r > 0) w.Put(',');
    w.Put('[');
    w.PutFloatRow(index.embeddings[r]);
    w.Put(']');
  }
  w.PutLiteral(R"(],"docIds":[)");
  for (size_t i = 0; i < index.doc_ids.size(); ++i) {
    if (w.stopped()) return;
    if (i > 0) w.Put(',');
    w.PutString(index.doc_ids[i]);
  }
  w.PutLiteral("]}");
  w.Flush();
}

}  // namespace

std::string serialized_index_to_json(const SerializedIndex& index) {
  std::string out;
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
  for (const std::vector<float>& row : index.embeddings) {
    size += 3 + float_list_text_bound(row);  // "[", "]" and a comma
  }
  for (const std::string& id : index.doc_ids) size += QuotedSize(id) + 1;
  return size;
}

void append_serialized_index_json(const SerializedIndex& index, std::string* out,
                                  JsonByteTransform encode) {
  const size_t bound = serialized_index_json_bound(index);
  out->reserve(out->size() + bound);
  DirectWriter w(out, bound, encode);
  WriteDocument(index, w);
  w.Finish();
}

size_t write_serialized_index_json(const SerializedIndex& index, char* out, size_t capacity,
                                   JsonByteTransform encode) {
  {
    // Straight into `out` (sized from the bound, as callers do); should it
    // be too small, the document is written again through a buffer, which
    // counts its full length.
    DirectWriter w(out, capacity, encode);
    WriteDocument(index, w);
    if (!w.stopped()) return w.written();
  }
  ChunkWriter w(out, capacity, encode);
  WriteDocument(index, w);
  return w.written();
}

}  // namespace vesk
