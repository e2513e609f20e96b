#include "collection/collection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "index/index.h"

namespace vesk {
namespace {

constexpr size_t kDim = 8;

const std::vector<std::string>& vocabulary() {
  static const std::vector<std::string> words = {
      "river",  "mountain", "forest", "ocean",  "desert",  "valley", "island", "glacier",
      "castle", "bridge",   "garden", "market", "harbor",  "temple", "tower",  "meadow",
      "rivers", "the",      "and",    "of",     "quantum", "zebra",  "violin", "copper"};
  return words;
}

class Corpus {
 public:
  explicit Corpus(uint32_t seed) : rng_(seed) {}

  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }

  std::string text(size_t max_words) {
    if (pick(15) == 0) return pick(2) == 0 ? "" : "  \t ";
    std::string out;
    for (size_t n = 1 + pick(max_words); n > 0; --n) {
      if (!out.empty()) out += ' ';
      out += vocabulary()[pick(vocabulary().size())];
    }
    return out;
  }

  // Few distinct values, so that equal scores are common.
  std::vector<float> vector() {
    std::vector<float> v(kDim);
    for (float& x : v) x = static_cast<float>(static_cast<int>(pick(5)) - 2) * 0.5f;
    return v;
  }

  std::string id(size_t pool) { return "d" + std::to_string(pick(pool)); }

 private:
  std::mt19937 rng_;
};

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

std::vector<float> flatten(const std::vector<std::vector<float>>& rows) {
  std::vector<float> out;
  for (const auto& r : rows) out.insert(out.end(), r.begin(), r.end());
  return out;
}

std::vector<CollectionHit> must_search(const Collection& c, const SearchRequest& r) {
  auto hits = c.search(r);
  EXPECT_TRUE(hits.ok()) << hits.status().message();
  return hits.ok() ? std::move(hits).value() : std::vector<CollectionHit>();
}

void expect_same(const std::vector<CollectionHit>& got,
                 const std::vector<QueryResultDocumentInfo>& want, const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].id, want[i].id) << what << " at " << i;
    EXPECT_EQ(bits(got[i].score), bits(want[i].score)) << what << " at " << i;
    EXPECT_EQ(got[i].text, want[i].text) << what << " at " << i;
  }
}

// Random adds (upserts, repeated ids, skipped ids), deletes (enough to
// compact) and clears, applied to an Index and a Collection alike. After each
// change, keyword-only, dense-only and fused (depth = k) searches answer the
// same ids in the same order with the same score bits, and explain()
// recomputes each keyword and dense score bit for bit.
TEST(Collection, AnswersLikeIndexBitForBit) {
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    Corpus gen(seed);
    Index index("reference", VeskModel::MiniLm);
    // Odd seeds split the dense scans over two threads: the answers are the same.
    auto pool = ThreadPool::create(2);
    ASSERT_TRUE(pool.ok());
    Collection collection(kDim, bm25::Language::English,
                          seed % 2 == 1 ? pool.value().get() : nullptr);
    for (int step = 0; step < 25; ++step) {
      const size_t action = gen.pick(10);
      if (action < 6) {
        std::vector<DocumentInfo> docs;
        std::vector<CollectionDocument> cdocs;
        std::vector<std::vector<float>> rows;
        EmbeddingBatch batch;
        for (size_t n = 1 + gen.pick(15); n > 0; --n) {
          DocumentInfo d{gen.id(60), gen.text(12), std::nullopt};
          cdocs.push_back(CollectionDocument{d.id, d.text, {}});
          docs.push_back(std::move(d));
          rows.push_back(gen.vector());
          batch.append(rows.back());
        }
        const bool upsert = gen.pick(4) != 0;
        AddDocumentsOptions options{upsert};
        auto want = index.add_documents(std::move(docs), batch, &options);
        auto got = collection.add(std::move(cdocs), flatten(rows), upsert);
        ASSERT_TRUE(want.ok() && got.ok());
        EXPECT_EQ(got.value().added, want.value().added);
        EXPECT_EQ(got.value().updated, want.value().updated);
      } else if (action < 9) {
        std::vector<std::string> ids;
        for (size_t n = 1 + gen.pick(12); n > 0; --n) ids.push_back(gen.id(60));
        EXPECT_EQ(collection.remove(ids), index.delete_documents(ids));
      } else if (gen.pick(3) == 0) {
        index.clear();
        collection.clear();
      }
      ASSERT_EQ(collection.size(), index.doc_count());
      for (const DocumentInfo& doc : index.get_documents(nullptr)) {
        const std::string ids[] = {doc.id};
        auto got = collection.get(ids);
        ASSERT_TRUE(got[0].has_value());
        EXPECT_EQ(got[0]->text, doc.text);
      }

      for (int q = 0; q < 6; ++q) {
        const std::string text = gen.text(4) + (gen.pick(3) == 0 ? " unknownword" : "");
        const std::vector<float> vec = gen.vector();
        const size_t k = 1 + gen.pick(12);
        const float alphas[] = {0.25f, 0.5f, 0.8f};
        const float alpha = alphas[gen.pick(3)];
        const std::string what = "seed " + std::to_string(seed) + " step " + std::to_string(step) +
                                 " query '" + text + "'";

        SearchRequest keyword{text, std::nullopt, k, 0.5f, nullptr, 100};
        const auto keyword_hits = must_search(collection, keyword);
        expect_same(keyword_hits, index.query(text, k, vec, 0.0f).value().docs, what + " keyword");
        SearchRequest keyword_by_alpha{text, vec, k, 0.0f, nullptr, 100};
        expect_same(must_search(collection, keyword_by_alpha),
                    index.query(text, k, vec, 0.0f).value().docs, what + " alpha 0");

        SearchRequest dense{std::nullopt, vec, k, 0.5f, nullptr, 100};
        const auto dense_hits = must_search(collection, dense);
        expect_same(dense_hits, index.query(text, k, vec, 1.0f).value().docs, what + " dense");

        SearchRequest fused{text, vec, k, alpha, nullptr, k};
        const auto fused_hits = must_search(collection, fused);
        expect_same(fused_hits, index.query(text, k, vec, alpha).value().docs, what + " fused");

        for (size_t r = 0; r < keyword_hits.size(); ++r) {
          auto e = collection.explain(keyword_hits[r].id,
                                      SearchRequest{text, std::nullopt, 1, 0.5f, nullptr, k});
          ASSERT_TRUE(e.ok() && e.value().keyword.has_value());
          EXPECT_EQ(bits(e.value().keyword->score), bits(keyword_hits[r].score)) << what;
          EXPECT_EQ(e.value().keyword->rank, r + 1) << what;
        }
        for (size_t r = 0; r < dense_hits.size(); ++r) {
          auto e = collection.explain(dense_hits[r].id,
                                      SearchRequest{std::nullopt, vec, 1, 0.5f, nullptr, k});
          ASSERT_TRUE(e.ok() && e.value().dense.has_value());
          EXPECT_EQ(bits(e.value().dense->score), bits(dense_hits[r].score)) << what;
          EXPECT_EQ(e.value().dense->rank, r + 1) << what;
        }
        for (const CollectionHit& hit : fused_hits) {
          auto e = collection.explain(hit.id, fused);
          ASSERT_TRUE(e.ok() && e.value().fused.has_value());
          EXPECT_EQ(bits(*e.value().fused), bits(hit.score)) << what;
          EXPECT_EQ(e.value().keyword->rank, hit.keyword_rank) << what;
        }
      }
    }
  }
}

// A filtered search returns the exact top k among the matching documents:
// the unfiltered ranking of every candidate, cut down to the matches. BM25
// statistics stay those of the whole collection, so scores agree too.
TEST(Collection, FilteredSearchIsTopKOfMatches) {
  for (uint32_t seed = 1; seed <= 8; ++seed) {
    Corpus gen(seed);
    Collection collection(kDim, bm25::Language::English);
    std::vector<CollectionDocument> docs;
    std::vector<std::vector<float>> rows;
    for (int i = 0; i < 150; ++i) {
      TypedMetadata md;
      if (gen.pick(5) != 0) md.emplace_back("n", int64_t(gen.pick(10)));
      md.emplace_back("tag", std::string(gen.pick(2) == 0 ? "x" : "y"));
      docs.push_back(CollectionDocument{"d" + std::to_string(i), gen.text(10), md});
      rows.push_back(gen.vector());
    }
    ASSERT_TRUE(collection.add(std::move(docs), flatten(rows), true).ok());
    std::vector<std::string> gone;
    for (int n = 0; n < 30; ++n) gone.push_back(gen.id(150));
    collection.remove(gone);

    for (int q = 0; q < 30; ++q) {
      const double bound = static_cast<double>(gen.pick(10)) - 0.5;
      Filter filter = Filter::any_of({});
      std::function<bool(const TypedMetadata&)> holds;
      if (gen.pick(2) == 0) {
        filter = Filter::compare("n", Filter::Op::kGte, bound);
        holds = [bound](const TypedMetadata& md) {
          for (const auto& [k, v] : md) {
            if (k == "n") return static_cast<double>(std::get<int64_t>(v)) >= bound;
          }
          return false;
        };
      } else {
        std::vector<Filter> both;
        both.push_back(Filter::compare("tag", Filter::Op::kEq, std::string("x")));
        both.push_back(Filter::compare("n", Filter::Op::kNe, int64_t(3)));
        filter = Filter::all_of(std::move(both));
        holds = [](const TypedMetadata& md) {
          bool x = false;
          bool three = false;
          for (const auto& [k, v] : md) {
            if (k == "tag") x = std::get<std::string>(v) == "x";
            if (k == "n") three = std::get<int64_t>(v) == 3;
          }
          return x && !three;
        };
      }
      const std::string text = gen.text(3);
      const std::vector<float> vec = gen.vector();
      const size_t k = 1 + gen.pick(10);
      for (int side = 0; side < 2; ++side) {
        SearchRequest all{std::nullopt, std::nullopt, 1000, 0.5f, nullptr, 100};
        if (side == 0) all.text = text;
        if (side == 1) all.vector = vec;
        std::vector<CollectionHit> want;
        for (CollectionHit& hit : must_search(collection, all)) {
          if (want.size() < k && holds(hit.metadata)) want.push_back(std::move(hit));
        }
        SearchRequest filtered = all;
        filtered.k = k;
        filtered.filter = &filter;
        const auto got = must_search(collection, filtered);
        ASSERT_EQ(got.size(), want.size()) << "seed " << seed << " side " << side;
        for (size_t i = 0; i < got.size(); ++i) {
          EXPECT_EQ(got[i].id, want[i].id);
          EXPECT_EQ(bits(got[i].score), bits(want[i].score));
        }
      }
      SearchRequest fused{text, vec, k, 0.5f, &filter, 20};
      for (const CollectionHit& hit : must_search(collection, fused)) {
        EXPECT_TRUE(holds(hit.metadata));
      }
    }
  }
}

// search_batch answers exactly what search() answers query by query, also
// with a pool, a filter and queries missing one side.
TEST(Collection, BatchEqualsSingleSearches) {
  auto pool = ThreadPool::create(2);
  ASSERT_TRUE(pool.ok());
  Corpus gen(5);
  Collection collection(kDim, bm25::Language::English, pool.value().get());
  std::vector<CollectionDocument> docs;
  std::vector<std::vector<float>> rows;
  for (int i = 0; i < 300; ++i) {
    TypedMetadata md = {{"n", int64_t(i % 7)}};
    docs.push_back(CollectionDocument{"d" + std::to_string(i), gen.text(10), md});
    rows.push_back(gen.vector());
  }
  ASSERT_TRUE(collection.add(std::move(docs), flatten(rows), true).ok());
  const Filter filter = Filter::compare("n", Filter::Op::kLt, int64_t(4));
  for (int round = 0; round < 12; ++round) {
    const size_t count = 1 + gen.pick(11);
    std::vector<std::string> texts;
    std::vector<std::vector<float>> vectors;
    for (size_t q = 0; q < count; ++q) {
      texts.push_back(gen.text(4));
      vectors.push_back(gen.vector());
    }
    const bool with_text = round % 3 != 1;
    const bool with_vector = round % 3 != 2;
    SearchRequest shared{
        std::nullopt,    std::nullopt, 1 + gen.pick(10), 0.3f, round % 2 == 0 ? &filter : nullptr,
        1 + gen.pick(30)};
    const std::vector<float> flat = flatten(vectors);
    auto batch = collection.search_batch(
        with_text ? std::span<const std::string>(texts) : std::span<const std::string>(),
        with_vector ? std::span<const float>(flat) : std::span<const float>(), count, shared);
    ASSERT_TRUE(batch.ok()) << batch.status().message();
    ASSERT_EQ(batch.value().size(), count);
    for (size_t q = 0; q < count; ++q) {
      SearchRequest one = shared;
      if (with_text) one.text = texts[q];
      if (with_vector) one.vector = vectors[q];
      const auto want = must_search(collection, one);
      const auto& got = batch.value()[q];
      ASSERT_EQ(got.size(), want.size());
      for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].id, want[i].id);
        EXPECT_EQ(bits(got[i].score), bits(want[i].score));
        EXPECT_EQ(got[i].keyword_rank, want[i].keyword_rank);
        EXPECT_EQ(got[i].dense_rank, want[i].dense_rank);
      }
    }
  }
}

// Documents without embeddings are found by keyword only; an upsert without
// an embedding takes the document out of dense search; rejected input changes
// nothing.
TEST(Collection, MissingEmbeddingsAndRejectedInput) {
  Collection c(2, bm25::Language::English);
  std::vector<float> one = {1.0f, 0.0f};
  ASSERT_TRUE(c.add({{"a", "red apple", {}}}, one, true).ok());
  ASSERT_TRUE(c.add({{"b", "green apple", {{"kind", std::string("fruit")}}}}, {}, true).ok());
  const std::vector<float> q = {1.0f, 1.0f};
  SearchRequest dense{std::nullopt, q, 10, 0.5f, nullptr, 100};
  auto hits = must_search(c, dense);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].id, "a");
  EXPECT_EQ(must_search(c, SearchRequest{"apple", std::nullopt, 10, 0.5f, nullptr, 100}).size(),
            2u);

  ASSERT_TRUE(c.add({{"a", "red apple", {}}}, {}, true).ok());
  EXPECT_TRUE(must_search(c, dense).empty());

  const std::vector<float> nan = {std::numeric_limits<float>::quiet_NaN(), 0.0f};
  EXPECT_TRUE(c.add({{"z", "x", {}}}, nan, true).status().IsInvalidArgument());
  EXPECT_TRUE(c.add({{"z", "x", {}}}, one, true).ok());
  EXPECT_TRUE(c.add({{"y", "x", {}}, {"w", "x", {}}}, one, true).status().IsInvalidArgument());
  EXPECT_TRUE(c.add({{"y", "x", {{"k", int64_t(1)}, {"k", int64_t(2)}}}}, {}, true)
                  .status()
                  .IsInvalidArgument());
  EXPECT_EQ(c.size(), 3u);
  EXPECT_FALSE(c.contains("y"));
  EXPECT_TRUE(
      c.search(SearchRequest{"x", std::nullopt, 1, 1.5f, nullptr, 1}).status().IsInvalidArgument());
  EXPECT_TRUE(c.search(SearchRequest{}).status().IsInvalidArgument());
  EXPECT_TRUE(c.explain("nope", SearchRequest{"x", std::nullopt, 1, 0.5f, nullptr, 1})
                  .status()
                  .IsInvalidArgument());
  EXPECT_TRUE(Collection::parse_language("klingon").status().IsInvalidArgument());
  EXPECT_EQ(Collection::parse_language("french").value(), bm25::Language::French);

  const std::string ids[] = {"b", "nope"};
  auto got = c.get(ids);
  ASSERT_TRUE(got[0].has_value());
  ASSERT_EQ(got[0]->metadata.size(), 1u);
  EXPECT_EQ(std::get<std::string>(got[0]->metadata[0].second), "fruit");
  EXPECT_FALSE(got[1].has_value());
}

// Readers search while a writer adds and deletes; every answer is one that
// some state of the collection gives (here: well formed and sorted).
TEST(Collection, ConcurrentReadersAndWriter) {
  Collection c(kDim, bm25::Language::English);
  std::atomic<bool> done{false};
  std::vector<std::thread> readers;
  std::atomic<int> bad{0};
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&, t] {
      Corpus gen(100 + t);
      while (!done.load()) {
        const std::vector<float> vec = gen.vector();
        auto hits = c.search(SearchRequest{gen.text(3), vec, 5, 0.5f, nullptr, 10});
        if (!hits.ok()) ++bad;
        for (size_t i = 1; hits.ok() && i < hits.value().size(); ++i) {
          if (hits.value()[i].score > hits.value()[i - 1].score) ++bad;
        }
      }
    });
  }
  Corpus gen(7);
  for (int step = 0; step < 200; ++step) {
    std::vector<CollectionDocument> docs;
    std::vector<std::vector<float>> rows;
    for (int n = 0; n < 5; ++n) {
      docs.push_back(CollectionDocument{gen.id(80), gen.text(8), {}});
      rows.push_back(gen.vector());
    }
    ASSERT_TRUE(c.add(std::move(docs), flatten(rows), true).ok());
    const std::string gone[] = {gen.id(80), gen.id(80)};
    c.remove(gone);
  }
  done.store(true);
  for (auto& t : readers) t.join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
}  // namespace vesk
