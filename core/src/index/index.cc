#include "index/index.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "hybridsearch/document_text.h"
#include "hybridsearch/embedding_search.h"
#include "hybridsearch/fusion.h"
#include "store/upsert_plan.h"
#include "utils/unicode_space.h"

namespace vesk {

namespace {

constexpr size_t kRankConstant = 60;

ModelRef model_ref(VeskModel model) {
  return ModelRef{std::string(vesk_model_id(model)), std::string(DEFAULT_VERSION)};
}

}  // namespace

std::string now_iso() {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(
      std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now()));
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  size_t n = std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
  return std::string(text, n);
}

Index::Index(std::string name, VeskModel model)
    : name_(std::move(name)),
      model_(model),
      dimension_(vesk_model_dimension(model)),
      version_(DEFAULT_VERSION),
      created_at_(now_iso()),
      updated_at_(created_at_) {}

Index::~Index() = default;

IndexInfo Index::get_info() const {
  IndexInfo info;
  info.id = name_;
  info.name = name_;
  info.version = version_;
  info.status = IndexStatus::Ready;
  info.doc_count = docs_.live_count();
  info.created_at = created_at_;
  info.updated_at = updated_at_;
  info.model = model_ref(model_);
  return info;
}

MemoryUsage Index::memory_usage() const {
  MemoryUsage usage;
  usage.documents = docs_.document_bytes();
  usage.id_index = docs_.id_index_bytes() + missing_.word_count() * sizeof(uint64_t);
  usage.embeddings = embeddings_.memory_bytes();
  usage.keyword_index = keyword_index_ ? keyword_index_->memory_bytes() : 0;
  return usage;
}

void Index::set_embedding_present(size_t slot) noexcept {
  if (missing_embeddings_ == 0 || !missing_.test(slot)) return;
  missing_.reset(slot);
  --missing_embeddings_;
}

Result<AddCounts> Index::add_documents(std::vector<DocumentInfo> docs,
                                       const EmbeddingBatch& embeddings,
                                       const AddDocumentsOptions* options) {
  if (embeddings.size() != docs.size()) {
    return Status::InvalidArgument("Length of embeddings must match length of docs");
  }
  const bool upsert = options == nullptr || options->upsert.value_or(true);

  // Every step up to the commit may fail (std::bad_alloc) and leaves the
  // index as it was; the commit only moves values into reserved room.
  // 1. Plan where each input goes.
  std::vector<std::string_view> ids;
  ids.reserve(docs.size());
  for (const auto& doc : docs) ids.push_back(doc.id);
  UpsertPlan plan = plan_upsert(docs_, ids, upsert);
  AddCounts counts{plan.added, plan.updated};
  const std::vector<std::pair<size_t, size_t>>& replaced = plan.replaced;
  const std::vector<size_t>& appended = plan.appended;
  std::string stamp = now_iso();
  if (replaced.empty() && appended.empty()) {
    updated_at_ = std::move(stamp);
    return counts;
  }

  // 2. Room for the new documents, or the embeddings changed aside when they
  //    do not fit the store's layout.
  const size_t new_slots = docs_.slots() + appended.size();
  docs_.reserve(new_slots);
  if (missing_embeddings_ > 0) missing_.reserve(new_slots);
  const size_t first_length =
      embeddings[replaced.empty() ? appended[0] : replaced[0].second].size();
  bool in_place = embeddings_.takes_in_place(first_length);
  for (const auto& [slot, i] : replaced)
    in_place = in_place && embeddings[i].size() == first_length;
  for (size_t i : appended) in_place = in_place && embeddings[i].size() == first_length;
  EmbeddingStore staged;
  if (in_place) {
    embeddings_.reserve(new_slots, first_length);
  } else {
    staged = embeddings_;
    for (const auto& [slot, i] : replaced) staged.replace(slot, embeddings[i]);
    for (size_t i : appended) staged.append(embeddings[i]);
  }

  // 3. The keyword index; on failure it is rebuilt over the unchanged documents.
  KeywordIndex* keywords = keyword_index();
  try {
    for (const auto& [slot, i] : replaced) {
      keywords->replace(slot, collect_document_text(docs_[slot]), collect_document_text(docs[i]));
    }
    for (size_t i : appended) keywords->append(collect_document_text(docs[i]));
  } catch (...) {
    restore_keyword_index();
    throw;
  }

  // 4. Commit: nothing below allocates or fails.
  for (const auto& [slot, i] : replaced) {
    docs_.replace(slot, std::move(docs[i]));
    if (in_place) embeddings_.replace(slot, embeddings[i]);
    set_embedding_present(slot);
  }
  for (size_t i : appended) {
    docs_.append(std::move(docs[i]));
    if (in_place) embeddings_.append(embeddings[i]);
    if (missing_embeddings_ > 0) missing_.resize(docs_.slots());
  }
  if (!in_place) embeddings_.swap(staged);
  updated_at_ = std::move(stamp);
  return counts;
}

uint64_t Index::delete_documents(std::span<const std::string> doc_ids) {
  std::vector<size_t> slots;
  for (const std::string& id : doc_ids) docs_.find_all(id, &slots);
  if (slots.empty()) return 0;
  std::sort(slots.begin(), slots.end());
  slots.erase(std::unique(slots.begin(), slots.end()), slots.end());

  // As in add_documents: everything that may fail comes before the commit.
  std::string stamp = now_iso();
  const bool emptied = slots.size() == docs_.live_count();
  if (!emptied && keyword_index_) {
    try {
      for (size_t slot : slots) keyword_index_->erase(slot, collect_document_text(docs_[slot]));
    } catch (...) {
      restore_keyword_index();
      throw;
    }
  }

  // Commit: the slots die; their storage goes at the next compaction.
  docs_.kill(slots);
  for (size_t slot : slots) {
    if (missing_embeddings_ > 0 && missing_.test(slot)) --missing_embeddings_;
  }
  updated_at_ = std::move(stamp);
  if (emptied) {
    clear_storage();
  } else {
    maybe_compact();
  }
  return slots.size();
}

void Index::maybe_compact() noexcept {
  if (!docs_.wants_compaction()) return;
  try {
    const std::vector<size_t> dead_slots = docs_.dead_slots();
    size_t dim = 0;
    EmbeddingStore staged;
    const bool in_place = embeddings_.uniform(&dim);
    if (!in_place) {
      staged = embeddings_;
      staged.erase(dead_slots);
    }
    if (keyword_index_) {
      try {
        keyword_index_->compact(dead_slots);
      } catch (...) {
        restore_keyword_index();
        return;  // the index is whole; compaction waits for the next delete
      }
    }
    // Commit: nothing below allocates.
    if (missing_embeddings_ > 0) missing_.compact(docs_.live());
    if (in_place) {
      embeddings_.erase(dead_slots);
    } else {
      embeddings_.swap(staged);
    }
    docs_.compact();
  } catch (...) {
    // Out of memory before anything changed: compaction waits.
  }
}

std::vector<DocumentInfo> Index::get_documents(const GetDocumentsOptions* options) const {
  std::vector<DocumentInfo> out;
  if (options != nullptr && options->doc_ids.has_value()) {
    const auto& ids = *options->doc_ids;
    std::unordered_set<std::string_view> wanted(ids.begin(), ids.end());
    if (wanted.empty()) return out;
    docs_.live().for_each_set([&](size_t slot) {
      if (wanted.count(docs_[slot].id)) out.push_back(docs_[slot]);
    });
    return out;
  }
  out.reserve(docs_.live_count());
  docs_.live().for_each_set([&](size_t slot) { out.push_back(docs_[slot]); });
  return out;
}

void Index::clear() {
  std::string stamp = now_iso();
  clear_storage();
  updated_at_ = std::move(stamp);
}

void Index::clear_storage() noexcept {
  docs_.clear();
  embeddings_.clear();
  missing_.resize(0);
  missing_embeddings_ = 0;
  keyword_index_.reset();
}

std::vector<std::string> Index::searchable_texts() const {
  std::vector<std::string> texts;
  texts.reserve(docs_.slots());
  for (const DocumentInfo& doc : docs_.all()) texts.push_back(collect_document_text(doc));
  return texts;
}

std::unique_ptr<KeywordIndex> Index::build_keyword_index() const {
  const std::vector<std::string> texts = searchable_texts();
  const std::vector<std::string_view> views(texts.begin(), texts.end());
  return KeywordIndex::build(views, docs_.dead_count() > 0 ? &docs_.live() : nullptr);
}

KeywordIndex* Index::keyword_index() {
  if (!keyword_index_) keyword_index_ = build_keyword_index();
  return keyword_index_.get();
}

void Index::restore_keyword_index() noexcept {
  // The incremental update failed half way. A rebuild over the unchanged
  // documents restores it; when even that fails the slot is left absent, which
  // answers the same (a query then builds a temporary index).
  try {
    keyword_index_ = build_keyword_index();
  } catch (...) {
    keyword_index_.reset();
  }
}

std::vector<QueryResultDocumentInfo> Index::to_results(std::span<const ScoredSlot> found) const {
  std::vector<QueryResultDocumentInfo> out;
  out.reserve(found.size());
  for (const ScoredSlot& hit : found) {
    const DocumentInfo& doc = docs_[hit.position];
    out.push_back(QueryResultDocumentInfo{doc.id, doc.text, doc.metadata, hit.score});
  }
  return out;
}

Result<SearchResult> Index::query(std::string_view query, uint64_t top_k,
                                  std::span<const float> query_embedding, float alpha) const {
  const auto start = std::chrono::steady_clock::now();
  std::vector<QueryResultDocumentInfo> answer;

  if (docs_.live_count() > 0) {
    std::vector<QueryResultDocumentInfo> semantic;
    if (alpha > 0 && docs_.live_count() > missing_embeddings_) {
      // Only live documents with an embedding take part.
      Bitmap allowed;
      const Bitmap* dense_allowed = nullptr;
      if (docs_.dead_count() > 0 || missing_embeddings_ > 0) {
        allowed = docs_.live();
        if (missing_embeddings_ > 0) {
          missing_.for_each_set([&](size_t slot) { allowed.reset(slot); });
        }
        dense_allowed = &allowed;
      }
      auto found = embedding_search(embeddings_, query_embedding, top_k, dense_allowed);
      if (!found.ok()) return found.status();
      semantic = to_results(found.value());
    }

    std::vector<QueryResultDocumentInfo> keyword;
    if (alpha < 1) {
      if (keyword_index_) {
        keyword = to_results(keyword_index_->search(query, top_k, nullptr));
      } else {
        keyword = to_results(build_keyword_index()->search(query, top_k, nullptr));
      }
    }

    if (alpha <= 0) {
      answer = std::move(keyword);
    } else if (alpha >= 1) {
      answer = std::move(semantic);
    } else {
      std::vector<NamedResultList> semantic_lists;
      semantic_lists.push_back({"embedding", std::move(semantic)});
      std::vector<NamedResultList> keyword_lists;
      keyword_lists.push_back({"keyword", std::move(keyword)});
      auto fused = reciprocal_rank_fusion(std::move(semantic_lists), std::move(keyword_lists),
                                          top_k, kRankConstant, alpha);
      if (!fused.ok()) return fused.status();
      answer = std::move(fused).value();
    }
  }

  const auto elapsed = std::chrono::steady_clock::now() - start;
  SearchResult result;
  result.docs = std::move(answer);
  result.time_taken_ms =
      static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
  result.query = std::string(query);
  result.index_name = name_;
  return result;
}

SerializedIndex Index::serialize() const {
  SerializedIndex out;
  out.name = name_;
  out.version = version_;
  out.model = model_ref(model_);
  out.dimension = dimension_;
  // An index loaded without embeddings serializes without them again; a
  // document still missing its embedding among others is written as [], which
  // loads back as missing.
  if (missing_embeddings_ < docs_.live_count()) {
    out.embeddings.reserve(docs_.live_count());
    docs_.live().for_each_set([&](size_t slot) {
      out.embeddings.push_back(missing_embeddings_ > 0 && missing_.test(slot)
                                   ? std::vector<float>()
                                   : embeddings_.get(slot));
    });
  }
  out.doc_ids.reserve(docs_.live_count());
  docs_.live().for_each_set([&](size_t slot) { out.doc_ids.push_back(docs_[slot].id); });
  return out;
}

Status Index::deserialize(const SerializedIndex& data) {
  if (trim_white_space(data.name).empty()) {
    return Status::InvalidArgument("Invalid serialized index: missing or invalid name");
  }
  if (!data.embeddings.empty() && data.embeddings.size() != data.doc_ids.size()) {
    return Status::InvalidArgument(
        "Invalid serialized index: embeddings array length must match docIds array length");
  }
  // The name and version are replaced even when the model id turns out to be
  // unknown; the copies are made first so that a failed copy changes nothing.
  std::string name = data.name;
  const bool new_version = !trim_white_space(data.version).empty();
  std::string version = new_version ? data.version : std::string();
  const std::optional<VeskModel> model = vesk_model_from_id(data.model.id);
  if (!model.has_value()) {
    Status unknown = Status::InvalidArgument("Unknown model id: " + data.model.id);
    name_.swap(name);
    if (new_version) version_.swap(version);
    return unknown;
  }

  // The new contents are built aside and swapped in, so a failure while
  // building them leaves the index as it was.
  DocumentTable docs;
  docs.reserve(data.doc_ids.size());
  for (const std::string& id : data.doc_ids) docs.append(DocumentInfo{id, "", Metadata{}});

  // A document without an embedding keeps an empty placeholder and a set bit
  // in `missing` until it is upserted: all of them when the record has no
  // embeddings, and each one saved as an empty row (the form in which such a
  // document is written back).
  EmbeddingStore embeddings;
  Bitmap missing;
  size_t missing_count = 0;
  if (data.embeddings.empty()) {
    for (size_t slot = 0; slot < docs.slots(); ++slot) embeddings.append({});
    missing_count = docs.slots();
  } else {
    for (const auto& e : data.embeddings) {
      embeddings.append(e);
      if (e.empty()) ++missing_count;
    }
  }
  if (missing_count > 0) {
    missing.resize(docs.slots());
    for (size_t slot = 0; slot < docs.slots(); ++slot) {
      if (data.embeddings.empty() || data.embeddings[slot].empty()) missing.set(slot);
    }
  }
  std::unique_ptr<KeywordIndex> keywords;
  if (docs.slots() > 0) {
    // Every loaded document has empty text and empty metadata.
    const std::vector<std::string_view> texts(docs.slots());
    keywords = KeywordIndex::build(texts, nullptr);
  }
  std::string stamp = now_iso();

  name_.swap(name);
  if (new_version) version_.swap(version);
  model_ = *model;
  if (data.dimension != 0) dimension_ = data.dimension;
  docs_.swap(docs);
  embeddings_.swap(embeddings);
  std::swap(missing_, missing);
  missing_embeddings_ = missing_count;
  keyword_index_.swap(keywords);
  updated_at_ = std::move(stamp);
  return Status::OK();
}

}  // namespace vesk
