#include "store/document_table.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace vesk {
namespace {

// Random appends (with repeated ids), replaces, kills and compactions against
// a plain vector model: find() is the first live slot holding the id,
// find_all() every one of them, and compaction keeps the live order.
TEST(DocumentTableTest, RandomOperationsMatchModel) {
  std::mt19937 rng(7);
  for (int round = 0; round < 30; ++round) {
    DocumentTable table;
    std::vector<std::pair<std::string, bool>> model;  // id, live
    for (int step = 0; step < 400; ++step) {
      const std::string id = "id" + std::to_string(rng() % 40);
      const unsigned op = rng() % 10;
      if (op < 5) {
        table.reserve(table.slots() + 1);
        table.append(DocumentInfo{id, "t", std::nullopt});
        model.emplace_back(id, true);
      } else if (op < 8) {
        std::vector<size_t> slots;
        table.find_all(id, &slots);
        table.kill(slots);
        for (auto& [mid, live] : model) live = live && mid != id;
      } else if (op < 9) {
        const size_t slot = table.find(id);
        if (slot != DocumentTable::kNotFound) table.replace(slot, DocumentInfo{id, "u", {}});
      } else {
        table.compact();
        std::erase_if(model, [](const auto& m) { return !m.second; });
      }
      ASSERT_EQ(table.slots(), model.size());
      for (int probe = 0; probe < 40; ++probe) {
        const std::string pid = "id" + std::to_string(probe);
        std::vector<size_t> want;
        for (size_t s = 0; s < model.size(); ++s)
          if (model[s].second && model[s].first == pid) want.push_back(s);
        std::vector<size_t> got;
        table.find_all(pid, &got);
        ASSERT_EQ(got, want) << pid;
        ASSERT_EQ(table.find(pid), want.empty() ? DocumentTable::kNotFound : want[0]);
      }
      size_t live = 0;
      for (size_t s = 0; s < model.size(); ++s) {
        ASSERT_EQ(table.is_live(s), model[s].second);
        live += model[s].second;
      }
      ASSERT_EQ(table.live_count(), live);
    }
  }
}

// Filling a table at once answers exactly as appending one by one, repeated
// ids included, and later changes work on it as on any other.
TEST(DocumentTableTest, AssignBulkMatchesAppends) {
  std::mt19937 rng(7);
  for (size_t n : {0, 1, 5, 100, 3000}) {
    std::vector<DocumentInfo> docs;
    for (size_t i = 0; i < n; ++i) {
      docs.push_back(DocumentInfo{"id" + std::to_string(rng() % (n + n / 8 + 1)),
                                  "text" + std::to_string(i), std::nullopt});
    }
    DocumentTable appended;
    appended.reserve(n);
    for (const DocumentInfo& doc : docs) appended.append(doc);
    DocumentTable bulk;
    bulk.assign_bulk(std::vector<DocumentInfo>(docs));
    ASSERT_EQ(bulk.slots(), n);
    EXPECT_EQ(bulk.has_repeated_ids(), appended.has_repeated_ids());
    for (size_t probe = 0; probe < n + 10; ++probe) {
      const std::string id = "id" + std::to_string(probe);
      std::vector<size_t> a, b;
      appended.find_all(id, &a);
      bulk.find_all(id, &b);
      ASSERT_EQ(a, b) << id;
      EXPECT_EQ(appended.find(id), bulk.find(id));
    }
    if (n == 0) continue;
    std::vector<size_t> first;
    bulk.find_all(docs[0].id, &first);
    bulk.kill(first);
    bulk.reserve(n + 1);
    bulk.append(DocumentInfo{"fresh", "t", std::nullopt});
    EXPECT_EQ(bulk.find(docs[0].id), DocumentTable::kNotFound);
    EXPECT_EQ(bulk.find("fresh"), n);
  }
}

}  // namespace
}  // namespace vesk
