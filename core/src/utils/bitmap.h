// Bitmap: a fixed-length sequence of bits, one per slot of a store, for the
// live documents of an index and the documents a filter admits.
//
// resize() allocates (and may throw std::bad_alloc, leaving the bitmap
// unchanged); set, reset and test never allocate.
//
// Thread safety: const methods may run concurrently; mutation needs exclusive
// access. Ownership: a plain value.
#ifndef VESK_CORE_UTILS_BITMAP_H_
#define VESK_CORE_UTILS_BITMAP_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vesk {

class Bitmap {
 public:
  Bitmap() = default;
  explicit Bitmap(size_t size, bool value = false) { resize(size, value); }

  size_t size() const { return size_; }
  bool test(size_t i) const { return (words_[i >> 6] >> (i & 63)) & 1; }
  void set(size_t i) noexcept { words_[i >> 6] |= uint64_t{1} << (i & 63); }
  void reset(size_t i) noexcept { words_[i >> 6] &= ~(uint64_t{1} << (i & 63)); }

  // Bits [64 * w, 64 * w + 64) as one word; bits past size() are 0.
  uint64_t word(size_t w) const { return words_[w]; }
  // Sets bits [64 * w, 64 * w + 64) to `bits`; those past size() stay 0.
  void set_word(size_t w, uint64_t bits) noexcept {
    if (w + 1 == words_.size() && size_ % 64 != 0) bits &= (uint64_t{1} << (size_ % 64)) - 1;
    words_[w] = bits;
  }
  size_t word_count() const { return words_.size(); }

  // Changes the length to `size`; new bits take `value`. Allocates only when
  // growing past the reserved room; on failure the bitmap is unchanged.
  void resize(size_t size, bool value = false) {
    const size_t old = size_;
    words_.resize((size + 63) / 64, 0);
    size_ = size;
    if (size < old) {
      if (size % 64 != 0) words_.back() &= (uint64_t{1} << (size % 64)) - 1;
      return;
    }
    if (value) {
      for (size_t i = old; i < size; ++i) set(i);
    }
  }

  // Makes room for `size` bits so that a later resize up to it keeps the
  // same storage (and so cannot fail once reserved).
  void reserve(size_t size) { words_.reserve((size + 63) / 64); }

  // Number of set bits.
  size_t count() const {
    size_t n = 0;
    for (uint64_t w : words_) n += static_cast<size_t>(std::popcount(w));
    return n;
  }

  // Calls fn(i) for every set bit, in ascending order.
  template <typename Fn>
  void for_each_set(Fn&& fn) const {
    for (size_t w = 0; w < words_.size(); ++w) {
      for (uint64_t bits = words_[w]; bits != 0; bits &= bits - 1) {
        fn(w * 64 + static_cast<size_t>(std::countr_zero(bits)));
      }
    }
  }

  // Keeps the bits at the positions set in `keep` (same size), moved down in
  // order; the result has keep.count() bits. Never allocates.
  void compact(const Bitmap& keep) noexcept {
    size_t out = 0;
    for (size_t i = 0; i < size_; ++i) {
      if (!keep.test(i)) continue;
      if (test(i)) {
        set(out);
      } else {
        reset(out);
      }
      ++out;
    }
    resize(out);
  }

  bool operator==(const Bitmap& other) const = default;

 private:
  std::vector<uint64_t> words_;
  size_t size_ = 0;
};

}  // namespace vesk

#endif  // VESK_CORE_UTILS_BITMAP_H_
