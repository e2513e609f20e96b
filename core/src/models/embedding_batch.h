// A batch of embeddings laid out back to back in one buffer, the form in which
// callers hand embeddings to Index::add_documents. Embedding i occupies
// values[offsets[i] .. offsets[i + 1]); embeddings may have any length.
//
// Thread safety: plain value.
#ifndef VESK_CORE_MODELS_EMBEDDING_BATCH_H_
#define VESK_CORE_MODELS_EMBEDDING_BATCH_H_

#include <cstddef>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

namespace vesk {

// An allocator that leaves new elements default-initialised (uninitialised
// for floats), so that growing a buffer about to be overwritten costs nothing.
template <typename T>
struct DefaultInitAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = DefaultInitAllocator<U>;
  };
  DefaultInitAllocator() = default;
  template <typename U>
  DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

class EmbeddingBatch {
 public:
  EmbeddingBatch() : offsets_{0} {}

  size_t size() const { return offsets_.size() - 1; }
  std::span<const float> operator[](size_t i) const {
    return {values_.data() + offsets_[i], offsets_[i + 1] - offsets_[i]};
  }

  void reserve(size_t embeddings, size_t values) {
    offsets_.reserve(embeddings + 1);
    values_.reserve(values);
  }
  void append(std::span<const float> embedding) {
    values_.insert(values_.end(), embedding.begin(), embedding.end());
    offsets_.push_back(values_.size());
  }
  // Appends one embedding of `length` uninitialised values and returns where
  // to write them; the caller must write all of them.
  float* append_uninitialized(size_t length) {
    values_.resize(values_.size() + length);
    offsets_.push_back(values_.size());
    return values_.data() + values_.size() - length;
  }
  // Drops the last embedding (used when a conversion fails half way).
  void pop_back() {
    offsets_.pop_back();
    values_.resize(offsets_.back());
  }

 private:
  std::vector<float, DefaultInitAllocator<float>> values_;
  std::vector<size_t> offsets_;
};

}  // namespace vesk

#endif  // VESK_CORE_MODELS_EMBEDDING_BATCH_H_
