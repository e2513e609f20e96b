#include "embedder.h"

#include <gtest/gtest.h>

#include <cmath>

namespace bm25 {
namespace {

Embedder english_embedder(float avgdl) {
  return Embedder(DefaultTokenizerBuilder().language(Language::English).build(), Embedder::kK1,
                  Embedder::kB, avgdl);
}

TEST(TokenEmbedderTest, KnownHashes) {
  EXPECT_EQ(TokenEmbedder::embed(""), 0xFAE88A6Bu);
  EXPECT_EQ(TokenEmbedder::embed("abc"), 0x6EF1D871u);
  EXPECT_EQ(TokenEmbedder::embed("abcd"), 0x54CD68F7u);
  EXPECT_EQ(TokenEmbedder::embed("abcde"), 0xC2F48C6Au);
  EXPECT_EQ(TokenEmbedder::embed("run"), 0xB40EB34Bu);
  EXPECT_EQ(TokenEmbedder::embed("dog"), 0x68870B5Bu);
}

TEST(TokenEmbedderTest, HashesBytesNotCharacters) {
  // High bytes must not be sign-extended; a prefix must not collide with the
  // whole word because of the terminator.
  EXPECT_NE(TokenEmbedder::embed("\xC3\xA9"), TokenEmbedder::embed("\xC3"));
  EXPECT_NE(TokenEmbedder::embed("abcd"), TokenEmbedder::embed("abcd\xFF"));
}

TEST(TermWeightTest, Arithmetic) {
  // A single occurrence in a text of exactly average length weighs 1.0.
  EXPECT_EQ(term_weight(1.2f, 0.75f, 1.0f, 7.0f, 7.0f), 1.0f);
  // Non-positive average lengths fall back to 256.
  EXPECT_EQ(term_weight(1.2f, 0.75f, 1.0f, 256.0f, 0.0f), 1.0f);
  EXPECT_EQ(term_weight(1.2f, 0.75f, 3.0f, 10.0f, -5.0f),
            term_weight(1.2f, 0.75f, 3.0f, 10.0f, 256.0f));
  // Weights grow with tf towards k1 + 1 and shrink with length.
  EXPECT_GT(term_weight(1.2f, 0.75f, 2.0f, 5.0f, 5.0f), 1.0f);
  EXPECT_LT(term_weight(1.2f, 0.75f, 1000.0f, 5.0f, 5.0f), 2.2f);
  EXPECT_LT(term_weight(1.2f, 0.75f, 1.0f, 50.0f, 5.0f), 1.0f);
  // The exact float32 operation order: the two-token example of the engine.
  const float inner = 0.25f + 0.75f * (1.0f / 0.5f);
  EXPECT_EQ(term_weight(1.2f, 0.75f, 1.0f, 1.0f, 0.5f), 2.2f / (1.2f * inner + 1.0f));
}

TEST(IdfTest, Values) {
  EXPECT_FLOAT_EQ(idf(1.0f, 1.0f), std::log(4.0f / 3.0f));
  EXPECT_FLOAT_EQ(idf(2.0f, 1.0f), std::log(2.0f));
  EXPECT_GT(idf(10.0f, 10.0f), 0.0f);
  EXPECT_GT(idf(10.0f, 0.0f), idf(10.0f, 1.0f));
}

TEST(AverageLengthTest, DividesInDoubleAndFallsBack) {
  EXPECT_EQ(average_length(0, 0), 256.0f);
  EXPECT_EQ(average_length(0, 3), 0.0f);
  EXPECT_EQ(average_length(7, 2), 3.5f);
  // 1/3 rounded once from double, not computed in float.
  EXPECT_EQ(average_length(1, 3), static_cast<float>(1.0 / 3.0));
  EXPECT_EQ(average_length((uint64_t{1} << 25) + 1, 1),
            static_cast<float>((uint64_t{1} << 25) + 1));
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
