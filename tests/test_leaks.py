"""No reference or memory leaks across thousands of calls, on success and
failure paths alike."""

import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

import vesk_core
from vesk_core import (
    AddDocumentsOptions,
    DocumentInfo,
    GetDocumentsOptions,
    Index,
    ModelRef,
    QueryResultDocumentInfo,
    SearchResult,
    SerializedIndex,
)

DIM = 16

# AddressSanitizer keeps freed memory in quarantine, so RSS grows there.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def workload(idx, emb_rows, emb_array, panic_exception, i):
    docs = [
        DocumentInfo(f"d{i}-{j}", f"text number {j} about topic {i % 7}", {"k": str(j)})
        for j in range(4)
    ]
    idx.add_documents(docs, emb_rows)
    idx.add_documents(docs[:2], emb_array[:2], AddDocumentsOptions(upsert=False))
    idx.get_documents(GetDocumentsOptions([d.id for d in docs[:2]]))
    r = idx.query("topic text", 3, emb_rows[0])
    r.docs
    idx.query("topic", 2, emb_array[1], 0.0)
    idx.get_info().model
    s = idx.serialize()
    s.embeddings
    vesk_core.deserializeFromBinary(vesk_core.serializeToBinary(s))
    idx.delete_documents([d.id for d in docs])
    # Failure paths.
    try:
        idx.add_documents(docs, emb_rows[:1])
    except ValueError:
        pass
    try:
        idx.add_documents(docs, [[1.0, "x"]] * 4)
    except TypeError:
        pass
    try:
        idx.query("q", 1, [1.0] * (DIM + 1))
    except panic_exception:
        pass
    try:
        vesk_core.deserializeFromBinary(b"VESK\x09\x00\x00\x00\x00\x00\x00\x00")
    except ValueError:
        pass
    try:
        DocumentInfo("a", "t", {"k": 1})
    except TypeError:
        pass
    try:
        Index("n", "bad-model")
    except ValueError:
        pass
    q = QueryResultDocumentInfo("a", "t", {"x": "y"}, 0.5)
    SearchResult([q, q], "q", "n", 3).docs
    info_model = ModelRef("m", "v")
    SerializedIndex("n", "v", info_model, 2, emb_array, ["a"] * len(emb_array)).embeddings


def test_memory_stays_flat(panic_exception):
    rng = np.random.default_rng(7)
    emb_array = rng.standard_normal((4, DIM)).astype(np.float32)
    emb_rows = emb_array.tolist()
    idx = Index("leaks", "vesk-minilm")
    idx.add_documents([DocumentInfo("keep", "anchor")], [emb_rows[0]])

    for i in range(300):  # warm up caches, free lists and arenas
        workload(idx, emb_rows, emb_array, panic_exception, i)
    gc.collect()
    tracemalloc.start()
    try:
        traced_before, _ = tracemalloc.get_traced_memory()
        rss_before = rss_bytes()
        for i in range(3000):
            workload(idx, emb_rows, emb_array, panic_exception, i)
        gc.collect()
        traced_after, _ = tracemalloc.get_traced_memory()
        rss_after = rss_bytes()
    finally:
        tracemalloc.stop()
    assert idx.doc_count == 1
    # 3000 iterations each allocating dozens of objects: a leak of one small
    # object per iteration would show as >= 100 KB here.
    assert traced_after - traced_before < 64 * 1024
    if not UNDER_ASAN:
        assert rss_after - rss_before < 4 * 1024 * 1024


def test_reference_counts_are_balanced(panic_exception):
    idx = Index("refs", "vesk-minilm")
    doc = DocumentInfo("a", "text")
    docs = [doc]
    row = [1.0, 2.0]
    rows = [row]
    arr = np.ones((1, 2), dtype=np.float32)
    opts = GetDocumentsOptions(["a"])
    alpha = 0.123456
    watched = [doc, docs, row, rows, arr, opts, alpha, DocumentInfo, Index, vesk_core.SearchResult]
    gc.collect()  # instances left in cycles by earlier tests must not die mid-count
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(200):
        idx.add_documents(docs, rows)
        idx.add_documents(docs, arr)
        idx.get_documents(opts)
        idx.query("text", 1, row, alpha)
        try:
            idx.query("text", 1, [1.0], alpha)
        except panic_exception:
            pass
        try:
            idx.add_documents(docs, rows * 2)
        except ValueError:
            pass
        DocumentInfo("b", "t")
    gc.collect()
    after = [sys.getrefcount(o) for o in watched]
    assert after == before


@pytest.mark.parametrize("count", [2000])
def test_type_reference_count_returns_after_instances_die(count):
    gc.collect()
    before = sys.getrefcount(ModelRef)
    objs = [ModelRef("a", "b") for _ in range(count)]
    assert sys.getrefcount(ModelRef) == before + count
    del objs
    assert sys.getrefcount(ModelRef) == before
