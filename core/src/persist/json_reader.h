// The lenient streaming JSON reader of a SerializedIndex.
//
// It accepts the document the writer produces (persist/json_writer.h) with
// the members in any order and whitespace anywhere, skips unknown members,
// and also accepts the six values as an array (the model as [id, version]).
// A null inside an embedding reads back as NaN, so that a document written
// from an index holding a non-finite value can be loaded. Numbers are read
// as a strict deserializer reads them (persist/float_text.h).
//
// Errors use the wording of a typical strict JSON deserializer
// ("missing field `docIds`", "invalid type: null, expected a string",
// "trailing characters", ...) and always end with
// " at line L column C", where L counts from 1 and C is the number of bytes
// read on that line.
//
// Thread safety: every function here is pure; distinct calls may run
// concurrently. Ownership: results are new values owned by the caller;
// inputs are only read.
#ifndef VESK_CORE_PERSIST_JSON_READER_H_
#define VESK_CORE_PERSIST_JSON_READER_H_

#include <string_view>

#include "models/serialized_index.h"
#include "persist/json_byte_transform.h"
#include "utils/status.h"

namespace vesk {

// Parses a JSON document. On success returns the record; on failure returns
// InvalidArgument whose message is the error text, position suffix included.
Result<SerializedIndex> serialized_index_from_json(std::string_view json);

// Like serialized_index_from_json, but `stored` holds the document in an
// encoded form of the same length: `decode` (if not null) turns stored bytes
// into document bytes, chunk by chunk, without a full decoded copy. Errors
// and their positions are those of the decoded document.
Result<SerializedIndex> serialized_index_from_json(std::string_view stored,
                                                   JsonByteTransform decode);

}  // namespace vesk

#endif  // VESK_CORE_PERSIST_JSON_READER_H_
