"""Throughput of saving and loading an index of 100,000 x 384 embeddings.

Compares, in one run and on the same data:
  - vesk_core.serializeToBinary / vesk_core.deserializeFromBinary (the .vesk
    container: scrambled JSON),
  - orjson.dumps / orjson.loads of the same record as a dict of lists,
  - numpy.save / numpy.load of the raw float32 array (a lower bound: no text,
    no ids).

MB/s are counted on the raw embeddings (docs x dim x 4 bytes) for every
method, so the figures compare directly. Each step is timed several times
and the best wall time is kept; the process CPU time of that run is shown
too, since on a shared machine it is the steadier figure.

The peak memory of serializeToBinary is reported relative to its output:
the rise of the resident set's high-water mark (VmHWM, reset just before the
call) and the peak of the Python allocators as tracemalloc sees them.

Usage: python bench/bench_persistence.py [--docs N] [--dim D] [--repeat R]
"""

from __future__ import annotations

import argparse
import gc
import io
import platform
import time
import tracemalloc

import numpy as np
import orjson
import vesk_core


def timed(fn, repeat):
    """Runs fn() `repeat` times; returns (best wall s, its cpu s, last result)."""
    best = None
    result = None
    for _ in range(repeat):
        result = None
        gc.collect()
        gc.disable()
        try:
            w0, c0 = time.perf_counter(), time.process_time()
            result = fn()
            w1, c1 = time.perf_counter(), time.process_time()
        finally:
            gc.enable()
        if best is None or w1 - w0 < best[0]:
            best = (w1 - w0, c1 - c0)
    return best[0], best[1], result


def _status_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def peak_memory(fn):
    """Runs fn() twice; returns (resident peak rise, traced peak, result size) in bytes.

    The resident figure is VmHWM after the call minus VmRSS before it, with the
    high-water mark reset first (where the kernel allows it); the traced figure
    is tracemalloc's peak over the call.
    """
    gc.collect()
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        rss0 = _status_kb("VmRSS")
        result = fn()
        rss_peak = (_status_kb("VmHWM") - rss0) * 1024
    except OSError:
        rss_peak = float("nan")
        result = fn()
    size = len(result)
    del result
    gc.collect()
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        base = tracemalloc.get_traced_memory()[0]
        result = fn()
        traced_peak = tracemalloc.get_traced_memory()[1] - base
    finally:
        tracemalloc.stop()
    del result
    return rss_peak, traced_peak, size


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--docs", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=384)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    rng = np.random.default_rng(20261208)
    emb = rng.standard_normal((args.docs, args.dim), dtype=np.float32)
    emb /= np.linalg.norm(emb, axis=1, keepdims=True)  # unit rows, like sentence embeddings
    ids = [f"doc-{i}" for i in range(args.docs)]
    raw_mb = emb.nbytes / 1e6

    record = vesk_core.SerializedIndex(
        "bench", "0.2.3", vesk_core.ModelRef("vesk-minilm", "0.2.3"), args.dim, emb, ids
    )
    as_dict = {
        "name": "bench",
        "version": "0.2.3",
        "model": {"id": "vesk-minilm", "version": "0.2.3"},
        "dimension": args.dim,
        "embeddings": emb.tolist(),
        "docIds": ids,
    }

    rows = []

    def add(name, wall, cpu, size):
        rows.append((name, raw_mb / wall, wall, cpu, size))

    wall, cpu, blob = timed(lambda: vesk_core.serializeToBinary(record), args.repeat)
    add("vesk serializeToBinary", wall, cpu, len(blob))
    wall, cpu, back = timed(lambda: vesk_core.deserializeFromBinary(blob), args.repeat)
    add("vesk deserializeFromBinary", wall, cpu, len(blob))
    first = back.embeddings[0]
    assert len(back.doc_ids) == args.docs and np.array_equal(np.asarray(first, np.float32), emb[0])
    del back, first

    wall, cpu, text = timed(lambda: orjson.dumps(as_dict), args.repeat)
    add("orjson.dumps (dict of lists)", wall, cpu, len(text))
    wall, cpu, loaded = timed(lambda: orjson.loads(text), args.repeat)
    add("orjson.loads (dict of lists)", wall, cpu, len(text))
    del loaded, text

    def np_save():
        buf = io.BytesIO()
        np.save(buf, emb)
        return buf.getvalue()

    wall, cpu, npy = timed(np_save, args.repeat)
    add("numpy.save (raw array)", wall, cpu, len(npy))
    wall, cpu, _ = timed(lambda: np.load(io.BytesIO(npy)), args.repeat)
    add("numpy.load (raw array)", wall, cpu, len(npy))

    print(
        f"{args.docs} x {args.dim} float32 = {raw_mb:.1f} MB raw; "
        f"{platform.machine()}, Python {platform.python_version()}, "
        f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}"
    )
    print(f"{'method':32} {'MB/s':>9} {'wall s':>8} {'cpu s':>8} {'output MB':>10}")
    for name, mbs, wall, cpu, size in rows:
        print(f"{name:32} {mbs:9.1f} {wall:8.3f} {cpu:8.3f} {size / 1e6:10.1f}")

    rss_peak, traced_peak, size = peak_memory(lambda: vesk_core.serializeToBinary(record))
    print(
        f"serializeToBinary peak memory / output ({size / 1e6:.1f} MB): "
        f"resident {rss_peak / size:.3f}, traced {traced_peak / size:.3f}"
    )


if __name__ == "__main__":
    main()
