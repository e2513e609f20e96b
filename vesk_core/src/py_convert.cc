// Conversions of text, counts, floats, booleans, metadata and sequences.
#include "py_convert.h"

#include <limits>

namespace vesk_core {

float NarrowToFloat(double value) {
  // Doubles at or beyond the midpoint between FLT_MAX and 2^128 round to
  // infinity; below it the conversion is exact or rounds to a finite float.
  constexpr double kOverflow = 0x1.ffffffp127;
  if (value >= kOverflow) return std::numeric_limits<float>::infinity();
  if (value <= -kOverflow) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

bool Caster<std::string>::Load(PyObject* src, std::string* out) {
  if (!PyUnicode_Check(src)) {
    RaiseCannotConvert(src, "PyString");
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(src, &size);
  if (text == nullptr) return false;
  out->assign(text, static_cast<size_t>(size));
  return true;
}

bool Caster<std::string_view>::Load(PyObject* src, std::string_view* out) {
  if (!PyBytes_Check(src)) {
    RaiseCannotConvert(src, "PyBytes");
    return false;
  }
  *out = std::string_view(PyBytes_AS_STRING(src), static_cast<size_t>(PyBytes_GET_SIZE(src)));
  return true;
}

bool Caster<uint64_t>::Load(PyObject* src, uint64_t* out) {
  unsigned long long value;
  if (PyLong_CheckExact(src)) {
    value = PyLong_AsUnsignedLongLong(src);
  } else {
    Ref index = Ref::steal(PyNumber_Index(src));
    if (!index) return false;
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = value;
  return true;
}

bool Caster<float>::Load(PyObject* src, float* out) {
  double value;
  if (PyFloat_CheckExact(src)) {
    value = PyFloat_AS_DOUBLE(src);
  } else {
    value = PyFloat_AsDouble(src);
    if (value == -1.0 && PyErr_Occurred()) return false;
  }
  *out = NarrowToFloat(value);
  return true;
}

namespace {

// NumPy's boolean scalar type (numpy.bool, formerly numpy.bool_).
bool IsNumpyBool(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  Ref module = Ref::steal(PyType_GetModuleName(type));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(module.get()) || !PyUnicode_EqualToUTF8(module.get(), "numpy")) {
    return false;
  }
  Ref name = Ref::steal(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_EqualToUTF8(name.get(), "bool") || PyUnicode_EqualToUTF8(name.get(), "bool_");
}

}  // namespace

bool Caster<bool>::Load(PyObject* src, bool* out) {
  if (src == Py_True || src == Py_False) {
    *out = src == Py_True;
    return true;
  }
  if (IsNumpyBool(src)) {
    PyNumberMethods* number = Py_TYPE(src)->tp_as_number;
    if (number == nullptr || number->nb_bool == nullptr) {
      PyErr_Format(PyExc_TypeError, "object of type '%s' does not define a '__bool__' method",
                   TypeQualName(src).c_str());
      return false;
    }
    int truth = number->nb_bool(src);
    if (truth < 0) return false;
    *out = truth != 0;
    return true;
  }
  RaiseCannotConvert(src, "PyBool");
  return false;
}

bool Caster<vesk::Metadata>::Load(PyObject* src, vesk::Metadata* out) {
  if (!PyDict_Check(src)) {
    RaiseCannotConvert(src, "PyDict");
    return false;
  }
  vesk::Metadata entries;
  entries.reserve(static_cast<size_t>(PyDict_GET_SIZE(src)));
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(src, &pos, &key, &value)) {
    std::pair<std::string, std::string> entry;
    if (!Caster<std::string>::Load(key, &entry.first)) return false;
    if (!Caster<std::string>::Load(value, &entry.second)) return false;
    entries.push_back(std::move(entry));
  }
  *out = std::move(entries);
  return true;
}

PyObject* Caster<vesk::Metadata>::Cast(const vesk::Metadata& value) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, text] : value) {
    Ref k = Ref::steal(Caster<std::string>::Cast(key));
    if (!k) return nullptr;
    Ref v = Ref::steal(Caster<std::string>::Cast(text));
    if (!v) return nullptr;
    if (PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* MakePair(PyObject* first, PyObject* second) {
  Ref a = Ref::steal(first);
  Ref b = Ref::steal(second);
  if (!a || !b) return nullptr;
  PyObject* pair = PyTuple_New(2);
  if (pair == nullptr) return nullptr;
  PyTuple_SET_ITEM(pair, 0, a.release());
  PyTuple_SET_ITEM(pair, 1, b.release());
  return pair;
}

namespace detail {

bool CheckSequence(PyObject* src, Py_ssize_t* size_hint) {
  if (PyUnicode_Check(src)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (PyList_CheckExact(src)) {
    *size_hint = PyList_GET_SIZE(src);
    return true;
  }
  if (PyTuple_CheckExact(src)) {
    *size_hint = PyTuple_GET_SIZE(src);
    return true;
  }
  if (!PySequence_Check(src)) {
    RaiseCannotConvert(src, "Sequence");
    return false;
  }
  Py_ssize_t size = PySequence_Size(src);
  if (size < 0) {
    PyErr_Clear();
    size = 0;
  }
  *size_hint = size;
  return true;
}

}  // namespace detail

bool CheckInstance(PyObject* obj, PyTypeObject* type, std::string_view class_name) {
  if (PyObject_TypeCheck(obj, type)) return true;
  RaiseCannotConvert(obj, class_name);
  return false;
}

}  // namespace vesk_core
