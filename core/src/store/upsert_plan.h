// UpsertPlan: where each document of a batch goes in a DocumentTable, worked
// out before anything changes, so that a caller can reserve room and then
// commit with steps that cannot fail.
//
// Input i either replaces the live slot holding its id (first match), or
// takes a new slot appended after the existing ones. Upserting, the last
// input given for an id wins: a repeated new id keeps the slot of its first
// appearance and takes its last input, as if added and then upserted; without
// upserting, inputs whose id is already stored or already seen in the batch
// are skipped.
//
// Thread safety: reads the table only. Ownership: the plan holds indexes into
// the caller's batch, never its values.
#ifndef VESK_CORE_STORE_UPSERT_PLAN_H_
#define VESK_CORE_STORE_UPSERT_PLAN_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "store/document_table.h"

namespace vesk {

struct UpsertPlan {
  std::vector<std::pair<size_t, size_t>> replaced;  // (slot, input)
  std::vector<size_t> appended;                     // input per new slot, in order
  uint64_t added = 0;
  uint64_t updated = 0;

  bool empty() const { return replaced.empty() && appended.empty(); }
};

// The plan for a batch whose input i has id ids[i]. May throw std::bad_alloc;
// changes nothing.
UpsertPlan plan_upsert(const DocumentTable& table, std::span<const std::string_view> ids,
                       bool upsert);

}  // namespace vesk

#endif  // VESK_CORE_STORE_UPSERT_PLAN_H_
