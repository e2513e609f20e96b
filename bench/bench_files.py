"""Saving and loading: vesk collection files next to the .vesk path, bm25s and faiss.

    python bench/bench_files.py                   # 1,000,000 documents x 384
    python bench/bench_files.py --n 100000        # smaller, quicker
    python bench/bench_files.py --no-peers        # vesk only

Needs `vesk` importable (installed, or PYTHONPATH pointing at a folder whose
vesk/ holds the package and the built _native module) and, for the peers,
bm25s and faiss. Data as in bench_vesk.py: random unit embeddings, 5-40 random
words per text, {"bucket": i % 100} as metadata. Every load runs in a fresh
process (the file is in the page cache: it was just written), which reports
the seconds until the load returns, until the first search of each kind has
answered, and its peak memory. The .vesk path (vesk_core: Index.serialize,
serializeToBinary, deserializeFromBinary, Index.deserialize) keeps embeddings
as JSON text and Python lists, so it runs at --vesk-n documents (100,000 by
default) and its figures are also shown scaled to --n. Prints a Markdown report.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from bench_vesk import make_data  # noqa: E402

LOADER = r"""
import json, sys, time
import numpy as np
kind, path, dim = sys.argv[1], sys.argv[2], int(sys.argv[3])
q = np.ones(dim, dtype=np.float32) / dim ** 0.5
out = {}
import importlib
for name in {"vesk": "vesk", "vesk-copy": "vesk", "vesk-noverify": "vesk"}.get(kind, kind).split():
    importlib.import_module(name)  # imports are not part of the load
t0 = time.perf_counter()
if kind in ("vesk", "vesk-copy", "vesk-noverify"):
    import vesk
    col = vesk.load(path, mmap=kind != "vesk-copy", verify=kind != "vesk-noverify")
    out["load"] = time.perf_counter() - t0
    col.search(vector=q, k=10)
    out["dense"] = time.perf_counter() - t0
    col.search("time people", k=10)
    out["keyword"] = time.perf_counter() - t0
    t1 = time.perf_counter(); col.search(vector=q, k=10); out["dense_again"] = time.perf_counter() - t1
elif kind == "vesk_core":
    import vesk_core
    blob = open(path, "rb").read()
    s = vesk_core.deserializeFromBinary(blob)
    idx = vesk_core.Index("bench", "vesk-minilm")
    idx.deserialize(s)
    out["load"] = time.perf_counter() - t0
    idx.query("", 10, q.tolist(), 1.0)
    out["dense"] = time.perf_counter() - t0
elif kind == "bm25s":
    import bm25s
    r = bm25s.BM25.load(path, mmap=True)
    out["load"] = time.perf_counter() - t0
    r.retrieve(bm25s.tokenize(["time people"], show_progress=False), k=10, show_progress=False)
    out["keyword"] = time.perf_counter() - t0
elif kind == "faiss":
    import faiss
    index = faiss.read_index(path, faiss.IO_FLAG_MMAP | faiss.IO_FLAG_READ_ONLY)
    out["load"] = time.perf_counter() - t0
    index.search(q[None, :], 10)
    out["dense"] = time.perf_counter() - t0
out["peak_mb"] = next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmHWM")) / 1024
print(json.dumps(out))
"""


def in_fresh_process(kind: str, path: str, dim: int) -> dict:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    out = subprocess.run([sys.executable, "-c", LOADER, kind, path, str(dim)], capture_output=True, text=True,
                         env=env)
    if out.returncode != 0:
        raise RuntimeError(f"loading {kind} failed:\n{out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def timed(fn):
    t0 = time.perf_counter()
    value = fn()
    return time.perf_counter() - t0, value


def size_mb(path: str) -> float:
    if os.path.isdir(path):
        return sum(f.stat().st_size for f in Path(path).iterdir()) / 1e6
    return os.path.getsize(path) / 1e6


def fmt(x: float | None) -> str:
    return "-" if x is None else f"{x:.3f}"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--dim", type=int, default=384)
    ap.add_argument("--vesk-n", type=int, default=100_000)
    ap.add_argument("--no-peers", action="store_true")
    ap.add_argument("--folder", default=None, help="where the files go (default: a temporary folder)")
    args = ap.parse_args()

    import vesk

    folder = args.folder or tempfile.mkdtemp(prefix="bench_files_")
    n, dim = args.n, args.dim
    ids, texts, emb, metadata, _q, _qt = make_data(n, dim)
    rows = []  # (system, documents, save s, file MB, load s, dense s, keyword s, peak MB)

    col = vesk.Collection(dim=dim)
    step = 100_000
    for s in range(0, n, step):
        col.add(ids[s : s + step], texts[s : s + step], emb[s : s + step], metadata[s : s + step])
    path = os.path.join(folder, "c.vcol")
    save_s, _ = timed(lambda: col.save(path))
    del col
    for kind, label in (("vesk", "vesk (mmap)"), ("vesk-noverify", "vesk (mmap, verify=False)"),
                        ("vesk-copy", "vesk (mmap=False)")):
        r = in_fresh_process(kind, path, dim)
        rows.append((label, n, save_s, size_mb(path), r["load"], r.get("dense"), r.get("keyword"),
                     r["peak_mb"]))
        rows[-1] += (r.get("dense_again"),)

    m = min(args.vesk_n, n)
    import vesk_core

    idx = vesk_core.Index("bench", "vesk-minilm" if dim == 384 else "vesk-mediumlm")
    docs = [vesk_core.DocumentInfo(ids[i], texts[i]) for i in range(m)]
    idx.add_documents(docs, emb[:m].tolist())
    del docs
    vpath = os.path.join(folder, "c.vesk")

    def save_vesk():
        blob = vesk_core.serializeToBinary(idx.serialize())
        with open(vpath, "wb") as f:
            f.write(blob)
            f.flush()
            os.fsync(f.fileno())

    vsave, _ = timed(save_vesk)
    del idx
    r = in_fresh_process("vesk_core", vpath, dim)
    rows.append((".vesk (vesk_core)", m, vsave, size_mb(vpath), r["load"], r.get("dense"), None, r["peak_mb"], None))

    if not args.no_peers:
        import bm25s
        import faiss

        retriever = bm25s.BM25()
        tokens = bm25s.tokenize(texts, show_progress=False)
        retriever.index(tokens, show_progress=False)
        del tokens
        bpath = os.path.join(folder, "bm25s")
        bsave, _ = timed(lambda: retriever.save(bpath))
        del retriever
        r = in_fresh_process("bm25s", bpath, dim)
        rows.append(("bm25s (mmap, keyword only)", n, bsave, size_mb(bpath), r["load"], None, r.get("keyword"),
                     r["peak_mb"], None))

        index = faiss.IndexFlatIP(dim)
        index.add(emb)
        fpath = os.path.join(folder, "c.faiss")
        fsave, _ = timed(lambda: faiss.write_index(index, fpath))
        del index
        r = in_fresh_process("faiss", fpath, dim)
        rows.append(("faiss IndexFlatIP (mmap, dense only)", n, fsave, size_mb(fpath), r["load"], r.get("dense"),
                     None, r["peak_mb"], None))

    print(f"# Saving and loading, {n:,} documents x {dim} ({platform.machine()}, {os.cpu_count()} cores)\n")
    print("Seconds; the dense and keyword columns count from the start of the load to the first answer.\n")
    print("| system | documents | save | file MB | load | first dense | first keyword | peak MB | next dense |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for label, docs_n, save, mb, load, dense, kw, peak, again in rows:
        print(f"| {label} | {docs_n:,} | {fmt(save)} | {mb:,.0f} | {fmt(load)} | {fmt(dense)} | {fmt(kw)} | "
              f"{peak:,.0f} | {fmt(again)} |")
    if m < n:
        scale = n / m
        vrow = next(r for r in rows if r[0].startswith(".vesk"))
        print(f"\n.vesk scaled to {n:,} documents (x{scale:g}): save {vrow[2] * scale:.1f} s, "
              f"file {vrow[3] * scale:,.0f} MB, load {vrow[4] * scale:.1f} s.")
    print(f"\nBuilt with peak memory {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:,.0f} MB "
          f"(this process); files in {folder}.")


if __name__ == "__main__":
    main()
