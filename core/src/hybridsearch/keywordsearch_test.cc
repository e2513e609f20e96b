#include "hybridsearch/keywordsearch.h"

#include <gtest/gtest.h>

#include <bit>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "search.h"
#include "utils/keyword.h"
#include "utils/unicode_space.h"

namespace vesk {
namespace {

// The searchable texts of `docs` and an index over them, slot i = docs[i].
struct Built {
  std::vector<std::string> texts;
  std::unique_ptr<KeywordIndex> index;
};

Built build(const std::vector<DocumentInfo>& docs, const Bitmap* live = nullptr) {
  Built b;
  for (const DocumentInfo& doc : docs) b.texts.push_back(collect_document_text(doc));
  const std::vector<std::string_view> views(b.texts.begin(), b.texts.end());
  b.index = KeywordIndex::build(views, live);
  return b;
}

std::vector<std::string> ids(const std::vector<ScoredSlot>& results,
                             const std::vector<DocumentInfo>& docs) {
  std::vector<std::string> out;
  for (const auto& r : results) out.push_back(docs[r.position].id);
  return out;
}

TEST(KeywordIndexTest, BlankDocumentKeepsItsSlot) {
  const std::vector<DocumentInfo> docs = {
      {"a", "dog", std::nullopt},
      {"blank", " \t ", std::nullopt},
      {"c", "cat and dog", Metadata{{"owner", "Ann"}}},
  };
  auto [texts, index] = build(docs);
  EXPECT_EQ(index->size(), 3u);
  const auto results = index->search("cat", 10, nullptr);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].position, 2u);
  EXPECT_GT(results[0].score, 0.0f);
  EXPECT_EQ(ids(index->search("dog", 10, nullptr), docs), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(ids(index->search("ann", 10, nullptr), docs), (std::vector<std::string>{"c"}));
  Bitmap allowed(3);
  allowed.set(2);
  EXPECT_EQ(ids(index->search("dog", 10, &allowed), docs), (std::vector<std::string>{"c"}));
}

TEST(KeywordIndexTest, MetadataIsSearchable) {
  const std::vector<DocumentInfo> docs = {
      {"pie", "Apple pie", Metadata{{"color", "red"}}},
      {"other", "green apple", Metadata{}},
  };
  auto [texts, index] = build(docs);
  EXPECT_EQ(ids(index->search("red", 5, nullptr), docs), (std::vector<std::string>{"pie"}));
  EXPECT_EQ(ids(index->search("colors", 5, nullptr), docs), (std::vector<std::string>{"pie"}));
}

TEST(KeywordIndexTest, NothingForBlankQueryOrZeroTopK) {
  const std::vector<DocumentInfo> docs = {{"a", "dog", std::nullopt}};
  auto [texts, index] = build(docs);
  EXPECT_TRUE(index->search("dog", 0, nullptr).empty());
  EXPECT_TRUE(index->search("", 5, nullptr).empty());
  EXPECT_TRUE(index->search(" \u3000\n", 5, nullptr).empty());
  EXPECT_TRUE(index->search("the of", 5, nullptr).empty());
  KeywordIndex empty;
  EXPECT_TRUE(empty.search("dog", 5, nullptr).empty());
}

TEST(KeywordIndexTest, EraseMarksDeadAndCompactRenumbers) {
  std::vector<DocumentInfo> docs;
  for (int i = 0; i < 6; ++i)
    docs.push_back({"d" + std::to_string(i), "word" + std::to_string(i % 2), {}});
  auto [texts, index] = build(docs);
  for (size_t slot : {0, 2, 3}) index->erase(slot, texts[slot]);
  ASSERT_EQ(index->size(), 6u);
  EXPECT_EQ(ids(index->search("word1", 10, nullptr), docs), (std::vector<std::string>{"d1", "d5"}));
  EXPECT_EQ(ids(index->search("word0", 10, nullptr), docs), (std::vector<std::string>{"d4"}));
  const std::vector<size_t> dead = {0, 2, 3};
  index->compact(dead);
  docs = {docs[1], docs[4], docs[5]};
  ASSERT_EQ(index->size(), 3u);
  EXPECT_EQ(ids(index->search("word1", 10, nullptr), docs), (std::vector<std::string>{"d1", "d5"}));
  index->replace(0, "word1", "word0 word0");
  docs[0].text = "word0 word0";
  EXPECT_EQ(ids(index->search("word0", 10, nullptr), docs), (std::vector<std::string>{"d1", "d4"}));
  index->append("word1");
  docs.push_back({"d6", "word1", {}});
  EXPECT_EQ(ids(index->search("word1", 10, nullptr), docs), (std::vector<std::string>{"d5", "d6"}));
}

// Drives random appends, replaces, erases and rebuilds and checks every
// answer against a BM25 engine built from scratch over the current documents
// (keys = positions, documents with empty searchable text left out): same
// documents in the same order, scores equal bit for bit.
// With `large_vocabulary` words are mostly drawn from thousands of distinct
// terms, so posting lists are created and dropped all the time.
struct PropertyParam {
  uint32_t seed;
  bool large_vocabulary;
};

class KeywordIndexPropertyTest : public ::testing::TestWithParam<PropertyParam> {
 protected:
  static constexpr const char* kWords[] = {
      "apple",   "apples", "pie",  "red",  "Red",   "green", "dog",    "dogs",
      "running", "run",    "the",  "of",   "and",   "Café",  "cafe",   "3.14",
      "!!",      "don't",  "stop", "blue", "blues", "x",     "\u00A0", "\u3000"};

  std::string random_text(int max_words) {
    const int n = std::uniform_int_distribution<int>(0, max_words)(rng_);
    std::string text;
    for (int i = 0; i < n; ++i) {
      if (i > 0 || coin(4)) text += coin(5) ? "\t" : " ";
      text += pick();
    }
    if (coin(4)) text += "  ";
    return text;
  }

  DocumentInfo random_doc() {
    DocumentInfo doc;
    doc.id = "doc" + std::to_string(next_id_++);
    doc.text = random_text(coin(3) ? 0 : 8);
    if (coin(2)) {
      Metadata metadata;
      const int n = std::uniform_int_distribution<int>(0, 3)(rng_);
      for (int i = 0; i < n; ++i) {
        metadata.emplace_back(coin(3) ? " " : pick() + std::to_string(i), coin(3) ? "" : pick());
      }
      doc.metadata = std::move(metadata);
    }
    return doc;
  }

  std::string pick() {
    if (GetParam().large_vocabulary && !coin(4)) {
      return "t" + std::to_string(std::uniform_int_distribution<int>(0, 5000)(rng_));
    }
    return kWords[std::uniform_int_distribution<size_t>(0, std::size(kWords) - 1)(rng_)];
  }
  bool coin(int one_in) { return std::uniform_int_distribution<int>(0, one_in - 1)(rng_) == 0; }

  // docs[i] in slot i; a dead slot's document is std::nullopt.
  using Slots = std::vector<std::optional<DocumentInfo>>;

  void check_queries(const KeywordIndex& index, const Slots& docs) {
    ASSERT_EQ(index.size(), docs.size());
    std::vector<bm25::Document> engine_docs;
    for (size_t i = 0; i < docs.size(); ++i) {
      if (!docs[i]) continue;
      std::string text = collect_document_text(*docs[i]);
      if (!text.empty()) engine_docs.push_back({i, std::move(text)});
    }
    const bm25::SearchEngine engine =
        bm25::SearchEngineBuilder::with_documents(bm25::Language::English, std::move(engine_docs))
            .build();
    for (int q = 0; q < 4; ++q) {
      const std::string query = random_text(4);
      const size_t top_k = coin(2) ? 100 : std::uniform_int_distribution<size_t>(1, 4)(rng_);
      const auto got = index.search(query, top_k, nullptr);
      const auto want = trim_white_space(query).empty() ? std::vector<bm25::SearchResult>{}
                                                        : engine.search(query, top_k);
      ASSERT_EQ(got.size(), want.size()) << "query '" << query << "'";
      for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].position, want[i].document.id) << "query '" << query << "' rank " << i;
        EXPECT_EQ(std::bit_cast<uint32_t>(got[i].score), std::bit_cast<uint32_t>(want[i].score))
            << "query '" << query << "' rank " << i << ": " << got[i].score << " vs "
            << want[i].score;
      }
      ++queries_checked_;
    }
  }

  static std::unique_ptr<KeywordIndex> rebuild(const Slots& docs) {
    std::vector<std::string> texts;
    Bitmap live(docs.size());
    for (size_t i = 0; i < docs.size(); ++i) {
      texts.push_back(docs[i] ? collect_document_text(*docs[i]) : std::string());
      if (docs[i]) live.set(i);
    }
    const std::vector<std::string_view> views(texts.begin(), texts.end());
    return KeywordIndex::build(views, &live);
  }

  std::mt19937 rng_{GetParam().seed};
  int next_id_ = 0;
  int queries_checked_ = 0;
};

TEST_P(KeywordIndexPropertyTest, MatchesEngineBuiltFromScratch) {
  Slots docs;
  for (int i = 0; i < 5; ++i) docs.push_back(random_doc());
  std::unique_ptr<KeywordIndex> index = rebuild(docs);
  for (int step = 0; step < 300 && !HasFatalFailure(); ++step) {
    std::vector<size_t> live;
    for (size_t i = 0; i < docs.size(); ++i)
      if (docs[i]) live.push_back(i);
    const int op = std::uniform_int_distribution<int>(0, 9)(rng_);
    if (op <= 4 || live.empty()) {
      docs.push_back(random_doc());
      index->append(collect_document_text(*docs.back()));
    } else if (op <= 6) {
      const size_t slot = live[std::uniform_int_distribution<size_t>(0, live.size() - 1)(rng_)];
      DocumentInfo doc = random_doc();
      doc.id = docs[slot]->id;
      index->replace(slot, collect_document_text(*docs[slot]), collect_document_text(doc));
      docs[slot] = doc;
    } else if (op <= 7) {
      const int one_in = coin(15) ? 1 : 8;  // now and then erase everything
      for (size_t slot : live) {
        if (!coin(one_in)) continue;
        index->erase(slot, collect_document_text(*docs[slot]));
        docs[slot].reset();
      }
    } else if (op <= 8) {
      std::vector<size_t> dead;
      Slots kept;
      for (size_t i = 0; i < docs.size(); ++i) {
        if (docs[i]) {
          kept.push_back(docs[i]);
        } else {
          dead.push_back(i);
        }
      }
      index->compact(dead);
      docs = std::move(kept);
    } else {
      index = rebuild(docs);
    }
    check_queries(*index, docs);
  }
  EXPECT_GT(queries_checked_, 1000);
}

INSTANTIATE_TEST_SUITE_P(Seeds, KeywordIndexPropertyTest,
                         ::testing::Values(PropertyParam{1, false}, PropertyParam{7, false},
                                           PropertyParam{2024, false}, PropertyParam{99991, false},
                                           PropertyParam{5, true}, PropertyParam{31337, true}));

}  // namespace
}  // namespace vesk
