"""Hybrid query, keyword index and persistence as seen from Python."""

import math
import random
import struct

import pytest
from hypothesis import given, settings, strategies as st

import vesk_core
from vesk_core import DocumentInfo, Index, SerializedIndex, ModelRef


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def panics(fn, *args):
    with pytest.raises(BaseException) as info:
        fn(*args)
    assert type(info.value).__name__ == "PanicException"
    assert not isinstance(info.value, Exception)
    return str(info.value)


@pytest.fixture
def fruit():
    idx = Index("fruit", "vesk-minilm")
    docs = [
        DocumentInfo("apple", "A red apple a day", {"color": "red"}),
        DocumentInfo("banana", "Bananas are yellow"),
        DocumentInfo("blank", "  \t "),
        DocumentInfo("cherry", "Cherries are red", {"taste": "sweet"}),
        DocumentInfo("sky", "The sky is blue", {"mood": "calm"}),
    ]
    embs = [[1.0, 0.0], [0.0, 1.0], [0.6, 0.8], [0.8, 0.6], [-1.0, 0.0]]
    assert idx.add_documents(docs, embs) == (5, 0)
    return idx


def ids(result):
    return [d.id for d in result.docs]


def test_default_alpha_is_float32_point_eight(fruit):
    q = [1.0, 0.0]
    default = fruit.query("red", 5, q)
    explicit = fruit.query("red", 5, q, 0.800000011920929)
    none = fruit.query("red", 5, q, None)
    assert ids(default) == ids(explicit) == ids(none)
    assert [d.score for d in default.docs] == [d.score for d in explicit.docs]


def test_alpha_outside_range_is_clamped_by_path(fruit):
    q = [1.0, 0.0]
    assert ids(fruit.query("red", 5, q, 1.5)) == ids(fruit.query("red", 5, q, 1.0))
    assert ids(fruit.query("red", 5, q, -0.5)) == ids(fruit.query("red", 5, q, 0.0))
    dense = fruit.query("red", 5, q, 1.0)
    assert ids(dense) == ["apple", "cherry", "blank", "banana", "sky"]
    assert dense.docs[1].score == f32(f32(0.8 * 1.0) + f32(0.6 * 0.0))


def test_keyword_side_and_document_text(fruit):
    res = fruit.query("red", 10, [], 0.0)
    assert sorted(ids(res)) == ["apple", "cherry"]
    # Metadata values and keys are searchable.
    assert ids(fruit.query("sweet", 10, [], 0.0)) == ["cherry"]
    assert ids(fruit.query("calm mood", 10, [], 0.0)) == ["sky"]
    # Whitespace-only documents are never found; their neighbours keep their data.
    hit = fruit.query("cherries", 10, [], 0.0).docs[0]
    assert (hit.id, hit.text, hit.metadata) == ("cherry", "Cherries are red", {"taste": "sweet"})


def test_top_k_zero_and_blank_query(fruit):
    q = [1.0, 0.0]
    for alpha in (0.0, 0.5, 1.0):
        assert fruit.query("red", 0, q, alpha).docs == []
    blank = fruit.query("   ", 5, q, 0.0)
    assert blank.docs == [] and blank.query == "   "
    assert blank.index_name == "fruit"
    assert isinstance(blank.time_taken_ms, int)


def test_empty_index_answers_anything():
    idx = Index("empty", "vesk-minilm")
    res = idx.query("anything", 3, [], float("nan"))
    assert res.docs == [] and res.query == "anything" and res.index_name == "empty"


def test_internal_failures(fruit):
    msg = panics(fruit.query, "red", 3, [1.0, 2.0, 3.0])
    assert msg == "Vector length mismatch: len(a)=3 != len(b)=2"
    assert panics(fruit.query, "red", 3, [1.0, 0.0], float("nan")) == (
        "alpha must be between 0.0 and 1.0, got: NaN")
    # The index stays usable after a failure.
    assert len(fruit.query("red", 3, [1.0, 0.0]).docs) == 3
    with pytest.raises(OverflowError):
        fruit.query("red", -1, [1.0, 0.0])


def test_fused_scores_follow_reciprocal_ranks(fruit):
    res = fruit.query("red", 2, [1.0, 0.0], 0.8)
    a = f32(0.8)
    w = f32(1.0 - a)
    both = f32(f32(a * f32(1.0 / 61.0)) + f32(w * f32(1.0 / 61.0)))
    assert res.docs[0].id == "apple"
    assert res.docs[0].score == both


def test_serialize_roundtrip_and_loaded_state(fruit):
    data = fruit.serialize()
    assert data.doc_ids == ["apple", "banana", "blank", "cherry", "sky"]
    assert data.embeddings[3] == [f32(0.8), f32(0.6)]
    other = Index("other", "vesk-mediumlm")
    created = other.get_info().created_at
    other.deserialize(data)
    info = other.get_info()
    assert (info.name, info.model.id, info.created_at) == ("fruit", "vesk-minilm", created)
    assert [(d.id, d.text, d.metadata) for d in other.get_documents()][:1] == [("apple", "", {})]
    assert other.query("red", 5, [1.0, 0.0], 0.0).docs == []
    assert ids(other.query("red", 2, [1.0, 0.0], 1.0)) == ["apple", "cherry"]
    # Texts come back by upsert, in place.
    assert other.add_documents([DocumentInfo("cherry", "Cherries are red")], [[0.8, 0.6]]) == (0, 1)
    assert ids(other.query("red", 5, [], 0.0)) == ["cherry"]
    assert [d.id for d in other.get_documents()][3] == "cherry"


def test_deserialize_errors_and_partial_update():
    idx = Index("keep", "vesk-minilm")
    idx.add_documents([DocumentInfo("a", "alpha")], [[1.0]])
    model = ModelRef("vesk-minilm", "0.2.3")
    with pytest.raises(ValueError, match="^Invalid serialized index: missing or invalid name$"):
        idx.deserialize(SerializedIndex("   ", "1", model, 0, [], []))
    with pytest.raises(ValueError, match="embeddings array length must match docIds array length"):
        idx.deserialize(SerializedIndex("n", "1", model, 0, [[1.0], [2.0]], ["x", "y", "z"]))
    assert idx.get_info().name == "keep" and idx.doc_count == 1
    with pytest.raises(ValueError, match="^Unknown model id: other-model$"):
        idx.deserialize(SerializedIndex(" new ", "9", ModelRef("other-model", "x"), 0, [], ["q"]))
    info = idx.get_info()
    assert (info.name, info.version, info.doc_count) == (" new ", "9", 1)
    # Ids without embeddings are accepted; dimension 0 keeps the index's own.
    idx.deserialize(SerializedIndex("n", "", ModelRef("vesk-mediumlm", "x"), 0, [], ["a", "b", "c"]))
    assert idx.serialize().dimension == 384 and idx.serialize().embeddings == []
    assert idx.query("q", 5, [1.0], 1.0).docs == []


WORDS = ["apple", "red", "blue", "sky", "dog", "dogs", "running", "the", "café", "x"]


def random_doc(rng, doc_id):
    n = rng.randint(0, 6)
    text = " ".join(rng.choice(WORDS) for _ in range(n))
    if rng.random() < 0.2:
        text = " \n "
    md = None
    if rng.random() < 0.3:
        md = {rng.choice(WORDS): rng.choice(WORDS + [" "])}
    return DocumentInfo(doc_id, text, md)


def scored(result):
    return sorted((d.score, d.id) for d in result.docs)


@settings(max_examples=60, deadline=None)
@given(st.integers(0, 2**32 - 1))
def test_incremental_keyword_index_matches_fresh_build(seed):
    rng = random.Random(seed)
    idx = Index("live", "vesk-minilm")
    for _ in range(rng.randint(1, 25)):
        op = rng.random()
        if op < 0.55:
            docs = [random_doc(rng, f"d{rng.randint(0, 12)}") for _ in range(rng.randint(1, 4))]
            idx.add_documents(docs, [[1.0]] * len(docs), vesk_core.AddDocumentsOptions(rng.random() < 0.8))
        elif op < 0.85:
            idx.delete_documents([f"d{rng.randint(0, 12)}" for _ in range(rng.randint(1, 3))])
        elif op < 0.9:
            idx.clear()
        else:
            idx.add_documents([], [])
    current = idx.get_documents()
    fresh = Index("fresh", "vesk-minilm")
    fresh.add_documents(current, [[1.0]] * len(current))
    for query in ("apple", "red dog", "running dogs", "the", "cafe sky sky", "x apple blue"):
        assert scored(idx.query(query, 50, [1.0], 0.0)) == scored(fresh.query(query, 50, [1.0], 0.0))
