// Scorer: the BM25 scoring state of a search engine. It keeps every
// document's SparseEmbedding and an inverted index from token dimension to the
// documents whose embedding holds that dimension.
//
// The score of a document for a query is the sum, over the query's entries in
// order (repeats included), of idf(N, n) times the document's weight for the
// entry's dimension, where N is the number of documents and n the number of
// documents holding that dimension.
//
// Each document set of the inverted index is a vector without repeats, in the
// order the documents were added: adding is an append, iterating is a scan,
// and removing one document costs a scan of the sets of its dimensions.
//
// Thread safety: const methods may run concurrently; upsert and remove need
// exclusive access. Ownership: owns its embeddings and index.
#ifndef VESK_BM25_SCORER_H_
#define VESK_BM25_SCORER_H_

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "embedder.h"

namespace bm25 {

class Scorer {
 public:
  using DocumentId = size_t;

  Scorer() = default;

  // Stores `embedding` for `id`, replacing any earlier one, and records `id`
  // under every dimension of the embedding. Never fails.
  void upsert(DocumentId id, SparseEmbedding embedding);

  // Forgets the embedding of `id` and takes `id` out of the sets of its
  // dimensions. Sets that become empty stay in the index. Does nothing when
  // `id` is unknown.
  void remove(DocumentId id);

  // The BM25 score of the document embedding `doc` for the query embedding
  // `query`: 0.0 for an empty query. A term's weight in `doc` is the value of
  // the first entry with its dimension, 0.0 when there is none. Only the
  // query's dimensions are used, not its values.
  float score_(const SparseEmbedding& doc, const SparseEmbedding& query) const;

  // The idf of every entry of `query`, in order, for the current documents.
  std::vector<float> query_idfs(const SparseEmbedding& query) const;

  // score_(doc, query) given idfs == query_idfs(query); the same arithmetic
  // without looking the document frequencies up again for every document.
  static float score_with_idfs(const SparseEmbedding& doc, const SparseEmbedding& query,
                               const std::vector<float>& idfs);

  // Number of documents (N).
  size_t size() const { return embeddings_.size(); }

  const std::unordered_map<DocumentId, SparseEmbedding>& embeddings() const { return embeddings_; }
  const std::unordered_map<uint32_t, std::vector<DocumentId>>& inverted_token_index() const {
    return inverted_token_index_;
  }

 private:
  std::unordered_map<DocumentId, SparseEmbedding> embeddings_;
  std::unordered_map<uint32_t, std::vector<DocumentId>> inverted_token_index_;
};

}  // namespace bm25

#endif  // VESK_BM25_SCORER_H_
