"""Resident memory per document, each variant measured in a fresh child process."""
from __future__ import annotations

import json
import os
import statistics
import subprocess
import sys

import numpy as np

import datagen

from . import PACKAGE_DIR, VESK
from .results import Results
from .timing import malloc_trim
from .vesk_runner import import_vesk, vesk_build


def memory_child(variant: str, n: int, data_dir: str) -> None:
    """Loads the corpus written by the parent and reports the RSS it adds."""
    import psutil
    proc = psutil.Process()
    vk = import_vesk() if variant.startswith("vesk") else None
    malloc_trim()
    rss0 = proc.memory_info().rss
    with open(os.path.join(data_dir, "docs.json"), "rb") as f:
        d = json.loads(f.read())
    emb = np.load(os.path.join(data_dir, "emb.npy"))
    ids, texts, metas = d["ids"], d["texts"], d["metadata"]
    del d
    if variant == "vesk":
        keep = vesk_build(vk, datagen.Corpus(ids, texts, metas, emb))
        del ids, texts, metas, emb
    elif variant == "vesk-nometa":
        keep = vesk_build(vk, datagen.Corpus(ids, texts, [None] * len(ids), emb))
        del ids, texts, metas, emb
    elif variant == "vesk-notext":
        keep = vesk_build(vk, datagen.Corpus(ids, [""] * len(ids), [None] * len(ids), emb))
        del ids, texts, metas, emb
    elif variant == "plain":
        keep = (ids, texts, emb)
        del metas
    else:  # "plain+metadata"
        keep = (ids, texts, metas, emb)
    malloc_trim()
    rss1 = proc.memory_info().rss
    peak = rss1
    with open("/proc/self/status") as f:       # high-water mark of this process image
        for line in f:
            if line.startswith("VmHWM:"):
                peak = int(line.split()[1]) * 1024
    print(json.dumps({"variant": variant, "n": n, "delta": rss1 - rss0, "peak": peak - rss0,
                      "rss0": rss0}))
    del keep


def section_memory(res: Results, vk, n: int, reps: int, cpp_dir: str | None = None):
    """Runs memory_child for each variant in a new interpreter (this package's command
    line with --memory-child), reps times, and adds a bytes/doc row per variant; then,
    when cpp_dir holds bench_index_memory, the split of a C++ Index of the same data
    by part (res.memory_split)."""
    import shutil
    import tempfile
    variants = ["plain", "plain+metadata"] + (["vesk", "vesk-nometa", "vesk-notext"] if vk is not None
                                              else [])
    names = {"plain": "Python lists of texts and ids + one float32 NumPy matrix",
             "plain+metadata": "same + metadata dicts",
             "vesk": VESK + " Index (source data dropped)",
             "vesk-nometa": VESK + " Index without the metadata (source data dropped)",
             "vesk-notext": VESK + " Index of the ids and embeddings only (empty texts)"}
    tmp = tempfile.mkdtemp(prefix="vesk-bench-mem-")
    try:
        c = datagen.make_corpus(n)
        with open(os.path.join(tmp, "docs.json"), "w", encoding="utf-8") as f:
            json.dump({"ids": c.ids, "texts": c.texts, "metadata": c.metadata}, f)
        np.save(os.path.join(tmp, "emb.npy"), c.embeddings)
        if cpp_dir is not None:
            datagen.write_corpus_files(c, tmp)
        del c
        malloc_trim()
        for v in variants:
            vals, peaks = [], []
            for _ in range(reps):
                out = subprocess.run([sys.executable, PACKAGE_DIR,
                                      "--memory-child", v, "--memory-n", str(n),
                                      "--memory-dir", tmp], capture_output=True, text=True)
                if out.returncode != 0:
                    res.errors.append(f"memory child {v} failed: {out.stderr[-2000:]}")
                    break
                d = json.loads(out.stdout.strip().splitlines()[-1])
                vals.append(d["delta"] / n)
                peaks.append(d["peak"] / n)
            if vals:
                kind = {"vesk": "vesk", "plain": "peer"}.get(v, "info")
                res.add("memory", n, names[v], "bytes/doc", vals, False, kind=kind,
                        note=f"peak during loading {statistics.median(peaks):,.0f} bytes/doc")
        if cpp_dir is not None:
            from .cpp import memory_split
            memory_split(res, cpp_dir, tmp)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
