// Tests of the two segmentation paths: the ICU rules against the Unicode
// conformance test of UAX #29, and a few cases where ICU's default (tailored)
// word rules differ from the annex.
#include "word_break.h"

#include <gtest/gtest.h>
#include <unicode/rbbi.h>
#include <unicode/uchar.h>
#include <unicode/uversion.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace bm25::detail {
namespace {

using Segments = std::vector<std::string>;

void append_utf8(std::string* out, char32_t c) {
  if (c < 0x80) {
    *out += char(c);
  } else if (c < 0x800) {
    *out += char(0xC0 | c >> 6);
    *out += char(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += char(0xE0 | c >> 12);
    *out += char(0x80 | (c >> 6 & 0x3F));
    *out += char(0x80 | (c & 0x3F));
  } else {
    *out += char(0xF0 | c >> 18);
    *out += char(0x80 | (c >> 12 & 0x3F));
    *out += char(0x80 | (c >> 6 & 0x3F));
    *out += char(0x80 | (c & 0x3F));
  }
}

TEST(Uax29Rules, UntailoredCases) {
  EXPECT_EQ(uax29_segments("a:b"), (Segments{"a:b"}));
  EXPECT_EQ(uax29_segments("user@example.com"), (Segments{"user", "@", "example.com"}));
  EXPECT_EQ(uax29_segments("don't"), (Segments{"don't"}));
  EXPECT_EQ(uax29_segments("3.14"), (Segments{"3.14"}));
  EXPECT_EQ(uax29_segments("u.s.a"), (Segments{"u.s.a"}));
  EXPECT_EQ(uax29_segments("foo_bar"), (Segments{"foo_bar"}));
  EXPECT_EQ(uax29_segments("1,000"), (Segments{"1,000"}));
  EXPECT_EQ(uax29_segments("e-mail"), (Segments{"e", "-", "mail"}));
  EXPECT_EQ(uax29_segments("a  b\r\n"), (Segments{"a", "  ", "b", "\r\n"}));
  // No dictionary segmentation: Han and Thai characters are one segment each.
  EXPECT_EQ(uax29_segments("\u5317\u4eac"), (Segments{"\u5317", "\u4eac"}));
  EXPECT_EQ(uax29_segments("\u0e01\u0e02"), (Segments{"\u0e01", "\u0e02"}));
}

std::vector<std::string> icu_words(std::string_view text, size_t piece_bytes) {
  auto iterator = make_uax29_word_iterator();
  std::string buffer;
  std::vector<std::string> out;
  for_each_icu_word(
      text, iterator.get(), &buffer, [&](std::string_view w) { out.emplace_back(w); }, piece_bytes);
  return out;
}

TEST(Uax29Rules, LongTextsGoInPiecesAtLineFeeds) {
  std::string text;
  for (int i = 0; i < 200; ++i) {
    text += (i % 3 ? "\u03a3\u039f\u03a6\u039f\u03a3 caf\u00e9" : "a:b 3.14");
    text += i % 2 ? "\n" : " x\n";
  }
  const auto whole = icu_words(text, kIcuPieceBytes);
  ASSERT_FALSE(whole.empty());
  EXPECT_EQ(icu_words(text, 40), whole);
  EXPECT_EQ(icu_words(text, 64), whole);
  // Without line feeds the cut falls on a character boundary: nothing is lost.
  const std::string line = "\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9";
  std::string joined;
  for (const auto& w : icu_words(line, 5)) joined += w;
  EXPECT_EQ(joined, line);
}

// WordBreakTest.txt: "÷ 0041 × 0308 ÷ 003A ÷ # comment" lists code points
// with the boundary (÷) or no boundary (×) between them.
TEST(Uax29Rules, UnicodeConformanceTest) {
  const std::filesystem::path path =
      std::filesystem::path(VESK_PROJECT_DATA_DIR) / "unicode" / "WordBreakTest.txt";
  std::ifstream in(path);
  ASSERT_TRUE(in) << path;
  std::string line;
  std::getline(in, line);  // "# WordBreakTest-15.0.0.txt"
  const std::string want = std::string("WordBreakTest-") + U_UNICODE_VERSION;
  if (line.find(want) == std::string::npos && line.find(want + ".0") == std::string::npos) {
    GTEST_SKIP() << "the test file is for another Unicode version than ICU's " << U_UNICODE_VERSION
                 << ": " << line;
  }
  int cases = 0;
  while (std::getline(in, line)) {
    const size_t hash = line.find('#');
    const std::string body = line.substr(0, hash);
    if (body.find_first_not_of(" \t") == std::string::npos) continue;
    std::istringstream words(body);
    std::string word;
    std::string text;
    Segments expected;
    std::string current;
    while (words >> word) {
      if (word == "\xc3\xb7") {  // ÷
        if (!current.empty()) expected.push_back(current);
        current.clear();
      } else if (word == "\xc3\x97") {  // ×
      } else {
        std::string utf8;
        append_utf8(&utf8, static_cast<char32_t>(std::stoul(word, nullptr, 16)));
        current += utf8;
        text += utf8;
      }
    }
    EXPECT_EQ(uax29_segments(text), expected) << line;
    ++cases;
  }
  EXPECT_GT(cases, 1800);
}

}  // namespace
}  // namespace bm25::detail
