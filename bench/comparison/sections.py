"""The timed sections: dense, keyword and hybrid queries, bulk builds, single adds,
save and load. Each adds its rows (and notes) to a Results."""
from __future__ import annotations

import gc
import io
import resource
import time

import numpy as np

import datagen

from . import ALPHA_HYBRID, K, RRF_K, VESK
from .peers import (TANTIVY, Bm25sPeer, TantivyPeer, bm25s_peers, fastest_bm25s,
                    forget_peer_texts, numba_available, numpy_topk, peer_texts)
from .results import Results
from .timing import (group_rates, log, malloc_trim, rates, timed, timed_group, timed_result, us,
                     warm)
from .vesk_runner import vesk_build, vesk_query_args


def add_query_rows(res: Results, section: str, n: int, entries: list, reps: int, nq: int):
    """Times each entry's (name, run over all nq queries, kind) interleaved with the
    others and adds one µs/query row per entry, in the order given."""
    times = timed_group([fn for _, fn, _ in entries], reps, nq)
    for (name, _, kind), t in zip(entries, times):
        res.add(section, n, name, "µs/query", us(t), False, kind=kind)


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
    res.add("dense", n, "memory read (E.max())", "GB/s", rates(gb, tr[0]), True,
            kind="baseline")
    res.add("dense", n, "memory read (E.max())", "µs/query", us(tr[0]), False, kind="baseline")
    res.add("dense", n, "E.sum()", "GB/s", rates(gb, tr[1]), True, kind="info")
    res.add("dense", n, "E @ ones (sgemv)", "GB/s", rates(gb, tr[2]), True, kind="info")
    res.add("dense", n, "NumPy E @ q + argpartition", "µs/query", us(tq[0]), False)
    res.add("dense", n, "faiss IndexFlatIP (1 thread)", "µs/query", us(tq[1]), False)
    if have_vk:
        t = tq[2]
        res.add("dense", n, VESK, "µs/query", us(t), False, kind="vesk")
        res.add("dense", n, VESK + " (effective read rate)", "GB/s", rates(gb, t), True,
                kind="info")
        # Agreement of the top-10 ids with NumPy on the first queries.
        agree = 0
        for q, qv in zip(Q[:50], qa[:50]):
            want = [c.ids[i] for i in numpy_topk(E, q)]
            got = [d.id for d in idx.query("", K, qv, 1.0).docs]
            agree += got == want
        res.notes.append(f"Dense top-10 ids at {n:,} docs equal NumPy's for {agree} of "
                         f"{min(50, len(Q))} queries.")


def section_keyword(res: Results, vk, n, qsets, idx, peers, nq, reps, rb=None, rb_bm=None,
                    rb_nq=0):
    """Keyword top-10 rows for each (section, query texts, peer names) of qsets: the peers
    of `peers` (name, object with .query) whose name is listed, tantivy and vesk_core's
    `Index.query` at alpha 0, interleaved. rank-bm25 (when rb is given) runs the first
    rb_nq queries of the first set, tokenized by rb_bm's tokenizer."""
    for qi, (section, texts, names) in enumerate(qsets):
        Qt = texts[:nq]
        entries = []
        for name, peer in peers:
            if name not in names:
                continue
            warm(peer.query, Qt)
            entries.append((name, lambda peer=peer: [peer.query(q) for q in Qt], "peer"))
        if vk is not None and idx is not None:
            warm(lambda q: idx.query(q, K, [], 0.0), Qt)
            entries.append((VESK, lambda: [idx.query(q, K, [], 0.0) for q in Qt], "vesk"))
        add_query_rows(res, section, n, entries, reps, nq)
        if rb is not None and qi == 0:
            sub = Qt[:rb_nq]
            toks = [rb_bm.tokenizer.tokenize([q], update_vocab=False, show_progress=False,
                                             return_as="string")[0] for q in sub]

            def run_rb():
                for qt in toks:
                    s = rb.get_scores(qt)
                    top = np.argpartition(s, -K)[-K:]
                    top[np.argsort(-s[top])]
            t = timed(run_rb, reps, len(sub))
            res.add(section, n, "rank-bm25 BM25Okapi", "µs/query", us(t), False,
                    note=f"{len(sub)} queries, pre-tokenized")


def section_keyword_only(res: Results, vk, n: int, stop: list[str], nq: int, reps: int,
                         n_queries: int):
    """Keyword rows (both query sets) at a size where nothing else runs: one corpus, one
    build of each library (also reported as bulk-indexing rows), the queries, and a note
    with the pass's time and the process's peak memory. Only the fastest bm25s backend
    runs. Each library gets only what it keeps: the embeddings, texts and metadata are
    dropped once vesk_core has its index, and the peers' shared searchable texts once
    both are built."""
    t0, cpu0 = time.perf_counter(), time.process_time()
    c = datagen.make_corpus(n)
    qs = datagen.make_queries(n_queries, c.embeddings)
    ql = datagen.make_long_queries(n_queries)
    t_gen = time.perf_counter() - t0
    builds = []
    idx = None
    if vk is not None:
        t, idx = timed_result(lambda: vesk_build(vk, c), 1)
        res.add("build", n, VESK + " (texts + metadata + embeddings)", "docs/s", rates(n, t),
                True, kind="vesk", note="keyword-only pass")
        builds.append(f"vesk_core {t[0]:.0f} s")
    texts, ids = peer_texts(c), c.ids
    c.texts, c.metadata, c.embeddings = [], [], None
    malloc_trim()
    bm = Bm25sPeer(stop, "numba") if numba_available() else Bm25sPeer(stop)
    t = timed(lambda: bm.build(texts, ids), 1)
    res.add("build", n, f"bm25s (tokenize + index, {bm.backend} backend)", "docs/s",
            rates(n, t), True, note="keyword-only pass")
    builds.append(f"bm25s {t[0]:.0f} s")
    malloc_trim()
    tv = TantivyPeer(stop)
    t = timed(lambda: tv.build(texts, ids), 1)
    res.add("build", n, "tantivy (add + commit, 1 thread)", "docs/s", rates(n, t), True,
            note="keyword-only pass")
    builds.append(f"tantivy {t[0]:.0f} s")
    del texts, c
    forget_peer_texts()
    malloc_trim()
    peers = bm25s_peers(None, bm) if bm.backend == "numba" else bm25s_peers(bm, None)
    peers += [(TANTIVY, tv)]
    names = [name for name, _ in fastest_bm25s(peers)] + [TANTIVY]
    section_keyword(res, vk, n, [("keyword", qs.texts, names), ("keyword-long", ql.texts, names)],
                    idx, peers, nq, reps)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    took, cpu = time.perf_counter() - t0, time.process_time() - cpu0
    res.notes.append(f"Keyword rows at {n:,} documents ran in a pass of their own: generating "
                     f"the corpus took {t_gen:.0f} s, the builds {', '.join(builds)}, the whole "
                     f"pass {took / 60:.1f} min ({cpu / 60:.1f} min of CPU time); the benchmark "
                     f"process peaked at {peak / 2**30:.1f} GiB resident (over the whole run so "
                     "far).")
    log(f"  keyword-only pass at {n:,}: {took:.0f} s, peak RSS {peak / 2**30:.1f} GiB")


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
    entries = []
    best_peer_obj = bm
    for name, peer in bm25s_peers(bm, bmn):
        short = name.split("(")[1].split(",")[0]
        warm(lambda x, q, peer=peer: by_hand(peer, x, q), pairs)
        entries.append((f"by hand: NumPy + bm25s ({short}) + RRF in Python",
                        lambda peer=peer: [by_hand(peer, x, q) for x, q in pairs], "peer"))
        best_peer_obj = peer
    have_vk = vk is not None and idx is not None
    if have_vk:
        qa = vesk_query_args(vk, idx, Q)
        vpairs = list(zip(Qt, qa))
        warm(lambda x, q: idx.query(x, K, q, ALPHA_HYBRID), vpairs)
        entries.append((VESK, lambda: [idx.query(x, K, q, ALPHA_HYBRID) for x, q in vpairs],
                        "vesk"))
    add_query_rows(res, "hybrid", n, entries, reps, nq)
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


def section_build(res: Results, vk, n, c, bm, tv, reps, rb_max):
    """Bulk index builds, reps times each. Returns the last vesk index built (or None)
    and the rank-bm25 index (None above rb_max documents)."""
    texts, ids = peer_texts(c), c.ids
    idx = None
    if vk is not None:
        # Each repetition drops the previous index first, outside the timing.
        times, idx = timed_result(lambda: vesk_build(vk, c), reps, trim=True)
        res.add("build", n, VESK + " (texts + metadata + embeddings)", "docs/s",
                rates(n, times), True, kind="vesk")
    times = timed(lambda: bm.build(texts, ids), reps)
    res.add("build", n, "bm25s (tokenize + index)", "docs/s", rates(n, times), True)
    times = timed(lambda: tv.build(texts, ids), reps)
    res.add("build", n, "tantivy (add + commit, 1 thread)", "docs/s", rates(n, times), True)
    rb = None
    if n <= rb_max:
        from rank_bm25 import BM25Okapi
        toks = bm.tokenizer.tokenize(texts, update_vocab=False, show_progress=False,
                                     return_as="string")
        times, rb = timed_result(lambda: BM25Okapi(toks, k1=1.2, b=0.75), reps)
        res.add("build", n, "rank-bm25 BM25Okapi (index only, pre-tokenized)", "docs/s",
                rates(n, times), True, kind="info")
    return idx, rb


def single_adds(add, calls, budget_s: float) -> list[float]:
    """Calls add(*args) for each args of calls (made outside the timing), stopping once
    budget_s seconds have passed (after at least 3 calls); returns each call's seconds."""
    per = []
    t_start = time.perf_counter()
    for args in calls:
        t0 = time.perf_counter()
        add(*args)
        per.append(time.perf_counter() - t0)
        if time.perf_counter() - t_start > budget_s and len(per) >= 3:
            break
    return per


def section_single_adds(res: Results, vk, n, idx, extra: datagen.Corpus, bm, tv,
                        reindex_texts: list[str], budget_s: float, max_adds: int, reps: int):
    """One-document-at-a-time adds on top of n existing documents. bm25s, which cannot
    add, re-indexes reindex_texts (the n documents' searchable texts and one more)."""
    count = min(max_adds, len(extra))
    if vk is not None and idx is not None:
        D = vk.DocumentInfo
        calls = (([D(extra.ids[i], extra.texts[i], extra.metadata[i])], extra.embeddings[i:i + 1])
                 for i in range(count))
        gc.disable()
        try:
            per = single_adds(idx.add_documents, calls, budget_s)
        finally:
            gc.enable()
        # Repetitions = consecutive groups of adds.
        res.add("add1", n, VESK, "adds/s", group_rates(per), True,
                kind="vesk", note=f"{len(per)} single adds")
    # tantivy: add one document and commit it, so that it is searchable, as above.
    t = tv.t
    w = tv.writer()

    def tantivy_add(i):
        w.add_document(t.Document(id=extra.ids[i] + "-t", body=peer_texts(extra)[i]))
        w.commit()
    per = single_adds(tantivy_add, ((i,) for i in range(count)), budget_s)
    w.wait_merging_threads()
    res.add("add1", n, "tantivy (add + commit per doc)", "adds/s", group_rates(per), True,
            note=f"{len(per)} single adds")
    # bm25s has no incremental add: adding a document means indexing again. The
    # cheapest way is to keep the tokenized corpus and re-run index() on it.
    toks = bm.new_tokenizer().tokenize(reindex_texts, show_progress=False, return_as="ids")
    times = timed(lambda: bm.reindex(toks), reps)
    res.add("add1", n, "bm25s (re-index, tokens cached)", "adds/s", rates(1, times), True)


def section_persist(res: Results, vk, n, c, idx, reps):
    import orjson
    E = c.embeddings
    raw_mb = (E.nbytes + sum(len(i) for i in c.ids)) / 1e6
    rec = {"name": "bench", "version": "0.2.3", "model": {"id": "vesk-minilm", "version": "1"},
           "dimension": E.shape[1], "embeddings": E.tolist(), "docIds": list(c.ids)}
    t, js = timed_result(lambda: orjson.dumps(rec), reps)
    res.add("save", n, "orjson.dumps (dict of lists)", "MB/s", rates(raw_mb, t), True,
            note=f"output {len(js) / 1e6:.1f} MB")
    t = timed(lambda: orjson.loads(js), reps)
    res.add("load", n, "orjson.loads (dict of lists)", "MB/s", rates(raw_mb, t), True,
            note=f"input {len(js) / 1e6:.1f} MB")
    del js

    def npsave():
        b = io.BytesIO()
        np.save(b, E)
        return b.getvalue()
    t, nb = timed_result(npsave, reps)
    res.add("save", n, "numpy.save (embeddings only, to bytes)", "MB/s",
            rates(raw_mb, t), True, kind="info", note=f"output {len(nb) / 1e6:.1f} MB")
    t = timed(lambda: np.load(io.BytesIO(nb)), reps)
    res.add("load", n, "numpy.load (embeddings only, from bytes)", "MB/s",
            rates(raw_mb, t), True, kind="info")
    del nb
    if vk is not None and idx is not None:
        t, s = timed_result(idx.serialize, reps)
        res.add("save", n, VESK + " idx.serialize()", "MB/s", rates(raw_mb, t), True,
                kind="info")
        t, blob = timed_result(lambda: vk.serializeToBinary(s), reps)
        res.add("save", n, VESK + " serializeToBinary", "MB/s", rates(raw_mb, t), True,
                kind="vesk", note=f"output {len(blob) / 1e6:.1f} MB")
        t = timed(lambda: vk.deserializeFromBinary(blob), reps)
        res.add("load", n, VESK + " deserializeFromBinary", "MB/s", rates(raw_mb, t),
                True, kind="vesk", note=f"input {len(blob) / 1e6:.1f} MB")
        s2 = vk.deserializeFromBinary(blob)

        def load_into():
            j = vk.Index("bench2", "vesk-minilm")
            j.deserialize(s2)
        t = timed(load_into, reps)
        res.add("load", n, VESK + " Index.deserialize (after the above)", "MB/s",
                rates(raw_mb, t), True, kind="info")
        ok = list(s2.doc_ids) == list(c.ids)
        res.notes.append(f"Save/load round trip at {n:,} docs: ids {'equal' if ok else 'DIFFER'}.")
        del s, s2, blob
