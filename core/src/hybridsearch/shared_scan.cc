// Bookkeeping, all under mutex_: the circle has units_ units; cursor_ is the
// next one to hand out. Handing out a unit hands it to every attached query
// that still needs units (remaining > 0), so a query attached at cursor c
// receives units c, c + 1, ... (mod units_), each exactly once. A query is
// done when it has been handed every unit and none is still being scored
// (in_flight == 0); the worker that scores its last unit detaches it.
//
// Worker t of a drive offers scores to selectors[t] of each query without
// the lock, helper h to selectors[pool threads + h]: only one worker with a
// given index runs at a time (a drive's tasks have distinct indices, drives
// follow each other, a helper slot is taken and given back under the lock),
// and the owner reads its selectors only once it is done.

#include "hybridsearch/shared_scan.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "hybridsearch/dense_kernels.h"
#include "hybridsearch/embedding_search.h"
#include "utils/vector.h"

namespace vesk {

namespace {

using Selector = TopK<uint32_t>;

constexpr size_t kLanes = EmbeddingStore::kBlock;
// A unit is at most this many blocks (1,024 slots): small enough that a
// search joins soon after it arrives and the threads share the work evenly,
// large enough that handing it out costs nothing next to scoring it.
constexpr size_t kMaxUnitBlocks = 64;
// A circle has at least this many units, so that small stores are shared too.
constexpr size_t kMinUnits = 16;
// At most this many searches share a scan; more run alone.
constexpr size_t kMaxAttached = 64;
// At most this many waiting searches help score units on their own threads.
constexpr size_t kMaxHelpers = 2;
// Scores held between a kernel call and the selection, as in embedding_search.
constexpr size_t kChunkScores = 64 * kLanes;

Status nan_score() {
  return Status::Internal("Cannot order embedding scores: a similarity score is NaN");
}

}  // namespace

struct SharedScan::Query {
  const EmbeddingStore* store;
  size_t dim;
  const float* vector;
  const Bitmap* allowed;
  std::vector<Selector> selectors;  // one per worker slot
  // scratch_count buffers of kMaxBatchQueries * dim floats for its workers,
  // allocated up front so that scoring allocates nothing.
  std::unique_ptr<float[]> scratch;
  size_t scratch_count;
  size_t remaining = 0;  // units not yet handed to it
  size_t in_flight = 0;  // units handed to it and being scored
  bool done = false;
};

Result<std::vector<ScoredSlot>> SharedScan::search(const EmbeddingStore& embeddings,
                                                   std::span<const float> query, size_t top_k,
                                                   const Bitmap* allowed) {
  size_t dim = 0;
  const size_t pairs = allowed == nullptr ? embeddings.size() : allowed->count();
  const bool selective = allowed != nullptr && pairs * 8 < embeddings.size();
  if (!embeddings.uniform(&dim) || dim != query.size() || pairs < 2 || selective) {
    return embedding_search(embeddings, query, top_k, allowed, pool_);
  }
  // Worker slots: the pool's threads while driving, then the helpers.
  const size_t workers = pool_ != nullptr ? pool_->thread_count() : 1;
  const size_t slots = workers + kMaxHelpers;
  Query own;
  own.store = &embeddings;
  own.dim = dim;
  own.vector = query.data();
  own.allowed = allowed;
  own.scratch_count = workers + 1;
  own.scratch.reset(new float[own.scratch_count * kMaxBatchQueries * dim]);
  own.selectors.reserve(slots);
  for (size_t t = 0; t < slots; ++t) own.selectors.emplace_back(std::min(top_k, pairs));
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (attached_.empty()) {
      attached_.reserve(kMaxAttached);
      store_ = &embeddings;
      dim_ = dim;
      const size_t blocks = embeddings.block_count();
      unit_blocks_ = std::clamp<size_t>(blocks / kMinUnits, 1, kMaxUnitBlocks);
      units_ = (blocks + unit_blocks_ - 1) / unit_blocks_;
      cursor_ = 0;
    } else if (store_ != &embeddings || dim_ != dim || attached_.size() >= kMaxAttached) {
      lock.unlock();
      return embedding_search(embeddings, query, top_k, allowed, pool_);
    }
    own.remaining = units_;
    attached_.push_back(&own);
    if (driver_ == nullptr) {
      driver_ = &own;
    } else {
      ++joins_;
    }
    while (!own.done) {
      if (driver_ == &own) {
        drive(&own, lock);
        continue;
      }
      // Rather than wait, score units on this thread while `own` needs any.
      size_t helper = 0;
      while (helper < kMaxHelpers && (helpers_busy_ >> helper & 1) != 0) ++helper;
      if (own.remaining > 0 && helper < kMaxHelpers) {
        helpers_busy_ |= 1u << helper;
        lock.unlock();
        work(&own, workers + helper, /*helping=*/true);
        lock.lock();
        helpers_busy_ &= ~(1u << helper);
        continue;
      }
      changed_.wait(lock);
    }
  }

  bool saw_nan = false;
  for (const Selector& s : own.selectors) saw_nan = saw_nan || s.saw_nan();
  if (saw_nan) return nan_score();
  Selector merged(std::min(top_k, pairs));
  for (Selector& s : own.selectors) {
    for (const ScoredSlot& e : s.take_sorted()) merged.offer(e.score, [&] { return e.position; });
  }
  std::vector<ScoredSlot> best = merged.take_sorted();
  return best;
}

size_t SharedScan::joins() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return joins_;
}

void SharedScan::drive(Query* own, std::unique_lock<std::mutex>& lock) {
  lock.unlock();
  if (pool_ != nullptr && pool_->thread_count() > 1) {
    try {
      pool_->run(pool_->thread_count(), [&](size_t t) { work(own, t, /*helping=*/false); });
    } catch (const std::bad_alloc&) {
      // run() could not start its loop, so no task ran: scan on this thread.
      work(own, 0, /*helping=*/false);
    }
  } else {
    work(own, 0, /*helping=*/false);
  }
  lock.lock();
  // `own` has been handed every unit; driving goes to a search that still
  // needs units, if any.
  driver_ = nullptr;
  for (Query* q : attached_) {
    if (q->remaining > 0) {
      driver_ = q;
      break;
    }
  }
  changed_.notify_all();
}

void SharedScan::work(Query* own, size_t worker, bool helping) {
  ScopedExactSubnormals exact_subnormals;
  // The scan's store and dimension are own's; the rest of the scan's state is
  // read under the lock (a task that starts after `own` is done may see the
  // next scan's).
  const EmbeddingStore& store = *own->store;
  const size_t dim = own->dim;
  const size_t slots = store.size();
  Query* group[kMaxAttached];
  size_t group_size = 0;
  // The queries of a kernel call, copied next to each other: the driver's
  // buffer t for task t of a drive, a helper's own last buffer.
  float* const queries =
      own->scratch.get() + (helping ? own->scratch_count - 1 : worker) * kMaxBatchQueries * dim;
  alignas(64) float scores[kChunkScores];
  const BlockScorer single = dense_block_scorer();
  const BatchScorer batch = dense_batch_scorer();

  // Scores blocks [begin, end) for group[g0, g0 + count).
  auto score = [&](size_t begin, size_t end, size_t g0, size_t count) {
    const size_t chunk_blocks = kChunkScores / kLanes / count;
    for (size_t r = 0; r < store.run_count() && begin < end; ++r) {
      const EmbeddingStore::BlockRun run = store.run(r);
      const size_t run_end = std::min(end, run.first_block + run.block_count);
      for (size_t b = begin; b < run_end; b += chunk_blocks) {
        const size_t blocks = std::min(chunk_blocks, run_end - b);
        const float* data = run.data + (b - run.first_block) * kLanes * dim;
        const size_t stride = blocks * kLanes;
        if (count == 1) {
          single(data, blocks, dim, queries, scores);
        } else {
          batch(data, blocks, dim, queries, count, scores, stride);
        }
        const size_t first = b * kLanes;
        const size_t n = std::min(stride, slots - first);
        for (size_t q = 0; q < count; ++q) {
          Query& query = *group[g0 + q];
          Selector& selector = query.selectors[worker];
          const float* s = scores + q * stride;
          for (size_t j = 0; j < n; ++j) {
            if (query.allowed == nullptr || query.allowed->test(first + j)) {
              selector.offer(s[j], [&] { return static_cast<uint32_t>(first + j); });
            }
          }
        }
      }
      begin = std::max(begin, run_end);
    }
  };

  std::unique_lock<std::mutex> lock(mutex_);
  // A helper stops when its search is handed driving, to drive.
  while (own->remaining > 0 && !(helping && driver_ == own)) {
    const size_t begin = cursor_ * unit_blocks_;
    const size_t end = std::min(begin + unit_blocks_, store.block_count());
    cursor_ = cursor_ + 1 == units_ ? 0 : cursor_ + 1;
    group_size = 0;
    for (Query* q : attached_) {
      if (q->remaining > 0) {
        --q->remaining;
        ++q->in_flight;
        group[group_size++] = q;
      }
    }
    lock.unlock();
    for (size_t g0 = 0; g0 < group_size; g0 += kMaxBatchQueries) {
      const size_t count = std::min(kMaxBatchQueries, group_size - g0);
      for (size_t q = 0; q < count; ++q) {
        std::copy_n(group[g0 + q]->vector, dim, queries + q * dim);
      }
      score(begin, end, g0, count);
    }
    lock.lock();
    bool finished = false;
    for (size_t g = 0; g < group_size; ++g) {
      Query* q = group[g];
      if (--q->in_flight == 0 && q->remaining == 0) {
        q->done = true;
        attached_.erase(std::find(attached_.begin(), attached_.end(), q));
        finished = true;
      }
    }
    if (finished) changed_.notify_all();
  }
}

}  // namespace vesk
