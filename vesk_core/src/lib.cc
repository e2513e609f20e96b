// Binding conventions: argument binding, conversions, exceptions, borrows.
// See lib.h for the contract; everything here runs with the GIL held.
#include "lib.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <exception>
#include <limits>
#include <new>

#include <sys/mman.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vesk_core {

// ---------------------------------------------------------------------------
// Exceptions

namespace {

constexpr const char* kPanicExceptionName = "vesk_core.PanicException";
constexpr const char* kPanicExceptionDoc =
    "\n"
    "The exception raised when native code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

PyObject* g_panic_exception = nullptr;

// Keeps the path from the project root on ("vesk_core/src/index.cc").
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
  if (!PyErr_Occurred()) return;
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

PyObject* PanicExceptionType() {
  if (g_panic_exception == nullptr) {
    PyObject* created = PyErr_NewExceptionWithDoc(kPanicExceptionName, kPanicExceptionDoc,
                                                  PyExc_BaseException, nullptr);
    if (created == nullptr) return nullptr;
    if (g_panic_exception == nullptr) {
      g_panic_exception = created;  // kept for the life of the process
    } else {
      Py_DECREF(created);  // another thread won while the GIL was released
    }
  }
  return g_panic_exception;
}

void SetError(PyObject* type, std::string_view message) {
  Ref text = Ref::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
}

void RaisePanic(std::string_view message, std::source_location where) {
  std::fprintf(stderr, "vesk_core panicked at %.*s:%u:\n%.*s\n",
               static_cast<int>(ShortFileName(where.file_name()).size()),
               ShortFileName(where.file_name()).data(), static_cast<unsigned>(where.line()),
               static_cast<int>(message.size()), message.data());
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

// ---------------------------------------------------------------------------
// Argument binding

namespace {

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

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
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

// ---------------------------------------------------------------------------
// Scalar conversions

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

namespace {

bool LoadDouble(PyObject* src, double* out) {
  if (PyFloat_CheckExact(src)) {
    *out = PyFloat_AS_DOUBLE(src);
    return true;
  }
  double value = PyFloat_AsDouble(src);
  if (value == -1.0 && PyErr_Occurred()) return false;
  *out = value;
  return true;
}

}  // namespace

bool Caster<float>::Load(PyObject* src, float* out) {
  double value;
  if (!LoadDouble(src, &value)) return false;
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

// ---------------------------------------------------------------------------
// Sequences and embeddings

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

namespace {

// Copies `count` floats, setting the quiet bit of every NaN: a signalling NaN
// read through a Python float (float -> double -> float) comes back quiet,
// and the buffer path must give the same bits. One pass, four lanes at a time.
void CopyQuietingNaNs(const float* in, size_t count, float* out) {
  constexpr uint32_t kAbs = 0x7fffffffu;
  constexpr uint32_t kInf = 0x7f800000u;
  constexpr uint32_t kQuiet = 0x00400000u;
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i abs_mask = _mm_set1_epi32(static_cast<int>(kAbs));
  const __m128i inf = _mm_set1_epi32(static_cast<int>(kInf));
  const __m128i quiet = _mm_set1_epi32(static_cast<int>(kQuiet));
  for (; i + 4 <= count; i += 4) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    // |v| > inf as signed 32-bit integers is exactly "v is a NaN".
    __m128i nan = _mm_cmpgt_epi32(_mm_and_si128(v, abs_mask), inf);
    v = _mm_or_si128(v, _mm_and_si128(nan, quiet));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), v);
  }
#endif
  for (; i < count; ++i) {
    uint32_t bits = std::bit_cast<uint32_t>(in[i]);
    if ((bits & kAbs) > kInf) bits |= kQuiet;
    out[i] = std::bit_cast<float>(bits);
  }
}

// A float buffer exported by an object whose items, read one by one, are the
// same numbers: an exact numpy.ndarray, array.array or memoryview with native
// float32 or float64 items, C-contiguous. Anything else (other dtypes,
// non-native byte order, strided views, other exporters) takes the general
// path so that its results and errors stay those of item-by-item reading.
class FloatBuffer {
 public:
  // Tries to view `src` as a C-contiguous float buffer of `ndim` dimensions.
  FloatBuffer(PyObject* src, int ndim) {
    if (!IsCandidate(src, ndim)) return;
    if (PyObject_GetBuffer(src, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
      PyErr_Clear();
      return;
    }
    held_ = true;
    if (view_.ndim != ndim || !ParseFormat(src, view_.format, view_.itemsize)) return;
    valid_ = true;
  }
  ~FloatBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  FloatBuffer(const FloatBuffer&) = delete;
  FloatBuffer& operator=(const FloatBuffer&) = delete;

  bool valid() const { return valid_; }
  size_t rows() const { return static_cast<size_t>(view_.shape[0]); }
  size_t cols() const { return view_.ndim == 2 ? static_cast<size_t>(view_.shape[1]) : rows(); }

  // Copies `count` items starting at item `first` into `out`, rounding
  // float64 items to float32 and quieting float32 signalling NaNs exactly as
  // reading each item through a Python float would.
  void CopyTo(size_t first, size_t count, float* out) const {
    if (is_double_) {
      const double* in = static_cast<const double*>(view_.buf) + first;
      for (size_t i = 0; i < count; ++i) out[i] = NarrowToFloat(in[i]);
      return;
    }
    CopyQuietingNaNs(static_cast<const float*>(view_.buf) + first, count, out);
  }

 private:
  static bool IsNumpyArray(PyObject* src) {
    return std::strcmp(Py_TYPE(src)->tp_name, "numpy.ndarray") == 0;
  }

  static bool IsCandidate(PyObject* src, int ndim) {
    if (IsNumpyArray(src)) return true;
    // Iterating a multi-dimensional memoryview is not supported, and an
    // array.array is always flat, so only NumPy provides the 2-D path.
    if (ndim != 1) return false;
    if (Py_IS_TYPE(src, &PyMemoryView_Type)) return true;
    return std::strcmp(Py_TYPE(src)->tp_name, "array.array") == 0;
  }

  bool ParseFormat(PyObject* src, const char* format, Py_ssize_t itemsize) {
    if (format == nullptr) return false;
    if (*format == '@') {
      ++format;
    } else if ((*format == '<' || *format == '=') && IsNumpyArray(src) &&
               std::endian::native == std::endian::little) {
      ++format;
    }
    if (format[0] == 'f' && format[1] == '\0' && itemsize == 4) {
      is_double_ = false;
      return true;
    }
    if (format[0] == 'd' && format[1] == '\0' && itemsize == 8) {
      is_double_ = true;
      return true;
    }
    return false;
  }

  Py_buffer view_{};
  bool held_ = false;
  bool valid_ = false;
  bool is_double_ = false;
};

// Appends the numbers of one embedding to `out` (which the caller cleared).
bool LoadFloatsInto(PyObject* src, std::vector<float>* out) {
  {
    FloatBuffer buffer(src, 1);
    if (buffer.valid()) {
      out->resize(buffer.rows());
      buffer.CopyTo(0, buffer.rows(), out->data());
      return true;
    }
  }
  Py_ssize_t hint = 0;
  if (!detail::CheckSequence(src, &hint)) return false;
  Py_ssize_t done = 0;
  if (PyList_CheckExact(src) || PyTuple_CheckExact(src)) {
    // Reading an exact float runs no Python code, so the leading run of them
    // is read straight from the item array; the first other item hands over
    // to the general loop, which re-reads the size at every step.
    PyObject** items = PySequence_Fast_ITEMS(src);
    out->resize(static_cast<size_t>(hint));
    while (done < hint && PyFloat_CheckExact(items[done])) {
      (*out)[static_cast<size_t>(done)] = NarrowToFloat(PyFloat_AS_DOUBLE(items[done]));
      ++done;
    }
    out->resize(static_cast<size_t>(done));
    if (done == hint) return true;
  } else {
    out->reserve(static_cast<size_t>(std::min(hint, detail::kMaxReserve)));
  }
  return detail::ForEachItem(
      src,
      [out](PyObject* item) {
        double value;
        if (!LoadDouble(item, &value)) return false;
        out->push_back(NarrowToFloat(value));
        return true;
      },
      done);
}

}  // namespace

bool Caster<std::vector<float>>::Load(PyObject* src, std::vector<float>* out) {
  std::vector<float> values;
  if (!LoadFloatsInto(src, &values)) return false;
  *out = std::move(values);
  return true;
}

PyObject* Caster<std::vector<float>>::Cast(const std::vector<float>& value) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(value.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < value.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(value[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

bool Caster<std::vector<std::vector<float>>>::Load(PyObject* src,
                                                   std::vector<std::vector<float>>* out) {
  std::vector<std::vector<float>> rows;
  {
    FloatBuffer buffer(src, 2);
    if (buffer.valid()) {
      rows.resize(buffer.rows());
      for (size_t r = 0; r < rows.size(); ++r) {
        rows[r].resize(buffer.cols());
        buffer.CopyTo(r * buffer.cols(), buffer.cols(), rows[r].data());
      }
      *out = std::move(rows);
      return true;
    }
  }
  Py_ssize_t hint = 0;
  if (!detail::CheckSequence(src, &hint)) return false;
  rows.reserve(static_cast<size_t>(std::min(hint, detail::kMaxReserve)));
  bool ok = detail::ForEachItem(src, [&rows](PyObject* item) {
    std::vector<float> row;
    if (!LoadFloatsInto(item, &row)) return false;
    rows.push_back(std::move(row));
    return true;
  });
  if (!ok) return false;
  *out = std::move(rows);
  return true;
}

PyObject* Caster<std::vector<std::vector<float>>>::Cast(
    const std::vector<std::vector<float>>& value) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(value.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < value.size(); ++i) {
    PyObject* row = Caster<std::vector<float>>::Cast(value[i]);
    if (row == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row);
  }
  return list.release();
}

namespace {

// Asks the kernel to back [start, start + bytes) with transparent huge pages,
// as NumPy does for its large arrays. Filling 100 MB of fresh memory through
// 4 KiB page faults costs several times the copy itself. Advice only: any
// failure is ignored and small buffers are left alone.
void AdviseHugePages(void* start, size_t bytes) {
#ifdef MADV_HUGEPAGE
  constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
  if (start == nullptr || bytes < 2 * kHugePage) return;
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(start) + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(start) + bytes) & ~(kHugePage - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
}

// Reserves room for `count` embeddings holding `values` floats in all.
void ReserveBatch(vesk::EmbeddingBatch& batch, size_t count, size_t values) {
  batch.reserve(count, values);
  // An empty append exposes the (still untouched) start of the buffer.
  float* base = batch.append_uninitialized(0);
  batch.pop_back();
  AdviseHugePages(base, values * sizeof(float));
}

}  // namespace

bool Caster<vesk::EmbeddingBatch>::Load(PyObject* src, vesk::EmbeddingBatch* out) {
  vesk::EmbeddingBatch batch;
  {
    FloatBuffer buffer(src, 2);
    if (buffer.valid()) {
      const size_t rows = buffer.rows();
      const size_t cols = buffer.cols();
      ReserveBatch(batch, rows, rows * cols);
      for (size_t r = 0; r < rows; ++r)
        buffer.CopyTo(r * cols, cols, batch.append_uninitialized(cols));
      *out = std::move(batch);
      return true;
    }
  }
  Py_ssize_t hint = 0;
  if (!detail::CheckSequence(src, &hint)) return false;
  const bool exact_size = PyList_CheckExact(src) || PyTuple_CheckExact(src);
  std::vector<float> row;
  bool reserved = false;
  bool ok = detail::ForEachItem(src, [&](PyObject* item) {
    row.clear();
    if (!LoadFloatsInto(item, &row)) return false;
    if (!reserved) {
      // Size the buffer from the first embedding: usually all are alike.
      const size_t count = exact_size ? static_cast<size_t>(hint)
                                      : static_cast<size_t>(std::min(hint, detail::kMaxReserve));
      ReserveBatch(batch, count, std::min(count * row.size(), detail::kMaxReserveFloats));
      reserved = true;
    }
    batch.append(row);
    return true;
  });
  if (!ok) return false;
  *out = std::move(batch);
  return true;
}

// ---------------------------------------------------------------------------
// Types and receivers

PyTypeObject* CreateType(PyType_Spec* type_spec) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(type_spec));
}

bool CheckInstance(PyObject* obj, PyTypeObject* type, std::string_view class_name) {
  if (PyObject_TypeCheck(obj, type)) return true;
  RaiseCannotConvert(obj, class_name);
  return false;
}

}  // namespace vesk_core
