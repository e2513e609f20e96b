// The ".vesk" binary container: a 12-byte header followed by the JSON
// document of a SerializedIndex, scrambled byte by byte.
//
// Layout (integers unsigned little-endian):
//   offset 0   4 bytes  magic "VESK"
//   offset 4   4 bytes  format version, 1
//   offset 8   4 bytes  payload length N
//   offset 12  N bytes  xor_transform(JSON document)
//
// The scramble is not encryption: it only keeps the payload from being
// plain text. Containers are portable between builds that share the
// scramble constant.
//
// Thread safety: every function here is pure; distinct calls may run
// concurrently. Ownership: results are new buffers owned by the caller;
// inputs are only read.
#ifndef VESK_CORE_PERSIST_BINARY_H_
#define VESK_CORE_PERSIST_BINARY_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "models/serialized_index.h"
#include "utils/status.h"

namespace vesk {

inline constexpr size_t kBinaryHeaderSize = 12;
inline constexpr uint32_t kBinaryFormatVersion = 1;

// The one-byte scramble constant of the container format.
uint8_t scramble_byte();

// Returns a buffer of the same length as `data` whose byte i is
// data[i] ^ scramble_byte() ^ (i mod 255). Applying it twice gives back the
// input; an empty input gives an empty output.
std::vector<uint8_t> xor_transform(std::span<const uint8_t> data);

// Same transform, applied in place to `data`. `offset` is the position of
// data[0] within the scrambled stream (so a stream may be done in pieces).
void xor_transform_in_place(std::span<uint8_t> data, size_t offset = 0);

// Writes the container for `index`. Never fails for a document shorter than
// 2^32 bytes; a longer JSON payload cannot be described by the length field
// and fails with InvalidArgument. The result is allocated once, from an
// upper bound of its size (the bound's unused tail is never written), and
// the document is scrambled chunk by chunk as it is written.
Result<std::string> serialize_to_binary(const SerializedIndex& index);

// An upper bound of the size of the container of `index`, computed with one
// quick pass over the embeddings and no formatting.
size_t binary_size_bound(const SerializedIndex& index);

// Writes the container of `index` straight into out[0, capacity), for
// callers that own the destination (a Python bytes object, say): with
// capacity >= binary_size_bound(index) it cannot run short. Returns the
// container size. Fails with InvalidArgument like serialize_to_binary, and
// also if `capacity` is too small (the contents of `out` are then
// unspecified).
Result<size_t> serialize_to_binary_into(const SerializedIndex& index, char* out, size_t capacity);

// Reads a container. On success returns the record. On failure returns
// InvalidArgument with one of the messages, checked in this order:
//   "binary data too short for header"    (fewer than 12 bytes)
//   "invalid magic number"
//   "unsupported version: V"              (V the version found)
//   "binary data truncated"               (fewer payload bytes than declared)
//   "failed to parse JSON payload: E"     (E the JSON reader's message)
// Bytes after the declared payload are ignored. The payload is unscrambled
// in small chunks as the parser reads it; no decoded copy is made.
Result<SerializedIndex> deserialize_from_binary(std::string_view data);

}  // namespace vesk

#endif  // VESK_CORE_PERSIST_BINARY_H_
