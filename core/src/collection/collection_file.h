// CollectionFile: a Collection saved whole in one file (settings, ids, texts,
// metadata columns, embeddings) and loaded back, by mapping the file, in
// about the time it takes to read it.
//
// Format (version 1; integers little-endian): a 64-byte header (the magic
// "VESKCOLL", the version, the number of sections, the file's size and an
// XXH3-64 checksum of the header's first 24 bytes and the section table),
// the section table (32 bytes per section: kind, offset, size, XXH3-64 of
// the section's bytes), then the sections, each starting at a multiple of 64
// bytes and the embeddings at a multiple of 4096 bytes. The embeddings are
// stored in the embedding store's block layout, so a loaded collection scans
// them in place from the mapping; ids, texts and metadata are copied out.
// Only live documents are saved (in slot order, which keeps every answer).
// The keyword index is saved as its postings and restored without
// tokenizing when the checksums are checked; without them (or when the file
// holds none) it is built from the texts. A file may also name the embedder
// that made its embeddings, in a section of its own that is written only
// when there is a name (readers that do not know it skip it, and files
// without one are what they were before it existed).
//
// Saving is atomic: the file is written under a temporary name in the same
// folder (`<path>.tmp.<pid>.<n>`), flushed to disk, renamed over `path`, and
// the folder is flushed, so a process killed at any moment leaves `path`
// either as it was or holding the new file (a killed save may leave its
// temporary file behind).
//
// Failure: save and load return InvalidArgument with a message; *error (when
// given) tells whether the file could not be read or written (kIo: the
// message carries the system's reason) or is not a well-formed file of a
// version this code reads (kFormat: truncated, corrupted, foreign, newer).
// No input makes the reader crash, read outside the file or loop; with
// verify on, any changed byte is caught by a checksum (a checksum guards
// against damage, not forgery: a file made to pass it with postings that
// do not match its texts is not detected). load may throw std::bad_alloc.
//
// Thread safety: save takes the collection's shared lock (searches go on; a
// change waits). Ownership: load returns a new collection; a mapped file
// stays mapped (read-only, private) until the collection no longer uses its
// embeddings (a change copies them first).
#ifndef VESK_CORE_COLLECTION_COLLECTION_FILE_H_
#define VESK_CORE_COLLECTION_COLLECTION_FILE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "collection/collection.h"
#include "hybridsearch/thread_pool.h"
#include "utils/status.h"

namespace vesk {

class CollectionFile {
 public:
  static constexpr uint32_t kVersion = 1;
  static constexpr char kMagic[8] = {'V', 'E', 'S', 'K', 'C', 'O', 'L', 'L'};

  enum class ErrorKind { kNone, kIo, kFormat };

  struct LoadOptions {
    // Map the file and scan the embeddings in place; otherwise they are
    // copied into memory of the collection's own and the file is closed.
    bool map = true;
    // Check the header's and every section's checksum (reads the whole
    // file once). Without, damage is caught only where it breaks the
    // structure (never a crash); embeddings and texts may then be wrong.
    bool verify = true;
  };

  struct SaveOptions {
    // The name of the embedder that made the embeddings (UTF-8, at most
    // kMaxEmbedderName bytes), or empty for none.
    std::string embedder;
  };
  static constexpr size_t kMaxEmbedderName = 256;

  // Writes `collection` to `path` atomically (see above). A name longer
  // than kMaxEmbedderName is InvalidArgument (kFormat) before any file is
  // made.
  static Status save(const Collection& collection, const std::string& path,
                     ErrorKind* error = nullptr);
  static Status save(const Collection& collection, const std::string& path,
                     const SaveOptions& options, ErrorKind* error = nullptr);

  // The collection saved in `path`; its searches use `pool` when given.
  // On success *embedder (when given) is the embedder name saved with it,
  // empty when the file names none; on failure it is left alone.
  static Result<std::unique_ptr<Collection>> load(const std::string& path,
                                                  const LoadOptions& options, ThreadPool* pool,
                                                  ErrorKind* error = nullptr,
                                                  std::string* embedder = nullptr);
  // The same from bytes already in memory (copied as needed; `bytes` need
  // not outlive the result). Always copies the embeddings.
  static Result<std::unique_ptr<Collection>> load_bytes(std::string_view bytes, bool verify,
                                                        ThreadPool* pool,
                                                        ErrorKind* error = nullptr,
                                                        std::string* embedder = nullptr);

  // The live documents in slot order, for export: ids, texts, metadata,
  // embeddings (size() * dim() values, zeros where a document has none) and
  // which documents have one.
  struct Contents {
    std::vector<std::string> ids;
    std::vector<std::string> texts;
    std::vector<TypedMetadata> metadata;
    std::vector<float> embeddings;
    std::vector<bool> embedded;
  };
  static Contents contents(const Collection& collection);

 private:
  struct Span {
    uint64_t offset = 0;
    uint64_t size = 0;
  };
  // Checks the header, the section table and (with verify) the checksums of
  // the file in data[0, size), then builds the collection. The embeddings
  // are borrowed from `data` when `owner` keeps it alive, copied otherwise.
  static Result<std::unique_ptr<Collection>> parse(const uint8_t* data, size_t size, bool verify,
                                                   std::shared_ptr<const void> owner,
                                                   ThreadPool* pool, ErrorKind* error,
                                                   std::string* embedder);
  // The collection from the sections found (indexed by kind); strings are
  // checked to be UTF-8 unless `verified`.
  static Result<std::unique_ptr<Collection>> build(const uint8_t* data,
                                                   const std::vector<Span>& sections, bool verified,
                                                   std::shared_ptr<const void> owner,
                                                   ThreadPool* pool, ErrorKind* error);
};

}  // namespace vesk

#endif  // VESK_CORE_COLLECTION_COLLECTION_FILE_H_
