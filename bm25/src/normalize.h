// Internals of normalize() (declared in default_tokenizer.h): UTF-8 decoding
// and the deunicode table.
//
// Thread safety: pure functions over constant data.
#ifndef VESK_BM25_NORMALIZE_H_
#define VESK_BM25_NORMALIZE_H_

#include <cstddef>
#include <optional>
#include <string_view>

namespace bm25::detail {

// The last code point the deunicode table covers.
inline constexpr char32_t kDeunicodeLast = 0x222DD;
// The number of table entries (U+0000..U+222DD).
inline constexpr size_t kDeunicodeEntries = 139998;
// What a character without transliteration becomes.
inline constexpr std::string_view kPlaceholder = "[?]";

// The published table entry of `cp`: its text (possibly empty), or nullopt
// when the code point has no transliteration. No mend applied.
std::optional<std::string_view> deunicode_entry(char32_t cp);

// What normalize() writes for `cp` after the ASCII prefix: the table entry,
// except that tab, LF, VT, FF and CR keep themselves, and "[?]" for none.
std::string_view transliteration(char32_t cp);

// Decodes one character of `text` at `pos` (pos < text.size()); *length gets
// the bytes consumed. An ill-formed sequence decodes as U+FFFD and consumes
// its maximal well-formed prefix (at least one byte), as Unicode recommends.
char32_t decode_utf8(std::string_view text, size_t pos, size_t* length);

}  // namespace bm25::detail

#endif  // VESK_BM25_NORMALIZE_H_
