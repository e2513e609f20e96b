// The JSON document of a SerializedIndex: the compact writer and the lenient
// reader.
//
// The document is one object with the members, in this order, "name",
// "version", "model" {"id", "version"}, "dimension", "embeddings" and
// "docIds". The writer emits exactly that, without whitespace, each float as
// the shortest decimal that reads back as the same float32 and non-finite
// floats as null. The reader accepts members in any order, skips unknown
// members, and also accepts the six values as an array (the model as
// [id, version]). A null inside an embedding reads back as NaN, so that a
// document written from an index holding a non-finite value can be loaded.
//
// Reader errors use the wording of a typical strict JSON deserializer
// ("missing field `docIds`", "invalid type: null, expected a string",
// "trailing characters", ...) and always end with
// " at line L column C", where L counts from 1 and C is the number of bytes
// read on that line.
//
// Thread safety: every function here is pure; distinct calls may run
// concurrently. Ownership: results are new values owned by the caller;
// inputs are only read.
#ifndef VESK_CORE_MODELS_SERIALIZED_INDEX_JSON_H_
#define VESK_CORE_MODELS_SERIALIZED_INDEX_JSON_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "models/serialized_index.h"
#include "utils/status.h"

namespace vesk {

// Returns the JSON document of `index`. Cannot fail.
std::string serialized_index_to_json(const SerializedIndex& index);

// Parses a JSON document. On failure returns InvalidArgument whose message
// is the error text, position suffix included.
Result<SerializedIndex> serialized_index_from_json(std::string_view json);

// ---- Building blocks for containers that carry the document ----

// Transforms document bytes in place. `offset` is the position of data[0]
// within the whole document, so a transform may depend on the position.
using JsonByteTransform = void (*)(char* data, size_t size, size_t offset);

// An upper bound of the length of the document of `index`, computed without
// formatting any number (a fast pass over the embeddings).
size_t serialized_index_json_bound(const SerializedIndex& index);

// Appends the document of `index` to *out. The text is produced in chunks of
// a few kilobytes; when `encode` is not null each chunk passes through it
// before it is appended. Reserve serialized_index_json_bound() bytes first to
// avoid any reallocation.
void append_serialized_index_json(const SerializedIndex& index, std::string* out,
                                  JsonByteTransform encode = nullptr);

// Writes the document of `index` into out[0, capacity) and returns its
// full length. If that exceeds `capacity`, only the first `capacity` bytes
// were stored. `encode` works as for append_serialized_index_json.
size_t write_serialized_index_json(const SerializedIndex& index, char* out, size_t capacity,
                                   JsonByteTransform encode = nullptr);

// Like serialized_index_from_json, but `stored` holds the document in an
// encoded form of the same length: `decode` (if not null) turns stored bytes
// into document bytes, chunk by chunk, without a full decoded copy.
Result<SerializedIndex> serialized_index_from_json(std::string_view stored,
                                                   JsonByteTransform decode);

}  // namespace vesk

#endif  // VESK_CORE_MODELS_SERIALIZED_INDEX_JSON_H_
