// Lowercasing and word segmentation by the default word boundaries of Unicode
// Standard Annex #29, as the tokenizer uses them: two paths that give the
// same segments.
//
// - The general path (ICU): the text is lowercased with the full Unicode
//   mapping (Final_Sigma included, root locale) and split by an ICU
//   RuleBasedBreakIterator running the annex's rules WB1-WB999 as published
//   (kUax29WordRules). ICU's own default word rules are tailored (the colon is
//   no MidLetter there and "@" is a letter), so they are not used.
// - The ASCII path: for text whose bytes are all below 0x80, lowercasing is
//   A-Z to a-z and the annex reduces to the few rules that ASCII characters can
//   take part in (see for_each_ascii_word). The tests check the class table
//   against ICU's Word_Break property and both paths against each other.
//
// Both keep only segments that contain an alphanumeric character (Alphabetic,
// or general category Nd, Nl or No).
//
// Thread safety: all functions are thread-safe.
#ifndef VESK_BM25_WORD_BREAK_H_
#define VESK_BM25_WORD_BREAK_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "default_tokenizer.h"

#include <unicode/uversion.h>

U_NAMESPACE_BEGIN
class RuleBasedBreakIterator;
U_NAMESPACE_END

namespace bm25::detail {

// --- ASCII path -------------------------------------------------------------

// Word_Break classes of the ASCII characters, as bits.
inline constexpr uint8_t kWbLetter = 1;        // ALetter: A-Z a-z
inline constexpr uint8_t kWbDigit = 2;         // Numeric: 0-9
inline constexpr uint8_t kWbExtendNumLet = 4;  // ExtendNumLet: _
inline constexpr uint8_t kWbJoinsLetters = 8;  // MidLetter or MidNumLetQ: : . '
inline constexpr uint8_t kWbJoinsDigits = 16;  // MidNum or MidNumLetQ: , ; . '
inline constexpr uint8_t kWbUpper = 32;        // A-Z (lowercasing changes them, nothing else)
inline constexpr uint8_t kWbWord = kWbLetter | kWbDigit | kWbExtendNumLet;

constexpr std::array<uint8_t, 128> make_ascii_word_bits() {
  std::array<uint8_t, 128> bits{};
  for (int c = 'a'; c <= 'z'; ++c) bits[c] = kWbLetter;
  for (int c = 'A'; c <= 'Z'; ++c) bits[c] = kWbLetter | kWbUpper;
  for (int c = '0'; c <= '9'; ++c) bits[c] = kWbDigit;
  bits['_'] = kWbExtendNumLet;
  bits[':'] = kWbJoinsLetters;                    // MidLetter
  bits['.'] = kWbJoinsLetters | kWbJoinsDigits;   // MidNumLet
  bits['\''] = kWbJoinsLetters | kWbJoinsDigits;  // Single_Quote
  bits[','] = kWbJoinsDigits;                     // MidNum
  bits[';'] = kWbJoinsDigits;                     // MidNum
  return bits;
}
inline constexpr std::array<uint8_t, 128> kAsciiWordBits = make_ascii_word_bits();

// True when every byte of `text` is below 0x80.
bool is_ascii(std::string_view text);

// Writes `text` (ASCII) lowercased into *out.
void ascii_lower(std::string_view text, std::string* out);

// Calls fn(segment, has_upper) for every annex segment of the ASCII `text`
// that holds a letter or a digit, in order; segments are views of `text`, and
// has_upper tells whether the segment holds a letter A-Z. Lowercasing does not
// change segmentation in ASCII (A-Z and a-z are both ALetter), so the caller
// lowercases only the segments it keeps.
//
// Why this is the annex on ASCII: ASCII has no Extend, Format, ZWJ,
// Regional_Indicator, Hebrew_Letter, Katakana or Extended_Pictographic
// characters, so only WB3-WB3b (CR, LF, Newline), WB3d (WSegSpace), WB5-WB13b
// and WB999 can apply. Between two word characters (ALetter, Numeric,
// ExtendNumLet) WB5, WB8-WB10, WB13a and WB13b never break; every other
// character is a segment of its own (or of a run of spaces, or CR LF) and
// holds no letter or digit, except a middle character that WB6/WB7 (letter on
// both sides, MidLetter or MidNumLetQ) or WB11/WB12 (digit on both sides,
// MidNum or MidNumLetQ) keep inside a word.
template <typename Fn>
inline void for_each_ascii_word(std::string_view text, Fn&& fn) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    // Skip to the next word character.
    while (i < n && !(kAsciiWordBits[s[i] & 0x7F] & kWbWord)) ++i;
    if (i == n) break;
    const size_t start = i;
    uint8_t prev = kAsciiWordBits[s[i] & 0x7F];
    uint8_t seen = prev;
    ++i;
    for (;;) {
      // Word characters never break between each other (WB5, WB8-WB10, WB13a/b).
      uint8_t k;
      while (i < n && ((k = kAsciiWordBits[s[i] & 0x7F]) & kWbWord)) {
        seen |= k;
        prev = k;
        ++i;
      }
      if (i + 1 >= n) break;
      // WB6/WB7 and WB11/WB12: one middle character between two letters or
      // two digits stays inside the word.
      k = kAsciiWordBits[s[i] & 0x7F];
      const uint8_t next = kAsciiWordBits[s[i + 1] & 0x7F];
      const uint8_t both = prev & next;
      if (((both & kWbLetter) && (k & kWbJoinsLetters)) ||
          ((both & kWbDigit) && (k & kWbJoinsDigits))) {
        seen |= next;
        prev = next;
        i += 2;
        continue;
      }
      break;
    }
    if (seen & (kWbLetter | kWbDigit)) {
      fn(std::string_view(text.data() + start, i - start), (seen & kWbUpper) != 0);
    }
  }
}

// --- General path (ICU) -----------------------------------------------------

// The annex's word-boundary rules in ICU rule syntax.
extern const char kUax29WordRules[];

// A compiled copy of the annex's rules (compiled once per process, cloned).
std::unique_ptr<icu::RuleBasedBreakIterator> make_uax29_word_iterator();

// Lowercases the UTF-8 `text` (ill-formed bytes read as U+FFFD) and calls
// fn(segment) with the UTF-8 of every annex segment that holds an
// alphanumeric character. `iterator` comes from make_uax29_word_iterator();
// `buffer` is scratch space; the view passed to fn lives in it.
//
// ICU indexes UTF-16 with int32_t: a text longer than `piece_bytes` goes in
// pieces that end after a line feed, where the annex always breaks and
// Final_Sigma has no context (a line longer than that is cut at a character
// boundary).
inline constexpr size_t kIcuPieceBytes = size_t{1} << 29;
void for_each_icu_word(std::string_view text, icu::RuleBasedBreakIterator* iterator,
                       std::string* buffer, FunctionRef<void(std::string_view)> fn,
                       size_t piece_bytes = kIcuPieceBytes);

// For tests: every annex segment of `text` (not lowercased, none dropped).
std::vector<std::string> uax29_segments(std::string_view text);

}  // namespace bm25::detail

#endif  // VESK_BM25_WORD_BREAK_H_
