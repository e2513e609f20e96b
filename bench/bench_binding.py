"""Cost of the Python binding's conversions for bulk loading.

Adds N documents with D-dimensional embeddings (default 100,000 x 384) and
compares the time against copying the same floats with NumPy, for each way a
caller can hand over the embeddings:

  copy floats (numpy)       np.array(emb, copy=True): the floor, fresh memory
  SerializedIndex(arr)      binding conversion only (2-D buffer -> rows), no core
  add_documents(f32 2-D)    one 2-D float32 array: read straight from the buffer
  add_documents(f64 2-D)    float64 array: read from the buffer, rounded to float32
  add_documents(rows)       a list of 1-D float32 arrays: one buffer per row
  add_documents(lists)      a list of Python lists of floats: item by item
  convert f32 2-D only      add_documents with one document too few: the
                            binding converts all embeddings, then the core
                            rejects the call at once (ValueError), so this is
                            the binding's share of add_documents(f32 2-D)
  convert documents only    the same with 0-length embeddings: the share of
                            the DocumentInfo list, to subtract from the above
  documents only            add_documents with 0-length embeddings: the cost of
                            converting the DocumentInfo list plus the core's
                            per-document work, without any floats

Documents carry short distinct texts so that the core's keyword index has
something to do; "documents only" isolates that part. Every measurement uses a
fresh Index and reports the best and the median of --repeat runs.

Usage: python bench/bench_binding.py [--n 100000] [--dim 384] [--repeat 5]
"""

import argparse
import gc
import platform
import statistics
import time

import numpy as np

import vesk_core


def measure(fn, repeat):
    times = []
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times), statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=384)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--skip-lists", action="store_true",
                        help="skip the (slow) list-of-lists case")
    args = parser.parse_args()
    n, dim = args.n, args.dim

    rng = np.random.default_rng(42)
    emb32 = rng.standard_normal((n, dim), dtype=np.float32)
    emb64 = emb32.astype(np.float64)
    rows = list(emb32)
    docs = [vesk_core.DocumentInfo(f"doc-{i}", f"w{i % 1000} w{i % 7}") for i in range(n)]
    ids = [d.id for d in docs]
    model = vesk_core.ModelRef("vesk-minilm", "0.2.3")
    empty = np.zeros((n, 0), dtype=np.float32)

    def add(embeddings):
        def run():
            idx = vesk_core.Index("bench", "vesk-minilm")
            idx.add_documents(docs, embeddings)
            assert idx.doc_count == n
        return run

    def convert_only(embeddings):
        short = docs[1:]

        def run():
            idx = vesk_core.Index("bench", "vesk-minilm")
            try:
                idx.add_documents(short, embeddings)
            except ValueError:
                pass
            else:
                raise AssertionError("length mismatch not reported")
        return run

    cases = [
        ("copy floats (numpy)", lambda: np.array(emb32, copy=True)),
        ("SerializedIndex(arr)",
         lambda: vesk_core.SerializedIndex("b", "1", model, dim, emb32, ids)),
        ("documents only", add(empty)),
        ("convert documents only", convert_only(empty)),
        ("convert f32 2-D only", convert_only(emb32)),
        ("add_documents(f32 2-D)", add(emb32)),
        ("add_documents(f64 2-D)", add(emb64)),
        ("add_documents(rows)", add(rows)),
    ]
    if not args.skip_lists:
        lists = emb32.tolist()
        cases.append(("add_documents(lists)", add(lists)))

    print(f"{platform.machine()} {platform.processor() or ''} Python {platform.python_version()}, "
          f"numpy {np.__version__}; {n} docs x {dim} floats "
          f"({emb32.nbytes / 1e6:.1f} MB float32), best/median of {args.repeat}")
    results = {}
    for name, fn in cases:
        best, median = measure(fn, args.repeat)
        results[name] = best
        print(f"  {name:26s} {best * 1e3:9.1f} ms  {median * 1e3:9.1f} ms")
    floor = results["copy floats (numpy)"]
    docs_only = results["documents only"]
    f32 = results["add_documents(f32 2-D)"]
    convert = results["convert f32 2-D only"] - results["convert documents only"]
    print(f"binding's float conversion: {convert * 1e3:.1f} ms = {convert / floor:.2f}x one NumPy "
          f"copy; add_documents(f32 2-D) - documents only = {(f32 - docs_only) * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
