// MetadataValue: one typed metadata value of a collection's document (a
// string, a 64-bit integer, a double or a bool), and the comparisons that
// filters apply to such values.
//
// Numbers of different types (int64 vs double) compare by their exact
// mathematical values, with no rounding of the integer to double. A bool is
// not a number: it compares only with another bool (false < true). Strings
// compare bytewise, which for UTF-8 is code point order. Values of
// incomparable types are neither equal nor ordered; a NaN double is neither
// equal to nor ordered against anything.
//
// Thread safety: plain values and pure functions. Ownership: a value owns its
// string.
#ifndef VESK_CORE_COLLECTION_METADATA_VALUE_H_
#define VESK_CORE_COLLECTION_METADATA_VALUE_H_

#include <compare>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace vesk {

// std::monostate marks "no value" inside a column; it never reaches a caller
// as a document's value.
using MetadataValue = std::variant<std::monostate, std::string, int64_t, double, bool>;

// A document's metadata as given to a collection: keys unique, any order.
using TypedMetadata = std::vector<std::pair<std::string, MetadataValue>>;

// The order of `a` and `b`: less, equivalent or greater when they are
// comparable as described above, unordered otherwise (also when either is
// std::monostate).
std::partial_ordering compare_metadata(const MetadataValue& a, const MetadataValue& b);

}  // namespace vesk

#endif  // VESK_CORE_COLLECTION_METADATA_VALUE_H_
