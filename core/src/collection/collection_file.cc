#include "collection/collection_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <optional>
#include <utility>
#include <variant>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "utils/utf8.h"

namespace vesk {

namespace {

using ErrorKind = CollectionFile::ErrorKind;

constexpr size_t kHeaderBytes = 64;
constexpr size_t kEntryBytes = 32;
constexpr size_t kAlign = 64;
constexpr size_t kPage = 4096;
constexpr size_t kB = EmbeddingStore::kBlock;
// More sections than any version writes means a broken table.
constexpr uint32_t kMaxSections = 64;
// Bounds that keep every size computation below far from overflow.
constexpr uint64_t kMaxDim = uint64_t{1} << 24;
constexpr uint64_t kMaxDocuments = uint64_t{1} << 36;

enum Section : uint32_t {
  kSettings = 1,    // u64 dim, u64 documents, u64 name length, language name
  kIds = 2,         // u64 count, u64 offsets[count + 1] (from 0, ascending), bytes
  kTexts = 3,       // as kIds
  kEmbedded = 4,    // u64 words[(documents + 63) / 64]: bit set = has an embedding
  kEmbeddings = 5,  // float blocks[(documents + 15) / 16][dim][16], lanes past the end 0
  kMetadata = 6,    // u64 columns; per column: u64 key length, key, u8 tag per
                    // document (0 none, 1 string, 2 int64, 3 double, 4 bool),
                    // then the values present in document order (string: u64
                    // length + bytes; int64, double: 8 bytes; bool: 1 byte)
  kKeyword = 7,     // optional (empty: built from the texts): u64 indexed documents,
                    // u64 documents, u32 tokens per document, then per term:
                    // u64 key length, key, u64 postings, (u32 document, u32 tf)
                    // per posting in document order
  kEmbedder = 8,    // optional (absent: none): the embedder's name, UTF-8
};
// Sections every file has; kKeyword may be empty.
constexpr uint32_t kRequiredKinds = 6;
constexpr uint32_t kSectionKinds = 8;
static_assert(sizeof(Posting) == 8, "postings are saved as two u32");

const char* section_name(uint32_t kind) {
  switch (kind) {
    case kSettings:
      return "settings";
    case kIds:
      return "ids";
    case kTexts:
      return "texts";
    case kEmbedded:
      return "embedding flags";
    case kEmbeddings:
      return "embeddings";
    case kMetadata:
      return "metadata";
    case kKeyword:
      return "keyword";
    case kEmbedder:
      return "embedder";
  }
  return "unknown";
}

// Integers are stored little-endian, the byte order of every platform this
// code builds for; memcpy keeps unaligned accesses defined.
void put_u32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
void put_u64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }
uint32_t get_u32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
uint64_t get_u64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

size_t round_up(size_t n, size_t a) { return (n + a - 1) / a * a; }

Status fail(ErrorKind kind, ErrorKind* error, std::string message) {
  if (error != nullptr) *error = kind;
  return Status::InvalidArgument(std::move(message));
}

std::string system_reason(int err) { return std::strerror(err); }

// The checksum over the header (but its own field, bytes 24..31) and the
// section table.
uint64_t header_checksum(const uint8_t* header, const uint8_t* table, size_t table_bytes) {
  XXH3_state_t state;
  XXH3_64bits_reset(&state);
  XXH3_64bits_update(&state, header, 24);
  XXH3_64bits_update(&state, header + 32, kHeaderBytes - 32);
  XXH3_64bits_update(&state, table, table_bytes);
  return XXH3_64bits_digest(&state);
}

struct Entry {
  uint32_t kind = 0;
  uint64_t offset = 0;
  uint64_t size = 0;
  uint64_t checksum = 0;
};

// Buffered writing of sections to a file descriptor, with each section's
// checksum. Remembers the first failure; later calls do nothing.
class SectionWriter {
 public:
  SectionWriter(int fd, uint64_t start) : fd_(fd), pos_(start) {
    buffer_.reserve(kBuffer);
    XXH3_64bits_reset(&state_);
  }

  bool ok() const { return err_ == 0; }
  int error() const { return err_; }

  void begin(uint32_t kind, size_t align) {
    const size_t padded = round_up(pos_ + buffer_.size(), align);
    buffer_.resize(buffer_.size() + (padded - pos_ - buffer_.size()), 0);
    XXH3_64bits_reset(&state_);
    entry_ = Entry{kind, padded, 0, 0};
  }
  void write(const void* data, size_t n) {
    if (n == 0) return;
    XXH3_64bits_update(&state_, data, n);
    entry_.size += n;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    if (buffer_.size() + n <= kBuffer) {
      buffer_.insert(buffer_.end(), p, p + n);
      return;
    }
    flush();
    if (n >= kBuffer) {
      write_all(p, n);
    } else {
      buffer_.insert(buffer_.end(), p, p + n);
    }
  }
  void u64(uint64_t v) { write(&v, 8); }
  void u8(uint8_t v) { write(&v, 1); }
  Entry end() {
    entry_.checksum = XXH3_64bits_digest(&state_);
    return entry_;
  }
  void flush() {
    write_all(buffer_.data(), buffer_.size());
    buffer_.clear();
  }
  uint64_t end_offset() const { return pos_ + buffer_.size(); }

 private:
  static constexpr size_t kBuffer = 1 << 20;

  void write_all(const uint8_t* p, size_t n) {
    while (n > 0 && err_ == 0) {
      const ssize_t done = ::write(fd_, p, n);
      if (done < 0) {
        if (errno == EINTR) continue;
        err_ = errno;
        return;
      }
      p += done;
      n -= static_cast<size_t>(done);
      pos_ += static_cast<uint64_t>(done);
    }
  }

  int fd_;
  uint64_t pos_;  // file offset of buffer_[0]
  std::vector<uint8_t> buffer_;
  XXH3_state_t state_;
  Entry entry_;
  int err_ = 0;
};

// Bounds-checked reading of one section.
class SectionReader {
 public:
  SectionReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  size_t left() const { return size_ - pos_; }
  bool u64(uint64_t* v) {
    if (left() < 8) return false;
    *v = get_u64(data_ + pos_);
    pos_ += 8;
    return true;
  }
  bool u8(uint8_t* v) {
    if (left() < 1) return false;
    *v = data_[pos_++];
    return true;
  }
  bool bytes(uint64_t n, const uint8_t** p) {
    if (left() < n) return false;
    *p = data_ + pos_;
    pos_ += n;
    return true;
  }
  bool skip_to(size_t align) {
    const size_t to = round_up(pos_, align);
    if (to > size_) return false;
    pos_ = to;
    return true;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Writes `count` strings: count, offsets, bytes.
template <typename Get>
void write_strings(SectionWriter& w, size_t count, Get&& get) {
  w.u64(count);
  uint64_t offset = 0;
  w.u64(offset);
  for (size_t i = 0; i < count; ++i) {
    offset += get(i).size();
    w.u64(offset);
  }
  for (size_t i = 0; i < count; ++i) {
    const std::string& s = get(i);
    w.write(s.data(), s.size());
  }
}

// Reads `count` strings written by write_strings into views of the section.
bool read_strings(const uint8_t* data, size_t size, uint64_t count,
                  std::vector<std::string_view>* out) {
  if (size < 16 || count > (size - 16) / 8) return false;
  if (get_u64(data) != count) return false;
  const uint8_t* offsets = data + 8;
  const uint8_t* blob = offsets + (count + 1) * 8;
  const uint64_t blob_size = size - 8 - (count + 1) * 8;
  if (get_u64(offsets) != 0 || get_u64(offsets + count * 8) != blob_size) return false;
  out->clear();
  out->reserve(count);
  uint64_t prev = 0;
  for (uint64_t i = 1; i <= count; ++i) {
    const uint64_t next = get_u64(offsets + i * 8);
    if (next < prev || next > blob_size) return false;
    out->emplace_back(reinterpret_cast<const char*>(blob + prev), next - prev);
    prev = next;
  }
  return true;
}

// Creates a unique temporary file beside `path`.
int create_temporary(const std::string& path, std::string* name) {
  static std::atomic<uint64_t> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    *name = path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
    const int fd = ::open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

std::string folder_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

Status CollectionFile::save(const Collection& col, const std::string& path, ErrorKind* error) {
  return save(col, path, SaveOptions{}, error);
}

Status CollectionFile::save(const Collection& col, const std::string& path,
                            const SaveOptions& options, ErrorKind* error) {
  if (error != nullptr) *error = ErrorKind::kNone;
  if (options.embedder.size() > kMaxEmbedderName || !is_valid_utf8(options.embedder)) {
    return fail(
        ErrorKind::kFormat, error,
        "an embedder name must be UTF-8 of at most " + std::to_string(kMaxEmbedderName) + " bytes");
  }
  std::string temporary;
  const int fd = create_temporary(path, &temporary);
  if (fd < 0) {
    return fail(ErrorKind::kIo, error,
                "cannot create a file beside '" + path + "': " + system_reason(errno));
  }
  auto abandon = [&](const std::string& what, int err) {
    ::close(fd);
    ::unlink(temporary.c_str());
    return fail(ErrorKind::kIo, error,
                "cannot " + what + " '" + temporary + "': " + system_reason(err));
  };

  std::vector<Entry> entries;
  const size_t table_bytes = (kSectionKinds - (options.embedder.empty() ? 1 : 0)) * kEntryBytes;
  SectionWriter w(fd, 0);
  {
    auto lock = col.read_lock();
    const DocumentTable& docs = col.docs_;
    std::vector<size_t> live;
    live.reserve(docs.live_count());
    docs.live().for_each_set([&](size_t slot) { live.push_back(slot); });
    const size_t n = live.size();
    const size_t dim = col.dim_;

    // Room for the header and the table, written last.
    std::vector<uint8_t> zeros(kHeaderBytes + table_bytes, 0);
    w.write(zeros.data(), zeros.size());

    w.begin(kSettings, kAlign);
    w.u64(dim);
    w.u64(n);
    const std::string language(Collection::language_names()[static_cast<size_t>(col.language_)]);
    w.u64(language.size());
    w.write(language.data(), language.size());
    entries.push_back(w.end());

    w.begin(kIds, kAlign);
    write_strings(w, n, [&](size_t i) -> const std::string& { return docs[live[i]].id; });
    entries.push_back(w.end());

    w.begin(kTexts, kAlign);
    write_strings(w, n, [&](size_t i) -> const std::string& { return docs[live[i]].text; });
    entries.push_back(w.end());

    w.begin(kEmbedded, kAlign);
    {
      std::vector<uint64_t> words((n + 63) / 64, 0);
      for (size_t i = 0; i < n; ++i) {
        if (col.embedded_.test(live[i])) words[i / 64] |= uint64_t{1} << (i % 64);
      }
      w.write(words.data(), words.size() * 8);
    }
    entries.push_back(w.end());

    w.begin(kEmbeddings, kPage);
    const EmbeddingStore& store = col.embeddings_;
    if (n > 0 && live.size() == store.size()) {
      // No dead slots: the runs are the blocks to save.
      for (size_t r = 0; r < store.run_count(); ++r) {
        const EmbeddingStore::BlockRun run = store.run(r);
        w.write(run.data, run.block_count * kB * dim * sizeof(float));
      }
    } else if (n > 0) {
      std::vector<float> block(kB * dim);
      for (size_t first = 0; first < n; first += kB) {
        std::fill(block.begin(), block.end(), 0.0f);
        for (size_t j = 0; j < kB && first + j < n; ++j) {
          const std::vector<float> values = store.get(live[first + j]);
          for (size_t d = 0; d < dim; ++d) block[d * kB + j] = values[d];
        }
        w.write(block.data(), block.size() * sizeof(float));
      }
    }
    entries.push_back(w.end());

    w.begin(kMetadata, kAlign);
    const std::span<const MetadataColumns::Column> columns = col.metadata_.columns();
    w.u64(columns.size());
    std::vector<uint8_t> tags(n);
    for (const MetadataColumns::Column& column : columns) {
      w.u64(column.key.size());
      w.write(column.key.data(), column.key.size());
      for (size_t i = 0; i < n; ++i) {
        tags[i] = column.kinds[live[i]];
      }
      w.write(tags.data(), n);
      for (size_t i = 0; i < n; ++i) {
        const uint64_t bits = column.scalars[live[i]];
        switch (tags[i]) {
          case MetadataColumns::Column::kString: {
            const std::string& text = column.strings[live[i]];
            w.u64(text.size());
            w.write(text.data(), text.size());
            break;
          }
          case MetadataColumns::Column::kInt:
          case MetadataColumns::Column::kDouble:
            w.write(&bits, 8);
            break;
          case MetadataColumns::Column::kBool:
            w.u8(bits != 0 ? 1 : 0);
            break;
          default:
            break;
        }
      }
    }
    entries.push_back(w.end());

    w.begin(kKeyword, kAlign);
    if (col.keyword_index_) {
      const KeywordIndex& keyword = *col.keyword_index_;
      std::vector<uint32_t> position(keyword.size(), UINT32_MAX);
      for (size_t i = 0; i < n && live[i] < position.size(); ++i) {
        position[live[i]] = static_cast<uint32_t>(i);
      }
      std::vector<uint32_t> lengths(n);
      for (size_t i = 0; i < n; ++i) lengths[i] = keyword.lengths()[live[i]];
      w.u64(keyword.indexed_count());
      w.u64(n);
      w.write(lengths.data(), n * sizeof(uint32_t));
      std::vector<Posting> renumbered;
      keyword.for_each_term([&](std::string_view key, std::span<const Posting> postings) {
        renumbered.clear();
        for (const Posting& p : postings) {
          if (position[p.slot] != UINT32_MAX) renumbered.push_back({position[p.slot], p.tf});
        }
        if (renumbered.empty()) return;
        w.u64(key.size());
        w.write(key.data(), key.size());
        w.u64(renumbered.size());
        w.write(renumbered.data(), renumbered.size() * sizeof(Posting));
      });
    }
    entries.push_back(w.end());

    if (!options.embedder.empty()) {
      w.begin(kEmbedder, kAlign);
      w.write(options.embedder.data(), options.embedder.size());
      entries.push_back(w.end());
    }
  }
  w.flush();
  if (!w.ok()) return abandon("write", w.error());

  // Header and table.
  std::vector<uint8_t> head(kHeaderBytes + table_bytes, 0);
  std::memcpy(head.data(), kMagic, 8);
  put_u32(head.data() + 8, kVersion);
  put_u32(head.data() + 12, static_cast<uint32_t>(entries.size()));
  put_u64(head.data() + 16, w.end_offset());
  for (size_t i = 0; i < entries.size(); ++i) {
    uint8_t* e = head.data() + kHeaderBytes + i * kEntryBytes;
    put_u32(e, entries[i].kind);
    put_u64(e + 8, entries[i].offset);
    put_u64(e + 16, entries[i].size);
    put_u64(e + 24, entries[i].checksum);
  }
  put_u64(head.data() + 24, header_checksum(head.data(), head.data() + kHeaderBytes, table_bytes));
  for (size_t done = 0; done < head.size();) {
    const ssize_t n = ::pwrite(fd, head.data() + done, head.size() - done, done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return abandon("write", errno);
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) return abandon("flush", errno);
  if (::close(fd) != 0) {
    const int err = errno;
    ::unlink(temporary.c_str());
    return fail(ErrorKind::kIo, error, "cannot close '" + temporary + "': " + system_reason(err));
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(temporary.c_str());
    return fail(ErrorKind::kIo, error,
                "cannot rename '" + temporary + "' to '" + path + "': " + system_reason(err));
  }
  // The rename lasts only once the folder is on disk.
  const std::string folder = folder_of(path);
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    return fail(ErrorKind::kIo, error, "cannot open '" + folder + "': " + system_reason(errno));
  }
  const int synced = ::fsync(dir);
  const int err = errno;
  ::close(dir);
  if (synced != 0) {
    return fail(ErrorKind::kIo, error, "cannot flush '" + folder + "': " + system_reason(err));
  }
  return Status::OK();
}

Result<std::unique_ptr<Collection>> CollectionFile::parse(const uint8_t* data, size_t size,
                                                          bool verify,
                                                          std::shared_ptr<const void> owner,
                                                          ThreadPool* pool, ErrorKind* error,
                                                          std::string* embedder) {
  auto bad = [&](std::string message) {
    return fail(ErrorKind::kFormat, error, std::move(message));
  };
  if (size < 8 || std::memcmp(data, CollectionFile::kMagic, 8) != 0) {
    return bad("not a vesk collection file (unknown header)");
  }
  if (size < kHeaderBytes) return bad("the file is truncated (" + std::to_string(size) + " bytes)");
  const uint32_t version = get_u32(data + 8);
  if (version > CollectionFile::kVersion) {
    return bad("the file was written by a newer version of vesk (format " +
               std::to_string(version) + "; this version reads up to " +
               std::to_string(CollectionFile::kVersion) + ")");
  }
  if (version == 0) return bad("the file has an invalid format version 0");
  const uint32_t sections = get_u32(data + 12);
  const uint64_t file_size = get_u64(data + 16);
  if (file_size > size) {
    return bad("the file is truncated (" + std::to_string(size) + " of " +
               std::to_string(file_size) + " bytes)");
  }
  if (file_size < size) return bad("the file has unexpected bytes after its end");
  if (sections > kMaxSections || kHeaderBytes + uint64_t{sections} * kEntryBytes > size) {
    return bad("the file's section table is corrupted");
  }
  const uint8_t* table = data + kHeaderBytes;
  if (verify && header_checksum(data, table, sections * kEntryBytes) != get_u64(data + 24)) {
    return bad("the file's header is corrupted (checksum mismatch)");
  }
  std::vector<Span> found(kSectionKinds + 1);
  std::vector<bool> seen(kSectionKinds + 1, false);
  for (uint32_t i = 0; i < sections; ++i) {
    const uint8_t* e = table + i * kEntryBytes;
    Entry entry{get_u32(e), get_u64(e + 8), get_u64(e + 16), get_u64(e + 24)};
    if (entry.offset % kAlign != 0 || entry.offset < kHeaderBytes + sections * kEntryBytes ||
        entry.offset > size || entry.size > size - entry.offset) {
      return bad("the file's section table is corrupted");
    }
    if (entry.kind == 0 || entry.kind > kSectionKinds) continue;  // not read by this version
    if (seen[entry.kind]) return bad("the file's section table is corrupted");
    if (verify && XXH3_64bits(data + entry.offset, entry.size) != entry.checksum) {
      return bad(std::string("the file is corrupted (checksum mismatch in the ") +
                 section_name(entry.kind) + " section)");
    }
    found[entry.kind] = Span{entry.offset, entry.size};
    seen[entry.kind] = true;
  }
  // Sections may not overlap, and the padding between them is zero, so that
  // no byte of the file escapes a check.
  {
    std::vector<std::pair<uint64_t, uint64_t>> spans;  // (offset, end)
    for (uint32_t i = 0; i < sections; ++i) {
      const uint8_t* e = table + i * kEntryBytes;
      spans.emplace_back(get_u64(e + 8), get_u64(e + 8) + get_u64(e + 16));
    }
    std::sort(spans.begin(), spans.end());
    uint64_t at = kHeaderBytes + uint64_t{sections} * kEntryBytes;
    spans.emplace_back(size, size);
    for (const auto& [offset, end] : spans) {
      if (offset < at) return bad("the file's section table is corrupted");
      for (uint64_t b = at; b < offset; ++b) {
        if (data[b] != 0) return bad("the file is corrupted (bytes between sections)");
      }
      at = end;
    }
    for (uint32_t i = 0; i < sections; ++i) {
      if (get_u32(table + i * kEntryBytes + 4) != 0) {
        return bad("the file's section table is corrupted");
      }
    }
  }
  for (uint32_t kind = 1; kind <= kRequiredKinds; ++kind) {
    if (!seen[kind]) {
      return bad(std::string("the file has no ") + section_name(kind) + " section");
    }
  }
  std::string_view name;
  if (seen[kEmbedder]) {
    name = std::string_view(reinterpret_cast<const char*>(data + found[kEmbedder].offset),
                            found[kEmbedder].size);
    if (name.size() > kMaxEmbedderName || (!verify && !is_valid_utf8(name))) {
      return bad("the file's embedder section is malformed");
    }
  }
  auto built = build(data, found, verify, std::move(owner), pool, error);
  if (built.ok() && embedder != nullptr) embedder->assign(name);
  return built;
}

Result<std::unique_ptr<Collection>> CollectionFile::build(const uint8_t* data,
                                                          const std::vector<Span>& found,
                                                          bool verify,
                                                          std::shared_ptr<const void> owner,
                                                          ThreadPool* pool, ErrorKind* error) {
  auto bad = [&](const char* section) {
    return fail(ErrorKind::kFormat, error,
                std::string("the file's ") + section + " section is malformed");
  };
  auto section = [&](uint32_t kind) {
    return SectionReader(data + found[kind].offset, found[kind].size);
  };

  SectionReader settings = section(kSettings);
  uint64_t dim = 0, n = 0, name_size = 0;
  const uint8_t* name = nullptr;
  if (!settings.u64(&dim) || !settings.u64(&n) || !settings.u64(&name_size) ||
      !settings.bytes(name_size, &name)) {
    return bad("settings");
  }
  if (dim == 0 || dim > kMaxDim || n > kMaxDocuments) return bad("settings");
  auto language =
      Collection::parse_language(std::string_view(reinterpret_cast<const char*>(name), name_size));
  if (!language.ok()) {
    return fail(ErrorKind::kFormat, error, "the file names an unknown language");
  }

  std::vector<std::string_view> ids;
  std::vector<std::string_view> texts;
  if (!read_strings(data + found[kIds].offset, found[kIds].size, n, &ids)) return bad("ids");
  if (!read_strings(data + found[kTexts].offset, found[kTexts].size, n, &texts)) {
    return bad("texts");
  }

  // A verified file holds what was saved; otherwise check that every string
  // is text, as callers expect of what they get back.
  const bool check_text = !verify;
  if (check_text) {
    for (uint64_t i = 0; i < n; ++i) {
      if (!is_valid_utf8(ids[i])) return bad("ids");
      if (!is_valid_utf8(texts[i])) return bad("texts");
    }
  }

  const uint64_t words = (n + 63) / 64;
  if (found[kEmbedded].size != words * 8) return bad("embedding flags");
  const uint8_t* flags = data + found[kEmbedded].offset;
  if (n % 64 != 0 && words > 0 && (get_u64(flags + (words - 1) * 8) >> (n % 64)) != 0) {
    return bad("embedding flags");
  }

  const uint64_t blocks = (n + kB - 1) / kB;
  if (found[kEmbeddings].size != blocks * kB * dim * sizeof(float)) return bad("embeddings");

  auto col = std::make_unique<Collection>(dim, language.value(), pool);
  Collection& c = *col;
  const uint8_t* meta = data + found[kMetadata].offset;
  const uint64_t meta_size = found[kMetadata].size;

  // Three independent parts, on the pool's threads when there is one: the
  // document table, the metadata columns with the embedding flags, and the
  // keyword index. Each reports a malformed section as a message.
  std::string problem[3];
  std::exception_ptr thrown[3];
  // The documents are copied out in one pass and the id index is built once;
  // a repeated id is then named as a check before each append would have.
  auto documents = [&]() -> std::string {
    std::vector<DocumentInfo> docs(n);
    for (uint64_t i = 0; i < n; ++i) {
      docs[i].id.assign(ids[i]);
      docs[i].text.assign(texts[i]);
    }
    c.docs_.assign_bulk(std::move(docs));
    if (c.docs_.has_repeated_ids()) {
      for (uint64_t i = 0; i < n; ++i) {
        if (c.docs_.find(ids[i]) != i) {
          return "the file repeats the id '" + std::string(ids[i]) + "'";
        }
      }
    }
    return {};
  };
  auto metadata_and_flags = [&]() -> std::string {
    const std::string malformed = "the file's metadata section is malformed";
    // The columns as they are in the file, filled in place.
    std::vector<MetadataColumns::Column> filled;
    SectionReader r(meta, meta_size);
    uint64_t columns = 0;
    if (!r.u64(&columns) || columns > r.left()) return malformed;
    for (uint64_t col_index = 0; col_index < columns; ++col_index) {
      uint64_t key_size = 0;
      const uint8_t* key = nullptr;
      const uint8_t* tags = nullptr;
      if (!r.u64(&key_size) || !r.bytes(key_size, &key) || !r.bytes(n, &tags)) return malformed;
      std::string k(reinterpret_cast<const char*>(key), key_size);
      if (check_text && !is_valid_utf8(k)) return malformed;
      for (const MetadataColumns::Column& other : filled) {
        if (other.key == k) return malformed;
      }
      MetadataColumns::Column column;
      column.key = std::move(k);
      column.kinds.resize(n);
      column.scalars.resize(n);
      column.present.resize(n);
      for (uint64_t i = 0; i < n; ++i) {
        MetadataValue value;
        switch (tags[i]) {
          case 0:
            continue;
          case 1: {
            uint64_t len = 0;
            const uint8_t* bytes = nullptr;
            if (!r.u64(&len) || !r.bytes(len, &bytes)) return malformed;
            value = std::string(reinterpret_cast<const char*>(bytes), len);
            if (check_text && !is_valid_utf8(std::get<std::string>(value))) return malformed;
            column.hold_strings();
            break;
          }
          case 2: {
            uint64_t v = 0;
            if (!r.u64(&v)) return malformed;
            value = static_cast<int64_t>(v);
            break;
          }
          case 3: {
            uint64_t v = 0;
            if (!r.u64(&v)) return malformed;
            double d;
            std::memcpy(&d, &v, 8);
            value = d;
            break;
          }
          case 4: {
            uint8_t v = 0;
            if (!r.u8(&v) || v > 1) return malformed;
            value = v == 1;
            break;
          }
          default:
            return malformed;
        }
        column.put(i, std::move(value));
      }
      filled.push_back(std::move(column));
    }
    if (r.left() != 0) return malformed;
    c.metadata_.assign_bulk(std::move(filled), n);
    c.embedded_.resize(n);
    for (uint64_t i = 0; i < n; ++i) {
      if ((get_u64(flags + (i / 64) * 8) >> (i % 64)) & 1) c.embedded_.set(i);
    }
    c.embedded_count_ = c.embedded_.count();
    return {};
  };
  // The saved keyword index when its checksum was checked (its postings are
  // trusted to match the texts, which later changes rely on); otherwise, or
  // when the file has none, one built from the texts.
  auto keyword = [&]() -> std::string {
    if (!verify || found[kKeyword].size == 0) {
      c.keyword_index_ = c.build_keyword_index(texts);
      return {};
    }
    const std::string malformed = "the file's keyword section is malformed";
    SectionReader r(data + found[kKeyword].offset, found[kKeyword].size);
    uint64_t indexed = 0;
    uint64_t count = 0;
    const uint8_t* raw = nullptr;
    if (!r.u64(&indexed) || !r.u64(&count) || count != n || !r.bytes(n * 4, &raw)) {
      return malformed;
    }
    std::vector<uint32_t> lengths(n);
    if (n > 0) std::memcpy(lengths.data(), raw, n * 4);
    std::vector<Posting> scratch;
    bool broken = false;
    auto next = [&](std::string_view* key, std::span<const Posting>* postings) {
      if (r.left() == 0) return false;
      uint64_t key_size = 0;
      uint64_t m = 0;
      const uint8_t* k = nullptr;
      const uint8_t* bytes = nullptr;
      if (!r.u64(&key_size) || !r.bytes(key_size, &k) || !r.u64(&m) || m > r.left() / 8 ||
          !r.bytes(m * 8, &bytes)) {
        broken = true;
        return false;
      }
      scratch.resize(m);
      if (m > 0) std::memcpy(scratch.data(), bytes, m * 8);
      *key = std::string_view(reinterpret_cast<const char*>(k), key_size);
      *postings = scratch;
      return true;
    };
    auto restored =
        KeywordIndex::restore(c.keyword_index_options(), std::move(lengths), indexed, next);
    if (broken || !restored.ok()) return malformed;
    c.keyword_index_ = std::move(restored).value();
    return {};
  };
  auto part = [&](size_t p) {
    try {
      if (p == 0) problem[0] = documents();
      if (p == 1) problem[1] = metadata_and_flags();
      if (p == 2) problem[2] = keyword();
    } catch (...) {
      thrown[p] = std::current_exception();
    }
  };
  if (pool != nullptr) {
    pool->run(3, part);
  } else {
    for (size_t p = 0; p < 3; ++p) part(p);
  }
  for (size_t p = 0; p < 3; ++p) {
    if (thrown[p]) std::rethrow_exception(thrown[p]);
    if (!problem[p].empty()) return fail(ErrorKind::kFormat, error, problem[p]);
  }

  const float* floats = reinterpret_cast<const float*>(data + found[kEmbeddings].offset);
  const bool borrowed = owner != nullptr;
  c.embeddings_ = EmbeddingStore::borrow(n, dim, floats, std::move(owner));
  if (!borrowed) c.embeddings_.own();
  return col;
}

Result<std::unique_ptr<Collection>> CollectionFile::load(const std::string& path,
                                                         const LoadOptions& options,
                                                         ThreadPool* pool, ErrorKind* error,
                                                         std::string* embedder) {
  if (error != nullptr) *error = ErrorKind::kNone;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return fail(ErrorKind::kIo, error, "cannot open '" + path + "': " + system_reason(errno));
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    return fail(ErrorKind::kIo, error, "cannot read '" + path + "': " + system_reason(err));
  }
  const size_t size = static_cast<size_t>(st.st_size);
  if (size == 0) {
    ::close(fd);
    return fail(ErrorKind::kFormat, error, "not a vesk collection file (it is empty)");
  }
  // With verify the whole file is read at once anyway: populate the mapping.
  void* mapped =
      ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | (options.verify ? MAP_POPULATE : 0), fd, 0);
  const int err = errno;
  ::close(fd);  // the mapping keeps the file
  if (mapped == MAP_FAILED) {
    return fail(ErrorKind::kIo, error, "cannot map '" + path + "': " + system_reason(err));
  }
  std::shared_ptr<const void> mapping(
      mapped, [size](const void* p) { ::munmap(const_cast<void*>(p), size); });
  auto loaded = parse(static_cast<const uint8_t*>(mapped), size, options.verify,
                      options.map ? mapping : nullptr, pool, error, embedder);
  if (!loaded.ok()) return loaded.status();
  return loaded;
}

Result<std::unique_ptr<Collection>> CollectionFile::load_bytes(std::string_view bytes, bool verify,
                                                               ThreadPool* pool, ErrorKind* error,
                                                               std::string* embedder) {
  if (error != nullptr) *error = ErrorKind::kNone;
  // Sections are read in place, which needs the file's alignment.
  std::vector<uint64_t> aligned((bytes.size() + 7) / 8);
  if (!bytes.empty()) std::memcpy(aligned.data(), bytes.data(), bytes.size());
  return parse(reinterpret_cast<const uint8_t*>(aligned.data()), bytes.size(), verify, nullptr,
               pool, error, embedder);
}

CollectionFile::Contents CollectionFile::contents(const Collection& col) {
  auto lock = col.read_lock();
  Contents out;
  const size_t n = col.docs_.live_count();
  out.ids.reserve(n);
  out.texts.reserve(n);
  out.metadata.reserve(n);
  out.embeddings.reserve(n * col.dim_);
  out.embedded.reserve(n);
  col.docs_.live().for_each_set([&](size_t slot) {
    out.ids.push_back(col.docs_[slot].id);
    out.texts.push_back(col.docs_[slot].text);
    out.metadata.push_back(col.metadata_.get(slot));
    const std::vector<float> values = col.embeddings_.get(slot);
    out.embeddings.insert(out.embeddings.end(), values.begin(), values.end());
    out.embedded.push_back(col.embedded_.test(slot));
  });
  return out;
}

}  // namespace vesk
