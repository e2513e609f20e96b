// Conventions shared by every callable of the vesk_core extension module.
//
// This header is the binding's toolkit; the record classes (models.h), the
// Index class (index.h) and the module functions (utils.h) are written in
// terms of it and nothing else touches the C API directly for these chores:
//
//   - Ref / Handle: owning and borrowed references. A Ref is made with
//     Ref::steal (takes over a new reference) or Ref::borrow (adds one);
//     a Handle never changes a reference count.
//   - Signature / BindArguments: binds positional and keyword arguments to
//     named parameters and raises the TypeError texts of a Python function
//     ("Index.query() missing 1 required positional argument: 'top_k'").
//   - Caster<T>: converts one Python value into an owned C++ value (Load)
//     and one C++ value into a new Python object (Cast). LoadArgument wraps a
//     conversion TypeError as "argument '<name>': ..." with the original
//     error as __cause__.
//   - BorrowFlag: the per-instance borrow counter of every class, with RAII
//     guards that raise "Already borrowed" / "Already mutably borrowed".
//   - PanicException and RaisePanic: internal failures (broken preconditions
//     in the core) are written to stderr and raised as PanicException, which
//     derives from BaseException.
//   - Boundary: wraps the body of every entry point so that no C++ exception
//     crosses into the interpreter and a null result always has an exception.
//
// Thread safety: every function here must be called with the GIL held; no
// function releases it. Ownership: Casters produce new references / owned
// values; Handles and the PyObject* slots filled by BindArguments are
// borrowed from the caller's argument vector and live as long as the call.
#ifndef VESK_CORE_BINDING_LIB_H_
#define VESK_CORE_BINDING_LIB_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <source_location>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "models/document_info.h"
#include "models/embedding_batch.h"
#include "utils/status.h"

namespace vesk_core {

// ---------------------------------------------------------------------------
// References

// A borrowed reference: never touches the reference count.
class Handle {
 public:
  Handle() = default;
  Handle(PyObject* ptr) : ptr_(ptr) {}  // NOLINT: borrowing is implicit
  PyObject* ptr() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }

 private:
  PyObject* ptr_ = nullptr;
};

// An owning reference: releases its reference when destroyed.
class Ref {
 public:
  Ref() = default;
  // Takes over a new reference (null allowed, e.g. a failed API call).
  static Ref steal(PyObject* ptr) { return Ref(ptr); }
  // Adds a reference to a borrowed pointer.
  static Ref borrow(PyObject* ptr) {
    Py_XINCREF(ptr);
    return Ref(ptr);
  }

  Ref(const Ref& other) : ptr_(Py_XNewRef(other.ptr_)) {}
  Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(ptr_, other.ptr_);
    return *this;
  }
  ~Ref() { Py_XDECREF(ptr_); }

  PyObject* get() const { return ptr_; }
  Handle handle() const { return Handle(ptr_); }
  explicit operator bool() const { return ptr_ != nullptr; }
  // Hands the reference to the caller (e.g. as a function's result).
  PyObject* release() { return std::exchange(ptr_, nullptr); }

 private:
  explicit Ref(PyObject* ptr) : ptr_(ptr) {}
  PyObject* ptr_ = nullptr;
};

// ---------------------------------------------------------------------------
// Exceptions

// The qualified name of `obj`'s type, or "<failed to extract type name>".
std::string TypeQualName(PyObject* obj);

// TypeError "'<type of obj>' object cannot be converted to '<target>'".
void RaiseCannotConvert(PyObject* obj, std::string_view target);

// If the pending exception is exactly a TypeError, replaces it by
// TypeError "argument '<name>': <message>" whose __cause__ is the original.
// Any other pending exception is left as it is.
void WrapArgumentError(const char* name);

// The PanicException class (a new reference is not returned: the class lives
// for the whole process). Created on first use; null with an exception set if
// that fails.
PyObject* PanicExceptionType();

// Sets `type`(message); the text is decoded as UTF-8 (invalid bytes replaced)
// and may contain NUL characters.
void SetError(PyObject* type, std::string_view message);

// Writes `message` with the source location to stderr, then sets
// PanicException(message). Used for internal failures only.
void RaisePanic(std::string_view message,
                std::source_location where = std::source_location::current());

// Maps a failed core status: InvalidArgument -> ValueError(message),
// Internal -> RaisePanic(message). Returns false when `status` is an error.
bool CheckStatus(const vesk::Status& status,
                 std::source_location where = std::source_location::current());

// Runs `body` (which returns PyObject* or int) and turns every C++ exception
// into a Python one: std::bad_alloc -> MemoryError, anything else ->
// PanicException. A failure result without an exception becomes SystemError.
namespace detail {
void HandleCurrentException() noexcept;
void EnsureErrorSet() noexcept;
}  // namespace detail

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

// ---------------------------------------------------------------------------
// Borrow flags

// 0 when free, the number of readers while shared, kExclusive while written.
class BorrowFlag {
 public:
  static constexpr uintptr_t kExclusive = ~uintptr_t{0};

  // Each Try* returns false and raises RuntimeError on a conflict.
  bool TryShared() {
    if (count_ == kExclusive) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return false;
    }
    ++count_;
    return true;
  }
  bool TryExclusive() {
    if (count_ != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return false;
    }
    count_ = kExclusive;
    return true;
  }
  void ReleaseShared() { --count_; }
  void ReleaseExclusive() { count_ = 0; }

 private:
  uintptr_t count_ = 0;
};

// Scoped borrows; check ok() after construction.
class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) : flag_(flag.TryShared() ? &flag : nullptr) {}
  ~SharedBorrow() {
    if (flag_) flag_->ReleaseShared();
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  bool ok() const { return flag_ != nullptr; }

 private:
  BorrowFlag* flag_;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag.TryExclusive() ? &flag : nullptr) {}
  ~ExclusiveBorrow() {
    if (flag_) flag_->ReleaseExclusive();
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  bool ok() const { return flag_ != nullptr; }

 private:
  BorrowFlag* flag_;
};

// ---------------------------------------------------------------------------
// Argument binding

// Every parameter is positional-or-keyword; the first `required` ones have
// no default. `full_name` is how errors name the callable ("Index.query()").
struct Signature {
  const char* full_name;
  std::span<const char* const> params;
  size_t required;
};

// Fills out[0..params.size()) with the bound arguments, borrowed from the
// call (empty where absent). Returns false with TypeError set on a binding
// error.
bool BindFastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                  Handle* out);
bool BindTupleDict(const Signature& sig, PyObject* args, PyObject* kwargs, Handle* out);

// ---------------------------------------------------------------------------
// Conversions

// Primary template: specialised per supported type. Load(src, out) returns
// false with an exception set; Cast(value) returns a new reference or null.
template <typename T>
struct Caster;

// 32-bit float from a double, as an IEEE conversion: nearest value, ties to
// even, magnitudes beyond the float range become infinities, NaN stays NaN.
float NarrowToFloat(double value);

template <>
struct Caster<std::string> {
  static bool Load(PyObject* src, std::string* out);
  static PyObject* Cast(const std::string& value) {
    return PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
  }
};

// A view of a bytes object's contents, valid while the object lives.
template <>
struct Caster<std::string_view> {
  static bool Load(PyObject* src, std::string_view* out);
};

template <>
struct Caster<uint64_t> {
  static bool Load(PyObject* src, uint64_t* out);
  static PyObject* Cast(uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
};

template <>
struct Caster<float> {
  static bool Load(PyObject* src, float* out);
  static PyObject* Cast(float value) { return PyFloat_FromDouble(value); }
};

template <>
struct Caster<bool> {
  static bool Load(PyObject* src, bool* out);
  static PyObject* Cast(bool value) { return Py_NewRef(value ? Py_True : Py_False); }
};

// Metadata: a dict of str -> str, kept in the dict's iteration order.
template <>
struct Caster<vesk::Metadata> {
  static bool Load(PyObject* src, vesk::Metadata* out);
  static PyObject* Cast(const vesk::Metadata& value);
};

template <typename T>
struct Caster<std::optional<T>> {
  static bool Load(PyObject* src, std::optional<T>* out) {
    if (src == Py_None) {
      out->reset();
      return true;
    }
    T value;
    if (!Caster<T>::Load(src, &value)) return false;
    *out = std::move(value);
    return true;
  }
  static PyObject* Cast(const std::optional<T>& value) {
    return value ? Caster<T>::Cast(*value) : Py_NewRef(Py_None);
  }
};

namespace detail {
// Checks the shape rules shared by every list conversion: a str raises
// "Can't extract `str` to `Vec`", a non-sequence "'<type>' object cannot be
// converted to 'Sequence'". Returns the reported length (0 if unknown).
bool CheckSequence(PyObject* src, Py_ssize_t* size_hint);

// Calls fn(item) for every item of a sequence that passed CheckSequence:
// lists and tuples are read directly (from item `start` on), anything else
// through its iterator (`start` must then be 0). Stops at the first fn
// returning false.
template <typename Fn>
bool ForEachItem(PyObject* src, Fn&& fn, Py_ssize_t start = 0) {
  if (PyList_CheckExact(src)) {
    // Re-read the size each step: converting an item may run Python code.
    for (Py_ssize_t i = start; i < PyList_GET_SIZE(src); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(src, i));
      if (!fn(item.get())) return false;
    }
    return true;
  }
  if (PyTuple_CheckExact(src)) {
    for (Py_ssize_t i = start; i < PyTuple_GET_SIZE(src); ++i) {
      if (!fn(PyTuple_GET_ITEM(src, i))) return false;
    }
    return true;
  }
  Ref iter = Ref::steal(PyObject_GetIter(src));
  if (!iter) return false;
  while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
    if (!fn(item.get())) return false;
  }
  return !PyErr_Occurred();
}

// Reserve no more than this many entries on the strength of __len__ alone.
inline constexpr Py_ssize_t kMaxReserve = Py_ssize_t{1} << 20;
// Reserve no more than this many floats for a batch on the strength of its
// first embedding (embeddings may differ in length).
inline constexpr size_t kMaxReserveFloats = size_t{1} << 28;
}  // namespace detail

template <typename T>
struct Caster<std::vector<T>> {
  static bool Load(PyObject* src, std::vector<T>* out) {
    Py_ssize_t hint = 0;
    if (!detail::CheckSequence(src, &hint)) return false;
    std::vector<T> values;
    values.reserve(static_cast<size_t>(PyList_CheckExact(src) || PyTuple_CheckExact(src)
                                           ? hint
                                           : std::min(hint, detail::kMaxReserve)));
    bool ok = detail::ForEachItem(src, [&](PyObject* item) {
      T value;
      if (!Caster<T>::Load(item, &value)) return false;
      values.push_back(std::move(value));
      return true;
    });
    if (!ok) return false;
    *out = std::move(values);
    return true;
  }
  static PyObject* Cast(const std::vector<T>& value) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(value.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < value.size(); ++i) {
      PyObject* item = Caster<T>::Cast(value[i]);
      if (!item) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  }
};

// Embeddings. Besides any sequence of numbers, a 1-D float32/float64 buffer
// (NumPy array, array.array, memoryview) is read directly; results are the
// same as reading it number by number.
template <>
struct Caster<std::vector<float>> {
  static bool Load(PyObject* src, std::vector<float>* out);
  static PyObject* Cast(const std::vector<float>& value);
};

// Lists of embeddings; a 2-D C-contiguous float32/float64 NumPy array is
// read directly.
template <>
struct Caster<std::vector<std::vector<float>>> {
  static bool Load(PyObject* src, std::vector<std::vector<float>>* out);
  static PyObject* Cast(const std::vector<std::vector<float>>& value);
};

template <>
struct Caster<vesk::EmbeddingBatch> {
  static bool Load(PyObject* src, vesk::EmbeddingBatch* out);
};

// Converts a bound argument; on a TypeError renames it after the parameter.
template <typename T>
bool LoadArgument(Handle src, const char* name, T* out) {
  if (Caster<T>::Load(src.ptr(), out)) return true;
  WrapArgumentError(name);
  return false;
}

// As LoadArgument, but an absent argument keeps *out as it is.
template <typename T>
bool LoadOptionalArgument(Handle src, const char* name, T* out) {
  return !src || LoadArgument(src, name, out);
}

// Builds a 2-tuple from two new references (either may be null on failure).
PyObject* MakePair(PyObject* first, PyObject* second);

// ---------------------------------------------------------------------------
// Type creation and receivers

// A fast-call function (with or without keywords) as the PyCFunction that
// PyMethodDef stores; METH_FASTCALL in ml_flags says how it is called.
template <typename Fn>
PyCFunction AsCFunction(Fn* fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// Creates a heap type from `type_spec`, or null with an exception set.
PyTypeObject* CreateType(PyType_Spec* type_spec);

// True if `obj` is an instance of `type`; otherwise raises TypeError
// "'<type>' object cannot be converted to '<class_name>'".
bool CheckInstance(PyObject* obj, PyTypeObject* type, std::string_view class_name);

}  // namespace vesk_core

#endif  // VESK_CORE_BINDING_LIB_H_
