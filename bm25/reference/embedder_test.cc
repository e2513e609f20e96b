#include "embedder.h"

#include <gtest/gtest.h>

namespace bm25 {
namespace {

Embedder english_embedder(float avgdl) {
  return Embedder(DefaultTokenizerBuilder().language(Language::English).build(), kK1, kB, avgdl);
}

TEST(EmbedderTest, TextsWithoutTokensAreEmpty) {
  const Embedder embedder = english_embedder(10.0f);
  EXPECT_TRUE(embedder.embed("").empty());
  EXPECT_TRUE(embedder.embed("the of and").empty());
  EXPECT_TRUE(embedder.embed("!!!").empty());
}

TEST(EmbedderTest, OneEntryPerOccurrenceInTokenOrder) {
  const Embedder embedder = english_embedder(3.0f);
  const SparseEmbedding e = embedder.embed("dog dog cat");
  ASSERT_EQ(e.size(), 3u);
  const uint32_t dog = TokenEmbedder::embed("dog");
  const uint32_t cat = TokenEmbedder::embed("cat");
  EXPECT_EQ(e[0].index, dog);
  EXPECT_EQ(e[1], e[0]);
  EXPECT_EQ(e[2].index, cat);
  EXPECT_EQ(e[0].value, term_weight(1.2f, 0.75f, 2.0f, 3.0f, 3.0f));
  EXPECT_EQ(e[2].value, 1.0f);  // tf 1, length equal to avgdl
}

TEST(EmbedderTest, StemmedFormsShareADimension) {
  const Embedder embedder = english_embedder(2.0f);
  const SparseEmbedding e = embedder.embed("Dogs dog");
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0], e[1]);
  EXPECT_EQ(e[0].value, term_weight(1.2f, 0.75f, 2.0f, 2.0f, 2.0f));
}

TEST(EmbedderTest, NonPositiveAverageLengthUsesFallback) {
  const SparseEmbedding reference = english_embedder(kFallbackAvgdl).embed("red green red");
  EXPECT_EQ(english_embedder(0.0f).embed("red green red"), reference);
  EXPECT_EQ(english_embedder(-1.0f).embed("red green red"), reference);
  EXPECT_NE(english_embedder(3.0f).embed("red green red"), reference);
}

}  // namespace
}  // namespace bm25
