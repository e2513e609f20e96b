// The nine record classes of vesk_core: ModelRef, IndexStatus, IndexInfo,
// DocumentInfo, QueryResultDocumentInfo, SearchResult, AddDocumentsOptions,
// GetDocumentsOptions and SerializedIndex.
//
// Each class is a heap type "builtins.<Class>" whose instances hold one C++
// value (a core record where the fields match, a binding-side struct where
// they do not) and a borrow flag. Values cross the boundary only by copy:
// Caster<Value>::Load copies a record out of an instance under a shared
// borrow, Caster<Value>::Cast / Wrap build a new instance owning its value.
//
// Thread safety: GIL held for every call; instances may be used from any
// thread. Ownership: each instance owns its value; type objects are created
// on first use and kept for the life of the process.
#ifndef VESK_CORE_BINDING_MODELS_H_
#define VESK_CORE_BINDING_MODELS_H_

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lib.h"
#include "models/document_info.h"
#include "models/index_info.h"
#include "models/options.h"
#include "models/search_result.h"
#include "models/serialized_index.h"
#include "models/vesk_model.h"

namespace vesk_core {

// Binding-side values of the classes whose fields differ from the core's.
struct IndexStatusValue {
  std::string value;
};

// As vesk::IndexInfo, with the status kept as free text.
struct IndexInfoValue {
  std::string id;
  std::string name;
  std::string version;
  std::string status;
  uint64_t doc_count = 0;
  std::string created_at;
  std::string updated_at;
  vesk::ModelRef model;
};

// As vesk::AddDocumentsOptions, with `upsert` always present.
struct AddDocumentsOptionsValue {
  bool upsert = true;
};

// Moves every field; the status becomes its text ("Ready", ...).
IndexInfoValue ToIndexInfoValue(vesk::IndexInfo info);

// The memory layout of every record instance.
template <typename Value>
struct RecordObject {
  PyObject_HEAD BorrowFlag borrow;
  Value value;
};

// Per-class facts: the type object (created on first use) and the class name.
template <typename Value>
struct RecordClass;

#define VESK_CORE_RECORD_CLASS(ValueType, ClassName)     \
  template <>                                            \
  struct RecordClass<ValueType> {                        \
    static constexpr std::string_view kName = ClassName; \
    static PyTypeObject* Type();                         \
  }

VESK_CORE_RECORD_CLASS(vesk::ModelRef, "ModelRef");
VESK_CORE_RECORD_CLASS(IndexStatusValue, "IndexStatus");
VESK_CORE_RECORD_CLASS(IndexInfoValue, "IndexInfo");
VESK_CORE_RECORD_CLASS(vesk::DocumentInfo, "DocumentInfo");
VESK_CORE_RECORD_CLASS(vesk::QueryResultDocumentInfo, "QueryResultDocumentInfo");
VESK_CORE_RECORD_CLASS(vesk::SearchResult, "SearchResult");
VESK_CORE_RECORD_CLASS(AddDocumentsOptionsValue, "AddDocumentsOptions");
VESK_CORE_RECORD_CLASS(vesk::GetDocumentsOptions, "GetDocumentsOptions");
VESK_CORE_RECORD_CLASS(vesk::SerializedIndex, "SerializedIndex");

#undef VESK_CORE_RECORD_CLASS

// A new instance of `type` taking over `value`. Nothing can fail between the
// allocation and the (non-throwing) moves, so the instance never exists
// half-built.
template <typename Value>
PyObject* NewRecordObject(PyTypeObject* type, Value&& value) {
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  auto* object = reinterpret_cast<RecordObject<Value>*>(self.get());
  new (&object->borrow) BorrowFlag();
  new (&object->value) Value(std::move(value));
  return self.release();
}

// Conversion of record instances; see the header comment.
template <typename Value>
struct RecordCaster {
  static bool Load(PyObject* src, Value* out) {
    PyTypeObject* type = RecordClass<Value>::Type();
    if (type == nullptr) return false;
    if (!CheckInstance(src, type, RecordClass<Value>::kName)) return false;
    auto* object = reinterpret_cast<RecordObject<Value>*>(src);
    SharedBorrow borrow(object->borrow);
    if (!borrow.ok()) return false;
    *out = object->value;
    return true;
  }
  // The instance's record itself, readable while *borrow (set here) is held,
  // for callers that only read it and call no Python code meanwhile. Null with
  // the exception set, as for Load, when `src` is not an instance or is held
  // exclusively.
  static const Value* Peek(PyObject* src, std::optional<SharedBorrow>* borrow) {
    PyTypeObject* type = RecordClass<Value>::Type();
    if (type == nullptr) return nullptr;
    if (!CheckInstance(src, type, RecordClass<Value>::kName)) return nullptr;
    auto* object = reinterpret_cast<RecordObject<Value>*>(src);
    borrow->emplace(object->borrow);
    if (!(*borrow)->ok()) return nullptr;
    return &object->value;
  }
  // A new instance taking over `value`.
  static PyObject* Wrap(Value&& value) {
    PyTypeObject* type = RecordClass<Value>::Type();
    if (type == nullptr) return nullptr;
    return NewRecordObject(type, std::move(value));
  }
  static PyObject* Cast(const Value& value) { return Wrap(Value(value)); }
};

template <>
struct Caster<vesk::ModelRef> : RecordCaster<vesk::ModelRef> {};
template <>
struct Caster<IndexStatusValue> : RecordCaster<IndexStatusValue> {};
template <>
struct Caster<IndexInfoValue> : RecordCaster<IndexInfoValue> {};
template <>
struct Caster<vesk::DocumentInfo> : RecordCaster<vesk::DocumentInfo> {};
template <>
struct Caster<vesk::QueryResultDocumentInfo> : RecordCaster<vesk::QueryResultDocumentInfo> {};
template <>
struct Caster<vesk::SearchResult> : RecordCaster<vesk::SearchResult> {};
template <>
struct Caster<AddDocumentsOptionsValue> : RecordCaster<AddDocumentsOptionsValue> {};
template <>
struct Caster<vesk::GetDocumentsOptions> : RecordCaster<vesk::GetDocumentsOptions> {};
template <>
struct Caster<vesk::SerializedIndex> : RecordCaster<vesk::SerializedIndex> {};

// A new list of new instances, each taking over one element of `values`.
template <typename Value>
PyObject* WrapList(std::vector<Value>&& values) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* item = RecordCaster<Value>::Wrap(std::move(values[i]));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace vesk_core

#endif  // VESK_CORE_BINDING_MODELS_H_
