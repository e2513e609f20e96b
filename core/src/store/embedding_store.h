// EmbeddingStore: the embeddings of an index, position i belonging to stored
// document i, laid out for the dense scan.
//
// Embeddings may have any length. While every stored embedding has the same
// length (the common case) they are kept in blocks of kBlock documents
// interleaved by dimension, so that a scan can load one dimension of kBlock
// documents with one contiguous read; otherwise each embedding is kept on its
// own. The store switches layout by itself: to per-embedding rows when an
// embedding of another length arrives, back to blocks when a change (replace,
// erase, clear) leaves a single length. append and replace cost O(length)
// (amortised) unless they switch layout, which costs O(total size); erase moves
// each later embedding once per call.
//
// Blocks live in runs: arrays of consecutive blocks. Growing the store adds a
// run and never copies the blocks already stored, so the memory held while
// adding stays within about 1.5 times the stored blocks, and within one run of
// kMaxRunBytes of them once runs reach that size.
//
// For callers that make changes all-or-nothing: once reserve(count, length)
// has succeeded, appending embeddings of that length up to `count` and
// replacing any embedding by one of the store's uniform length allocate
// nothing and cannot fail; erase cannot fail while the store is uniform.
// (All of this holds once borrowed blocks are owned; see below.)
// Anything else may allocate (std::bad_alloc); such a caller applies it to a
// copy and swaps the copy in.
//
// Borrowed blocks: borrow() makes a store whose blocks are read-only memory
// owned elsewhere (a mapped file), kept alive by a shared owner; the scan
// reads them in place. Every change first copies them into memory of the
// store's own (copy on write); own() does that copy ahead, so that a caller
// can make it part of the steps that may fail.
//
// Thread safety: const methods may run concurrently; mutation needs exclusive
// access. Ownership: the store owns copies of all values given to it, except
// borrowed blocks, which it only keeps alive through their owner.
#ifndef VESK_CORE_STORE_EMBEDDING_STORE_H_
#define VESK_CORE_STORE_EMBEDDING_STORE_H_

#include <cstddef>
#include <map>
#include <memory>
#include <span>
#include <vector>

#include "utils/page_advice.h"

namespace vesk {

namespace embedding_store_internal {

// Memory for arrays the dense scan streams through. Requests of at least
// kHugePage bytes are mappings of their own (returned to the system when
// freed), aligned to kHugePage and advised for transparent huge pages (Linux), so a scan of a large
// store is not held back by TLB misses and by prefetching that stops at every 4 KiB page; smaller
// ones come from the ordinary heap. Never fails silently: throws std::bad_alloc like new.
constexpr size_t kHugePage = kHugePageBytes;
void* AllocateStreamed(size_t bytes);
void FreeStreamed(void* p, size_t bytes);

template <typename T>
struct StreamedAllocator {
  using value_type = T;
  StreamedAllocator() = default;
  template <typename U>
  StreamedAllocator(const StreamedAllocator<U>&) {}  // NOLINT: rebinding
  T* allocate(size_t n) { return static_cast<T*>(AllocateStreamed(n * sizeof(T))); }
  void deallocate(T* p, size_t n) { FreeStreamed(p, n * sizeof(T)); }
  template <typename U>
  bool operator==(const StreamedAllocator<U>&) const {
    return true;
  }
};

}  // namespace embedding_store_internal

class EmbeddingStore {
 public:
  static constexpr size_t kBlock = 16;
  // Runs added by growth are at most this large (unless one reserve() asks
  // for more at once), which bounds the unused tail of the last run.
  static constexpr size_t kMaxRunBytes = 4 << 20;

  EmbeddingStore() = default;
  // A copy holds the stored blocks in one run of exactly their size.
  EmbeddingStore(const EmbeddingStore& other);
  EmbeddingStore& operator=(const EmbeddingStore& other);
  EmbeddingStore(EmbeddingStore&& other) noexcept;
  EmbeddingStore& operator=(EmbeddingStore&& other) noexcept;

  // A store of `size` embeddings of `dim` values whose blocks are read in
  // place from `blocks`: (size + kBlock - 1) / kBlock blocks in the layout of
  // block() (lanes past `size` zero), aligned to 64 bytes, left unchanged and
  // valid as long as `owner` lives. Allocates nothing but the owner's share.
  // REQUIRES: dim > 0 or size == 0.
  static EmbeddingStore borrow(size_t size, size_t dim, const float* blocks,
                               std::shared_ptr<const void> owner) noexcept;
  // True while the blocks are borrowed (see above).
  bool borrowed() const { return borrowed_ != nullptr; }
  // Copies borrowed blocks into memory of the store's own (nothing to do
  // otherwise). On failure (std::bad_alloc) the store is unchanged.
  void own();

  size_t size() const;
  bool empty() const { return size() == 0; }
  // Bytes of memory held by the embeddings, reserved room included; borrowed
  // blocks count as none.
  size_t memory_bytes() const;
  // Length of the embedding at `pos`. REQUIRES: pos < size().
  size_t length(size_t pos) const;
  // Copies the embedding at `pos` into a new vector. REQUIRES: pos < size().
  std::vector<float> get(size_t pos) const;

  // Makes room for `count` embeddings in all, sized for embeddings of
  // `length` values while the store is uniform with that length or empty.
  // Growth is geometric. On failure (std::bad_alloc) the store is unchanged.
  void reserve(size_t count, size_t length);
  // Like every change below, copies borrowed blocks first (own()).
  // Appends a copy of `values` at position size().
  void append(std::span<const float> values);
  // Replaces the embedding at `pos` by a copy of `values`. REQUIRES: pos < size().
  void replace(size_t pos, std::span<const float> values);
  // Removes the given positions (strictly increasing, each < size()); later
  // embeddings move down and keep their relative order.
  void erase(std::span<const size_t> positions);
  void clear() noexcept;
  void swap(EmbeddingStore& other) noexcept;

  // True when an embedding of `length` values can be appended or written
  // over another in place: the store is empty or uniform with that length.
  bool takes_in_place(size_t length) const { return uniform_ && (size_ == 0 || dim_ == length); }

  // When every stored embedding has the same length, returns true and sets
  // *dim to it (also for an empty store, with *dim 0).
  bool uniform(size_t* dim) const;

  // Interleaved blocks; valid only while uniform(). Block b holds positions
  // [b * kBlock, b * kBlock + kBlock) as dim rows of kBlock floats: value i of
  // position b * kBlock + j is at block(b)[i * kBlock + j]. Lanes past size()
  // in the last block hold zeros.
  const float* block(size_t b) const;
  size_t block_count() const;

  // Consecutive blocks [first_block, first_block + block_count) stored
  // contiguously from `data`: block first_block + k is at data + k * kBlock *
  // dim. Never empty.
  struct BlockRun {
    const float* data;
    size_t first_block;
    size_t block_count;
  };
  // The runs cover blocks 0..block_count()-1 in order, run(i + 1) starting
  // where run(i) ends. Valid only while uniform(); 0 runs when empty.
  size_t run_count() const;
  BlockRun run(size_t i) const;  // REQUIRES: i < run_count()

  // The embedding at `pos` as a contiguous span; valid only while !uniform().
  std::span<const float> row(size_t pos) const;

 private:
  // See embedding_store.cc for the representation.
  using Floats = std::vector<float, embedding_store_internal::StreamedAllocator<float>>;
  struct Run {
    Floats values;       // whole blocks in use; capacity for capacity_blocks
    size_t first_block;  // block number of values[0]
    size_t capacity_blocks;
  };

  size_t block_floats() const { return kBlock * layout_dim_; }
  size_t capacity_blocks() const;
  // Index of the run holding block b. REQUIRES: b < capacity_blocks().
  size_t run_of(size_t b) const;
  // Makes the runs hold blocks of `dim` values. REQUIRES: size_ == 0.
  void set_layout(size_t dim) noexcept;
  // Adds a run with room for at least `blocks` blocks of layout_dim_ values.
  // On failure nothing changes.
  void add_run(size_t blocks);
  // Address of value 0 of position `pos` in the interleaved blocks; value i is
  // kBlock floats further on per step. Uniform mode only.
  float* lane(size_t pos);
  const float* lane(size_t pos) const;
  void write_lane(size_t pos, std::span<const float> values);
  // Sets the number of blocks in use (within capacity). Never allocates.
  void use_blocks(size_t blocks) noexcept;
  void to_mixed();
  // Returns to uniform mode when at most one length remains.
  void maybe_to_uniform();
  void drop_length(size_t len);

  size_t size_ = 0;
  size_t dim_ = 0;
  bool uniform_ = true;
  size_t layout_dim_ = 0;                   // uniform layout: floats per block row
  std::vector<Run> runs_;                   // uniform layout
  std::vector<std::vector<float>> rows_;    // mixed layout
  std::map<size_t, size_t> length_counts_;  // mixed layout: length -> rows
  // Borrowed blocks (uniform layout, runs_ empty) and what keeps them alive.
  const float* borrowed_ = nullptr;
  std::shared_ptr<const void> borrowed_owner_;
};

}  // namespace vesk

#endif  // VESK_CORE_STORE_EMBEDDING_STORE_H_
