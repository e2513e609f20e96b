// Representation:
//
// Uniform mode (uniform_ == true): every embedding has length dim_. blocks_
// holds block_count() blocks of kBlock * dim_ floats; value i of position
// b * kBlock + j lives at blocks_[b * kBlock * dim_ + i * kBlock + j]. Lanes at
// positions >= size_ in the last block are zero, so a scan may read whole
// blocks. rows_ and length_counts_ are empty.
//
// Mixed mode (uniform_ == false): rows_[p] is the embedding at position p and
// length_counts_ maps each length present to the number of rows with it; it
// always holds at least two lengths. As soon as a change leaves one length
// (or none) the store goes back to uniform mode, so uniform() needs no scan.
// blocks_ is empty.

#include "index/embedding_store.h"

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <new>

#include "utils/huge_pages.h"

namespace vesk {

namespace embedding_store_internal {

void* AllocateStreamed(size_t bytes) {
  if (bytes < kHugePage) return ::operator new(bytes);
  const size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  void* p = ::operator new (rounded, std::align_val_t{kHugePage});
  advise_huge_pages(p, rounded);
  return p;
}

void FreeStreamed(void* p, size_t bytes) {
  if (bytes < kHugePage) {
    ::operator delete(p);
  } else {
    ::operator delete (p, std::align_val_t{kHugePage});
  }
}

}  // namespace embedding_store_internal

namespace {

constexpr size_t kB = EmbeddingStore::kBlock;

size_t BlocksFor(size_t count) { return (count + kB - 1) / kB; }

}  // namespace

size_t EmbeddingStore::size() const { return size_; }

size_t EmbeddingStore::memory_bytes() const {
  size_t bytes = blocks_.capacity() * sizeof(float) + rows_.capacity() * sizeof(rows_[0]);
  for (const auto& row : rows_) bytes += row.capacity() * sizeof(float);
  return bytes;
}

size_t EmbeddingStore::length(size_t pos) const {
  assert(pos < size_);
  return uniform_ ? dim_ : rows_[pos].size();
}

float* EmbeddingStore::lane(size_t pos) {
  if (dim_ == 0) return blocks_.data();  // nothing to address
  return blocks_.data() + (pos / kB) * kB * dim_ + (pos % kB);
}

const float* EmbeddingStore::lane(size_t pos) const {
  if (dim_ == 0) return blocks_.data();
  return blocks_.data() + (pos / kB) * kB * dim_ + (pos % kB);
}

std::vector<float> EmbeddingStore::get(size_t pos) const {
  assert(pos < size_);
  if (!uniform_) return rows_[pos];
  std::vector<float> out(dim_);
  const float* src = lane(pos);
  for (size_t i = 0; i < dim_; ++i) out[i] = src[i * kB];
  return out;
}

void EmbeddingStore::reserve(size_t count, size_t length) {
  // Growth is geometric, so that a caller reserving one more embedding per
  // call still pays amortised constant time per embedding.
  if (uniform_) {
    if (size_ > 0 && length != dim_) return;
    const size_t want = BlocksFor(count) * kB * length;
    if (want > blocks_.capacity()) blocks_.reserve(std::max(want, 2 * blocks_.capacity()));
  } else if (count > rows_.capacity()) {
    rows_.reserve(std::max(count, 2 * rows_.capacity()));
  }
}

void EmbeddingStore::WriteLane(size_t pos, std::span<const float> values) {
  float* dst = lane(pos);
  for (size_t i = 0; i < dim_; ++i) dst[i * kB] = values[i];
}

void EmbeddingStore::append(std::span<const float> values) {
  if (uniform_ && size_ == 0) {
    dim_ = values.size();
    blocks_.clear();  // keeps the capacity reserve() made
  }
  if (uniform_ && values.size() != dim_) ToMixed();
  if (!uniform_) {
    rows_.emplace_back(values.begin(), values.end());
    ++length_counts_[values.size()];
    ++size_;
    return;
  }
  if (size_ % kB == 0) blocks_.resize(blocks_.size() + kB * dim_, 0.0f);
  ++size_;
  WriteLane(size_ - 1, values);
}

void EmbeddingStore::replace(size_t pos, std::span<const float> values) {
  assert(pos < size_);
  if (uniform_) {
    if (values.size() == dim_) {
      WriteLane(pos, values);
      return;
    }
    if (size_ == 1) {
      // The only embedding changes length: the store stays uniform.
      dim_ = values.size();
      blocks_.assign(kB * dim_, 0.0f);
      WriteLane(0, values);
      return;
    }
    ToMixed();
  }
  std::vector<float>& row = rows_[pos];
  if (row.size() != values.size()) {
    DropLength(row.size());
    ++length_counts_[values.size()];
  }
  row.assign(values.begin(), values.end());
  MaybeToUniform();
}

void EmbeddingStore::erase(std::span<const size_t> positions) {
  if (positions.empty()) return;
  assert(std::is_sorted(positions.begin(), positions.end()));
  assert(positions.back() < size_);
  const size_t new_size = size_ - positions.size();
  if (new_size == 0) {
    clear();
    return;
  }
  // One pass from the first erased position: each survivor moves down once.
  size_t next = 0;  // index into positions of the next position to drop
  size_t dst = positions[0];
  if (uniform_) {
    for (size_t src = positions[0]; src < size_; ++src) {
      if (next < positions.size() && positions[next] == src) {
        ++next;
        continue;
      }
      if (dst != src) {
        const float* from = lane(src);
        float* to = lane(dst);
        for (size_t i = 0; i < dim_; ++i) to[i * kB] = from[i * kB];
      }
      ++dst;
    }
    blocks_.resize(BlocksFor(new_size) * kB * dim_);
    // Clear the lanes past the new end of the last block.
    for (size_t p = new_size; p % kB != 0; ++p) {
      float* to = lane(p);
      for (size_t i = 0; i < dim_; ++i) to[i * kB] = 0.0f;
    }
    size_ = new_size;
    return;
  }
  for (size_t src = positions[0]; src < size_; ++src) {
    if (next < positions.size() && positions[next] == src) {
      ++next;
      DropLength(rows_[src].size());
      continue;
    }
    if (dst != src) rows_[dst] = std::move(rows_[src]);
    ++dst;
  }
  rows_.resize(new_size);
  size_ = new_size;
  MaybeToUniform();
}

void EmbeddingStore::clear() noexcept {
  size_ = 0;
  dim_ = 0;
  uniform_ = true;
  blocks_.clear();
  rows_.clear();
  length_counts_.clear();
}

void EmbeddingStore::swap(EmbeddingStore& other) noexcept {
  std::swap(size_, other.size_);
  std::swap(dim_, other.dim_);
  std::swap(uniform_, other.uniform_);
  blocks_.swap(other.blocks_);
  rows_.swap(other.rows_);
  length_counts_.swap(other.length_counts_);
}

bool EmbeddingStore::uniform(size_t* dim) const {
  if (!uniform_) return false;
  *dim = dim_;
  return true;
}

const float* EmbeddingStore::block(size_t b) const {
  assert(uniform_ && b < block_count());
  return blocks_.data() + b * kB * dim_;
}

size_t EmbeddingStore::block_count() const { return uniform_ ? BlocksFor(size_) : 0; }

std::span<const float> EmbeddingStore::row(size_t pos) const {
  assert(!uniform_ && pos < size_);
  return rows_[pos];
}

void EmbeddingStore::ToMixed() {
  assert(uniform_);
  rows_.clear();
  rows_.reserve(size_ + 1);
  for (size_t p = 0; p < size_; ++p) rows_.push_back(get(p));
  length_counts_.clear();
  if (size_ > 0) length_counts_[dim_] = size_;
  uniform_ = false;
  decltype(blocks_)().swap(blocks_);
}

void EmbeddingStore::MaybeToUniform() {
  assert(!uniform_);
  if (length_counts_.size() > 1) return;
  dim_ = size_ == 0 ? 0 : rows_[0].size();
  uniform_ = true;
  blocks_.assign(BlocksFor(size_) * kB * dim_, 0.0f);
  for (size_t p = 0; p < size_; ++p) WriteLane(p, rows_[p]);
  std::vector<std::vector<float>>().swap(rows_);
  length_counts_.clear();
}

void EmbeddingStore::DropLength(size_t len) {
  auto it = length_counts_.find(len);
  assert(it != length_counts_.end());
  if (--it->second == 0) length_counts_.erase(it);
}

}  // namespace vesk
