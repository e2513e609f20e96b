// PyInit_vesk_core: the entry point of the extension module.
//
// Single-phase initialisation: the module object is built once per process
// (later imports in the same interpreter get the cached object) and only in
// the first interpreter that imports it; any other interpreter gets an
// ImportError. Attributes are registered in a fixed order, each appended to
// __all__ as it is set.
//
// Thread safety: runs under the GIL, during import. Ownership: the module
// object and everything it holds live until the process ends.
#include <atomic>
#include <cstdint>
#include <string>

#include "models/index_info.h"
#include "models/vesk_model.h"
#include "py_binary.h"
#include "py_errors.h"
#include "py_index.h"
#include "py_records.h"

namespace vesk_core {

namespace {

constexpr const char* kModelDownloadUrl = "https://models.vesk.dev/";
constexpr const char* kCloudApiBaseUrl = "https://api.vesk.dev/";

PyModuleDef g_module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vesk_core",
    .m_doc = "Initialize the `vesk` Python package.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

std::atomic<int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;

// Appends `name` to the module's __all__ (creating the list if needed), then
// sets the attribute. Takes over `value`, which may be null after a failure.
bool Register(PyObject* module, const char* name, PyObject* value) {
  Ref owned = Ref::steal(value);
  if (!owned) return false;
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  PyObject* all_list = nullptr;
  if (PyDict_GetItemStringRef(dict, "__all__", &all_list) < 0) return false;
  Ref all = Ref::steal(all_list);
  if (!all) {
    all = Ref::steal(PyList_New(0));
    if (!all || PyDict_SetItemString(dict, "__all__", all.get()) < 0) return false;
  }
  Ref key = Ref::steal(PyUnicode_FromString(name));
  if (!key || PyList_Append(all.get(), key.get()) < 0) return false;
  return PyModule_AddObjectRef(module, name, owned.get()) == 0;
}

PyObject* NewType(PyTypeObject* type) { return Py_XNewRef(reinterpret_cast<PyObject*>(type)); }

// Registers the record classes of `Values`, in the order given.
template <typename... Values>
bool RegisterRecords(PyObject* module) {
  return (Register(module, Record<Values>::kName, NewType(RecordType<Values>())) && ...);
}

// {"NotStarted": "NotStarted", ...}: every status name, in declaration order.
PyObject* NewIndexStatusValues() {
  Ref values = Ref::steal(PyDict_New());
  if (!values) return nullptr;
  for (vesk::IndexStatus status : vesk::kIndexStatuses) {
    Ref text =
        Ref::steal(PyUnicode_FromString(std::string(vesk::index_status_text(status)).c_str()));
    if (!text || PyDict_SetItem(values.get(), text.get(), text.get()) < 0) return nullptr;
  }
  return values.release();
}

bool RegisterAll(PyObject* module) {
  return RegisterRecords<vesk::ModelRef, IndexStatusValue, IndexInfoValue, vesk::DocumentInfo,
                         vesk::QueryResultDocumentInfo, vesk::SearchResult,
                         AddDocumentsOptionsValue, vesk::GetDocumentsOptions,
                         vesk::SerializedIndex>(module) &&
         Register(module, "IndexStatusValues", NewIndexStatusValues()) &&
         Register(module, "serializeToBinary", NewSerializeToBinary(module)) &&
         Register(module, "deserializeFromBinary", NewDeserializeFromBinary(module)) &&
         Register(module, "Index", NewType(IndexType())) &&
         Register(module, "MODEL_DOWNLOAD_URL", PyUnicode_FromString(kModelDownloadUrl)) &&
         Register(
             module, "SDK_VERSION_NUMBER",
             PyUnicode_FromStringAndSize(vesk::DEFAULT_VERSION.data(),
                                         static_cast<Py_ssize_t>(vesk::DEFAULT_VERSION.size()))) &&
         Register(module, "CLOUD_API_BASE_URL", PyUnicode_FromString(kCloudApiBaseUrl));
}

PyObject* InitModule() {
  const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter < 0) return nullptr;
  int64_t first = -1;
  if (!g_interpreter_id.compare_exchange_strong(first, interpreter) && first != interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "vesk_core does not support subinterpreters: it can only be imported by "
                    "the first interpreter that loaded it");
    return nullptr;
  }
  if (g_module != nullptr) return Py_NewRef(g_module);
  Ref module = Ref::steal(PyModule_Create(&g_module_def));
  if (!module || !RegisterAll(module.get())) return nullptr;
  g_module = Py_NewRef(module.get());  // cached for the life of the process
  return module.release();
}

}  // namespace

}  // namespace vesk_core

PyMODINIT_FUNC PyInit_vesk_core() {
  return vesk_core::Boundary([] { return vesk_core::InitModule(); });
}
