// The module functions serializeToBinary and deserializeFromBinary: a
// SerializedIndex to and from the ".vesk" binary container.
//
// Thread safety: GIL held; the functions touch no shared state and may be
// called from any thread. Ownership: both return new objects; the bytes
// argument of deserializeFromBinary is read in place for the call only.
#ifndef VESK_CORE_BINDING_PY_BINARY_H_
#define VESK_CORE_BINDING_PY_BINARY_H_

#include "py_ref.h"

namespace vesk_core {

// New function objects bound to `module` (their __module__ is its name), or
// null with an exception set.
PyObject* NewSerializeToBinary(PyObject* module);
PyObject* NewDeserializeFromBinary(PyObject* module);

}  // namespace vesk_core

#endif  // VESK_CORE_BINDING_PY_BINARY_H_
