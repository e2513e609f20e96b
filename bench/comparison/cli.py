"""Side-by-side benchmark of vesk_core against the libraries users would pick instead.

Runs every library on the same generated data in the same process (memory rows
in one fresh subprocess per variant), several repetitions each, and writes
bench/RESULTS.md with medians, min-max and the ratio to the best peer.

    python bench/comparison              # full run: 10k and 100k docs, dense and keyword also at 1M
    python bench/comparison --quick      # small smoke run
    python bench/comparison --sizes 10000 --dense-sizes 10000,1000000 --keyword-sizes 10000

All peers run single-threaded (thread-count variables are set before NumPy,
faiss or tantivy load; faiss.omp_set_num_threads(1); tantivy writers get one
thread).
"""
from __future__ import annotations

import argparse
import os
import time
import traceback

import datagen

from . import BENCH_DIR, VESK
from .cpp import find_cpp_dir, section_cpp
from .memory import memory_child, section_memory
from .peers import (TANTIVY, Bm25sPeer, TantivyPeer, bm25s_peers, fastest_bm25s,
                    forget_peer_texts, numba_available, peer_texts)
from .plots import write_plots
from .relevance import relevance_check
from .report import record_module_info, write_report
from .results import Results
from .sections import (section_build, section_dense, section_hybrid, section_keyword,
                       section_keyword_only, section_persist, section_single_adds)
from .timing import log, malloc_trim, rates, timed_result
from .vesk_runner import import_vesk, vesk_build


def parse_sizes(s: str) -> list[int]:
    return [int(x.replace("_", "")) for x in s.split(",") if x.strip()]


def main() -> int:
    ap = argparse.ArgumentParser(prog="comparison", description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default="10000,100000",
                    help="corpus sizes for every row (default 10000,100000)")
    ap.add_argument("--dense-sizes", default="10000,100000,1000000",
                    help="sizes for the dense rows (default 10000,100000,1000000)")
    ap.add_argument("--keyword-sizes", default="10000,100000,1000000",
                    help="sizes for the keyword rows; those not in --sizes run in a keyword-only "
                    "pass (default 10000,100000,1000000)")
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
    ap.add_argument("--cpp-dir", default=None,
                    help="folder of the built C++ benchmarks (bench_index_memory, bench_index_ops, "
                    "bench_dense); default: build/bench/bench when it holds them")
    ap.add_argument("--ops-sizes", default="100000,1000000",
                    help="index sizes for the C++ delete and upsert rows")
    ap.add_argument("--ops", type=int, default=10_000,
                    help="single deletes, upserts and adds per C++ run")
    ap.add_argument("--skip", default="", help="comma list of sections to skip "
                    "(dense,keyword,hybrid,build,add1,persist,memory,relevance,cpp,plots)")
    ap.add_argument("--out", default=os.path.join(BENCH_DIR, "RESULTS.md"))
    ap.add_argument("--memory-child", default=None, help=argparse.SUPPRESS)
    ap.add_argument("--memory-dir", default=None, help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.memory_child:
        memory_child(args.memory_child, args.memory_n, args.memory_dir)
        return 0

    if args.quick:
        args.sizes = "2000"
        args.dense_sizes = "2000,20000"
        args.keyword_sizes = "2000,20000"
        args.ops_sizes = "20000"
        args.ops = 300
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
    keyword_sizes = parse_sizes(args.keyword_sizes)
    skip = set(x.strip() for x in args.skip.split(",") if x.strip())

    started = time.time()
    cpp_dir = None if "cpp" in skip else find_cpp_dir(args.cpp_dir)
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
        ql = datagen.make_long_queries(max(args.queries, 50))
        nq = q_count(n)
        bm = Bm25sPeer(stop)
        bmn = Bm25sPeer(stop, "numba") if numba_available() else None
        tv = TantivyPeer(stop)
        idx = rb = None
        try:
            idx, rb = section_build(res, vk, n, c, bm, tv, args.reps if n <= 20_000 else
                                    args.build_reps_big, args.rank_bm25_max)
            if bmn is not None:
                bmn.build(peer_texts(c), c.ids)     # untimed: the build rows use the default backend
            load_samples.append(os.getloadavg()[0])
            if "dense" not in skip and n in dense_sizes:
                section_dense(res, vk, n, c, qs, idx, nq, args.reps)
            if "keyword" not in skip and n in keyword_sizes:
                peers = bm25s_peers(bm, bmn) + [(TANTIVY, tv)]
                every = [name for name, _ in peers]
                fast = [name for name, _ in fastest_bm25s(peers)] + [TANTIVY]
                section_keyword(res, vk, n, [("keyword", qs.texts, every),
                                             ("keyword-long", ql.texts, fast)],
                                idx, peers, nq, args.reps, rb, bm, min(nq, 50))
            if "hybrid" not in skip:
                section_hybrid(res, vk, n, c, qs, idx, bm, bmn, nq, args.reps)
            load_samples.append(os.getloadavg()[0])
            if "relevance" not in skip:
                relevance_check(res, vk, n, c, idx, args.relevance_queries,
                                peers=fastest_bm25s(bm25s_peers(bm, bmn)) + [(TANTIVY, tv)],
                                diag_q=qs.texts[:nq])
            if "persist" not in skip:
                section_persist(res, vk, n, c, idx, args.reps if n <= 20_000 else 3)
            if "add1" not in skip:
                reindex_texts = peer_texts(c) + peer_texts(extra)[:1]
                section_single_adds(res, vk, n, idx, extra, bm, tv, reindex_texts,
                                    args.add_budget, args.max_adds,
                                    args.reps if n <= 20_000 else 3)
        except Exception:   # noqa: BLE001
            res.errors.append(f"size {n}: {traceback.format_exc()[-3000:]}")
            log(res.errors[-1])
        load_samples.append(os.getloadavg()[0])
        forget_peer_texts()
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
                    t, idx = timed_result(lambda: vesk_build(vk, c), 1)
                    res.add("build", n, VESK + " (ids + embeddings, empty texts)", "docs/s",
                            rates(n, t), True, kind="info",
                            note="dense-only corpus")
                section_dense(res, vk, n, c, qs, idx, max(5, q_count(n) // 2),
                              min(args.reps, 3))
            except Exception:   # noqa: BLE001
                res.errors.append(f"dense size {n}: {traceback.format_exc()[-3000:]}")
                log(res.errors[-1])
            load_samples.append(os.getloadavg()[0])
            del idx, c
            malloc_trim()

    if "keyword" not in skip:
        for n in keyword_sizes:
            if n in sizes:
                continue
            log(f"== keyword only, {n:,} documents")
            try:
                section_keyword_only(res, vk, n, stop, q_count(n), args.reps,
                                     max(args.queries, 50))
            except Exception:   # noqa: BLE001
                res.errors.append(f"keyword size {n}: {traceback.format_exc()[-3000:]}")
                log(res.errors[-1])
            load_samples.append(os.getloadavg()[0])
            forget_peer_texts()
            malloc_trim()
            write_report(res, args, started, load_samples, args.out, vk is not None, vk_error)

    skipped_rb = [n for n in sizes if n > args.rank_bm25_max]
    if skipped_rb:
        res.notes.append(
            f"rank-bm25 ran only up to {args.rank_bm25_max:,} documents (not at "
            f"{', '.join(f'{n:,}' for n in skipped_rb)}): its `get_scores` walks every "
            "document in Python for every query term, so its query time grows linearly with "
            "the corpus (see its row at the smaller size).")
    if "memory" not in skip:
        log(f"== memory at {args.memory_n:,} documents")
        section_memory(res, vk, args.memory_n, args.memory_reps, cpp_dir)
    load_samples.append(os.getloadavg()[0])
    if "cpp" not in skip:
        if cpp_dir is None:
            res.notes.append("The C++ rows (deletes and upserts, dense scan threads) were not run: "
                             "no built benchmarks were found (see bench/README.md; pass "
                             "--cpp-dir).")
        else:
            log("== C++ benchmarks")
            section_cpp(res, cpp_dir, parse_sizes(args.ops_sizes), args.ops, args.quick)
        load_samples.append(os.getloadavg()[0])
    if "plots" not in skip:
        write_plots(res, args.out)
    write_report(res, args, started, load_samples, args.out, vk is not None, vk_error)
    log(f"done in {(time.time() - started) / 60:.1f} min")
    return 0
