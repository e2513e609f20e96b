// serializeToBinary / deserializeFromBinary.
#include "py_binary.h"

#include <optional>
#include <string_view>
#include <utility>

#include "arg_binder.h"
#include "persist/binary.h"
#include "py_records.h"

namespace vesk_core {

namespace {

constexpr const char* kSerializeParams[] = {"index"};
constexpr Signature kSerializeSignature{"serializeToBinary()", kSerializeParams, 1};

PyObject* SerializeToBinary(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return Boundary([&]() -> PyObject* {
    Handle bound[1];
    if (!BindFastcall(kSerializeSignature, args, nargs, kwnames, bound)) return nullptr;
    // The record is read in place under a shared borrow: the writer calls no
    // Python code, so nothing can change it meanwhile.
    std::optional<SharedBorrow> borrow;
    const vesk::SerializedIndex* record =
        Caster<vesk::SerializedIndex>::Peek(bound[0].ptr(), &borrow);
    if (record == nullptr) {
      WrapArgumentError("index");
      return nullptr;
    }
    const vesk::SerializedIndex& index = *record;
    // The container is written straight into the bytes object, sized from an
    // upper bound and then shrunk to what was written: no second copy.
    const size_t capacity = vesk::binary_size_bound(index);
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity)));
    if (!bytes) return nullptr;
    vesk::Result<size_t> written =
        vesk::serialize_to_binary_into(index, PyBytes_AS_STRING(bytes.get()), capacity);
    if (!CheckStatus(written.status())) return nullptr;
    PyObject* result = bytes.release();
    // On failure _PyBytes_Resize releases the object and sets result to null.
    if (_PyBytes_Resize(&result, static_cast<Py_ssize_t>(written.value())) < 0) return nullptr;
    return result;
  });
}

constexpr const char* kDeserializeParams[] = {"blob"};
constexpr Signature kDeserializeSignature{"deserializeFromBinary()", kDeserializeParams, 1};

PyObject* DeserializeFromBinary(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return Boundary([&]() -> PyObject* {
    Handle bound[1];
    if (!BindFastcall(kDeserializeSignature, args, nargs, kwnames, bound)) return nullptr;
    std::string_view blob;
    if (!LoadArgument(bound[0], "blob", &blob)) return nullptr;
    vesk::Result<vesk::SerializedIndex> index = vesk::deserialize_from_binary(blob);
    if (!index.ok()) {
      SetError(PyExc_ValueError, index.status().message());
      return nullptr;
    }
    return Caster<vesk::SerializedIndex>::Wrap(std::move(index).value());
  });
}

PyMethodDef kSerializeDef = {
    .ml_name = "serializeToBinary",
    .ml_meth = AsCFunction(SerializeToBinary),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc =
        "serializeToBinary(index)\n--\n\n"
        "Serialize a SerializedIndex into binary (.vesk file format).",
};

PyMethodDef kDeserializeDef = {
    .ml_name = "deserializeFromBinary",
    .ml_meth = AsCFunction(DeserializeFromBinary),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc =
        "deserializeFromBinary(blob)\n--\n\n"
        "Deserialize a binary blob into a SerializedIndex (Python object).",
};

PyObject* NewFunction(PyMethodDef* def, PyObject* module) {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return nullptr;
  return PyCMethod_New(def, module, module_name.get(), nullptr);
}

}  // namespace

PyObject* NewSerializeToBinary(PyObject* module) { return NewFunction(&kSerializeDef, module); }

PyObject* NewDeserializeFromBinary(PyObject* module) {
  return NewFunction(&kDeserializeDef, module);
}

}  // namespace vesk_core
