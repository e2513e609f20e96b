// SharedScan: dense searches from concurrent threads that share one pass
// over the embeddings.
//
// A single dense search is bound by how fast memory can be read, so two
// searches scanning the store side by side take as long as two one after the
// other. A SharedScan lets them read it once: the store is cut into units of
// blocks that are handed out in a circle. A search that arrives while another
// is running is attached at the next unit handed out, every unit is scored
// for all attached searches with one read (the batch kernels), and a search
// completes once it has seen every unit, one full circle from where it
// joined. One attached search drives: its thread runs the scan on the pool;
// the others help score units on their own threads (a few at most) or wait.
// When the driver's search completes, it hands driving to a search that
// still needs units and returns. A search arriving while none runs drives at
// once, from the first unit, on the pool as embedding_search would.
//
// Answers are exactly embedding_search's: a unit's scores are the same bits
// whichever searches share it, each search keeps its own best entries under
// the one total order (score descending, slot ascending), in which the order
// units arrive in does not matter, and its own filter. Searches that would
// gain nothing from sharing (a selective filter, the mixed layout, a bad
// length, fewer than two slots) run alone through embedding_search.
//
// Thread safety: search() may be called from any number of threads at once,
// as long as the store does not change while any call runs (callers hold a
// shared lock around it). Ownership: borrows the pool, which must outlive
// this object; borrows everything passed to search() for the call.
#ifndef VESK_CORE_HYBRIDSEARCH_SHARED_SCAN_H_
#define VESK_CORE_HYBRIDSEARCH_SHARED_SCAN_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "hybridsearch/thread_pool.h"
#include "hybridsearch/top_k.h"
#include "store/embedding_store.h"
#include "utils/bitmap.h"
#include "utils/status.h"

namespace vesk {

class SharedScan {
 public:
  // Scans run on `pool` when one is given.
  explicit SharedScan(ThreadPool* pool) : pool_(pool) {}
  SharedScan(const SharedScan&) = delete;
  SharedScan& operator=(const SharedScan&) = delete;

  // Exactly embedding_search(embeddings, query, top_k, allowed, pool).
  // REQUIRES: every call running at the same time passes the same
  // `embeddings`, unchanged for the duration. May throw std::bad_alloc (then
  // before joining any scan).
  Result<std::vector<ScoredSlot>> search(const EmbeddingStore& embeddings,
                                         std::span<const float> query, size_t top_k,
                                         const Bitmap* allowed);

  // How many searches joined a scan already under way (for tests and
  // benchmarks).
  size_t joins() const;

 private:
  struct Query;

  // Runs the scan on the calling thread and the pool until `own` has been
  // handed every unit. Called with mutex_ held; returns with it held.
  void drive(Query* own, std::unique_lock<std::mutex>& lock);
  // Worker `worker` of a drive (or a helper: the thread of a waiting search)
  // scores units for the attached queries until `own` has been handed every
  // unit (or, helping, until `own` is handed driving).
  void work(Query* own, size_t worker, bool helping);

  ThreadPool* const pool_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  // The scan in progress (empty when none): its store, its units, the next
  // unit to hand out and the searches attached, the driver among them.
  const EmbeddingStore* store_ = nullptr;
  size_t dim_ = 0;
  size_t unit_blocks_ = 0;
  size_t units_ = 0;
  size_t cursor_ = 0;
  std::vector<Query*> attached_;
  Query* driver_ = nullptr;
  uint32_t helpers_busy_ = 0;  // bit h: helper slot h is in use
  size_t joins_ = 0;
};

}  // namespace vesk

#endif  // VESK_CORE_HYBRIDSEARCH_SHARED_SCAN_H_
