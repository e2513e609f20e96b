#include "hybridsearch/keyword_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "bm25_math.h"
#include "hybridsearch/document_text.h"
#include "search.h"
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

// "plaque" stems to "plaqu", whose token hash equals that of "plain".
TEST(KeywordIndexTest, CollidingStemsMergeUnlessExactTerms) {
  const std::vector<std::string> texts = {"plaque", "plain", "plain plain", "zebra"};
  const std::vector<std::string_view> views(texts.begin(), texts.end());
  auto hashed = KeywordIndex::build(views, nullptr);
  auto exact = KeywordIndex::build(views, nullptr, KeywordIndex::Options{.exact_terms = true});
  auto slots = [](const std::vector<ScoredSlot>& results) {
    std::vector<uint32_t> out;
    for (const auto& r : results) out.push_back(r.position);
    return out;
  };
  EXPECT_EQ(slots(hashed->search("plaques", 10, nullptr)), (std::vector<uint32_t>{2, 0, 1}));
  EXPECT_EQ(slots(exact->search("plaques", 10, nullptr)), (std::vector<uint32_t>{0}));
  EXPECT_EQ(slots(exact->search("plain", 10, nullptr)), (std::vector<uint32_t>{2, 1}));
  // With exact terms "plaqu" is in one document of four (the hashed index
  // counts three), average length 5 / 4.
  const float a = bm25::average_length(5, 4);
  const float want = bm25::idf(4.0f, 1.0f) * bm25::term_weight(bm25::kK1, bm25::kB, 1.0f, 1.0f, a);
  const auto got = exact->search("plaque", 1, nullptr);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(std::bit_cast<uint32_t>(got[0].score), std::bit_cast<uint32_t>(want));
  exact->erase(1, texts[1]);
  exact->erase(2, texts[2]);
  const std::vector<size_t> dead = {1, 2};
  exact->compact(dead);
  EXPECT_TRUE(exact->search("plain", 10, nullptr).empty());
  EXPECT_EQ(slots(exact->search("plaque zebra", 10, nullptr)), (std::vector<uint32_t>{0, 1}));
}

// Drives random appends, replaces, erases and rebuilds and checks every
// answer against a BM25 engine built from scratch over the current documents
// (keys = positions, documents with empty searchable text left out): same
// documents in the same order, scores equal bit for bit.
// With `large_vocabulary` words are mostly drawn from thousands of distinct
// terms, so posting lists are created and dropped all the time. With `many`
// the index starts with a thousand documents (posting lists of many blocks,
// so small top_k prunes), now and then gains tens of thousands of blank slots
// (blocks spanning more than 65,536 slots) and documents longer than a
// thousand tokens with a term repeated hundreds of times. With `exact` the
// index keeps token strings apart (the vocabulary has no colliding pair
// then, so the reference engine still applies); otherwise the colliding
// "plaque" / "plain" merge in both.
struct PropertyParam {
  uint32_t seed;
  bool large_vocabulary;
  bool many = false;
  bool exact = false;
  bm25::Language language = bm25::Language::English;
};

// Indexes over parts of a collection, each searched with the statistics of
// all parts summed, give the whole collection's answer: per part the top k
// with the whole index's scores bit for bit; merged by score, then position,
// the whole index's top k.
TEST(KeywordIndexTest, PartsWithSummedStatisticsAnswerAsTheWhole) {
  const std::vector<std::string> words = {"red",   "green", "blue", "apple", "pear",
                                          "river", "stone", "the",  "tower", "winter"};
  for (bool exact : {false, true}) {
    std::mt19937 rng(exact ? 11 : 7);
    const KeywordIndex::Options options{bm25::Language::English, exact};
    const size_t n = 700;
    const size_t parts = 3;
    std::vector<std::string> texts(n);
    std::vector<size_t> part_of(n);
    Bitmap live(n);
    for (size_t i = 0; i < n; ++i) {
      const size_t len = rng() % 9;
      for (size_t w = 0; w < len; ++w) texts[i] += words[rng() % words.size()] + " ";
      part_of[i] = rng() % parts;
      if (rng() % 8 != 0) live.set(i);
    }
    const std::vector<std::string_view> all(texts.begin(), texts.end());
    const auto whole = KeywordIndex::build(all, &live, options);
    std::vector<std::vector<std::string_view>> part_texts(parts);
    std::vector<std::vector<uint32_t>> global(parts);  // part slot -> slot in the whole
    for (size_t i = 0; i < n; ++i) {
      part_texts[part_of[i]].push_back(texts[i]);
      global[part_of[i]].push_back(static_cast<uint32_t>(i));
    }
    std::vector<std::unique_ptr<KeywordIndex>> indexes;
    std::vector<Bitmap> part_live;
    std::vector<Bitmap> part_allowed;
    Bitmap allowed(n);
    for (size_t i = 0; i < n; ++i) {
      if (live.test(i) && i % 3 != 0) allowed.set(i);
    }
    for (size_t p = 0; p < parts; ++p) {
      part_live.emplace_back(global[p].size());
      part_allowed.emplace_back(global[p].size());
      for (size_t s = 0; s < global[p].size(); ++s) {
        if (live.test(global[p][s])) part_live[p].set(s);
        if (allowed.test(global[p][s])) part_allowed[p].set(s);
      }
      indexes.push_back(KeywordIndex::build(part_texts[p], &part_live[p], options));
    }
    for (int q = 0; q < 40; ++q) {
      std::string query;
      for (size_t w = 0; w < 1 + rng() % 5; ++w) query += words[rng() % words.size()] + " ";
      if (q % 5 == 0) query += "absent red";
      KeywordIndex::Statistics sum;
      for (size_t p = 0; p < parts; ++p) {
        const KeywordIndex::Statistics s = indexes[p]->statistics(query);
        sum.documents += s.documents;
        sum.tokens += s.tokens;
        sum.document_frequencies.resize(s.document_frequencies.size());
        for (size_t j = 0; j < s.document_frequencies.size(); ++j) {
          sum.document_frequencies[j] += s.document_frequencies[j];
        }
      }
      const KeywordIndex::Statistics own = whole->statistics(query);
      EXPECT_EQ(sum.documents, own.documents);
      EXPECT_EQ(sum.tokens, own.tokens);
      EXPECT_EQ(sum.document_frequencies, own.document_frequencies);
      for (const size_t k : {size_t{1}, size_t{5}, size_t{1000}}) {
        for (const bool filtered : {false, true}) {
          std::vector<ScoredSlot> merged;
          for (size_t p = 0; p < parts; ++p) {
            for (const ScoredSlot& hit :
                 indexes[p]->search(query, k, filtered ? &part_allowed[p] : nullptr, sum)) {
              merged.push_back(ScoredSlot{hit.score, global[p][hit.position]});
            }
          }
          std::sort(merged.begin(), merged.end(), [](const ScoredSlot& x, const ScoredSlot& y) {
            return x.score > y.score || (x.score == y.score && x.position < y.position);
          });
          if (merged.size() > k) merged.resize(k);
          const auto expected = whole->search(query, k, filtered ? &allowed : nullptr);
          ASSERT_EQ(merged.size(), expected.size()) << query;
          for (size_t r = 0; r < expected.size(); ++r) {
            EXPECT_EQ(merged[r].position, expected[r].position) << query << " rank " << r;
            EXPECT_EQ(std::bit_cast<uint32_t>(merged[r].score),
                      std::bit_cast<uint32_t>(expected[r].score))
                << query << " rank " << r;
          }
        }
      }
    }
  }
}

// Tens of thousands of documents over a skewed vocabulary, so that windows
// hold hundreds of postings per query term: searches take the pruning and
// the add-everything paths window by window (blocks spanning two windows,
// frequencies above a byte, repeated query tokens), after in-place updates
// and removals, and must equal an engine built from scratch bit for bit.
TEST(KeywordIndexTest, LargeIndexAfterUpdatesMatchesEngine) {
  std::mt19937 rng(20261208);
  std::vector<std::string> words;
  for (int i = 0; i < 60; ++i) words.push_back("w" + std::to_string(i) + "x");
  // Word i about twice as likely as word 2i: a few in most documents, many
  // rare.
  auto word = [&] { return words[std::min<size_t>(59, rng() % 60 * (rng() % 60) / 60)]; };
  auto text = [&] {
    std::string t;
    if (rng() % 500 == 0) {
      const std::string w = word();
      for (int i = 0; i < 300; ++i) t += w + " ";
    }
    for (size_t i = 0, n = 2 + rng() % 12; i < n; ++i) t += word() + " ";
    return t;
  };
  const size_t n = 30000;
  std::vector<std::optional<std::string>> texts;
  KeywordIndex index;
  for (size_t i = 0; i < n; ++i) {
    texts.push_back(text());
    index.append(*texts.back());
  }
  for (int i = 0; i < 3000; ++i) {
    const size_t slot = rng() % n;
    if (!texts[slot]) continue;
    if (i % 3 == 0) {
      index.erase(slot, *texts[slot]);
      texts[slot].reset();
    } else {
      std::string next = text();
      index.replace(slot, *texts[slot], next);
      texts[slot] = std::move(next);
    }
  }
  std::vector<bm25::Document> engine_docs;
  for (size_t i = 0; i < n; ++i) {
    if (texts[i]) engine_docs.push_back({i, *texts[i]});
  }
  const bm25::SearchEngine engine =
      bm25::SearchEngineBuilder::with_documents(bm25::Language::English, std::move(engine_docs))
          .build();
  for (int q = 0; q < 60; ++q) {
    std::string query;
    for (size_t i = 0, len = 1 + rng() % 10; i < len; ++i) query += word() + " ";
    const size_t k = q % 3 == 0 ? 100 : 10;
    const auto got = index.search(query, k, nullptr);
    const auto want = engine.search(query, k);
    ASSERT_EQ(got.size(), want.size()) << query;
    for (size_t r = 0; r < got.size(); ++r) {
      ASSERT_EQ(got[r].position, want[r].document.id) << query << " rank " << r;
      ASSERT_EQ(std::bit_cast<uint32_t>(got[r].score), std::bit_cast<uint32_t>(want[r].score))
          << query << " rank " << r;
    }
  }
}

class KeywordIndexPropertyTest : public ::testing::TestWithParam<PropertyParam> {
 protected:
  static constexpr const char* kWords[] = {
      "apple", "apples", "pie",   "red", "Red",    "green",  "dog",   "dogs",  "running",
      "run",   "the",    "of",    "and", "Café",   "cafe",   "3.14",  "!!",    "don't",
      "stop",  "blue",   "blues", "x",   "\u00A0", "\u3000", "plain", "plaque"};

  std::string random_text(int max_words) {
    const int n = std::uniform_int_distribution<int>(0, max_words)(rng_);
    std::string text;
    if (GetParam().many && coin(150)) {
      // A long document: one term far above a byte of frequency.
      const std::string word = pick();
      for (int i = 0; i < 1100; ++i) text += (i % 3 == 0 ? "filler" : word) + std::string(" ");
    }
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
    // The exact index would tell "plaque" from "plain"; the engine cannot.
    const size_t words = std::size(kWords) - (GetParam().exact ? 1 : 0);
    return kWords[std::uniform_int_distribution<size_t>(0, words - 1)(rng_)];
  }
  KeywordIndex::Options options() const {
    return KeywordIndex::Options{.language = GetParam().language, .exact_terms = GetParam().exact};
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
        bm25::SearchEngineBuilder::with_documents(GetParam().language, std::move(engine_docs))
            .build();
    for (int q = 0; q < 4; ++q) {
      const std::string query = random_text(4);
      const size_t top_k = coin(2) ? 100 : std::uniform_int_distribution<size_t>(1, 4)(rng_);
      // Now and then only some slots are allowed (a dense or a sparse
      // filter): the engine's ranking restricted to them.
      const int keep_one_in = coin(2) ? 0 : coin(2) ? 2 : 50;
      Bitmap allowed(docs.size());
      for (size_t i = 0; i < docs.size(); ++i) {
        if (keep_one_in != 0 && coin(keep_one_in)) allowed.set(i);
      }
      const auto got = index.search(query, top_k, keep_one_in != 0 ? &allowed : nullptr);
      std::vector<bm25::SearchResult> want;
      if (!trim_white_space(query).empty()) {
        for (const auto& hit : engine.search(query, keep_one_in != 0 ? docs.size() : top_k)) {
          if (keep_one_in != 0 && !allowed.test(hit.document.id)) continue;
          if (want.size() < top_k) want.push_back(hit);
        }
      }
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

  std::unique_ptr<KeywordIndex> rebuild(const Slots& docs) {
    std::vector<std::string> texts;
    Bitmap live(docs.size());
    for (size_t i = 0; i < docs.size(); ++i) {
      texts.push_back(docs[i] ? collect_document_text(*docs[i]) : std::string());
      if (docs[i]) live.set(i);
    }
    const std::vector<std::string_view> views(texts.begin(), texts.end());
    return KeywordIndex::build(views, &live, options());
  }

  std::mt19937 rng_{GetParam().seed};
  int next_id_ = 0;
  int queries_checked_ = 0;
};

TEST_P(KeywordIndexPropertyTest, MatchesEngineBuiltFromScratch) {
  Slots docs;
  for (int i = 0; i < (GetParam().many ? 1000 : 5); ++i) docs.push_back(random_doc());
  std::unique_ptr<KeywordIndex> index = rebuild(docs);
  for (int step = 0; step < 300 && !HasFatalFailure(); ++step) {
    std::vector<size_t> live;
    for (size_t i = 0; i < docs.size(); ++i)
      if (docs[i]) live.push_back(i);
    const int op = std::uniform_int_distribution<int>(0, 9)(rng_);
    if (GetParam().many && coin(60)) {
      for (int i = 0; i < 33000; ++i) {
        docs.push_back(DocumentInfo{"blank" + std::to_string(next_id_++), "", std::nullopt});
        index->append("");
      }
    } else if (op <= 4 || live.empty()) {
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

INSTANTIATE_TEST_SUITE_P(
    Seeds, KeywordIndexPropertyTest,
    ::testing::Values(PropertyParam{1, false}, PropertyParam{7, false}, PropertyParam{2024, false},
                      PropertyParam{99991, false}, PropertyParam{5, true},
                      PropertyParam{31337, true}, PropertyParam{11, false, true},
                      PropertyParam{12, true, true}, PropertyParam{13, false, true, true},
                      PropertyParam{14, false, false, true},
                      PropertyParam{15, false, false, false, bm25::Language::German}));

}  // namespace
}  // namespace vesk
