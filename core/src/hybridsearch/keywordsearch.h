// KeywordIndex: BM25 keyword search over the searchable text (text followed by
// rendered metadata) of an index's documents, keyed by document position.
//
// The index is maintained incrementally: append / replace / erase keep it in
// step with the document store, and every search returns the same documents
// with bit-identical scores as an index built from scratch over the current
// documents (N and the average length count only documents whose searchable
// text is non-empty; the average length is the float64 quotient rounded to
// float32). Equal scores come out in ascending position. It keeps per-document
// token statistics but no copy of the documents: search is given them.
//
// Costs: append is O(tokens of the document); replace O(old + new tokens);
// erase O(tokens of the erased documents + documents after the first erased
// position), once per call; search O(postings of the query's terms, counted
// once per query-token occurrence, + candidates * log top_k).
//
// Thread safety: const methods may run concurrently (search keeps its score
// accumulator per thread); mutation needs exclusive access. Ownership: owns
// its statistics and an English tokenizer, never the documents.
#ifndef VESK_CORE_HYBRIDSEARCH_KEYWORDSEARCH_H_
#define VESK_CORE_HYBRIDSEARCH_KEYWORDSEARCH_H_

#include <cstddef>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "models/document_info.h"

namespace vesk {

class KeywordIndex {
 public:
  KeywordIndex();
  ~KeywordIndex();
  KeywordIndex(const KeywordIndex&) = delete;
  KeywordIndex& operator=(const KeywordIndex&) = delete;

  // An index over `docs`, document i at position i.
  static std::unique_ptr<KeywordIndex> build(std::span<const DocumentInfo> docs);

  // Number of positions (documents with empty searchable text included).
  size_t size() const;

  // Adds `doc` at position size().
  void append(const DocumentInfo& doc);
  // Replaces the document at `pos`. REQUIRES: pos < size().
  void replace(size_t pos, const DocumentInfo& doc);
  // Removes the given positions (strictly increasing, each < size()); later
  // positions move down.
  void erase(std::span<const size_t> positions);

  // At most `top_k` documents by BM25 score, best first, with copies of the
  // id, text and metadata of `docs[position]`. Empty when top_k is 0 or the
  // query is blank. REQUIRES: docs.size() == size() and docs are the
  // documents this index was kept in step with.
  std::vector<QueryResultDocumentInfo> search(std::string_view query, size_t top_k,
                                              std::span<const DocumentInfo> docs) const;

 private:
  struct Rep;
  std::unique_ptr<Rep> rep_;
};

}  // namespace vesk

#endif  // VESK_CORE_HYBRIDSEARCH_KEYWORDSEARCH_H_
