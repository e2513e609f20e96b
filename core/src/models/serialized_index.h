// The persisted form of an index: ids and embeddings, no text or metadata.
// Field order is also the member order of its JSON document.
//
// The record does not enforce that `embeddings` is empty or as long as
// `doc_ids`; Index::deserialize checks what it needs.
//
// Thread safety: plain value.
#ifndef VESK_CORE_MODELS_SERIALIZED_INDEX_H_
#define VESK_CORE_MODELS_SERIALIZED_INDEX_H_

#include <cstdint>
#include <string>
#include <vector>

#include "models/vesk_model.h"

namespace vesk {

struct SerializedIndex {
  std::string name;
  std::string version;
  ModelRef model;
  uint64_t dimension = 0;
  std::vector<std::vector<float>> embeddings;
  std::vector<std::string> doc_ids;
};

}  // namespace vesk

#endif  // VESK_CORE_MODELS_SERIALIZED_INDEX_H_
