// MetadataColumns: the typed metadata of a collection's documents, stored by
// key: one column per key holding, for every slot, the document's value under
// that key and a presence bit. A filter on a key reads one column.
//
// Columns are kept in the order their keys first arrived; get() returns a
// document's entries in that order. All columns span the same slots as the
// collection's other stores. Changes are split so that the owner can make them
// all-or-nothing: reserve() is the only mutation that allocates (it may throw
// std::bad_alloc; it may then have added empty columns, which are invisible);
// append, replace, compact and clear never allocate and never throw.
//
// Thread safety: const methods may run concurrently; mutation needs exclusive
// access. Ownership: owns its keys and values.
#ifndef VESK_CORE_COLLECTION_METADATA_COLUMNS_H_
#define VESK_CORE_COLLECTION_METADATA_COLUMNS_H_

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "collection/metadata_value.h"
#include "utils/bitmap.h"

namespace vesk {

class MetadataColumns {
 public:
  struct Column {
    std::string key;
    std::vector<MetadataValue> values;  // by slot; std::monostate where absent
    Bitmap present;                     // by slot
  };

  MetadataColumns() = default;
  MetadataColumns(const MetadataColumns&) = delete;
  MetadataColumns& operator=(const MetadataColumns&) = delete;

  size_t slots() const { return slots_; }
  // The column of `key`, or null when no document ever had that key.
  const Column* find(std::string_view key) const;
  std::span<const Column> columns() const { return columns_; }

  // Creates a column for every key of `incoming` that has none and makes room
  // for `slots` slots in every column, so that the appends and replaces of
  // those documents cannot fail. On failure (std::bad_alloc) the visible
  // contents are unchanged.
  void reserve(size_t slots, std::span<const TypedMetadata* const> incoming);
  // Fills empty columns with `columns` (in that order) spanning `slots`
  // slots, e.g. read whole from a file. Allocates (the key index): on
  // failure (std::bad_alloc) nothing changes. REQUIRES: slots() == 0 and
  // columns().empty(); distinct keys; every column's values and present have
  // `slots` entries, values std::monostate exactly where present is unset.
  void assign_bulk(std::vector<Column>&& columns, size_t slots);
  // Adds a slot holding `metadata`. REQUIRES: reserve() covered it.
  void append(TypedMetadata&& metadata) noexcept;
  // Replaces the values of `slot` by `metadata`. REQUIRES: reserve() covered
  // its keys.
  void replace(size_t slot, TypedMetadata&& metadata) noexcept;
  // Keeps the slots set in `keep` (size slots()), moved down in order.
  void compact(const Bitmap& keep) noexcept;
  void clear() noexcept;

  // Copies of the values of `slot`, in column order.
  TypedMetadata get(size_t slot) const;

 private:
  void assign(size_t slot, TypedMetadata&& metadata) noexcept;

  size_t slots_ = 0;
  std::vector<Column> columns_;
  // Hashes std::string and std::string_view alike, for lookups by view.
  struct KeyHash {
    using is_transparent = void;
    size_t operator()(std::string_view key) const { return std::hash<std::string_view>()(key); }
  };
  std::unordered_map<std::string, size_t, KeyHash, std::equal_to<>> by_key_;  // -> columns_ index
};

}  // namespace vesk

#endif  // VESK_CORE_COLLECTION_METADATA_COLUMNS_H_
