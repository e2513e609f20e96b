// The scan is split into tasks, each a group of queries over a range of
// blocks (uniform layout) or slots (mixed layout) with its own selector per
// query; a query's result is the merge of its selectors. A selector keeps the
// exact best entries of its range under the ranking's total order, so the
// merge gives the same entries as one selector over all slots, and a NaN
// seen in any range is seen by the merge.

#include "hybridsearch/embedding_search.h"

#include <algorithm>
#include <memory>
#include <string>

#include "hybridsearch/dense_kernels.h"
#include "hybridsearch/top_k.h"
#include "utils/vector.h"

namespace vesk {

namespace {

using Selector = TopK<uint32_t>;

constexpr size_t kLanes = EmbeddingStore::kBlock;
// Scores held between a kernel call and the selection: 4 KiB, so they stay in
// L1. One query takes 64 blocks per call; a group of g queries 64 / g.
constexpr size_t kChunkScores = 64 * kLanes;
// A task scans at least this many blocks (or 16 times as many slots in the
// mixed layout), so that starting it costs little next to the scan.
constexpr size_t kMinTaskBlocks = 256;
// Tasks per thread of a pool: more than one, so that a thread slowed down by
// other work on the machine does not hold up the whole scan.
constexpr size_t kTasksPerThread = 4;

Status length_mismatch(size_t query_len, size_t stored_len) {
  return Status::Internal("Vector length mismatch: len(a)=" + std::to_string(query_len) +
                          " != len(b)=" + std::to_string(stored_len));
}

Status nan_score() {
  return Status::Internal("Cannot order embedding scores: a similarity score is NaN");
}

// What every query of a search shares: the slots taking part and the layout.
struct Scan {
  const EmbeddingStore& store;
  const Bitmap* allowed;
  size_t dim;  // query length
  bool uniform;
  size_t pairs;  // slots taking part

  bool taking(size_t slot) const { return allowed == nullptr || allowed->test(slot); }
  // Few slots take part (a selective filter): blocks without one are skipped
  // instead of scored.
  bool sparse() const { return allowed != nullptr && pairs * 8 < store.size(); }
};

// Checks every slot taking part before any is scored; the first mismatch in
// slot order wins, as if they were scored one by one.
Status check_lengths(const Scan& scan) {
  if (scan.pairs == 0) return Status::OK();
  size_t dim = 0;
  if (scan.store.uniform(&dim)) {
    return dim == scan.dim ? Status::OK() : length_mismatch(scan.dim, dim);
  }
  for (size_t p = 0; p < scan.store.size(); ++p) {
    if (scan.taking(p) && scan.store.length(p) != scan.dim) {
      return length_mismatch(scan.dim, scan.store.length(p));
    }
  }
  return Status::OK();
}

// The result when exactly one slot takes part: nothing to order, so even a
// NaN score is returned.
std::vector<ScoredSlot> score_only_slot(const Scan& scan, const float* query, size_t top_k) {
  std::vector<ScoredSlot> results;
  size_t only = 0;
  while (!scan.taking(only)) ++only;
  float score;
  if (scan.uniform) {
    alignas(64) float scores[kLanes];
    dense_block_scorer()(scan.store.block(only / kLanes), 1, scan.dim, query, scores);
    score = scores[only % kLanes];
  } else {
    score = dot_product(std::span<const float>(query, scan.dim), scan.store.row(only)).value();
  }
  if (top_k > 0) results.push_back(ScoredSlot{score, static_cast<uint32_t>(only)});
  return results;
}

// Offers the scores of slots [first, first + count) in slot order.
void offer_scores(const float* scores, size_t first, size_t count, const Bitmap* allowed,
                  Selector& selector) {
  // Scores arrive in slot order, so a score equal to the worst kept one never
  // displaces it: ties keep storage order.
  if (allowed == nullptr) {
    for (size_t j = 0; j < count; ++j) {
      selector.offer_in_order(scores[j], static_cast<uint32_t>(first + j));
    }
  } else {
    for (size_t j = 0; j < count; ++j) {
      if (allowed->test(first + j)) {
        selector.offer_in_order(scores[j], static_cast<uint32_t>(first + j));
      }
    }
  }
}

// Scores `group` queries (row-major at `queries`) against blocks [begin, end)
// of a uniform store, offering slot scores to selectors[0 .. group).
void scan_blocks(const Scan& scan, const float* queries, size_t group, size_t begin, size_t end,
                 Selector* selectors) {
  const size_t slots = scan.store.size();
  const size_t chunk_blocks = kChunkScores / kLanes / group;
  BlockScorer single = group == 1 ? dense_block_scorer() : nullptr;
  BatchScorer batch = group == 1 ? nullptr : dense_batch_scorer();
  alignas(64) float scores[kChunkScores];
  for (size_t r = 0; r < scan.store.run_count() && begin < end; ++r) {
    const EmbeddingStore::BlockRun run = scan.store.run(r);
    const size_t run_end = std::min(end, run.first_block + run.block_count);
    for (size_t b = begin; b < run_end; b += chunk_blocks) {
      const size_t blocks = std::min(chunk_blocks, run_end - b);
      const float* data = run.data + (b - run.first_block) * kLanes * scan.dim;
      const size_t stride = blocks * kLanes;
      if (scan.sparse()) {
        // One block at a time, only those with a slot taking part. A lane's
        // sum does not depend on how many blocks a kernel call covers, so the
        // scores are the same bits as a full scan's.
        static_assert(kLanes == 16, "a block's slots are 16 bits of one bitmap word");
        for (size_t k = 0; k < blocks; ++k) {
          const size_t first = (b + k) * kLanes;
          if (((scan.allowed->word(first / 64) >> (first % 64)) & 0xFFFF) == 0) continue;
          const float* block = data + k * kLanes * scan.dim;
          if (single != nullptr) {
            single(block, 1, scan.dim, queries, scores);
          } else {
            batch(block, 1, scan.dim, queries, group, scores, kLanes);
          }
          const size_t count = std::min(kLanes, slots - first);
          for (size_t q = 0; q < group; ++q) {
            offer_scores(scores + q * kLanes, first, count, scan.allowed, selectors[q]);
          }
        }
        continue;
      }
      if (single != nullptr) {
        single(data, blocks, scan.dim, queries, scores);
      } else {
        batch(data, blocks, scan.dim, queries, group, scores, stride);
      }
      const size_t first = b * kLanes;
      const size_t count = std::min(stride, slots - first);
      for (size_t q = 0; q < group; ++q) {
        offer_scores(scores + q * stride, first, count, scan.allowed, selectors[q]);
      }
    }
    begin = std::max(begin, run_end);
  }
}

// As scan_blocks for slots [begin, end) of a store in the mixed layout.
void scan_rows(const Scan& scan, const float* queries, size_t group, size_t begin, size_t end,
               Selector* selectors) {
  for (size_t p = begin; p < end; ++p) {
    if (!scan.taking(p)) continue;
    const std::span<const float> row = scan.store.row(p);
    for (size_t q = 0; q < group; ++q) {
      const std::span<const float> query(queries + q * scan.dim, scan.dim);
      selectors[q].offer_in_order(dot_product(query, row).value(), static_cast<uint32_t>(p));
    }
  }
}

// Searches `count` queries (row-major at `queries`) that passed the checks,
// with scan.pairs >= 2; results[q] receives query q's outcome.
void scan_queries(const Scan& scan, const float* queries, size_t count, size_t top_k,
                  ThreadPool* pool, Result<std::vector<ScoredSlot>>* results) {
  const size_t capacity = std::min(top_k, scan.pairs);
  const size_t groups = (count + kMaxBatchQueries - 1) / kMaxBatchQueries;
  // Units are blocks (uniform) or slots (mixed), split into `ranges` parts.
  const size_t units = scan.uniform ? scan.store.block_count() : scan.store.size();
  const size_t min_units = scan.uniform ? kMinTaskBlocks : kMinTaskBlocks * kLanes;
  size_t ranges = 1;
  if (pool != nullptr && pool->thread_count() > 1) {
    const size_t wanted = (kTasksPerThread * pool->thread_count() + groups - 1) / groups;
    ranges = std::max<size_t>(1, std::min(wanted, units / min_units));
  }
  auto group_size = [&](size_t g) {
    return std::min(kMaxBatchQueries, count - g * kMaxBatchQueries);
  };
  auto range_begin = [&](size_t r) { return units / ranges * r + std::min(r, units % ranges); };

  // selectors[task] holds one selector per query of the task's group.
  std::vector<std::vector<Selector>> selectors(groups * ranges);
  for (size_t g = 0; g < groups; ++g) {
    for (size_t r = 0; r < ranges; ++r) {
      auto& task = selectors[g * ranges + r];
      task.reserve(group_size(g));
      for (size_t q = 0; q < group_size(g); ++q) task.emplace_back(capacity);
    }
  }
  auto run_task = [&](size_t t) {
    ScopedExactSubnormals exact_subnormals;
    const size_t g = t / ranges, r = t % ranges;
    const float* group_queries = queries + g * kMaxBatchQueries * scan.dim;
    if (scan.uniform) {
      scan_blocks(scan, group_queries, group_size(g), range_begin(r), range_begin(r + 1),
                  selectors[t].data());
    } else {
      scan_rows(scan, group_queries, group_size(g), range_begin(r), range_begin(r + 1),
                selectors[t].data());
    }
  };
  if (pool != nullptr && selectors.size() > 1) {
    pool->run(selectors.size(), run_task);
  } else {
    for (size_t t = 0; t < selectors.size(); ++t) run_task(t);
  }

  for (size_t q = 0; q < count; ++q) {
    const size_t g = q / kMaxBatchQueries, i = q % kMaxBatchQueries;
    Selector& first = selectors[g * ranges][i];
    bool saw_nan = first.saw_nan();
    std::vector<ScoredSlot> best = first.take_sorted();
    if (ranges > 1) {
      Selector merged(capacity);
      for (const ScoredSlot& e : best) merged.offer(e.score, [&] { return e.position; });
      for (size_t r = 1; r < ranges; ++r) {
        Selector& part = selectors[g * ranges + r][i];
        saw_nan = saw_nan || part.saw_nan();
        for (const ScoredSlot& e : part.take_sorted()) {
          merged.offer(e.score, [&] { return e.position; });
        }
      }
      best = merged.take_sorted();
    }
    if (saw_nan) {
      results[q] = nan_score();
    } else {
      results[q] = std::move(best);
    }
  }
}

}  // namespace

Result<std::vector<ScoredSlot>> embedding_search(const EmbeddingStore& embeddings,
                                                 std::span<const float> query, size_t top_k,
                                                 const Bitmap* allowed, ThreadPool* pool) {
  std::vector<Result<std::vector<ScoredSlot>>> results =
      embedding_search_batch(embeddings, query, 1, top_k, allowed, pool);
  return std::move(results[0]);
}

std::vector<Result<std::vector<ScoredSlot>>> embedding_search_batch(
    const EmbeddingStore& embeddings, std::span<const float> queries, size_t query_count,
    size_t top_k, const Bitmap* allowed, ThreadPool* pool) {
  std::vector<Result<std::vector<ScoredSlot>>> results(
      query_count, Result<std::vector<ScoredSlot>>(std::vector<ScoredSlot>{}));
  if (query_count == 0) return results;
  size_t stored_dim = 0;
  const Scan scan{embeddings, allowed, queries.size() / query_count,
                  embeddings.uniform(&stored_dim),
                  allowed == nullptr ? embeddings.size() : allowed->count()};
  if (scan.pairs == 0) return results;
  if (Status status = check_lengths(scan); !status.ok()) {
    for (auto& r : results) r = status;
    return results;
  }
  ScopedExactSubnormals exact_subnormals;
  if (scan.pairs == 1) {
    for (size_t q = 0; q < query_count; ++q) {
      results[q] = score_only_slot(scan, queries.data() + q * scan.dim, top_k);
    }
    return results;
  }
  scan_queries(scan, queries.data(), query_count, top_k, pool, results.data());
  return results;
}

}  // namespace vesk
