// Allocation failures inside every call that changes an Index: the Nth
// allocation of the call throws std::bad_alloc, for N = 1, 2, ... until the
// call succeeds. After each failure the index must be exactly as before (its
// documents, embedding bits, missing embeddings, info and the answers to a
// fixed set of queries), and the calls after it must work.
//
// The hook replaces the global operator new of this test program; it counts
// and fails only while a FailAt scope is active.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "index/index.h"

namespace {

long g_countdown = -1;  // -1: disarmed; otherwise allocations left before the failure
bool g_failed = false;

void* Allocate(size_t bytes, size_t align) {
  if (g_countdown >= 0) {
    if (g_countdown == 0) {
      g_countdown = -1;
      g_failed = true;
      throw std::bad_alloc();
    }
    --g_countdown;
  }
  if (bytes == 0) bytes = 1;
  void* p = align > alignof(std::max_align_t)
                ? std::aligned_alloc(align, (bytes + align - 1) / align * align)
                : std::malloc(bytes);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

void* operator new(size_t n) { return Allocate(n, 0); }
void* operator new[](size_t n) { return Allocate(n, 0); }
void* operator new(size_t n, std::align_val_t a) { return Allocate(n, static_cast<size_t>(a)); }
void* operator new[](size_t n, std::align_val_t a) { return Allocate(n, static_cast<size_t>(a)); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  try {
    return Allocate(n, 0);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
  try {
    return Allocate(n, 0);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { std::free(p); }

namespace vesk {
namespace {

// Everything a caller can observe of an index.
struct Snapshot {
  std::vector<DocumentInfo> docs;
  SerializedIndex saved;  // ids, embedding bits, missing embeddings as empty rows
  IndexInfo info;
  std::vector<std::string> answers;  // each query's ids and score bits, or its error

  bool operator==(const Snapshot& o) const {
    auto same_docs = [](const std::vector<DocumentInfo>& a, const std::vector<DocumentInfo>& b) {
      if (a.size() != b.size()) return false;
      for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].id != b[i].id || a[i].text != b[i].text || a[i].metadata != b[i].metadata)
          return false;
      }
      return true;
    };
    auto same_bits = [](const std::vector<std::vector<float>>& a,
                        const std::vector<std::vector<float>>& b) {
      if (a.size() != b.size()) return false;
      for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].size() != b[i].size() ||
            (!a[i].empty() &&
             std::memcmp(a[i].data(), b[i].data(), a[i].size() * sizeof(float)) != 0))
          return false;
      }
      return true;
    };
    return same_docs(docs, o.docs) && saved.name == o.saved.name &&
           saved.version == o.saved.version && saved.model.id == o.saved.model.id &&
           saved.dimension == o.saved.dimension && saved.doc_ids == o.saved.doc_ids &&
           same_bits(saved.embeddings, o.saved.embeddings) && info.name == o.info.name &&
           info.version == o.info.version && info.doc_count == o.info.doc_count &&
           info.created_at == o.info.created_at && info.updated_at == o.info.updated_at &&
           info.model.id == o.info.model.id && answers == o.answers;
  }
};

std::string Answer(const Result<SearchResult>& r) {
  if (!r.ok()) return "error: " + std::string(r.status().message());
  std::string out;
  for (const auto& d : r.value().docs) {
    uint32_t bits;
    std::memcpy(&bits, &d.score, sizeof bits);
    out += d.id + "/" + std::to_string(bits) + " ";
  }
  return out;
}

Snapshot Take(const Index& index) {
  Snapshot s{index.get_documents(nullptr), index.serialize(), index.get_info(), {}};
  const std::vector<float> q3 = {0.5f, -1.0f, 2.0f};
  const std::vector<float> q1 = {1.0f};
  for (const char* text : {"red apple", "blue", "quick brown fox", "lang"}) {
    for (float alpha : {0.0f, 0.5f, 1.0f}) {
      s.answers.push_back(Answer(index.query(text, 4, q3, alpha)));
      s.answers.push_back(Answer(index.query(text, 10, q1, alpha)));
    }
  }
  return s;
}

DocumentInfo Doc(std::string id, std::string text, std::optional<Metadata> md = std::nullopt) {
  return DocumentInfo{std::move(id), std::move(text), std::move(md)};
}

EmbeddingBatch Batch(const std::vector<std::vector<float>>& rows) {
  EmbeddingBatch batch;
  for (const auto& r : rows) batch.append(r);
  return batch;
}

// Runs `call` with the Nth allocation failing for N = 1, 2, ... until it
// completes; after every failure the index must match its snapshot. Returns
// the number of failures injected.
int FailEveryAllocation(Index& index, const std::function<void()>& call) {
  const Snapshot before = Take(index);
  for (long n = 0;; ++n) {
    g_failed = false;
    g_countdown = n;
    try {
      call();
    } catch (const std::bad_alloc&) {
      g_countdown = -1;
      EXPECT_TRUE(g_failed);
      const Snapshot after = Take(index);
      EXPECT_TRUE(after == before) << "state changed after allocation " << n + 1 << " failed";
      if (!(after == before)) return static_cast<int>(n);
      continue;
    }
    g_countdown = -1;
    return static_cast<int>(n);
  }
}

// Indexes the failures start from: embeddings of one length with a keyword
// index; loaded ids without embeddings beside upserted ones and a repeated
// id; embeddings of two lengths.
std::vector<std::function<std::unique_ptr<Index>()>> Starts() {
  return {
      [] {
        auto index = std::make_unique<Index>("uniform", VeskModel::MiniLm);
        std::vector<DocumentInfo> docs;
        std::vector<std::vector<float>> rows;
        for (int i = 0; i < 40; ++i) {
          docs.push_back(
              Doc("d" + std::to_string(i),
                  i % 3 ? "the quick brown fox number " + std::to_string(i)
                        : "a red apple and a blue sky",
                  i % 4 ? std::nullopt : std::optional<Metadata>(Metadata{{"lang", "en"}})));
          rows.push_back({static_cast<float>(i), 1.0f / (i + 1), -0.25f * i});
        }
        EmbeddingBatch batch = Batch(rows);
        EXPECT_TRUE(index->add_documents(std::move(docs), batch, nullptr).ok());
        return index;
      },
      [] {
        auto index = std::make_unique<Index>("loaded", VeskModel::MiniLm);
        SerializedIndex data{"loaded", "7", {"vesk-minilm", "0.2.3"}, 3, {}, {"a", "b", "a", "c"}};
        EXPECT_TRUE(index->deserialize(data).ok());
        EmbeddingBatch batch = Batch({{1, 2, 3}});
        EXPECT_TRUE(index->add_documents({Doc("b", "blue fox")}, batch, nullptr).ok());
        return index;
      },
      [] {
        auto index = std::make_unique<Index>("mixed", VeskModel::MiniLm);
        EmbeddingBatch batch = Batch({{1, 2, 3}, {4}, {5, 6, 7}});
        EXPECT_TRUE(index
                        ->add_documents({Doc("x", "red"), Doc("y", "apple"), Doc("z", "fox")},
                                        batch, nullptr)
                        .ok());
        return index;
      },
  };
}

// Every mutating call, each on every starting index.
std::vector<std::pair<std::string, std::function<void(Index&)>>> Calls() {
  auto add = [](std::vector<DocumentInfo> docs, std::vector<std::vector<float>> rows, bool upsert) {
    return [docs, rows, upsert](Index& index) {
      EmbeddingBatch batch = Batch(rows);
      AddDocumentsOptions options{upsert};
      auto r = index.add_documents(docs, batch, &options);
      ASSERT_TRUE(r.ok());
    };
  };
  return {
      {"upsert", add({Doc("d1", "red apple"), Doc("new", "brown fox", Metadata{{"k", "v"}}),
                      Doc("a", "quick"), Doc("new", "blue"), Doc("new2", "")},
                     {{9, 8, 7}, {1, 1, 1}, {2, 2, 2}, {3, 3, 3}, {0, 0, 1}}, true)},
      {"skip", add({Doc("d2", "x"), Doc("b", "y"), Doc("fresh", "red fox")},
                   {{1, 2, 3}, {1, 2, 3}, {4, 5, 6}}, false)},
      {"other length", add({Doc("d3", "apple"), Doc("odd", "blue")}, {{1}, {2, 2}}, true)},
      {"delete",
       [](Index& index) {
         std::vector<std::string> ids = {"d0", "d5", "a", "y", "zz"};
         index.delete_documents(ids);
       }},
      {"delete all",
       [](Index& index) {
         std::vector<std::string> ids;
         for (const auto& d : index.get_documents(nullptr)) ids.push_back(d.id);
         index.delete_documents(ids);
       }},
      {"load",
       [](Index& index) {
         SerializedIndex data{
             "other", "", {"vesk-minilm", "0.2.3"}, 0, {{1, 2, 3}, {}, {4, 5, 6}}, {"p", "q", "p"}};
         ASSERT_TRUE(index.deserialize(data).ok());
       }},
      {"load unknown model",
       [](Index& index) {
         SerializedIndex data{"same", "", {"nope", "0.2.3"}, 0, {}, {"p"}};
         ASSERT_FALSE(index.deserialize(data).ok());
       }},
      {"clear", [](Index& index) { index.clear(); }},
  };
}

TEST(IndexAllocationFailure, EveryMutationIsAllOrNothing) {
  for (const auto& start : Starts()) {
    for (const auto& [name, call] : Calls()) {
      std::unique_ptr<Index> index = start();
      const std::string label = index->get_info().name + " / " + name;
      // An unknown model renames the index by design; give it the same name.
      if (name == "load unknown model") {
        SerializedIndex rename = index->serialize();
        rename.name = "same";
        ASSERT_TRUE(index->deserialize(rename).ok());
      }
      const int failures = FailEveryAllocation(*index, [&] { call(*index); });
      EXPECT_GT(failures, 0) << label;
      if (HasFailure()) {
        ADD_FAILURE() << label;
        return;
      }
      // The index works after the failures and the final success.
      EmbeddingBatch batch = Batch({{1, 2, 3}});
      auto added = index->add_documents({Doc("after", "red apple fox")}, batch, nullptr);
      ASSERT_TRUE(added.ok()) << label;
      const std::vector<float> q = {1, 2, 3};
      auto found = index->query("apple", 3, q, 0.0f);
      ASSERT_TRUE(found.ok()) << label;
      EXPECT_FALSE(found.value().docs.empty()) << label;
      std::vector<std::string> gone = {"after"};
      EXPECT_EQ(index->delete_documents(gone), 1u) << label;
    }
  }
}

}  // namespace
}  // namespace vesk
