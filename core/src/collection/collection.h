// Collection: an in-memory collection of documents (id, text, typed metadata,
// an optional embedding of a fixed dimension) with filtered keyword, dense and
// fused search. It is the engine behind the Python package's Collection.
//
// Every document lives in a slot of four parallel stores: the document table
// (id and text), the metadata columns, the embedding store and the keyword
// index (over the trimmed text only, tokenized in the collection's language,
// distinct token strings kept as distinct terms; metadata serves filters, not
// keyword search).
// Slots keep insertion order; an upsert keeps the slot. A delete marks the
// slot dead, and once dead slots make up a quarter of all slots every store
// drops them together (compaction), which changes no answer. A document added
// without an embedding holds zeros in the embedding store and is left out of
// dense search by a bitmap.
//
// Answers: a keyword search ranks by BM25 with the statistics of the whole
// collection (a filter narrows the candidates, never the statistics); a dense
// search ranks by inner product; equal scores come out in slot order. With the
// same English documents, no metadata and no filter both agree bit for bit
// with vesk::Index (as long as no two distinct tokens share a 32-bit
// hash, which Index merges), and a fused search whose depth equals k agrees
// with Index::query at the same alpha.
//
// Failure: add fails with InvalidArgument on inconsistent input and changes
// nothing; otherwise it is all-or-nothing also when memory runs out (it plans,
// reserves, then commits with steps that cannot fail; std::bad_alloc
// propagates with the collection unchanged). Searches fail with
// InvalidArgument on bad arguments and with Internal when scores cannot be
// ordered (an inner product overflowed to NaN).
//
// Thread safety: every method may be called from any thread at any time; a
// std::shared_mutex lets reads (search, get, explain, ...) run concurrently
// and gives writes (add, remove, clear) exclusive access; a waiting writer
// goes before readers that arrive after it. Dense searches running at the
// same time share their reads of the embeddings (SharedScan). Ownership:
// inputs are copied or moved in; results are new values; a given ThreadPool
// is borrowed.
#ifndef VESK_CORE_COLLECTION_COLLECTION_H_
#define VESK_CORE_COLLECTION_COLLECTION_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "collection/filter.h"
#include "collection/metadata_columns.h"
#include "collection/metadata_value.h"
#include "default_tokenizer.h"
#include "hybridsearch/keyword_index.h"
#include "hybridsearch/shared_scan.h"
#include "hybridsearch/thread_pool.h"
#include "language.h"
#include "store/document_table.h"
#include "store/embedding_store.h"
#include "utils/bitmap.h"
#include "utils/status.h"

namespace vesk {

// A document as given to add().
struct CollectionDocument {
  std::string id;
  std::string text;
  TypedMetadata metadata;
};

// A stored document as returned by get().
struct StoredDocument {
  std::string id;
  std::string text;
  TypedMetadata metadata;
};

// One result of a search. keyword_rank / dense_rank are 1-based positions in
// that side's candidate list, absent when the side did not run or did not
// list the document.
struct CollectionHit {
  std::string id;
  std::string text;
  TypedMetadata metadata;
  float score = 0.0f;
  std::optional<uint32_t> keyword_rank;
  std::optional<float> keyword_score;
  std::optional<uint32_t> dense_rank;
  std::optional<float> dense_score;
};

// What BM25 needs of a set of documents for one query (see
// KeywordIndex::Statistics; distinct token strings are distinct terms here).
// The statistics of several collections add up, field by field, to those of
// one collection holding all their documents.
using KeywordStatistics = KeywordIndex::Statistics;

// A search: text and/or vector (at least one), k results, alpha the weight of
// the dense side in [0, 1], each side's candidate list max(depth, k) long when
// both run, an optional filter. With `statistics` the keyword side scores with
// them instead of this collection's own (a collection that holds one part of
// a larger set of documents then scores as the whole set would).
struct SearchRequest {
  std::optional<std::string_view> text;
  std::optional<std::span<const float>> vector;
  size_t k = 10;
  float alpha = 0.5f;
  const Filter* filter = nullptr;
  size_t depth = 100;
  const KeywordStatistics* statistics = nullptr;
};

// Why a document scores what it does for a query.
struct Explanation {
  struct Term {
    std::string term;     // the token as the tokenizer produced it
    uint32_t tf = 0;      // occurrences in the document
    float idf = 0.0f;     // over the live documents
    float weight = 0.0f;  // idf * the saturated term frequency: one occurrence's share
  };
  struct Keyword {
    std::vector<Term> terms;  // the query's distinct tokens in query order
    uint32_t length = 0;      // tokens in the document
    float avgdl = 0.0f;
    float score = 0.0f;  // the BM25 score, summed in query-token order
    std::optional<uint32_t> rank;
  };
  struct Dense {
    float score = 0.0f;  // the inner product
    std::optional<uint32_t> rank;
  };
  std::string id;
  std::optional<Keyword> keyword;  // when the keyword side runs
  std::optional<Dense> dense;      // when the dense side runs and the document has an embedding
  std::optional<float> fused;      // when both sides run (0 when listed by neither)
};

struct CollectionAddCounts {
  uint64_t added = 0;
  uint64_t updated = 0;
};

class Collection {
 public:
  // The names of the languages a collection can tokenize ("english", ...).
  static std::vector<std::string> language_names();
  // The language called `name`, or InvalidArgument listing the known names.
  static Result<bm25::Language> parse_language(std::string_view name);

  // An empty collection of embeddings of `dim` values. Searches split their
  // scans over `pool` when one is given (it must outlive the collection); the
  // answers are the same. REQUIRES: dim > 0.
  Collection(size_t dim, bm25::Language language, ThreadPool* pool = nullptr);
  ~Collection();
  Collection(const Collection&) = delete;
  Collection& operator=(const Collection&) = delete;

  size_t dim() const { return dim_; }
  bm25::Language language() const { return language_; }
  size_t size() const;
  bool contains(std::string_view id) const;

  // Adds `docs`; `embeddings` holds docs.size() * dim() values row by row, or
  // nothing for documents without embeddings. A known id is replaced in place
  // (metadata and embedding included) when `upsert`, skipped otherwise; a
  // repeated id within `docs` is added once and takes its last occurrence
  // (counted as an update) when `upsert`, its first otherwise. Fails with
  // InvalidArgument, changing nothing, when `embeddings` has another size or a
  // value that is not finite, or when a document repeats a metadata key.
  Result<CollectionAddCounts> add(std::vector<CollectionDocument> docs,
                                  std::span<const float> embeddings, bool upsert);
  // Removes the documents with these ids; returns how many were stored.
  uint64_t remove(std::span<const std::string> ids);
  // The stored documents with these ids, std::nullopt for unknown ids.
  std::vector<std::optional<StoredDocument>> get(std::span<const std::string> ids) const;
  void clear();

  // The best request.k documents. Fails with InvalidArgument when neither
  // text nor vector is given, when alpha is outside [0, 1] or NaN, when the
  // vector does not have dim() values or one is not finite.
  Result<std::vector<CollectionHit>> search(const SearchRequest& request) const;
  // One search per query: `texts` (empty, or one per query) and `vectors`
  // (empty, or count * dim() values), `count` queries, the other fields of
  // `shared` (its text, vector and statistics are ignored) shared by all;
  // `statistics` is empty or holds each query's keyword statistics. The same
  // answers as search() one by one; the embeddings are read once per group
  // of queries, and with a pool the keyword searches run on its threads.
  Result<std::vector<std::vector<CollectionHit>>> search_batch(
      std::span<const std::string> texts, std::span<const float> vectors, size_t count,
      const SearchRequest& shared, std::span<const KeywordStatistics> statistics = {}) const;
  // This collection's keyword statistics for each of `texts`.
  std::vector<KeywordStatistics> keyword_statistics(std::span<const std::string> texts) const;
  // Explains document `id` for the query (request.filter and request.k are
  // ignored; each side's rank is the position in its top request.depth
  // candidates). Fails with InvalidArgument for an unknown id and as search()
  // does. Without request.statistics it costs a pass over the tokens of
  // every document (the statistics are recounted).
  Result<Explanation> explain(std::string_view id, const SearchRequest& request) const;

  // True while the embeddings are read in place from a loaded file.
  bool embeddings_borrowed_for_test() const { return embeddings_.borrowed(); }

 private:
  // Saves and loads the stores whole (collection/collection_file.h).
  friend class CollectionFile;
  struct Sides;
  std::shared_lock<std::shared_mutex> read_lock() const;
  std::unique_lock<std::shared_mutex> write_lock();
  // The hits of a search whose candidate lists were found (under the
  // caller's shared lock).
  Result<std::vector<CollectionHit>> assemble(const SearchRequest& request,
                                              const std::vector<ScoredSlot>& keyword,
                                              const std::vector<ScoredSlot>& dense) const;
  // The slots the dense side may return: live with an embedding, admitted by
  // `filtered` when given; null for every slot. Uses *storage when needed.
  const Bitmap* dense_allowed(const Bitmap* filtered, Bitmap* storage) const;
  Status check_request(const SearchRequest& request) const;
  Sides sides(const SearchRequest& request) const;
  // The slots the filter admits among the live ones, or null without filter.
  std::unique_ptr<Bitmap> filtered_slots(const Filter* filter) const;
  Result<std::vector<ScoredSlot>> dense_candidates(std::span<const float> vector, size_t n,
                                                   const Bitmap* filtered) const;
  std::vector<ScoredSlot> keyword_candidates(std::string_view text, size_t n,
                                             const Bitmap* filtered,
                                             const KeywordStatistics* statistics) const;
  // The distinct terms of `text` in order of first occurrence, as tokenized
  // for the keyword index, with the tokens in order as indices into them.
  void query_terms(std::string_view text, std::vector<std::string>* terms,
                   std::vector<size_t>* sequence) const;
  // InvalidArgument unless `statistics` has one document frequency per
  // distinct term of `text`.
  Status check_statistics(std::string_view text, const KeywordStatistics& statistics) const;
  std::unique_ptr<KeywordIndex> build_keyword_index() const;
  // A keyword index over `texts`, the text of every slot (all live).
  std::unique_ptr<KeywordIndex> build_keyword_index(std::span<const std::string_view> texts) const;
  void restore_keyword_index() noexcept;
  void maybe_compact() noexcept;
  void clear_storage(std::unique_ptr<KeywordIndex> fresh) noexcept;
  // The options of this collection's keyword index.
  KeywordIndex::Options keyword_index_options() const;
  // An empty keyword index for this collection's language.
  std::unique_ptr<KeywordIndex> new_keyword_index() const;

  const size_t dim_;
  const bm25::Language language_;
  ThreadPool* const pool_;
  // The keyword index's tokenization, for explain().
  const bm25::DefaultTokenizer tokenizer_;
  // Readers share mutex_, writers hold it alone. A writer holds turnstile_
  // while it waits, and readers pass the turnstile before they take their
  // share, so a stream of searches cannot starve a writer.
  mutable std::mutex turnstile_;
  mutable std::shared_mutex mutex_;
  DocumentTable docs_;
  MetadataColumns metadata_;
  EmbeddingStore embeddings_;
  Bitmap embedded_;  // by slot: live with an embedding
  size_t embedded_count_ = 0;
  // Null only after a failed rebuild (out of memory); searches then build a
  // temporary one and the next change builds it again.
  std::unique_ptr<KeywordIndex> keyword_index_;
  // Concurrent dense searches read the embeddings together through it.
  mutable SharedScan shared_scan_;
};

}  // namespace vesk

#endif  // VESK_CORE_COLLECTION_COLLECTION_H_
