// Tests of DefaultTokenizer: the documented edge cases, the two
// segmentation paths against each other, and sharing between threads.
#include "default_tokenizer.h"

#include <gtest/gtest.h>
#include <libstemmer.h>
#include <unicode/uchar.h>

#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "word_break.h"

namespace bm25 {

// Reaches the ICU path for ASCII text, to compare it with the ASCII path.
struct DefaultTokenizerTestPeer {
  static std::vector<std::string> tokenize(const DefaultTokenizer& tokenizer, std::string_view text,
                                           bool general) {
    std::vector<std::string> tokens;
    tokenizer.run(
        text, [&](std::string_view t) { tokens.emplace_back(t); }, general);
    return tokens;
  }
};

namespace {

using Tokens = std::vector<std::string>;

DefaultTokenizer english() { return DefaultTokenizerBuilder().build(); }

TEST(DefaultTokenizer, BuilderDefaultsAndAccessors) {
  DefaultTokenizer t = english();
  EXPECT_TRUE(t.normalization());
  EXPECT_TRUE(t.stemming());
  EXPECT_TRUE(t.stopwords());
  EXPECT_EQ(t.language(), Language::English);
  DefaultTokenizer u = DefaultTokenizerBuilder()
                           .normalization(false)
                           .stemming(false)
                           .stopwords(false)
                           .language(Language::German)
                           .build();
  EXPECT_FALSE(u.normalization());
  EXPECT_FALSE(u.stemming());
  EXPECT_FALSE(u.stopwords());
  EXPECT_EQ(u.language(), Language::German);
  DefaultTokenizer moved = std::move(u);
  EXPECT_EQ(moved.language(), Language::German);
  moved = english();
  EXPECT_EQ(moved.language(), Language::English);
}

TEST(DefaultTokenizer, ValueOutsideTheEnumerationIsAProgrammingError) {
  EXPECT_THROW(DefaultTokenizerBuilder().language(static_cast<Language>(kLanguageCount)).build(),
               std::invalid_argument);
  EXPECT_THROW(
      DefaultTokenizerBuilder().stopwords(false).language(static_cast<Language>(200)).build(),
      std::invalid_argument);
}

TEST(DefaultTokenizer, EmptyAndPunctuation) {
  DefaultTokenizer t = english();
  EXPECT_EQ(t.tokenize(""), Tokens{});
  EXPECT_EQ(t.tokenize("  ...  !!"), Tokens{});
  EXPECT_EQ(t.tokenize("!!!"), Tokens{});
}

TEST(DefaultTokenizer, DocumentedExamplesEnglish) {
  DefaultTokenizer t = english();
  EXPECT_EQ(t.tokenize("The Running dogs"), (Tokens{"run", "dog"}));
  EXPECT_EQ(t.tokenize("Caf\u00e9"), (Tokens{"cafe"}));
  EXPECT_EQ(t.tokenize("don\u2019t stop"), (Tokens{"stop"}));
  EXPECT_EQ(t.tokenize("\u5317\u4eac"), (Tokens{"bei", "jing"}));
  EXPECT_EQ(t.tokenize("version 2.0"), (Tokens{"version", "2.0"}));
  EXPECT_EQ(t.tokenize("the the the"), Tokens{});
  EXPECT_EQ(t.tokenize("dog dog"), (Tokens{"dog", "dog"}));
  EXPECT_EQ(t.tokenize("dog dog cat"), (Tokens{"dog", "dog", "cat"}));
  EXPECT_EQ(t.tokenize("the of and"), Tokens{});
}

// The mend: line feed and the other ASCII space controls survive normalize.
TEST(DefaultTokenizer, ControlsKeepWordsApart) {
  DefaultTokenizer t = english();
  EXPECT_EQ(t.tokenize("caf\u00e9\nbar"), (Tokens{"cafe", "bar"}));
  EXPECT_EQ(t.tokenize("bar\ncaf\u00e9"), (Tokens{"bar", "cafe"}));
  EXPECT_EQ(t.tokenize("caf\u00e9\tbar\rbaz\r\nqux\vquux\fcorge"),
            (Tokens{"cafe", "bar", "baz", "qux", "quux", "corg"}));
  // Other controls stay empty, as published: the words join.
  EXPECT_EQ(t.tokenize("caf\u00e9\x01"
                       "bar"),
            (Tokens{"cafebar"}));
  EXPECT_EQ(t.tokenize("caf\u00e9\u0085bar"), (Tokens{"cafebar"}));
}

TEST(DefaultTokenizer, SegmentationFollowsTheAnnex) {
  DefaultTokenizer t = DefaultTokenizerBuilder().stemming(false).stopwords(false).build();
  EXPECT_EQ(t.tokenize("a:b"), (Tokens{"a:b"}));
  EXPECT_EQ(t.tokenize("user@example.com"), (Tokens{"user", "example.com"}));
  EXPECT_EQ(t.tokenize("don't"), (Tokens{"don't"}));
  EXPECT_EQ(t.tokenize("3.14"), (Tokens{"3.14"}));
  EXPECT_EQ(t.tokenize("U.S.A"), (Tokens{"u.s.a"}));
  EXPECT_EQ(t.tokenize("foo_bar"), (Tokens{"foo_bar"}));
  EXPECT_EQ(t.tokenize("1,000"), (Tokens{"1,000"}));
  EXPECT_EQ(t.tokenize("e-mail"), (Tokens{"e", "mail"}));
  EXPECT_EQ(t.tokenize("a..b a. .a 1.a a1.2 __ _x x_ ___"),
            (Tokens{"a", "b", "a", "a", "1", "a", "a1.2", "_x", "x_"}));
  EXPECT_EQ(t.tokenize("1,2;3.4'5 a,b a;b"), (Tokens{"1,2;3.4'5", "a", "b", "a", "b"}));
}

TEST(DefaultTokenizer, IcuPathSegmentationFollowsTheAnnex) {
  // Normalization off and non-ASCII text: the ICU path.
  DefaultTokenizer t =
      DefaultTokenizerBuilder().normalization(false).stemming(false).stopwords(false).build();
  EXPECT_EQ(t.tokenize("\u00e9 a:b"), (Tokens{"\u00e9", "a:b"}));
  EXPECT_EQ(t.tokenize("\u00e9 user@example.com"), (Tokens{"\u00e9", "user", "example.com"}));
  EXPECT_EQ(t.tokenize("\u00e9 don't 3.14 u.s.a foo_bar 1,000 e-mail"),
            (Tokens{"\u00e9", "don't", "3.14", "u.s.a", "foo_bar", "1,000", "e", "mail"}));
  // Han ideographs are one segment each (no dictionary segmentation).
  EXPECT_EQ(t.tokenize("\u5317\u4eac"), (Tokens{"\u5317", "\u4eac"}));
  // Numbers of other categories count as alphanumeric: No (superscript two), Nl (Roman numeral).
  EXPECT_EQ(t.tokenize("\u00b2 \u2167 \u2603"), (Tokens{"\u00b2", "\u2177"}));
}

// Every stop word is dropped, and a word that differs from one in any single
// byte (or in length) is kept: the lookup table compares every byte.
TEST(DefaultTokenizer, StopWordTableMembership) {
  size_t checked = 0;
  for (Language language : {Language::English, Language::Russian, Language::Hungarian}) {
    for (bool normalization : {true, false}) {
      const DefaultTokenizer t = DefaultTokenizerBuilder()
                                     .language(language)
                                     .normalization(normalization)
                                     .stemming(false)
                                     .build();
      const StopWordSet set = get_stopwords(language, normalization);
      for (const std::string& word : set) {
        // Not every list word is one segment ("don't" is; a word with a space would not be).
        const Tokens alone = DefaultTokenizerBuilder()
                                 .language(language)
                                 .normalization(normalization)
                                 .stemming(false)
                                 .stopwords(false)
                                 .build()
                                 .tokenize(word);
        if (alone != Tokens{word}) continue;
        EXPECT_EQ(t.tokenize(word), Tokens{}) << word;
        for (size_t i = 0; i < word.size(); ++i) {
          if (static_cast<unsigned char>(word[i]) >= 0x80) continue;
          std::string changed = word;
          changed[i] = changed[i] == 'q' ? 'x' : 'q';
          if (set.count(changed)) continue;
          EXPECT_EQ(t.tokenize(changed), Tokens{changed}) << changed;
        }
        if (!set.count(word + "q")) {
          EXPECT_EQ(t.tokenize(word + "q"), Tokens{word + "q"});
        }
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 900u);
}

TEST(DefaultTokenizer, StopwordsOff) {
  DefaultTokenizer t = DefaultTokenizerBuilder().stopwords(false).build();
  EXPECT_EQ(t.tokenize("The Running dogs"), (Tokens{"the", "run", "dog"}));
  EXPECT_FALSE(t.stopwords());
}

TEST(DefaultTokenizer, StemmingOff) {
  DefaultTokenizer t = DefaultTokenizerBuilder().stemming(false).build();
  EXPECT_EQ(t.tokenize("The Running dogs"), (Tokens{"running", "dogs"}));
}

TEST(DefaultTokenizer, NormalizationOff) {
  DefaultTokenizer t = DefaultTokenizerBuilder().normalization(false).build();
  EXPECT_EQ(t.tokenize("Caf\u00e9"), (Tokens{"caf\u00e9"}));
  DefaultTokenizer plain =
      DefaultTokenizerBuilder().normalization(false).stemming(false).stopwords(false).build();
  EXPECT_EQ(plain.tokenize("\u03a3\u039f\u03a6\u039f\u03a3"),
            (Tokens{"\u03c3\u03bf\u03c6\u03bf\u03c2"}));
  // Ill-formed UTF-8 does not crash; the bad bytes are U+FFFD, not a word.
  EXPECT_EQ(plain.tokenize("ab\xff"
                           "cd \xe2\x82"),
            (Tokens{"ab", "cd"}));
  // Stop words are found after lowercasing.
  EXPECT_EQ(t.tokenize("\u00e9t\u00e9 THE"), (Tokens{"\u00e9t\u00e9"}));
}

TEST(DefaultTokenizer, IllFormedUtf8WithNormalization) {
  DefaultTokenizer t = DefaultTokenizerBuilder().stemming(false).stopwords(false).build();
  // U+FFFD transliterates to "?", which is no word.
  EXPECT_EQ(t.tokenize("ab\xff"
                       "cd"),
            (Tokens{"ab", "cd"}));
  EXPECT_EQ(t.tokenize("\xc3"), Tokens{});
  EXPECT_EQ(t.tokenize("x\xed\xa0\x80y"), (Tokens{"x", "y"}));  // a surrogate
}

TEST(DefaultTokenizer, GermanStopwordWithAndWithoutNormalization) {
  DefaultTokenizer normalized =
      DefaultTokenizerBuilder().language(Language::German).stemming(false).build();
  EXPECT_EQ(normalized.tokenize("F\u00fcr Hunde"), (Tokens{"hunde"}));
  DefaultTokenizer plain = DefaultTokenizerBuilder()
                               .language(Language::German)
                               .stemming(false)
                               .normalization(false)
                               .build();
  EXPECT_EQ(plain.tokenize("F\u00fcr Hunde"), (Tokens{"hunde"}));
  EXPECT_EQ(plain.tokenize("Fur Hunde"), (Tokens{"fur", "hunde"}));
  EXPECT_EQ(normalized.tokenize("Fur Hunde"), (Tokens{"hunde"}));
}

TEST(DefaultTokenizer, TamilKeepsEverything) {
  DefaultTokenizer t = DefaultTokenizerBuilder().language(Language::Tamil).stemming(false).build();
  EXPECT_EQ(t.tokenize("the of and"), (Tokens{"the", "of", "and"}));
  DefaultTokenizer plain =
      DefaultTokenizerBuilder().language(Language::Tamil).normalization(false).build();
  EXPECT_FALSE(plain.tokenize("\u0ba4\u0bae\u0bbf\u0bb4\u0bcd").empty());
}

TEST(DefaultTokenizer, EveryLanguageStems) {
  struct Case {
    Language language;
    const char* word;
    const char* stem;
  };
  const Case cases[] = {
      {Language::Arabic, "\u0627\u0644\u0643\u062a\u0627\u0628", "\u0643\u062a\u0627\u0628"},
      {Language::Danish, "hundene", "hund"},
      {Language::Dutch, "katten", "kat"},
      {Language::English, "running", "run"},
      {Language::French, "chevaux", "cheval"},
      {Language::German, "katzen", "katz"},
      {Language::Greek, "\u03b3\u03b1\u03c4\u03b5\u03c2", nullptr},
      {Language::Hungarian, "kutyak", nullptr},
      {Language::Italian, "gatti", "gatt"},
      {Language::Norwegian, "hundene", "hund"},
      {Language::Portuguese, "gatos", "gat"},
      {Language::Romanian, "pisicile", nullptr},
      {Language::Russian, "\u043a\u043e\u0448\u043a\u0438", "\u043a\u043e\u0448\u043a"},
      {Language::Spanish, "gatos", "gat"},
      {Language::Swedish, "katterna", "katt"},
      {Language::Tamil, "\u0baa\u0bc2\u0ba9\u0bc8\u0b95\u0bb3\u0bcd", nullptr},
      {Language::Turkish, "kediler", "kedi"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.language));
    DefaultTokenizer stemmed = DefaultTokenizerBuilder()
                                   .language(c.language)
                                   .normalization(false)
                                   .stopwords(false)
                                   .build();
    DefaultTokenizer unstemmed = DefaultTokenizerBuilder()
                                     .language(c.language)
                                     .normalization(false)
                                     .stopwords(false)
                                     .stemming(false)
                                     .build();
    const Tokens a = stemmed.tokenize(c.word);
    const Tokens b = unstemmed.tokenize(c.word);
    ASSERT_EQ(a.size(), 1u);
    ASSERT_EQ(b, Tokens{c.word});
    if (c.stem != nullptr) {
      EXPECT_EQ(a[0], c.stem);
    } else {
      EXPECT_NE(a[0], c.word);  // the stemmer ran and changed the word
    }
  }
}

TEST(DefaultTokenizer, ForEachTokenMatchesTokenize) {
  DefaultTokenizer t = english();
  const std::string text =
      "The quick brown foxes jumped over the lazy dogs; caf\u00e9 \u5317\u4eac 3.14 e-mail";
  Tokens seen;
  t.for_each_token(text, [&](std::string_view token) { seen.emplace_back(token); });
  EXPECT_EQ(seen, t.tokenize(text));
}

TEST(DefaultTokenizer, ReentrantCallbackOnSameThread) {
  DefaultTokenizer t = english();
  DefaultTokenizer plain = DefaultTokenizerBuilder().normalization(false).build();
  Tokens outer, inner;
  plain.for_each_token("Caf\u00e9s running dogs", [&](std::string_view token) {
    outer.emplace_back(token);
    for (auto& s : t.tokenize("jumping foxes")) inner.push_back(s);
    for (auto& s : plain.tokenize("\u00e9t\u00e9s bars")) inner.push_back(s);
  });
  EXPECT_EQ(outer, plain.tokenize("Caf\u00e9s running dogs"));
  EXPECT_EQ(inner.size(), 3u * 4u);
}

// The per-thread stem cache never changes a stem: many distinct words (so
// that slots collide and are reused), repeated, short and long, against a
// stemmer used directly.
TEST(DefaultTokenizer, StemCacheGivesTheStemmersOutput) {
  for (Language language : {Language::English, Language::Russian}) {
    sb_stemmer* direct =
        sb_stemmer_new(language == Language::English ? "english" : "russian", "UTF_8");
    ASSERT_NE(direct, nullptr);
    auto stem = [&](const std::string& w) {
      const sb_symbol* s = sb_stemmer_stem(direct, reinterpret_cast<const sb_symbol*>(w.data()),
                                           static_cast<int>(w.size()));
      return std::string(reinterpret_cast<const char*>(s), sb_stemmer_length(direct));
    };
    const DefaultTokenizer t = DefaultTokenizerBuilder()
                                   .language(language)
                                   .stopwords(false)
                                   .normalization(language == Language::English)
                                   .build();
    const std::vector<std::string> suffixes = {"", "s", "ing", "ed", "ation", "ness", "ly", "ies"};
    const std::vector<std::string> cyrillic = {"\u0430", "\u0438", "\u043e",
                                               "\u043a", "\u0442", "\u043c"};
    std::mt19937 rng(11);
    std::vector<std::string> words;
    for (int i = 0; i < 20000; ++i) {
      std::string w;
      const int len = 2 + static_cast<int>(rng() % (i % 50 == 0 ? 40 : 9));
      for (int j = 0; j < len; ++j) {
        w += language == Language::English ? std::string(1, char('a' + rng() % 26))
                                           : cyrillic[rng() % cyrillic.size()];
      }
      words.push_back(w + (language == Language::English ? suffixes[rng() % suffixes.size()] : ""));
    }
    std::string text;
    Tokens expected;
    for (int round = 0; round < 3; ++round) {
      for (size_t i = 0; i < words.size(); i += 1 + round) {
        text += words[i] + " ";
        expected.push_back(stem(words[i]));
      }
    }
    EXPECT_EQ(t.tokenize(text), expected);
    sb_stemmer_delete(direct);
  }
}

// --- The ASCII path against the ICU path ----------------------------------

std::vector<DefaultTokenizer> all_settings() {
  std::vector<DefaultTokenizer> out;
  for (int bits = 0; bits < 8; ++bits) {
    out.push_back(DefaultTokenizerBuilder()
                      .normalization(bits & 1)
                      .stemming(bits & 2)
                      .stopwords(bits & 4)
                      .build());
  }
  return out;
}

void expect_paths_agree(const std::vector<DefaultTokenizer>& tokenizers, const std::string& text) {
  for (const DefaultTokenizer& t : tokenizers) {
    const Tokens fast = DefaultTokenizerTestPeer::tokenize(t, text, false);
    const Tokens general = DefaultTokenizerTestPeer::tokenize(t, text, true);
    if (fast != general) {
      std::string shown;
      for (char c : text)
        shown += (c >= 0x20 && c < 0x7F) ? std::string(1, c) : "\\x" + std::to_string(+c);
      ADD_FAILURE() << "paths differ on \"" << shown << "\" (normalization " << t.normalization()
                    << ", stemming " << t.stemming() << ", stopwords " << t.stopwords() << ")";
      return;
    }
  }
}

TEST(AsciiPath, ClassTableMatchesIcuWordBreakProperty) {
  for (UChar32 c = 0; c < 128; ++c) {
    const auto wb = static_cast<UWordBreakValues>(u_getIntPropertyValue(c, UCHAR_WORD_BREAK));
    uint8_t expected = 0;
    switch (wb) {
      case U_WB_ALETTER:
        expected = detail::kWbLetter;
        break;
      case U_WB_NUMERIC:
        expected = detail::kWbDigit;
        break;
      case U_WB_EXTENDNUMLET:
        expected = detail::kWbExtendNumLet;
        break;
      case U_WB_MIDLETTER:
        expected = detail::kWbJoinsLetters;
        break;
      case U_WB_MIDNUM:
        expected = detail::kWbJoinsDigits;
        break;
      case U_WB_MIDNUMLET:
      case U_WB_SINGLE_QUOTE:
        expected = detail::kWbJoinsLetters | detail::kWbJoinsDigits;
        break;
      // Classes whose rules the ASCII path leaves to WB999 (a break): they
      // never join a letter or a digit.
      case U_WB_OTHER:
      case U_WB_CR:
      case U_WB_LF:
      case U_WB_NEWLINE:
      case U_WB_WSEGSPACE:
      case U_WB_DOUBLE_QUOTE:
        expected = 0;
        break;
      default:
        ADD_FAILURE() << "ASCII character " << c
                      << " has a Word_Break class the ASCII path ignores: " << wb;
    }
    if (c >= 'A' && c <= 'Z') expected |= detail::kWbUpper;
    EXPECT_EQ(detail::kAsciiWordBits[c], expected) << "character " << c;
    // Alphanumeric in ASCII is exactly letters and digits.
    const bool alnum = u_hasBinaryProperty(c, UCHAR_ALPHABETIC) ||
                       u_charType(c) == U_DECIMAL_DIGIT_NUMBER ||
                       u_charType(c) == U_LETTER_NUMBER || u_charType(c) == U_OTHER_NUMBER;
    EXPECT_EQ(alnum, (expected & (detail::kWbLetter | detail::kWbDigit)) != 0) << "character " << c;
    // Lowercasing in ASCII is exactly A-Z to a-z.
    EXPECT_EQ(u_tolower(c), (c >= 'A' && c <= 'Z') ? c + 32 : c) << "character " << c;
  }
}

TEST(AsciiPath, AgreesWithIcuOnFixedInputs) {
  const auto tokenizers = all_settings();
  for (const char* text : {"",
                           "a:b",
                           "user@example.com",
                           "don't",
                           "3.14",
                           "u.s.a",
                           "foo_bar",
                           "1,000",
                           "e-mail",
                           "The Running dogs",
                           "version 2.0",
                           "the the the",
                           "dog dog",
                           "A:B:C",
                           "a:1",
                           "1:a",
                           "a'1",
                           "1'a",
                           "1'2",
                           "a..b",
                           "1..2",
                           "a.'b",
                           "_",
                           "__a__",
                           "a_1_b",
                           ".a.",
                           "'a'",
                           "\"a\"",
                           "a\r\nb",
                           "a\n\nb",
                           "a\tb",
                           "a  b",
                           "\x7f"
                           "a\x00"
                           "b",
                           "ABC DEF",
                           "It's O'Neil's"}) {
    expect_paths_agree(tokenizers, std::string(text, text[0] == '\x7f' ? 5 : std::strlen(text)));
  }
}

// Every string up to length 5 over one representative of each ASCII class
// (and the lowercasing edges): the annex's rules look at no more than four
// characters around a boundary.
TEST(AsciiPath, AgreesWithIcuExhaustivelyOnShortStrings) {
  std::vector<DefaultTokenizer> tokenizers;
  tokenizers.push_back(
      DefaultTokenizerBuilder().normalization(false).stemming(false).stopwords(false).build());
  const std::string alphabet = std::string("aZ1_:.',; \t\n\r\v@-\"") + std::string(1, '\0');
  const size_t k = alphabet.size();
  std::string text;
  for (size_t len = 1; len <= 5; ++len) {
    size_t total = 1;
    for (size_t i = 0; i < len; ++i) total *= k;
    text.assign(len, ' ');
    for (size_t code = 0; code < total; ++code) {
      size_t c = code;
      for (size_t i = 0; i < len; ++i, c /= k) text[i] = alphabet[c % k];
      expect_paths_agree(tokenizers, text);
      if (HasFailure()) return;
    }
  }
}

TEST(AsciiPath, AgreesWithIcuOnRandomStrings) {
  const auto tokenizers = all_settings();
  const std::string alphabet = "aeiostnrdgAEIOSTZ019_.,';:@- \t\n\r\v\f\"!?[`{";
  std::mt19937 rng(20261208);
  std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
  std::uniform_int_distribution<size_t> length(0, 40);
  for (int i = 0; i < 3000; ++i) {
    std::string text;
    const size_t len = length(rng);
    for (size_t j = 0; j < len; ++j) text += alphabet[pick(rng)];
    expect_paths_agree(tokenizers, text);
    if (HasFailure()) return;
  }
}

// Any bytes at all: no crash, and with normalization on every term is ASCII
// (and, on the ICU path, well-formed UTF-8).
TEST(DefaultTokenizer, ArbitraryBytes) {
  const auto tokenizers = all_settings();
  std::mt19937 rng(5);
  const std::string specials[] = {"\xc3",         "\xe2\x82", "\xf0\x9f\x98", "\xed\xa0\x80",
                                  "\xef\xbf\xbd", "\u03a3",   "\u5317",       "\u0301",
                                  "\xff",         "\x80",     "\xc0\x80",     "\U0001F600"};
  for (int i = 0; i < 3000; ++i) {
    std::string text;
    const int len = static_cast<int>(rng() % 24);
    for (int j = 0; j < len; ++j) {
      if (rng() % 3 == 0) {
        text += specials[rng() % std::size(specials)];
      } else {
        text += static_cast<char>(rng() % 256);
      }
    }
    for (const DefaultTokenizer& t : tokenizers) {
      for (const std::string& token : t.tokenize(text)) {
        ASSERT_FALSE(token.empty());
        if (t.normalization()) {
          for (unsigned char c : token) ASSERT_LT(c, 0x80);
        }
      }
    }
  }
}

// --- Threads ---------------------------------------------------------------

TEST(DefaultTokenizer, SharedBetweenThreadsGivesTheSameOutput) {
  const DefaultTokenizer english_tokenizer = english();
  const DefaultTokenizer plain = DefaultTokenizerBuilder().normalization(false).build();
  const DefaultTokenizer russian =
      DefaultTokenizerBuilder().language(Language::Russian).normalization(false).build();
  std::vector<std::string> texts;
  std::mt19937 rng(7);
  const std::vector<std::string> words = {"Running",   "dogs",
                                          "caf\u00e9", "\u043a\u043e\u0448\u043a\u0438",
                                          "the",       "\u03a3\u039f\u03a6\u039f\u03a3",
                                          "3.14",      "jumped",
                                          "e-mail",    "\u5317"};
  for (int i = 0; i < 200; ++i) {
    std::string text;
    for (int j = 0; j < 30; ++j) text += words[rng() % words.size()] + (j % 7 ? " " : "\n");
    texts.push_back(text);
  }
  auto run_all = [&] {
    std::vector<Tokens> out;
    for (const std::string& text : texts) {
      out.push_back(english_tokenizer.tokenize(text));
      out.push_back(plain.tokenize(text));
      out.push_back(russian.tokenize(text));
    }
    return out;
  };
  const std::vector<Tokens> expected = run_all();
  std::vector<std::vector<Tokens>> results(6);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < results.size(); ++i) {
    threads.emplace_back([&, i] {
      for (int round = 0; round < 5; ++round) results[i] = run_all();
    });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& result : results) EXPECT_EQ(result, expected);
}

}  // namespace
}  // namespace bm25
