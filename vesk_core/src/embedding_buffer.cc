// Embedding conversions: the float-buffer fast path and the item-by-item path.
#include "embedding_buffer.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "utils/page_advice.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vesk_core {

namespace {

// Reserve no more than this many floats for a batch on the strength of its
// first embedding (embeddings may differ in length).
constexpr size_t kMaxReserveFloats = size_t{1} << 28;

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
  size_t cols() const { return static_cast<size_t>(view_.shape[1]); }  // 2-D buffers only

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

// Reads one embedding into `out`, which must be empty.
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
    out->reserve(detail::ReserveFor(src, hint));
  }
  return detail::ForEachItem(
      src,
      [out](PyObject* item) {
        float value;
        if (!Caster<float>::Load(item, &value)) return false;
        out->push_back(value);
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
  rows.reserve(detail::ReserveFor(src, hint));
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

namespace {

// Reserves room for `count` embeddings holding `values` floats in all and
// asks for huge pages under it: filling 100 MB of fresh memory through 4 KiB
// page faults costs several times the copy itself (NumPy advises its large
// arrays the same way).
void ReserveBatch(vesk::EmbeddingBatch& batch, size_t count, size_t values) {
  batch.reserve(count, values);
  // An empty append exposes the (still untouched) start of the buffer.
  float* base = batch.append_uninitialized(0);
  batch.pop_back();
  vesk::advise_huge_pages(base, values * sizeof(float));
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
  std::vector<float> row;
  bool reserved = false;
  bool ok = detail::ForEachItem(src, [&](PyObject* item) {
    row.clear();
    if (!LoadFloatsInto(item, &row)) return false;
    if (!reserved) {
      // Size the buffer from the first embedding: usually all are alike.
      const size_t count = detail::ReserveFor(src, hint);
      ReserveBatch(batch, count, std::min(count * row.size(), kMaxReserveFloats));
      reserved = true;
    }
    batch.append(row);
    return true;
  });
  if (!ok) return false;
  *out = std::move(batch);
  return true;
}

}  // namespace vesk_core
