// The tokenizer's third-party data, embedded into the library at build time
// (bm25/CMakeLists.txt, bm25/data/README.md): the deunicode transliteration
// table and the 23 NLTK stop-word lists, each exactly as its file.
//
// Thread safety: constants.
#ifndef VESK_BM25_EMBEDDED_DATA_H_
#define VESK_BM25_EMBEDDED_DATA_H_

#include <span>
#include <string_view>

namespace bm25::data {

// deunicode/pointers.bin: 3 bytes (c0, c1, len) per code point U+0000..U+222DD.
std::string_view deunicode_pointers();
// deunicode/mapping.txt: the texts of the entries longer than two bytes.
std::string_view deunicode_mapping();

struct StopwordFile {
  std::string_view code;  // two-letter code, e.g. "en"
  std::string_view name;  // file name, e.g. "english"
  std::string_view text;  // the file's bytes
};
// The 23 lists, in file-name order.
std::span<const StopwordFile> stopword_files();

}  // namespace bm25::data

#endif  // VESK_BM25_EMBEDDED_DATA_H_
