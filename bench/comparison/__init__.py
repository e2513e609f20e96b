"""Side-by-side benchmark of vesk_core against the libraries users would pick instead
(bm25s, tantivy, rank-bm25, faiss, NumPy, orjson), written to bench/RESULTS.md.

Run it as `python bench/comparison` (see cli.py for the options). Modules:
timing (clock, logging, allocator trim), results (the rows and how a figure is
printed), vesk_runner (building and querying a vesk_core Index), peers (bm25s,
tantivy, NumPy top-k), sections (dense, keyword, hybrid, bulk build, single adds,
save and load), relevance (keyword scores against bm25s), memory (resident memory
per document, measured in child processes), report (RESULTS.md), cli (the run).
"""
from __future__ import annotations

import os
import sys

# Every submodule imports this package first, so the thread counts are fixed
# before NumPy, faiss, numba or tantivy are loaded.
for _v in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS",
           "NUMEXPR_NUM_THREADS", "RAYON_NUM_THREADS", "VECLIB_MAXIMUM_THREADS",
           "NUMBA_NUM_THREADS"):
    os.environ[_v] = "1"

PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))
BENCH_DIR = os.path.dirname(PACKAGE_DIR)      # bench/: datagen.py, words.txt, RESULTS.md
if BENCH_DIR not in sys.path:
    sys.path.insert(0, BENCH_DIR)

K = 10            # top-k of every query row
ALPHA_HYBRID = 0.8
RRF_K = 60
VESK = "vesk_core"
