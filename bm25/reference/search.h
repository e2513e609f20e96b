// SearchEngine: Okapi BM25 keyword search over a set of documents, each a
// caller's key and a text.
//
// SearchEngineBuilder::with_documents fits the average document length over
// the given texts (every given document counts, a repeated key too), build()
// embeds and indexes them in order (a later document with a repeated key
// replaces the earlier one), and search() ranks the documents that share at
// least one token dimension with the query. Results are ordered by score,
// highest first; equal scores come out in ascending key order, so answers are
// reproducible.
//
// Thread safety: a built engine is read-only for search(), which may run on
// several threads at once; upsert and remove need exclusive access.
// Ownership: the engine owns a copy of every document text, its Scorer and
// its Embedder (which owns the tokenizer). Results are copies.
#ifndef VESK_BM25_SEARCH_H_
#define VESK_BM25_SEARCH_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "embedder.h"
#include "language.h"
#include "scorer.h"

namespace bm25 {

// A document as given to the engine and as returned by it.
struct Document {
  size_t id = 0;
  std::string contents;

  friend bool operator==(const Document&, const Document&) = default;
};

// One answer of SearchEngine::search.
struct SearchResult {
  Document document;
  float score = 0.0f;
};

class SearchEngine;

class SearchEngineBuilder {
 public:
  // Prepares an engine over `documents` for `language`: a tokenizer with
  // normalization, stemming and stop words on, k1 = 1.2, b = 0.75 and the
  // average token count of the documents (float64 quotient rounded to
  // float32; 256 when there are none). Never fails.
  static SearchEngineBuilder with_documents(Language language, std::vector<Document> documents);

  SearchEngineBuilder(SearchEngineBuilder&&) noexcept = default;
  SearchEngineBuilder& operator=(SearchEngineBuilder&&) noexcept = default;

  // Embeds and indexes the documents in the order given. Never fails.
  SearchEngine build() &&;

  float k1() const { return k1_; }
  float b() const { return b_; }
  float avgdl() const { return avgdl_; }

 private:
  SearchEngineBuilder(DefaultTokenizer tokenizer, std::vector<Document> documents, float avgdl);

  DefaultTokenizer tokenizer_;
  std::vector<Document> documents_;
  float k1_;
  float b_;
  float avgdl_;
};

class SearchEngine {
 public:
  SearchEngine(SearchEngine&&) noexcept = default;
  SearchEngine& operator=(SearchEngine&&) noexcept = default;

  // At most `limit` documents that share a token dimension with `query`, by
  // BM25 score, highest first; equal scores in ascending id order. Empty for
  // a query without tokens or a limit of 0. Never fails.
  std::vector<SearchResult> search(std::string_view query, size_t limit) const;

  // Adds `document`, replacing any document with the same id. The average
  // document length stays as fitted by the builder.
  void upsert(Document document);

  // Forgets the document `id`; does nothing when it is unknown.
  void remove(size_t id);

  // Number of documents.
  size_t size() const { return documents_.size(); }

  const Scorer& scorer() const { return scorer_; }
  const Embedder& embedder() const { return embedder_; }
  const std::unordered_map<size_t, std::string>& documents() const { return documents_; }

 private:
  friend class SearchEngineBuilder;
  explicit SearchEngine(Embedder embedder);

  Scorer scorer_;
  std::unordered_map<size_t, std::string> documents_;
  Embedder embedder_;
};

}  // namespace bm25

#endif  // VESK_BM25_SEARCH_H_
