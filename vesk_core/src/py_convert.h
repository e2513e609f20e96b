// Conversions between Python values and the C++ values of the binding.
//
// Caster<T>::Load(src, out) converts one Python value into an owned T and
// returns true, or returns false with an exception set and *out unchanged;
// Caster<T>::Cast(value) returns a new Python object, or null with an
// exception set. This header covers text, counts, floats, booleans, metadata,
// optionals and lists; embeddings (embedding_buffer.h) and record instances
// (py_records.h) add their own specialisations. LoadArgument converts a bound
// argument and renames a conversion TypeError after its parameter.
//
// Thread safety: GIL held; a list conversion may run Python code (an item's
// __float__, a sequence's iterator). Ownership: Load copies everything except
// the bytes view, which borrows the bytes object's buffer.
#ifndef VESK_CORE_BINDING_PY_CONVERT_H_
#define VESK_CORE_BINDING_PY_CONVERT_H_

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "models/document_info.h"
#include "py_errors.h"
#include "py_ref.h"

namespace vesk_core {

// Primary template: specialised per supported type.
template <typename T>
struct Caster;

// Embeddings are converted by embedding_buffer.h; declared here so that no
// user of a list of floats falls back to the generic list conversion.
template <>
struct Caster<std::vector<float>>;
template <>
struct Caster<std::vector<std::vector<float>>>;

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

// None is the absent value.
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
// converted to 'Sequence'". On success stores the reported length (0 if
// unknown) in *size_hint.
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

// Reserve no more than this many entries on the strength of __len__ alone
// (lists and tuples report their true length and are reserved in full).
inline constexpr Py_ssize_t kMaxReserve = Py_ssize_t{1} << 20;

inline size_t ReserveFor(PyObject* src, Py_ssize_t size_hint) {
  const bool exact = PyList_CheckExact(src) || PyTuple_CheckExact(src);
  return static_cast<size_t>(exact ? size_hint : std::min(size_hint, kMaxReserve));
}

// A new list of Caster<T>::Cast of every element.
template <typename T>
PyObject* CastList(const std::vector<T>& values) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* item = Caster<T>::Cast(values[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace detail

template <typename T>
struct Caster<std::vector<T>> {
  static bool Load(PyObject* src, std::vector<T>* out) {
    Py_ssize_t hint = 0;
    if (!detail::CheckSequence(src, &hint)) return false;
    std::vector<T> values;
    values.reserve(detail::ReserveFor(src, hint));
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
  static PyObject* Cast(const std::vector<T>& value) { return detail::CastList(value); }
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

// True if `obj` is an instance of `type`; otherwise raises TypeError
// "'<type>' object cannot be converted to '<class_name>'".
bool CheckInstance(PyObject* obj, PyTypeObject* type, std::string_view class_name);

}  // namespace vesk_core

#endif  // VESK_CORE_BINDING_PY_CONVERT_H_
