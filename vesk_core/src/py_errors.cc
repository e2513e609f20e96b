// Raising exceptions, PanicException and the failure half of Boundary.
#include "py_errors.h"

#include <cstdio>
#include <exception>
#include <new>

namespace vesk_core {

namespace {

constexpr const char* kPanicExceptionName = "vesk_core.PanicException";
constexpr const char* kPanicExceptionDoc =
    "\n"
    "The exception raised when native code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// The PanicException class (borrowed: it lives for the whole process),
// created on first use; null with an exception set if creating it fails.
// Creating the class runs no Python code, so no other thread can get in
// between the check and the store.
PyObject* PanicExceptionType() {
  static PyObject* panic_exception = nullptr;
  if (panic_exception == nullptr) {
    panic_exception = PyErr_NewExceptionWithDoc(kPanicExceptionName, kPanicExceptionDoc,
                                                PyExc_BaseException, nullptr);
  }
  return panic_exception;
}

// Keeps the path from the project root on ("vesk_core/src/py_index.cc").
std::string_view ShortFileName(std::string_view path) {
  for (std::string_view root : {"vesk_core/src/", "core/src/"}) {
    size_t at = path.rfind(root);
    if (at != std::string_view::npos) return path.substr(at);
  }
  return path;
}

}  // namespace

std::string TypeQualName(PyObject* obj) {
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (name) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (text != nullptr) return std::string(text, static_cast<size_t>(size));
  }
  PyErr_Clear();
  return "<failed to extract type name>";
}

void RaiseCannotConvert(PyObject* obj, std::string_view target) {
  std::string message = "'" + TypeQualName(obj) + "' object cannot be converted to '";
  message.append(target);
  message += "'";
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

void WrapArgumentError(const char* name) {
  Ref original = Ref::steal(PyErr_GetRaisedException());
  if (Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(original.release());
    return;
  }
  Ref text = Ref::steal(PyObject_Str(original.get()));
  if (!text) return;  // the failure of str() is the pending exception now
  Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  Ref wrapped = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!wrapped) return;
  PyException_SetCause(wrapped.get(), original.release());  // steals the cause
  PyErr_SetRaisedException(wrapped.release());
}

void SetError(PyObject* type, std::string_view message) {
  Ref text = Ref::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
}

void RaisePanic(std::string_view message, std::source_location where) {
  const std::string_view file = ShortFileName(where.file_name());
  std::fprintf(stderr, "vesk_core panicked at %.*s:%u:\n%.*s\n", static_cast<int>(file.size()),
               file.data(), static_cast<unsigned>(where.line()), static_cast<int>(message.size()),
               message.data());
  std::fflush(stderr);
  PyObject* type = PanicExceptionType();
  if (type == nullptr) return;  // the creation failure is the pending exception
  SetError(type, message);
}

bool CheckStatus(const vesk::Status& status, std::source_location where) {
  if (status.ok()) return true;
  if (status.IsInvalidArgument()) {
    SetError(PyExc_ValueError, status.message());
  } else {
    RaisePanic(status.message(), where);
  }
  return false;
}

namespace detail {

void EnsureErrorSet() noexcept {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
}

void HandleCurrentException() noexcept {
  try {
    try {
      throw;
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::exception& e) {
      RaisePanic(e.what());
    } catch (...) {
      RaisePanic("unknown C++ exception");
    }
  } catch (...) {
    Py_FatalError("uncaught panic at ffi boundary");
  }
}

}  // namespace detail

}  // namespace vesk_core
