#include "index/index.h"

#include <chrono>
#include <ctime>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "hybridsearch/embeddingsearch.h"
#include "hybridsearch/fusion.h"
#include "utils/erase_positions.h"
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
  info.doc_count = docs_.size();
  info.created_at = created_at_;
  info.updated_at = updated_at_;
  info.model = model_ref(model_);
  return info;
}

void Index::set_embedding_present(size_t pos) noexcept {
  if (missing_embeddings_ == 0 || !missing_[pos]) return;
  missing_[pos] = false;
  if (--missing_embeddings_ == 0) missing_.clear();
}

Result<AddCounts> Index::add_documents(std::vector<DocumentInfo> docs,
                                       const EmbeddingBatch* embeddings,
                                       const AddDocumentsOptions* options) {
  if (embeddings == nullptr) {
    return Status::InvalidArgument(
        "Embeddings must be provided when adding documents; embedding computation has been "
        "moved to IndexService");
  }
  if (embeddings->size() != docs.size()) {
    return Status::InvalidArgument("Length of embeddings must match length of docs");
  }
  const bool upsert = options == nullptr || options->upsert.value_or(true);

  // Every step up to the commit may fail (std::bad_alloc) and leaves the index
  // as it was; the commit only moves values into room reserved beforehand.
  // 1. Plan: the last input given for each replaced position, then the new
  //    ids in order of first appearance (a repeated new id keeps its first
  //    slot and takes the last text, as if added and then upserted).
  AddCounts counts;
  std::vector<std::pair<size_t, size_t>> replaced;   // (position, input)
  std::unordered_map<size_t, size_t> replaced_slot;  // position -> index in replaced
  std::vector<size_t> appended;                      // input per new position
  std::unordered_map<std::string_view, size_t> new_ids;
  for (size_t i = 0; i < docs.size(); ++i) {
    const size_t pos = docs_.find(docs[i].id);
    if (pos != DocumentTable::kNotFound) {
      if (!upsert) continue;
      auto [it, fresh] = replaced_slot.try_emplace(pos, replaced.size());
      if (fresh) {
        replaced.emplace_back(pos, i);
      } else {
        replaced[it->second].second = i;
      }
      ++counts.updated;
    } else if (auto it = new_ids.find(docs[i].id); it != new_ids.end()) {
      if (!upsert) continue;
      appended[it->second] = i;
      ++counts.updated;
    } else {
      new_ids.emplace(docs[i].id, appended.size());
      appended.push_back(i);
      ++counts.added;
    }
  }
  std::string stamp = now_iso();
  if (replaced.empty() && appended.empty()) {
    updated_at_ = std::move(stamp);
    return counts;
  }

  // 2. Room for the new documents, or the embeddings changed aside when they
  //    do not fit the store's layout.
  const size_t new_size = docs_.size() + appended.size();
  docs_.reserve(new_size);
  if (missing_embeddings_ > 0) missing_.reserve(new_size);
  const size_t first_length =
      (*embeddings)[replaced.empty() ? appended[0] : replaced[0].second].size();
  bool in_place = embeddings_.takes_in_place(first_length);
  for (const auto& [pos, i] : replaced)
    in_place = in_place && (*embeddings)[i].size() == first_length;
  for (size_t i : appended) in_place = in_place && (*embeddings)[i].size() == first_length;
  EmbeddingStore staged;
  if (in_place) {
    embeddings_.reserve(new_size, first_length);
  } else {
    staged = embeddings_;
    for (const auto& [pos, i] : replaced) staged.replace(pos, (*embeddings)[i]);
    for (size_t i : appended) staged.append((*embeddings)[i]);
  }

  // 3. The keyword index; on failure it is rebuilt over the unchanged documents.
  KeywordIndex* keywords = keyword_index();
  try {
    for (const auto& [pos, i] : replaced) keywords->replace(pos, docs[i]);
    for (size_t i : appended) keywords->append(docs[i]);
  } catch (...) {
    restore_keyword_index();
    throw;
  }

  // 4. Commit: nothing below allocates or fails.
  for (const auto& [pos, i] : replaced) {
    docs_.replace(pos, std::move(docs[i]));
    if (in_place) embeddings_.replace(pos, (*embeddings)[i]);
    set_embedding_present(pos);
  }
  for (size_t i : appended) {
    docs_.append(std::move(docs[i]));
    if (in_place) embeddings_.append((*embeddings)[i]);
    if (missing_embeddings_ > 0) missing_.push_back(false);
  }
  if (!in_place) embeddings_.swap(staged);
  updated_at_ = std::move(stamp);
  return counts;
}

uint64_t Index::delete_documents(std::span<const std::string> doc_ids) {
  std::unordered_set<std::string_view> wanted(doc_ids.begin(), doc_ids.end());
  std::vector<size_t> positions;
  for (size_t pos = 0; pos < docs_.size(); ++pos) {
    if (wanted.count(docs_[pos].id)) positions.push_back(pos);
  }
  if (positions.empty()) return 0;

  // As in add_documents: everything that may fail comes before the commit.
  std::string stamp = now_iso();
  size_t dim = 0;
  EmbeddingStore staged;
  const bool in_place = embeddings_.uniform(&dim);
  if (!in_place) {
    staged = embeddings_;
    staged.erase(positions);
  }
  const bool emptied = positions.size() == docs_.size();
  if (!emptied && keyword_index_) {
    try {
      keyword_index_->erase(positions);
    } catch (...) {
      restore_keyword_index();
      throw;
    }
  }

  docs_.erase(positions);
  if (in_place) {
    embeddings_.erase(positions);
  } else {
    embeddings_.swap(staged);
  }
  if (missing_embeddings_ > 0) {
    for (size_t pos : positions) missing_embeddings_ -= missing_[pos] ? 1 : 0;
    erase_positions(missing_, positions);
    if (missing_embeddings_ == 0) missing_.clear();
  }
  // An absent keyword index stays absent; the next add builds it.
  if (emptied) keyword_index_.reset();
  updated_at_ = std::move(stamp);
  return positions.size();
}

std::vector<DocumentInfo> Index::get_documents(const GetDocumentsOptions* options) const {
  std::vector<DocumentInfo> out;
  if (options != nullptr && options->doc_ids.has_value()) {
    const auto& ids = *options->doc_ids;
    std::unordered_set<std::string_view> wanted(ids.begin(), ids.end());
    if (wanted.empty()) return out;
    for (const DocumentInfo& doc : docs_.all()) {
      if (wanted.count(doc.id)) out.push_back(doc);
    }
    return out;
  }
  out.assign(docs_.all().begin(), docs_.all().end());
  return out;
}

void Index::clear() {
  std::string stamp = now_iso();
  docs_.clear();
  embeddings_.clear();
  missing_.clear();
  missing_embeddings_ = 0;
  keyword_index_.reset();
  updated_at_ = std::move(stamp);
}

KeywordIndex* Index::keyword_index() {
  if (!keyword_index_) keyword_index_ = KeywordIndex::build(docs_.all());
  return keyword_index_.get();
}

void Index::restore_keyword_index() noexcept {
  // The incremental update failed half way. A rebuild over the unchanged
  // documents restores it; when even that fails the slot is left absent, which
  // answers the same (a query then builds a temporary index).
  try {
    keyword_index_ = KeywordIndex::build(docs_.all());
  } catch (...) {
    keyword_index_.reset();
  }
}

Result<std::vector<QueryResultDocumentInfo>> Index::semantic_search(
    std::span<const float> query_embedding, uint64_t top_k) const {
  if (missing_embeddings_ == 0) {
    return embedding_search(docs_.all(), embeddings_, query_embedding, top_k);
  }
  // Some documents were loaded without an embedding: only those that have one
  // take part, in storage order.
  std::vector<DocumentInfo> docs;
  EmbeddingStore embeddings;
  for (size_t pos = 0; pos < docs_.size(); ++pos) {
    if (missing_[pos]) continue;
    docs.push_back(docs_[pos]);
    embeddings.append(embeddings_.get(pos));
  }
  return embedding_search(docs, embeddings, query_embedding, top_k);
}

Result<SearchResult> Index::query(std::string_view query, uint64_t top_k,
                                  const std::vector<float>* query_embedding, float alpha) const {
  const auto start = std::chrono::steady_clock::now();
  std::vector<QueryResultDocumentInfo> answer;

  if (!docs_.empty()) {
    std::vector<QueryResultDocumentInfo> semantic;
    if (alpha > 0 && docs_.size() > missing_embeddings_) {
      if (query_embedding == nullptr) {
        return Status::InvalidArgument(
            "query_embedding must be provided; embedding computation has been moved to "
            "IndexService");
      }
      auto found = semantic_search(*query_embedding, top_k);
      if (!found.ok()) return found.status();
      semantic = std::move(found).value();
    }

    std::vector<QueryResultDocumentInfo> keyword;
    if (alpha < 1) {
      if (keyword_index_) {
        keyword = keyword_index_->search(query, top_k, docs_.all());
      } else {
        keyword = KeywordIndex::build(docs_.all())->search(query, top_k, docs_.all());
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
  // document still missing its embedding among others is written as [].
  if (missing_embeddings_ < docs_.size()) {
    out.embeddings.reserve(embeddings_.size());
    for (size_t pos = 0; pos < embeddings_.size(); ++pos)
      out.embeddings.push_back(embeddings_.get(pos));
  }
  out.doc_ids.reserve(docs_.size());
  for (const DocumentInfo& doc : docs_.all()) out.doc_ids.push_back(doc.id);
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
  std::vector<bool> missing;
  size_t missing_count = 0;
  if (data.embeddings.empty()) {
    for (size_t pos = 0; pos < docs.size(); ++pos) embeddings.append({});
    missing_count = docs.size();
  } else {
    for (const auto& e : data.embeddings) {
      embeddings.append(e);
      if (e.empty()) ++missing_count;
    }
  }
  if (missing_count > 0) {
    missing.reserve(docs.size());
    for (size_t pos = 0; pos < docs.size(); ++pos)
      missing.push_back(data.embeddings.empty() || data.embeddings[pos].empty());
  }
  std::unique_ptr<KeywordIndex> keywords;
  if (!docs.empty()) keywords = KeywordIndex::build(docs.all());
  std::string stamp = now_iso();

  name_.swap(name);
  if (new_version) version_.swap(version);
  model_ = *model;
  if (data.dimension != 0) dimension_ = data.dimension;
  docs_.swap(docs);
  embeddings_.swap(embeddings);
  missing_.swap(missing);
  missing_embeddings_ = missing_count;
  keyword_index_.swap(keywords);
  updated_at_ = std::move(stamp);
  return Status::OK();
}

}  // namespace vesk
