// The tokenizer's embedded data: the project's copy against the published
// one (when ../shared is present) and the published counts.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "embedded_data.h"
#include "normalize.h"
#include "stopwords.h"

namespace bm25 {
namespace {

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(EmbeddedData, MatchesTheProjectCopy) {
  const std::filesystem::path dir = VESK_PROJECT_DATA_DIR;
  ASSERT_TRUE(std::filesystem::exists(dir / "deunicode" / "pointers.bin"));
  EXPECT_EQ(data::deunicode_pointers(), read_file(dir / "deunicode" / "pointers.bin"));
  EXPECT_EQ(data::deunicode_mapping(), read_file(dir / "deunicode" / "mapping.txt"));
  for (const auto& file : data::stopword_files()) {
    EXPECT_EQ(file.text, read_file(dir / "nltk-stopwords" / std::string(file.name))) << file.name;
  }
  EXPECT_TRUE(std::filesystem::exists(dir / "deunicode" / "LICENSE"));
  EXPECT_TRUE(std::filesystem::exists(dir / "nltk-stopwords" / "README"));
  EXPECT_TRUE(std::filesystem::exists(dir / "README.md"));
}

TEST(EmbeddedData, ProjectCopyMatchesSharedData) {
  const std::filesystem::path shared = VESK_SHARED_DATA_DIR;
  const std::filesystem::path project = VESK_PROJECT_DATA_DIR;
  if (!std::filesystem::exists(shared)) GTEST_SKIP() << "no shared data folder at " << shared;
  size_t compared = 0;
  for (const char* sub : {"deunicode", "nltk-stopwords"}) {
    for (const auto& entry : std::filesystem::directory_iterator(shared / sub)) {
      const auto name = entry.path().filename();
      EXPECT_EQ(read_file(entry.path()), read_file(project / sub / name)) << sub << "/" << name;
      ++compared;
    }
  }
  EXPECT_EQ(compared, 3u + 24u);
}

TEST(EmbeddedData, DeunicodeCounts) {
  EXPECT_EQ(data::deunicode_pointers().size(), 419994u);
  size_t text = 0, empty = 0, none = 0;
  for (char32_t cp = 0; cp < detail::kDeunicodeEntries; ++cp) {
    const auto entry = detail::deunicode_entry(cp);
    if (!entry) {
      ++none;
    } else if (entry->empty()) {
      ++empty;
    } else {
      ++text;
      for (unsigned char c : *entry) ASSERT_LT(c, 0x80) << "U+" << std::hex << uint32_t(cp);
    }
  }
  EXPECT_EQ(text + empty + none, 139998u);
  EXPECT_EQ(text, 77016u);
  EXPECT_EQ(empty, 2814u);
  EXPECT_EQ(none, 60168u);
}

TEST(EmbeddedData, StopwordListCounts) {
  const std::pair<const char*, size_t> counts[] = {
      {"ar", 248}, {"az", 165},  {"da", 94},  {"de", 232}, {"el", 265}, {"en", 179},
      {"es", 313}, {"fi", 235},  {"fr", 157}, {"hu", 199}, {"id", 758}, {"it", 279},
      {"kk", 324}, {"ne", 255},  {"nl", 101}, {"no", 176}, {"pt", 204}, {"ro", 356},
      {"ru", 151}, {"sl", 1784}, {"sv", 114}, {"tg", 163}, {"tr", 53}};
  ASSERT_EQ(data::stopword_files().size(), 23u);
  for (const auto& [code, count] : counts) {
    EXPECT_EQ(detail::stopword_list(code).size(), count) << code;
  }
}

}  // namespace
}  // namespace bm25
