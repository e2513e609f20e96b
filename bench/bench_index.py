"""Loading and querying an Index of 100,000 generated documents from Python.

Measures bulk loading (one add_documents call with a NumPy matrix), loading
one document per call (the per-document cost at the start and at the end of
the run, which shows whether keeping the keyword index current grows with the
index), and milliseconds per query for alpha 0, 0.8 and 1.

Usage: python bench/bench_index.py [--docs N] [--queries Q]
"""
from __future__ import annotations

import argparse
import os
import platform
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import datagen  # noqa: E402
import vesk_core  # noqa: E402


def documents(corpus, a, b):
    return [vesk_core.DocumentInfo(corpus.ids[i], corpus.texts[i], corpus.metadata[i])
            for i in range(a, b)]


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--docs", type=int, default=100_000)
    ap.add_argument("--queries", type=int, default=200)
    args = ap.parse_args()
    n = args.docs
    corpus = datagen.make_corpus(n)
    queries = datagen.make_queries(args.queries, corpus.embeddings)
    print(f"{platform.machine()} Python {platform.python_version()}, {n} documents x "
          f"{datagen.DIM} dims, {args.queries} queries")

    docs = documents(corpus, 0, n)
    bulk = vesk_core.Index("bulk", "vesk-minilm")
    t = time.perf_counter()
    bulk.add_documents(docs, corpus.embeddings)
    dt = time.perf_counter() - t
    print(f"bulk load: {dt:.2f} s, {n / dt:,.0f} documents/s")

    single = vesk_core.Index("single", "vesk-minilm")
    window = max(1, min(2000, n // 10))
    marks = []
    t = time.perf_counter()
    for i in range(n):
        single.add_documents([docs[i]], corpus.embeddings[i:i + 1])
        if i + 1 == window or i + 1 == n:
            marks.append(time.perf_counter())
        if i + 1 == n - window:
            tail_start = time.perf_counter()
    total = time.perf_counter() - t
    first = (marks[0] - t) / window
    last = (marks[-1] - tail_start) / window
    print(f"one per call: {total:.2f} s, {n / total:,.0f} documents/s; "
          f"first {window}: {first * 1e6:.1f} us/doc, last {window}: {last * 1e6:.1f} us/doc")

    for alpha in (0.0, 0.8, 1.0):
        times = []
        for text, emb in zip(queries.texts, queries.embeddings):
            t = time.perf_counter()
            bulk.query(text, 10, emb, alpha)
            times.append(time.perf_counter() - t)
        times.sort()
        print(f"query alpha {alpha}: median {statistics.median(times) * 1e3:.3f} ms, "
              f"p90 {times[int(len(times) * 0.9)] * 1e3:.3f} ms")


if __name__ == "__main__":
    main()
