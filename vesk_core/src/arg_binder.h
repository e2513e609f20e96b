// Argument binding: matches the positional and keyword arguments of a call
// to named parameters and raises the TypeError texts of a Python function
// ("Index.query() missing 1 required positional argument: 'top_k'").
//
// Every parameter can be passed by position or by keyword; the first
// `required` ones have no default. Binding only places arguments: converting
// them is py_convert.h's LoadArgument.
//
// Thread safety: GIL held. Ownership: the Handles filled in are borrowed from
// the call's arguments and valid for the call only.
#ifndef VESK_CORE_BINDING_ARG_BINDER_H_
#define VESK_CORE_BINDING_ARG_BINDER_H_

#include <cstddef>
#include <span>

#include "py_ref.h"

namespace vesk_core {

struct Signature {
  const char* full_name;  // how errors name the callable: "Index.query()"
  std::span<const char* const> params;
  size_t required;
};

// Fill out[0..params.size()) with the arguments bound to each parameter
// (an empty Handle where absent) and return true; on a binding error return
// false with TypeError set. BindFastcall takes a vectorcall argument vector
// (METH_FASTCALL | METH_KEYWORDS), BindTupleDict a tuple and an optional dict
// (tp_new).
bool BindFastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                  Handle* out);
bool BindTupleDict(const Signature& sig, PyObject* args, PyObject* kwargs, Handle* out);

// A fast-call function (with or without keywords) as the PyCFunction that
// PyMethodDef stores; METH_FASTCALL in ml_flags says how it is called.
template <typename Fn>
PyCFunction AsCFunction(Fn* fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

}  // namespace vesk_core

#endif  // VESK_CORE_BINDING_ARG_BINDER_H_
