"""Speed of the vesk package: batches, threads, filters, and the interpreter during a bulk add.

    python bench/bench_vesk.py                 # 100,000 documents x 384
    python bench/bench_vesk.py --n 20000       # smaller, quicker
    python bench/bench_vesk.py --peers         # also filtered search in faiss and LanceDB

Needs `vesk` importable (installed, or PYTHONPATH pointing at a folder whose
vesk/ holds the package and the built _native module). Embeddings are random
unit vectors, texts random words from bench/words.txt, and every document has
the metadata {"bucket": i % 100}, so {"bucket": 7} keeps 1% of them. Each
figure is the best of --repeat runs. Prints a Markdown report.
"""

from __future__ import annotations

import argparse
import os
import platform
import threading
import time
from pathlib import Path

import numpy as np

import vesk

HERE = Path(__file__).resolve().parent


def best_of(repeat: int, fn) -> float:
    """The shortest wall time of `repeat` calls of fn, in seconds."""
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def make_data(n: int, dim: int, seed: int = 0):
    rng = np.random.default_rng(seed)
    words = np.array((HERE / "words.txt").read_text(encoding="utf-8").split())
    p = 1.0 / np.arange(1, len(words) + 1)
    p /= p.sum()  # Zipf-like word frequencies
    lengths = rng.integers(5, 40, size=n)
    flat = rng.choice(words, size=int(lengths.sum()), p=p)
    ends = np.cumsum(lengths)
    texts = [" ".join(flat[e - l : e]) for e, l in zip(ends, lengths)]
    emb = rng.standard_normal((n, dim), dtype=np.float32)
    emb /= np.linalg.norm(emb, axis=1, keepdims=True)
    queries = rng.standard_normal((64, dim), dtype=np.float32)
    queries /= np.linalg.norm(queries, axis=1, keepdims=True)
    query_texts = [" ".join(rng.choice(words[:2000], size=3)) for _ in range(64)]
    ids = [f"doc{i}" for i in range(n)]
    metadata = [{"bucket": i % 100} for i in range(n)]
    return ids, texts, emb, metadata, queries, query_texts


def bench_add(ids, texts, emb, metadata, dim):
    """Time a bulk add while a Python thread counts; the count shows it kept running."""
    col = vesk.Collection(dim=dim)
    counter = [0]
    stop = threading.Event()

    def count():
        while not stop.is_set():
            counter[0] += 1

    thread = threading.Thread(target=count)
    thread.start()
    time.sleep(0.2)
    c0, t0 = counter[0], time.perf_counter()
    idle_rate = None
    time.sleep(0.3)  # the counter's rate with nothing else running
    idle_rate = (counter[0] - c0) / (time.perf_counter() - t0)
    c0, t0 = counter[0], time.perf_counter()
    col.add(ids, texts, emb, metadata)
    seconds = time.perf_counter() - t0
    during = (counter[0] - c0) / seconds
    stop.set()
    thread.join()
    return col, seconds, idle_rate, during


def bench_threads(col, queries, repeat):
    per_thread = 64

    def work():
        for i in range(per_thread):
            col.search(vector=queries[i % len(queries)], k=10)

    def one_thread():
        work()
        work()

    def two_threads():
        ts = [threading.Thread(target=work) for _ in range(2)]
        for t in ts:
            t.start()
        for t in ts:
            t.join()

    return best_of(repeat, one_thread), best_of(repeat, two_threads), 2 * per_thread


def bench_peers(emb, metadata_bucket, queries, repeat, k=10, bucket=7):
    rows = {}
    keep = np.flatnonzero(metadata_bucket == bucket).astype(np.int64)
    try:
        import faiss

        index = faiss.IndexFlatIP(emb.shape[1])
        index.add(emb)
        sel = faiss.IDSelectorBatch(keep)
        params = faiss.SearchParameters(sel=sel)
        t_filtered = best_of(repeat, lambda: [index.search(q[None, :], k, params=params) for q in queries])
        t_plain = best_of(repeat, lambda: [index.search(q[None, :], k) for q in queries])
        rows["faiss IndexFlatIP + IDSelectorBatch"] = (t_plain / len(queries), t_filtered / len(queries))
    except ImportError:
        rows["faiss"] = None
    try:
        import tempfile

        import lancedb
        import pyarrow as pa

        folder = tempfile.mkdtemp(prefix="bench-vesk-lancedb-")
        db = lancedb.connect(folder)
        table = db.create_table(
            "docs",
            pa.table(
                {
                    "id": np.arange(len(emb)),
                    "bucket": metadata_bucket,
                    "vector": pa.FixedSizeListArray.from_arrays(pa.array(emb.reshape(-1)), emb.shape[1]),
                }
            ),
        )

        def run(where):
            for q in queries:
                s = table.search(q).metric("dot").limit(k)
                if where:
                    s = s.where(where, prefilter=True)
                s.to_arrow()

        t_plain = best_of(repeat, lambda: run(None))
        t_filtered = best_of(repeat, lambda: run(f"bucket = {bucket}"))
        rows["LanceDB (no vector index: exact scan), prefilter"] = (t_plain / len(queries), t_filtered / len(queries))
    except ImportError:
        rows["LanceDB"] = None
    return rows


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, default=100_000)
    ap.add_argument("--dim", type=int, default=384)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--peers", action="store_true", help="also time filtered search in faiss and LanceDB")
    args = ap.parse_args()

    ids, texts, emb, metadata, queries, query_texts = make_data(args.n, args.dim)
    col, add_s, idle_rate, add_rate = bench_add(ids, texts, emb, metadata, args.dim)

    t_single = best_of(args.repeat, lambda: [col.search(vector=q, k=10) for q in queries])
    t_batch = best_of(args.repeat, lambda: col.search_batch(vectors=queries, k=10))
    assert col.search_batch(vectors=queries[:4], k=10) == [col.search(vector=q, k=10) for q in queries[:4]]

    t_one, t_two, n_thr = bench_threads(col, queries, args.repeat)

    where = {"bucket": 7}
    rows = []
    for label, kw in [
        ("semantic", lambda q, t: dict(vector=q)),
        ("keyword", lambda q, t: dict(text=t)),
        ("hybrid", lambda q, t: dict(text=t, vector=q)),
    ]:
        plain = best_of(args.repeat, lambda: [col.search(k=10, **kw(q, t)) for q, t in zip(queries, query_texts)])
        filt = best_of(
            args.repeat, lambda: [col.search(k=10, where=where, **kw(q, t)) for q, t in zip(queries, query_texts)]
        )
        rows.append((label, plain / 64, filt / 64))
    # The same with a different 1% filter for each query, so that no filter
    # result is remembered from an earlier search (the collection keeps the
    # last few).
    fresh = best_of(
        args.repeat,
        lambda: [col.search(text=t, k=10, where={"bucket": i}) for i, t in enumerate(query_texts)],
    )

    load = os.getloadavg()[0]
    print(f"# vesk: {args.n:,} documents x {args.dim}\n")
    print(f"{platform.processor() or platform.machine()}, {os.cpu_count()} cores, load average {load:.1f} at the end\n")
    print("| measurement | result | goal |\n|---|---|---|")
    print(f"| 64 semantic queries: 64 x search | {t_single * 1e3:.1f} ms | |")
    print(f"| 64 semantic queries: 1 x search_batch | {t_batch * 1e3:.1f} ms ({t_single / t_batch:.1f}x) | >= 4x |")
    print(f"| {n_thr} semantic searches: one thread | {t_one * 1e3:.1f} ms | |")
    print(f"| {n_thr} semantic searches: two threads, one Collection | {t_two * 1e3:.1f} ms ({t_one / t_two:.2f}x) | >= 1.6x |")
    for label, plain, filt in rows:
        print(f"| {label} search, no filter / 1% filter | {plain * 1e3:.2f} ms / {filt * 1e3:.2f} ms ({plain / filt:.1f}x) | faster |")
    kw_plain = rows[1][1]
    print(
        f"| keyword search, no filter / a different 1% filter each query | {kw_plain * 1e3:.2f} ms / "
        f"{fresh / 64 * 1e3:.2f} ms ({kw_plain / (fresh / 64):.1f}x) | |"
    )
    print(f"| bulk add of {args.n:,} documents | {add_s:.2f} s | |")
    print(
        f"| a Python thread counting during that add | {add_rate / 1e6:.2f} M/s "
        f"({add_rate / idle_rate:.0%} of its idle rate {idle_rate / 1e6:.2f} M/s) | keeps running |"
    )
    if args.peers:
        print("\n## Filtered semantic search (1% of documents kept), per query, k = 10\n")
        print("| library | no filter | 1% filter |\n|---|---|---|")
        print(f"| vesk | {rows[0][1] * 1e3:.2f} ms | {rows[0][2] * 1e3:.2f} ms |")
        buckets = np.arange(args.n) % 100
        for name, r in bench_peers(emb, buckets, queries, args.repeat).items():
            print(f"| {name} | not installed | |" if r is None else f"| {name} | {r[0] * 1e3:.2f} ms | {r[1] * 1e3:.2f} ms |")


if __name__ == "__main__":
    main()
