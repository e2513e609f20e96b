// Index: the in-memory hybrid search index behind one Python `Index` object.
//
// It owns its documents in storage order, a parallel EmbeddingStore (embedding
// i belongs to document i), its name, model, dimension, version, two
// timestamps and a keyword index kept up to date with every change.
//
// Storage order is insertion order; an upsert keeps a document's position and
// deleting closes the gap without reordering. Internally every document lives
// in a slot of the document table, the embedding store and the keyword index
// alike; a delete only marks slots dead, and once dead slots make up a quarter
// of all slots the three stores drop them together (compaction), so a delete
// costs O(1) amortised instead of moving every later document. add_documents never stores a
// second document under an id already present, but an index loaded from a
// SerializedIndex may hold repeated ids; every operation is defined for them.
//
// Thread safety: none. Const methods may run concurrently with each other;
// everything else needs exclusive access (the binding's access cell enforces
// this). Ownership: all inputs are copied in; all results are new values that
// never alias the index's storage. An Index is neither copyable nor movable.
#ifndef VESK_CORE_INDEX_INDEX_H_
#define VESK_CORE_INDEX_INDEX_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "hybridsearch/keyword_index.h"
#include "models/document_info.h"
#include "models/embedding_batch.h"
#include "models/index_info.h"
#include "models/options.h"
#include "models/search_result.h"
#include "models/serialized_index.h"
#include "models/vesk_model.h"
#include "store/document_table.h"
#include "store/embedding_store.h"
#include "utils/bitmap.h"
#include "utils/status.h"

namespace vesk {

// The current UTC time as YYYY-MM-DDTHH:MM:SSZ (fraction of the second dropped).
std::string now_iso();

// Bytes of memory an index holds, by part.
struct MemoryUsage {
  size_t documents = 0;  // ids, texts and metadata
  size_t id_index = 0;   // id -> slot table and the live bitmap
  size_t embeddings = 0;
  size_t keyword_index = 0;
};

struct AddCounts {
  uint64_t added = 0;
  uint64_t updated = 0;
};

class Index {
 public:
  // A new, empty index for `model` (dimension 384 or 1024, version
  // DEFAULT_VERSION, created_at == updated_at == now_iso()).
  Index(std::string name, VeskModel model);
  ~Index();

  Index(const Index&) = delete;
  Index& operator=(const Index&) = delete;

  IndexInfo get_info() const;
  uint64_t doc_count() const { return docs_.live_count(); }
  MemoryUsage memory_usage() const;

  // Adds or upserts `docs` with `embeddings` (embedding i for document i).
  // Fails with InvalidArgument, changing nothing, when the sizes differ.
  // Otherwise an existing id (first
  // match in storage order, including documents added earlier in this call)
  // is replaced in place when upserting (the default) or skipped, a new id is
  // appended; updated_at is refreshed even when nothing was added or updated.
  // Any other failure (std::bad_alloc) leaves the index exactly as it was.
  Result<AddCounts> add_documents(std::vector<DocumentInfo> docs, const EmbeddingBatch& embeddings,
                                  const AddDocumentsOptions* options);

  // Removes every stored document whose id is among `doc_ids` (each stored
  // match counts). Returns the number removed; updated_at changes only when
  // something was removed. Cannot fail.
  uint64_t delete_documents(std::span<const std::string> doc_ids);

  // Copies of the stored documents in storage order, only those whose id is
  // in options->doc_ids when that is present. Cannot fail.
  std::vector<DocumentInfo> get_documents(const GetDocumentsOptions* options) const;

  // Removes all documents and embeddings, refreshes updated_at and drops the
  // keyword index. On failure (std::bad_alloc) nothing changes.
  void clear();

  // Hybrid query. `alpha` >= 1 gives the embedding ranking, <= 0 the keyword
  // ranking (`query_embedding` unused), anything between their weighted
  // reciprocal rank fusion. Fails with Internal on a vector length mismatch,
  // unorderable (NaN) embedding scores or a NaN alpha. A failed query changes
  // nothing.
  Result<SearchResult> query(std::string_view query, uint64_t top_k,
                             std::span<const float> query_embedding, float alpha) const;

  // The persisted form: name, version, model, dimension, all embeddings and
  // all ids in storage order. Cannot fail.
  SerializedIndex serialize() const;

  // Replaces the contents with `data`'s ids (empty text, empty metadata) and
  // embeddings. Fails with InvalidArgument on a blank name or mismatched
  // lengths (nothing changed), or on an unknown model id (the name, and the
  // version when not blank, have already been replaced).
  Status deserialize(const SerializedIndex& data);

 private:
  // Rebuilds the keyword index over the current documents after a failed
  // incremental update, or leaves the slot absent when that fails too.
  void restore_keyword_index() noexcept;
  // A keyword index over every slot, dead slots dead.
  std::unique_ptr<KeywordIndex> build_keyword_index() const;
  std::vector<std::string> searchable_texts() const;
  // The keyword index, built over the current documents when the slot is
  // absent; every change then keeps it in step incrementally.
  KeywordIndex* keyword_index();
  // Drops the dead slots from every store once they make up a quarter of the
  // slots. Invisible: positions, answers and scores stay the same. When
  // memory runs out it leaves everything as it was and waits.
  void maybe_compact() noexcept;
  void clear_storage() noexcept;
  std::vector<QueryResultDocumentInfo> to_results(std::span<const ScoredSlot> found) const;
  // Marks the embedding in `slot` as given (after an upsert).
  void set_embedding_present(size_t slot) noexcept;

  std::string name_;
  VeskModel model_;
  uint64_t dimension_;
  std::string version_;
  DocumentTable docs_;
  EmbeddingStore embeddings_;
  // Documents loaded from a SerializedIndex without embeddings have an empty
  // placeholder in embeddings_ and a set bit here (by slot) until they are
  // upserted; missing_embeddings_ counts the live ones. The bitmap is kept in
  // step with the slots only while that count is not 0.
  Bitmap missing_;
  size_t missing_embeddings_ = 0;
  std::unique_ptr<KeywordIndex> keyword_index_;
  std::string created_at_;
  std::string updated_at_;
};

}  // namespace vesk

#endif  // VESK_CORE_INDEX_INDEX_H_
