// The record classes: constructors, attribute accessors and type objects.
//
// Every class is assembled from the same three templates: RecordNew binds and
// converts the constructor's parameters into a fresh value, GetMember and
// SetMember read and replace one field. The per-class tables below say which
// fields exist, in which order, and under which names.
#include "models.h"

#include <array>
#include <type_traits>
#include <utility>

namespace vesk_core {

IndexInfoValue ToIndexInfoValue(vesk::IndexInfo info) {
  IndexInfoValue value;
  value.id = std::move(info.id);
  value.name = std::move(info.name);
  value.version = std::move(info.version);
  value.status = std::string(vesk::index_status_text(info.status));
  value.doc_count = info.doc_count;
  value.created_at = std::move(info.created_at);
  value.updated_at = std::move(info.updated_at);
  value.model = std::move(info.model);
  return value;
}

namespace {

template <typename Value>
RecordObject<Value>* AsRecord(PyObject* self) {
  return reinterpret_cast<RecordObject<Value>*>(self);
}

template <typename Value>
void RecordDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  RecordObject<Value>* object = AsRecord<Value>(self);
  object->value.~Value();
  object->borrow.~BorrowFlag();
  type->tp_free(self);
  Py_DECREF(type);
}

// The constructor: binds the arguments to the fields `Members` (in signature
// order), converts each given one, and keeps the value's defaults for the rest.
template <typename Value, const Signature& kSignature, auto... Members>
PyObject* RecordNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Boundary([&]() -> PyObject* {
    std::array<Handle, sizeof...(Members)> bound;
    if (!BindTupleDict(kSignature, args, kwargs, bound.data())) return nullptr;
    Value value;
    bool ok = [&]<size_t... I>(std::index_sequence<I...>) {
      return (LoadOptionalArgument(bound[I], kSignature.params[I], &(value.*Members)) && ...);
    }
    (std::index_sequence_for<decltype(Members)...>{});
    if (!ok) return nullptr;
    return NewRecordObject(type, std::move(value));
  });
}

// Accessors: the get-set descriptor has already checked that `self` is an
// instance of the class.
template <typename Value, auto Member>
PyObject* GetMember(PyObject* self, void* /*closure*/) {
  return Boundary([&]() -> PyObject* {
    RecordObject<Value>* object = AsRecord<Value>(self);
    SharedBorrow borrow(object->borrow);
    if (!borrow.ok()) return nullptr;
    using Field = std::remove_cvref_t<decltype(object->value.*Member)>;
    return Caster<Field>::Cast(object->value.*Member);
  });
}

// `closure` is the attribute name, used to name conversion errors.
template <typename Value, auto Member>
int SetMember(PyObject* self, PyObject* new_value, void* closure) {
  return Boundary([&]() -> int {
    if (new_value == nullptr) {
      PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
      return -1;
    }
    RecordObject<Value>* object = AsRecord<Value>(self);
    using Field = std::remove_cvref_t<decltype(object->value.*Member)>;
    Field field;
    if (!LoadArgument(new_value, static_cast<const char*>(closure), &field)) return -1;
    ExclusiveBorrow borrow(object->borrow);
    if (!borrow.ok()) return -1;
    object->value.*Member = std::move(field);
    return 0;
  });
}

template <typename Value, auto Member>
constexpr PyGetSetDef Attribute(const char* name, const char* doc = nullptr) {
  return PyGetSetDef{
      .name = name,
      .get = GetMember<Value, Member>,
      .set = SetMember<Value, Member>,
      .doc = doc,
      .closure = const_cast<char*>(name),
  };
}

constexpr PyGetSetDef kGetSetEnd{};

// The type object of one record class, created on first use and kept for the
// process. `finish` may add class attributes to the new type.
template <typename Value, const Signature& kSignature, auto... Members>
class RecordType {
 public:
  RecordType(const char* name, const char* doc, PyGetSetDef* getset,
             bool (*finish)(PyTypeObject*) = nullptr)
      : slots_{
            {Py_tp_new, reinterpret_cast<void*>(RecordNew<Value, kSignature, Members...>)},
            {Py_tp_dealloc, reinterpret_cast<void*>(RecordDealloc<Value>)},
            {Py_tp_getset, getset},
            {Py_tp_doc, const_cast<char*>(doc)},
            {0, nullptr},
        },
        spec_{
            .name = name,
            .basicsize = static_cast<int>(sizeof(RecordObject<Value>)),
            .itemsize = 0,
            .flags = Py_TPFLAGS_DEFAULT,  // no BASETYPE: cannot be subclassed
            .slots = slots_,
        },
        finish_(finish) {}

  PyTypeObject* Get() {
    if (type_ != nullptr) return type_;
    Ref created = Ref::steal(reinterpret_cast<PyObject*>(CreateType(&spec_)));
    if (!created) return nullptr;
    if (finish_ != nullptr && !finish_(reinterpret_cast<PyTypeObject*>(created.get()))) {
      return nullptr;
    }
    // Creation may have let another thread in; the first type made wins.
    if (type_ == nullptr) type_ = reinterpret_cast<PyTypeObject*>(created.release());
    return type_;
  }

 private:
  PyType_Slot slots_[5];
  PyType_Spec spec_;
  bool (*finish_)(PyTypeObject*);
  PyTypeObject* type_ = nullptr;
};

// ---- ModelRef

constexpr const char* kModelRefParams[] = {"id", "version"};
constexpr Signature kModelRefSignature{"ModelRef.__new__()", kModelRefParams, 2};
PyGetSetDef kModelRefGetSet[] = {
    Attribute<vesk::ModelRef, &vesk::ModelRef::id>("id"),
    Attribute<vesk::ModelRef, &vesk::ModelRef::version>("version"),
    kGetSetEnd,
};

// ---- IndexStatus

constexpr const char* kIndexStatusParams[] = {"value"};
constexpr Signature kIndexStatusSignature{"IndexStatus.__new__()", kIndexStatusParams, 1};
PyGetSetDef kIndexStatusGetSet[] = {
    Attribute<IndexStatusValue, &IndexStatusValue::value>("value"),
    kGetSetEnd,
};

bool AddIndexStatusConstants(PyTypeObject* type) {
  for (const char* name : {"NotStarted", "Building", "Ready", "Failed"}) {
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!text) return false;
    if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), name, text.get()) < 0) {
      return false;
    }
  }
  return true;
}

// ---- IndexInfo

constexpr const char* kIndexInfoParams[] = {"id",        "name",       "version",    "status",
                                            "doc_count", "created_at", "updated_at", "model"};
constexpr Signature kIndexInfoSignature{"IndexInfo.__new__()", kIndexInfoParams, 8};
PyGetSetDef kIndexInfoGetSet[] = {
    Attribute<IndexInfoValue, &IndexInfoValue::id>("id"),
    Attribute<IndexInfoValue, &IndexInfoValue::name>("name"),
    Attribute<IndexInfoValue, &IndexInfoValue::version>("version"),
    Attribute<IndexInfoValue, &IndexInfoValue::status>(
        "status", "Stored as string; see PyIndexStatus for constants."),
    Attribute<IndexInfoValue, &IndexInfoValue::doc_count>("doc_count"),
    Attribute<IndexInfoValue, &IndexInfoValue::created_at>("created_at"),
    Attribute<IndexInfoValue, &IndexInfoValue::updated_at>("updated_at"),
    Attribute<IndexInfoValue, &IndexInfoValue::model>("model"),
    kGetSetEnd,
};

// ---- DocumentInfo

constexpr const char* kDocumentInfoParams[] = {"id", "text", "metadata"};
constexpr Signature kDocumentInfoSignature{"DocumentInfo.__new__()", kDocumentInfoParams, 2};
PyGetSetDef kDocumentInfoGetSet[] = {
    Attribute<vesk::DocumentInfo, &vesk::DocumentInfo::id>("id"),
    Attribute<vesk::DocumentInfo, &vesk::DocumentInfo::text>("text"),
    Attribute<vesk::DocumentInfo, &vesk::DocumentInfo::metadata>("metadata"),
    kGetSetEnd,
};

// ---- QueryResultDocumentInfo

using vesk::QueryResultDocumentInfo;
constexpr const char* kQueryResultParams[] = {"id", "text", "metadata", "score"};
constexpr Signature kQueryResultSignature{"QueryResultDocumentInfo.__new__()", kQueryResultParams,
                                          2};
PyGetSetDef kQueryResultGetSet[] = {
    Attribute<QueryResultDocumentInfo, &QueryResultDocumentInfo::id>("id"),
    Attribute<QueryResultDocumentInfo, &QueryResultDocumentInfo::text>("text"),
    Attribute<QueryResultDocumentInfo, &QueryResultDocumentInfo::metadata>("metadata"),
    Attribute<QueryResultDocumentInfo, &QueryResultDocumentInfo::score>("score"),
    kGetSetEnd,
};

// ---- SearchResult

constexpr const char* kSearchResultParams[] = {"docs", "query", "index_name", "time_taken_ms"};
constexpr Signature kSearchResultSignature{"SearchResult.__new__()", kSearchResultParams, 2};
PyGetSetDef kSearchResultGetSet[] = {
    Attribute<vesk::SearchResult, &vesk::SearchResult::docs>("docs"),
    Attribute<vesk::SearchResult, &vesk::SearchResult::query>("query"),
    Attribute<vesk::SearchResult, &vesk::SearchResult::index_name>("index_name"),
    Attribute<vesk::SearchResult, &vesk::SearchResult::time_taken_ms>("time_taken_ms"),
    kGetSetEnd,
};

// ---- AddDocumentsOptions

constexpr const char* kAddOptionsParams[] = {"upsert"};
constexpr Signature kAddOptionsSignature{"AddDocumentsOptions.__new__()", kAddOptionsParams, 0};
PyGetSetDef kAddOptionsGetSet[] = {
    Attribute<AddDocumentsOptionsValue, &AddDocumentsOptionsValue::upsert>("upsert"),
    kGetSetEnd,
};

// ---- GetDocumentsOptions

constexpr const char* kGetOptionsParams[] = {"doc_ids"};
constexpr Signature kGetOptionsSignature{"GetDocumentsOptions.__new__()", kGetOptionsParams, 0};
PyGetSetDef kGetOptionsGetSet[] = {
    Attribute<vesk::GetDocumentsOptions, &vesk::GetDocumentsOptions::doc_ids>("doc_ids"),
    kGetSetEnd,
};

// ---- SerializedIndex

using vesk::SerializedIndex;
constexpr const char* kSerializedParams[] = {"name",      "version",    "model",
                                             "dimension", "embeddings", "doc_ids"};
constexpr Signature kSerializedSignature{"SerializedIndex.__new__()", kSerializedParams, 6};
PyGetSetDef kSerializedGetSet[] = {
    Attribute<SerializedIndex, &SerializedIndex::name>("name"),
    Attribute<SerializedIndex, &SerializedIndex::version>("version"),
    Attribute<SerializedIndex, &SerializedIndex::model>("model"),
    Attribute<SerializedIndex, &SerializedIndex::dimension>("dimension"),
    Attribute<SerializedIndex, &SerializedIndex::embeddings>("embeddings"),
    Attribute<SerializedIndex, &SerializedIndex::doc_ids>("doc_ids"),
    kGetSetEnd,
};

}  // namespace

PyTypeObject* RecordClass<vesk::ModelRef>::Type() {
  static RecordType<vesk::ModelRef, kModelRefSignature, &vesk::ModelRef::id,
                    &vesk::ModelRef::version>
      type("builtins.ModelRef", "ModelRef(id, version)\n--\n\n", kModelRefGetSet);
  return type.Get();
}

PyTypeObject* RecordClass<IndexStatusValue>::Type() {
  static RecordType<IndexStatusValue, kIndexStatusSignature, &IndexStatusValue::value> type(
      "builtins.IndexStatus", "IndexStatus(value)\n--\n\n", kIndexStatusGetSet,
      AddIndexStatusConstants);
  return type.Get();
}

PyTypeObject* RecordClass<IndexInfoValue>::Type() {
  static RecordType<IndexInfoValue, kIndexInfoSignature, &IndexInfoValue::id, &IndexInfoValue::name,
                    &IndexInfoValue::version, &IndexInfoValue::status, &IndexInfoValue::doc_count,
                    &IndexInfoValue::created_at, &IndexInfoValue::updated_at,
                    &IndexInfoValue::model>
      type("builtins.IndexInfo",
           "IndexInfo(id, name, version, status, doc_count, created_at, updated_at, "
           "model)\n--\n\n",
           kIndexInfoGetSet);
  return type.Get();
}

PyTypeObject* RecordClass<vesk::DocumentInfo>::Type() {
  static RecordType<vesk::DocumentInfo, kDocumentInfoSignature, &vesk::DocumentInfo::id,
                    &vesk::DocumentInfo::text, &vesk::DocumentInfo::metadata>
      type("builtins.DocumentInfo", "DocumentInfo(id, text, metadata=None)\n--\n\n",
           kDocumentInfoGetSet);
  return type.Get();
}

PyTypeObject* RecordClass<QueryResultDocumentInfo>::Type() {
  static RecordType<QueryResultDocumentInfo, kQueryResultSignature, &QueryResultDocumentInfo::id,
                    &QueryResultDocumentInfo::text, &QueryResultDocumentInfo::metadata,
                    &QueryResultDocumentInfo::score>
      type("builtins.QueryResultDocumentInfo",
           "QueryResultDocumentInfo(id, text, metadata=None, score=0.0)\n--\n\n",
           kQueryResultGetSet);
  return type.Get();
}

PyTypeObject* RecordClass<vesk::SearchResult>::Type() {
  static RecordType<vesk::SearchResult, kSearchResultSignature, &vesk::SearchResult::docs,
                    &vesk::SearchResult::query, &vesk::SearchResult::index_name,
                    &vesk::SearchResult::time_taken_ms>
      type("builtins.SearchResult",
           "SearchResult(docs, query, index_name=None, time_taken_ms=None)\n--\n\n",
           kSearchResultGetSet);
  return type.Get();
}

PyTypeObject* RecordClass<AddDocumentsOptionsValue>::Type() {
  static RecordType<AddDocumentsOptionsValue, kAddOptionsSignature,
                    &AddDocumentsOptionsValue::upsert>
      type("builtins.AddDocumentsOptions", "AddDocumentsOptions(upsert=True)\n--\n\n",
           kAddOptionsGetSet);
  return type.Get();
}

PyTypeObject* RecordClass<vesk::GetDocumentsOptions>::Type() {
  static RecordType<vesk::GetDocumentsOptions, kGetOptionsSignature,
                    &vesk::GetDocumentsOptions::doc_ids>
      type("builtins.GetDocumentsOptions", "GetDocumentsOptions(doc_ids=None)\n--\n\n",
           kGetOptionsGetSet);
  return type.Get();
}

PyTypeObject* RecordClass<SerializedIndex>::Type() {
  static RecordType<SerializedIndex, kSerializedSignature, &SerializedIndex::name,
                    &SerializedIndex::version, &SerializedIndex::model, &SerializedIndex::dimension,
                    &SerializedIndex::embeddings, &SerializedIndex::doc_ids>
      type("builtins.SerializedIndex",
           "SerializedIndex(name, version, model, dimension, embeddings, doc_ids)\n--\n\n",
           kSerializedGetSet);
  return type.Get();
}

}  // namespace vesk_core
