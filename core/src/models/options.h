// Options of Index::add_documents and Index::get_documents.
//
// Thread safety: plain values.
#ifndef VESK_CORE_MODELS_OPTIONS_H_
#define VESK_CORE_MODELS_OPTIONS_H_

#include <optional>
#include <string>
#include <vector>

namespace vesk {

struct AddDocumentsOptions {
  std::optional<bool> upsert;  // absent means true
};

struct GetDocumentsOptions {
  std::optional<std::vector<std::string>> doc_ids;  // absent means all documents
};

}  // namespace vesk

#endif  // VESK_CORE_MODELS_OPTIONS_H_
