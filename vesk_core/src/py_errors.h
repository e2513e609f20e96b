// Python exceptions raised by the binding, PanicException for internal
// failures, and Boundary, which every entry point runs its body in.
//
// Each Raise*/Set* function sets the pending Python exception and leaves the
// return value to the caller (null, -1 or false). Internal failures (broken
// preconditions in the core, C++ exceptions) are written to stderr with their
// source location and raised as PanicException, a class derived from
// BaseException that is created on first use and is not a module attribute.
//
// Thread safety: every function needs the GIL and none releases it.
// Ownership: nothing returned here needs releasing; PanicException lives for
// the whole process.
#ifndef VESK_CORE_BINDING_PY_ERRORS_H_
#define VESK_CORE_BINDING_PY_ERRORS_H_

#include <source_location>
#include <string>
#include <string_view>
#include <type_traits>

#include "py_ref.h"
#include "utils/status.h"

namespace vesk_core {

// The qualified name of `obj`'s type, or "<failed to extract type name>".
std::string TypeQualName(PyObject* obj);

// TypeError "'<type of obj>' object cannot be converted to '<target>'".
void RaiseCannotConvert(PyObject* obj, std::string_view target);

// Needs a pending exception. If it is exactly a TypeError, replaces it by
// TypeError "argument '<name>': <message>" whose __cause__ is the original;
// any other exception is left as it is.
void WrapArgumentError(const char* name);

// Sets `type`(message); the text is decoded as UTF-8 (invalid bytes replaced)
// and may contain NUL characters.
void SetError(PyObject* type, std::string_view message);

// Writes `message` with the source location to stderr, then sets
// PanicException(message). Used for internal failures only.
void RaisePanic(std::string_view message,
                std::source_location where = std::source_location::current());

// Returns true when `status` is ok. Otherwise raises ValueError(message) for
// InvalidArgument and RaisePanic(message) for anything else, and returns
// false.
bool CheckStatus(const vesk::Status& status,
                 std::source_location where = std::source_location::current());

namespace detail {
void HandleCurrentException() noexcept;
void EnsureErrorSet() noexcept;
}  // namespace detail

// Runs `body` (which returns PyObject* or int) so that no C++ exception
// reaches the interpreter: std::bad_alloc becomes MemoryError, any other
// exception PanicException. A failure result (null or negative) without a
// pending exception becomes SystemError.
template <typename Body>
auto Boundary(Body&& body) noexcept -> decltype(body()) {
  using Out = decltype(body());
  try {
    Out result = body();
    if constexpr (std::is_pointer_v<Out>) {
      if (result == nullptr) detail::EnsureErrorSet();
    } else {
      if (result < 0) detail::EnsureErrorSet();
    }
    return result;
  } catch (...) {
    detail::HandleCurrentException();
  }
  if constexpr (std::is_pointer_v<Out>) {
    return nullptr;
  } else {
    return -1;
  }
}

}  // namespace vesk_core

#endif  // VESK_CORE_BINDING_PY_ERRORS_H_
