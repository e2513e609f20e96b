// DocumentTable: the stored documents of an index, one per slot in storage
// order, with a hash index from id to the first live slot holding that id.
//
// Deleting a document only marks its slot dead (kill); the slots keep their
// order, so a document's position is the number of live slots before its
// slot. compact() later drops the dead slots in one pass. Ids are normally
// unique (add_documents upserts or skips), but a loaded index may repeat an
// id; find() then returns the first live slot, exactly as a scan from slot 0
// would, and find_all() every one of them.
//
// The id index is an open-addressing table of slots (with a few bits of each
// id's hash); it hashes the ids where they are stored, so ids are not kept
// twice. Changes are split so that a caller can make them all-or-nothing:
// reserve() is the only mutation that allocates (and may throw
// std::bad_alloc, leaving the table unchanged); append, replace, kill,
// compact, clear and swap never allocate and never throw.
//
// Thread safety: const methods may run concurrently; mutation needs exclusive
// access. Ownership: owns its documents.
#ifndef VESK_CORE_STORE_DOCUMENT_TABLE_H_
#define VESK_CORE_STORE_DOCUMENT_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "models/document_info.h"
#include "utils/bitmap.h"

namespace vesk {

class DocumentTable {
 public:
  static constexpr size_t kNotFound = static_cast<size_t>(-1);

  DocumentTable() = default;
  DocumentTable(const DocumentTable&) = delete;
  DocumentTable& operator=(const DocumentTable&) = delete;

  // Slots, dead ones included.
  size_t slots() const { return docs_.size(); }
  size_t live_count() const { return docs_.size() - dead_; }
  size_t dead_count() const { return dead_; }
  const Bitmap& live() const { return live_; }
  bool is_live(size_t slot) const { return live_.test(slot); }
  const DocumentInfo& operator[](size_t slot) const { return docs_[slot]; }
  // Every slot's document, dead ones included.
  std::span<const DocumentInfo> all() const { return docs_; }

  // Bytes held by the documents (their records and heap strings) and by the
  // id index with the live bitmap.
  size_t document_bytes() const;
  size_t id_index_bytes() const;

  // The first live slot whose document has this id, or kNotFound. Expected O(1).
  size_t find(std::string_view id) const;
  // Appends every live slot holding this id to `out`, ascending. O(1)
  // expected while no id is repeated, O(slots) otherwise.
  void find_all(std::string_view id, std::vector<size_t>* out) const;

  // Makes room for `count` slots in all, so that appending up to that many
  // allocates nothing. Growth is geometric: reserving one more document per
  // call costs amortised constant time. On failure (std::bad_alloc) the
  // table is unchanged.
  void reserve(size_t count);
  // Appends `doc` in a new live slot. REQUIRES: slots() < the reserved count.
  void append(DocumentInfo doc) noexcept;
  // Fills an empty table with `docs`, all live, in that order, building the
  // id index once (faster than reserve and append for a whole collection).
  // Like reserve(), it allocates: on failure (std::bad_alloc) the table is
  // unchanged and `docs` is left as it was. Repeated ids behave as after
  // appending them one by one (see has_repeated_ids). REQUIRES: slots() == 0.
  void assign_bulk(std::vector<DocumentInfo>&& docs);
  // True when some id is held by more than one live slot.
  bool has_repeated_ids() const { return repeats_; }
  // Replaces the document in live slot `slot` by `doc`. REQUIRES: doc.id
  // equals the id stored there.
  void replace(size_t slot, DocumentInfo doc) noexcept { docs_[slot] = std::move(doc); }
  // Marks live slots dead. REQUIRES: `slots_to_kill` holds, for each id it
  // touches, every live slot with that id (find_all), strictly increasing.
  void kill(std::span<const size_t> slots_to_kill) noexcept;
  // True once dead slots make up a quarter of all slots: compacting then is
  // paid for by at least slots() / 4 deletes, so a delete costs O(1)
  // amortised while at most a quarter of the storage is dead.
  bool wants_compaction() const { return dead_ > 0 && dead_ * 4 >= docs_.size(); }
  // The dead slots, ascending. May throw std::bad_alloc; changes nothing.
  std::vector<size_t> dead_slots() const;
  // Drops every dead slot; later slots move down and keep their order.
  // Costs O(slots()).
  void compact() noexcept;
  void clear() noexcept;
  void swap(DocumentTable& other) noexcept;

 private:
  // A slot of the id index holds kEmpty or (hash tag << kSlotBits | slot).
  static constexpr int kSlotBits = 40;
  static constexpr uint64_t kSlotMask = (uint64_t{1} << kSlotBits) - 1;
  static constexpr uint64_t kEmpty = ~uint64_t{0};

  // Enters `slot` unless an earlier live slot holds the same id. REQUIRES: a
  // free entry.
  void insert(size_t slot) noexcept;
  // Removes the entry of `slot`, if it has one.
  void remove(size_t slot) noexcept;
  void rebuild_ids() noexcept;

  std::vector<DocumentInfo> docs_;
  Bitmap live_;
  size_t dead_ = 0;
  bool repeats_ = false;         // some id is held by more than one live slot
  std::vector<uint64_t> table_;  // size 0 or a power of two, at most half full
};

}  // namespace vesk

#endif  // VESK_CORE_STORE_DOCUMENT_TABLE_H_
