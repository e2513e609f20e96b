// Argument binding and its error messages.
#include "arg_binder.h"

#include <algorithm>
#include <string>
#include <vector>

namespace vesk_core {

namespace {

// Raises "<full name> takes ... positional arguments but <given> were given";
// returns false.
bool RaiseTooManyPositional(const Signature& sig, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (sig.required == sig.params.size()) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                 sig.full_name, sig.params.size(), given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 sig.full_name, sig.required, sig.params.size(), given, verb);
  }
  return false;
}

// Binds one keyword argument to the parameter of that name.
bool BindKeyword(const Signature& sig, PyObject* name, PyObject* value, Handle* out) {
  if (!PyUnicode_Check(name)) {
    PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    return false;
  }
  for (size_t i = 0; i < sig.params.size(); ++i) {
    if (PyUnicode_EqualToUTF8(name, sig.params[i])) {
      if (out[i]) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.full_name,
                     sig.params[i]);
        return false;
      }
      out[i] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.full_name, name);
  return false;
}

// True when every required parameter is bound; otherwise raises "<full name>
// missing <k> required positional argument(s): " and the names as "'a'",
// "'a' and 'b'" or "'a', 'b', and 'c'".
bool CheckRequired(const Signature& sig, const Handle* out) {
  std::vector<const char*> missing;
  for (size_t i = 0; i < sig.required; ++i) {
    if (!out[i]) missing.push_back(sig.params[i]);
  }
  if (missing.empty()) return true;
  std::string message = sig.full_name;
  message += " missing " + std::to_string(missing.size()) + " required positional argument";
  if (missing.size() > 1) message += "s";
  message += ": ";
  for (size_t i = 0; i < missing.size(); ++i) {
    if (i != 0) {
      if (missing.size() > 2) message += ",";
      message += i + 1 == missing.size() ? " and " : " ";
    }
    message += "'";
    message += missing[i];
    message += "'";
  }
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

}  // namespace

bool BindFastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                  Handle* out) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  std::fill_n(out, sig.params.size(), Handle());
  if (static_cast<size_t>(nargs) > sig.params.size()) return RaiseTooManyPositional(sig, nargs);
  std::copy_n(args, nargs, out);
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!BindKeyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
    }
  }
  return CheckRequired(sig, out);
}

bool BindTupleDict(const Signature& sig, PyObject* args, PyObject* kwargs, Handle* out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  std::fill_n(out, sig.params.size(), Handle());
  if (static_cast<size_t>(nargs) > sig.params.size()) return RaiseTooManyPositional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (!BindKeyword(sig, name, value, out)) return false;
    }
  }
  return CheckRequired(sig, out);
}

}  // namespace vesk_core
