// The nine record classes of vesk_core: ModelRef, IndexStatus, IndexInfo,
// DocumentInfo, QueryResultDocumentInfo, SearchResult, AddDocumentsOptions,
// GetDocumentsOptions and SerializedIndex.
//
// Each class is described once, by its Record<Value> table below: the class
// name and its fields in constructor order. The type object, constructor,
// text signature and attribute accessors (py_records.cc) and the conversions
// (Caster<Value>, below) are all made from that table. An instance holds one
// C++ value (a core record where the fields match, a binding-side struct where
// they do not) and a borrow flag. Values cross the boundary only by copy:
// Caster<Value>::Load copies a record out of an instance under a shared
// borrow, Caster<Value>::Cast and Wrap build a new instance owning its value.
//
// Thread safety: GIL held for every call; instances may be used from any
// thread. Ownership: each instance owns its value; type objects are created
// on first use and kept for the life of the process.
#ifndef VESK_CORE_BINDING_PY_RECORDS_H_
#define VESK_CORE_BINDING_PY_RECORDS_H_

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "borrow_flag.h"
#include "embedding_buffer.h"
#include "models/document_info.h"
#include "models/index_info.h"
#include "models/options.h"
#include "models/search_result.h"
#include "models/serialized_index.h"
#include "models/vesk_model.h"
#include "py_convert.h"

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

// Moves every field; the status becomes its name ("Ready", ...).
IndexInfoValue ToIndexInfoValue(vesk::IndexInfo info);

// One field of a record class: the member it stands for, which is also the
// parameter of the constructor and the read-write attribute of that name.
template <auto Member>
struct Field {
  static constexpr auto kMember = Member;
  const char* name;
  // The default as the text signature shows it ("None", "0.0", "True"), or
  // null for a required parameter. The default value itself is the one the
  // C++ value starts with.
  const char* default_text = nullptr;
  const char* doc = nullptr;  // the attribute's docstring, if any
};

// The table of one record class: kName, the class name, and kFields, a tuple
// of Fields in constructor order (required ones first).
template <typename Value>
struct Record;

template <>
struct Record<vesk::ModelRef> {
  static constexpr const char* kName = "ModelRef";
  static constexpr auto kFields = std::tuple{
      Field<&vesk::ModelRef::id>{"id"},
      Field<&vesk::ModelRef::version>{"version"},
  };
};

// Also carries the status names as class attributes (py_records.cc).
template <>
struct Record<IndexStatusValue> {
  static constexpr const char* kName = "IndexStatus";
  static constexpr auto kFields = std::tuple{
      Field<&IndexStatusValue::value>{"value"},
  };
};

template <>
struct Record<IndexInfoValue> {
  static constexpr const char* kName = "IndexInfo";
  static constexpr auto kFields = std::tuple{
      Field<&IndexInfoValue::id>{"id"},
      Field<&IndexInfoValue::name>{"name"},
      Field<&IndexInfoValue::version>{"version"},
      Field<&IndexInfoValue::status>{"status", nullptr,
                                     "Stored as string; see PyIndexStatus for constants."},
      Field<&IndexInfoValue::doc_count>{"doc_count"},
      Field<&IndexInfoValue::created_at>{"created_at"},
      Field<&IndexInfoValue::updated_at>{"updated_at"},
      Field<&IndexInfoValue::model>{"model"},
  };
};

template <>
struct Record<vesk::DocumentInfo> {
  static constexpr const char* kName = "DocumentInfo";
  static constexpr auto kFields = std::tuple{
      Field<&vesk::DocumentInfo::id>{"id"},
      Field<&vesk::DocumentInfo::text>{"text"},
      Field<&vesk::DocumentInfo::metadata>{"metadata", "None"},
  };
};

template <>
struct Record<vesk::QueryResultDocumentInfo> {
  using Doc = vesk::QueryResultDocumentInfo;
  static constexpr const char* kName = "QueryResultDocumentInfo";
  static constexpr auto kFields = std::tuple{
      Field<&Doc::id>{"id"},
      Field<&Doc::text>{"text"},
      Field<&Doc::metadata>{"metadata", "None"},
      Field<&Doc::score>{"score", "0.0"},
  };
};

template <>
struct Record<vesk::SearchResult> {
  static constexpr const char* kName = "SearchResult";
  static constexpr auto kFields = std::tuple{
      Field<&vesk::SearchResult::docs>{"docs"},
      Field<&vesk::SearchResult::query>{"query"},
      Field<&vesk::SearchResult::index_name>{"index_name", "None"},
      Field<&vesk::SearchResult::time_taken_ms>{"time_taken_ms", "None"},
  };
};

template <>
struct Record<AddDocumentsOptionsValue> {
  static constexpr const char* kName = "AddDocumentsOptions";
  static constexpr auto kFields = std::tuple{
      Field<&AddDocumentsOptionsValue::upsert>{"upsert", "True"},
  };
};

template <>
struct Record<vesk::GetDocumentsOptions> {
  static constexpr const char* kName = "GetDocumentsOptions";
  static constexpr auto kFields = std::tuple{
      Field<&vesk::GetDocumentsOptions::doc_ids>{"doc_ids", "None"},
  };
};

template <>
struct Record<vesk::SerializedIndex> {
  static constexpr const char* kName = "SerializedIndex";
  static constexpr auto kFields = std::tuple{
      Field<&vesk::SerializedIndex::name>{"name"},
      Field<&vesk::SerializedIndex::version>{"version"},
      Field<&vesk::SerializedIndex::model>{"model"},
      Field<&vesk::SerializedIndex::dimension>{"dimension"},
      Field<&vesk::SerializedIndex::embeddings>{"embeddings"},
      Field<&vesk::SerializedIndex::doc_ids>{"doc_ids"},
  };
};

template <typename Value>
concept IsRecord = requires {
  Record<Value>::kFields;
};

// The type object of a record class, created on first use; null with an
// exception set if creating it fails. Defined for the nine values above.
template <typename Value>
PyTypeObject* RecordType();

// The memory layout of every record instance.
template <typename Value>
struct RecordObject {
  PyObject_HEAD BorrowFlag borrow;
  Value value;
};

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
requires IsRecord<Value>
struct Caster<Value> {
  static bool Load(PyObject* src, Value* out) {
    std::optional<SharedBorrow> borrow;
    const Value* value = Peek(src, &borrow);
    if (value == nullptr) return false;
    *out = *value;
    return true;
  }
  // The instance's record itself, readable while *borrow (set here) is held,
  // for callers that only read it and call no Python code meanwhile. Null with
  // the exception set, as for Load, when `src` is not an instance or is held
  // exclusively.
  static const Value* Peek(PyObject* src, std::optional<SharedBorrow>* borrow) {
    PyTypeObject* type = RecordType<Value>();
    if (type == nullptr) return nullptr;
    if (!CheckInstance(src, type, Record<Value>::kName)) return nullptr;
    auto* object = reinterpret_cast<RecordObject<Value>*>(src);
    borrow->emplace(object->borrow);
    if (!(*borrow)->ok()) return nullptr;
    return &object->value;
  }
  // A new instance taking over `value`.
  static PyObject* Wrap(Value&& value) {
    PyTypeObject* type = RecordType<Value>();
    if (type == nullptr) return nullptr;
    return NewRecordObject(type, std::move(value));
  }
  static PyObject* Cast(const Value& value) { return Wrap(Value(value)); }
};

// A new list of new instances, each taking over one element of `values`.
template <typename Value>
PyObject* WrapList(std::vector<Value>&& values) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* item = Caster<Value>::Wrap(std::move(values[i]));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace vesk_core

#endif  // VESK_CORE_BINDING_PY_RECORDS_H_
