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
// For callers that make changes all-or-nothing: once reserve(count, length)
// has succeeded, appending embeddings of that length up to `count` and
// replacing any embedding by one of the store's uniform length allocate
// nothing and cannot fail; erase cannot fail while the store is uniform.
// Anything else may allocate (std::bad_alloc); such a caller applies it to a
// copy and swaps the copy in.
//
// Thread safety: const methods may run concurrently; mutation needs exclusive
// access. Ownership: the store owns copies of all values given to it.
#ifndef VESK_CORE_INDEX_EMBEDDING_STORE_H_
#define VESK_CORE_INDEX_EMBEDDING_STORE_H_

#include <cstddef>
#include <map>
#include <span>
#include <vector>

#include "utils/huge_pages.h"

namespace vesk {

namespace embedding_store_internal {

// Memory for arrays the dense scan streams through. Requests of at least
// kHugePage bytes are aligned to kHugePage and advised for transparent huge
// pages (Linux), so a scan of a large store is not held back by TLB misses
// and by prefetching that stops at every 4 KiB page; smaller ones come from
// the ordinary heap. Never fails silently: throws std::bad_alloc like new.
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

  EmbeddingStore() = default;

  size_t size() const;
  bool empty() const { return size() == 0; }
  // Bytes of memory held by the embeddings.
  size_t memory_bytes() const;
  // Length of the embedding at `pos`. REQUIRES: pos < size().
  size_t length(size_t pos) const;
  // Copies the embedding at `pos` into a new vector. REQUIRES: pos < size().
  std::vector<float> get(size_t pos) const;

  // Makes room for `count` embeddings in all, sized for embeddings of
  // `length` values while the store is uniform with that length or empty.
  // Growth is geometric. On failure (std::bad_alloc) the store is unchanged.
  void reserve(size_t count, size_t length);
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
  // in the last block hold zeros. Blocks are contiguous: block(b + 1) is
  // block(b) + kBlock * dim, so a run of blocks can be scanned from block(b).
  const float* block(size_t b) const;
  size_t block_count() const;

  // The embedding at `pos` as a contiguous span; valid only while !uniform().
  std::span<const float> row(size_t pos) const;

 private:
  // See embedding_store.cc for the representation.

  // Address of value 0 of position `pos` in the interleaved blocks; value i is
  // kBlock floats further on per step. Uniform mode only.
  float* lane(size_t pos);
  const float* lane(size_t pos) const;
  void WriteLane(size_t pos, std::span<const float> values);
  void ToMixed();
  // Returns to uniform mode when at most one length remains.
  void MaybeToUniform();
  void DropLength(size_t len);

  size_t size_ = 0;
  size_t dim_ = 0;
  bool uniform_ = true;
  std::vector<float, embedding_store_internal::StreamedAllocator<float>> blocks_;  // uniform layout
  std::vector<std::vector<float>> rows_;                                           // mixed layout
  std::map<size_t, size_t> length_counts_;  // mixed layout: length -> rows
};

}  // namespace vesk

#endif  // VESK_CORE_INDEX_EMBEDDING_STORE_H_
