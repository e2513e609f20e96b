"""search_batch of vesk.distributed.ShardedCollection against the number of shards, on this machine.

    python bench/bench_sharded.py                      # 100,000 documents x 384, 1/2/4 shards
    python bench/bench_sharded.py --n 20000 --shards 1 2

Starts a local Ray (ray.init(num_cpus=<cores>)) unless --address names a
cluster. For each shard count it loads the generated corpus (bench/datagen.py:
English-like texts, clustered unit embeddings) and times, for semantic,
keyword and fused (alpha 0.5, depth 100) queries of k=10:

* throughput: queries per second of search_batch over batches of --batch queries;
* latency: median and 95th percentile of one search() call (a batch of one).

The row "one Collection" is a plain vesk.Collection in this process (no Ray).
Every figure is the best of --repeat runs. Prints a Markdown report; the
memory line gives the resident memory of each shard's process after loading.
Needs `vesk` and `ray` importable.
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import datagen  # noqa: E402

import vesk  # noqa: E402

MODES = ("semantic", "keyword", "fused")


def queries_of(mode: str, q: datagen.Queries, a: int, b: int) -> dict:
    texts = q.texts[a:b]
    vectors = q.embeddings[a:b]
    if mode == "semantic":
        return {"vectors": vectors}
    if mode == "keyword":
        return {"texts": texts}
    return {"texts": texts, "vectors": vectors, "alpha": 0.5}


def time_batches(col, q: datagen.Queries, mode: str, batch: int, repeat: int) -> float:
    """Best queries per second over all queries, sent in batches."""
    best = float("inf")
    n = len(q.texts)
    for _ in range(repeat):
        t = time.perf_counter()
        for a in range(0, n, batch):
            col.search_batch(k=10, **queries_of(mode, q, a, min(n, a + batch)))
        best = min(best, time.perf_counter() - t)
    return n / best


def time_single(col, q: datagen.Queries, mode: str, count: int) -> tuple[float, float]:
    """Median and 95th percentile of one search, in milliseconds."""
    samples = []
    for i in range(count):
        args = queries_of(mode, q, i, i + 1)
        text = args["texts"][0] if "texts" in args else None
        vector = args["vectors"][0] if "vectors" in args else None
        t = time.perf_counter()
        col.search(text, vector, k=10, alpha=args.get("alpha", 0.5))
        samples.append((time.perf_counter() - t) * 1000)
    samples.sort()
    return statistics.median(samples), samples[int(0.95 * (len(samples) - 1))]


def load(col, corpus: datagen.Corpus, chunk: int = 10_000) -> float:
    t = time.perf_counter()
    for a in range(0, len(corpus), chunk):
        b = min(len(corpus), a + chunk)
        col.add(corpus.ids[a:b], corpus.texts[a:b], corpus.embeddings[a:b], corpus.metadata[a:b])
    return time.perf_counter() - t


def shard_memory_mb(pids: list[int]) -> list[float]:
    out = []
    for pid in pids:
        try:
            with open(f"/proc/{pid}/status", encoding="ascii") as f:
                rss = next(line for line in f if line.startswith("VmRSS"))
            out.append(int(rss.split()[1]) / 1024)
        except (OSError, StopIteration):
            out.append(float("nan"))
    return out


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=100_000, help="documents")
    ap.add_argument("--shards", type=int, nargs="+", default=[1, 2, 4])
    ap.add_argument("--queries", type=int, default=256)
    ap.add_argument("--batch", type=int, default=64)
    ap.add_argument("--single", type=int, default=50, help="single searches timed for latency")
    ap.add_argument("--repeat", type=int, default=2)
    ap.add_argument("--address", default=None, help="a Ray cluster's address (default: a local Ray)")
    args = ap.parse_args()

    import ray

    from vesk.distributed import ShardedCollection

    corpus = datagen.make_corpus(args.n)
    q = datagen.make_queries(args.queries, corpus.embeddings)
    cores = os.cpu_count() or 1
    if args.address:
        ray.init(address=args.address, include_dashboard=False, log_to_driver=False)
    else:
        ray.init(num_cpus=cores, include_dashboard=False, log_to_driver=False)

    one = vesk.Collection(dim=datagen.DIM)
    load_s = load(one, corpus)
    print(f"# ShardedCollection search_batch: {args.n:,} documents x {datagen.DIM}, k=10")
    print()
    print(f"{platform.machine()}, {cores} cores, Python {platform.python_version()}, Ray {ray.__version__}; "
          f"batches of {args.batch} of {args.queries} queries; latency over {args.single} single searches; "
          f"best of {args.repeat}.")
    print()
    print("| collection | load s | " + " | ".join(f"{m} q/s | {m} p50 ms | {m} p95 ms" for m in MODES)
          + " | MB per shard |")
    print("|---" * (3 + 3 * len(MODES)) + "|")

    def report(name: str, load_s: float, col, pids) -> None:
        cells = [name, f"{load_s:.1f}"]
        for mode in MODES:
            qps = time_batches(col, q, mode, args.batch, args.repeat)
            p50, p95 = time_single(col, q, mode, args.single)
            cells += [f"{qps:,.0f}", f"{p50:.2f}", f"{p95:.2f}"]
        mem = shard_memory_mb(pids) if pids else []
        cells.append(", ".join(f"{m:.0f}" for m in mem) if mem else "-")
        print("| " + " | ".join(cells) + " |", flush=True)

    report("one Collection", load_s, one, None)
    del one
    for shards in args.shards:
        col = ShardedCollection(shards=shards, dim=datagen.DIM)
        load_s = load(col, corpus)
        report(f"{shards} shard{'s' if shards > 1 else ''}", load_s, col, col.shard_processes())
        col.close()
    ray.shutdown()


if __name__ == "__main__":
    main()
