"""The C++ benchmarks the comparison runs when they are built: the memory of an Index by
part (bench_index_memory), single deletes, upserts and adds on large indexes
(bench_index_ops) and the dense scan with worker threads (bench_dense).

They are built apart from the Python module:

    cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESK_BUILD_BENCH=ON
    cmake --build build/bench --target bench_index_memory bench_index_ops bench_dense
"""
from __future__ import annotations

import json
import os
import statistics
import subprocess

from . import BENCH_DIR
from .results import Results
from .timing import log

PROGRAMS = ("bench_index_memory", "bench_index_ops", "bench_dense")


def find_cpp_dir(given: str | None) -> str | None:
    """given when it holds one of PROGRAMS, else build/bench/bench of the checkout when it
    does, else None."""
    cands = [given] if given else [os.path.join(os.path.dirname(BENCH_DIR), "build", "bench",
                                                "bench")]
    for d in cands:
        if d and any(os.access(os.path.join(d, p), os.X_OK) for p in PROGRAMS):
            return os.path.abspath(d)
    if given:
        log(f"no C++ benchmark programs in {given}")
    return None


def _program(cpp_dir: str, name: str) -> str | None:
    p = os.path.join(cpp_dir, name)
    return p if os.access(p, os.X_OK) else None


def _run(res: Results, argv: list[str], timeout: float) -> str | None:
    """Runs argv; returns its standard output, or None after adding an error line."""
    log("  " + " ".join(os.path.basename(a) if i == 0 else a for i, a in enumerate(argv)))
    try:
        out = subprocess.run(argv, capture_output=True, text=True, timeout=timeout)
    except (OSError, subprocess.TimeoutExpired) as e:
        res.errors.append(f"{os.path.basename(argv[0])}: {e}")
        return None
    if out.returncode != 0:
        res.errors.append(f"{os.path.basename(argv[0])} exited with {out.returncode}: "
                          f"{out.stderr[-2000:]}")
        return None
    return out.stdout


def memory_split(res: Results, cpp_dir: str, corpus_dir: str) -> None:
    """bench_index_memory on the corpus files in corpus_dir (the memory section's data):
    bytes of the Index by part, its resident set and the peak while adding."""
    prog = _program(cpp_dir, "bench_index_memory")
    if prog is None:
        return
    out = _run(res, [prog, f"--corpus={corpus_dir}", "--json"], 1800)
    if out is None:
        return
    try:
        res.memory_split = json.loads(out.strip().splitlines()[-1])
    except (ValueError, IndexError) as e:
        res.errors.append(f"bench_index_memory printed no JSON: {e}")


def _benchmarks(res: Results, argv: list[str], timeout: float) -> list[dict]:
    out = _run(res, argv + ["--benchmark_format=json"], timeout)
    if out is None:
        return []
    try:
        return json.loads(out)["benchmarks"]
    except (ValueError, KeyError) as e:
        res.errors.append(f"{os.path.basename(argv[0])} printed no benchmark JSON: {e}")
        return []


def _size_of(name: str) -> int:
    return int(name.split("/")[1])


def section_cpp(res: Results, cpp_dir: str, ops_sizes: list[int], ops: int, quick: bool):
    """Rows "ops" (µs per single delete, upsert and add at each size, amortized over a run
    of up to `ops` calls) and "dense-threads" (ms per query of the dense scan at
    1,000,000 x 384 over a ThreadPool of 1 and 2 threads, beside a plain read of the same
    memory), from whichever programs are built."""
    prog = _program(cpp_dir, "bench_index_ops")
    if prog is not None and ops_sizes:
        budget = 10 if quick else 60
        reps = 1 if quick else 3
        runs = _benchmarks(res, [prog, "--sizes=" + ",".join(map(str, ops_sizes)),
                                 f"--ops={ops}", f"--budget_s={budget}",
                                 f"--benchmark_repetitions={reps}"],
                           timeout=3600)
        what = {"BM_Delete": "delete_documents (one id)",
                "BM_DeleteQuarter": "delete_documents (one id), a quarter of the index",
                "BM_Upsert": "add_documents (one stored id: upsert)",
                "BM_Add": "add_documents (one new id)"}
        groups: dict[tuple[str, int], list[dict]] = {}
        for b in runs:
            if b.get("run_type", "iteration") != "iteration" or b.get("error_occurred"):
                continue
            groups.setdefault((b["name"].split("/")[0], _size_of(b["name"])), []).append(b)
        for (kind, n), bs in groups.items():
            if kind not in what:
                continue
            calls = [int(b["ops"]) for b in bs]
            want = n // 4 + n // 100 if kind == "BM_DeleteQuarter" else ops
            note = (f"{min(calls):,} calls per run" if min(calls) == max(calls)
                    else f"{min(calls):,}–{max(calls):,} calls per run")
            if min(calls) < want:
                note += " (stopped by the time budget)"
            note += f"; slowest single call {max(b['max_ms'] for b in bs):,.1f} ms"
            res.add("ops", n, f"vesk::Index {what[kind]}", "µs/call",
                    [float(b["us_per_op"]) for b in bs], False, kind="vesk", note=note)
    prog = _program(cpp_dir, "bench_dense")
    if prog is not None:
        # The thread rows of bench_dense, with the plain read of the same memory beside them.
        runs = _benchmarks(res, [prog, "--benchmark_filter=BM_EmbeddingSearchThreads|"
                                 "BM_MemoryRead/1000000",
                                 "--benchmark_repetitions=" + ("1" if quick else "5"),
                                 "--benchmark_min_time=" + ("0.05" if quick else "0.5"),
                                 "--benchmark_enable_random_interleaving=true"],
                           timeout=3600)
        groups = {}
        for b in runs:
            if b.get("run_type", "iteration") != "iteration" or b.get("error_occurred"):
                continue
            # BM_EmbeddingSearchThreads/N/T/process_time/real_time, BM_MemoryRead/N
            parts = b["name"].split("/")
            threads = int(parts[2]) if parts[0] == "BM_EmbeddingSearchThreads" else 0
            groups.setdefault((int(parts[1]), threads), []).append(b)
        one = {}
        for (n, threads), bs in sorted(groups.items()):
            unit = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[bs[0].get("time_unit", "ns")]
            ms = [float(b["real_time"]) * unit for b in bs]
            gbs = [float(b["bytes_per_second"]) / 1e9 for b in bs if "bytes_per_second" in b]
            if threads == 0:
                res.add("dense-threads", n, "memory read of the same blocks (1 thread)", "GB/s",
                        gbs, True, kind="baseline")
                continue
            r = res.add("dense-threads", n, f"vesk dense scan, {threads} thread"
                        + ("s" if threads > 1 else ""), "ms/query", ms, False,
                        kind="vesk" if threads == 1 else "info",
                        note=f"wall clock; {statistics.median(gbs):.1f} GB/s" if gbs
                        else "wall clock")
            if threads == 1:
                one[n] = r.median
            elif n in one:
                r.note += f"; {one[n] / r.median:.2f}× the 1-thread speed"
