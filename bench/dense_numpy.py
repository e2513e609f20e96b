"""NumPy reference for the exact dense search benchmark (bench_dense.cc).

Times `E @ q` followed by `argpartition` and a sort of the best 10, for
N = 100,000 and 1,000,000 float32 embeddings of dimension 384, and prints
milliseconds per query (wall and process CPU time) and GB/s of embedding data
read (by CPU time, as Google Benchmark reports its rates).

BLAS threads: set OPENBLAS_NUM_THREADS / OMP_NUM_THREADS before running; the
vesk scan is single-threaded, so compare against 1 thread for like with like.

    OPENBLAS_NUM_THREADS=1 .venv/bin/python bench/dense_numpy.py
"""

import sys
import time

import numpy as np

DIM = 384
TOP_K = 10


def query(e, q):
    scores = e @ q
    part = np.argpartition(-scores, TOP_K)[:TOP_K]
    return part[np.argsort(-scores[part], kind="stable")]


def main():
    sizes = [int(a) for a in sys.argv[1:]] or [100_000, 1_000_000]
    rng = np.random.default_rng(1)
    print(f"numpy {np.__version__}")
    for n in sizes:
        e = rng.uniform(-1.0, 1.0, size=(n, DIM)).astype(np.float32)
        q = rng.uniform(-1.0, 1.0, size=DIM).astype(np.float32)
        query(e, q)  # warm up
        reps = max(5, int(2e9 // e.nbytes))
        walls, cpus = [], []
        for _ in range(reps):
            w0, c0 = time.perf_counter(), time.process_time()
            query(e, q)
            walls.append(time.perf_counter() - w0)
            cpus.append(time.process_time() - c0)
        wall = float(np.median(walls))
        cpu = float(np.median(cpus))
        print(
            f"N={n:>9,} d={DIM} top_k={TOP_K}: wall {wall * 1e3:8.2f} ms/query, "
            f"cpu {cpu * 1e3:8.2f} ms/query, {e.nbytes / cpu / 1e9:6.2f} GB/s (cpu), "
            f"{e.nbytes / wall / 1e9:6.2f} GB/s (wall)  [{reps} reps]"
        )
        del e


if __name__ == "__main__":
    main()
