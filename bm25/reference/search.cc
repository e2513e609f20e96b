#include "search.h"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace bm25 {

SearchEngineBuilder::SearchEngineBuilder(DefaultTokenizer tokenizer,
                                         std::vector<Document> documents, float avgdl)
    : tokenizer_(std::move(tokenizer)),
      documents_(std::move(documents)),
      k1_(kK1),
      b_(kB),
      avgdl_(avgdl) {}

SearchEngineBuilder SearchEngineBuilder::with_documents(Language language,
                                                        std::vector<Document> documents) {
  DefaultTokenizer tokenizer = DefaultTokenizerBuilder()
                                   .normalization(true)
                                   .stemming(true)
                                   .stopwords(true)
                                   .language(language)
                                   .build();
  uint64_t total = 0;
  for (const Document& document : documents) {
    tokenizer.for_each_token(document.contents, [&total](std::string_view) { ++total; });
  }
  const float avgdl = average_length(total, documents.size());
  return SearchEngineBuilder(std::move(tokenizer), std::move(documents), avgdl);
}

SearchEngine SearchEngineBuilder::build() && {
  SearchEngine engine(Embedder(std::move(tokenizer_), k1_, b_, avgdl_));
  for (Document& document : documents_) engine.upsert(std::move(document));
  documents_.clear();
  return engine;
}

SearchEngine::SearchEngine(Embedder embedder) : embedder_(std::move(embedder)) {}

void SearchEngine::upsert(Document document) {
  SparseEmbedding embedding = embedder_.embed(document.contents);
  remove(document.id);
  documents_[document.id] = std::move(document.contents);
  scorer_.upsert(document.id, std::move(embedding));
}

void SearchEngine::remove(size_t id) {
  documents_.erase(id);
  scorer_.remove(id);
}

std::vector<SearchResult> SearchEngine::search(std::string_view query, size_t limit) const {
  std::vector<SearchResult> results;
  if (limit == 0) return results;
  const SparseEmbedding query_embedding = embedder_.embed(query);
  if (query_embedding.empty()) return results;

  // Candidates: every document sharing a dimension with the query, each once.
  const auto& inverted = scorer_.inverted_token_index();
  std::vector<size_t> candidates;
  for (const TokenWeight& q : query_embedding) {
    auto set = inverted.find(q.index);
    if (set != inverted.end())
      candidates.insert(candidates.end(), set->second.begin(), set->second.end());
  }
  std::sort(candidates.begin(), candidates.end());
  candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());

  struct Scored {
    size_t id;
    float score;
  };
  std::vector<Scored> scored;
  scored.reserve(candidates.size());
  const auto& embeddings = scorer_.embeddings();
  const std::vector<float> idfs = scorer_.query_idfs(query_embedding);
  for (size_t id : candidates) {
    auto it = embeddings.find(id);
    if (it == embeddings.end()) continue;
    scored.push_back(Scored{id, Scorer::score_with_idfs(it->second, query_embedding, idfs)});
  }

  // Highest score first; ties in ascending id. Only the first `limit` pairs
  // are ordered.
  auto better = [](const Scored& x, const Scored& y) {
    if (x.score != y.score) return x.score > y.score;
    return x.id < y.id;
  };
  const size_t taken = std::min(limit, scored.size());
  std::partial_sort(scored.begin(), scored.begin() + taken, scored.end(), better);

  results.reserve(taken);
  for (size_t i = 0; i < taken; ++i) {
    auto doc = documents_.find(scored[i].id);
    if (doc == documents_.end()) continue;
    results.push_back(SearchResult{Document{doc->first, doc->second}, scored[i].score});
  }
  return results;
}

}  // namespace bm25
