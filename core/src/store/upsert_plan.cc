#include "store/upsert_plan.h"

#include <unordered_map>

namespace vesk {

UpsertPlan plan_upsert(const DocumentTable& table, std::span<const std::string_view> ids,
                       bool upsert) {
  UpsertPlan plan;
  std::unordered_map<size_t, size_t> replaced_at;        // slot -> index in plan.replaced
  std::unordered_map<std::string_view, size_t> new_ids;  // id -> index in plan.appended
  for (size_t i = 0; i < ids.size(); ++i) {
    const size_t slot = table.find(ids[i]);
    if (slot != DocumentTable::kNotFound) {
      if (!upsert) continue;
      auto [it, fresh] = replaced_at.try_emplace(slot, plan.replaced.size());
      if (fresh) {
        plan.replaced.emplace_back(slot, i);
      } else {
        plan.replaced[it->second].second = i;
      }
      ++plan.updated;
    } else if (auto it = new_ids.find(ids[i]); it != new_ids.end()) {
      if (!upsert) continue;
      plan.appended[it->second] = i;
      ++plan.updated;
    } else {
      new_ids.emplace(ids[i], plan.appended.size());
      plan.appended.push_back(i);
      ++plan.added;
    }
  }
  return plan;
}

}  // namespace vesk
