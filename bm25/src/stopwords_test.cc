// Tests of the stop-word lists and of the GET_STOPWORDS cache.
#include "stopwords.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "default_tokenizer.h"

namespace bm25 {
namespace {

Language lang(int i) { return static_cast<Language>(i); }

TEST(StopwordLists, LanguageTable) {
  const char* stemmers[] = {"arabic",     "danish",   "dutch",     "english", "french",
                            "german",     "greek",    "hungarian", "italian", "norwegian",
                            "portuguese", "romanian", "russian",   "spanish", "swedish",
                            "tamil",      "turkish"};
  const char* codes[] = {"ar", "da", "nl", "en", "fr", "de", "el", "hu", "it",
                         "no", "pt", "ro", "ru", "es", "sv", "",   "tr"};
  for (int i = 0; i < kLanguageCount; ++i) {
    EXPECT_STREQ(detail::stemmer_name(lang(i)), stemmers[i]);
    EXPECT_EQ(detail::stopword_code(lang(i)), codes[i]);
  }
}

TEST(StopwordLists, EnglishListAsPublished) {
  const auto en = detail::stopword_list("en");
  ASSERT_EQ(en.size(), 179u);
  EXPECT_EQ(en[0], "i");
  EXPECT_EQ(en[4], "we");
  EXPECT_EQ(en[175], "won");
  EXPECT_EQ(en[178], "wouldn't");
  int contractions = 0;
  for (auto w : en) contractions += w.find('\'') != std::string_view::npos;
  EXPECT_EQ(contractions, 26);
}

TEST(StopwordLists, UnknownCodeIsAProgrammingError) {
  try {
    detail::stopword_list("xx");
    FAIL() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(),
                 "The 'xx' language is not recognized. Please check the documentation for a "
                 "supported list of "
                 "languages.");
  }
}

TEST(GetStopwords, SetsPerLanguage) {
  // Set sizes: the list sizes less repeats (ar 5, hu 1, no 4).
  const size_t sizes[] = {243, 94,  101, 179, 157, 232, 265, 198, 279,
                          172, 204, 356, 151, 313, 114, 0,   53};
  for (int i = 0; i < kLanguageCount; ++i) {
    EXPECT_EQ(get_stopwords(lang(i), false).size(), sizes[i]) << i;
  }
  EXPECT_TRUE(get_stopwords(Language::Tamil, true).empty());
}

TEST(GetStopwords, NormalizationFlagIsPartOfTheKey) {
  const StopWordSet plain = get_stopwords(Language::German, false);
  const StopWordSet normalized = get_stopwords(Language::German, true);
  EXPECT_TRUE(plain.count("f\u00fcr"));
  EXPECT_FALSE(plain.count("fur"));
  EXPECT_TRUE(normalized.count("fur"));
  EXPECT_FALSE(normalized.count("f\u00fcr"));
  // English is ASCII: both sets are equal.
  EXPECT_EQ(get_stopwords(Language::English, true), get_stopwords(Language::English, false));
  EXPECT_TRUE(get_stopwords(Language::English, true).count("don't"));
  // Russian words are transliterated when normalised.
  EXPECT_TRUE(get_stopwords(Language::Russian, false).count("\u0438"));
  EXPECT_TRUE(get_stopwords(Language::Russian, true).count("i"));
}

TEST(GetStopwords, CacheIsLeastRecentlyUsedWithCapacity16) {
  using Key = detail::StopwordCacheKey;
  detail::clear_stopword_cache();
  const size_t built0 = detail::stopword_sets_built();
  // 17 languages x 2 flags = 34 keys: fill 16.
  for (int i = 0; i < 16; ++i) get_stopwords(lang(i), false);
  EXPECT_EQ(detail::stopword_sets_built(), built0 + 16);
  auto keys = detail::stopword_cache_keys();
  ASSERT_EQ(keys.size(), 16u);
  EXPECT_EQ(keys.front(), Key(lang(15), false));
  EXPECT_EQ(keys.back(), Key(lang(0), false));
  // A hit builds nothing and makes the entry the most recent.
  get_stopwords(lang(0), false);
  EXPECT_EQ(detail::stopword_sets_built(), built0 + 16);
  keys = detail::stopword_cache_keys();
  EXPECT_EQ(keys.front(), Key(lang(0), false));
  EXPECT_EQ(keys.back(), Key(lang(1), false));
  // A miss on a full cache evicts the least recently used (Danish).
  get_stopwords(Language::English, true);
  EXPECT_EQ(detail::stopword_sets_built(), built0 + 17);
  keys = detail::stopword_cache_keys();
  ASSERT_EQ(keys.size(), 16u);
  EXPECT_EQ(keys.front(), Key(Language::English, true));
  EXPECT_EQ(std::count(keys.begin(), keys.end(), Key(Language::Danish, false)), 0);
  EXPECT_EQ(keys.back(), Key(lang(2), false));
  // Danish is built again.
  get_stopwords(Language::Danish, false);
  EXPECT_EQ(detail::stopword_sets_built(), built0 + 18);
  // Tamil's empty set is cached like any other.
  const size_t before = detail::stopword_sets_built();
  get_stopwords(Language::Tamil, true);
  get_stopwords(Language::Tamil, true);
  EXPECT_EQ(detail::stopword_sets_built(), before + 1);
  // Building a tokenizer goes through the cache; with stop words off it does not.
  detail::clear_stopword_cache();
  DefaultTokenizerBuilder().stopwords(false).build();
  EXPECT_TRUE(detail::stopword_cache_keys().empty());
  DefaultTokenizerBuilder().build();
  DefaultTokenizerBuilder().build();
  EXPECT_EQ(detail::stopword_cache_keys(), (std::vector<Key>{Key(Language::English, true)}));
}

TEST(GetStopwords, CopiesAreIndependent) {
  StopWordSet a = get_stopwords(Language::English, false);
  a.clear();
  a.insert("zebra");
  const StopWordSet b = get_stopwords(Language::English, false);
  EXPECT_EQ(b.size(), 179u);
  EXPECT_FALSE(b.count("zebra"));
}

TEST(GetStopwords, ConcurrentCallers) {
  detail::clear_stopword_cache();
  std::atomic<bool> ok{true};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        const Language l = lang((i + t) % kLanguageCount);
        const bool n = (i / kLanguageCount + t) % 2;
        const StopWordSet expected_size_probe = get_stopwords(l, n);
        if (l == Language::English && expected_size_probe.size() != 179) ok = false;
        if (l == Language::Tamil && !expected_size_probe.empty()) ok = false;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_TRUE(ok);
  EXPECT_LE(detail::stopword_cache_keys().size(), 16u);
}

}  // namespace
}  // namespace bm25
