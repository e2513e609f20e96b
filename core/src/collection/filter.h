// Filter: a compiled condition on documents' metadata, evaluated over a
// collection's metadata columns into a bitmap of the slots it admits.
//
// A filter is a tree: all_of (every child holds; true when empty), any_of
// (some child holds; false when empty) and comparisons of one key's value
// with a constant. A comparison of a key the document lacks is false, except
// for kNe and kNin, which hold for documents lacking the key (they are the
// negations of kEq and kIn). Values compare as compare_metadata() says: ints
// and doubles numerically, bools only with bools, strings bytewise; an
// incomparable pair makes kEq, kGt, kGte, kLt and kLte false (kNe true).
//
// Thread safety: an immutable value once built; evaluate may run
// concurrently. Ownership: owns its keys and constants.
#ifndef VESK_CORE_COLLECTION_FILTER_H_
#define VESK_CORE_COLLECTION_FILTER_H_

#include <compare>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "collection/metadata_columns.h"
#include "collection/metadata_value.h"
#include "utils/bitmap.h"

namespace vesk {

class Filter {
 public:
  enum class Op { kEq, kNe, kGt, kGte, kLt, kLte, kIn, kNin };

  // The operator named "eq", "ne", "gt", "gte", "lt", "lte", "in" or "nin";
  // std::nullopt for any other name.
  static std::optional<Op> parse_op(std::string_view name);

  static Filter all_of(std::vector<Filter> children);
  static Filter any_of(std::vector<Filter> children);
  // `key` `op` `value`. REQUIRES: op is neither kIn nor kNin.
  static Filter compare(std::string key, Op op, MetadataValue value);
  // `key` in `values` (kIn) or not in them (kNin). REQUIRES: op is kIn or kNin.
  static Filter member(std::string key, Op op, std::vector<MetadataValue> values);

  // The slots of `columns` that the filter admits and that are set in `mask`
  // (size columns.slots()). May throw std::bad_alloc.
  // Repeated filters are answered from the columns' remembered results
  // (MetadataColumns::find_match) while the values have not changed.
  Bitmap evaluate(const MetadataColumns& columns, const Bitmap& mask) const;

  // A text that names this filter exactly: equal for filters that admit the
  // same slots by the same tree, different otherwise (values by type and
  // bits).
  std::string key() const;

 private:
  enum class Kind { kAll, kAny, kCompare };
  struct Words;  // see filter.cc

  Filter() = default;
  void evaluate_into(const MetadataColumns& columns, Words* out) const;
  void append_key(std::string* out) const;
  // Sets in `out` the slots of `column` whose value compares with `operand`
  // as the positive form of op_ asks (kNe and kNin as kEq).
  void match(const MetadataColumns::Column& column, const MetadataValue& operand, Words* out) const;
  // The same for kEq, kNe, kIn and kNin from the column's value slots
  // (MetadataColumns::value_slots); false when the column has none.
  bool match_values(const MetadataColumns& columns, const MetadataColumns::Column& column,
                    Words* out) const;
  bool satisfied(std::partial_ordering order) const;

  Kind kind_ = Kind::kAll;
  std::vector<Filter> children_;
  std::string key_;
  Op op_ = Op::kEq;
  std::vector<MetadataValue> values_;  // one constant, or the set of kIn / kNin
};

}  // namespace vesk

#endif  // VESK_CORE_COLLECTION_FILTER_H_
