#include "utils/keyword.h"

#include <gtest/gtest.h>

namespace vesk {
namespace {

DocumentInfo doc(std::string text, std::optional<Metadata> metadata) {
  return DocumentInfo{"id", std::move(text), std::move(metadata)};
}

TEST(TrimKeywordTextTest, UnicodeWhiteSpace) {
  EXPECT_EQ(trim_keyword_text(""), "");
  EXPECT_EQ(trim_keyword_text(" \t\n\v\f\r"), "");
  EXPECT_EQ(trim_keyword_text("  a b  "), "a b");
  // U+3000, U+00A0, U+2029, U+0085, U+1680 around the text.
  EXPECT_EQ(trim_keyword_text("\u3000\u00A0x\u2029\u0085\u1680"), "x");
  // U+200B (zero width space) and U+FEFF are not White_Space.
  EXPECT_EQ(trim_keyword_text("\u200Bx\uFEFF"), "\u200Bx\uFEFF");
  // Multi-byte characters next to the spaces survive intact.
  EXPECT_EQ(trim_keyword_text(" \u00E9\u2003"), "\u00E9");
}

TEST(TrimKeywordTextTest, MalformedBytesStopTrimming) {
  EXPECT_EQ(trim_keyword_text(" \xFF "), "\xFF");
  EXPECT_EQ(trim_keyword_text("\x80 "), "\x80");
  // A truncated U+3000 is not white space.
  EXPECT_EQ(trim_keyword_text("x\xE3\x80"), "x\xE3\x80");
}

TEST(MetadataToStringTest, Rendering) {
  EXPECT_EQ(metadata_to_string(std::nullopt), "");
  EXPECT_EQ(metadata_to_string(Metadata{}), "");
  EXPECT_EQ(metadata_to_string(Metadata{{"author", " Ann "}, {"", "x"}, {"tag", ""}}),
            "author Ann x tag");
  EXPECT_EQ(metadata_to_string(Metadata{{" ", "\t"}, {"k", "v"}, {"", ""}}), "k v");
  EXPECT_EQ(metadata_to_string(Metadata{{" ", " "}}), "");
}

TEST(CollectDocumentTextTest, Examples) {
  EXPECT_EQ(collect_document_text(doc("Apple pie", Metadata{{"color", "red"}})),
            "Apple pie color red");
  EXPECT_EQ(collect_document_text(doc("  ", Metadata{{"k", " "}})), "k");
  EXPECT_EQ(collect_document_text(doc("", Metadata{{"", "v"}})), "v");
  EXPECT_EQ(collect_document_text(doc("  text \n", std::nullopt)), "text");
  EXPECT_EQ(collect_document_text(doc(" \u3000 ", Metadata{})), "");
}

}  // namespace
}  // namespace vesk
