// The Index class of vesk_core: a Python object that owns one vesk::Index.
//
// Every member converts its arguments, takes the access cell around the core
// index (shared for get_info, get_documents, query, serialize and doc_count;
// exclusive for add_documents, delete_documents, deserialize and clear),
// calls the core, and converts the result into new Python objects.
//
// Thread safety: an instance is bound to the thread that created it. Calls
// from any other thread raise PanicException; dropping the last reference on
// another thread leaks the core index and reports an unraisable RuntimeError.
// The GIL is held for the whole of every call and never released.
// Ownership: the instance owns its core index from construction to
// deallocation; nothing it returns aliases the index's storage.
#ifndef VESK_CORE_BINDING_PY_INDEX_H_
#define VESK_CORE_BINDING_PY_INDEX_H_

#include "py_ref.h"

namespace vesk_core {

// The Index type object, created on first use and kept for the process; null
// with an exception set if creating it fails.
PyTypeObject* IndexType();

}  // namespace vesk_core

#endif  // VESK_CORE_BINDING_PY_INDEX_H_
