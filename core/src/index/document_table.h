// DocumentTable: the stored documents of an index in storage order, with a
// hash index from id to the first position holding that id.
//
// Ids are normally unique (add_documents upserts or skips), but a loaded index
// may repeat an id; find() then returns the first position, exactly as a scan
// from position 0 would. The id index is an open-addressing table of positions
// (with a few bits of each id's hash); it hashes the ids where they are
// stored, so ids are not kept twice.
//
// Changes are split so that a caller can make them all-or-nothing: reserve()
// is the only mutation that allocates (and may throw std::bad_alloc, leaving
// the table unchanged); append, replace, erase, clear and swap never allocate
// and never throw once the room is reserved.
//
// Thread safety: const methods may run concurrently; mutation needs exclusive
// access. Ownership: owns its documents.
#ifndef VESK_CORE_INDEX_DOCUMENT_TABLE_H_
#define VESK_CORE_INDEX_DOCUMENT_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "models/document_info.h"

namespace vesk {

class DocumentTable {
 public:
  static constexpr size_t kNotFound = static_cast<size_t>(-1);

  DocumentTable() = default;
  DocumentTable(const DocumentTable&) = delete;
  DocumentTable& operator=(const DocumentTable&) = delete;

  size_t size() const { return docs_.size(); }
  bool empty() const { return docs_.empty(); }
  const DocumentInfo& operator[](size_t pos) const { return docs_[pos]; }
  std::span<const DocumentInfo> all() const { return docs_; }

  // The first position whose document has this id, or kNotFound. Expected O(1).
  size_t find(std::string_view id) const;

  // Makes room for `count` documents in all, so that appending up to that
  // many allocates nothing. Growth is geometric: reserving one more document
  // per call costs amortised constant time. On failure (std::bad_alloc) the
  // table is unchanged.
  void reserve(size_t count);
  // Appends `doc` at position size(). REQUIRES: size() < the reserved count.
  void append(DocumentInfo doc) noexcept;
  // Replaces the document at `pos` by `doc`. REQUIRES: doc.id equals the id
  // stored at `pos`.
  void replace(size_t pos, DocumentInfo doc) noexcept { docs_[pos] = std::move(doc); }
  // Removes the given positions (strictly increasing); later documents move
  // down and keep their order. Costs O(size()).
  void erase(std::span<const size_t> positions) noexcept;
  void clear() noexcept;
  void swap(DocumentTable& other) noexcept;

 private:
  // A slot holds kEmpty or (hash tag << kPositionBits | position).
  static constexpr int kPositionBits = 40;
  static constexpr uint64_t kPositionMask = (uint64_t{1} << kPositionBits) - 1;
  static constexpr uint64_t kEmpty = ~uint64_t{0};

  // Enters `pos` unless an earlier position holds the same id. REQUIRES: a
  // free slot.
  void insert(size_t pos) noexcept;
  void rebuild_ids() noexcept;

  std::vector<DocumentInfo> docs_;
  std::vector<uint64_t> slots_;  // size 0 or a power of two, at most half full
};

}  // namespace vesk

#endif  // VESK_CORE_INDEX_DOCUMENT_TABLE_H_
