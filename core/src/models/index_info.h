// The metadata of an index as reported by Index::get_info, and the build state.
//
// Thread safety: plain values.
#ifndef VESK_CORE_MODELS_INDEX_INFO_H_
#define VESK_CORE_MODELS_INDEX_INFO_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "models/vesk_model.h"

namespace vesk {

enum class IndexStatus : unsigned char { NotStarted = 0, Building = 1, Ready = 2, Failed = 3 };

// Every status, in declaration order.
inline constexpr IndexStatus kIndexStatuses[] = {IndexStatus::NotStarted, IndexStatus::Building,
                                                 IndexStatus::Ready, IndexStatus::Failed};

// "NotStarted", "Building", "Ready" or "Failed".
inline std::string_view index_status_text(IndexStatus status) {
  switch (status) {
    case IndexStatus::NotStarted:
      return "NotStarted";
    case IndexStatus::Building:
      return "Building";
    case IndexStatus::Ready:
      return "Ready";
    case IndexStatus::Failed:
      return "Failed";
  }
  return "Failed";
}

struct IndexInfo {
  std::string id;
  std::string name;
  std::string version;
  IndexStatus status = IndexStatus::Ready;
  uint64_t doc_count = 0;
  std::string created_at;
  std::string updated_at;
  ModelRef model;
};

}  // namespace vesk

#endif  // VESK_CORE_MODELS_INDEX_INFO_H_
