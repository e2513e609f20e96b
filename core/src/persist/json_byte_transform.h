// The hook through which a container scrambles the JSON document as it is
// written and unscrambles it as it is read, chunk by chunk, without a full
// copy of the document in either form.
//
// Thread safety: a plain function pointer; the functions it points to must
// be safe to call concurrently on distinct buffers.
#ifndef VESK_CORE_PERSIST_JSON_BYTE_TRANSFORM_H_
#define VESK_CORE_PERSIST_JSON_BYTE_TRANSFORM_H_

#include <cstddef>

namespace vesk {

// Transforms document bytes in place. `offset` is the position of data[0]
// within the whole document, so a transform may depend on the position; it
// must keep the length.
using JsonByteTransform = void (*)(char* data, size_t size, size_t offset);

}  // namespace vesk

#endif  // VESK_CORE_PERSIST_JSON_BYTE_TRANSFORM_H_
