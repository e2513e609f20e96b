#include "hybridsearch/fusion.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace vesk {
namespace {

QueryResultDocumentInfo Doc(const std::string& id, const std::string& text = "",
                            float score = 99.0f) {
  return QueryResultDocumentInfo{id, text.empty() ? "text of " + id : text, std::nullopt, score};
}

NamedResultList List(const std::string& label, std::vector<QueryResultDocumentInfo> docs) {
  return NamedResultList{label, std::move(docs)};
}

// weight * (1 / (k + rank)) with a float32 rounding after each step.
float Term(float weight, size_t k, size_t rank) {
  const float sum = static_cast<float>(k) + static_cast<float>(rank);
  const float quotient = 1.0f / sum;
  return weight * quotient;
}

std::vector<std::string> Ids(const std::vector<QueryResultDocumentInfo>& got) {
  std::vector<std::string> ids;
  for (const auto& d : got) ids.push_back(d.id);
  return ids;
}

TEST(FusionTest, WorkedExample) {
  auto r = reciprocal_rank_fusion({List("embedding", {Doc("A"), Doc("B")})},
                                  {List("keyword", {Doc("C"), Doc("D"), Doc("A")})}, 3, 60, 0.8f);
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(Ids(r.value()), (std::vector<std::string>{"A", "B", "C"}));
  const float w = 1.0f - 0.8f;
  EXPECT_EQ(w, 0.19999999f);
  const float a = 0.0f + Term(0.8f, 60, 1);
  EXPECT_EQ(r.value()[0].score, a + Term(w, 60, 3));
  EXPECT_EQ(r.value()[1].score, 0.0f + Term(0.8f, 60, 2));
  EXPECT_EQ(r.value()[2].score, 0.0f + Term(w, 60, 1));
  EXPECT_NEAR(r.value()[0].score, 0.016289357f, 1e-9f);
  EXPECT_NEAR(r.value()[1].score, 0.012903226f, 1e-9f);
  EXPECT_NEAR(r.value()[2].score, 0.0032786881f, 1e-10f);
  EXPECT_EQ(r.value()[0].text, "text of A");
}

TEST(FusionTest, AlphaOutOfRange) {
  const float inf = std::numeric_limits<float>::infinity();
  const std::pair<float, const char*> cases[] = {{1.5f, "1.5"},
                                                 {-0.25f, "-0.25"},
                                                 {std::numeric_limits<float>::quiet_NaN(), "NaN"},
                                                 {inf, "inf"},
                                                 {-inf, "-inf"},
                                                 {1e20f, "100000000000000000000"},
                                                 {2.0f, "2"},
                                                 {1.0000001f, "1.0000001"},
                                                 {-1e-6f, "-0.000001"}};
  for (const auto& [alpha, text] : cases) {
    auto r = reciprocal_rank_fusion({List("embedding", {Doc("A")})}, {}, 5, 60, alpha);
    ASSERT_FALSE(r.ok()) << text;
    EXPECT_TRUE(r.status().IsInternal());
    EXPECT_EQ(r.status().message(), std::string("alpha must be between 0.0 and 1.0, got: ") + text);
  }
}

TEST(FusionTest, AlphaBoundsSkipTheOtherGroup) {
  auto sem = [] { return std::vector<NamedResultList>{List("embedding", {Doc("S")})}; };
  auto kw = [] { return std::vector<NamedResultList>{List("keyword", {Doc("K")})}; };
  auto one = reciprocal_rank_fusion(sem(), kw(), 5, 60, 1.0f);
  ASSERT_TRUE(one.ok());
  EXPECT_EQ(Ids(one.value()), (std::vector<std::string>{"S"}));
  EXPECT_EQ(one.value()[0].score, Term(1.0f, 60, 1));
  auto zero = reciprocal_rank_fusion(sem(), kw(), 5, 60, 0.0f);
  ASSERT_TRUE(zero.ok());
  EXPECT_EQ(Ids(zero.value()), (std::vector<std::string>{"K"}));
  auto neg_zero = reciprocal_rank_fusion(sem(), kw(), 5, 60, -0.0f);
  ASSERT_TRUE(neg_zero.ok());
  EXPECT_EQ(Ids(neg_zero.value()), (std::vector<std::string>{"K"}));
}

TEST(FusionTest, TopKAndEmptyInputs) {
  auto zero = reciprocal_rank_fusion({List("e", {Doc("A")})}, {List("k", {Doc("B")})}, 0, 60, 0.5f);
  ASSERT_TRUE(zero.ok());
  EXPECT_TRUE(zero.value().empty());
  auto empty = reciprocal_rank_fusion({List("e", {})}, {}, 10, 60, 0.5f);
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty.value().empty());
  auto all = reciprocal_rank_fusion({List("e", {Doc("A"), Doc("B")})},
                                    {List("k", {Doc("B"), Doc("C")})}, 100, 60, 0.5f);
  ASSERT_TRUE(all.ok());
  EXPECT_EQ(Ids(all.value()), (std::vector<std::string>{"B", "A", "C"}));
}

TEST(FusionTest, FirstAppearanceGivesTheDocument) {
  auto r = reciprocal_rank_fusion({List("e", {Doc("X", "semantic text")})},
                                  {List("k", {Doc("X", "keyword text")})}, 5, 60, 0.8f);
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r.value().size(), 1u);
  EXPECT_EQ(r.value()[0].text, "semantic text");
  // Both contributions, added in order; never the input's own score.
  EXPECT_EQ(r.value()[0].score, (0.0f + Term(0.8f, 60, 1)) + Term(1.0f - 0.8f, 60, 1));
}

TEST(FusionTest, RepeatedIdsAddUpAndTiesComeInFirstSeenOrder) {
  // At alpha 0.5, "E1" (first only in the semantic list) and "K1" (first only
  // in the keyword list) tie, as do E2 and K2.
  auto r = reciprocal_rank_fusion({List("e", {Doc("E1"), Doc("E2")})},
                                  {List("k", {Doc("K1"), Doc("K2")})}, 10, 60, 0.5f);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(Ids(r.value()), (std::vector<std::string>{"E1", "K1", "E2", "K2"}));

  // A repeated id within one list counts once per occurrence.
  auto rep = reciprocal_rank_fusion({List("e", {Doc("A"), Doc("B"), Doc("B")})}, {}, 10, 60, 1.0f);
  ASSERT_TRUE(rep.ok());
  EXPECT_EQ(Ids(rep.value()), (std::vector<std::string>{"B", "A"}));
  EXPECT_EQ(rep.value()[0].score, (0.0f + Term(1.0f, 60, 2)) + Term(1.0f, 60, 3));
}

TEST(FusionTest, ManyTiesKeepFirstSeenOrder) {
  // Forty lists [X_i, T_i]: every X ties with every other X (rank 1), every T
  // with every other T (rank 2). Seen as X0 T0 X1 T1 ..., the answer must be
  // X0 .. X39, then T0 .. T39. Short runs of ties come out right even from an
  // unstable sort, so the count is well above sixteen.
  constexpr int kLists = 40;
  std::vector<NamedResultList> semantic;
  std::vector<std::string> want_x, want_t;
  for (int i = 0; i < kLists; ++i) {
    const std::string x = "X" + std::to_string(i), t = "T" + std::to_string(i);
    semantic.push_back(List("e", {Doc(x), Doc(t)}));
    want_x.push_back(x);
    want_t.push_back(t);
  }
  std::vector<std::string> want = want_x;
  want.insert(want.end(), want_t.begin(), want_t.end());
  auto r = reciprocal_rank_fusion(std::move(semantic), {}, 100, 60, 0.5f);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(Ids(r.value()), want);
  EXPECT_EQ(r.value().front().score, r.value()[kLists - 1].score);
  EXPECT_EQ(r.value()[kLists].score, r.value().back().score);
}

}  // namespace
}  // namespace vesk
