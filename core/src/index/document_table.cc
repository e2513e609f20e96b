#include "index/document_table.h"

#include <algorithm>
#include <functional>
#include <utility>

#include "utils/erase_positions.h"

namespace vesk {

DocumentTable::DocumentTable() : first_position_(0, IdHash{&docs_}, IdEqual{&docs_}) {}

size_t DocumentTable::IdHash::operator()(std::string_view id) const {
  return std::hash<std::string_view>()(id);
}

size_t DocumentTable::find(std::string_view id) const {
  auto it = first_position_.find(id);
  return it == first_position_.end() ? kNotFound : *it;
}

void DocumentTable::reserve(size_t count) {
  // Geometric growth: reserving one more document per call stays amortised
  // constant time per document.
  if (count <= docs_.capacity()) return;
  const size_t target = std::max(count, 2 * docs_.capacity());
  docs_.reserve(target);
  first_position_.reserve(target);
}

void DocumentTable::append(DocumentInfo doc) {
  docs_.push_back(std::move(doc));
  // insert() keeps an existing entry, so a repeated id keeps its first position.
  first_position_.insert(docs_.size() - 1);
}

void DocumentTable::replace(size_t pos, DocumentInfo doc) { docs_[pos] = std::move(doc); }

void DocumentTable::erase(std::span<const size_t> positions) {
  if (positions.empty()) return;
  erase_positions(docs_, positions);
  rebuild_ids();
}

void DocumentTable::assign(std::vector<DocumentInfo> docs) {
  docs_ = std::move(docs);
  rebuild_ids();
}

void DocumentTable::clear() {
  first_position_.clear();
  docs_.clear();
}

void DocumentTable::rebuild_ids() {
  first_position_.clear();
  first_position_.reserve(docs_.size());
  for (size_t pos = 0; pos < docs_.size(); ++pos) first_position_.insert(pos);
}

}  // namespace vesk
