// KeywordIndex: BM25 keyword search over the searchable texts (text followed
// by rendered metadata, collect_document_text) of an index's documents, keyed
// by the slots of the index's stores.
//
// The index is maintained incrementally: append / replace / erase keep it in
// step with the document store, and every search returns the same slots with
// bit-identical scores as an engine built from scratch over the live
// documents (N and the average length count only live documents whose
// searchable text is non-empty; the average length is the float64 quotient
// rounded to float32). Equal scores come out in ascending slot order, which
// is storage order. An erased slot is dead at once (never returned, out of
// every statistic) and stays numbered until compact() drops it.
//
// Costs: append is O(tokens of the document); replace O(old + new tokens);
// erase O(tokens of the document); compact O(slots + postings); search
// O(postings of the query's terms, counted once per query-token occurrence,
// + candidates * log top_k).
//
// Thread safety: const methods may run concurrently (search keeps its score
// accumulator per thread); mutation needs exclusive access. Ownership: owns
// its statistics and an English tokenizer, never the documents. A mutation
// that runs out of memory (std::bad_alloc) may leave the index half changed:
// the owner rebuilds it.
#ifndef VESK_CORE_HYBRIDSEARCH_KEYWORDSEARCH_H_
#define VESK_CORE_HYBRIDSEARCH_KEYWORDSEARCH_H_

#include <cstddef>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "hybridsearch/top_k.h"
#include "utils/bitmap.h"

namespace vesk {

class KeywordIndex {
 public:
  KeywordIndex();
  ~KeywordIndex();
  KeywordIndex(const KeywordIndex&) = delete;
  KeywordIndex& operator=(const KeywordIndex&) = delete;

  // An index over `texts` (searchable texts, collect_document_text), text i
  // in slot i; slots whose bit is clear in `live` (when given) start dead.
  static std::unique_ptr<KeywordIndex> build(std::span<const std::string_view> texts,
                                             const Bitmap* live);

  // Number of slots, dead ones included.
  size_t size() const;
  // Bytes of memory held (postings, statistics, the index's own tables).
  size_t memory_bytes() const;

  // Adds `text` in a new live slot size().
  void append(std::string_view text);
  // Replaces the live document in `slot`, whose searchable text was
  // `old_text`, by one with searchable text `text`.
  void replace(size_t slot, std::string_view old_text, std::string_view text);
  // Marks the live `slot`, whose searchable text is `old_text`, dead: it is
  // never returned again and leaves the statistics at once.
  void erase(size_t slot, std::string_view old_text);
  // Drops the given dead slots (strictly increasing); later slots move down.
  void compact(std::span<const size_t> dead_slots);

  // At most `top_k` live slots by BM25 score, best first, equal scores by
  // ascending slot, only slots set in `allowed` when it is given. Empty when
  // top_k is 0 or the query is blank.
  std::vector<ScoredSlot> search(std::string_view query, size_t top_k, const Bitmap* allowed) const;

 private:
  struct Rep;
  std::unique_ptr<Rep> rep_;
};

}  // namespace vesk

#endif  // VESK_CORE_HYBRIDSEARCH_KEYWORDSEARCH_H_
