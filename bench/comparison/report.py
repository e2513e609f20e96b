"""bench/RESULTS.md: the machine, the library versions, how each figure was taken,
the goals met or missed, the result tables, the relevance cross-check and the
notes of the run."""
from __future__ import annotations

import datetime as _dt
import os
import platform
import statistics
import subprocess
import sys
import time
from importlib import metadata as _md

import numpy as np

import datagen

from . import BENCH_DIR, VESK
from .results import Results, Row, fmt
from .timing import log

SECTIONS = [
    ("dense", "1. Dense top-10 (alpha = 1)"),
    ("keyword", "2a. Keyword top-10, short queries of 2–8 words (alpha = 0)"),
    ("keyword-long", "2b. Keyword top-10, long natural-language queries of 10–20 words (alpha = 0)"),
    ("hybrid", "3. Hybrid top-10 (alpha = 0.8)"),
    ("build", "4a. Bulk indexing"),
    ("add1", "4b. One-document-at-a-time adds"),
    ("save", "5a. Save"),
    ("load", "5b. Load"),
    ("memory", "6. Memory"),
    ("ops", "7. Single-document changes to a large index (C++)"),
    ("dense-threads", "8. Dense scan with worker threads (C++)"),
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
            + f" ({os.path.relpath(vk.__file__, os.path.dirname(BENCH_DIR))})")
    except Exception:   # noqa: BLE001
        pass
    try:
        _MODULE_INFO["git HEAD at start of run"] = subprocess.run(
            ["git", "-C", os.path.dirname(BENCH_DIR), "rev-parse", "--short", "HEAD"],
            capture_output=True, text=True).stdout.strip()
    except OSError:
        pass


def slower(v: Row, p: Row) -> str:
    """For a missed time goal: how much longer vesk_core takes than the peer."""
    return "" if v.median < p.median else f", takes {v.median / p.median - 1:.0%} longer"


def goal_lines(res: Results, n: int) -> list[str]:
    L = []

    def g(section, name, unit="µs/query"):
        return res.find(section, n, name, unit)

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
    for section, label in (("keyword", "short"), ("keyword-long", "long")):
        v = g(section, VESK)
        cands = [r for r in res.rows if r.section == section and r.size == n
                 and r.kind == "peer" and not r.name.startswith("rank-bm25")]
        if v and cands:
            p = min(cands, key=lambda r: r.median)
            line(f"keyword, {label} queries: ≥ 2× the fastest peer",
                 f"{v.median:.0f} vs {p.median:.0f} µs/query ({p.median / v.median:.2f}×; {p.name})",
                 p.median >= 2 * v.median)
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
    def memory_row(vesk_name: str, plain_name: str, what: str) -> None:
        v = next((x for x in res.rows if x.section == "memory" and x.size == n
                  and x.name == vesk_name), None)
        p = next((x for x in res.rows if x.section == "memory" and x.size == n
                  and x.name.startswith(plain_name)), None)
        if v is None or p is None:
            return
        f = v.median / p.median
        line(f"memory ≤ 1.2× plain Python of the same data, {what} ({n:,} docs)",
             f"{v.median:,.0f} vs {p.median:,.0f} bytes/doc = {f:.2f}×"
             + ("" if f <= 1.2 else f" ({f / 1.2 - 1:.0%} over the limit)"), f <= 1.2)
    memory_row(VESK + " Index (source data dropped)", "same + metadata dicts",
               "metadata included on both sides")
    memory_row(VESK + " Index without the metadata (source data dropped)",
               "Python lists of texts and ids", "no metadata on either side")
    ms = res.memory_split
    if ms and ms.get("parts_known") and ms["n"] == n:
        kw = ms["keyword_index"] / ms["n"]
        line("keyword index ≤ 300 bytes/doc", f"{kw:,.0f} bytes/doc (C++ `memory_usage()`)",
             kw <= 300)
    v = (g("ops", "vesk::Index delete_documents (one id), a quarter of the index", "µs/call")
         or g("ops", "vesk::Index delete_documents (one id)", "µs/call"))
    if v and n >= 1_000_000:
        line("one delete ≤ 1 ms amortized", f"{v.median / 1000:.3g} ms per call ({v.name[12:]})",
             v.median <= 1000)
    return L


def memory_split_lines(ms: dict) -> list[str]:
    """The table of bench_index_memory's figures (bytes per document by part)."""
    n = ms["n"]
    L: list[str] = []
    table_head(L, f"A `vesk::Index` of the same {n:,} documents built in C++, by part "
               "(`bench/bench_index_memory.cc`):", "| part | bytes/doc | share of resident |",
               "|---|---:|---:|")
    res_b = ms["resident"]

    def row(name, b):
        share = f"{b / res_b:.0%}" if res_b > 0 else ""
        L.append(f"| {name} | {b / n:,.0f} | {share} |")
    if ms.get("parts_known"):
        parts = [("embeddings", ms["embeddings"]), ("keyword index", ms["keyword_index"]),
                 ("documents (ids, texts, metadata)", ms["documents"]),
                 ("id index (id → slot table, live bitmap)", ms["id_index"])]
        for name, b in parts:
            row(name, b)
        total = sum(b for _, b in parts)
        row("resident but in no part (allocator slack, fragmentation)", res_b - total)
    else:
        L.append("| (this build has no `Index::memory_usage()`: parts not available) | | |")
    row("**resident set of the index**", res_b)
    L.append(f"| ids and texts of the input, UTF-8 bytes (for scale) | "
             f"{ms['id_text_bytes'] / n:,.0f} | |")
    L.append(f"| peak while adding, above the input already in memory | "
             f"{ms['peak_add'] / n:,.0f} | |")
    L.append(f"| peak while adding, input included | {ms['peak_total'] / n:,.0f} | |")
    L.append("")
    return L


def table_head(L: list[str], heading: str, columns: str, alignment: str) -> None:
    """Appends a heading line, a blank line and the two header lines of a table."""
    L.extend([heading, "", columns, alignment])


def write_report(res: Results, args, started: float, load_samples: list, path: str,
                 vk_ok: bool, vk_error: str):
    cpu = cpu_info()
    ver = versions()
    now = _dt.datetime.now(_dt.timezone.utc)
    L = []
    L.append("# vesk_core beside the libraries users would pick instead")
    L.append("")
    L.append(f"Generated by `bench/comparison` ({' '.join(sys.argv[1:]) or 'default run'}) on "
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
             "copy of a document's. Long queries (`datagen.make_long_queries`, table 2b): "
             f"{datagen.LONG_MIN_WORDS}–{datagen.LONG_MAX_WORDS} words phrased as questions or "
             "claims, noun phrases of content words drawn like the short queries' joined by the "
             "vocabulary's own function words (prepositions, articles, auxiliaries), e.g. "
             f"“{datagen.make_long_queries(1).texts[0]}”; about 9 terms each after stop words; "
             "the same texts at every size. The 10,000-document corpus is a prefix of the "
             "100,000 one. The 1,000,000-document dense rows use embeddings only (documents with "
             "empty text); keyword rows at sizes beyond the full sections run in a pass of their "
             "own on the full documents (one build of each library, the fastest bm25s backend "
             "only; the bulk-indexing rows at that size come from that build).")
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
             "row uses its default backend (where only one backend runs, the row names it).")
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
             "peer holds the same data as plainly as Python can: a list of texts, a list of ids "
             "and one float32 NumPy matrix. The goal rows compare like with like: the index "
             "with the generated metadata against the same lists plus the metadata dicts, and "
             "an index built without the metadata against the lists and the matrix alone. "
             "The split by part comes from "
             "`bench/bench_index_memory.cc`, a C++ program that builds a `vesk::Index` from the "
             "same documents (written by `datagen.write_corpus_files`) in one `add_documents` "
             "call and reports what `Index::memory_usage()` counts for each part, its resident "
             "set once the input is freed, and the high-water mark while adding (VmHWM reset "
             "through `/proc/self/clear_refs` just before the call).")
    L.append("- Single-document changes (`bench/bench_index_ops.cc`, C++, Google Benchmark): "
             "an index of N generated documents (the same kind of text as datagen's, 384-float "
             "embeddings) built once per N; each run times up to "
             f"{args.ops:,} single calls one by one (a random live id for deletes and upserts; "
             "an upsert stores another generated text, metadata and embedding under that id) "
             "and reports the mean, so occasional reorganisation such as compaction is paid "
             "for in the figure; after each run the index is put back to N documents untimed. "
             "The “quarter of the index” row deletes N / 4 + N / 100 documents one by one in a "
             "single run: the index compacts once dead slots reach a quarter of all slots, so "
             "that run includes one compaction and its mean is the amortized cost of a delete.")
    L.append("- Dense scan with worker threads (`bench/bench_dense.cc`, C++, its "
             "`BM_EmbeddingSearchThreads` rows): one query at a time over 1,000,000 random "
             "384-float embeddings, top 10, split over a `ThreadPool` of 1 or 2 threads (the "
             "caller and its workers), wall-clock time per query; beside it `BM_MemoryRead`, "
             "one thread summing the same blocks, the rate a single core streams that memory.")
    L.append("")
    sizes = sorted({r.size for r in res.rows if r.kind == "vesk"})
    if sizes:
        L.append("## Goals")
        L.append("")
        for n in sizes:
            gl = goal_lines(res, n)
            if not gl:
                continue
            table_head(L, f"At {n:,} documents:", "| goal | measured (median) | |",
                       "|---|---|---|")
            L.extend(gl)
            L.append("")
    L.append("## Results")
    L.append("")
    for sec, title in SECTIONS:
        rows = [r for r in res.rows if r.section == sec]
        if not rows:
            continue
        table_head(L, f"### {title}",
                   "| docs | library | median | min–max | unit | vs best peer | note |",
                   "|---:|---|---:|---:|---|---:|---|")
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
        if sec == "memory" and res.memory_split:
            L.extend(memory_split_lines(res.memory_split))
        if sec in res.plots:
            L.append(f"![{title}]({res.plots[sec]})")
            L.append("")
    if res.kw_diag:
        L.append("## Keyword query cost against the postings a query touches")
        L.append("")
        L.append("Each query's time (mean of 3 calls) against the total number of postings of its "
                 "distinct terms (the sum of their document frequencies), fitted as a straight "
                 "line: fixed µs per query + ns per posting. Same queries as table 2a.")
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
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(L))
    log(f"wrote {path}")
