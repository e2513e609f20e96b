// The compact JSON writer of a SerializedIndex.
//
// The document is one object with the members, in this order, "name",
// "version", "model" {"id", "version"}, "dimension", "embeddings" and
// "docIds", written without whitespace. Each float is the shortest decimal
// that reads back as the same float32 and a non-finite float is null (see
// persist/float_text.h); strings escape '"', '\\' and the control characters
// only, so UTF-8 passes through unchanged.
//
// Thread safety: every function here is pure; distinct calls may run
// concurrently. Ownership: results are new values owned by the caller (or
// bytes in the caller's buffer); inputs are only read.
#ifndef VESK_CORE_PERSIST_JSON_WRITER_H_
#define VESK_CORE_PERSIST_JSON_WRITER_H_

#include <cstddef>
#include <string>

#include "models/serialized_index.h"
#include "persist/json_byte_transform.h"

namespace vesk {

// Returns the JSON document of `index`. Cannot fail.
std::string serialized_index_to_json(const SerializedIndex& index);

// An upper bound of the length of the document of `index`, computed without
// formatting any number (a fast pass over the embeddings).
size_t serialized_index_json_bound(const SerializedIndex& index);

// Appends the document of `index` to *out: the string is grown once by
// serialized_index_json_bound() bytes, the text is written in place and the
// string shrunk to it. When `encode` is not null the text passes through it
// in pieces of a few kilobytes as it is written. Cannot fail.
void append_serialized_index_json(const SerializedIndex& index, std::string* out,
                                  JsonByteTransform encode = nullptr);

// Writes the document of `index` into out[0, capacity) and returns its
// full length. If that exceeds `capacity`, only the first `capacity` bytes
// were stored. The text goes straight into `out`; should `out` turn out too
// small, the document is written again through a small buffer, so callers
// size it from serialized_index_json_bound(). `encode` works as for
// append_serialized_index_json.
size_t write_serialized_index_json(const SerializedIndex& index, char* out, size_t capacity,
                                   JsonByteTransform encode = nullptr);

}  // namespace vesk

#endif  // VESK_CORE_PERSIST_JSON_WRITER_H_
