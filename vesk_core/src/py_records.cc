// The record classes, made from their tables: type objects, constructors,
// text signatures and attribute accessors.
#include "py_records.h"

#include <array>
#include <cstring>
#include <type_traits>

#include "arg_binder.h"

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

// Calls fn(field) for every field of Value's table, in order.
template <typename Value, typename Fn>
constexpr void ForEachField(Fn&& fn) {
  std::apply([&](const auto&... field) { (fn(field), ...); }, Record<Value>::kFields);
}

// The constructor's parameter names: the field names in order.
template <typename Value>
constexpr auto kParams = std::apply([](const auto&... field) { return std::array{field.name...}; },
                                    Record<Value>::kFields);

template <typename Value>
constexpr size_t kFieldCount = kParams<Value>.size();

// The number of required fields (those without a default)...
template <typename Value>
constexpr size_t kRequired = [] {
  size_t required = 0;
  ForEachField<Value>([&](const auto& field) { required += field.default_text == nullptr; });
  return required;
}();

// ...which must come first: the binder treats the first kRequired
// parameters as the required ones.
template <typename Value>
constexpr bool kRequiredFirst = [] {
  size_t position = 0;
  bool in_order = true;
  ForEachField<Value>([&](const auto& field) {
    in_order = in_order && (field.default_text == nullptr) == (position++ < kRequired<Value>);
  });
  return in_order;
}();

// How binding errors name the constructor: "<Class>.__new__()".
template <typename Value>
const Signature& NewSignature() {
  static_assert(kRequiredFirst<Value>, "required fields come before those with a default");
  static const std::string full_name = std::string(Record<Value>::kName) + ".__new__()";
  static const Signature signature{full_name.c_str(), kParams<Value>, kRequired<Value>};
  return signature;
}

// The class docstring "<Class>(a, b, c=None)\n--\n\n", which the interpreter
// shows as the text signature.
template <typename Value>
std::string TextSignature() {
  std::string text = std::string(Record<Value>::kName) + "(";
  const char* separator = "";
  ForEachField<Value>([&](const auto& field) {
    text += separator;
    text += field.name;
    if (field.default_text != nullptr) text += std::string("=") + field.default_text;
    separator = ", ";
  });
  return text + ")\n--\n\n";
}

template <typename Value>
RecordObject<Value>* AsRecord(PyObject* self) {
  return reinterpret_cast<RecordObject<Value>*>(self);
}

// The constructor: binds the arguments to the fields, converts each given
// one, and keeps the value's defaults for the rest.
template <typename Value>
PyObject* RecordNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Boundary([&]() -> PyObject* {
    std::array<Handle, kFieldCount<Value>> bound;
    if (!BindTupleDict(NewSignature<Value>(), args, kwargs, bound.data())) return nullptr;
    Value value;
    size_t i = 0;
    bool ok = std::apply(
        [&](const auto&... field) {
          return (LoadOptionalArgument(bound[i++], field.name, &(value.*field.kMember)) && ...);
        },
        Record<Value>::kFields);
    if (!ok) return nullptr;
    return NewRecordObject(type, std::move(value));
  });
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

// Accessors: the get-set descriptor has already checked that `self` is an
// instance of the class.
template <typename Value, auto Member>
PyObject* GetMember(PyObject* self, void* /*closure*/) {
  return Boundary([&]() -> PyObject* {
    RecordObject<Value>* object = AsRecord<Value>(self);
    SharedBorrow borrow(object->borrow);
    if (!borrow.ok()) return nullptr;
    using FieldType = std::remove_cvref_t<decltype(object->value.*Member)>;
    return Caster<FieldType>::Cast(object->value.*Member);
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
    using FieldType = std::remove_cvref_t<decltype(object->value.*Member)>;
    FieldType field;
    if (!LoadArgument(new_value, static_cast<const char*>(closure), &field)) return -1;
    ExclusiveBorrow borrow(object->borrow);
    if (!borrow.ok()) return -1;
    object->value.*Member = std::move(field);
    return 0;
  });
}

// One read-write attribute per field, then the terminating entry. The
// descriptors point into this table for the life of the type.
template <typename Value>
std::array<PyGetSetDef, kFieldCount<Value> + 1> g_getset = std::apply(
    [](const auto&... field) {
      return std::array<PyGetSetDef, kFieldCount<Value> + 1>{
          PyGetSetDef{
              .name = field.name,
              .get = GetMember<Value, std::remove_cvref_t<decltype(field)>::kMember>,
              .set = SetMember<Value, std::remove_cvref_t<decltype(field)>::kMember>,
              .doc = field.doc,
              .closure = const_cast<char*>(field.name),
          }...,
          PyGetSetDef{},
      };
    },
    Record<Value>::kFields);

// Class attributes besides the fields: only IndexStatus has any, one plain
// string per status name ("Ready" = "Ready", ...).
template <typename Value>
bool AddClassAttributes(PyTypeObject* /*type*/) {
  return true;
}

template <>
bool AddClassAttributes<IndexStatusValue>(PyTypeObject* type) {
  for (vesk::IndexStatus status : vesk::kIndexStatuses) {
    const std::string name(vesk::index_status_text(status));
    Ref text = Ref::steal(PyUnicode_FromString(name.c_str()));
    if (!text) return false;
    if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), name.c_str(), text.get()) < 0) {
      return false;
    }
  }
  return true;
}

}  // namespace

// Creating a type runs no Python code, so no other thread can get in between
// the check and the store.
template <typename Value>
PyTypeObject* RecordType() {
  static PyTypeObject* type = nullptr;
  if (type != nullptr) return type;
  const std::string name = std::string("builtins.") + Record<Value>::kName;
  const std::string doc = TextSignature<Value>();
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(RecordNew<Value>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(RecordDealloc<Value>)},
      {Py_tp_getset, g_getset<Value>.data()},
      {Py_tp_doc, const_cast<char*>(doc.c_str())},  // copied by the interpreter
      {0, nullptr},
  };
  PyType_Spec type_spec = {
      .name = name.c_str(),  // copied by the interpreter
      .basicsize = static_cast<int>(sizeof(RecordObject<Value>)),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT,  // no BASETYPE: cannot be subclassed
      .slots = slots,
  };
  Ref created = Ref::steal(PyType_FromSpec(&type_spec));
  if (!created) return nullptr;
  if (!AddClassAttributes<Value>(reinterpret_cast<PyTypeObject*>(created.get()))) return nullptr;
  type = reinterpret_cast<PyTypeObject*>(created.release());
  return type;
}

template PyTypeObject* RecordType<vesk::ModelRef>();
template PyTypeObject* RecordType<IndexStatusValue>();
template PyTypeObject* RecordType<IndexInfoValue>();
template PyTypeObject* RecordType<vesk::DocumentInfo>();
template PyTypeObject* RecordType<vesk::QueryResultDocumentInfo>();
template PyTypeObject* RecordType<vesk::SearchResult>();
template PyTypeObject* RecordType<AddDocumentsOptionsValue>();
template PyTypeObject* RecordType<vesk::GetDocumentsOptions>();
template PyTypeObject* RecordType<vesk::SerializedIndex>();

}  // namespace vesk_core
