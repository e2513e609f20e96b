// Tests of normalize() and its transliteration table.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "default_tokenizer.h"
#include "normalize.h"

namespace bm25 {
namespace {

std::string norm(std::string_view text) {
  std::string storage;
  return std::string(normalize(text, &storage));
}

TEST(Normalize, AsciiIsReturnedItself) {
  std::string storage = "untouched";
  const std::string text = "Plain ASCII\ttext\nwith controls \x01 and ~";
  const std::string_view out = normalize(text, &storage);
  EXPECT_EQ(out.data(), text.data());
  EXPECT_EQ(out, text);
  EXPECT_EQ(storage, "untouched");
  EXPECT_EQ(normalize("", &storage).size(), 0u);
}

TEST(Normalize, DataReadmeSamples) {
  EXPECT_EQ(norm("\u00e9"), "e");
  EXPECT_EQ(norm("\u00df"), "ss");
  EXPECT_EQ(norm("\u00c6"), "AE");
  EXPECT_EQ(norm("\u00fc"), "u");
  EXPECT_EQ(norm("\u2019"), "'");
  EXPECT_EQ(norm("\u20ac"), "EUR");
  EXPECT_EQ(norm("\u2122"), "tm");
  EXPECT_EQ(norm("\u044f"), "ia");
  EXPECT_EQ(norm("\u00a0"), " ");
  EXPECT_EQ(norm("\u2028"), "\n");
  EXPECT_EQ(norm("\u00ad"), "");
  EXPECT_EQ(norm("\ue000"), "[?]");
  // Entries ending in a space lose it at the end of the text.
  EXPECT_EQ(norm("\u5317"), "Bei");
  EXPECT_EQ(norm("\u4eac"), "Jing");
  EXPECT_EQ(norm("\U0001F600"), "grinning");
  // ... but keep it before another entry.
  EXPECT_EQ(norm("\u5317\u4eac"), "Bei Jing");
  EXPECT_EQ(norm("\U0001F600x"), "grinning x");
}

TEST(Normalize, TableEntries) {
  using detail::deunicode_entry;
  EXPECT_EQ(deunicode_entry(U'\u5317'), std::optional<std::string_view>("Bei "));
  EXPECT_EQ(deunicode_entry(U'\u4eac'), std::optional<std::string_view>("Jing "));
  EXPECT_EQ(deunicode_entry(0x1F600), std::optional<std::string_view>("grinning "));
  EXPECT_EQ(deunicode_entry(0xE000), std::nullopt);
  EXPECT_EQ(deunicode_entry(0x222DD + 1), std::nullopt);
  EXPECT_EQ(deunicode_entry(0x10FFFF), std::nullopt);
  for (char32_t c = 0x20; c < 0x7F; ++c)
    EXPECT_EQ(deunicode_entry(c), std::string_view(std::string(1, char(c))));
  for (char32_t c = 0; c < 0x20; ++c) EXPECT_EQ(deunicode_entry(c), std::string_view());
  for (char32_t c = 0x7F; c <= 0x9F; ++c) EXPECT_EQ(deunicode_entry(c), std::string_view());
  for (char32_t c = 0x300; c <= 0x362; ++c) EXPECT_EQ(deunicode_entry(c), std::string_view());
}

TEST(Normalize, AsciiPrefixThenEveryCharacterByTable) {
  EXPECT_EQ(norm("Caf\u00e9"), "Cafe");
  // Controls of the prefix are kept; after it, only tab, LF, VT, FF and CR.
  EXPECT_EQ(norm("a\x01\x7f"
                 "b\u00e9\x01\x1f\x7f"
                 "c"),
            "a\x01"
            "be"
            "c");
  EXPECT_EQ(norm("\x7f"
                 "a"),
            "a");
  EXPECT_EQ(norm("a\x7f"), "a");
}

TEST(Normalize, MendKeepsAsciiSpaceControls) {
  EXPECT_EQ(norm("caf\u00e9\nbar"), "cafe\nbar");
  EXPECT_EQ(norm("\u00e9\t\n\v\f\r"), "e\t\n\v\f\r");
  EXPECT_EQ(detail::transliteration(U'\n'), "\n");
  EXPECT_EQ(detail::transliteration(U'\r'), "\r");
  EXPECT_EQ(detail::transliteration(0x1C), "");
  EXPECT_EQ(detail::transliteration(0x85), "");
  EXPECT_EQ(detail::transliteration(0xE000), "[?]");
}

TEST(Normalize, TrailingSpaceRule) {
  // Kept before an entry that does not begin with a space (also "[?]", an
  // empty entry or a line feed); dropped before one that does, and at the end.
  EXPECT_EQ(norm("\u5317 "), "Bei ");       // next entry " " begins with a space
  EXPECT_EQ(norm("\u5317\u00a0"), "Bei ");  // next entry " " (no-break space)
  EXPECT_EQ(norm("\u5317\ue000"), "Bei [?]");
  EXPECT_EQ(norm("\u5317\u00ad"),
            "Bei ");  // empty next entry: kept, and the soft hyphen adds nothing
  EXPECT_EQ(norm("\u5317\n"), "Bei \n");
  EXPECT_EQ(norm("\u5317\u4eac\u5317"), "Bei Jing Bei");
  EXPECT_EQ(norm("\u5317x"), "Bei x");
  EXPECT_EQ(norm("\u5317 x"), "Bei x");
  EXPECT_EQ(norm("\u5317\x01 x"), "Bei  x");  // the empty entry of U+0001 is next, not the space
  EXPECT_EQ(norm("\u5317\u00ad\u4eac"), "Bei Jing");
  EXPECT_EQ(norm("\u5317\ue000\u4eac "), "Bei [?]Jing ");
  // A one-character entry " " is never shortened.
  EXPECT_EQ(norm("\u00e9\u00a0"), "e ");
  EXPECT_EQ(norm("\u00e9\u00a0\u00a0"), "e  ");
}

TEST(Normalize, BeyondTheTableIsPlaceholder) {
  EXPECT_EQ(norm("\U000222DE"), "[?]");
  EXPECT_EQ(norm("\U0010FFFF"), "[?]");
  EXPECT_EQ(norm("\U000E0001"), "[?]");
}

TEST(Normalize, IllFormedUtf8BecomesReplacementCharacter) {
  const std::string replacement = norm("\ufffd");
  EXPECT_EQ(norm("a\xff"
                 "b"),
            "a" + replacement + "b");
  EXPECT_EQ(norm("a\xc3"), "a" + replacement);  // truncated
  EXPECT_EQ(norm("a\xe2\x82"
                 "b"),
            "a" + replacement + "b");                      // truncated, one U+FFFD
  EXPECT_EQ(norm("\xc0\xaf"), replacement + replacement);  // overlong
  EXPECT_EQ(norm("\xed\xa0\x80"), replacement + replacement + replacement);  // surrogate
  EXPECT_EQ(norm("\xf4\x90\x80\x80"),
            replacement + replacement + replacement + replacement);  // > U+10FFFF
  EXPECT_EQ(norm("\x80"), replacement);
}

// The published rule written out character by character, as a reference for
// the run-at-a-time implementation.
std::string reference(std::string_view text) {
  size_t prefix = 0;
  while (prefix < text.size() && static_cast<unsigned char>(text[prefix]) < 0x7F) ++prefix;
  if (prefix == text.size()) return std::string(text);
  std::vector<std::string_view> entries;
  for (size_t pos = prefix, length = 0; pos < text.size(); pos += length) {
    entries.push_back(detail::transliteration(detail::decode_utf8(text, pos, &length)));
  }
  std::string out(text.substr(0, prefix));
  for (size_t i = 0; i < entries.size(); ++i) {
    std::string_view e = entries[i];
    const bool last = i + 1 == entries.size();
    if (e.size() > 1 && e.back() == ' ' &&
        (last || (!entries[i + 1].empty() && entries[i + 1].front() == ' '))) {
      e.remove_suffix(1);
    }
    out += e;
  }
  return out;
}

TEST(Normalize, AgreesWithCharacterByCharacterReference) {
  const std::vector<std::string> pieces = {
      "a",        "Z",      " ",      "\t",         "\n",     "\r",     "\x01",
      "\x7f",     "\x00",   ".",      "\u00e9",     "\u5317", "\u4eac", "\U0001F600",
      "\u00a0",   "\u3000", "\u00ad", "\ue000",     "\u2028", "\u2029", "\xff",
      "\xe2\x82", "\xc3",   "\u0085", "\U000E0001", "\u0301", "\u2122", "\u00df"};
  std::mt19937 rng(99);
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    const int len = static_cast<int>(rng() % 12);
    for (int j = 0; j < len; ++j) text += pieces[rng() % pieces.size()];
    ASSERT_EQ(norm(text), reference(text)) << i;
  }
}

TEST(Normalize, DecodeUtf8) {
  size_t length = 0;
  EXPECT_EQ(detail::decode_utf8("\U0001F600", 0, &length), 0x1F600u);
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(detail::decode_utf8("\u00e9", 0, &length), 0xE9u);
  EXPECT_EQ(length, 2u);
  EXPECT_EQ(detail::decode_utf8("\u20ac", 0, &length), 0x20ACu);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(detail::decode_utf8("\xf0\x9f\x98", 0, &length), 0xFFFDu);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(detail::decode_utf8("\xf0\x9f"
                                "a",
                                0, &length),
            0xFFFDu);
  EXPECT_EQ(length, 2u);
}

TEST(Normalize, OutputIsAlwaysAscii) {
  std::string all;
  for (char32_t c = 0x80; c <= 0x222DD + 10; c += 7) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    char buf[4];
    size_t n;
    if (c < 0x800) {
      buf[0] = char(0xC0 | c >> 6), buf[1] = char(0x80 | (c & 0x3F)), n = 2;
    } else if (c < 0x10000) {
      buf[0] = char(0xE0 | c >> 12), buf[1] = char(0x80 | (c >> 6 & 0x3F)),
      buf[2] = char(0x80 | (c & 0x3F)), n = 3;
    } else {
      buf[0] = char(0xF0 | c >> 18), buf[1] = char(0x80 | (c >> 12 & 0x3F)),
      buf[2] = char(0x80 | (c >> 6 & 0x3F)), buf[3] = char(0x80 | (c & 0x3F)), n = 4;
    }
    all.append(buf, n);
  }
  for (unsigned char c : norm(all)) ASSERT_LT(c, 0x80);
}

}  // namespace
}  // namespace bm25
