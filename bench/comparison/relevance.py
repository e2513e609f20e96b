"""Keyword results of vesk_core checked against bm25s fed the same tokens, and the
per-query keyword cost against the postings a query touches."""
from __future__ import annotations

import gc
import subprocess
import time

import numpy as np

import datagen

from . import K, VESK
from .results import Results
from .timing import log, warm


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
