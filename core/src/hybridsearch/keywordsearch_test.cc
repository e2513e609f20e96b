#include "hybridsearch/keywordsearch.h"

#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <string>
#include <vector>

#include "search.h"
#include "utils/keyword.h"
#include "utils/unicode_space.h"

namespace vesk {
namespace {

std::vector<std::string> ids(const std::vector<QueryResultDocumentInfo>& results) {
  std::vector<std::string> out;
  for (const auto& r : results) out.push_back(r.id);
  return out;
}

TEST(KeywordIndexTest, BlankDocumentKeepsItsPosition) {
  const std::vector<DocumentInfo> docs = {
      {"a", "dog", std::nullopt},
      {"blank", " \t ", std::nullopt},
      {"c", "cat and dog", Metadata{{"owner", "Ann"}}},
  };
  auto index = KeywordIndex::build(docs);
  EXPECT_EQ(index->size(), 3u);
  const auto results = index->search("cat", 10, docs);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].id, "c");
  EXPECT_EQ(results[0].text, "cat and dog");
  EXPECT_EQ(results[0].metadata, docs[2].metadata);
  EXPECT_GT(results[0].score, 0.0f);
  EXPECT_EQ(ids(index->search("dog", 10, docs)), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(ids(index->search("ann", 10, docs)), (std::vector<std::string>{"c"}));
}

TEST(KeywordIndexTest, MetadataIsSearchable) {
  const std::vector<DocumentInfo> docs = {
      {"pie", "Apple pie", Metadata{{"color", "red"}}},
      {"other", "green apple", Metadata{}},
  };
  auto index = KeywordIndex::build(docs);
  EXPECT_EQ(ids(index->search("red", 5, docs)), (std::vector<std::string>{"pie"}));
  EXPECT_EQ(ids(index->search("colors", 5, docs)), (std::vector<std::string>{"pie"}));
}

TEST(KeywordIndexTest, NothingForBlankQueryOrZeroTopK) {
  const std::vector<DocumentInfo> docs = {{"a", "dog", std::nullopt}};
  auto index = KeywordIndex::build(docs);
  EXPECT_TRUE(index->search("dog", 0, docs).empty());
  EXPECT_TRUE(index->search("", 5, docs).empty());
  EXPECT_TRUE(index->search(" \u3000\n", 5, docs).empty());
  EXPECT_TRUE(index->search("the of", 5, docs).empty());
  KeywordIndex empty;
  EXPECT_TRUE(empty.search("dog", 5, {}).empty());
}

TEST(KeywordIndexTest, EraseShiftsPositions) {
  std::vector<DocumentInfo> docs;
  for (int i = 0; i < 6; ++i)
    docs.push_back({"d" + std::to_string(i), "word" + std::to_string(i % 2), {}});
  auto index = KeywordIndex::build(docs);
  const std::vector<size_t> gone = {0, 2, 3};
  index->erase(gone);
  docs = {docs[1], docs[4], docs[5]};
  ASSERT_EQ(index->size(), 3u);
  EXPECT_EQ(ids(index->search("word1", 10, docs)), (std::vector<std::string>{"d1", "d5"}));
  EXPECT_EQ(ids(index->search("word0", 10, docs)), (std::vector<std::string>{"d4"}));
  index->replace(0, DocumentInfo{"d1", "word0 word0", {}});
  docs[0].text = "word0 word0";
  EXPECT_EQ(ids(index->search("word0", 10, docs)), (std::vector<std::string>{"d1", "d4"}));
  index->append(DocumentInfo{"d6", "word1", {}});
  docs.push_back({"d6", "word1", {}});
  EXPECT_EQ(ids(index->search("word1", 10, docs)), (std::vector<std::string>{"d5", "d6"}));
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

  void check_queries(const KeywordIndex& index, const std::vector<DocumentInfo>& docs) {
    ASSERT_EQ(index.size(), docs.size());
    std::vector<bm25::Document> engine_docs;
    for (size_t i = 0; i < docs.size(); ++i) {
      std::string text = collect_document_text(docs[i]);
      if (!text.empty()) engine_docs.push_back({i, std::move(text)});
    }
    const bm25::SearchEngine engine =
        bm25::SearchEngineBuilder::with_documents(bm25::Language::English, std::move(engine_docs))
            .build();
    for (int q = 0; q < 4; ++q) {
      const std::string query = random_text(4);
      const size_t top_k = coin(2) ? 100 : std::uniform_int_distribution<size_t>(1, 4)(rng_);
      const auto got = index.search(query, top_k, docs);
      const auto want = trim_white_space(query).empty() ? std::vector<bm25::SearchResult>{}
                                                        : engine.search(query, top_k);
      ASSERT_EQ(got.size(), want.size()) << "query '" << query << "'";
      for (size_t i = 0; i < got.size(); ++i) {
        const DocumentInfo& expected = docs[want[i].document.id];
        EXPECT_EQ(got[i].id, expected.id) << "query '" << query << "' rank " << i;
        EXPECT_EQ(got[i].text, expected.text);
        EXPECT_EQ(got[i].metadata, expected.metadata);
        EXPECT_EQ(std::bit_cast<uint32_t>(got[i].score), std::bit_cast<uint32_t>(want[i].score))
            << "query '" << query << "' rank " << i << ": " << got[i].score << " vs "
            << want[i].score;
      }
      ++queries_checked_;
    }
  }

  std::mt19937 rng_{GetParam().seed};
  int next_id_ = 0;
  int queries_checked_ = 0;
};

TEST_P(KeywordIndexPropertyTest, MatchesEngineBuiltFromScratch) {
  std::vector<DocumentInfo> docs;
  for (int i = 0; i < 5; ++i) docs.push_back(random_doc());
  std::unique_ptr<KeywordIndex> index = KeywordIndex::build(docs);
  for (int step = 0; step < 300 && !HasFatalFailure(); ++step) {
    const int op = std::uniform_int_distribution<int>(0, 9)(rng_);
    if (op <= 4 || docs.empty()) {
      docs.push_back(random_doc());
      index->append(docs.back());
    } else if (op <= 6) {
      const size_t pos = std::uniform_int_distribution<size_t>(0, docs.size() - 1)(rng_);
      DocumentInfo doc = random_doc();
      doc.id = docs[pos].id;
      docs[pos] = doc;
      index->replace(pos, doc);
    } else if (op <= 8) {
      std::vector<size_t> positions;
      std::vector<DocumentInfo> kept;
      const int one_in = coin(15) ? 1 : 8;  // now and then erase everything
      for (size_t i = 0; i < docs.size(); ++i) {
        if (coin(one_in)) {
          positions.push_back(i);
        } else {
          kept.push_back(docs[i]);
        }
      }
      index->erase(positions);
      docs = std::move(kept);
    } else {
      index = KeywordIndex::build(docs);
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
