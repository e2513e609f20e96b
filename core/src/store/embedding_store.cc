// Representation:
//
// Uniform mode (uniform_ == true): every embedding has length dim_. The
// blocks are laid out for layout_dim_ values per embedding (equal to dim_
// while the store is not empty; reserve() on an empty store sets it). runs_
// holds the runs in block order: run r has room for capacity_blocks blocks
// from block first_block, and the first_block of each run is where the room
// of the one before ends. Blocks in use fill the runs from the front; value i
// of position b * kB + j lives at values[(b - first_block) * kB * layout_dim_
// + i * kB + j] of the run holding block b. Lanes at positions >= size_ in
// the last block are zero, so a scan may read whole blocks. With
// layout_dim_ == 0 blocks take no memory and runs_ is not used. rows_ and
// length_counts_ are empty.
//
// Borrowed blocks (borrowed_ != nullptr): uniform mode with runs_ empty;
// block b of the size_ embeddings of length dim_ (== layout_dim_) is at
// borrowed_ + b * kB * dim_. Every mutation calls own() first, which replaces
// them by one run of the store's own.
//
// Mixed mode (uniform_ == false): rows_[p] is the embedding at position p and
// length_counts_ maps each length present to the number of rows with it; it
// always holds at least two lengths. As soon as a change leaves one length
// (or none) the store goes back to uniform mode, so uniform() needs no scan.
// runs_ is empty.

#include "store/embedding_store.h"

#include <sys/mman.h>
#include <algorithm>
#include <cassert>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "utils/page_advice.h"

namespace vesk {

namespace embedding_store_internal {

// Large arrays are mappings of their own, aligned to a huge page: freeing one
// returns its memory to the system at once, instead of leaving it in the heap
// for later requests of other sizes.
void* AllocateStreamed(size_t bytes) {
  if (bytes < kHugePage) return ::operator new(bytes);
  const size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  const size_t mapped = rounded + kHugePage;  // room to align
  void* raw = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
  if (aligned > start) munmap(raw, aligned - start);
  const size_t tail = start + mapped - (aligned + rounded);
  if (tail > 0) munmap(reinterpret_cast<void*>(aligned + rounded), tail);
  void* p = reinterpret_cast<void*>(aligned);
  advise_huge_pages(p, rounded);
  return p;
}

void FreeStreamed(void* p, size_t bytes) {
  if (bytes < kHugePage) {
    ::operator delete(p);
  } else {
    munmap(p, (bytes + kHugePage - 1) / kHugePage * kHugePage);
  }
}

}  // namespace embedding_store_internal

namespace {

constexpr size_t kB = EmbeddingStore::kBlock;

size_t BlocksFor(size_t count) { return (count + kB - 1) / kB; }

// Lets the scan of an empty-embedding store address its (empty) blocks.
const float kNoValues[1] = {0.0f};

}  // namespace

EmbeddingStore::EmbeddingStore(const EmbeddingStore& other)
    : size_(other.size_),
      dim_(other.dim_),
      uniform_(other.uniform_),
      layout_dim_(other.uniform_ ? other.layout_dim_ : 0),
      rows_(other.rows_),
      length_counts_(other.length_counts_) {
  const size_t blocks = other.block_count();
  if (!uniform_ || layout_dim_ == 0 || blocks == 0) return;
  add_run(blocks);
  Floats& values = runs_[0].values;
  for (size_t r = 0; r < other.run_count(); ++r) {
    const BlockRun run = other.run(r);
    values.insert(values.end(), run.data, run.data + run.block_count * block_floats());
  }
}

EmbeddingStore EmbeddingStore::borrow(size_t size, size_t dim, const float* blocks,
                                      std::shared_ptr<const void> owner) noexcept {
  EmbeddingStore store;
  if (size == 0) return store;
  store.size_ = size;
  store.dim_ = dim;
  store.layout_dim_ = dim;
  store.borrowed_ = blocks;
  store.borrowed_owner_ = std::move(owner);
  return store;
}

void EmbeddingStore::own() {
  if (borrowed_ == nullptr) return;
  EmbeddingStore copy(*this);  // one run of the store's own
  swap(copy);
}

EmbeddingStore& EmbeddingStore::operator=(const EmbeddingStore& other) {
  if (this != &other) {
    EmbeddingStore copy(other);
    swap(copy);
  }
  return *this;
}

EmbeddingStore::EmbeddingStore(EmbeddingStore&& other) noexcept { swap(other); }

EmbeddingStore& EmbeddingStore::operator=(EmbeddingStore&& other) noexcept {
  if (this != &other) {
    EmbeddingStore taken(std::move(other));
    swap(taken);
  }
  return *this;
}

size_t EmbeddingStore::size() const { return size_; }

size_t EmbeddingStore::memory_bytes() const {
  size_t bytes = runs_.capacity() * sizeof(Run) + rows_.capacity() * sizeof(rows_[0]);
  for (const Run& run : runs_) bytes += run.values.capacity() * sizeof(float);
  for (const auto& row : rows_) bytes += row.capacity() * sizeof(float);
  return bytes;
}

size_t EmbeddingStore::length(size_t pos) const {
  assert(pos < size_);
  return uniform_ ? dim_ : rows_[pos].size();
}

size_t EmbeddingStore::capacity_blocks() const {
  if (runs_.empty()) return 0;
  return runs_.back().first_block + runs_.back().capacity_blocks;
}

size_t EmbeddingStore::run_of(size_t b) const {
  auto it = std::upper_bound(runs_.begin(), runs_.end(), b,
                             [](size_t block, const Run& run) { return block < run.first_block; });
  assert(it != runs_.begin());
  return static_cast<size_t>(it - runs_.begin()) - 1;
}

void EmbeddingStore::set_layout(size_t dim) noexcept {
  assert(size_ == 0);
  layout_dim_ = dim;
  if (dim == 0) {
    runs_.clear();
    return;
  }
  // Runs too small for one block of the new length go; the rest are renumbered.
  size_t first = 0;
  size_t kept = 0;
  for (Run& run : runs_) {
    run.values.clear();
    run.capacity_blocks = run.values.capacity() / block_floats();
    if (run.capacity_blocks == 0) continue;
    run.first_block = first;
    first += run.capacity_blocks;
    if (&runs_[kept] != &run) runs_[kept] = std::move(run);
    ++kept;
  }
  runs_.erase(runs_.begin() + static_cast<std::ptrdiff_t>(kept), runs_.end());
}

void EmbeddingStore::add_run(size_t blocks) {
  assert(layout_dim_ > 0 && blocks > 0);
  runs_.reserve(runs_.size() + 1);
  size_t floats = blocks * block_floats();
  // Large runs are whole huge pages anyway: use all of them.
  const size_t page_floats = embedding_store_internal::kHugePage / sizeof(float);
  if (floats >= page_floats) floats = (floats + page_floats - 1) / page_floats * page_floats;
  Floats values;
  values.reserve(floats);
  const size_t first = capacity_blocks();
  runs_.push_back(Run{std::move(values), first, floats / block_floats()});
}

float* EmbeddingStore::lane(size_t pos) {
  return const_cast<float*>(std::as_const(*this).lane(pos));
}

const float* EmbeddingStore::lane(size_t pos) const {
  if (layout_dim_ == 0) return kNoValues;  // nothing to address
  if (borrowed_ != nullptr) return borrowed_ + (pos / kB) * block_floats() + (pos % kB);
  const size_t b = pos / kB;
  const Run& run = runs_[run_of(b)];
  return run.values.data() + (b - run.first_block) * block_floats() + (pos % kB);
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
  own();
  if (!uniform_) {
    if (count > rows_.capacity()) rows_.reserve(std::max(count, 2 * rows_.capacity()));
    return;
  }
  if (size_ > 0 && length != dim_) return;
  if (size_ == 0 && length != layout_dim_) set_layout(length);
  if (layout_dim_ == 0) return;
  const size_t have = capacity_blocks();
  const size_t need = BlocksFor(count);
  if (need <= have) return;
  // A new run of half the room so far (at most kMaxRunBytes) keeps growth
  // geometric, so that a caller reserving one more embedding per call pays
  // amortised constant time, without ever copying what is stored.
  const size_t max_run = std::max<size_t>(1, kMaxRunBytes / (block_floats() * sizeof(float)));
  add_run(std::max(need - have, std::min(have / 2, max_run)));
}

void EmbeddingStore::write_lane(size_t pos, std::span<const float> values) {
  float* dst = lane(pos);
  for (size_t i = 0; i < dim_; ++i) dst[i * kB] = values[i];
}

void EmbeddingStore::use_blocks(size_t blocks) noexcept {
  if (layout_dim_ == 0) return;
  for (Run& run : runs_) {
    const size_t used =
        blocks <= run.first_block ? 0 : std::min(run.capacity_blocks, blocks - run.first_block);
    // Within capacity: never reallocates.
    run.values.resize(used * block_floats(), 0.0f);
  }
}

void EmbeddingStore::append(std::span<const float> values) {
  own();
  if (uniform_ && size_ == 0) {
    dim_ = values.size();
    if (layout_dim_ != dim_) set_layout(dim_);  // keeps the room reserve() made
  }
  if (uniform_ && values.size() != dim_) to_mixed();
  if (!uniform_) {
    rows_.emplace_back(values.begin(), values.end());
    ++length_counts_[values.size()];
    ++size_;
    return;
  }
  if (size_ % kB == 0 && layout_dim_ > 0) {
    const size_t b = size_ / kB;
    if (b >= capacity_blocks()) reserve(size_ + 1, dim_);
    Run& run = runs_[run_of(b)];
    run.values.resize(run.values.size() + block_floats(), 0.0f);
  }
  ++size_;
  write_lane(size_ - 1, values);
}

void EmbeddingStore::replace(size_t pos, std::span<const float> values) {
  assert(pos < size_);
  own();
  if (uniform_) {
    if (values.size() == dim_) {
      write_lane(pos, values);
      return;
    }
    if (size_ == 1) {
      // The only embedding changes length: the store stays uniform.
      EmbeddingStore one;
      one.append(values);
      swap(one);
      return;
    }
    to_mixed();
  }
  std::vector<float>& row = rows_[pos];
  if (row.size() != values.size()) {
    drop_length(row.size());
    ++length_counts_[values.size()];
  }
  row.assign(values.begin(), values.end());
  maybe_to_uniform();
}

void EmbeddingStore::erase(std::span<const size_t> positions) {
  if (positions.empty()) return;
  own();
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
    use_blocks(BlocksFor(new_size));
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
      drop_length(rows_[src].size());
      continue;
    }
    if (dst != src) rows_[dst] = std::move(rows_[src]);
    ++dst;
  }
  rows_.resize(new_size);
  size_ = new_size;
  maybe_to_uniform();
}

void EmbeddingStore::clear() noexcept {
  if (borrowed_ != nullptr) {
    borrowed_ = nullptr;
    borrowed_owner_.reset();
    layout_dim_ = 0;
  }
  size_ = 0;
  dim_ = 0;
  uniform_ = true;
  use_blocks(0);  // keeps the room
  rows_.clear();
  length_counts_.clear();
}

void EmbeddingStore::swap(EmbeddingStore& other) noexcept {
  std::swap(size_, other.size_);
  std::swap(dim_, other.dim_);
  std::swap(uniform_, other.uniform_);
  std::swap(layout_dim_, other.layout_dim_);
  runs_.swap(other.runs_);
  rows_.swap(other.rows_);
  length_counts_.swap(other.length_counts_);
  std::swap(borrowed_, other.borrowed_);
  borrowed_owner_.swap(other.borrowed_owner_);
}

bool EmbeddingStore::uniform(size_t* dim) const {
  if (!uniform_) return false;
  *dim = dim_;
  return true;
}

const float* EmbeddingStore::block(size_t b) const {
  assert(uniform_ && b < block_count());
  return lane(b * kB);
}

size_t EmbeddingStore::block_count() const { return uniform_ ? BlocksFor(size_) : 0; }

size_t EmbeddingStore::run_count() const {
  const size_t blocks = block_count();
  if (blocks == 0) return 0;
  if (layout_dim_ == 0 || borrowed_ != nullptr) return 1;
  return run_of(blocks - 1) + 1;
}

EmbeddingStore::BlockRun EmbeddingStore::run(size_t i) const {
  assert(i < run_count());
  const size_t blocks = block_count();
  if (layout_dim_ == 0) return BlockRun{kNoValues, 0, blocks};
  if (borrowed_ != nullptr) return BlockRun{borrowed_, 0, blocks};
  const Run& r = runs_[i];
  return BlockRun{r.values.data(), r.first_block,
                  std::min(r.capacity_blocks, blocks - r.first_block)};
}

std::span<const float> EmbeddingStore::row(size_t pos) const {
  assert(!uniform_ && pos < size_);
  return rows_[pos];
}

void EmbeddingStore::to_mixed() {
  assert(uniform_);
  std::vector<std::vector<float>> rows;
  rows.reserve(size_ + 1);
  for (size_t p = 0; p < size_; ++p) rows.push_back(get(p));
  length_counts_.clear();
  if (size_ > 0) length_counts_[dim_] = size_;
  rows_.swap(rows);
  uniform_ = false;
  layout_dim_ = 0;
  std::vector<Run>().swap(runs_);
}

void EmbeddingStore::maybe_to_uniform() {
  assert(!uniform_);
  if (length_counts_.size() > 1) return;
  EmbeddingStore blocks;
  blocks.reserve(size_, size_ == 0 ? 0 : rows_[0].size());
  for (const auto& row : rows_) blocks.append(row);
  swap(blocks);
}

void EmbeddingStore::drop_length(size_t len) {
  auto it = length_counts_.find(len);
  assert(it != length_counts_.end());
  if (--it->second == 0) length_counts_.erase(it);
}

}  // namespace vesk
