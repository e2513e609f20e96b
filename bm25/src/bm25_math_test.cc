#include "bm25_math.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

namespace bm25 {
namespace {

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
  EXPECT_EQ(term_weight(kK1, kB, 1.0f, 7.0f, 7.0f), 1.0f);
  // Non-positive average lengths fall back to 256.
  EXPECT_EQ(term_weight(kK1, kB, 1.0f, 256.0f, 0.0f), 1.0f);
  EXPECT_EQ(term_weight(kK1, kB, 3.0f, 10.0f, -5.0f), term_weight(kK1, kB, 3.0f, 10.0f, 256.0f));
  // Weights grow with tf towards k1 + 1 and shrink with length.
  EXPECT_GT(term_weight(kK1, kB, 2.0f, 5.0f, 5.0f), 1.0f);
  EXPECT_LT(term_weight(kK1, kB, 1000.0f, 5.0f, 5.0f), 2.2f);
  EXPECT_LT(term_weight(kK1, kB, 1.0f, 50.0f, 5.0f), 1.0f);
  // The exact float32 operation order: the two-token example of the engine.
  const float inner = 0.25f + 0.75f * (1.0f / 0.5f);
  EXPECT_EQ(term_weight(kK1, kB, 1.0f, 1.0f, 0.5f), 2.2f / (1.2f * inner + 1.0f));
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
  // Above 2^24 a float32 cannot hold every token total: 2^24 + 5 would round
  // to 2^24 + 4 before a float32 division and give 5592406.5; the quotient
  // taken in float64 is exactly 5592407.
  EXPECT_EQ(average_length((uint64_t{1} << 24) + 5, 3), 5592407.0f);
  EXPECT_EQ(average_length((uint64_t{1} << 24) + 1, 5), 3355443.5f);
  EXPECT_EQ(average_length((uint64_t{1} << 25) + 9, 3), 11184814.0f);
}

}  // namespace
}  // namespace bm25
