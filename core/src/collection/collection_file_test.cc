#include "collection/collection_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace vesk {
namespace {

constexpr size_t kDim = 5;

std::string temp_path(const char* name) {
  return "/tmp/collection_file_test." + std::to_string(::getpid()) + "." + name;
}

// A collection with some deleted slots and some documents without embeddings.
std::unique_ptr<Collection> sample(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  const char* words[] = {"river", "stone", "the", "bridge", "copper", "meadow"};
  auto col = std::make_unique<Collection>(kDim, bm25::Language::English);
  std::vector<CollectionDocument> with;
  std::vector<float> values;
  std::vector<CollectionDocument> without;
  for (size_t i = 0; i < n; ++i) {
    CollectionDocument doc;
    doc.id = "d" + std::to_string(i);
    for (size_t w = rng() % 6; w > 0; --w) doc.text += std::string(words[rng() % 6]) + " ";
    if (rng() % 2) doc.metadata.emplace_back("n", static_cast<int64_t>(rng() % 7));
    if (rng() % 3 == 0) {
      without.push_back(std::move(doc));
      continue;
    }
    for (size_t d = 0; d < kDim; ++d) values.push_back(static_cast<float>(rng() % 9) - 4.0f);
    with.push_back(std::move(doc));
  }
  EXPECT_TRUE(col->add(std::move(with), values, true).ok());
  EXPECT_TRUE(col->add(std::move(without), {}, true).ok());
  std::vector<std::string> gone;
  for (size_t i = 0; i < n; i += 5) gone.push_back("d" + std::to_string(i));
  col->remove(gone);
  return col;
}

std::vector<std::string> answer(const Collection& col) {
  std::vector<std::string> out;
  const std::vector<float> v = {1.0f, -0.5f, 0.25f, 2.0f, 0.0f};
  for (int side = 0; side < 3; ++side) {
    SearchRequest request;
    if (side != 1) request.text = std::string_view("river bridge stone");
    if (side != 0) request.vector = std::span<const float>(v);
    request.k = 8;
    auto hits = col.search(request);
    EXPECT_TRUE(hits.ok());
    for (const CollectionHit& hit : hits.value()) {
      uint32_t bits;
      std::memcpy(&bits, &hit.score, 4);
      out.push_back(hit.id + ":" + std::to_string(bits));
    }
  }
  return out;
}

bool same(const CollectionFile::Contents& a, const CollectionFile::Contents& b) {
  return a.ids == b.ids && a.texts == b.texts && a.metadata == b.metadata &&
         a.embedded == b.embedded && a.embeddings.size() == b.embeddings.size() &&
         (a.embeddings.empty() ||
          std::memcmp(a.embeddings.data(), b.embeddings.data(), a.embeddings.size() * 4) == 0);
}

TEST(CollectionFileTest, MappedCollectionAnswersAsSavedAndCopiesBeforeChanging) {
  for (size_t n : {0, 1, 16, 17, 200}) {
    auto col = sample(n, static_cast<uint32_t>(n));
    const std::string path = temp_path("map");
    ASSERT_TRUE(CollectionFile::save(*col, path).ok());
    for (bool map : {true, false}) {
      CollectionFile::LoadOptions options;
      options.map = map;
      auto loaded = CollectionFile::load(path, options, nullptr);
      ASSERT_TRUE(loaded.ok()) << loaded.status().message();
      Collection& back = *loaded.value();
      EXPECT_TRUE(same(CollectionFile::contents(*col), CollectionFile::contents(back)));
      EXPECT_EQ(answer(*col), answer(back));
      EXPECT_EQ(back.embeddings_borrowed_for_test(), map && col->size() > 0);
      // The same changes on both: the loaded one stops borrowing first.
      for (Collection* c : {col.get(), &back}) {
        std::vector<CollectionDocument> docs(1);
        docs[0].id = "d3";
        docs[0].text = "copper river";
        const std::vector<float> v(kDim, 0.5f);
        ASSERT_TRUE(c->add(std::move(docs), v, true).ok());
      }
      EXPECT_FALSE(back.embeddings_borrowed_for_test());
      EXPECT_TRUE(same(CollectionFile::contents(*col), CollectionFile::contents(back)));
      EXPECT_EQ(answer(*col), answer(back));
      col = sample(n, static_cast<uint32_t>(n));
    }
    std::remove(path.c_str());
  }
}

std::string read_file(const std::string& path) {
  std::string bytes;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return bytes;
  char buffer[4096];
  for (size_t got; (got = std::fread(buffer, 1, sizeof(buffer), f)) > 0;) bytes.append(buffer, got);
  std::fclose(f);
  return bytes;
}

TEST(CollectionFileTest, EveryChangedByteIsAFormatError) {
  auto col = sample(40, 9);
  for (const std::string embedder : {"", "minilm"}) {
    const std::string path = temp_path("bytes");
    CollectionFile::SaveOptions save_options;
    save_options.embedder = embedder;
    ASSERT_TRUE(CollectionFile::save(*col, path, save_options).ok());
    const std::string bytes = read_file(path);
    std::remove(path.c_str());
    ASSERT_TRUE(CollectionFile::load_bytes(bytes, true, nullptr).ok());
    for (size_t i = 0; i < bytes.size(); ++i) {
      std::string bad = bytes;
      bad[i] = static_cast<char>(bad[i] ^ 0x20);
      CollectionFile::ErrorKind kind = CollectionFile::ErrorKind::kNone;
      auto loaded = CollectionFile::load_bytes(bad, true, nullptr, &kind);
      ASSERT_FALSE(loaded.ok()) << "byte " << i;
      EXPECT_EQ(kind, CollectionFile::ErrorKind::kFormat);
    }
    for (size_t cut = 0; cut < bytes.size(); cut += 7) {
      CollectionFile::ErrorKind kind = CollectionFile::ErrorKind::kNone;
      EXPECT_FALSE(CollectionFile::load_bytes(bytes.substr(0, cut), true, nullptr, &kind).ok());
      EXPECT_EQ(kind, CollectionFile::ErrorKind::kFormat);
    }
  }
}

// The embedder name comes back from both readers; a file saved without one
// is the file saved before names existed, and the name changes nothing else.
TEST(CollectionFileTest, EmbedderNameIsKeptApartFromTheCollection) {
  auto col = sample(20, 5);
  const std::string plain_path = temp_path("plain");
  const std::string named_path = temp_path("named");
  CollectionFile::SaveOptions named;
  named.embedder = "minilm";
  ASSERT_TRUE(CollectionFile::save(*col, plain_path, CollectionFile::SaveOptions{}).ok());
  ASSERT_TRUE(CollectionFile::save(*col, named_path, named).ok());
  const std::string plain_bytes = read_file(plain_path);
  const std::string default_path = temp_path("default");
  ASSERT_TRUE(CollectionFile::save(*col, default_path).ok());
  EXPECT_EQ(plain_bytes, read_file(default_path));
  std::remove(default_path.c_str());

  for (const auto& [path, name] :
       {std::pair{plain_path, std::string()}, std::pair{named_path, std::string("minilm")}}) {
    for (bool verify : {true, false}) {
      std::string got = "stale";
      CollectionFile::LoadOptions options;
      options.verify = verify;
      auto loaded = CollectionFile::load(path, options, nullptr, nullptr, &got);
      ASSERT_TRUE(loaded.ok()) << loaded.status().message();
      EXPECT_EQ(got, name);
      EXPECT_TRUE(same(CollectionFile::contents(*col), CollectionFile::contents(*loaded.value())));
      EXPECT_EQ(answer(*col), answer(*loaded.value()));
      got = "stale";
      ASSERT_TRUE(CollectionFile::load_bytes(read_file(path), verify, nullptr, nullptr, &got).ok());
      EXPECT_EQ(got, name);
    }
  }
  std::remove(plain_path.c_str());
  std::remove(named_path.c_str());

  CollectionFile::SaveOptions too_long;
  too_long.embedder = std::string(CollectionFile::kMaxEmbedderName + 1, 'x');
  CollectionFile::ErrorKind kind = CollectionFile::ErrorKind::kNone;
  EXPECT_FALSE(CollectionFile::save(*col, temp_path("long"), too_long, &kind).ok());
  EXPECT_EQ(kind, CollectionFile::ErrorKind::kFormat);
  CollectionFile::SaveOptions not_text;
  not_text.embedder = "\xff";
  EXPECT_FALSE(CollectionFile::save(*col, temp_path("utf8"), not_text).ok());
}

}  // namespace
}  // namespace vesk
