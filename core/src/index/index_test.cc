#include "index/index.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <regex>
#include <thread>

#include "utils/unicode_space.h"

namespace vesk {
namespace {

DocumentInfo Doc(std::string id, std::string text = "", std::optional<Metadata> md = std::nullopt) {
  return DocumentInfo{std::move(id), std::move(text), std::move(md)};
}

EmbeddingBatch Batch(std::vector<std::vector<float>> rows) {
  EmbeddingBatch batch;
  for (const auto& r : rows) batch.append(r);
  return batch;
}

std::vector<std::string> Ids(const Index& index) {
  std::vector<std::string> ids;
  for (const auto& d : index.get_documents(nullptr)) ids.push_back(d.id);
  return ids;
}

std::vector<std::string> Ids(const std::vector<QueryResultDocumentInfo>& docs) {
  std::vector<std::string> ids;
  for (const auto& d : docs) ids.push_back(d.id);
  return ids;
}

AddCounts Add(Index& index, std::vector<DocumentInfo> docs, std::vector<std::vector<float>> emb,
              std::optional<bool> upsert = std::nullopt) {
  EmbeddingBatch batch = Batch(std::move(emb));
  AddDocumentsOptions options{upsert};
  auto r = index.add_documents(std::move(docs), batch, upsert ? &options : nullptr);
  EXPECT_TRUE(r.ok()) << r.status().message();
  return r.ok() ? r.value() : AddCounts{};
}

TEST(IndexStore, CreationAndInfo) {
  Index index("books", VeskModel::MediumLm);
  IndexInfo info = index.get_info();
  EXPECT_EQ(info.id, "books");
  EXPECT_EQ(info.name, "books");
  EXPECT_EQ(info.version, "0.2.3");
  EXPECT_EQ(info.status, IndexStatus::Ready);
  EXPECT_EQ(index_status_text(info.status), "Ready");
  EXPECT_EQ(info.doc_count, 0u);
  EXPECT_EQ(info.model.id, "vesk-mediumlm");
  EXPECT_EQ(info.model.version, "0.2.3");
  EXPECT_EQ(info.created_at, info.updated_at);
  EXPECT_TRUE(std::regex_match(info.created_at, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
  EXPECT_EQ(index.serialize().dimension, 1024u);
  EXPECT_FALSE(vesk_model_from_id("VESK-MINILM").has_value());
  EXPECT_FALSE(vesk_model_from_id(" vesk-minilm").has_value());
}

TEST(IndexStore, AddUpsertSkip) {
  Index index("i", VeskModel::MiniLm);
  AddCounts c = Add(index, {Doc("A", "a"), Doc("B", "b")}, {{1}, {2}});
  EXPECT_EQ(c.added, 2u);
  EXPECT_EQ(c.updated, 0u);

  c = Add(index, {Doc("A", "a2", Metadata{{"k", "v"}})}, {{3}});
  EXPECT_EQ(c.added, 0u);
  EXPECT_EQ(c.updated, 1u);
  EXPECT_EQ(Ids(index), (std::vector<std::string>{"A", "B"}));  // A keeps position 0
  EXPECT_EQ(index.get_documents(nullptr)[0].text, "a2");
  EXPECT_EQ(index.serialize().embeddings[0], std::vector<float>{3});

  // Upsert replaces metadata even by its absence.
  Add(index, {Doc("A", "a3")}, {{4}});
  EXPECT_FALSE(index.get_documents(nullptr)[0].metadata.has_value());

  c = Add(index, {Doc("B", "ignored")}, {{9}}, false);
  EXPECT_EQ(c.added + c.updated, 0u);
  EXPECT_EQ(index.get_documents(nullptr)[1].text, "b");
}

TEST(IndexStore, RepeatedIdWithinOneBatch) {
  Index upserting("i", VeskModel::MiniLm);
  AddCounts c = Add(upserting, {Doc("A", "first"), Doc("A", "second")}, {{1}, {2}});
  EXPECT_EQ(c.added, 1u);
  EXPECT_EQ(c.updated, 1u);
  ASSERT_EQ(upserting.doc_count(), 1u);
  EXPECT_EQ(upserting.get_documents(nullptr)[0].text, "second");

  Index skipping("i", VeskModel::MiniLm);
  c = Add(skipping, {Doc("A", "first"), Doc("A", "second")}, {{1}, {2}}, false);
  EXPECT_EQ(c.added, 1u);
  EXPECT_EQ(c.updated, 0u);
  EXPECT_EQ(skipping.get_documents(nullptr)[0].text, "first");
}

TEST(IndexStore, ErrorsLeaveIndexUnchanged) {
  Index index("i", VeskModel::MiniLm);
  Add(index, {Doc("A", "a")}, {{1}});
  const IndexInfo before = index.get_info();

  EmbeddingBatch one = Batch({{1}});
  auto r = index.add_documents({Doc("X"), Doc("Y")}, one, nullptr);
  EXPECT_TRUE(r.status().IsInvalidArgument());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.status().message(), "Length of embeddings must match length of docs");
  EXPECT_EQ(Ids(index), std::vector<std::string>{"A"});
  EXPECT_EQ(index.get_info().updated_at, before.updated_at);

  // An empty batch with an empty embedding list is accepted.
  EmbeddingBatch none;
  r = index.add_documents({}, none, nullptr);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().added + r.value().updated, 0u);
}

TEST(IndexStore, DeleteAndGet) {
  Index index("i", VeskModel::MiniLm);
  Add(index, {Doc("a"), Doc("b"), Doc("x"), Doc("c")}, {{1}, {2}, {3}, {4}});
  std::vector<std::string> del = {"x", "x", "y"};
  EXPECT_EQ(index.delete_documents(del), 1u);
  EXPECT_EQ(Ids(index), (std::vector<std::string>{"a", "b", "c"}));
  auto ser = index.serialize();
  EXPECT_EQ(ser.embeddings, (std::vector<std::vector<float>>{{1}, {2}, {4}}));
  std::vector<std::string> unknown = {"nope"};
  EXPECT_EQ(index.delete_documents(unknown), 0u);

  GetDocumentsOptions opts{std::vector<std::string>{"c", "a", "c", "zzz"}};
  std::vector<std::string> got;
  for (const auto& d : index.get_documents(&opts)) got.push_back(d.id);
  EXPECT_EQ(got, (std::vector<std::string>{"a", "c"}));  // storage order, once each
  GetDocumentsOptions empty{std::vector<std::string>{}};
  EXPECT_TRUE(index.get_documents(&empty).empty());

  // After a delete, the id index still finds the moved documents.
  EXPECT_EQ(Add(index, {Doc("c", "new")}, {{7}}).updated, 1u);
  EXPECT_EQ(index.get_documents(nullptr)[2].text, "new");
}

TEST(IndexStore, RepeatedIdsAfterLoading) {
  Index index("i", VeskModel::MiniLm);
  SerializedIndex data{"n", "1", {"vesk-minilm", "0.2.3"}, 1, {{1}, {2}, {3}}, {"d", "e", "d"}};
  ASSERT_TRUE(index.deserialize(data).ok());
  // An upsert replaces the first match only.
  EXPECT_EQ(Add(index, {Doc("d", "text")}, {{9}}).updated, 1u);
  auto docs = index.get_documents(nullptr);
  EXPECT_EQ(docs[0].text, "text");
  EXPECT_EQ(docs[2].text, "");
  // Deleting removes and counts every match.
  std::vector<std::string> del = {"d"};
  EXPECT_EQ(index.delete_documents(del), 2u);
  EXPECT_EQ(Ids(index), std::vector<std::string>{"e"});
}

TEST(IndexStore, ClearAndTimestamps) {
  Index index("i", VeskModel::MiniLm);
  Add(index, {Doc("a", "apple")}, {{1}});
  const std::string created = index.get_info().created_at;
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));

  std::vector<std::string> unknown = {"zzz"};
  const std::string before = index.get_info().updated_at;
  index.delete_documents(unknown);
  EXPECT_EQ(index.get_info().updated_at, before);  // nothing removed, nothing changed

  Add(index, {Doc("a", "skip")}, {{1}}, false);  // all skipped, still refreshes
  EXPECT_NE(index.get_info().updated_at, before);

  index.clear();
  EXPECT_EQ(index.doc_count(), 0u);
  EXPECT_EQ(index.get_info().created_at, created);
  auto r = index.query("apple", 5, {}, std::nanf(""));
  ASSERT_TRUE(r.ok());  // empty index answers whatever alpha is
  EXPECT_TRUE(r.value().docs.empty());
  EXPECT_EQ(r.value().index_name, "i");
  EXPECT_TRUE(r.value().time_taken_ms.has_value());
}

TEST(IndexQuery, Paths) {
  Index index("i", VeskModel::MiniLm);
  Add(index,
      {Doc("red", "a red apple"), Doc("green", "green grass", Metadata{{"color", "red"}}),
       Doc("blank", "   "), Doc("blue", "blue sky")},
      {{1, 0}, {0, 1}, {0.5f, 0.5f}, {0.9f, 0.1f}});
  std::vector<float> q = {1, 0};

  auto dense = index.query("red", 10, q, 1.5f);  // beyond 1 behaves as 1
  ASSERT_TRUE(dense.ok());
  EXPECT_EQ(Ids(dense.value().docs), (std::vector<std::string>{"red", "blue", "blank", "green"}));
  EXPECT_EQ(dense.value().docs[0].score, 1.0f);

  auto keyword = index.query("red", 10, {}, -0.5f);  // below 0 behaves as 0
  ASSERT_TRUE(keyword.ok());
  auto kw_ids = Ids(keyword.value().docs);
  std::sort(kw_ids.begin(), kw_ids.end());
  EXPECT_EQ(kw_ids, (std::vector<std::string>{"green", "red"}));  // metadata is searchable

  auto fused = index.query("red", 2, q, 0.8f);
  ASSERT_TRUE(fused.ok());
  ASSERT_EQ(fused.value().docs.size(), 2u);
  EXPECT_EQ(fused.value().docs[0].id, "red");  // first in both lists

  auto blank = index.query("   ", 10, {}, 0.0f);
  ASSERT_TRUE(blank.ok());
  EXPECT_TRUE(blank.value().docs.empty());
  EXPECT_EQ(blank.value().query, "   ");

  auto none = index.query("red", 0, q, 0.5f);
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none.value().docs.empty());

  std::vector<float> wrong = {1, 2, 3};
  auto mismatch = index.query("red", 3, wrong, 0.8f);
  ASSERT_FALSE(mismatch.ok());
  EXPECT_TRUE(mismatch.status().IsInternal());
  EXPECT_EQ(mismatch.status().message(), "Vector length mismatch: len(a)=3 != len(b)=2");

  auto nan_alpha = index.query("red", 3, q, std::nanf(""));
  ASSERT_FALSE(nan_alpha.ok());
  EXPECT_TRUE(nan_alpha.status().IsInternal());
  EXPECT_EQ(nan_alpha.status().message(), "alpha must be between 0.0 and 1.0, got: NaN");
}

TEST(IndexQuery, KeywordIndexFollowsChanges) {
  Index index("i", VeskModel::MiniLm);
  Add(index, {Doc("a", "apples"), Doc("b", "bananas")}, {{1}, {2}});
  std::vector<std::string> del = {"a", "b"};
  index.delete_documents(del);
  Add(index, {Doc("c", "cherries and apples")}, {{3}});
  auto r = index.query("apple", 5, {}, 0.0f);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(Ids(r.value().docs), std::vector<std::string>{"c"});
  EXPECT_EQ(r.value().docs[0].text, "cherries and apples");
}

TEST(IndexPersistence, RoundTripAndChecks) {
  Index source("src", VeskModel::MediumLm);
  Add(source, {Doc("a", "alpha text"), Doc("b", "beta")}, {{0.5f, -1}, {2, 3}});
  SerializedIndex data = source.serialize();
  EXPECT_EQ(data.model.id, "vesk-mediumlm");
  EXPECT_EQ(data.doc_ids, (std::vector<std::string>{"a", "b"}));

  Index target("dst", VeskModel::MiniLm);
  const std::string created = target.get_info().created_at;
  ASSERT_TRUE(target.deserialize(data).ok());
  IndexInfo info = target.get_info();
  EXPECT_EQ(info.name, "src");
  EXPECT_EQ(info.model.id, "vesk-mediumlm");
  EXPECT_EQ(info.created_at, created);
  EXPECT_EQ(target.serialize().dimension, 1024u);
  EXPECT_EQ(target.serialize().embeddings, data.embeddings);
  for (const auto& d : target.get_documents(nullptr)) {
    EXPECT_EQ(d.text, "");
    ASSERT_TRUE(d.metadata.has_value());
    EXPECT_TRUE(d.metadata->empty());
  }
  // Loaded documents have no searchable text; their embeddings still work.
  auto kw = target.query("alpha", 5, {}, 0.0f);
  ASSERT_TRUE(kw.ok());
  EXPECT_TRUE(kw.value().docs.empty());
  std::vector<float> q = {1, 1};
  auto dense = target.query("x", 5, q, 1.0f);
  ASSERT_TRUE(dense.ok());
  EXPECT_EQ(Ids(dense.value().docs), (std::vector<std::string>{"b", "a"}));

  // Dimension 0 keeps the current dimension; a blank version keeps the version.
  SerializedIndex zero{"z", "  ", {"vesk-minilm", "x"}, 0, {}, {}};
  ASSERT_TRUE(target.deserialize(zero).ok());
  EXPECT_EQ(target.serialize().dimension, 1024u);
  EXPECT_EQ(target.get_info().version, "0.2.3");

  SerializedIndex blank{"   ", "1", {"vesk-minilm", "x"}, 0, {}, {}};
  EXPECT_EQ(target.deserialize(blank).message(),
            "Invalid serialized index: missing or invalid name");
  SerializedIndex lengths{"n", "1", {"vesk-minilm", "x"}, 0, {{1}, {2}}, {"a", "b", "c"}};
  EXPECT_EQ(target.deserialize(lengths).message(),
            "Invalid serialized index: embeddings array length must match docIds array length");
  EXPECT_EQ(target.get_info().name, "z");

  SerializedIndex unknown{" n ", "7", {"other-model", "x"}, 5, {}, {"q"}};
  EXPECT_EQ(target.deserialize(unknown).message(), "Unknown model id: other-model");
  EXPECT_EQ(target.get_info().name, " n ");  // name and version already replaced
  EXPECT_EQ(target.get_info().version, "7");
  EXPECT_EQ(target.get_info().model.id, "vesk-minilm");
  EXPECT_EQ(target.doc_count(), 0u);
}

TEST(IndexPersistence, IdsWithoutEmbeddingsStayAligned) {
  Index index("i", VeskModel::MiniLm);
  SerializedIndex data{"n", "1", {"vesk-minilm", "x"}, 0, {}, {"a", "b", "c"}};
  ASSERT_TRUE(index.deserialize(data).ok());
  std::vector<float> q = {1, 0};
  // No embedding anywhere: the semantic side is skipped without error.
  auto r = index.query("x", 5, q, 1.0f);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r.value().docs.empty());
  EXPECT_TRUE(index.serialize().embeddings.empty());

  // New and upserted documents bring embeddings at their own positions.
  Add(index, {Doc("d", "dog"), Doc("b", "bee")}, {{1, 0}, {0, 1}});
  r = index.query("x", 5, q, 1.0f);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(Ids(r.value().docs), (std::vector<std::string>{"d", "b"}));
  EXPECT_EQ(r.value().docs[0].text, "dog");

  std::vector<std::string> del = {"a"};
  index.delete_documents(del);
  auto ser = index.serialize();
  EXPECT_EQ(ser.doc_ids, (std::vector<std::string>{"b", "c", "d"}));
  EXPECT_EQ(ser.embeddings, (std::vector<std::vector<float>>{{0, 1}, {}, {1, 0}}));

  Add(index, {Doc("c", "cat")}, {{0.5f, 0.5f}});
  r = index.query("x", 5, q, 1.0f);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(Ids(r.value().docs), (std::vector<std::string>{"d", "c", "b"}));
}

TEST(UnicodeSpace, Trim) {
  EXPECT_EQ(trim_white_space(" \t\n a b \r"), "a b");
  EXPECT_EQ(trim_white_space("\u00a0\u3000x\u2029\u0085"), "x");
  EXPECT_EQ(trim_white_space("\u200bx"), "\u200bx");  // zero width space is not White_Space
  EXPECT_EQ(trim_white_space("   "), "");
  EXPECT_EQ(trim_white_space("\xff "), "\xff");
  EXPECT_EQ(trim_white_space("\xc0\xa0x"), "\xc0\xa0x");  // overlong space is not a space
}

}  // namespace
}  // namespace vesk
