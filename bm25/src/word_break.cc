// Lowercasing and UAX #29 word segmentation (see word_break.h).
#include "word_break.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/rbbi.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bm25::detail {

// The default word boundaries of UAX #29 (rules WB3 to WB16; WB1, WB2 and
// WB999, the breaks at the ends and everywhere else, are implicit), written
// like ICU's own word rules without their tailorings: the full MidLetter set
// (colon included), no "@" among the letters, no dictionary segmentation and
// no rule statuses.
const char kUax29WordRules[] = R"RULES(
!!chain;
!!quoted_literals_only;

$CR                 = [\p{Word_Break = CR}];
$LF                 = [\p{Word_Break = LF}];
$Newline            = [\p{Word_Break = Newline}];
$Extend             = [\p{Word_Break = Extend}];
$ZWJ                = [\p{Word_Break = ZWJ}];
$Regional_Indicator = [\p{Word_Break = Regional_Indicator}];
$Format             = [\p{Word_Break = Format}];
$Katakana           = [\p{Word_Break = Katakana}];
$Hebrew_Letter      = [\p{Word_Break = Hebrew_Letter}];
$ALetter            = [\p{Word_Break = ALetter}];
$Single_Quote       = [\p{Word_Break = Single_Quote}];
$Double_Quote       = [\p{Word_Break = Double_Quote}];
$MidNumLet          = [\p{Word_Break = MidNumLet}];
$MidLetter          = [\p{Word_Break = MidLetter}];
$MidNum             = [\p{Word_Break = MidNum}];
$Numeric            = [\p{Word_Break = Numeric}];
$ExtendNumLet       = [\p{Word_Break = ExtendNumLet}];
$WSegSpace          = [\p{Word_Break = WSegSpace}];
$Extended_Pict      = [\p{Extended_Pictographic}];

$AHLetter           = [$ALetter $Hebrew_Letter];
$MidNumLetQ         = [$MidNumLet $Single_Quote];
$ExFm               = [$Extend $Format $ZWJ];

# WB3: CR x LF. WB3a and WB3b (breaks around CR, LF, Newline) are implicit.
$CR $LF;
# WB3c
$ZWJ $Extended_Pict;
# WB3d
$WSegSpace $WSegSpace;
# WB4: X (Extend | Format | ZWJ)* -> X
^$ExFm+;
[^$CR $LF $Newline $ExFm] $ExFm*;
# WB5
$AHLetter $ExFm* $AHLetter;
# WB6, WB7
$AHLetter $ExFm* ($MidLetter | $MidNumLetQ) $ExFm* $AHLetter;
# WB7a, WB7b, WB7c
$Hebrew_Letter $ExFm* $Single_Quote;
$Hebrew_Letter $ExFm* $Double_Quote $ExFm* $Hebrew_Letter;
# WB8, WB9, WB10
$Numeric $ExFm* $Numeric;
$AHLetter $ExFm* $Numeric;
$Numeric $ExFm* $AHLetter;
# WB11, WB12
$Numeric $ExFm* ($MidNum | $MidNumLetQ) $ExFm* $Numeric;
# WB13, WB13a, WB13b
$Katakana $ExFm* $Katakana;
($AHLetter | $Numeric | $Katakana | $ExtendNumLet) $ExFm* $ExtendNumLet;
$ExtendNumLet $ExFm* ($AHLetter | $Numeric | $Katakana);
# WB15, WB16
^$Regional_Indicator $ExFm* $Regional_Indicator;
)RULES";

bool is_ascii(std::string_view text) {
  const char* p = text.data();
  size_t n = text.size();
  uint64_t acc = 0;
  while (n >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    acc |= w;
    p += 8;
    n -= 8;
  }
  while (n > 0) {
    acc |= static_cast<unsigned char>(*p++);
    --n;
  }
  return (acc & 0x8080808080808080ULL) == 0;
}

void ascii_lower(std::string_view text, std::string* out) {
  out->resize(text.size());
  char* dst = out->data();
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    dst[i] = static_cast<char>(c + (static_cast<unsigned>(c - 'A') < 26u ? 32 : 0));
  }
}

namespace {

const icu::RuleBasedBreakIterator& prototype() {
  static const icu::RuleBasedBreakIterator* instance = [] {
    UParseError parse_error{};
    UErrorCode status = U_ZERO_ERROR;
    auto* iterator = new icu::RuleBasedBreakIterator(icu::UnicodeString::fromUTF8(kUax29WordRules),
                                                     parse_error, status);
    if (U_FAILURE(status)) {
      // The rules are a constant of this file: a failure is a build defect.
      std::fprintf(stderr, "vesk bm25: word-break rules rejected by ICU: %s (line %d, offset %d)\n",
                   u_errorName(status), parse_error.line, parse_error.offset);
      std::abort();
    }
    return iterator;
  }();
  return *instance;
}

bool is_alphanumeric(UChar32 c) {
  if (u_hasBinaryProperty(c, UCHAR_ALPHABETIC)) return true;
  const int8_t type = u_charType(c);
  return type == U_DECIMAL_DIGIT_NUMBER || type == U_LETTER_NUMBER || type == U_OTHER_NUMBER;
}

}  // namespace

std::unique_ptr<icu::RuleBasedBreakIterator> make_uax29_word_iterator() {
  return std::unique_ptr<icu::RuleBasedBreakIterator>(prototype().clone());
}

namespace {

void icu_words_of_piece(std::string_view text, icu::RuleBasedBreakIterator* iterator,
                        std::string* buffer, FunctionRef<void(std::string_view)> fn) {
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  u.toLower(icu::Locale::getRoot());
  iterator->setText(u);
  int32_t start = iterator->first();
  for (int32_t end = iterator->next(); end != icu::BreakIterator::DONE;
       start = end, end = iterator->next()) {
    bool alnum = false;
    for (int32_t i = start; i < end;) {
      const UChar32 c = u.char32At(i);
      if (is_alphanumeric(c)) {
        alnum = true;
        break;
      }
      i += U16_LENGTH(c);
    }
    if (!alnum) continue;
    buffer->clear();
    u.tempSubStringBetween(start, end).toUTF8String(*buffer);
    fn(std::string_view(*buffer));
  }
  static const icu::UnicodeString* const kEmpty = new icu::UnicodeString();
  iterator->setText(*kEmpty);  // drop the reference to `u`
}

}  // namespace

void for_each_icu_word(std::string_view text, icu::RuleBasedBreakIterator* iterator,
                       std::string* buffer, FunctionRef<void(std::string_view)> fn,
                       size_t piece_bytes) {
  piece_bytes = std::max<size_t>(piece_bytes, 4);
  while (!text.empty()) {
    std::string_view piece = text;
    if (piece.size() > piece_bytes) {
      const size_t lf = text.rfind('\n', piece_bytes - 1);
      size_t cut = lf == std::string_view::npos ? piece_bytes : lf + 1;
      // Not inside a character: back up over at most three continuation bytes.
      for (int k = 0; k < 3 && cut > 1 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80;
           ++k) {
        --cut;
      }
      piece = text.substr(0, cut);
    }
    icu_words_of_piece(piece, iterator, buffer, fn);
    text.remove_prefix(piece.size());
  }
}

std::vector<std::string> uax29_segments(std::string_view text) {
  std::unique_ptr<icu::RuleBasedBreakIterator> iterator = make_uax29_word_iterator();
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  iterator->setText(u);
  std::vector<std::string> segments;
  int32_t start = iterator->first();
  for (int32_t end = iterator->next(); end != icu::BreakIterator::DONE;
       start = end, end = iterator->next()) {
    std::string segment;
    u.tempSubStringBetween(start, end).toUTF8String(segment);
    segments.push_back(std::move(segment));
  }
  return segments;
}

}  // namespace bm25::detail
