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
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "collection/metadata_value.h"
#include "utils/bitmap.h"

namespace vesk {

class MetadataColumns {
 public:
  // One key's values by slot, stored by type so that a filter reads a few
  // bytes per slot: kinds[slot] is the MetadataValue alternative held (0 when
  // absent), scalars[slot] the bits of an int64, double or bool value (0
  // otherwise), and strings[slot] a string value; strings is empty until the
  // column first holds a string (has_strings), then spans every slot.
  struct Column {
    static constexpr uint8_t kAbsent = 0;
    static constexpr uint8_t kString = 1;
    static constexpr uint8_t kInt = 2;
    static constexpr uint8_t kDouble = 3;
    static constexpr uint8_t kBool = 4;

    std::string key;
    Bitmap present;  // by slot: kinds[slot] != kAbsent
    std::vector<uint8_t> kinds;
    std::vector<uint64_t> scalars;
    std::vector<std::string> strings;
    bool has_strings = false;
    size_t kind_counts[5] = {};  // present slots holding each kind (index 0 unused)

    // True when every present slot holds `kind`.
    bool only(uint8_t kind) const { return kind_counts[kind] == present_count(); }
    size_t present_count() const {
      return kind_counts[kString] + kind_counts[kInt] + kind_counts[kDouble] + kind_counts[kBool];
    }

    // The value in `slot` (std::monostate when absent).
    MetadataValue value(size_t slot) const;
    // Sets the value of `slot` (which must be absent). REQUIRES: has_strings
    // when `value` is a string. Never allocates: a string is moved in.
    void put(size_t slot, MetadataValue&& value) noexcept;
    // Makes `slot` absent, releasing a string held there.
    void erase(size_t slot) noexcept;
    // Gives every slot room for a string (allocates; may throw std::bad_alloc).
    void hold_strings();
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
  // columns().empty(); distinct keys; every column's kinds, scalars and
  // present (and strings when has_strings) have `slots` entries, filled as
  // Column describes.
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

  // A few recent filter results over the current values (one bit per slot,
  // words of 64), so that a filter repeated across searches is evaluated
  // once. `key` names the filter exactly (Filter::key()). Every change of
  // the values forgets them all. find_match copies a remembered result into
  // `words` and returns true, or returns false; remember_match keeps one
  // (may throw std::bad_alloc, remembering nothing). Safe to call
  // concurrently with each other and with other const methods.
  bool find_match(std::string_view key, std::vector<uint64_t>* words) const;
  void remember_match(std::string_view key, const std::vector<uint64_t>& words) const;

  // The slots holding each value of a column whose present values are all
  // ints (`ints`) or all strings (`strings`), ascending: what an equality
  // filter on that key reads instead of the whole column. Built on the
  // first call after a change (one pass over the column; may throw
  // std::bad_alloc) and kept until the values change; null for a column of
  // mixed kinds or of doubles or bools. Safe to call concurrently with
  // other const methods; the result stays valid while the caller holds it.
  struct ValueSlots {
    struct TextHash {
      using is_transparent = void;
      size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
    };
    std::unordered_map<int64_t, std::vector<uint32_t>> ints;
    std::unordered_map<std::string, std::vector<uint32_t>, TextHash, std::equal_to<>> strings;
  };
  std::shared_ptr<const ValueSlots> value_slots(const Column& column) const;

 private:
  static constexpr size_t kRememberedMatches = 8;
  void forget_matches() noexcept;

  void assign(size_t slot, TypedMetadata&& metadata) noexcept;

  size_t slots_ = 0;
  std::vector<Column> columns_;
  // Hashes std::string and std::string_view alike, for lookups by view.
  struct KeyHash {
    using is_transparent = void;
    size_t operator()(std::string_view key) const { return std::hash<std::string_view>()(key); }
  };
  std::unordered_map<std::string, size_t, KeyHash, std::equal_to<>> by_key_;  // -> columns_ index
  // Remembered filter results, the most recent last.
  mutable std::mutex matches_mutex_;
  mutable std::vector<std::shared_ptr<const ValueSlots>> value_slots_;  // by column, when built
  mutable std::vector<std::pair<std::string, std::vector<uint64_t>>> matches_;
};

}  // namespace vesk

#endif  // VESK_CORE_COLLECTION_METADATA_COLUMNS_H_
