// Dense scoring kernels: inner products of one query with every document of a
// run of interleaved blocks (see EmbeddingStore), one SIMD lane per document.
//
// Every kernel computes, for each lane, the same value as dot_product: the
// running sum starts at -0.0 and takes one rounded product per dimension in
// increasing index order. Lanes of different documents are independent, so
// vectorising across documents changes nothing in any single sum; scores are
// bit-identical between kernels. Kernels never fuse multiply and add.
//
// Batch kernels score several queries per pass over the blocks: each block is
// loaded once and multiplied with every query of the group while it is in
// registers or L1. Every query's sums are formed exactly as by the single
// kernels, so each score is bit-identical to scoring that query alone.
//
// The kernel used by embedding_search is picked once from the CPU's features
// (AVX-512F, else AVX2, else SSE2); tests can force any supported kernel.
//
// Thread safety: kernels are pure. The forced-kernel setting is an atomic
// process-wide value, meant for tests and benchmarks.
#ifndef VESK_CORE_HYBRIDSEARCH_DENSE_KERNELS_H_
#define VESK_CORE_HYBRIDSEARCH_DENSE_KERNELS_H_

#include <cstddef>

namespace vesk {

// Scores the `block_count` consecutive blocks of kBlock (16) documents at
// `blocks`, each block `dim` rows of 16 floats. Writes 16 scores per block to
// `scores` (block b, lane j at scores[b * 16 + j]), padding lanes included.
// `query` holds `dim` floats.
using BlockScorer = void (*)(const float* blocks, size_t block_count, size_t dim,
                             const float* query, float* scores);

// The largest query group a BatchScorer takes.
constexpr size_t kMaxBatchQueries = 16;

// Scores `query_count` (1..kMaxBatchQueries) queries, query q at queries + q *
// dim, against the `block_count` blocks at `blocks`, writing the scores of
// query q as a BlockScorer would at scores + q * score_stride.
using BatchScorer = void (*)(const float* blocks, size_t block_count, size_t dim,
                             const float* queries, size_t query_count, float* scores,
                             size_t score_stride);

enum class DenseKernel { Auto, Scalar, Sse2, Avx2, Avx512 };

// True when `kernel` can run on this CPU (Auto, Scalar and Sse2 always).
bool dense_kernel_supported(DenseKernel kernel);

// The scorer for `kernel`, or nullptr when it is not supported here. Auto
// names the forced kernel if one is set, else the widest supported one.
BlockScorer dense_block_scorer(DenseKernel kernel = DenseKernel::Auto);

// The batch scorer for `kernel`, or nullptr when it is not supported here;
// Auto as for dense_block_scorer.
BatchScorer dense_batch_scorer(DenseKernel kernel = DenseKernel::Auto);

// Makes Auto resolve to `kernel` from now on (Auto restores the CPU-based
// choice). Returns false and changes nothing when `kernel` is unsupported.
bool force_dense_kernel(DenseKernel kernel);

// The kernel that Auto currently resolves to (never Auto).
DenseKernel active_dense_kernel();

namespace dense_internal {
// Implementations, defined in dense_kernels*.cc. The AVX ones may only be
// called when the CPU has the matching features.
void score_blocks_scalar(const float* blocks, size_t block_count, size_t dim, const float* query,
                         float* scores);
void score_blocks_sse2(const float* blocks, size_t block_count, size_t dim, const float* query,
                       float* scores);
void score_blocks_avx2(const float* blocks, size_t block_count, size_t dim, const float* query,
                       float* scores);
void score_blocks_avx512(const float* blocks, size_t block_count, size_t dim, const float* query,
                         float* scores);
void score_batch_scalar(const float* blocks, size_t block_count, size_t dim, const float* queries,
                        size_t query_count, float* scores, size_t score_stride);
void score_batch_sse2(const float* blocks, size_t block_count, size_t dim, const float* queries,
                      size_t query_count, float* scores, size_t score_stride);
void score_batch_avx2(const float* blocks, size_t block_count, size_t dim, const float* queries,
                      size_t query_count, float* scores, size_t score_stride);
void score_batch_avx512(const float* blocks, size_t block_count, size_t dim, const float* queries,
                        size_t query_count, float* scores, size_t score_stride);
}  // namespace dense_internal

}  // namespace vesk

#endif  // VESK_CORE_HYBRIDSEARCH_DENSE_KERNELS_H_
