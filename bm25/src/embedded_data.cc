#include "embedded_data.h"

#include <array>

// Symbols defined by the generated assembler file (bm25/CMakeLists.txt).
#define VESK_BM25_DATA(sym) extern "C" const char sym[], sym##_end[];
VESK_BM25_DATA(vesk_bm25_deunicode_pointers)
VESK_BM25_DATA(vesk_bm25_deunicode_mapping)
#define VESK_BM25_LIST(name, code) VESK_BM25_DATA(vesk_bm25_stopwords_##name)
// clang-format off
#define VESK_BM25_LISTS(X) \
  X(arabic, "ar") \
  X(azerbaijani, "az") \
  X(danish, "da") \
  X(dutch, "nl") \
  X(english, "en") \
  X(finnish, "fi") \
  X(french, "fr") \
  X(german, "de") \
  X(greek, "el") \
  X(hungarian, "hu") \
  X(indonesian, "id") \
  X(italian, "it") \
  X(kazakh, "kk") \
  X(nepali, "ne") \
  X(norwegian, "no") \
  X(portuguese, "pt") \
  X(romanian, "ro") \
  X(russian, "ru") \
  X(slovenian, "sl") \
  X(spanish, "es") \
  X(swedish, "sv") \
  X(tajik, "tg") \
  X(turkish, "tr")
// clang-format on
VESK_BM25_LISTS(VESK_BM25_LIST)

namespace bm25::data {
namespace {
std::string_view span_of(const char* begin, const char* end) {
  return std::string_view(begin, static_cast<size_t>(end - begin));
}
}  // namespace

std::string_view deunicode_pointers() {
  return span_of(vesk_bm25_deunicode_pointers, vesk_bm25_deunicode_pointers_end);
}

std::string_view deunicode_mapping() {
  return span_of(vesk_bm25_deunicode_mapping, vesk_bm25_deunicode_mapping_end);
}

std::span<const StopwordFile> stopword_files() {
#define VESK_BM25_ENTRY(name, code) \
  StopwordFile{code, #name, span_of(vesk_bm25_stopwords_##name, vesk_bm25_stopwords_##name##_end)},
  static const std::array<StopwordFile, 23> files = {VESK_BM25_LISTS(VESK_BM25_ENTRY)};
#undef VESK_BM25_ENTRY
  return files;
}

}  // namespace bm25::data
