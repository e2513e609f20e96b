#include "collection/collection.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "bm25_math.h"
#include "hybridsearch/embedding_search.h"
#include "hybridsearch/fusion.h"
#include "stopwords.h"
#include "store/upsert_plan.h"
#include "utils/unicode_space.h"

namespace vesk {

namespace {

constexpr size_t kRankConstant = 60;

// Distinct token strings stay distinct terms (vesk_core keys terms by their
// 32-bit hash, which merges colliding tokens); explain() follows the index.
constexpr bool kExactTerms = true;

// What the keyword index sees of a document: its trimmed text, exactly as
// vesk::Index sees a document without metadata.
std::string_view searchable(std::string_view text) { return trim_white_space(text); }

bool all_finite(std::span<const float> values) {
  for (float v : values) {
    if (!std::isfinite(v)) return false;
  }
  return true;
}

// The term key of a token under kExactTerms.
struct TermKey {
  std::string text;
  uint32_t hash;
  bool operator==(const TermKey& other) const {
    return kExactTerms ? text == other.text : hash == other.hash;
  }
};

TermKey term_key(std::string_view token) {
  return TermKey{std::string(token), bm25::TokenEmbedder::embed(token)};
}

// A side's candidates as a ranked list for reciprocal_rank_fusion, which
// needs only the ids.
NamedResultList ranked_list(const DocumentTable& docs, const std::vector<ScoredSlot>& side,
                            std::string label) {
  NamedResultList list{std::move(label), {}};
  list.docs.reserve(side.size());
  for (const ScoredSlot& s : side) {
    list.docs.push_back(QueryResultDocumentInfo{docs[s.position].id, {}, std::nullopt, s.score});
  }
  return list;
}

KeywordIndex::Options keyword_options(bm25::Language language) {
  KeywordIndex::Options options;
  options.language = language;
  options.exact_terms = kExactTerms;
  return options;
}

}  // namespace

// Which sides of a search run.
struct Collection::Sides {
  bool keyword = false;
  bool dense = false;
};

std::vector<std::string> Collection::language_names() {
  std::vector<std::string> names;
  for (int i = 0; i < bm25::kLanguageCount; ++i) {
    names.emplace_back(bm25::detail::stemmer_name(static_cast<bm25::Language>(i)));
  }
  return names;
}

Result<bm25::Language> Collection::parse_language(std::string_view name) {
  const std::vector<std::string> names = language_names();
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i] == name) return static_cast<bm25::Language>(i);
  }
  std::string message = "unknown language '" + std::string(name) + "'; known languages: ";
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) message += ", ";
    message += names[i];
  }
  return Status::InvalidArgument(std::move(message));
}

Collection::Collection(size_t dim, bm25::Language language, ThreadPool* pool)
    : dim_(dim),
      language_(language),
      pool_(pool),
      tokenizer_(bm25::DefaultTokenizerBuilder()
                     .normalization(true)
                     .stemming(true)
                     .stopwords(true)
                     .language(language)
                     .build()),
      keyword_index_(new_keyword_index()),
      shared_scan_(pool) {}

Collection::~Collection() = default;

std::unique_ptr<KeywordIndex> Collection::new_keyword_index() const {
  return std::make_unique<KeywordIndex>(keyword_options(language_));
}

std::shared_lock<std::shared_mutex> Collection::read_lock() const {
  { std::lock_guard<std::mutex> turn(turnstile_); }
  return std::shared_lock<std::shared_mutex>(mutex_);
}

std::unique_lock<std::shared_mutex> Collection::write_lock() {
  std::lock_guard<std::mutex> turn(turnstile_);
  return std::unique_lock<std::shared_mutex>(mutex_);
}

size_t Collection::size() const {
  auto lock = read_lock();
  return docs_.live_count();
}

bool Collection::contains(std::string_view id) const {
  auto lock = read_lock();
  return docs_.find(id) != DocumentTable::kNotFound;
}

Result<CollectionAddCounts> Collection::add(std::vector<CollectionDocument> docs,
                                            std::span<const float> embeddings, bool upsert) {
  const bool with_embeddings = !embeddings.empty();
  if (with_embeddings && embeddings.size() != docs.size() * dim_) {
    return Status::InvalidArgument("embeddings must hold " + std::to_string(docs.size()) +
                                   " rows of " + std::to_string(dim_) + " values, got " +
                                   std::to_string(embeddings.size()) + " values");
  }
  if (with_embeddings && !all_finite(embeddings)) {
    return Status::InvalidArgument("embeddings must be finite (no NaN or infinity)");
  }
  for (const CollectionDocument& doc : docs) {
    std::unordered_set<std::string_view> keys;
    for (const auto& [key, value] : doc.metadata) {
      if (std::holds_alternative<std::monostate>(value)) {
        return Status::InvalidArgument("metadata of '" + doc.id + "' has a value without type");
      }
      if (!keys.insert(key).second) {
        return Status::InvalidArgument("metadata of '" + doc.id + "' repeats the key '" + key +
                                       "'");
      }
    }
  }
  auto row = [&](size_t i) { return embeddings.subspan(i * dim_, dim_); };

  auto lock = write_lock();
  // Every step up to the commit may fail (std::bad_alloc) and leaves the
  // collection as it was; the commit only moves values into reserved room.
  // 1. Plan where each input goes.
  std::vector<std::string_view> ids;
  ids.reserve(docs.size());
  for (const auto& doc : docs) ids.push_back(doc.id);
  UpsertPlan plan = plan_upsert(docs_, ids, upsert);
  CollectionAddCounts counts{plan.added, plan.updated};
  const std::vector<std::pair<size_t, size_t>>& replaced = plan.replaced;
  const std::vector<size_t>& appended = plan.appended;
  if (replaced.empty() && appended.empty()) return counts;

  // 2. Room in every store.
  const size_t new_slots = docs_.slots() + appended.size();
  std::vector<const TypedMetadata*> incoming;
  incoming.reserve(replaced.size() + appended.size());
  for (const auto& [slot, i] : replaced) incoming.push_back(&docs[i].metadata);
  for (size_t i : appended) incoming.push_back(&docs[i].metadata);
  docs_.reserve(new_slots);
  metadata_.reserve(new_slots, incoming);
  embeddings_.reserve(new_slots, dim_);
  embedded_.reserve(new_slots);
  const std::vector<float> zeros(with_embeddings ? 0 : dim_, 0.0f);
  if (!keyword_index_) keyword_index_ = build_keyword_index();

  // 3. The keyword index; on failure it is rebuilt over the unchanged documents.
  try {
    for (const auto& [slot, i] : replaced) {
      keyword_index_->replace(slot, searchable(docs_[slot].text), searchable(docs[i].text));
    }
    for (size_t i : appended) keyword_index_->append(searchable(docs[i].text));
  } catch (...) {
    restore_keyword_index();
    throw;
  }

  // 4. Commit: nothing below allocates or fails.
  for (const auto& [slot, i] : replaced) {
    CollectionDocument& doc = docs[i];
    docs_.replace(slot, DocumentInfo{std::move(doc.id), std::move(doc.text), std::nullopt});
    metadata_.replace(slot, std::move(doc.metadata));
    if (with_embeddings) embeddings_.replace(slot, row(i));
    if (with_embeddings && !embedded_.test(slot)) {
      embedded_.set(slot);
      ++embedded_count_;
    } else if (!with_embeddings && embedded_.test(slot)) {
      embedded_.reset(slot);
      --embedded_count_;
    }
  }
  for (size_t i : appended) {
    CollectionDocument& doc = docs[i];
    const size_t slot = docs_.slots();
    docs_.append(DocumentInfo{std::move(doc.id), std::move(doc.text), std::nullopt});
    metadata_.append(std::move(doc.metadata));
    embeddings_.append(with_embeddings ? row(i) : std::span<const float>(zeros));
    embedded_.resize(slot + 1);
    if (with_embeddings) {
      embedded_.set(slot);
      ++embedded_count_;
    }
  }
  return counts;
}

uint64_t Collection::remove(std::span<const std::string> ids) {
  auto lock = write_lock();
  std::vector<size_t> slots;
  for (const std::string& id : ids) docs_.find_all(id, &slots);
  if (slots.empty()) return 0;
  std::sort(slots.begin(), slots.end());
  slots.erase(std::unique(slots.begin(), slots.end()), slots.end());

  // As in add: everything that may fail comes before the commit.
  if (slots.size() == docs_.live_count()) {
    clear_storage(new_keyword_index());
    return slots.size();
  }
  if (keyword_index_) {
    try {
      for (size_t slot : slots) keyword_index_->erase(slot, searchable(docs_[slot].text));
    } catch (...) {
      restore_keyword_index();
      throw;
    }
  }
  // Commit: the slots die; their storage goes at the next compaction.
  docs_.kill(slots);
  for (size_t slot : slots) {
    if (embedded_.test(slot)) {
      embedded_.reset(slot);
      --embedded_count_;
    }
  }
  maybe_compact();
  return slots.size();
}

void Collection::maybe_compact() noexcept {
  if (!docs_.wants_compaction()) return;
  try {
    // Embeddings read in place from a loaded file become the store's own
    // before anything changes.
    embeddings_.own();
    const std::vector<size_t> dead_slots = docs_.dead_slots();
    if (keyword_index_) {
      try {
        keyword_index_->compact(dead_slots);
      } catch (...) {
        restore_keyword_index();
        return;  // the collection is whole; compaction waits for the next delete
      }
    }
    // Commit: nothing below allocates. Every embedding has dim_ values, so the
    // store is uniform and erases in place.
    metadata_.compact(docs_.live());
    embedded_.compact(docs_.live());
    embeddings_.erase(dead_slots);
    docs_.compact();
  } catch (...) {
    // Out of memory before anything changed: compaction waits.
  }
}

std::vector<std::optional<StoredDocument>> Collection::get(std::span<const std::string> ids) const {
  auto lock = read_lock();
  std::vector<std::optional<StoredDocument>> out;
  out.reserve(ids.size());
  for (const std::string& id : ids) {
    const size_t slot = docs_.find(id);
    if (slot == DocumentTable::kNotFound) {
      out.emplace_back();
    } else {
      out.push_back(StoredDocument{docs_[slot].id, docs_[slot].text, metadata_.get(slot)});
    }
  }
  return out;
}

void Collection::clear() {
  std::unique_ptr<KeywordIndex> fresh = new_keyword_index();
  auto lock = write_lock();
  clear_storage(std::move(fresh));
}

void Collection::clear_storage(std::unique_ptr<KeywordIndex> fresh) noexcept {
  docs_.clear();
  metadata_.clear();
  embeddings_.clear();
  embedded_.resize(0);
  embedded_count_ = 0;
  keyword_index_ = std::move(fresh);
}

std::unique_ptr<KeywordIndex> Collection::build_keyword_index() const {
  std::vector<std::string_view> texts;
  texts.reserve(docs_.slots());
  for (const DocumentInfo& doc : docs_.all()) texts.push_back(searchable(doc.text));
  return KeywordIndex::build(texts, docs_.dead_count() > 0 ? &docs_.live() : nullptr,
                             keyword_options(language_));
}

KeywordIndex::Options Collection::keyword_index_options() const {
  return keyword_options(language_);
}

std::unique_ptr<KeywordIndex> Collection::build_keyword_index(
    std::span<const std::string_view> texts) const {
  std::vector<std::string_view> searchable_texts;
  searchable_texts.reserve(texts.size());
  for (std::string_view text : texts) searchable_texts.push_back(searchable(text));
  return KeywordIndex::build(searchable_texts, nullptr, keyword_options(language_));
}

void Collection::restore_keyword_index() noexcept {
  // The incremental update failed half way: a rebuild over the unchanged
  // documents restores it; when even that fails the index is left absent.
  try {
    keyword_index_ = build_keyword_index();
  } catch (...) {
    keyword_index_.reset();
  }
}

Status Collection::check_request(const SearchRequest& request) const {
  if (!request.text.has_value() && !request.vector.has_value()) {
    return Status::InvalidArgument("a search needs a text, a vector or both");
  }
  if (!(request.alpha >= 0.0f && request.alpha <= 1.0f)) {
    return Status::InvalidArgument("alpha must be between 0 and 1, got " +
                                   std::to_string(request.alpha));
  }
  if (request.vector.has_value()) {
    if (request.vector->size() != dim_) {
      return Status::InvalidArgument("the query vector must have " + std::to_string(dim_) +
                                     " values, got " + std::to_string(request.vector->size()));
    }
    if (!all_finite(*request.vector)) {
      return Status::InvalidArgument("the query vector must be finite (no NaN or infinity)");
    }
  }
  return Status::OK();
}

Collection::Sides Collection::sides(const SearchRequest& request) const {
  Sides s;
  s.keyword = request.text.has_value() && (request.alpha < 1.0f || !request.vector.has_value());
  s.dense = request.vector.has_value() && (request.alpha > 0.0f || !request.text.has_value());
  return s;
}

std::unique_ptr<Bitmap> Collection::filtered_slots(const Filter* filter) const {
  if (filter == nullptr) return nullptr;
  return std::make_unique<Bitmap>(filter->evaluate(metadata_, docs_.live()));
}

std::vector<ScoredSlot> Collection::keyword_candidates(std::string_view text, size_t n,
                                                       const Bitmap* filtered,
                                                       const KeywordStatistics* statistics) const {
  if (docs_.live_count() == 0) return {};
  if (statistics == nullptr) {
    if (keyword_index_) return keyword_index_->search(text, n, filtered);
    return build_keyword_index()->search(text, n, filtered);
  }
  if (keyword_index_) return keyword_index_->search(text, n, filtered, *statistics);
  return build_keyword_index()->search(text, n, filtered, *statistics);
}

void Collection::query_terms(std::string_view text, std::vector<std::string>* terms,
                             std::vector<size_t>* sequence) const {
  terms->clear();
  sequence->clear();
  tokenizer_.for_each_token(text, [&](std::string_view token) {
    const size_t j = std::find(terms->begin(), terms->end(), token) - terms->begin();
    if (j == terms->size()) terms->emplace_back(token);
    sequence->push_back(j);
  });
}

std::vector<KeywordStatistics> Collection::keyword_statistics(
    std::span<const std::string> texts) const {
  auto lock = read_lock();
  std::unique_ptr<KeywordIndex> temporary;
  const KeywordIndex* index = keyword_index_.get();
  if (index == nullptr) {
    temporary = build_keyword_index();
    index = temporary.get();
  }
  std::vector<KeywordStatistics> out;
  out.reserve(texts.size());
  for (const std::string& text : texts) out.push_back(index->statistics(text));
  return out;
}

Status Collection::check_statistics(std::string_view text,
                                    const KeywordStatistics& statistics) const {
  std::vector<std::string> terms;
  std::vector<size_t> sequence;
  query_terms(text, &terms, &sequence);
  if (statistics.document_frequencies.size() != terms.size()) {
    return Status::InvalidArgument(
        "the keyword statistics hold " + std::to_string(statistics.document_frequencies.size()) +
        " document frequencies, the query has " + std::to_string(terms.size()) + " distinct terms");
  }
  return Status::OK();
}

const Bitmap* Collection::dense_allowed(const Bitmap* filtered, Bitmap* storage) const {
  if (filtered != nullptr) {
    *storage = Bitmap(docs_.slots());
    filtered->for_each_set([&](size_t slot) {
      if (embedded_.test(slot)) storage->set(slot);
    });
    return storage;
  }
  return embedded_count_ == docs_.slots() ? nullptr : &embedded_;
}

Result<std::vector<ScoredSlot>> Collection::dense_candidates(std::span<const float> vector,
                                                             size_t n,
                                                             const Bitmap* filtered) const {
  if (embedded_count_ == 0) return std::vector<ScoredSlot>();
  Bitmap storage;
  return shared_scan_.search(embeddings_, vector, n, dense_allowed(filtered, &storage));
}

Result<std::vector<CollectionHit>> Collection::search(const SearchRequest& request) const {
  if (Status s = check_request(request); !s.ok()) return s;
  auto lock = read_lock();
  const std::unique_ptr<Bitmap> filtered = filtered_slots(request.filter);
  const Sides run = sides(request);
  const size_t n = run.keyword && run.dense ? std::max(request.depth, request.k) : request.k;
  if (run.keyword && request.statistics != nullptr) {
    if (Status s = check_statistics(*request.text, *request.statistics); !s.ok()) return s;
  }
  std::vector<ScoredSlot> keyword;
  if (run.keyword) {
    keyword = keyword_candidates(*request.text, n, filtered.get(), request.statistics);
  }
  std::vector<ScoredSlot> dense;
  if (run.dense) {
    auto found = dense_candidates(*request.vector, n, filtered.get());
    if (!found.ok()) return found.status();
    dense = std::move(found).value();
  }
  return assemble(request, keyword, dense);
}

Result<std::vector<std::vector<CollectionHit>>> Collection::search_batch(
    std::span<const std::string> texts, std::span<const float> vectors, size_t count,
    const SearchRequest& shared, std::span<const KeywordStatistics> statistics) const {
  if (!statistics.empty() && statistics.size() != count) {
    return Status::InvalidArgument("expected " + std::to_string(count) +
                                   " keyword statistics, got " + std::to_string(statistics.size()));
  }
  if (!texts.empty() && texts.size() != count) {
    return Status::InvalidArgument("expected " + std::to_string(count) + " query texts, got " +
                                   std::to_string(texts.size()));
  }
  if (!vectors.empty() && vectors.size() != count * dim_) {
    return Status::InvalidArgument("the query vectors must hold " + std::to_string(count) +
                                   " rows of " + std::to_string(dim_) + " values, got " +
                                   std::to_string(vectors.size()) + " values");
  }
  std::vector<SearchRequest> requests(count, shared);
  for (size_t q = 0; q < count; ++q) {
    requests[q].statistics = statistics.empty() ? nullptr : &statistics[q];
    if (requests[q].statistics != nullptr && !texts.empty()) {
      if (Status s = check_statistics(texts[q], statistics[q]); !s.ok()) return s;
    }
    requests[q].text = texts.empty() ? std::nullopt : std::optional<std::string_view>(texts[q]);
    requests[q].vector =
        vectors.empty() ? std::nullopt
                        : std::optional<std::span<const float>>(vectors.subspan(q * dim_, dim_));
    if (Status s = check_request(requests[q]); !s.ok()) return s;
  }
  std::vector<std::vector<CollectionHit>> out;
  if (count == 0) return out;

  auto lock = read_lock();
  const std::unique_ptr<Bitmap> filtered = filtered_slots(shared.filter);
  // Every query has the same sides: they depend on which inputs are given
  // and on the shared alpha.
  const Sides run = sides(requests[0]);
  const size_t n = run.keyword && run.dense ? std::max(shared.depth, shared.k) : shared.k;
  std::vector<std::vector<ScoredSlot>> keyword(count);
  if (run.keyword) {
    auto one = [&](size_t q) {
      keyword[q] = keyword_candidates(texts[q], n, filtered.get(), requests[q].statistics);
    };
    if (pool_ != nullptr && count > 1) {
      pool_->run(count, one);
    } else {
      for (size_t q = 0; q < count; ++q) one(q);
    }
  }
  std::vector<std::vector<ScoredSlot>> dense(count);
  if (run.dense && embedded_count_ > 0) {
    Bitmap storage;
    auto found = embedding_search_batch(embeddings_, vectors, count, n,
                                        dense_allowed(filtered.get(), &storage), pool_);
    for (size_t q = 0; q < count; ++q) {
      if (!found[q].ok()) return found[q].status();
      dense[q] = std::move(found[q]).value();
    }
  }
  out.reserve(count);
  for (size_t q = 0; q < count; ++q) {
    auto hits = assemble(requests[q], keyword[q], dense[q]);
    if (!hits.ok()) return hits.status();
    out.push_back(std::move(hits).value());
  }
  return out;
}

Result<std::vector<CollectionHit>> Collection::assemble(
    const SearchRequest& request, const std::vector<ScoredSlot>& keyword,
    const std::vector<ScoredSlot>& dense) const {
  const Sides run = sides(request);
  const bool fused = run.keyword && run.dense;
  auto hit_of = [this](size_t slot, float score) {
    const DocumentInfo& doc = docs_[slot];
    CollectionHit hit;
    hit.id = doc.id;
    hit.text = doc.text;
    hit.metadata = metadata_.get(slot);
    hit.score = score;
    return hit;
  };
  std::vector<CollectionHit> hits;
  if (!fused) {
    const std::vector<ScoredSlot>& side = run.keyword ? keyword : dense;
    const size_t count = std::min(side.size(), request.k);
    hits.reserve(count);
    for (size_t r = 0; r < count; ++r) {
      CollectionHit hit = hit_of(side[r].position, side[r].score);
      if (run.keyword) {
        hit.keyword_rank = static_cast<uint32_t>(r + 1);
        hit.keyword_score = side[r].score;
      } else {
        hit.dense_rank = static_cast<uint32_t>(r + 1);
        hit.dense_score = side[r].score;
      }
      hits.push_back(std::move(hit));
    }
    return hits;
  }

  // Both sides: weighted reciprocal rank fusion of the candidate lists by id.
  std::vector<NamedResultList> semantic_lists;
  semantic_lists.push_back(ranked_list(docs_, dense, "embedding"));
  std::vector<NamedResultList> keyword_lists;
  keyword_lists.push_back(ranked_list(docs_, keyword, "keyword"));
  auto fused_docs = reciprocal_rank_fusion(std::move(semantic_lists), std::move(keyword_lists),
                                           request.k, kRankConstant, request.alpha);
  if (!fused_docs.ok()) return fused_docs.status();

  std::unordered_map<uint32_t, uint32_t> keyword_rank;  // slot -> index in keyword
  for (size_t r = 0; r < keyword.size(); ++r) keyword_rank.emplace(keyword[r].position, r);
  std::unordered_map<uint32_t, uint32_t> dense_rank;  // slot -> index in dense
  for (size_t r = 0; r < dense.size(); ++r) dense_rank.emplace(dense[r].position, r);
  hits.reserve(fused_docs.value().size());
  for (const QueryResultDocumentInfo& doc : fused_docs.value()) {
    const uint32_t slot = static_cast<uint32_t>(docs_.find(doc.id));
    CollectionHit hit = hit_of(slot, doc.score);
    if (auto it = keyword_rank.find(slot); it != keyword_rank.end()) {
      hit.keyword_rank = it->second + 1;
      hit.keyword_score = keyword[it->second].score;
    }
    if (auto it = dense_rank.find(slot); it != dense_rank.end()) {
      hit.dense_rank = it->second + 1;
      hit.dense_score = dense[it->second].score;
    }
    hits.push_back(std::move(hit));
  }
  return hits;
}

Result<Explanation> Collection::explain(std::string_view id, const SearchRequest& request) const {
  if (Status s = check_request(request); !s.ok()) return s;
  auto lock = read_lock();
  const size_t slot = docs_.find(id);
  if (slot == DocumentTable::kNotFound) {
    return Status::InvalidArgument("unknown id '" + std::string(id) + "'");
  }
  const Sides run = sides(request);
  Explanation out;
  out.id = std::string(id);
  const size_t n = request.depth;

  std::vector<ScoredSlot> keyword;
  if (run.keyword && request.statistics != nullptr) {
    if (Status s = check_statistics(*request.text, *request.statistics); !s.ok()) return s;
  }
  if (run.keyword) {
    keyword = keyword_candidates(*request.text, n, nullptr, request.statistics);
    // The query's distinct terms in order, and its token sequence.
    std::vector<TermKey> terms;
    std::vector<size_t> sequence;
    tokenizer_.for_each_token(*request.text, [&](std::string_view token) {
      TermKey key = term_key(token);
      size_t j = std::find(terms.begin(), terms.end(), key) - terms.begin();
      if (j == terms.size()) terms.push_back(std::move(key));
      sequence.push_back(j);
    });
    // Statistics over the live documents, recounted: N counts documents with
    // a non-empty searchable text, df the ones holding each query term.
    uint64_t n_docs = 0;
    uint64_t total_tokens = 0;
    std::vector<uint64_t> doc_freq(terms.size(), 0);
    std::vector<uint32_t> tf(terms.size(), 0);
    std::vector<bool> seen(terms.size());
    uint32_t length = 0;
    auto count = [&](size_t s) {
      const std::string_view text = searchable(docs_[s].text);
      if (text.empty()) return;
      ++n_docs;
      std::fill(seen.begin(), seen.end(), false);
      uint32_t tokens = 0;
      tokenizer_.for_each_token(text, [&](std::string_view token) {
        ++tokens;
        if (terms.empty()) return;
        const uint32_t hash = kExactTerms ? 0 : bm25::TokenEmbedder::embed(token);
        for (size_t j = 0; j < terms.size(); ++j) {
          if (kExactTerms ? terms[j].text != token : terms[j].hash != hash) continue;
          seen[j] = true;
          if (s == slot) ++tf[j];
        }
      });
      total_tokens += tokens;
      if (s == slot) length = tokens;
      for (size_t j = 0; j < terms.size(); ++j) doc_freq[j] += seen[j] ? 1 : 0;
    };
    if (request.statistics != nullptr) {
      // Given statistics: only the document's own tokens are counted.
      count(slot);
      n_docs = request.statistics->documents;
      total_tokens = request.statistics->tokens;
      doc_freq = request.statistics->document_frequencies;
    } else {
      docs_.live().for_each_set(count);
    }
    Explanation::Keyword k;
    k.length = length;
    k.avgdl = bm25::average_length(total_tokens, n_docs);
    const float saturation = bm25::length_saturation(
        bm25::kK1, bm25::kB, static_cast<float>(length), bm25::effective_avgdl(k.avgdl));
    for (size_t j = 0; j < terms.size(); ++j) {
      Explanation::Term term;
      term.term = terms[j].text;
      term.tf = tf[j];
      term.idf = bm25::idf(static_cast<float>(n_docs), static_cast<float>(doc_freq[j]));
      if (tf[j] > 0) {
        term.weight =
            term.idf * bm25::saturated_weight(bm25::kK1, static_cast<float>(tf[j]), saturation);
      }
      k.terms.push_back(std::move(term));
    }
    // Summed in query-token order, as the index sums.
    float score = 0.0f;
    for (size_t j : sequence) {
      if (tf[j] > 0) score = score + k.terms[j].weight;
    }
    k.score = score;
    for (size_t r = 0; r < keyword.size(); ++r) {
      if (keyword[r].position == slot) k.rank = static_cast<uint32_t>(r + 1);
    }
    out.keyword = std::move(k);
  }

  std::vector<ScoredSlot> dense;
  if (run.dense) {
    auto found = dense_candidates(*request.vector, n, nullptr);
    if (!found.ok()) return found.status();
    dense = std::move(found).value();
    if (embedded_.test(slot)) {
      Bitmap only(docs_.slots());
      only.set(slot);
      auto own = embedding_search(embeddings_, *request.vector, 1, &only);
      if (!own.ok()) return own.status();
      Explanation::Dense d;
      d.score = own.value()[0].score;
      for (size_t r = 0; r < dense.size(); ++r) {
        if (dense[r].position == slot) d.rank = static_cast<uint32_t>(r + 1);
      }
      out.dense = d;
    }
  }

  if (run.keyword && run.dense) {
    std::vector<NamedResultList> semantic_lists;
    semantic_lists.push_back(ranked_list(docs_, dense, "embedding"));
    std::vector<NamedResultList> keyword_lists;
    keyword_lists.push_back(ranked_list(docs_, keyword, "keyword"));
    auto fused =
        reciprocal_rank_fusion(std::move(semantic_lists), std::move(keyword_lists),
                               keyword.size() + dense.size(), kRankConstant, request.alpha);
    if (!fused.ok()) return fused.status();
    out.fused = 0.0f;
    for (const QueryResultDocumentInfo& doc : fused.value()) {
      if (doc.id == id) out.fused = doc.score;
    }
  }
  return out;
}

}  // namespace vesk
