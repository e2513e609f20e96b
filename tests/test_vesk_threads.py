"""A vesk Collection shared between threads: same answers, no blocked interpreter."""

from __future__ import annotations

import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from vesk import Collection

DIM = 64
WORDS = "north south river stone bridge tower field garden market window".split()


def corpus(n: int, seed: int = 0):
    rng = np.random.default_rng(seed)
    ids = [f"d{i}" for i in range(n)]
    lengths = rng.integers(2, 9, size=n)
    flat, ends = rng.choice(WORDS, size=int(lengths.sum())), np.cumsum(lengths)
    texts = [" ".join(flat[e - length : e]) for e, length in zip(ends, lengths)]
    return ids, texts, rng.standard_normal((n, DIM)).astype(np.float32), rng


def test_concurrent_searches_answer_as_sequential_ones():
    ids, texts, emb, rng = corpus(3000)
    col = Collection(dim=DIM)
    col.add(ids, texts, emb, [{"g": i % 5} for i in range(len(ids))])
    queries = [
        (" ".join(rng.choice(WORDS, size=2)), rng.standard_normal(DIM).astype(np.float32), where)
        for where in (None, {"g": {"$in": [1, 3]}})
        for _ in range(12)
    ]

    def run(q):
        text, vec, where = q
        return (
            col.search(text, k=10, where=where),
            col.search(vector=vec, k=10, where=where),
            col.search(text, vec, k=10, where=where),
            col.search_batch([text] * 3, np.stack([vec] * 3), k=5, where=where),
        )

    sequential = [run(q) for q in queries]
    with ThreadPoolExecutor(max_workers=4) as pool:
        for _ in range(3):
            assert list(pool.map(run, queries)) == sequential


def test_searches_stay_exact_while_another_thread_writes():
    """Readers filter out the writer's documents, so their dense answers must not move."""
    ids, texts, emb, rng = corpus(2000, seed=1)
    col = Collection(dim=DIM)
    col.add(ids, texts, emb, [{"src": "base"}] * len(ids))
    vecs = rng.standard_normal((8, DIM)).astype(np.float32)
    where = {"src": "base"}
    expected = [col.search(vector=v, k=10, where=where) for v in vecs]
    stop = threading.Event()

    def writer():
        round_ = 0
        while not stop.is_set():
            new = [f"w{round_}-{i}" for i in range(200)]
            col.add(new, ["river stone"] * 200, rng.standard_normal((200, DIM)), [{"src": "w"}] * 200)
            col.delete(new[::2])
            round_ += 1

    thread = threading.Thread(target=writer)
    thread.start()
    try:
        for _ in range(30):
            assert [col.search(vector=v, k=10, where=where) for v in vecs] == expected
    finally:
        stop.set()
        thread.join()
    assert all(f"d{i}" in col for i in range(0, 2000, 97))


def test_a_bulk_add_lets_other_python_threads_run():
    """While the core work of add runs, a counting thread keeps getting the interpreter."""
    ids, texts, emb, _ = corpus(60000, seed=2)
    col = Collection(dim=DIM)
    counter = [0]
    stop = threading.Event()
    seen = {}

    def count():
        while not stop.is_set():
            counter[0] += 1

    engine = col._engine

    class Spy:  # reads the counter right around the native call, nothing else
        def __getattr__(self, name):
            return getattr(engine, name)

        def add(self, *args):
            seen["before"] = counter[0]
            result = engine.add(*args)
            seen["after"] = counter[0]
            return result

    col._engine = Spy()
    thread = threading.Thread(target=count)
    thread.start()
    try:
        assert col.add(ids, texts, emb) == (len(ids), 0)
    finally:
        stop.set()
        thread.join()
    assert seen["after"] > seen["before"]
