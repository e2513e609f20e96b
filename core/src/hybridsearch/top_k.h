// TopK: keeps the best `capacity` of a stream of (score, position) candidates
// for the ranked searches (embedding and keyword).
//
// The ranking is score descending, then position ascending: the same answer
// as a stable sort by score of the candidates in position order followed by a
// cut after `capacity` entries. Scores compare as IEEE floats (-0.0 equals
// +0.0). A NaN score cannot be ranked: it is never kept, and saw_nan() reports
// that one was offered, so the caller can fail the search. The NaN test costs
// nothing on the common path: a NaN fails the first comparison with the bar,
// like a score that may enter, and is sorted out there.
//
// Candidates are held in a heap whose front is the worst kept one; its score
// is the bar a new candidate must reach. While the heap has room the bar is
// NaN, so that every comparison with it fails and every candidate is examined.
//
// Thread safety: none; one selector per search. Ownership: holds copies of the
// kept candidates only.
#ifndef VESK_CORE_HYBRIDSEARCH_TOP_K_H_
#define VESK_CORE_HYBRIDSEARCH_TOP_K_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace vesk {

template <typename Position>
class TopK {
 public:
  struct Entry {
    float score;
    Position position;
  };

  explicit TopK(size_t capacity)
      : capacity_(capacity),
        bar_(capacity == 0 ? std::numeric_limits<float>::infinity()
                           : std::numeric_limits<float>::quiet_NaN()) {
    heap_.reserve(capacity);
  }

  // Offers a candidate when candidates come in strictly increasing position
  // order: one whose score merely equals the bar ranks after every kept
  // candidate with that score and cannot enter.
  void offer_in_order(float score, Position position) {
    if (score <= bar_) return;  // cannot enter; the common case
    admit(score, position);
  }

  // Offers a candidate in any position order. `position()` is called only
  // when the score may enter, so a caller can defer looking it up.
  template <typename PositionFn>
  void offer(float score, PositionFn&& position) {
    if (score < bar_) return;  // cannot enter; the common case
    admit(score, position());
  }

  // True once `capacity` candidates are kept; bar() is then the score of the
  // worst kept one, which a later candidate must reach (NaN before).
  bool full() const { return capacity_ > 0 && heap_.size() == capacity_; }
  float bar() const { return bar_; }

  // True when a NaN score was offered.
  bool saw_nan() const { return saw_nan_; }

  // The kept candidates, best first. Leaves the selector empty.
  std::vector<Entry> take_sorted() {
    std::sort_heap(heap_.begin(), heap_.end(), Better());
    return std::move(heap_);
  }

 private:
  // Strict order of the ranking; never sees a NaN score. A function object,
  // so the heap algorithms inline the comparison.
  struct Better {
    bool operator()(const Entry& x, const Entry& y) const {
      return x.score > y.score || (x.score == y.score && x.position < y.position);
    }
  };

  void admit(float score, Position position) {
    if (score != score) {
      saw_nan_ = true;
      return;
    }
    if (capacity_ == 0) return;
    const Entry entry{score, position};
    if (heap_.size() < capacity_) {
      heap_.push_back(entry);
      std::push_heap(heap_.begin(), heap_.end(), Better());
      if (heap_.size() == capacity_) bar_ = heap_.front().score;
      return;
    }
    // Here score >= bar_; on a tie the position decides.
    if (!Better()(entry, heap_.front())) return;
    std::pop_heap(heap_.begin(), heap_.end(), Better());
    heap_.back() = entry;
    std::push_heap(heap_.begin(), heap_.end(), Better());
    bar_ = heap_.front().score;
  }

  size_t capacity_;
  float bar_;
  bool saw_nan_ = false;
  std::vector<Entry> heap_;
};

// A ranked entry of a search over the slots of an index's stores.
using ScoredSlot = TopK<uint32_t>::Entry;

}  // namespace vesk

#endif  // VESK_CORE_HYBRIDSEARCH_TOP_K_H_
