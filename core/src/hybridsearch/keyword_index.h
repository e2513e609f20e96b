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
// Terms: with Options::exact_terms false a term is the 32-bit hash of a token
// (bm25::TokenEmbedder), so tokens whose hashes collide count as one term, as
// in the reference engine; with exact_terms true distinct token strings are
// distinct terms. Options::language selects the tokenizer's language.
//
// Costs: append is O(tokens of the document); replace O(old + new tokens);
// erase O(tokens of the document) (each posting touched rewrites one block of
// at most PostingList::kMaxBlock postings); compact O(slots + postings).
// search visits the posting blocks of the query's terms, decoding only those
// where a document could still enter the top k (exact dynamic pruning with
// per-block bounds), and scores the surviving documents exactly.
//
// Thread safety: const methods may run concurrently (search keeps its score
// scratch per thread); mutation needs exclusive access. Ownership: owns its
// statistics, postings and tokenizer, never the documents. A mutation
// that runs out of memory (std::bad_alloc) may leave the index half changed:
// the owner rebuilds it.
#ifndef VESK_CORE_HYBRIDSEARCH_KEYWORD_INDEX_H_
#define VESK_CORE_HYBRIDSEARCH_KEYWORD_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "hybridsearch/posting_list.h"
#include "hybridsearch/top_k.h"
#include "language.h"
#include "utils/bitmap.h"
#include "utils/status.h"

namespace vesk {

class KeywordIndex {
 public:
  struct Options {
    bm25::Language language = bm25::Language::English;
    bool exact_terms = false;
  };

  KeywordIndex() : KeywordIndex(Options()) {}
  explicit KeywordIndex(Options options);
  ~KeywordIndex();
  KeywordIndex(const KeywordIndex&) = delete;
  KeywordIndex& operator=(const KeywordIndex&) = delete;

  // An index over `texts` (searchable texts, collect_document_text), text i
  // in slot i; slots whose bit is clear in `live` (when given) start dead.
  static std::unique_ptr<KeywordIndex> build(std::span<const std::string_view> texts,
                                             const Bitmap* live) {
    return build(texts, live, Options());
  }
  static std::unique_ptr<KeywordIndex> build(std::span<const std::string_view> texts,
                                             const Bitmap* live, Options options);

  // Number of slots, dead ones included.
  size_t size() const;
  // Bytes of memory held (postings, document lengths, the term dictionary,
  // the index's own tables); not the per-thread search scratch.
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

  // What BM25 needs of the indexed documents for one query besides each
  // document's own term frequencies and length: the live documents with a
  // non-empty searchable text, their tokens summed, and for each distinct
  // term of the query (in order of first occurrence, terms told apart as
  // this index tells them apart) how many of those documents hold it. The
  // statistics of several indexes add up, field by field, to those of one
  // index over all their documents.
  struct Statistics {
    uint64_t documents = 0;
    uint64_t tokens = 0;
    std::vector<uint64_t> document_frequencies;
  };
  // This index's statistics for `query`.
  Statistics statistics(std::string_view query) const;
  // search() scoring with `statistics` instead of this index's own: the
  // scores one index over a larger set of documents with those statistics
  // gives these documents, bit for bit. REQUIRES:
  // statistics.document_frequencies has one entry per distinct query term.
  std::vector<ScoredSlot> search(std::string_view query, size_t top_k, const Bitmap* allowed,
                                 const Statistics& statistics) const;

  // Saving and restoring without tokenizing (collection files). A term's
  // key is its token with exact_terms, else its 32-bit hash as 4
  // little-endian bytes. lengths() holds the tokens per slot (0 for dead
  // slots); indexed_count() the live slots whose searchable text is not
  // empty (N above).
  std::span<const uint32_t> lengths() const;
  uint64_t indexed_count() const;
  // Calls fn(key, postings) for every term that has postings, the postings
  // ascending by slot.
  void for_each_term(
      const std::function<void(std::string_view key, std::span<const Posting> postings)>& fn) const;
  // The index whose slots have `lengths`, whose indexed_count() is
  // `indexed`, and whose terms are those next(&key, &postings) gives until
  // it returns false (what for_each_term gave, slots possibly renumbered in
  // order). Fails with InvalidArgument when they cannot be an index's: a
  // slot out of range or not ascending, a frequency of 0, a repeated or
  // malformed key, frequencies per slot that do not add up to its length,
  // `indexed` below the slots with tokens or above the slots. The texts
  // later given to replace() and erase() must be those the terms came from.
  static Result<std::unique_ptr<KeywordIndex>> restore(
      Options options, std::vector<uint32_t> lengths, uint64_t indexed,
      const std::function<bool(std::string_view* key, std::span<const Posting>* postings)>& next);

 private:
  struct Rep;
  std::vector<ScoredSlot> search(std::string_view query, size_t top_k, const Bitmap* allowed,
                                 const Statistics* given) const;
  std::unique_ptr<Rep> rep_;
};

}  // namespace vesk

#endif  // VESK_CORE_HYBRIDSEARCH_KEYWORD_INDEX_H_
