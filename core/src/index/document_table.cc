#include "index/document_table.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <utility>

#include "utils/erase_positions.h"

namespace vesk {

namespace {

uint64_t hash_id(std::string_view id) { return std::hash<std::string_view>()(id); }

}  // namespace

size_t DocumentTable::find(std::string_view id) const {
  if (slots_.empty()) return kNotFound;
  const uint64_t h = hash_id(id);
  const uint64_t tag = h >> kPositionBits;
  const size_t mask = slots_.size() - 1;
  for (size_t i = h & mask;; i = (i + 1) & mask) {
    const uint64_t slot = slots_[i];
    if (slot == kEmpty) return kNotFound;
    const size_t pos = slot & kPositionMask;
    if ((slot >> kPositionBits) == tag && docs_[pos].id == id) return pos;
  }
}

void DocumentTable::reserve(size_t count) {
  if (count > docs_.capacity()) docs_.reserve(std::max(count, 2 * docs_.capacity()));
  if (2 * count <= slots_.size()) return;
  std::vector<uint64_t> slots(std::bit_ceil(std::max<size_t>(2 * count, 16)), kEmpty);
  slots_.swap(slots);
  rebuild_ids();
}

void DocumentTable::insert(size_t pos) noexcept {
  const std::string_view id = docs_[pos].id;
  const uint64_t h = hash_id(id);
  const uint64_t tag = h >> kPositionBits;
  const size_t mask = slots_.size() - 1;
  for (size_t i = h & mask;; i = (i + 1) & mask) {
    const uint64_t slot = slots_[i];
    if (slot == kEmpty) {
      slots_[i] = (tag << kPositionBits) | pos;
      return;
    }
    // A repeated id keeps its first position.
    if ((slot >> kPositionBits) == tag && docs_[slot & kPositionMask].id == id) return;
  }
}

void DocumentTable::append(DocumentInfo doc) noexcept {
  docs_.push_back(std::move(doc));
  insert(docs_.size() - 1);
}

void DocumentTable::erase(std::span<const size_t> positions) noexcept {
  if (positions.empty()) return;
  erase_positions(docs_, positions);
  rebuild_ids();
}

void DocumentTable::clear() noexcept {
  docs_.clear();
  std::fill(slots_.begin(), slots_.end(), kEmpty);
}

void DocumentTable::swap(DocumentTable& other) noexcept {
  docs_.swap(other.docs_);
  slots_.swap(other.slots_);
}

void DocumentTable::rebuild_ids() noexcept {
  std::fill(slots_.begin(), slots_.end(), kEmpty);
  for (size_t pos = 0; pos < docs_.size(); ++pos) insert(pos);
}

}  // namespace vesk
