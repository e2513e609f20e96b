// Conversions of embeddings: one embedding (a list of 32-bit floats), a list
// of embeddings, and the batch that Index.add_documents hands to the core.
//
// Besides any sequence of numbers, an exact numpy.ndarray, array.array or
// memoryview holding native float32 or float64 items, C-contiguous, is read
// straight from its buffer (one dimension for an embedding, two for a list of
// them; only NumPy has the second). The results are bit for bit those of
// reading the same numbers one by one through Python floats, and any other
// buffer takes the item-by-item path, so that its results and errors stay
// those of that path.
//
// Thread safety: GIL held; the item-by-item path may run Python code.
// Ownership: every Load copies; a buffer is released before Load returns.
#ifndef VESK_CORE_BINDING_EMBEDDING_BUFFER_H_
#define VESK_CORE_BINDING_EMBEDDING_BUFFER_H_

#include <vector>

#include "models/embedding_batch.h"
#include "py_convert.h"

namespace vesk_core {

template <>
struct Caster<std::vector<float>> {
  static bool Load(PyObject* src, std::vector<float>* out);
  static PyObject* Cast(const std::vector<float>& value) { return detail::CastList(value); }
};

template <>
struct Caster<std::vector<std::vector<float>>> {
  static bool Load(PyObject* src, std::vector<std::vector<float>>* out);
  static PyObject* Cast(const std::vector<std::vector<float>>& value) {
    return detail::CastList(value);
  }
};

// The batch's buffer is reserved up front (from the array's shape, or from
// the first embedding and the sequence's length) and, when large, advised
// onto huge pages.
template <>
struct Caster<vesk::EmbeddingBatch> {
  static bool Load(PyObject* src, vesk::EmbeddingBatch* out);
};

}  // namespace vesk_core

#endif  // VESK_CORE_BINDING_EMBEDDING_BUFFER_H_
