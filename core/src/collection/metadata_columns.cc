#include "collection/metadata_columns.h"

#include <utility>

namespace vesk {

const MetadataColumns::Column* MetadataColumns::find(std::string_view key) const {
  auto it = by_key_.find(key);
  return it == by_key_.end() ? nullptr : &columns_[it->second];
}

void MetadataColumns::reserve(size_t slots, std::span<const TypedMetadata* const> incoming) {
  for (const TypedMetadata* metadata : incoming) {
    for (const auto& [key, value] : *metadata) {
      if (by_key_.count(key) != 0) continue;
      // Room in the vector of columns first, so that the final move cannot
      // fail; the map entry is the last step that may fail.
      columns_.reserve(columns_.size() + 1);
      Column column;
      column.key = key;
      column.values.resize(slots_);
      column.present.resize(slots_);
      by_key_.emplace(key, columns_.size());
      columns_.push_back(std::move(column));
    }
  }
  for (Column& column : columns_) {
    column.values.reserve(slots);
    column.present.reserve(slots);
  }
}

void MetadataColumns::assign_bulk(std::vector<Column>&& columns, size_t slots) {
  decltype(by_key_) by_key;
  for (size_t i = 0; i < columns.size(); ++i) by_key.emplace(columns[i].key, i);
  by_key_.swap(by_key);
  columns_.swap(columns);
  slots_ = slots;
}

void MetadataColumns::assign(size_t slot, TypedMetadata&& metadata) noexcept {
  for (auto& [key, value] : metadata) {
    Column& column = columns_[by_key_.find(key)->second];
    column.values[slot] = std::move(value);
    column.present.set(slot);
  }
}

void MetadataColumns::append(TypedMetadata&& metadata) noexcept {
  for (Column& column : columns_) {
    column.values.emplace_back();
    column.present.resize(slots_ + 1);
  }
  ++slots_;
  assign(slots_ - 1, std::move(metadata));
}

void MetadataColumns::replace(size_t slot, TypedMetadata&& metadata) noexcept {
  for (Column& column : columns_) {
    if (!column.present.test(slot)) continue;
    column.values[slot] = std::monostate();
    column.present.reset(slot);
  }
  assign(slot, std::move(metadata));
}

void MetadataColumns::compact(const Bitmap& keep) noexcept {
  for (Column& column : columns_) {
    size_t out = 0;
    for (size_t slot = 0; slot < slots_; ++slot) {
      if (!keep.test(slot)) continue;
      if (out != slot) column.values[out] = std::move(column.values[slot]);
      ++out;
    }
    column.values.resize(out);
    column.present.compact(keep);
  }
  size_t kept = 0;
  for (size_t slot = 0; slot < slots_; ++slot) kept += keep.test(slot) ? 1 : 0;
  slots_ = kept;
}

void MetadataColumns::clear() noexcept {
  slots_ = 0;
  columns_.clear();
  by_key_.clear();
}

TypedMetadata MetadataColumns::get(size_t slot) const {
  TypedMetadata out;
  for (const Column& column : columns_) {
    if (column.present.test(slot)) out.emplace_back(column.key, column.values[slot]);
  }
  return out;
}

}  // namespace vesk
