#include "index/index.h"

#include <chrono>
#include <ctime>
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

void Index::set_embedding_present(size_t pos) {
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

  AddCounts counts;
  if (docs.empty()) {
    updated_at_ = now_iso();
    return counts;
  }
  KeywordIndex* keywords = keyword_index();
  docs_.reserve(docs_.size() + docs.size());
  embeddings_.reserve(docs_.size() + docs.size());
  for (size_t i = 0; i < docs.size(); ++i) {
    const size_t pos = docs_.find(docs[i].id);
    if (pos != DocumentTable::kNotFound) {
      if (!upsert) continue;
      docs_.replace(pos, std::move(docs[i]));
      embeddings_.replace(pos, (*embeddings)[i]);
      set_embedding_present(pos);
      keywords->replace(pos, docs_[pos]);
      ++counts.updated;
    } else {
      docs_.append(std::move(docs[i]));
      embeddings_.append((*embeddings)[i]);
      if (missing_embeddings_ > 0) missing_.push_back(false);
      keywords->append(docs_[docs_.size() - 1]);
      ++counts.added;
    }
  }
  updated_at_ = now_iso();
  return counts;
}

uint64_t Index::delete_documents(std::span<const std::string> doc_ids) {
  std::unordered_set<std::string_view> wanted(doc_ids.begin(), doc_ids.end());
  std::vector<size_t> positions;
  for (size_t pos = 0; pos < docs_.size(); ++pos) {
    if (wanted.count(docs_[pos].id)) positions.push_back(pos);
  }
  if (positions.empty()) return 0;

  docs_.erase(positions);
  embeddings_.erase(positions);
  if (missing_embeddings_ > 0) {
    for (size_t pos : positions) missing_embeddings_ -= missing_[pos] ? 1 : 0;
    erase_positions(missing_, positions);
    if (missing_embeddings_ == 0) missing_.clear();
  }
  if (docs_.empty()) {
    keyword_index_.reset();
  } else if (keyword_index_) {
    keyword_index_->erase(positions);
  } else {
    rebuild_keyword_index();
  }
  updated_at_ = now_iso();
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
  docs_.clear();
  embeddings_.clear();
  missing_.clear();
  missing_embeddings_ = 0;
  updated_at_ = now_iso();
  keyword_index_.reset();
}

KeywordIndex* Index::keyword_index() {
  if (!keyword_index_) keyword_index_ = KeywordIndex::build(docs_.all());
  return keyword_index_.get();
}

void Index::rebuild_keyword_index() {
  if (docs_.empty()) {
    keyword_index_.reset();
  } else {
    keyword_index_ = KeywordIndex::build(docs_.all());
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
  name_ = data.name;
  if (!trim_white_space(data.version).empty()) version_ = data.version;
  const std::optional<VeskModel> model = vesk_model_from_id(data.model.id);
  if (!model.has_value()) return Status::InvalidArgument("Unknown model id: " + data.model.id);
  model_ = *model;
  if (data.dimension != 0) dimension_ = data.dimension;

  std::vector<DocumentInfo> docs;
  docs.reserve(data.doc_ids.size());
  for (const std::string& id : data.doc_ids) docs.push_back(DocumentInfo{id, "", Metadata{}});
  docs_.assign(std::move(docs));

  embeddings_.clear();
  missing_.clear();
  missing_embeddings_ = 0;
  if (data.embeddings.empty()) {
    // Ids without embeddings: every position gets an empty placeholder that
    // takes no part in the dense search until the document is upserted.
    embeddings_.reserve(docs_.size());
    for (size_t pos = 0; pos < docs_.size(); ++pos) embeddings_.append({});
    missing_embeddings_ = docs_.size();
    if (missing_embeddings_ > 0) missing_.assign(docs_.size(), true);
  } else {
    embeddings_.reserve(data.embeddings.size());
    for (const auto& e : data.embeddings) embeddings_.append(e);
  }
  updated_at_ = now_iso();
  rebuild_keyword_index();
  return Status::OK();
}

}  // namespace vesk
