// The languages the tokenizer can stem and filter stop words for.
//
// Thread safety: constants.
#ifndef VESK_BM25_LANGUAGE_H_
#define VESK_BM25_LANGUAGE_H_

#include <cstdint>

namespace bm25 {

// The numeric value selects the Snowball stemmer and the stop-word list.
enum class Language : uint8_t {
  Arabic = 0,
  Danish = 1,
  Dutch = 2,
  English = 3,
  French = 4,
  German = 5,
  Greek = 6,
  Hungarian = 7,
  Italian = 8,
  Norwegian = 9,
  Portuguese = 10,
  Romanian = 11,
  Russian = 12,
  Spanish = 13,
  Swedish = 14,
  Tamil = 15,
  Turkish = 16,
};

inline constexpr int kLanguageCount = 17;

}  // namespace bm25

#endif  // VESK_BM25_LANGUAGE_H_
