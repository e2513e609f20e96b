// The Index class: constructor, method table, access cell and thread rule.
#include "index.h"

#include <atomic>
#include <memory>
#include <optional>
#include <utility>

#include "index/index.h"
#include "models.h"

namespace vesk_core::index {

namespace {

constexpr const char* kUnsendableName = "vesk_core::index::PyIndex";
constexpr float kDefaultAlpha = 0.8f;

// Guards the core index: a shared count for readers, -1 for one writer. A
// conflict cannot come from single-threaded Python code (every call holds the
// GIL and the core never calls back), so it is an internal failure.
class AccessCell {
 public:
  class Read {
   public:
    explicit Read(AccessCell& cell) : cell_(cell.state_ >= 0 ? &cell : nullptr) {
      if (cell_ != nullptr) {
        ++cell_->state_;
      } else {
        RaisePanic("Index is already mutably borrowed");
      }
    }
    ~Read() {
      if (cell_ != nullptr) --cell_->state_;
    }
    Read(const Read&) = delete;
    Read& operator=(const Read&) = delete;
    bool ok() const { return cell_ != nullptr; }

   private:
    AccessCell* cell_;
  };

  class Write {
   public:
    explicit Write(AccessCell& cell) : cell_(cell.state_ == 0 ? &cell : nullptr) {
      if (cell_ != nullptr) {
        cell_->state_ = -1;
      } else {
        RaisePanic("Index is already borrowed");
      }
    }
    ~Write() {
      if (cell_ != nullptr) cell_->state_ = 0;
    }
    Write(const Write&) = delete;
    Write& operator=(const Write&) = delete;
    bool ok() const { return cell_ != nullptr; }

   private:
    AccessCell* cell_;
  };

 private:
  intptr_t state_ = 0;
};

// A number unique to the calling thread for the life of the process. Thread
// identifiers from the system are reused once a thread has ended, and a later
// thread must not inherit ownership of an index.
uint64_t CurrentThreadSerial() {
  static std::atomic<uint64_t> next{1};
  thread_local const uint64_t serial = next.fetch_add(1, std::memory_order_relaxed);
  return serial;
}

struct PyIndex {
  PyObject_HEAD BorrowFlag borrow;
  AccessCell cell;
  uint64_t owner;     // CurrentThreadSerial() of the creating thread
  vesk::Index* core;  // owned; leaked if the instance dies on another thread
};

PyTypeObject* g_index_type = nullptr;

// The receiver of a method or property: type check, owning-thread check and
// the shared instance borrow, in this order. Check ok() after construction.
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
  vesk::Index& core() const { return *index_->core; }
  AccessCell& cell() const { return index_->cell; }

 private:
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
    new (&index->cell) AccessCell();
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
  index->core = nullptr;
  type->tp_free(self);
  Py_DECREF(type);
}

// ---- Methods

PyObject* GetInfo(PyObject* self, PyObject* /*unused*/) {
  return Boundary([&]() -> PyObject* {
    Receiver receiver(self);
    if (!receiver.ok()) return nullptr;
    std::optional<vesk::IndexInfo> info;
    {
      AccessCell::Read access(receiver.cell());
      if (!access.ok()) return nullptr;
      info = receiver.core().get_info();
    }
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

    std::optional<vesk::Result<vesk::AddCounts>> result;
    {
      AccessCell::Write access(receiver.cell());
      if (!access.ok()) return nullptr;
      result.emplace(receiver.core().add_documents(std::move(docs), &embeddings,
                                                   core_options ? &*core_options : nullptr));
    }
    if (!CheckStatus(result->status())) return nullptr;
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
    uint64_t deleted;
    {
      AccessCell::Write access(receiver.cell());
      if (!access.ok()) return nullptr;
      deleted = receiver.core().delete_documents(doc_ids);
    }
    return Caster<uint64_t>::Cast(deleted);
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
    std::vector<vesk::DocumentInfo> docs;
    {
      AccessCell::Read access(receiver.cell());
      if (!access.ok()) return nullptr;
      docs = receiver.core().get_documents(options ? &*options : nullptr);
    }
    return WrapList(std::move(docs));
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

    std::optional<vesk::Result<vesk::SearchResult>> result;
    {
      AccessCell::Read access(receiver.cell());
      if (!access.ok()) return nullptr;
      result.emplace(
          receiver.core().query(query, top_k, &query_embedding, alpha.value_or(kDefaultAlpha)));
    }
    if (!CheckStatus(result->status())) return nullptr;
    return Caster<vesk::SearchResult>::Wrap(std::move(*result).value());
  });
}

PyObject* Serialize(PyObject* self, PyObject* /*unused*/) {
  return Boundary([&]() -> PyObject* {
    Receiver receiver(self);
    if (!receiver.ok()) return nullptr;
    std::optional<vesk::SerializedIndex> data;
    {
      AccessCell::Read access(receiver.cell());
      if (!access.ok()) return nullptr;
      data = receiver.core().serialize();
    }
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
    vesk::Status status;
    {
      AccessCell::Write access(receiver.cell());
      if (!access.ok()) return nullptr;
      status = receiver.core().deserialize(data);
    }
    if (!CheckStatus(status)) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* Clear(PyObject* self, PyObject* /*unused*/) {
  return Boundary([&]() -> PyObject* {
    Receiver receiver(self);
    if (!receiver.ok()) return nullptr;
    {
      AccessCell::Write access(receiver.cell());
      if (!access.ok()) return nullptr;
      receiver.core().clear();
    }
    Py_RETURN_NONE;
  });
}

PyObject* GetDocCount(PyObject* self, void* /*closure*/) {
  return Boundary([&]() -> PyObject* {
    Receiver receiver(self);
    if (!receiver.ok()) return nullptr;
    uint64_t count;
    {
      AccessCell::Read access(receiver.cell());
      if (!access.ok()) return nullptr;
      count = receiver.core().doc_count();
    }
    return Caster<uint64_t>::Cast(count);
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

PyTypeObject* IndexType() {
  if (g_index_type == nullptr) {
    PyTypeObject* created = CreateType(&kSpec);
    if (created == nullptr) return nullptr;
    if (g_index_type == nullptr) {
      g_index_type = created;
    } else {
      Py_DECREF(created);
    }
  }
  return g_index_type;
}

}  // namespace vesk_core::index
