#include "hybridsearch/document_text.h"

#include <gtest/gtest.h>

namespace vesk {
namespace {

DocumentInfo doc(std::string text, std::optional<Metadata> metadata) {
  return DocumentInfo{"id", std::move(text), std::move(metadata)};
}

TEST(MetadataToStringTest, Rendering) {
  EXPECT_EQ(metadata_to_string(std::nullopt), "");
  EXPECT_EQ(metadata_to_string(Metadata{}), "");
  EXPECT_EQ(metadata_to_string(Metadata{{"author", " Ann "}, {"", "x"}, {"tag", ""}}),
            "author Ann x tag");
  EXPECT_EQ(metadata_to_string(Metadata{{" ", "\t"}, {"k", "v"}, {"", ""}}), "k v");
  EXPECT_EQ(metadata_to_string(Metadata{{" ", " "}}), "");
  // Trimming follows White_Space: U+3000, U+00A0, U+2029 go, U+200B stays.
  EXPECT_EQ(metadata_to_string(Metadata{{"\u3000k\u00A0", "\u2029"}, {"\u200B", "v\u2003"}}),
            "k \u200B v");
}

TEST(CollectDocumentTextTest, Examples) {
  EXPECT_EQ(collect_document_text(doc("Apple pie", Metadata{{"color", "red"}})),
            "Apple pie color red");
  EXPECT_EQ(collect_document_text(doc("  ", Metadata{{"k", " "}})), "k");
  EXPECT_EQ(collect_document_text(doc("", Metadata{{"", "v"}})), "v");
  EXPECT_EQ(collect_document_text(doc("  text \n", std::nullopt)), "text");
  EXPECT_EQ(collect_document_text(doc(" \u3000 ", Metadata{})), "");
  EXPECT_EQ(collect_document_text(doc("\u0085caf\u00E9\u1680", Metadata{{"a", "b"}})),
            "caf\u00E9 a b");
}

}  // namespace
}  // namespace vesk
