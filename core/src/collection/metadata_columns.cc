#include "collection/metadata_columns.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace vesk {

MetadataValue MetadataColumns::Column::value(size_t slot) const {
  const uint64_t bits = scalars[slot];
  switch (kinds[slot]) {
    case kString:
      return strings[slot];
    case kInt:
      return static_cast<int64_t>(bits);
    case kDouble: {
      double d;
      std::memcpy(&d, &bits, sizeof d);
      return d;
    }
    case kBool:
      return bits != 0;
    default:
      return std::monostate();
  }
}

void MetadataColumns::Column::put(size_t slot, MetadataValue&& value) noexcept {
  const uint8_t kind = static_cast<uint8_t>(value.index());
  uint64_t bits = 0;
  if (auto* s = std::get_if<std::string>(&value)) {
    strings[slot] = std::move(*s);
  } else if (const auto* x = std::get_if<int64_t>(&value)) {
    bits = static_cast<uint64_t>(*x);
  } else if (const auto* d = std::get_if<double>(&value)) {
    std::memcpy(&bits, d, sizeof bits);
  } else if (const auto* b = std::get_if<bool>(&value)) {
    bits = *b ? 1 : 0;
  }
  kinds[slot] = kind;
  scalars[slot] = bits;
  if (kind == kAbsent) {
    present.reset(slot);
  } else {
    present.set(slot);
    ++kind_counts[kind];
  }
}

void MetadataColumns::Column::erase(size_t slot) noexcept {
  if (kinds[slot] == kString) strings[slot] = std::string();
  if (kinds[slot] != kAbsent) --kind_counts[kinds[slot]];
  kinds[slot] = kAbsent;
  scalars[slot] = 0;
  present.reset(slot);
}

void MetadataColumns::Column::hold_strings() {
  if (has_strings) return;
  strings.resize(kinds.size());
  has_strings = true;
}

const MetadataColumns::Column* MetadataColumns::find(std::string_view key) const {
  auto it = by_key_.find(key);
  return it == by_key_.end() ? nullptr : &columns_[it->second];
}

void MetadataColumns::reserve(size_t slots, std::span<const TypedMetadata* const> incoming) {
  for (const TypedMetadata* metadata : incoming) {
    for (const auto& [key, value] : *metadata) {
      auto it = by_key_.find(key);
      if (it == by_key_.end()) {
        // Room in the vector of columns first, so that the final move cannot
        // fail; the map entry is the last step that may fail.
        columns_.reserve(columns_.size() + 1);
        Column column;
        column.key = key;
        column.kinds.resize(slots_);
        column.scalars.resize(slots_);
        column.present.resize(slots_);
        it = by_key_.emplace(key, columns_.size()).first;
        columns_.push_back(std::move(column));
      }
      if (std::holds_alternative<std::string>(value)) columns_[it->second].hold_strings();
    }
  }
  for (Column& column : columns_) {
    column.kinds.reserve(slots);
    column.scalars.reserve(slots);
    if (column.has_strings) column.strings.reserve(slots);
    column.present.reserve(slots);
  }
}

void MetadataColumns::assign_bulk(std::vector<Column>&& columns, size_t slots) {
  forget_matches();
  decltype(by_key_) by_key;
  for (size_t i = 0; i < columns.size(); ++i) by_key.emplace(columns[i].key, i);
  by_key_.swap(by_key);
  columns_.swap(columns);
  slots_ = slots;
}

void MetadataColumns::assign(size_t slot, TypedMetadata&& metadata) noexcept {
  for (auto& [key, value] : metadata) {
    columns_[by_key_.find(key)->second].put(slot, std::move(value));
  }
}

void MetadataColumns::append(TypedMetadata&& metadata) noexcept {
  forget_matches();
  for (Column& column : columns_) {
    column.kinds.push_back(Column::kAbsent);
    column.scalars.push_back(0);
    if (column.has_strings) column.strings.emplace_back();
    column.present.resize(slots_ + 1);
  }
  ++slots_;
  assign(slots_ - 1, std::move(metadata));
}

void MetadataColumns::replace(size_t slot, TypedMetadata&& metadata) noexcept {
  forget_matches();
  for (Column& column : columns_) {
    if (column.present.test(slot)) column.erase(slot);
  }
  assign(slot, std::move(metadata));
}

void MetadataColumns::compact(const Bitmap& keep) noexcept {
  forget_matches();
  for (Column& column : columns_) {
    size_t out = 0;
    for (size_t slot = 0; slot < slots_; ++slot) {
      if (!keep.test(slot)) {
        if (column.kinds[slot] != Column::kAbsent) --column.kind_counts[column.kinds[slot]];
        continue;
      }
      if (out != slot) {
        column.kinds[out] = column.kinds[slot];
        column.scalars[out] = column.scalars[slot];
        if (column.has_strings) column.strings[out] = std::move(column.strings[slot]);
      }
      ++out;
    }
    column.kinds.resize(out);
    column.scalars.resize(out);
    if (column.has_strings) column.strings.resize(out);
    column.present.compact(keep);
  }
  size_t kept = 0;
  for (size_t slot = 0; slot < slots_; ++slot) kept += keep.test(slot) ? 1 : 0;
  slots_ = kept;
}

void MetadataColumns::clear() noexcept {
  forget_matches();
  slots_ = 0;
  columns_.clear();
  by_key_.clear();
}

TypedMetadata MetadataColumns::get(size_t slot) const {
  TypedMetadata out;
  for (const Column& column : columns_) {
    if (column.present.test(slot)) out.emplace_back(column.key, column.value(slot));
  }
  return out;
}

bool MetadataColumns::find_match(std::string_view key, std::vector<uint64_t>* words) const {
  std::lock_guard<std::mutex> lock(matches_mutex_);
  for (auto it = matches_.begin(); it != matches_.end(); ++it) {
    if (it->first != key) continue;
    *words = it->second;
    std::rotate(it, it + 1, matches_.end());  // now the most recent
    return true;
  }
  return false;
}

void MetadataColumns::remember_match(std::string_view key,
                                     const std::vector<uint64_t>& words) const {
  std::pair<std::string, std::vector<uint64_t>> entry(std::string(key), words);
  std::lock_guard<std::mutex> lock(matches_mutex_);
  for (const auto& [known, bits] : matches_) {
    if (known == key) return;
  }
  if (matches_.size() == kRememberedMatches) matches_.erase(matches_.begin());
  matches_.push_back(std::move(entry));
}

void MetadataColumns::forget_matches() noexcept {
  std::lock_guard<std::mutex> lock(matches_mutex_);
  matches_.clear();
  value_slots_.clear();
}

std::shared_ptr<const MetadataColumns::ValueSlots> MetadataColumns::value_slots(
    const Column& column) const {
  const bool ints = column.only(Column::kInt);
  const bool strings = !ints && column.only(Column::kString);
  if (!ints && !strings) return nullptr;
  const size_t c = static_cast<size_t>(&column - columns_.data());
  {
    std::lock_guard<std::mutex> lock(matches_mutex_);
    if (c < value_slots_.size() && value_slots_[c] != nullptr) return value_slots_[c];
  }
  // Built outside the lock; two threads may both build, and the first kept wins.
  auto built = std::make_shared<ValueSlots>();
  column.present.for_each_set([&](size_t slot) {
    const uint32_t s = static_cast<uint32_t>(slot);
    if (ints) {
      built->ints[static_cast<int64_t>(column.scalars[slot])].push_back(s);
    } else {
      auto it = built->strings.find(std::string_view(column.strings[slot]));
      if (it == built->strings.end())
        it = built->strings.emplace(column.strings[slot], std::vector<uint32_t>()).first;
      it->second.push_back(s);
    }
  });
  std::lock_guard<std::mutex> lock(matches_mutex_);
  if (value_slots_.size() < columns_.size()) value_slots_.resize(columns_.size());
  if (value_slots_[c] == nullptr) value_slots_[c] = std::move(built);
  return value_slots_[c];
}

}  // namespace vesk
