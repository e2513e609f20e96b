#include "store/document_table.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <utility>

namespace vesk {

namespace {

uint64_t hash_id(std::string_view id) { return std::hash<std::string_view>()(id); }

}  // namespace

size_t DocumentTable::document_bytes() const {
  // A string's characters live on the heap past the small-string buffer.
  auto heap = [](const std::string& text) {
    return text.capacity() > 15 ? text.capacity() + 1 : size_t{0};
  };
  size_t bytes = docs_.capacity() * sizeof(DocumentInfo);
  for (const DocumentInfo& doc : docs_) {
    bytes += heap(doc.id) + heap(doc.text);
    if (!doc.metadata) continue;
    bytes += doc.metadata->capacity() * sizeof(Metadata::value_type);
    for (const auto& [key, value] : *doc.metadata) bytes += heap(key) + heap(value);
  }
  return bytes;
}

size_t DocumentTable::id_index_bytes() const {
  return table_.capacity() * sizeof(uint64_t) + live_.word_count() * sizeof(uint64_t);
}

size_t DocumentTable::find(std::string_view id) const {
  if (table_.empty()) return kNotFound;
  const uint64_t h = hash_id(id);
  const uint64_t tag = h >> kSlotBits;
  const size_t mask = table_.size() - 1;
  for (size_t i = h & mask;; i = (i + 1) & mask) {
    const uint64_t entry = table_[i];
    if (entry == kEmpty) return kNotFound;
    const size_t slot = entry & kSlotMask;
    if ((entry >> kSlotBits) == tag && docs_[slot].id == id) return slot;
  }
}

void DocumentTable::find_all(std::string_view id, std::vector<size_t>* out) const {
  const size_t first = find(id);
  if (first == kNotFound) return;
  out->push_back(first);
  if (!repeats_) return;
  for (size_t slot = first + 1; slot < docs_.size(); ++slot) {
    if (live_.test(slot) && docs_[slot].id == id) out->push_back(slot);
  }
}

void DocumentTable::reserve(size_t count) {
  if (count > docs_.capacity()) {
    const size_t target = std::max(count, 2 * docs_.capacity());
    // The bitmap first: if the documents' room then fails, a larger bitmap
    // capacity is all that remains, which changes nothing observable.
    live_.reserve(target);
    docs_.reserve(target);
  }
  if (2 * count <= table_.size()) return;
  std::vector<uint64_t> table(std::bit_ceil(std::max<size_t>(2 * count, 16)), kEmpty);
  table_.swap(table);
  rebuild_ids();
}

void DocumentTable::insert(size_t slot) noexcept {
  const std::string_view id = docs_[slot].id;
  const uint64_t h = hash_id(id);
  const uint64_t tag = h >> kSlotBits;
  const size_t mask = table_.size() - 1;
  for (size_t i = h & mask;; i = (i + 1) & mask) {
    const uint64_t entry = table_[i];
    if (entry == kEmpty) {
      table_[i] = (tag << kSlotBits) | slot;
      return;
    }
    // A repeated id keeps its first slot.
    if ((entry >> kSlotBits) == tag && docs_[entry & kSlotMask].id == id) {
      repeats_ = true;
      return;
    }
  }
}

void DocumentTable::remove(size_t slot) noexcept {
  const uint64_t h = hash_id(docs_[slot].id);
  const size_t mask = table_.size() - 1;
  size_t i = h & mask;
  while (true) {
    if (table_[i] == kEmpty) return;
    if ((table_[i] & kSlotMask) == slot) break;
    i = (i + 1) & mask;
  }
  // Backward-shift deletion: move later members of the probe run back so
  // every entry stays reachable from its home without tombstones.
  for (size_t j = (i + 1) & mask; table_[j] != kEmpty; j = (j + 1) & mask) {
    const size_t home = hash_id(docs_[table_[j] & kSlotMask].id) & mask;
    const bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
    if (stays) continue;
    table_[i] = table_[j];
    i = j;
  }
  table_[i] = kEmpty;
}

void DocumentTable::append(DocumentInfo doc) noexcept {
  docs_.push_back(std::move(doc));
  live_.resize(docs_.size(), true);
  insert(docs_.size() - 1);
}

void DocumentTable::assign_bulk(std::vector<DocumentInfo>&& docs) {
  // Everything that allocates comes first, into locals.
  Bitmap live(docs.size(), true);
  std::vector<uint64_t> table;
  if (2 * docs.size() > table_.size()) {
    table.assign(std::bit_ceil(std::max<size_t>(2 * docs.size(), 16)), kEmpty);
  }
  if (!table.empty()) table_.swap(table);
  docs_.swap(docs);
  std::swap(live_, live);
  dead_ = 0;
  rebuild_ids();
}

void DocumentTable::kill(std::span<const size_t> slots_to_kill) noexcept {
  for (size_t slot : slots_to_kill) {
    remove(slot);
    live_.reset(slot);
    ++dead_;
  }
}

std::vector<size_t> DocumentTable::dead_slots() const {
  std::vector<size_t> dead;
  dead.reserve(dead_);
  for (size_t slot = 0; slot < docs_.size(); ++slot) {
    if (!live_.test(slot)) dead.push_back(slot);
  }
  return dead;
}

void DocumentTable::compact() noexcept {
  if (dead_ == 0) return;
  size_t out = 0;
  for (size_t slot = 0; slot < docs_.size(); ++slot) {
    if (!live_.test(slot)) continue;
    if (out != slot) docs_[out] = std::move(docs_[slot]);
    ++out;
  }
  docs_.resize(out);
  live_.resize(0);
  live_.resize(out, true);
  dead_ = 0;
  rebuild_ids();
}

void DocumentTable::clear() noexcept {
  docs_.clear();
  live_.resize(0);
  dead_ = 0;
  repeats_ = false;
  std::fill(table_.begin(), table_.end(), kEmpty);
}

void DocumentTable::swap(DocumentTable& other) noexcept {
  docs_.swap(other.docs_);
  std::swap(live_, other.live_);
  std::swap(dead_, other.dead_);
  std::swap(repeats_, other.repeats_);
  table_.swap(other.table_);
}

void DocumentTable::rebuild_ids() noexcept {
  std::fill(table_.begin(), table_.end(), kEmpty);
  repeats_ = false;
  for (size_t slot = 0; slot < docs_.size(); ++slot) {
    if (live_.test(slot)) insert(slot);
  }
}

}  // namespace vesk
