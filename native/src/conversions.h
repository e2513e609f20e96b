// Conversions between Python objects and the core's collection types for the
// module vesk._native: lists of strings, typed metadata, float32 arrays and
// compiled filters in, hits, documents and explanations out.
//
// Every function here needs the interpreter lock. Inputs that do not fit
// raise: TypeError for a value of the wrong type, ValueError for a value of
// the right type that is out of range or malformed (nanobind turns the C++
// exceptions nb::type_error and nb::value_error into those).
//
// Ownership: results are new C++ values or new Python references; array views
// (FloatRows) borrow the array's buffer and keep the array alive.
#ifndef VESK_NATIVE_CONVERSIONS_H_
#define VESK_NATIVE_CONVERSIONS_H_

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "collection/collection.h"
#include "collection/filter.h"
#include "collection/metadata_value.h"
#include "utils/status.h"

namespace vesk::native {

namespace nb = nanobind;

using FloatArray = nb::ndarray<const float, nb::c_contig, nb::device::cpu>;

// Raises ValueError with the status's message. REQUIRES: !status.ok().
[[noreturn]] void raise_status(const Status& status);

// The items of a list or tuple of str, `what` naming the argument in messages.
std::vector<std::string> to_strings(nb::handle sequence, const char* what);

// A dict with str keys and str, int, float or bool values.
TypedMetadata to_metadata(nb::handle dict);
nb::dict from_metadata(const TypedMetadata& metadata);

// A float32 C-contiguous CPU array of `ndim` dimensions whose last has `dim`
// values (and, for two dimensions, `rows` rows), every value finite. Holds a
// reference to the array.
struct FloatRows {
  FloatArray array;
  std::span<const float> values;
};
FloatRows to_float_rows(nb::handle object, size_t ndim, size_t rows, size_t dim, const char* what);

// The normalized filter tree: ("and", [f, ...]), ("or", [f, ...]) or
// ("cmp", key, op, value) with op in eq, ne, gt, gte, lt, lte, in, nin (a list
// of values for in and nin).
Filter to_filter(nb::handle tree);

// (id, score, text, metadata, keyword_rank, keyword_score, dense_rank, dense_score)
nb::tuple from_hit(const CollectionHit& hit);
nb::list from_hits(const std::vector<CollectionHit>& hits);
nb::dict from_explanation(const Explanation& explanation);

}  // namespace vesk::native

#endif  // VESK_NATIVE_CONVERSIONS_H_
