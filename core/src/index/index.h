// Index: the in-memory hybrid search index behind one Python `Index` object.
//
// It owns its documents in storage order, a parallel EmbeddingStore (embedding
// i belongs to document i), its name, model, dimension, version, two
// timestamps and a keyword index kept up to date with every change.
//
// Storage order is insertion order; an upsert keeps a document's position and
// deleting closes the gap without reordering. add_documents never stores a
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

#include "hybridsearch/keywordsearch.h"
#include "index/document_table.h"
#include "index/embedding_store.h"
#include "models/document_info.h"
#include "models/embedding_batch.h"
#include "models/index_info.h"
#include "models/options.h"
#include "models/search_result.h"
#include "models/serialized_index.h"
#include "models/vesk_model.h"
#include "utils/status.h"

namespace vesk {

// The current UTC time as YYYY-MM-DDTHH:MM:SSZ (fraction of the second dropped).
std::string now_iso();

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
  uint64_t doc_count() const { return docs_.size(); }

  // Adds or upserts `docs` with `embeddings` (embedding i for document i).
  // Fails with InvalidArgument, changing nothing, when `embeddings` is null
  // or its size differs from docs.size(). Otherwise an existing id (first
  // match in storage order, including documents added earlier in this call)
  // is replaced in place when upserting (the default) or skipped, a new id is
  // appended; updated_at is refreshed even when nothing was added or updated.
  Result<AddCounts> add_documents(std::vector<DocumentInfo> docs, const EmbeddingBatch* embeddings,
                                  const AddDocumentsOptions* options);

  // Removes every stored document whose id is among `doc_ids` (each stored
  // match counts). Returns the number removed; updated_at changes only when
  // something was removed. Cannot fail.
  uint64_t delete_documents(std::span<const std::string> doc_ids);

  // Copies of the stored documents in storage order, only those whose id is
  // in options->doc_ids when that is present. Cannot fail.
  std::vector<DocumentInfo> get_documents(const GetDocumentsOptions* options) const;

  // Removes all documents and embeddings, refreshes updated_at and drops the
  // keyword index. Cannot fail.
  void clear();

  // Hybrid query. `query_embedding` null means absent. `alpha` >= 1 gives the
  // embedding ranking, <= 0 the keyword ranking, anything between their
  // weighted reciprocal rank fusion. Fails with InvalidArgument when the
  // semantic side must run and `query_embedding` is null, and with Internal
  // on a vector length mismatch, unorderable (NaN) embedding scores or a NaN
  // alpha. A failed query changes nothing.
  Result<SearchResult> query(std::string_view query, uint64_t top_k,
                             const std::vector<float>* query_embedding, float alpha) const;

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
  // The keyword index, built over the current documents when the slot is
  // absent; every change then keeps it in step incrementally.
  KeywordIndex* keyword_index();
  // Dense search over the documents that have an embedding.
  Result<std::vector<QueryResultDocumentInfo>> semantic_search(
      std::span<const float> query_embedding, uint64_t top_k) const;
  // Marks the embedding at `pos` as given (after an upsert).
  void set_embedding_present(size_t pos) noexcept;

  std::string name_;
  VeskModel model_;
  uint64_t dimension_;
  std::string version_;
  DocumentTable docs_;
  EmbeddingStore embeddings_;
  // Documents loaded from a SerializedIndex without embeddings have an empty
  // placeholder in embeddings_ and a set bit here until they are upserted.
  // Both are empty while every document has its embedding.
  std::vector<bool> missing_;
  size_t missing_embeddings_ = 0;
  std::unique_ptr<KeywordIndex> keyword_index_;
  std::string created_at_;
  std::string updated_at_;
};

}  // namespace vesk

#endif  // VESK_CORE_INDEX_INDEX_H_
