#include "search.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace bm25 {
namespace {

SearchEngine make_engine(std::vector<Document> docs) {
  return SearchEngineBuilder::with_documents(Language::English, std::move(docs)).build();
}

std::vector<size_t> ids(const std::vector<SearchResult>& results) {
  std::vector<size_t> out;
  for (const SearchResult& r : results) out.push_back(r.document.id);
  return out;
}

TEST(SearchEngineBuilderTest, AverageLength) {
  EXPECT_EQ(SearchEngineBuilder::with_documents(Language::English, {}).avgdl(), 256.0f);
  // Stop words are not counted; every document counts, a repeated id too.
  auto builder = SearchEngineBuilder::with_documents(
      Language::English, {{1, "the dog"}, {2, "cat bird fish"}, {1, "of"}});
  EXPECT_EQ(builder.avgdl(), static_cast<float>(4.0 / 3.0));
  EXPECT_EQ(builder.k1(), 1.2f);
  EXPECT_EQ(builder.b(), 0.75f);
}

TEST(SearchEngineTest, SingleDocumentStemmedQuery) {
  const SearchEngine engine = make_engine({{0, "dog"}});
  const auto results = engine.search("dogs", 10);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].document, (Document{0, "dog"}));
  EXPECT_EQ(results[0].score, idf(1.0f, 1.0f));
  EXPECT_NEAR(results[0].score, std::log(4.0 / 3.0), 1e-6);
}

TEST(SearchEngineTest, RepeatedQueryTokenCountsTwice) {
  const SearchEngine engine = make_engine({{0, "dog"}, {1, "cat"}});
  const auto results = engine.search("dog dog", 10);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].document.id, 0u);
  const float ln2 = idf(2.0f, 1.0f);
  EXPECT_EQ(results[0].score, ln2 + ln2);
  EXPECT_NEAR(results[0].score, 2 * std::log(2.0), 1e-6);
}

TEST(SearchEngineTest, TokenlessDocumentCountsInNButIsNeverReturned) {
  const SearchEngine engine = make_engine({{0, "dog"}, {1, "the of !!"}});
  EXPECT_EQ(engine.size(), 2u);
  EXPECT_EQ(engine.embedder().avgdl(), 0.5f);
  const auto results = engine.search("dog the", 10);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].document.id, 0u);
  EXPECT_EQ(results[0].score, idf(2.0f, 1.0f) * term_weight(1.2f, 0.75f, 1.0f, 1.0f, 0.5f));
  EXPECT_TRUE(engine.search("the", 10).empty());
}

TEST(SearchEngineTest, RepeatedIdKeepsLaterTextAverageCountsBoth) {
  const SearchEngine engine = make_engine({{7, "dog cat bird"}, {7, "dog"}});
  EXPECT_EQ(engine.size(), 1u);
  EXPECT_EQ(engine.embedder().avgdl(), 2.0f);
  EXPECT_TRUE(engine.search("bird", 10).empty());
  const auto results = engine.search("dog", 10);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].document, (Document{7, "dog"}));
  EXPECT_EQ(results[0].score, idf(1.0f, 1.0f) * term_weight(1.2f, 0.75f, 1.0f, 1.0f, 2.0f));
}

TEST(SearchEngineTest, RankingLimitAndTies) {
  const SearchEngine engine = make_engine({{5, "apple pie"},
                                           {3, "apple pie"},
                                           {9, "apple pie"},
                                           {1, "apple apple apple"},
                                           {2, "pear"}});
  const auto all = engine.search("apple", 100);
  // Higher tf first, then equal scores in ascending id.
  EXPECT_EQ(ids(all), (std::vector<size_t>{1, 3, 5, 9}));
  EXPECT_GT(all[0].score, all[1].score);
  EXPECT_EQ(all[1].score, all[3].score);
  EXPECT_EQ(ids(engine.search("apple", 2)), (std::vector<size_t>{1, 3}));
  EXPECT_TRUE(engine.search("apple", 0).empty());
  EXPECT_TRUE(engine.search("", 10).empty());
  EXPECT_TRUE(engine.search("the of", 10).empty());
  EXPECT_TRUE(engine.search("banana", 10).empty());
}

TEST(SearchEngineTest, ScoreSumsQueryTermsInOrder) {
  const SearchEngine engine = make_engine({{0, "red green"}, {1, "red blue blue"}, {2, "green"}});
  const auto results = engine.search("green red green", 10);
  ASSERT_EQ(results.size(), 3u);
  const float avgdl = engine.embedder().avgdl();
  EXPECT_EQ(avgdl, 2.0f);
  const float idf_red = idf(3.0f, 2.0f);
  const float idf_green = idf(3.0f, 2.0f);
  const float w0 = term_weight(1.2f, 0.75f, 1.0f, 2.0f, avgdl);
  float expected = 0.0f;
  expected = expected + idf_green * w0;
  expected = expected + idf_red * w0;
  expected = expected + idf_green * w0;
  EXPECT_EQ(results[0].document.id, 0u);
  EXPECT_EQ(results[0].score, expected);
}

TEST(SearchEngineTest, EmptyCorpus) {
  const SearchEngine engine = make_engine({});
  EXPECT_EQ(engine.embedder().avgdl(), 256.0f);
  EXPECT_TRUE(engine.search("dog", 10).empty());
}

TEST(SearchEngineTest, UpsertAndRemove) {
  SearchEngine engine = make_engine({{0, "dog"}, {1, "cat"}});
  engine.upsert({1, "dog"});
  EXPECT_EQ(ids(engine.search("dog", 10)), (std::vector<size_t>{0, 1}));
  EXPECT_TRUE(engine.search("cat", 10).empty());
  engine.remove(0);
  engine.remove(42);  // unknown: nothing happens
  EXPECT_EQ(engine.size(), 1u);
  EXPECT_EQ(ids(engine.search("dog", 10)), (std::vector<size_t>{1}));
}

TEST(ScorerTest, SetsHoldEachIdOnceAndStayWhenEmptied) {
  Scorer scorer;
  const uint32_t dog = TokenEmbedder::embed("dog");
  const uint32_t cat = TokenEmbedder::embed("cat");
  scorer.upsert(4, {{dog, 1.0f}, {cat, 1.0f}, {dog, 1.0f}});
  scorer.upsert(5, {{dog, 1.0f}});
  scorer.upsert(4, {{cat, 1.0f}, {dog, 1.0f}, {cat, 1.0f}});
  EXPECT_EQ(scorer.size(), 2u);
  EXPECT_EQ(scorer.inverted_token_index().at(dog).size(), 2u);
  EXPECT_EQ(scorer.inverted_token_index().at(cat).size(), 1u);
  scorer.remove(4);
  scorer.remove(4);
  EXPECT_EQ(scorer.size(), 1u);
  EXPECT_EQ(scorer.inverted_token_index().at(dog), (std::vector<size_t>{5}));
  ASSERT_EQ(scorer.inverted_token_index().count(cat), 1u);
  EXPECT_TRUE(scorer.inverted_token_index().at(cat).empty());
}

TEST(ScorerTest, ScoreUsesFirstMatchAndIgnoresQueryValues) {
  Scorer scorer;
  scorer.upsert(0, {{1, 0.5f}, {2, 0.25f}});
  scorer.upsert(1, {{2, 1.0f}});
  EXPECT_EQ(scorer.score_({{1, 0.5f}}, {}), 0.0f);
  const float expected = idf(2.0f, 1.0f) * 0.5f + idf(2.0f, 2.0f) * 0.25f;
  EXPECT_EQ(scorer.score_(scorer.embeddings().at(0), {{1, 9.0f}, {2, -3.0f}}), expected);
  // A dimension no document holds contributes nothing.
  EXPECT_EQ(scorer.score_(scorer.embeddings().at(1), {{77, 1.0f}}), 0.0f);
}

}  // namespace
}  // namespace bm25
