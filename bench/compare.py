#!/usr/bin/env python3
"""Side-by-side benchmark of vesk_core against the libraries users would pick instead.

Runs every library on the same generated data in the same process (memory rows
in one fresh subprocess per variant), several repetitions each, and writes
bench/RESULTS.md with medians, min-max and the ratio to the best peer.

    python bench/compare.py              # full run: 10k and 100k docs, dense also at 1M
    python bench/compare.py --quick      # small smoke run
    python bench/compare.py --sizes 10000 --dense-sizes 10000,1000000

All peers run single-threaded (thread-count variables are set before NumPy,
faiss or tantivy load; faiss.omp_set_num_threads(1); tantivy writers get one
thread).
"""
from __future__ import annotations

import os

for _v in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS",
           "NUMEXPR_NUM_THREADS", "RAYON_NUM_THREADS", "VECLIB_MAXIMUM_THREADS",
           "NUMBA_NUM_THREADS"):
    os.environ[_v] = "1"

import argparse
import ctypes
import datetime as _dt
import gc
import io
import json
import math
import platform
import statistics
import subprocess
import sys
import time
import traceback
from dataclasses import dataclass, field
from importlib import metadata as _md

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import datagen  # noqa: E402

K = 10            # top-k of every query row
ALPHA_HYBRID = 0.8
RRF_K = 60
VESK = "vesk_core"

try:
    _LIBC = ctypes.CDLL("libc.so.6")
except OSError:          # pragma: no cover
    _LIBC = None


def malloc_trim() -> None:
    gc.collect()
    if _LIBC is not None:
        _LIBC.malloc_trim(0)


def log(*a) -> None:
    print(f"[{time.strftime('%H:%M:%S')}]", *a, file=sys.stderr, flush=True)


# --------------------------------------------------------------------------- results

@dataclass
class Row:
    section: str          # "dense", "keyword", ...
    size: int
    name: str             # library / variant
    unit: str
    values: list[float]
    higher_better: bool
    kind: str = "peer"    # "vesk", "peer", "baseline", "info"
    note: str = ""

    @property
    def median(self) -> float:
        return statistics.median(self.values)


@dataclass
class Results:
    rows: list[Row] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)
    relevance: list[dict] = field(default_factory=list)
    errors: list[str] = field(default_factory=list)
    stem_diff: dict | None = None
    kw_diag: list = field(default_factory=list)

    def add(self, *a, **kw) -> Row:
        r = Row(*a, **kw)
        self.rows.append(r)
        v = r.median
        log(f"  {r.section:9s} {r.size:>9,d} {r.name:45s} {fmt(v)} {r.unit}")
        return r

    def get(self, section: str, size: int, name: str) -> Row | None:
        for r in self.rows:
            if r.section == section and r.size == size and r.name == name:
                return r
        return None


def fmt(v: float) -> str:
    if v is None or (isinstance(v, float) and math.isnan(v)):
        return "n/a"
    a = abs(v)
    if a >= 1000:
        return f"{v:,.0f}"
    if a >= 100:
        return f"{v:.0f}"
    if a >= 10:
        return f"{v:.1f}"
    if a >= 1:
        return f"{v:.2f}"
    return f"{v:.3g}"


def timed(fn, reps: int, per: int = 1) -> list[float]:
    """Runs fn() reps times; returns the seconds of each run divided by per."""
    out = []
    for _ in range(reps):
        gc.collect()
        gc.disable()
        try:
            t0 = time.perf_counter()
            fn()
            t1 = time.perf_counter()
        finally:
            gc.enable()
        out.append((t1 - t0) / per)
    return out


def timed_group(fns: list, reps: int, per: int) -> list[list[float]]:
    """Like timed() for several functions, interleaved: repetition r runs every
    function once (in alternating order), so that a burst of load from other
    processes falls on all of them rather than on one."""
    out: list[list[float]] = [[] for _ in fns]
    for r in range(reps):
        order = list(range(len(fns)))
        if r % 2:
            order.reverse()
        for i in order:
            out[i] += timed(fns[i], 1, per)
    return out


def us(seconds: list[float]) -> list[float]:
    return [s * 1e6 for s in seconds]


# --------------------------------------------------------------------------- vesk

def import_vesk():
    try:
        import vesk_core
        return vesk_core
    except Exception as e:   # noqa: BLE001
        log(f"vesk_core not importable: {e!r}")
        return None


def vesk_docs(vk, c: datagen.Corpus) -> list:
    D = vk.DocumentInfo
    return [D(i, t, m) for i, t, m in zip(c.ids, c.texts, c.metadata)]


def vesk_build(vk, c: datagen.Corpus, name="bench"):
    idx = vk.Index(name, "vesk-minilm")
    idx.add_documents(vesk_docs(vk, c), c.embeddings)
    return idx


_QARG_NUMPY: bool | None = None


def vesk_query_args(vk, idx, q: np.ndarray) -> list:
    """Query embeddings in the form the module takes (NumPy if accepted, else lists)."""
    global _QARG_NUMPY
    if _QARG_NUMPY is None:
        try:
            idx.query("probe", 1, q[0], 1.0)
            _QARG_NUMPY = True
        except TypeError:
            _QARG_NUMPY = False
    return list(q) if _QARG_NUMPY else q.tolist()


# --------------------------------------------------------------------------- peers

class Bm25sPeer:
    """bm25s, method "lucene", k1 1.2, b 0.75, NLTK English stop words, Snowball stemmer.

    backend "numpy" is bm25s's default; "numba" is its compiled backend (needs the
    numba package), which is what a user after speed would pick.
    """

    def __init__(self, stopwords: list[str], backend: str = "numpy"):
        import bm25s
        import Stemmer
        from bm25s.tokenization import Tokenizer
        self.bm25s = bm25s
        self.backend = backend
        self.stemmer = Stemmer.Stemmer("english")
        self.stopwords = stopwords
        self.tokenizer = Tokenizer(stopwords=stopwords, stemmer=self.stemmer.stemWord)
        self.retriever = None
        self.ids: list[str] = []

    def build(self, texts: list[str], ids: list[str]):
        from bm25s.tokenization import Tokenizer
        self.tokenizer = Tokenizer(stopwords=self.stopwords, stemmer=self.stemmer.stemWord)
        toks = self.tokenizer.tokenize(texts, show_progress=False, return_as="ids")
        r = self.bm25s.BM25(method="lucene", k1=1.2, b=0.75, backend=self.backend)
        r.index(toks, show_progress=False)
        self.retriever = r
        self.ids = ids
        return toks

    def reindex(self, toks):
        r = self.bm25s.BM25(method="lucene", k1=1.2, b=0.75, backend=self.backend)
        r.index(toks, show_progress=False)
        return r

    def query(self, q: str):
        qt = self.tokenizer.tokenize([q], update_vocab=False, show_progress=False,
                                     return_as="ids")
        res, sc = self.retriever.retrieve(qt, k=K, show_progress=False,
                                          backend_selection=self.backend)
        ids = self.ids
        return [(ids[i], s) for i, s in zip(res[0].tolist(), sc[0].tolist())]


def numba_available() -> bool:
    try:
        import numba  # noqa: F401
        return True
    except Exception:   # noqa: BLE001
        return False


class TantivyPeer:
    """tantivy in RAM, one writer thread, NLTK stop words and the English stemmer."""

    def __init__(self, stopwords: list[str]):
        import tantivy
        self.t = tantivy
        self.stopwords = stopwords
        self.index = None

    def _new_index(self):
        t = self.t
        sb = t.SchemaBuilder()
        sb.add_text_field("id", stored=True, tokenizer_name="raw")
        sb.add_text_field("body", stored=False, tokenizer_name="en_nltk", index_option="freq")
        schema = sb.build()
        index = t.Index(schema)
        an = (t.TextAnalyzerBuilder(t.Tokenizer.simple())
              .filter(t.Filter.lowercase())
              .filter(t.Filter.custom_stopword(self.stopwords))
              .filter(t.Filter.stemmer("english"))
              .build())
        index.register_tokenizer("en_nltk", an)
        return index

    def build(self, texts: list[str], ids: list[str]):
        t = self.t
        index = self._new_index()
        w = index.writer(heap_size=256_000_000, num_threads=1)
        for i, tx in zip(ids, texts):
            w.add_document(t.Document(id=i, body=tx))
        w.commit()
        w.wait_merging_threads()
        index.reload()
        self.index = index
        self.searcher = index.searcher()

    def writer(self):
        return self.index.writer(heap_size=64_000_000, num_threads=1)

    def query(self, q: str):
        try:
            query = self.index.parse_query(q, ["body"])
        except ValueError:
            # Every word of the query is a stop word: tantivy's parser refuses it.
            return []
        s = self.searcher
        hits = s.search(query, K).hits
        return [(s.doc(a)["id"][0], sc) for sc, a in hits]


_PEER_TEXTS: list = [None, None]      # (corpus, its searchable texts)


def peer_texts(c: datagen.Corpus) -> list[str]:
    """What the keyword peers index: each document's text followed by its metadata as
    'key value' pieces, the same searchable text that vesk_core indexes."""
    if _PEER_TEXTS[0] is not c:
        _PEER_TEXTS[:] = [c, [datagen.searchable_text(t, m) for t, m in zip(c.texts, c.metadata)]]
    return _PEER_TEXTS[1]


def numpy_topk(E: np.ndarray, q: np.ndarray, k: int = K):
    s = E @ q
    top = np.argpartition(s, -k)[-k:]
    return top[np.argsort(-s[top], kind="stable")]


# --------------------------------------------------------------------------- sections

def section_dense(res: Results, vk, n: int, c: datagen.Corpus, qs: datagen.Queries,
                  idx, nq: int, reps: int):
    import faiss
    faiss.omp_set_num_threads(1)
    E = c.embeddings
    Q = qs.embeddings[:nq]
    gb = E.nbytes / 1e9
    # Memory-read baseline: a float32 max over the whole matrix (E.max()), which
    # reads every byte once with one SIMD compare per element; on this machine it
    # is the fastest plain NumPy pass over the matrix (faster than E.sum() or a
    # BLAS sgemv with a ones vector, which are shown for context).
    passes = max(1, nq // 2)
    ones = np.ones(E.shape[1], dtype=np.float32)
    fi = faiss.IndexFlatIP(E.shape[1])
    fi.add(E)
    Q2 = [q.reshape(1, -1) for q in Q]
    warm(lambda q: numpy_topk(E, q), Q)
    warm(lambda q: fi.search(q, K), Q2)
    have_vk = vk is not None and idx is not None
    if have_vk:
        qa = vesk_query_args(vk, idx, Q)
        warm(lambda q: idx.query("", K, q, 1.0), qa)
    # Per-query functions interleaved with each other; the read passes likewise.
    fns = [lambda: [numpy_topk(E, q) for q in Q], lambda: [fi.search(q, K) for q in Q2]]
    if have_vk:
        fns.append(lambda: [idx.query("", K, q, 1.0) for q in qa])
    tq = timed_group(fns, reps, nq)
    tr = timed_group([lambda: [E.max() for _ in range(passes)],
                      lambda: [E.sum() for _ in range(passes)],
                      lambda: [E @ ones for _ in range(passes)]], reps, passes)
    del fi
    res.add("dense", n, "memory read (E.max())", "GB/s", [gb / s for s in tr[0]], True,
            kind="baseline")
    res.add("dense", n, "memory read (E.max())", "µs/query", us(tr[0]), False, kind="baseline")
    res.add("dense", n, "E.sum()", "GB/s", [gb / s for s in tr[1]], True, kind="info")
    res.add("dense", n, "E @ ones (sgemv)", "GB/s", [gb / s for s in tr[2]], True, kind="info")
    res.add("dense", n, "NumPy E @ q + argpartition", "µs/query", us(tq[0]), False)
    res.add("dense", n, "faiss IndexFlatIP (1 thread)", "µs/query", us(tq[1]), False)
    if have_vk:
        t = tq[2]
        res.add("dense", n, VESK, "µs/query", us(t), False, kind="vesk")
        res.add("dense", n, VESK + " (effective read rate)", "GB/s", [gb / s for s in t], True,
                kind="info")
        # Agreement of the top-10 ids with NumPy on the first queries.
        agree = 0
        for q, qv in zip(Q[:50], qa[:50]):
            want = [c.ids[i] for i in numpy_topk(E, q)]
            got = [d.id for d in idx.query("", K, qv, 1.0).docs]
            agree += got == want
        res.notes.append(f"Dense top-10 ids at {n:,} docs equal NumPy's for {agree} of "
                         f"{min(50, len(Q))} queries.")


def warm(fn, items, k: int = 3) -> None:
    """A few untimed calls first (JIT compilation, caches, lazy initialisation)."""
    for x in items[:k]:
        fn(*x) if isinstance(x, tuple) else fn(x)


def bm25s_peers(bm, bmn) -> list:
    out = [("bm25s (NumPy backend, 1 thread)", bm)]
    if bmn is not None:
        out.append(("bm25s (numba backend, 1 thread)", bmn))
    return out


def section_keyword(res: Results, vk, n, c, qs, idx, bm, bmn, tv, rb, nq, reps, rb_nq):
    Qt = qs.texts[:nq]
    names, fns, kinds = [], [], []
    for name, peer in bm25s_peers(bm, bmn):
        warm(peer.query, Qt)
        names.append(name)
        fns.append(lambda peer=peer: [peer.query(q) for q in Qt])
        kinds.append("peer")
    warm(tv.query, Qt)
    names.append("tantivy (RAM, 1 thread)")
    fns.append(lambda: [tv.query(q) for q in Qt])
    kinds.append("peer")
    if vk is not None and idx is not None:
        warm(lambda q: idx.query(q, K, [], 0.0), Qt)
        names.append(VESK)
        fns.append(lambda: [idx.query(q, K, [], 0.0) for q in Qt])
        kinds.append("vesk")
    for name, t, kind in zip(names, timed_group(fns, reps, nq), kinds):
        res.add("keyword", n, name, "µs/query", us(t), False, kind=kind)
    if rb is not None:
        sub = Qt[:rb_nq]
        toks = [bm.tokenizer.tokenize([q], update_vocab=False, show_progress=False,
                                      return_as="string")[0] for q in sub]

        def run_rb():
            for qt in toks:
                s = rb.get_scores(qt)
                top = np.argpartition(s, -K)[-K:]
                top[np.argsort(-s[top])]
        t = timed(run_rb, reps, len(sub))
        res.add("keyword", n, "rank-bm25 BM25Okapi", "µs/query", us(t), False,
                note=f"{len(sub)} queries, pre-tokenized")


def section_hybrid(res: Results, vk, n, c, qs, idx, bm, bmn, nq, reps):
    E = c.embeddings
    Q = qs.embeddings[:nq]
    Qt = qs.texts[:nq]
    ids = c.ids
    a, w = ALPHA_HYBRID, 1.0 - ALPHA_HYBRID

    def by_hand(peer, text, qe):
        dense = numpy_topk(E, qe)
        kw = peer.query(text)
        fused: dict[str, float] = {}
        for r, i in enumerate(dense.tolist(), 1):
            d = ids[i]
            fused[d] = fused.get(d, 0.0) + a / (RRF_K + r)
        for r, (d, _s) in enumerate(kw, 1):
            fused[d] = fused.get(d, 0.0) + w / (RRF_K + r)
        return sorted(fused.items(), key=lambda kv: -kv[1])[:K]

    pairs = list(zip(Qt, Q))
    names, fns, kinds = [], [], []
    best_peer_obj = bm
    for name, peer in bm25s_peers(bm, bmn):
        short = name.split("(")[1].split(",")[0]
        warm(lambda x, q, peer=peer: by_hand(peer, x, q), pairs)
        names.append(f"by hand: NumPy + bm25s ({short}) + RRF in Python")
        fns.append(lambda peer=peer: [by_hand(peer, x, q) for x, q in pairs])
        kinds.append("peer")
        best_peer_obj = peer
    have_vk = vk is not None and idx is not None
    if have_vk:
        qa = vesk_query_args(vk, idx, Q)
        vpairs = list(zip(Qt, qa))
        warm(lambda x, q: idx.query(x, K, q, ALPHA_HYBRID), vpairs)
        names.append(VESK)
        fns.append(lambda: [idx.query(x, K, q, ALPHA_HYBRID) for x, q in vpairs])
        kinds.append("vesk")
    for name, t, kind in zip(names, timed_group(fns, reps, nq), kinds):
        res.add("hybrid", n, name, "µs/query", us(t), False, kind=kind)
    if have_vk:
        same = 0
        for (x, q), (_, qv) in list(zip(pairs, vpairs))[:50]:
            want = [d for d, _ in by_hand(best_peer_obj, x, q)]
            got = [d.id for d in idx.query(x, K, qv, ALPHA_HYBRID).docs]
            same += set(got) == set(want)
        res.notes.append(f"Hybrid top-10 id sets at {n:,} docs equal the hand-written fusion's "
                         f"for {same} of {min(50, nq)} queries (the hand-written one uses "
                         f"bm25s's keyword ranking, whose tokenizer differs slightly; ties "
                         f"in fused scores are ordered arbitrarily by both).")


def section_build(res: Results, vk, n, c, bm, tv, reps, rb_max, build_reps_big):
    """Bulk index builds. Returns the last vesk index built (or None)."""
    texts, ids = peer_texts(c), c.ids
    r = reps if n <= 20_000 else build_reps_big
    idx = None
    if vk is not None:
        holder = []
        # Each repetition drops the previous index first, outside the timing.
        times = []
        for _ in range(r):
            holder.clear()
            malloc_trim()
            times += timed(lambda: holder.append(vesk_build(vk, c)), 1)
        idx = holder[0]
        res.add("build", n, VESK + " (texts + metadata + embeddings)", "docs/s",
                [n / s for s in times], True, kind="vesk")
    times = timed(lambda: bm.build(texts, ids), r)
    res.add("build", n, "bm25s (tokenize + index)", "docs/s", [n / s for s in times], True)
    times = timed(lambda: tv.build(texts, ids), r)
    res.add("build", n, "tantivy (add + commit, 1 thread)", "docs/s", [n / s for s in times],
            True)
    rb = None
    if n <= rb_max:
        from rank_bm25 import BM25Okapi
        toks = bm.tokenizer.tokenize(texts, update_vocab=False, show_progress=False,
                                     return_as="string")
        holder = []
        times = timed(lambda: holder.append(BM25Okapi(toks, k1=1.2, b=0.75)), r)
        rb = holder[-1]
        res.add("build", n, "rank-bm25 BM25Okapi (index only, pre-tokenized)", "docs/s",
                [n / s for s in times], True, kind="info")
    return idx, rb


def section_single_adds(res: Results, vk, n, idx, extra: datagen.Corpus, bm, tv,
                        budget_s: float, max_adds: int, reps: int):
    """One-document-at-a-time adds on top of n existing documents."""
    if vk is not None and idx is not None:
        D = vk.DocumentInfo
        per = []
        t_start = time.perf_counter()
        done = 0
        gc.disable()
        try:
            for i in range(min(max_adds, len(extra))):
                doc = [D(extra.ids[i], extra.texts[i], extra.metadata[i])]
                e = extra.embeddings[i:i + 1]
                t0 = time.perf_counter()
                idx.add_documents(doc, e)
                per.append(time.perf_counter() - t0)
                done += 1
                if time.perf_counter() - t_start > budget_s and done >= 3:
                    break
        finally:
            gc.enable()
        # Repetitions = consecutive groups of adds.
        g = max(1, len(per) // 5)
        groups = [per[j:j + g] for j in range(0, len(per) - g + 1, g)][:5]
        res.add("add1", n, VESK, "adds/s", [len(x) / sum(x) for x in groups], True,
                kind="vesk", note=f"{done} single adds")
    # tantivy: add one document and commit it, so that it is searchable, as above.
    t = tv.t
    w = tv.writer()
    per = []
    t_start = time.perf_counter()
    for i in range(min(max_adds, len(extra))):
        t0 = time.perf_counter()
        w.add_document(t.Document(id=extra.ids[i] + "-t", body=peer_texts(extra)[i]))
        w.commit()
        per.append(time.perf_counter() - t0)
        if time.perf_counter() - t_start > budget_s and len(per) >= 3:
            break
    w.wait_merging_threads()
    g = max(1, len(per) // 5)
    groups = [per[j:j + g] for j in range(0, len(per) - g + 1, g)][:5]
    res.add("add1", n, "tantivy (add + commit per doc)", "adds/s",
            [len(x) / sum(x) for x in groups], True, note=f"{len(per)} single adds")
    # bm25s has no incremental add: adding a document means indexing again. The
    # cheapest way is to keep the tokenized corpus and re-run index() on it.
    from bm25s.tokenization import Tokenizer
    tk = Tokenizer(stopwords=bm.stopwords, stemmer=bm.stemmer.stemWord)
    toks = tk.tokenize(bm._texts_for_reindex, show_progress=False, return_as="ids")
    times = timed(lambda: bm.reindex(toks), reps)
    res.add("add1", n, "bm25s (re-index, tokens cached)", "adds/s", [1 / s for s in times], True)


def section_persist(res: Results, vk, n, c, idx, reps):
    import orjson
    E = c.embeddings
    raw_mb = (E.nbytes + sum(len(i) for i in c.ids)) / 1e6
    rec = {"name": "bench", "version": "0.2.3", "model": {"id": "vesk-minilm", "version": "1"},
           "dimension": E.shape[1], "embeddings": E.tolist(), "docIds": list(c.ids)}
    holder = {}
    t = timed(lambda: holder.__setitem__("j", orjson.dumps(rec)), reps)
    js = holder["j"]
    res.add("save", n, "orjson.dumps (dict of lists)", "MB/s", [raw_mb / s for s in t], True,
            note=f"output {len(js) / 1e6:.1f} MB")
    t = timed(lambda: orjson.loads(js), reps)
    res.add("load", n, "orjson.loads (dict of lists)", "MB/s", [raw_mb / s for s in t], True,
            note=f"input {len(js) / 1e6:.1f} MB")
    del js
    holder.clear()

    def npsave():
        b = io.BytesIO()
        np.save(b, E)
        holder["n"] = b.getvalue()
    t = timed(npsave, reps)
    res.add("save", n, "numpy.save (embeddings only, to bytes)", "MB/s",
            [raw_mb / s for s in t], True, kind="info", note=f"output {len(holder['n']) / 1e6:.1f} MB")
    nb = holder.pop("n")
    t = timed(lambda: np.load(io.BytesIO(nb)), reps)
    res.add("load", n, "numpy.load (embeddings only, from bytes)", "MB/s",
            [raw_mb / s for s in t], True, kind="info")
    del nb
    if vk is not None and idx is not None:
        t = timed(lambda: holder.__setitem__("s", idx.serialize()), reps)
        res.add("save", n, VESK + " idx.serialize()", "MB/s", [raw_mb / s for s in t], True,
                kind="info")
        s = holder["s"]
        t = timed(lambda: holder.__setitem__("b", vk.serializeToBinary(s)), reps)
        blob = holder["b"]
        res.add("save", n, VESK + " serializeToBinary", "MB/s", [raw_mb / s_ for s_ in t], True,
                kind="vesk", note=f"output {len(blob) / 1e6:.1f} MB")
        t = timed(lambda: vk.deserializeFromBinary(blob), reps)
        res.add("load", n, VESK + " deserializeFromBinary", "MB/s", [raw_mb / s_ for s_ in t],
                True, kind="vesk", note=f"input {len(blob) / 1e6:.1f} MB")
        s2 = vk.deserializeFromBinary(blob)

        def load_into():
            j = vk.Index("bench2", "vesk-minilm")
            j.deserialize(s2)
        t = timed(load_into, reps)
        res.add("load", n, VESK + " Index.deserialize (after the above)", "MB/s",
                [raw_mb / s_ for s_ in t], True, kind="info")
        ok = list(s2.doc_ids) == list(c.ids)
        res.notes.append(f"Save/load round trip at {n:,} docs: ids {'equal' if ok else 'DIFFER'}.")
        del s, s2, blob
        holder.clear()


def relevance_check(res: Results, vk, n, c, idx, nq_max: int, peers=None, diag_q=None):
    """alpha 0 results vs bm25s "lucene" fed with the same tokens, once with PyStemmer's
    Snowball English stemmer and once with the system's libstemmer (what vesk_core links)."""
    if vk is None or idx is None:
        return
    base = datagen.RefTokenizer()
    raw = [base.words(datagen.searchable_text(t, m)) for t, m in zip(c.texts, c.metadata)]
    qs = datagen.make_queries(4 * nq_max, c.embeddings, seed=99)
    qraw = [base.words(q) for q in qs.texts]
    got_all = [[(d.id, float(d.score) / 2.2) for d in idx.query(q, K, [], 0.0).docs]
               for q in qs.texts]
    if res.stem_diff is None:
        res.stem_diff = stemmer_differences()
    for variant in ("pystemmer", "libstemmer"):
        try:
            tok = datagen.RefTokenizer(variant)
        except OSError as e:
            res.notes.append(f"Relevance check with {variant} skipped: {e}")
            continue
        r = _relevance_one(res, n, c, tok, raw, qs, qraw, got_all, nq_max, variant)
        if variant == "libstemmer" and peers and diag_q:
            keyword_diagnostic(res, n, idx, peers, diag_q, tok, r)


def stemmer_differences() -> dict | None:
    try:
        import Stemmer
        lib = datagen.LibStemmer()
    except Exception:   # noqa: BLE001
        return None
    py = Stemmer.Stemmer("english")
    words, _ = datagen.vocabulary()
    forms = words + [w + "'s" for w in words]
    diff = [(w, lib.stemWord(w), py.stemWord(w)) for w in forms
            if lib.stemWord(w) != py.stemWord(w)]
    libver = "?"
    try:
        out = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", "libstemmer0d"],
                             capture_output=True, text=True).stdout.strip()
        libver = out or libver
    except OSError:
        pass
    return {"count": len(diff), "total": len(forms), "examples": diff[:8],
            "pystemmer": Stemmer.version(), "libstemmer": libver}


def _relevance_one(res, n, c, tok, raw, qs, qraw, got_all, nq_max, variant):
    import bm25s
    corpus_toks = [[tok.stem(w) for w in doc] for doc in raw]
    r = bm25s.BM25(method="lucene", k1=1.2, b=0.75)
    r.index(corpus_toks, show_progress=False)
    del corpus_toks
    # Distinct terms that share their 32-bit token hash with another term of the corpus:
    # vesk_core counts such terms as one dimension (term frequency, document frequency).
    by_hash: dict[int, list[str]] = {}
    for term in r.vocab_dict:
        if term:
            by_hash.setdefault(datagen.fxhash32(term), []).append(term)
    groups = [sorted(g) for g in by_hash.values() if len(g) > 1]
    colliding = {t for g in groups for t in g}
    explained = 0
    vocab = r.vocab_dict
    pos = {d: i for i, d in enumerate(c.ids)}
    checked = ids_ok = scores_ok = both_ok = tie_ok = 0
    worst = 0.0
    examples = []
    for qtext, qw, got in zip(qs.texts, qraw, got_all):
        qt = [tok.stem(w) for w in qw]
        if not qt or len(set(qt)) != len(qt):
            continue
        qt_known = [x for x in qt if x in vocab]
        if not qt_known:
            continue
        checked += 1
        all_scores = r.get_scores(qt_known)
        top = np.argsort(-all_scores, kind="stable")[:K]
        ref = [(c.ids[i], float(all_scores[i])) for i in top.tolist() if all_scores[i] > 0]
        same_ids = [d for d, _ in got] == [d for d, _ in ref]
        # Each returned document's score against bm25s's score of the same document.
        rel = 0.0
        for d, s in got:
            f = float(all_scores[pos[d]])
            rel = max(rel, abs(s - f) / max(abs(f), 1e-30))
        score_ok = len(got) == len(ref) and rel <= 1e-5
        worst = max(worst, rel)
        # Allowing reordering among equal scores: positionwise equal scores and every id
        # difference confined to documents scoring like the last place.
        pos_ok = len(got) == len(ref) and all(
            abs(g[1] - f[1]) <= 1e-5 * abs(f[1]) for g, f in zip(got, ref))
        ties_only = pos_ok and all(
            abs(s - ref[-1][1]) <= 1e-5 * abs(ref[-1][1]) or d in {x for x, _ in ref}
            for d, s in got)
        ids_ok += same_ids
        scores_ok += score_ok
        both_ok += same_ids and score_ok
        tie_ok += score_ok and ties_only
        collided = sorted(set(qt) & colliding)
        if not (same_ids and score_ok) and collided:
            explained += 1
        if not (same_ids and score_ok) and len(examples) < 4:
            examples.append({"query": qtext, "tokens": qt, "collided": collided,
                             "vesk": [(d, round(s, 6)) for d, s in got[:4]],
                             "bm25s": [(d, round(s, 6)) for d, s in ref[:4]]})
        if checked >= nq_max:
            break
    words = sorted((g for g in groups if any(not ch.isdigit() and ch != "," and ch != "."
                                             for t in g for ch in t)), key=lambda g: g[0])
    res.relevance.append({"size": n, "stemmer": variant, "checked": checked, "ids": ids_ok,
                          "scores": scores_ok, "both": both_ok, "tie_tolerant": tie_ok,
                          "worst_rel": worst, "examples": examples, "explained": explained,
                          "terms": len(r.vocab_dict), "groups": len(groups),
                          "word_groups": words[:6], "n_word_groups": len(words),
                          "other_groups": [g for g in groups if g not in words][:2]})
    log(f"  relevance {n:,} ({variant}): {both_ok}/{checked} exact, {tie_ok}/{checked} "
        f"tie-tolerant, worst rel {worst:.2e}")
    return r


def keyword_diagnostic(res: Results, n, idx, peers, qtexts, tok, r):
    """Per-query keyword time against the number of postings the query's terms have
    (the sum of their document frequencies), fitted as a + b * postings per library."""
    df_cache: dict[str, int] = {}

    def df(term):
        if term not in df_cache:
            df_cache[term] = (int(np.count_nonzero(r.get_scores([term])))
                              if term in r.vocab_dict else 0)
        return df_cache[term]
    post = np.array([sum(df(t) for t in set(tok(q))) for q in qtexts], dtype=np.float64)
    fns = [(VESK, lambda q: idx.query(q, K, [], 0.0))] + [(nm, p.query) for nm, p in peers]
    fits = []
    for name, f in fns:
        warm(f, qtexts)
        per = []
        gc.disable()
        try:
            for q in qtexts:
                t0 = time.perf_counter()
                for _ in range(3):
                    f(q)
                per.append((time.perf_counter() - t0) / 3 * 1e6)
        finally:
            gc.enable()
        b, a = np.polyfit(post, np.array(per), 1)
        fits.append((name, float(np.median(per)), float(a), float(b) * 1000))
    res.kw_diag.append({"size": n, "queries": len(qtexts), "median_postings": float(np.median(post)),
                        "fits": fits})


# --------------------------------------------------------------------------- memory

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
    elif variant == "vesk-notext":
        keep = vesk_build(vk, datagen.Corpus(ids, [""] * len(ids), [None] * len(ids), emb))
        del ids, texts, metas, emb
    elif variant == "plain":
        keep = (texts, emb)
        del ids, metas
    else:  # "plain+ids+metadata"
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


def section_memory(res: Results, vk, n: int, reps: int):
    import shutil
    import tempfile
    variants = ["plain", "plain+ids+metadata"] + (["vesk", "vesk-notext"] if vk is not None
                                                   else [])
    names = {"plain": "Python str list + one NumPy array (texts, embeddings)",
             "plain+ids+metadata": "same + id strings + metadata dicts",
             "vesk": VESK + " Index (source data dropped)",
             "vesk-notext": VESK + " Index of the ids and embeddings only (empty texts)"}
    tmp = tempfile.mkdtemp(prefix="vesk-bench-mem-")
    try:
        c = datagen.make_corpus(n)
        with open(os.path.join(tmp, "docs.json"), "w", encoding="utf-8") as f:
            json.dump({"ids": c.ids, "texts": c.texts, "metadata": c.metadata}, f)
        np.save(os.path.join(tmp, "emb.npy"), c.embeddings)
        del c
        malloc_trim()
        for v in variants:
            vals, peaks = [], []
            for _ in range(reps):
                out = subprocess.run([sys.executable, os.path.abspath(__file__),
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
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


# --------------------------------------------------------------------------- report

SECTIONS = [
    ("dense", "1. Dense top-10 (alpha = 1)"),
    ("keyword", "2. Keyword top-10 (alpha = 0)"),
    ("hybrid", "3. Hybrid top-10 (alpha = 0.8)"),
    ("build", "4a. Bulk indexing"),
    ("add1", "4b. One-document-at-a-time adds"),
    ("save", "5a. Save"),
    ("load", "5b. Load"),
    ("memory", "6. Memory"),
]


def best_peer(res: Results, section, size, unit) -> Row | None:
    peers = [r for r in res.rows if r.section == section and r.size == size and r.unit == unit
             and r.kind == "peer"]
    if not peers:
        return None
    key = (lambda r: r.median) if not peers[0].higher_better else (lambda r: -r.median)
    return sorted(peers, key=key)[0]


def ratio(row: Row, best: Row | None) -> float | None:
    if best is None or row.median == 0 or best.median == 0:
        return None
    return row.median / best.median if row.higher_better else best.median / row.median


def cpu_info() -> dict:
    info = {}
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        for line in out.splitlines():
            if ":" in line:
                k, v = line.split(":", 1)
                info[k.strip()] = v.strip()
    except OSError:
        pass
    return info


def versions() -> dict:
    out = {"python": platform.python_version()}
    for p in ("vesk_core", "numpy", "faiss-cpu", "bm25s", "PyStemmer", "rank-bm25", "tantivy",
              "orjson", "psutil", "numba"):
        try:
            out[p] = _md.version(p)
        except _md.PackageNotFoundError:
            out[p] = "not installed"
    try:
        cfg = np.show_config(mode="dicts")
        out["numpy BLAS"] = (cfg.get("Build Dependencies", {}).get("blas", {}).get("name", "?")
                             + " " + cfg.get("Build Dependencies", {}).get("blas", {})
                             .get("version", ""))
    except Exception:   # noqa: BLE001
        pass
    out.update(_MODULE_INFO)
    return out


_MODULE_INFO: dict[str, str] = {}


def record_module_info(vk) -> None:
    """Notes, when the module is imported, which build is measured (the file may be
    replaced by a rebuild while the run goes on)."""
    try:
        st = os.stat(vk.__file__)
        _MODULE_INFO["vesk_core module built"] = (
            _dt.datetime.fromtimestamp(st.st_mtime, _dt.timezone.utc)
            .strftime("%Y-%m-%d %H:%M:%S UTC")
            + f" ({os.path.relpath(vk.__file__, os.path.dirname(HERE))})")
    except Exception:   # noqa: BLE001
        pass
    try:
        _MODULE_INFO["git HEAD at start of run"] = subprocess.run(
            ["git", "-C", os.path.dirname(HERE), "rev-parse", "--short", "HEAD"],
            capture_output=True, text=True).stdout.strip()
    except OSError:
        pass


GOALS = [
    # (section, unit, description, how)
    ("dense-baseline", "dense within 80% of the memory-read baseline"),
    ("dense-peers", "dense faster than NumPy and faiss (1 thread)"),
    ("keyword", "keyword faster than bm25s and tantivy per query"),
    ("hybrid", "hybrid faster than the hand-written one"),
    ("build", "bulk indexing faster than bm25s"),
    ("persist", "save and load faster than orjson"),
    ("memory", "memory per document ≤ 1.3× the plain Python holding"),
]


def slower(v: Row, p: Row) -> str:
    """For a missed time goal: how much longer vesk_core takes than the peer."""
    return "" if v.median < p.median else f", takes {v.median / p.median - 1:.0%} longer"


def goal_lines(res: Results, n: int) -> list[str]:
    L = []

    def g(section, name, unit="µs/query"):
        return res.get(section, n, name) if unit is None else next(
            (r for r in res.rows if r.section == section and r.size == n and r.name == name
             and r.unit == unit), None)

    def line(goal, measured, ok):
        L.append(f"| {goal} | {measured} | {'met' if ok else '**missed**'} |")

    v = g("dense", VESK)
    if v:
        base = g("dense", "memory read (E.max())", "GB/s")
        vr = g("dense", VESK + " (effective read rate)", "GB/s")
        if base and vr:
            frac = vr.median / base.median
            line("dense ≥ 80% of the memory-read rate",
                 f"{vr.median:.2f} GB/s vs {base.median:.2f} GB/s = {frac:.1%}"
                 + ("" if frac >= 0.8 else f" (short of 80% by {0.8 - frac:.1%} of the baseline)"),
                 frac >= 0.8)
        for peer in ("NumPy E @ q + argpartition", "faiss IndexFlatIP (1 thread)"):
            p = g("dense", peer)
            if p:
                line(f"dense faster than {peer.split(' ')[0]}",
                     f"{v.median:.0f} vs {p.median:.0f} µs/query ({p.median / v.median:.2f}×"
                     + slower(v, p) + ")", v.median < p.median)
    v = g("keyword", VESK)
    if v:
        for label, prefix in (("bm25s", "bm25s"), ("tantivy", "tantivy")):
            cands = [r for r in res.rows if r.section == "keyword" and r.size == n
                     and r.name.startswith(prefix)]
            if cands:
                p = min(cands, key=lambda r: r.median)
                line(f"keyword faster than {label}",
                     f"{v.median:.0f} vs {p.median:.0f} µs/query ({p.median / v.median:.2f}×"
                     + slower(v, p) + f"; {p.name})", v.median < p.median)
    v = g("hybrid", VESK)
    cands = [r for r in res.rows if r.section == "hybrid" and r.size == n and r.kind == "peer"]
    if v and cands:
        p = min(cands, key=lambda r: r.median)
        line("hybrid faster than by hand",
             f"{v.median:.0f} vs {p.median:.0f} µs/query ({p.median / v.median:.2f}×"
             + slower(v, p) + f"; {p.name})", v.median < p.median)
    v = g("build", VESK + " (texts + metadata + embeddings)", "docs/s")
    p = g("build", "bm25s (tokenize + index)", "docs/s")  # default (NumPy) backend
    if v and p:
        line("bulk indexing faster than bm25s",
             f"{v.median:,.0f} vs {p.median:,.0f} docs/s ({v.median / p.median:.2f}×)",
             v.median > p.median)
    for sec, vn, pn in (("save", VESK + " serializeToBinary", "orjson.dumps (dict of lists)"),
                        ("load", VESK + " deserializeFromBinary", "orjson.loads (dict of lists)")):
        v, p = g(sec, vn, "MB/s"), g(sec, pn, "MB/s")
        if v and p:
            sizes_note = f"; {v.note.split(' ', 1)[-1]} vs {p.note.split(' ', 1)[-1]} {'written' if sec == 'save' else 'read'}" \
                if v.note and p.note else ""
            line(f"{sec} faster than orjson",
                 f"{v.median:.0f} vs {p.median:.0f} MB/s ({v.median / p.median:.2f}×"
                 + ("" if v.median > p.median else f", {1 - v.median / p.median:.0%} short")
                 + f"{sizes_note})", v.median > p.median)
    for r in res.rows:
        if r.section == "memory" and r.kind == "vesk" and r.size == n:
            p = next((x for x in res.rows if x.section == "memory" and x.size == r.size
                      and x.kind == "peer"), None)
            if p:
                f = r.median / p.median
                nt = next((x for x in res.rows if x.section == "memory" and x.size == r.size
                           and x.name.startswith(VESK + " Index of the ids")), None)
                extra = ""
                if nt is not None:
                    extra = (f"; an index of the same ids and embeddings with empty texts takes "
                             f"{nt.median:,.0f} bytes/doc, so texts, metadata and the keyword "
                             f"index account for {r.median - nt.median:,.0f} bytes/doc")
                line(f"memory ≤ 1.3× plain Python ({r.size:,} docs)",
                     f"{r.median:,.0f} vs {p.median:,.0f} bytes/doc = {f:.2f}×"
                     + ("" if f <= 1.3 else f" ({f / 1.3 - 1:.0%} over the limit)") + extra,
                     f <= 1.3)
    return L


def write_report(res: Results, args, started: float, load_samples: list, path: str,
                 vk_ok: bool, vk_error: str):
    cpu = cpu_info()
    ver = versions()
    now = _dt.datetime.now(_dt.timezone.utc)
    L = []
    L.append("# vesk_core beside the libraries users would pick instead")
    L.append("")
    L.append(f"Generated by `bench/compare.py` ({' '.join(sys.argv[1:]) or 'default run'}) on "
             f"{now:%Y-%m-%d %H:%M} UTC in {(time.time() - started) / 60:.1f} minutes. "
             "Every row of a table was measured in the same run on the same generated data.")
    L.append("")
    if not vk_ok:
        L.append(f"**The comparison for vesk_core is pending**: the module could not be imported "
                 f"in this run ({vk_error}). Only the peers' figures are below.")
        L.append("")
    L.append("## Machine")
    L.append("")
    mem_gb = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    L.append(f"- CPU: {cpu.get('Model name', '?')} ({cpu.get('Vendor ID', '')}, family "
             f"{cpu.get('CPU family', '?')} model {cpu.get('Model', '?')}), "
             f"{cpu.get('CPU(s)', '?')} cores, {cpu.get('Thread(s) per core', '?')} thread per core; "
             f"L1d {cpu.get('L1d cache', '?')}, L2 {cpu.get('L2 cache', '?')}, "
             f"L3 {cpu.get('L3 cache', '?')}; hypervisor {cpu.get('Hypervisor vendor', 'none')}; "
             f"AVX-512: {'yes' if 'avx512f' in cpu.get('Flags', '') else 'no'}")
    L.append(f"- Memory: {mem_gb:.0f} GiB; kernel {platform.release()}; Python "
             f"{platform.python_version()}")
    la = [x for x in load_samples]
    if la:
        L.append(f"- Load average (1 min) sampled during the run: min {min(la):.2f}, median "
                 f"{statistics.median(la):.2f}, max {max(la):.2f} on {os.cpu_count()} cores "
                 "(the benchmark's own single-threaded process accounts for about 1).")
        if max(la) > 1.5:
            L.append("  **The machine was loaded** by other work (compilers of other engineers "
                     "sharing the two cores) during at least part of this run: absolute figures "
                     "are pessimistic and noisier than on an idle machine; ratios within one "
                     "table were measured close together and are the more reliable reading.")
    L.append("")
    L.append("## Library versions")
    L.append("")
    L.append("| package | version |")
    L.append("|---|---|")
    for k, v in ver.items():
        L.append(f"| {k} | {v} |")
    L.append("")
    L.append("## How it was measured")
    L.append("")
    L.append(f"- Data (`bench/datagen.py`, fixed seeds): documents of {datagen.MIN_WORDS}–"
             f"{datagen.MAX_WORDS} words (mean ≈ 176 words, ≈ 1.1 kB) drawn from a Zipf–Mandelbrot "
             f"law (s = {datagen.ZIPF_S}, q = {datagen.ZIPF_Q}) over the {len(datagen.vocabulary()[0]):,} "
             "ranked English words of `bench/words.txt`, with sentences, commas, semicolons, colons, "
             "numbers (`42`, `1,200`, `3.5`), hyphenated compounds, contractions, possessives, "
             "quotes and parentheses, and 3–4 metadata pairs (author, category, year, sometimes "
             "source). Embeddings: 384-dim unit float32 vectors around 256 topic centres. "
             "Queries: 2–8 words (mostly content words) with an embedding that is a perturbed "
             "copy of a document's. The 10,000-document corpus is a prefix of the 100,000 one. "
             "The 1,000,000-document dense rows use embeddings only (documents with empty text).")
    L.append(f"- Each figure is the median of {args.reps} repetitions (fewer where stated), with "
             "min–max across repetitions. A query repetition runs the whole query set once "
             "and reports the mean time per query; in the query tables (dense, keyword, hybrid) "
             "the repetitions of the libraries are interleaved (repetition r runs each library "
             "once, in alternating order), so a burst of outside load hits all of them. Python's "
             "garbage collector is paused inside timed loops for every library alike.")
    L.append("- The last column is the ratio to the best peer in the same table and size, "
             "oriented so that **> 1 means better than the best peer** (faster, or less memory); "
             "the best peer itself shows 1.00. Rows marked *baseline* or *info* are context "
             "and are not counted as peers.")
    L.append("- All peers single-threaded: `OMP_NUM_THREADS`, `OPENBLAS_NUM_THREADS` etc. = 1 "
             "before NumPy loads, `faiss.omp_set_num_threads(1)`, tantivy writer with one thread; "
             "vesk_core starts no threads.")
    L.append("- Dense: vesk_core `idx.query('', 10, q, alpha=1.0)`; NumPy `E @ q` then "
             "`argpartition` and a sort of the 10; faiss `IndexFlatIP.search(q, 10)`; the "
             "memory-read baseline is `E.max()`, a float32 max over the whole embedding matrix, "
             "which reads each byte once with one SIMD compare per element; it was the fastest "
             "plain NumPy pass over the matrix here (`E.sum()` and a BLAS sgemv `E @ ones` are "
             "shown as context). GB/s = bytes of E / time.")
    L.append("- Keyword: vesk_core `idx.query(text, 10, [], alpha=0.0)`; bm25s `method='lucene'`, "
             "k1 1.2, b 0.75, its `Tokenizer` with the NLTK English stop words and PyStemmer's "
             "English stemmer, one `retrieve(k=10)` call per query (tokenizing included), ids "
             "looked up, with its default NumPy backend and with its numba backend "
             "(`backend='numba'`, `NUMBA_NUM_THREADS=1`; numba JIT warmed up first), which is "
             "much faster because the NumPy backend's top-k is an `argpartition` over the whole "
             "score array, mostly zeros; tantivy in RAM with an analyzer of `simple` tokenizer, lowercase, the "
             "NLTK stop words and the English stemmer, `index_option='freq'`, "
             "`parse_query` + `search(q, 10)` and the stored id fetched for each hit; rank-bm25 "
             "`BM25Okapi.get_scores` + argpartition (pre-tokenized query, a subset of the queries).")
    L.append("- Hybrid: vesk_core `alpha=0.8`; by hand = the NumPy dense top-10 above + the bm25s "
             "top-10 above (each backend) + weighted reciprocal rank fusion in Python (weights 0.8 / 0.2, k = 60, "
             "dict + sort). vesk_core returns each hit's id, text and metadata; the peers return ids.")
    L.append("- Every query function is called on 3 queries untimed before its timed repetitions.")
    L.append("- Bulk indexing: from the texts (and for vesk_core also the metadata and a NumPy "
             "embedding matrix, passed as the 2-D float32 array) to a queryable index, "
             "`DocumentInfo` construction included. The keyword peers index the same searchable text as vesk_core (the text, a space, "
             "then the metadata as `key value` pieces); they keep no embeddings. The bm25s build "
             "row uses its default backend.")
    L.append("- Single adds: documents n+1, n+2, ... added one call at a time to an index of n "
             "documents, each immediately searchable; as many as fit in the time budget "
             f"({args.add_budget:.0f} s, at most {args.max_adds}); the repetitions are consecutive "
             "groups of those adds. tantivy: `add_document` + `commit` per document. bm25s has no "
             "incremental add; its row is the cheapest re-index (`BM25.index` on cached tokens).")
    L.append("- Save/load: MB/s = (raw float32 embedding bytes + id bytes) / time, the same "
             "numerator for every row, in memory (no disk). vesk_core: `serializeToBinary(s)` and "
             "`deserializeFromBinary(blob)` where `s = idx.serialize()`; orjson: `dumps`/`loads` "
             "of the same record as a dict of Python lists; numpy.save/load of the embedding "
             "matrix alone into/from bytes (context: no ids, binary).")
    L.append("- Memory: the corpus is written once to a JSON file (ids, texts, metadata) and an "
             "`.npy` file; then one fresh subprocess per variant and repetition loads it and "
             "reports its resident set (RSS) after loading minus RSS before, both after "
             "`gc.collect()` and `malloc_trim(0)`. For vesk_core the generated Python data is dropped before the "
             "second reading, so the figure is what the index itself holds. The plain-Python "
             "peer is the brief's comparison: texts as a list of `str` plus one NumPy array.")
    L.append("")
    sizes = sorted({r.size for r in res.rows if r.kind == "vesk"})
    if sizes:
        L.append("## Goals")
        L.append("")
        for n in sizes:
            gl = goal_lines(res, n)
            if not gl:
                continue
            L.append(f"At {n:,} documents:")
            L.append("")
            L.append("| goal | measured (median) | |")
            L.append("|---|---|---|")
            L.extend(gl)
            L.append("")
    L.append("## Results")
    L.append("")
    for sec, title in SECTIONS:
        rows = [r for r in res.rows if r.section == sec]
        if not rows:
            continue
        L.append(f"### {title}")
        L.append("")
        L.append("| docs | library | median | min–max | unit | vs best peer | note |")
        L.append("|---:|---|---:|---:|---|---:|---|")
        for r in rows:
            b = best_peer(res, r.section, r.size, r.unit)
            q = ratio(r, b)
            tag = {"baseline": " *(baseline)*", "info": " *(info)*"}.get(r.kind, "")
            name = f"**{r.name}**" if r.kind == "vesk" else r.name
            rng = f"{fmt(min(r.values))}–{fmt(max(r.values))}"
            note = r.note + (f" ({len(r.values)} reps)" if len(r.values) != args.reps else "")
            L.append(f"| {r.size:,} | {name}{tag} | {fmt(r.median)} | {rng} | {r.unit} | "
                     f"{'' if q is None else f'{q:.2f}×'} | {note.strip()} |")
        L.append("")
    if res.kw_diag:
        L.append("## Keyword query cost against the postings a query touches")
        L.append("")
        L.append("Each query's time (mean of 3 calls) against the total number of postings of its "
                 "distinct terms (the sum of their document frequencies), fitted as a straight "
                 "line: fixed µs per query + ns per posting. Same queries as table 2.")
        L.append("")
        L.append("| docs | queries | median postings per query | library | median µs/query | "
                 "fixed µs | ns per posting |")
        L.append("|---:|---:|---:|---|---:|---:|---:|")
        for d in res.kw_diag:
            for name, med, a, b in d["fits"]:
                L.append(f"| {d['size']:,} | {d['queries']} | {d['median_postings']:,.0f} | "
                         f"{name} | {fmt(med)} | {a:.0f} | {b:.1f} |")
        L.append("")
    L.append("## Relevance cross-check (alpha = 0 vs bm25s fed the same tokens)")
    L.append("")
    if res.relevance:
        L.append("bm25s `method='lucene'`, k1 1.2, b 0.75, indexed on each document's searchable "
                 "text (text, a space, then the metadata as `key value` pieces) tokenized in "
                 "Python by the same rules as vesk_core: lowercase, Unicode default word "
                 "boundaries (restated for ASCII in `datagen.WORD_RE`; the generated text is "
                 "ASCII, so transliteration changes nothing), drop segments without a letter or "
                 "digit, the NLTK English stop words, then the Snowball English stemmer, taken "
                 "two ways: from PyStemmer (as a user of bm25s would) and from the system's C "
                 "libstemmer through ctypes (the library vesk_core links). Queries whose tokens "
                 "repeat, or that have no indexed token, are skipped (vesk_core counts a repeated "
                 "query term once per occurrence; the check should not depend on how bm25s "
                 "treats repeats). vesk_core's scores are divided by k1 + 1 = 2.2 (its term "
                 "weight is (k1 + 1)·tf / (k1·(1 − b + b·L/avgdl) + tf), Lucene's drops the "
                 "factor). Each document vesk_core returns is compared with bm25s's score of "
                 "that same document.")
        L.append("")
        L.append("| docs | stemmer | queries | same top-10 ids in order | scores within 1e-5 rel. "
                 "| both | both, allowing swaps between equal scores | worst rel. score "
                 "difference | disagreements whose query has a hash-colliding term |")
        L.append("|---:|---|---:|---:|---:|---:|---:|---:|---:|")
        for d in res.relevance:
            c = max(d["checked"], 1)
            L.append(f"| {d['size']:,} | {d.get('stemmer', 'pystemmer')} | {d['checked']} | "
                     f"{d['ids']} ({d['ids'] / c:.1%}) | "
                     f"{d['scores']} ({d['scores'] / c:.1%}) | {d['both']} ({d['both'] / c:.1%}) "
                     f"| {d['tie_tolerant']} ({d['tie_tolerant'] / c:.1%}) | {d['worst_rel']:.2e} "
                     f"| {d.get('explained', 0)} of {d['checked'] - d['both']} |")
        L.append("")
        for d in res.relevance:
            if d.get("stemmer") != "libstemmer" or not d.get("groups"):
                continue
            L.append(f"Token hashing at {d['size']:,} docs: vesk_core maps each term to a 32-bit "
                     f"FxHash and counts terms with equal hashes as one dimension. Of the "
                     f"{d['terms']:,} distinct terms of this corpus (libstemmer stems), "
                     f"{d['groups']} groups share a hash: {d['n_word_groups']} of words, e.g. "
                     + ", ".join("/".join(f"`{t}`" for t in g) for g in d["word_groups"])
                     + (", the rest of numbers such as "
                        + " and ".join("/".join(f"`{t}`" for t in g)
                                       for g in d.get("other_groups", []))
                        if d["groups"] > d["n_word_groups"] else "")
                     + " (FxHash mixes little, so short strings that differ in a few bytes "
                     "collide far more often than a random 32-bit hash would: about "
                     f"{d['terms'] ** 2 / 2 / 2 ** 32:.2f} pairs would be expected here). A query holding such a term gets "
                     "the other term's documents as candidates and a merged document frequency; "
                     "that is the cause wherever the last column counts a disagreement.")
            L.append("")
        if res.stem_diff:
            sd = res.stem_diff
            L.append(f"Where the PyStemmer rows disagree, this is why: PyStemmer {sd['pystemmer']} "
                     f"bundles its own, newer Snowball release than the system's libstemmer "
                     f"{sd['libstemmer']} (Debian), and the "
                     f"two English stemmers differ on {sd['count']} of the {sd['total']:,} word "
                     f"forms the generator can emit (vocabulary words and their possessives), "
                     f"for example " + ", ".join(f"`{w}` → `{a}` / `{b}`" for w, a, b in
                                                 sd['examples']) +
                     " (libstemmer / PyStemmer). A document or query holding such a word gets "
                     "different terms, so its length, term frequencies and document frequencies "
                     "differ between the two sides. With the same stemmer on both sides the "
                     "remaining differences, if any, are listed below.")
            L.append("")
        ex = sorted(((d["stemmer"], e) for d in res.relevance for e in d["examples"]),
                    key=lambda x: x[0] != "libstemmer")
        if ex:
            L.append("First disagreements (id, score / 2.2 for vesk_core; id, score for bm25s):")
            L.append("")
            for st, e in ex[:8]:
                why = (f" Hash-colliding query terms: {e['collided']}." if e.get("collided")
                       else "")
                L.append(f"- [{st}] `{e['query']}` → tokens {e['tokens']}: vesk_core {e['vesk']}; "
                         f"bm25s {e['bm25s']}.{why}")
            L.append("")
    else:
        L.append("Not run (vesk_core unavailable in this run).")
        L.append("")
    if res.notes or res.errors:
        L.append("## Notes from the run")
        L.append("")
        for x in res.notes:
            L.append(f"- {x}")
        for x in res.errors:
            L.append(f"- ERROR: {x}")
        L.append("")
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(L))
    log(f"wrote {path}")


# --------------------------------------------------------------------------- main

def parse_sizes(s: str) -> list[int]:
    return [int(x.replace("_", "")) for x in s.split(",") if x.strip()]


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default="10000,100000",
                    help="corpus sizes for every row (default 10000,100000)")
    ap.add_argument("--dense-sizes", default="10000,100000,1000000",
                    help="sizes for the dense rows (default 10000,100000,1000000)")
    ap.add_argument("--quick", action="store_true", help="small smoke run")
    ap.add_argument("--reps", type=int, default=5, help="repetitions of each measurement")
    ap.add_argument("--build-reps-big", type=int, default=3,
                    help="repetitions of bulk builds above 20,000 docs")
    ap.add_argument("--queries", type=int, default=200, help="queries per repetition at 10k")
    ap.add_argument("--rank-bm25-max", type=int, default=10_000,
                    help="largest size at which rank-bm25 runs (it is slow)")
    ap.add_argument("--add-budget", type=float, default=20.0,
                    help="seconds per size for single adds, per library")
    ap.add_argument("--max-adds", type=int, default=300)
    ap.add_argument("--memory-n", type=int, default=100_000)
    ap.add_argument("--memory-reps", type=int, default=3)
    ap.add_argument("--relevance-queries", type=int, default=300)
    ap.add_argument("--skip", default="", help="comma list of sections to skip "
                    "(dense,keyword,hybrid,build,add1,persist,memory,relevance)")
    ap.add_argument("--out", default=os.path.join(HERE, "RESULTS.md"))
    ap.add_argument("--memory-child", default=None, help=argparse.SUPPRESS)
    ap.add_argument("--memory-dir", default=None, help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.memory_child:
        memory_child(args.memory_child, args.memory_n, args.memory_dir)
        return 0

    if args.quick:
        args.sizes = "2000"
        args.dense_sizes = "2000,20000"
        args.reps = 3
        args.build_reps_big = 2
        args.queries = 50
        args.add_budget = 3.0
        args.max_adds = 30
        args.memory_n = 5000
        args.memory_reps = 1
        args.relevance_queries = 60
        args.rank_bm25_max = 2000
    sizes = parse_sizes(args.sizes)
    dense_sizes = parse_sizes(args.dense_sizes)
    skip = set(x.strip() for x in args.skip.split(",") if x.strip())

    started = time.time()
    load_samples = [os.getloadavg()[0]]
    vk = import_vesk()
    if vk is not None:
        record_module_info(vk)
    vk_error = ""
    if vk is None:
        try:
            import vesk_core  # noqa: F401
        except Exception as e:  # noqa: BLE001
            vk_error = f"{type(e).__name__}: {e}"
    res = Results()
    stop = datagen.load_stopwords()

    def q_count(n):
        return max(10, int(args.queries * min(1.0, (10_000 / n) ** 0.5)))

    for n in sizes:
        log(f"== {n:,} documents")
        extra_n = args.max_adds
        full = datagen.make_corpus(n + extra_n)
        c = full.slice(0, n)
        extra = full.slice(n, n + extra_n)
        del full
        qs = datagen.make_queries(max(args.queries, 50), c.embeddings)
        nq = q_count(n)
        bm = Bm25sPeer(stop)
        bmn = Bm25sPeer(stop, "numba") if numba_available() else None
        tv = TantivyPeer(stop)
        idx = rb = None
        try:
            idx, rb = section_build(res, vk, n, c, bm, tv, args.reps if n <= 20_000 else
                                    args.build_reps_big, args.rank_bm25_max,
                                    args.build_reps_big)
            if bmn is not None:
                bmn.build(peer_texts(c), c.ids)     # untimed: the build rows use the default backend
            load_samples.append(os.getloadavg()[0])
            if "dense" not in skip and n in dense_sizes:
                section_dense(res, vk, n, c, qs, idx, nq, args.reps)
            if "keyword" not in skip:
                section_keyword(res, vk, n, c, qs, idx, bm, bmn, tv, rb, nq, args.reps,
                                min(nq, 50))
            if "hybrid" not in skip:
                section_hybrid(res, vk, n, c, qs, idx, bm, bmn, nq, args.reps)
            load_samples.append(os.getloadavg()[0])
            if "relevance" not in skip:
                relevance_check(res, vk, n, c, idx, args.relevance_queries,
                                peers=[(nm, p) for nm, p in bm25s_peers(bm, bmn)
                                       if "numba" in nm or bmn is None]
                                + [("tantivy (RAM, 1 thread)", tv)],
                                diag_q=qs.texts[:nq])
            if "persist" not in skip:
                section_persist(res, vk, n, c, idx, args.reps if n <= 20_000 else 3)
            if "add1" not in skip:
                bm._texts_for_reindex = peer_texts(c) + peer_texts(extra)[:1]
                section_single_adds(res, vk, n, idx, extra, bm, tv, args.add_budget,
                                    args.max_adds, args.reps if n <= 20_000 else 3)
        except Exception:   # noqa: BLE001
            res.errors.append(f"size {n}: {traceback.format_exc()[-3000:]}")
            log(res.errors[-1])
        load_samples.append(os.getloadavg()[0])
        _PEER_TEXTS[:] = [None, None]
        del idx, rb, bm, bmn, tv, c, extra
        malloc_trim()
        # Keep a partial report on disk in case a later size runs out of time.
        write_report(res, args, started, load_samples, args.out, vk is not None, vk_error)

    if "dense" not in skip:
        for n in dense_sizes:
            if n in sizes:
                continue
            log(f"== dense only, {n:,} documents")
            c = datagen.make_corpus(n, with_text=False)
            qs = datagen.make_queries(50, c.embeddings)
            idx = None
            try:
                if vk is not None:
                    holder = []
                    t = timed(lambda: holder.append(vesk_build(vk, c)), 1)
                    idx = holder[0]
                    res.add("build", n, VESK + " (ids + embeddings, empty texts)", "docs/s",
                            [n / s for s in t], True, kind="info",
                            note="dense-only corpus")
                section_dense(res, vk, n, c, qs, idx, max(5, q_count(n) // 2),
                              min(args.reps, 3))
            except Exception:   # noqa: BLE001
                res.errors.append(f"dense size {n}: {traceback.format_exc()[-3000:]}")
                log(res.errors[-1])
            load_samples.append(os.getloadavg()[0])
            del idx, c
            malloc_trim()

    skipped_rb = [n for n in sizes if n > args.rank_bm25_max]
    if skipped_rb:
        res.notes.append(
            f"rank-bm25 ran only up to {args.rank_bm25_max:,} documents (not at "
            f"{', '.join(f'{n:,}' for n in skipped_rb)}): its `get_scores` walks every "
            "document in Python for every query term, so its query time grows linearly with "
            "the corpus (see its row at the smaller size).")
    if "memory" not in skip:
        log(f"== memory at {args.memory_n:,} documents")
        section_memory(res, vk, args.memory_n, args.memory_reps)
    load_samples.append(os.getloadavg()[0])
    write_report(res, args, started, load_samples, args.out, vk is not None, vk_error)
    log(f"done in {(time.time() - started) / 60:.1f} min")
    return 0


if __name__ == "__main__":
    sys.exit(main())
