// The Index class: constructor, members, access cell and thread rule.
#include "py_index.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "arg_binder.h"
#include "borrow_flag.h"
#include "index/index.h"
#include "py_records.h"

namespace vesk_core {

namespace {

constexpr const char* kUnsendableName = "vesk_core::index::PyIndex";
constexpr float kDefaultAlpha = 0.8f;

// A number unique to the calling thread for the life of the process. Thread
// identifiers from the system are reused once a thread has ended, and a later
// thread must not inherit ownership of an index.
uint64_t CurrentThreadSerial() {
  static std::atomic<uint64_t> next{1};
  thread_local const uint64_t serial = next.fetch_add(1, std::memory_order_relaxed);
  return serial;
}

struct PyIndex {
  PyObject_HEAD BorrowFlag borrow;  // the instance borrow; members only share it
  BorrowFlag cell;                  // the access cell around *core
  uint64_t owner;                   // CurrentThreadSerial() of the creating thread
  vesk::Index* core;                // owned; leaked if the instance dies on another thread
};

PyTypeObject* g_index_type = nullptr;

// The receiver of a method or property: type check, owning-thread check and
// the shared instance borrow, in this order. Check ok() after construction.
// (The interpreter's method and property descriptors reject a foreign `self`
// before the call reaches us; the type check keeps Receiver safe on its own.)
class Receiver {
 public:
  explicit Receiver(PyObject* self) {
    if (!CheckInstance(self, g_index_type, "Index")) return;
    PyIndex* index = reinterpret_cast<PyIndex*>(self);
    if (index->owner != CurrentThreadSerial()) {
      RaisePanic(std::string(kUnsendableName) + " is unsendable, but sent to another thread");
      return;
    }
    borrow_.emplace(index->borrow);
    if (borrow_->ok()) index_ = index;
  }

  bool ok() const { return index_ != nullptr; }

  // Return fn(core index) while holding the access cell, shared (Read) or
  // alone (Write), or nullopt with PanicException set when the cell is taken
  // (an internal fault: single-threaded Python code cannot cause it). The cell
  // is released on every path, also when fn throws.
  template <typename Fn>
  auto Read(Fn&& fn) const {
    return WithCell<SharedBorrow>(fn);
  }
  template <typename Fn>
  auto Write(Fn&& fn) const {
    return WithCell<ExclusiveBorrow>(fn);
  }

 private:
  template <typename Access, typename Fn>
  std::optional<std::invoke_result_t<Fn&, vesk::Index&>> WithCell(Fn& fn) const {
    Access access(index_->cell, "Index");
    if (!access.ok()) return std::nullopt;
    return fn(*index_->core);
  }

  PyIndex* index_ = nullptr;
  std::optional<SharedBorrow> borrow_;
};

// ---- Constructor and deallocation

constexpr const char* kNewParams[] = {"name", "model_id"};
constexpr Signature kNewSignature{"Index.__new__()", kNewParams, 2};

PyObject* IndexNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Boundary([&]() -> PyObject* {
    Handle bound[2];
    if (!BindTupleDict(kNewSignature, args, kwargs, bound)) return nullptr;
    std::string name;
    std::string model_id;
    if (!LoadArgument(bound[0], "name", &name)) return nullptr;
    if (!LoadArgument(bound[1], "model_id", &model_id)) return nullptr;
    std::optional<vesk::VeskModel> model = vesk::vesk_model_from_id(model_id);
    if (!model) {
      SetError(PyExc_ValueError,
               "Invalid VeskModel '" + model_id + "'. Expected 'vesk-minilm' or 'vesk-mediumlm'.");
      return nullptr;
    }
    auto core = std::make_unique<vesk::Index>(std::move(name), *model);
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    PyIndex* index = reinterpret_cast<PyIndex*>(self.get());
    new (&index->borrow) BorrowFlag();
    new (&index->cell) BorrowFlag();
    index->owner = CurrentThreadSerial();
    index->core = core.release();
    return self.release();
  });
}

void IndexDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyIndex* index = reinterpret_cast<PyIndex*>(self);
  if (index->owner == CurrentThreadSerial()) {
    delete index->core;
  } else {
    // The core index belongs to its thread: leak it and say so.
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    std::string message =
        std::string(kUnsendableName) + " is unsendable, but is being dropped on another thread";
    PyErr_SetString(PyExc_RuntimeError, message.c_str());
    PyErr_WriteUnraisable(nullptr);
    PyErr_SetRaisedException(pending.release());
  }
  type->tp_free(self);
  Py_DECREF(type);
}

// ---- Members

PyObject* GetInfo(PyObject* self, PyObject* /*unused*/) {
  return Boundary([&]() -> PyObject* {
    Receiver receiver(self);
    if (!receiver.ok()) return nullptr;
    auto info = receiver.Read([](vesk::Index& core) { return core.get_info(); });
    if (!info) return nullptr;
    return Caster<IndexInfoValue>::Wrap(ToIndexInfoValue(std::move(*info)));
  });
}

constexpr const char* kAddParams[] = {"docs", "embeddings", "options"};
constexpr Signature kAddSignature{"Index.add_documents()", kAddParams, 2};

PyObject* AddDocuments(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Boundary([&]() -> PyObject* {
    Handle bound[3];
    if (!BindFastcall(kAddSignature, args, nargs, kwnames, bound)) return nullptr;
    Receiver receiver(self);
    if (!receiver.ok()) return nullptr;
    std::vector<vesk::DocumentInfo> docs;
    vesk::EmbeddingBatch embeddings;
    std::optional<AddDocumentsOptionsValue> options;
    if (!LoadArgument(bound[0], "docs", &docs)) return nullptr;
    if (!LoadArgument(bound[1], "embeddings", &embeddings)) return nullptr;
    if (!LoadOptionalArgument(bound[2], "options", &options)) return nullptr;
    std::optional<vesk::AddDocumentsOptions> core_options;
    if (options) core_options = vesk::AddDocumentsOptions{.upsert = options->upsert};
    auto result = receiver.Write([&](vesk::Index& core) {
      return core.add_documents(std::move(docs), embeddings,
                                core_options ? &*core_options : nullptr);
    });
    if (!result || !CheckStatus(result->status())) return nullptr;
    return MakePair(Caster<uint64_t>::Cast(result->value().added),
                    Caster<uint64_t>::Cast(result->value().updated));
  });
}

constexpr const char* kDeleteParams[] = {"doc_ids"};
constexpr Signature kDeleteSignature{"Index.delete_documents()", kDeleteParams, 1};

PyObject* DeleteDocuments(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return Boundary([&]() -> PyObject* {
    Handle bound[1];
    if (!BindFastcall(kDeleteSignature, args, nargs, kwnames, bound)) return nullptr;
    Receiver receiver(self);
    if (!receiver.ok()) return nullptr;
    std::vector<std::string> doc_ids;
    if (!LoadArgument(bound[0], "doc_ids", &doc_ids)) return nullptr;
    auto deleted =
        receiver.Write([&](vesk::Index& core) { return core.delete_documents(doc_ids); });
    if (!deleted) return nullptr;
    return Caster<uint64_t>::Cast(*deleted);
  });
}

constexpr const char* kGetParams[] = {"options"};
constexpr Signature kGetSignature{"Index.get_documents()", kGetParams, 0};

PyObject* GetDocuments(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Boundary([&]() -> PyObject* {
    Handle bound[1];
    if (!BindFastcall(kGetSignature, args, nargs, kwnames, bound)) return nullptr;
    Receiver receiver(self);
    if (!receiver.ok()) return nullptr;
    std::optional<vesk::GetDocumentsOptions> options;
    if (!LoadOptionalArgument(bound[0], "options", &options)) return nullptr;
    auto docs = receiver.Read(
        [&](vesk::Index& core) { return core.get_documents(options ? &*options : nullptr); });
    if (!docs) return nullptr;
    return WrapList(std::move(*docs));
  });
}

constexpr const char* kQueryParams[] = {"query", "top_k", "query_embedding", "alpha"};
constexpr Signature kQuerySignature{"Index.query()", kQueryParams, 3};

PyObject* Query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Boundary([&]() -> PyObject* {
    Handle bound[4];
    if (!BindFastcall(kQuerySignature, args, nargs, kwnames, bound)) return nullptr;
    Receiver receiver(self);
    if (!receiver.ok()) return nullptr;
    std::string query;
    uint64_t top_k = 0;
    std::vector<float> query_embedding;
    std::optional<float> alpha;
    if (!LoadArgument(bound[0], "query", &query)) return nullptr;
    if (!LoadArgument(bound[1], "top_k", &top_k)) return nullptr;
    if (!LoadArgument(bound[2], "query_embedding", &query_embedding)) return nullptr;
    if (!LoadOptionalArgument(bound[3], "alpha", &alpha)) return nullptr;
    auto result = receiver.Read([&](vesk::Index& core) {
      return core.query(query, top_k, query_embedding, alpha.value_or(kDefaultAlpha));
    });
    if (!result || !CheckStatus(result->status())) return nullptr;
    return Caster<vesk::SearchResult>::Wrap(std::move(*result).value());
  });
}

PyObject* Serialize(PyObject* self, PyObject* /*unused*/) {
  return Boundary([&]() -> PyObject* {
    Receiver receiver(self);
    if (!receiver.ok()) return nullptr;
    auto data = receiver.Read([](vesk::Index& core) { return core.serialize(); });
    if (!data) return nullptr;
    return Caster<vesk::SerializedIndex>::Wrap(std::move(*data));
  });
}

constexpr const char* kDeserializeParams[] = {"data"};
constexpr Signature kDeserializeSignature{"Index.deserialize()", kDeserializeParams, 1};

PyObject* Deserialize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Boundary([&]() -> PyObject* {
    Handle bound[1];
    if (!BindFastcall(kDeserializeSignature, args, nargs, kwnames, bound)) return nullptr;
    Receiver receiver(self);
    if (!receiver.ok()) return nullptr;
    vesk::SerializedIndex data;
    if (!LoadArgument(bound[0], "data", &data)) return nullptr;
    auto status = receiver.Write([&](vesk::Index& core) { return core.deserialize(data); });
    if (!status || !CheckStatus(*status)) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* Clear(PyObject* self, PyObject* /*unused*/) {
  return Boundary([&]() -> PyObject* {
    Receiver receiver(self);
    if (!receiver.ok()) return nullptr;
    auto cleared = receiver.Write([](vesk::Index& core) {
      core.clear();
      return true;
    });
    if (!cleared) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* GetDocCount(PyObject* self, void* /*closure*/) {
  return Boundary([&]() -> PyObject* {
    Receiver receiver(self);
    if (!receiver.ok()) return nullptr;
    auto count = receiver.Read([](vesk::Index& core) { return core.doc_count(); });
    if (!count) return nullptr;
    return Caster<uint64_t>::Cast(*count);
  });
}

// ---- Type

PyMethodDef kMethods[] = {
    {
        .ml_name = "get_info",
        .ml_meth = GetInfo,
        .ml_flags = METH_NOARGS,
        .ml_doc = "get_info($self)\n--\n\nGet metadata about this index.",
    },
    {
        .ml_name = "add_documents",
        .ml_meth = AsCFunction(AddDocuments),
        .ml_flags = METH_FASTCALL | METH_KEYWORDS,
        .ml_doc = "add_documents($self, docs, embeddings, options=None)\n--\n\n"
                  "Add or update documents in the index.\n\n"
                  "Embeddings **must** be precomputed and provided.\n\n"
                  "Returns:\n"
                  "    (added, updated)",
    },
    {
        .ml_name = "delete_documents",
        .ml_meth = AsCFunction(DeleteDocuments),
        .ml_flags = METH_FASTCALL | METH_KEYWORDS,
        .ml_doc = "delete_documents($self, doc_ids)\n--\n\n"
                  "Delete documents by their IDs. Returns the number deleted.",
    },
    {
        .ml_name = "get_documents",
        .ml_meth = AsCFunction(GetDocuments),
        .ml_flags = METH_FASTCALL | METH_KEYWORDS,
        .ml_doc = "get_documents($self, options=None)\n--\n\n"
                  "Get documents (optionally filtered by IDs).",
    },
    {
        .ml_name = "query",
        .ml_meth = AsCFunction(Query),
        .ml_flags = METH_FASTCALL | METH_KEYWORDS,
        .ml_doc = "query($self, query, top_k, query_embedding, alpha=None)\n--\n\n"
                  "Perform a semantic search using a **precomputed** query embedding.\n\n"
                  "Args:\n"
                  "    query: The search text.\n"
                  "    top_k: Max number of results (default 5).\n"
                  "    query_embedding: Precomputed embedding vector for `query`.\n"
                  "    alpha: Weight for hybrid search fusion (default 0.8). A value of 0.8 "
                  "favors\n"
                  "        semantic search over keyword search. Higher values (closer to 1.0) "
                  "give\n"
                  "        more weight to semantic search, while lower values (closer to 0.0) "
                  "favor\n"
                  "        keyword search.",
    },
    {
        .ml_name = "serialize",
        .ml_meth = Serialize,
        .ml_flags = METH_NOARGS,
        .ml_doc = "serialize($self)\n--\n\nSerialize this index to a `SerializedIndex`.",
    },
    {
        .ml_name = "deserialize",
        .ml_meth = AsCFunction(Deserialize),
        .ml_flags = METH_FASTCALL | METH_KEYWORDS,
        .ml_doc = "deserialize($self, data)\n--\n\n"
                  "Load serialized metadata/embeddings into this index.",
    },
    {
        .ml_name = "clear",
        .ml_meth = Clear,
        .ml_flags = METH_NOARGS,
        .ml_doc = "clear($self)\n--\n\nClear all documents and embeddings.",
    },
    {},
};

PyGetSetDef kGetSet[] = {
    {
        .name = "doc_count",
        .get = GetDocCount,
        .set = nullptr,
        .doc = "Number of documents in the index.",
        .closure = nullptr,
    },
    {},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(IndexNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(IndexDealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>("Index(name, model_id)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    .name = "builtins.Index",
    .basicsize = static_cast<int>(sizeof(PyIndex)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = kSlots,
};

}  // namespace

// Creating the type runs no Python code, so no other thread can get in
// between the check and the store.
PyTypeObject* IndexType() {
  if (g_index_type == nullptr) {
    g_index_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kSpec));
  }
  return g_index_type;
}

}  // namespace vesk_core
