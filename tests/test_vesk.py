"""The vesk package: storage semantics, input checking, value types, languages, docs."""

from __future__ import annotations

import doctest
import pickle

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vesk
import vesk.collection
import vesk.errors
import vesk.filters
import vesk.types
from vesk import Collection, Document, Hit

DIM = 8


def snapshot(col: Collection, ids: list[str]) -> tuple:
    """Everything a user can observe of `col` through `ids` and two queries."""
    probe = np.linspace(-1, 1, DIM, dtype=np.float32)
    return (
        len(col),
        col.get(ids),
        [i in col for i in ids],
        col.search("alpha beta gamma", k=50),
        col.search(vector=probe, k=50),
        col.search("alpha", probe, k=50, where={"n": {"$gte": 0}}),
    )


# --- storage semantics ------------------------------------------------------

ids_st = st.sampled_from(["a", "b", "c", "d", "é", ""])
meta_value_st = st.one_of(st.text(max_size=3), st.integers(-5, 5), st.floats(-5, 5), st.booleans())
doc_st = st.tuples(
    ids_st,
    st.sampled_from(["alpha beta", "gamma", "beta beta delta", "", "  "]),
    st.none() | st.dictionaries(st.sampled_from(["n", "tag"]), meta_value_st, max_size=2),
)
op_st = st.one_of(
    st.tuples(st.just("add"), st.lists(doc_st, max_size=5), st.booleans()),
    st.tuples(st.just("delete"), st.lists(ids_st, max_size=3)),
    st.tuples(st.just("clear")),
)


@settings(max_examples=150, deadline=None)
@given(st.lists(op_st, max_size=12))
def test_changes_follow_a_dict_model(ops):
    """add (upsert or not, repeated ids within one call), delete and clear behave like a dict.

    Within one add the documents apply in order: a repeated id updates the
    earlier occurrence when upserting (last wins) and is skipped otherwise.
    """
    col = Collection(dim=DIM)
    model: dict[str, tuple[str, dict, np.ndarray]] = {}
    for n_op, op in enumerate(ops):
        if op[0] == "add":
            docs, upsert = op[1], op[2]
            emb = np.arange(len(docs) * DIM, dtype=np.float32).reshape(len(docs), DIM) + n_op
            added = updated = 0
            for i, (id_, text, meta) in enumerate(docs):
                if id_ in model:
                    if upsert:
                        model[id_] = (text, dict(meta or {}), emb[i])
                        updated += 1
                else:
                    model[id_] = (text, dict(meta or {}), emb[i])
                    added += 1
            got = col.add([d[0] for d in docs], [d[1] for d in docs], emb, [d[2] for d in docs], upsert=upsert)
            assert got == (added, updated)
        elif op[0] == "delete":
            expect = len(set(op[1]) & model.keys())
            for id_ in op[1]:
                model.pop(id_, None)
            assert col.delete(op[1]) == expect
        else:
            col.clear()
            model.clear()
        assert len(col) == len(model)
    every = ["a", "b", "c", "d", "é", ""]
    assert col.get(every) == [Document(i, model[i][0], model[i][1]) for i in every if i in model]
    assert [i in col for i in every] == [i in model for i in every]
    # the stored embeddings are the last ones written: each is its own best match
    for id_, (_, _, e) in model.items():
        hits = col.search(vector=e, k=len(model))
        assert {h.id: h.dense_score for h in hits}[id_] == pytest.approx(float(np.dot(e, e)), rel=1e-6)


def test_metadata_values_keep_their_types():
    col = Collection(dim=2)
    meta = {"s": "x", "i": -(2**63), "f": 2.5, "b": True, "npi": np.int32(7), "npf": np.float32(0.5), "npb": np.bool_(False)}
    col.add(["m"], ["text"], [[0, 1]], [meta])
    (doc,) = col.get(["m"])
    assert doc.metadata == {"s": "x", "i": -(2**63), "f": 2.5, "b": True, "npi": 7, "npf": 0.5, "npb": False}
    assert [type(doc.metadata[k]) for k in ("s", "i", "f", "b", "npi", "npf", "npb")] == [str, int, float, bool, int, float, bool]


def test_documents_without_embeddings_are_found_by_keywords_only():
    col = Collection(dim=2)
    col.add(["e", "n"], ["stored vector", "no vector"], [[1, 0], [0, 1]])
    col.add(["x"], ["vector missing"])
    assert {h.id for h in col.search("vector")} == {"e", "n", "x"}
    assert {h.id for h in col.search(vector=[1, 1])} == {"e", "n"}


# --- bad input --------------------------------------------------------------

BAD_ADDS = [
    (vesk.InvalidTypeError, dict(ids="abc", texts=["t"])),
    (vesk.InvalidTypeError, dict(ids=["z", 3], texts=["t", "u"])),
    (vesk.InvalidTypeError, dict(ids=["z"], texts=[b"bytes"])),
    (vesk.InvalidInputError, dict(ids=["z", "y"], texts=["t"])),
    (vesk.InvalidInputError, dict(ids=["z", "y"], texts=["t", "u"], embeddings=np.zeros((1, DIM)))),
    (vesk.DimensionMismatchError, dict(ids=["z"], texts=["t"], embeddings=np.zeros((1, DIM + 1)))),
    (vesk.InvalidInputError, dict(ids=["z"], texts=["t"], embeddings=np.zeros(DIM))),
    (vesk.InvalidInputError, dict(ids=["z", "y"], texts=["t", "u"], embeddings=[[0.0] * DIM, [np.nan] * DIM])),
    (vesk.InvalidInputError, dict(ids=["z"], texts=["t"], embeddings=[[np.inf] + [0.0] * (DIM - 1)])),
    (vesk.InvalidInputError, dict(ids=["z"], texts=["t"], embeddings=[[1e39] + [0.0] * (DIM - 1)])),
    (vesk.InvalidInputError, dict(ids=["z"], texts=["t"], embeddings=[[0.0] * DIM, [0.0]])),
    (vesk.InvalidTypeError, dict(ids=["z"], texts=["t"], embeddings=[["0"] * DIM])),
    (vesk.InvalidInputError, dict(ids=["z"], texts=["t"], metadata=[{}, {}])),
    (vesk.InvalidTypeError, dict(ids=["z"], texts=["t"], metadata={"n": 1})),
    (vesk.InvalidTypeError, dict(ids=["z"], texts=["t"], metadata=[{"n": None}])),
    (vesk.InvalidTypeError, dict(ids=["z"], texts=["t"], metadata=[{"n": [1, 2]}])),
    (vesk.InvalidTypeError, dict(ids=["z"], texts=["t"], metadata=[{1: "x"}])),
    (vesk.InvalidInputError, dict(ids=["z"], texts=["t"], metadata=[{"n": float("nan")}])),
    (vesk.InvalidInputError, dict(ids=["z"], texts=["t"], metadata=[{"n": 2**63}])),
    (vesk.InvalidTypeError, dict(ids=["z"], texts=["t"], upsert="yes")),
]

BAD_SEARCHES = [
    (vesk.InvalidInputError, dict()),
    (vesk.InvalidTypeError, dict(text=b"alpha")),
    (vesk.DimensionMismatchError, dict(vector=[0.0] * (DIM - 1))),
    (vesk.InvalidInputError, dict(vector=[np.nan] * DIM)),
    (vesk.InvalidInputError, dict(text="alpha", k=-1)),
    (vesk.InvalidTypeError, dict(text="alpha", k=2.0)),
    (vesk.InvalidInputError, dict(text="alpha", alpha=1.5)),
    (vesk.InvalidInputError, dict(text="alpha", alpha=float("nan"))),
    (vesk.InvalidInputError, dict(text="alpha", depth=0)),
    (vesk.FilterError, dict(text="alpha", where={"n": {"$regex": "a"}})),
    (vesk.FilterError, dict(text="alpha", where=[("n", 1)])),
]


@pytest.fixture
def filled() -> Collection:
    col = Collection(dim=DIM)
    rng = np.random.default_rng(3)
    texts = ["alpha beta", "beta gamma", "gamma alpha alpha", "delta"]
    col.add([f"d{i}" for i in range(4)], texts, rng.standard_normal((4, DIM)), [{"n": i} for i in range(4)])
    return col


@pytest.mark.parametrize("error, kwargs", BAD_ADDS)
def test_bad_add_raises_and_changes_nothing(filled, error, kwargs):
    ids = ["d0", "d1", "d2", "d3", "z", "y"]
    before = snapshot(filled, ids)
    with pytest.raises(error) as info:
        filled.add(**{"ids": kwargs.pop("ids"), "texts": kwargs.pop("texts"), **kwargs})
    assert isinstance(info.value, vesk.VeskError) and str(info.value)
    assert snapshot(filled, ids) == before


@pytest.mark.parametrize("error, kwargs", BAD_SEARCHES)
def test_bad_search_raises_a_vesk_error(filled, error, kwargs):
    with pytest.raises(error):
        filled.search(**kwargs)
    batch = {"texts": [kwargs.pop("text")] if "text" in kwargs else None,
             "vectors": [kwargs.pop("vector")] if "vector" in kwargs else None, **kwargs}
    if batch["texts"] != [b"alpha"]:
        with pytest.raises(error):
            filled.search_batch(**batch)


def test_error_messages_say_what_is_wrong(filled):
    with pytest.raises(vesk.DimensionMismatchError, match=f"9 values each, the collection's dim is {DIM}"):
        filled.add(["z"], ["t"], np.zeros((1, 9)))
    with pytest.raises(vesk.InvalidInputError, match="got 2 ids but 1 texts"):
        filled.add(["z", "y"], ["t"])
    with pytest.raises(vesk.InvalidTypeError, match=r"ids\[1\] must be a str, not int"):
        filled.add(["z", 1], ["t", "u"])
    with pytest.raises(vesk.DocumentNotFoundError, match="no document with id 'nope'") as info:
        filled.explain("nope", "alpha")
    assert isinstance(info.value, KeyError)


# --- searches: batch, explain ----------------------------------------------


@settings(max_examples=30, deadline=None)
@given(st.integers(0, 2**32 - 1), st.sampled_from([0.0, 0.3, 0.5, 1.0]), st.integers(1, 6), st.integers(1, 8))
def test_search_batch_equals_searches_one_by_one(seed, alpha, k, depth):
    rng = np.random.default_rng(seed)
    words = ["alpha", "beta", "gamma", "delta", "omega"]
    n = 12
    texts = [" ".join(rng.choice(words, size=rng.integers(1, 5))) for _ in range(n)]
    col = Collection(dim=DIM)
    col.add([f"d{i}" for i in range(n)], texts, rng.standard_normal((n, DIM)), [{"n": i % 3} for i in range(n)])
    q_texts = [" ".join(rng.choice(words, size=2)) for _ in range(5)]
    q_vecs = rng.standard_normal((5, DIM)).astype(np.float32)
    for where in (None, {"n": {"$ne": 1}}):
        common = dict(k=k, alpha=alpha, where=where, depth=depth)
        assert col.search_batch(q_texts, **common) == [col.search(t, **common) for t in q_texts]
        assert col.search_batch(vectors=q_vecs, **common) == [col.search(vector=v, **common) for v in q_vecs]
        assert col.search_batch(q_texts, q_vecs, **common) == [col.search(t, v, **common) for t, v in zip(q_texts, q_vecs)]


def test_explain_agrees_with_the_hit(filled):
    vec = np.linspace(1, -1, DIM, dtype=np.float32)
    for alpha in (0.0, 0.5, 1.0):
        hits = filled.search("alpha gamma", vec, k=4, alpha=alpha, depth=4)
        assert hits
        for hit in hits:
            e = filled.explain(hit.id, "alpha gamma", vec, alpha=alpha, depth=4)
            assert e["id"] == hit.id
            if alpha < 1:
                kw = e["keyword"]
                assert kw["rank"] == hit.keyword_rank
                if hit.keyword_rank is not None:
                    assert kw["score"] == hit.keyword_score
                assert {t["term"] for t in kw["terms"]} <= {"alpha", "gamma"}
                assert kw["avgdl"] == 8 / 4  # 2 + 2 + 3 + 1 tokens
            else:
                assert e["keyword"] is None
            if alpha > 0:
                assert (e["dense"]["score"], e["dense"]["rank"]) == (hit.dense_score, hit.dense_rank)
            if 0 < alpha < 1:
                assert e["fused"] == hit.score


# --- value types ------------------------------------------------------------


def test_document_and_hit_are_frozen_values_that_pickle():
    doc = Document("a", "text", {"n": 1, "s": "x"})
    hit = Hit("a", 0.1, "text", {"n": 1}, 1, 2.5, None, None)
    for value in (doc, hit):
        assert pickle.loads(pickle.dumps(value)) == value
        assert hash(pickle.loads(pickle.dumps(value))) == hash(value)
        with pytest.raises(AttributeError):
            value.id = "b"
        assert eval(repr(value), {"Document": Document, "Hit": Hit}) == value
    assert doc != Document("a", "text", {"n": 1})
    assert repr(hit) == (
        "Hit(id='a', score=0.1, text='text', metadata={'n': 1}, keyword_rank=1, "
        "keyword_score=2.5, dense_rank=None, dense_score=None)"
    )
    long = Document("l", "word " * 40)
    assert len(repr(long)) < 130 and repr(long).endswith("\u2026', metadata={})")


def test_hits_from_a_search_pickle_and_show_float32_scores(filled):
    hit = filled.search("alpha", np.ones(DIM), k=1)[0]
    assert pickle.loads(pickle.dumps(hit)) == hit
    assert f"score={np.float32(hit.score)!r}".replace("np.float32(", "").rstrip(")") in repr(hit)


# --- languages, collection basics, docs --------------------------------------


def test_language_selects_the_stemmer():
    fr = Collection(dim=2, language="french")
    en = Collection(dim=2)
    for col in (fr, en):
        col.add(["c"], ["Les chevaux mangeaient dans la prairie"])
    assert [h.id for h in fr.search("cheval")] == ["c"]
    assert en.search("cheval") == []
    assert fr.language == "french" and repr(fr) == "Collection(dim=2, language='french', documents=1)"


def test_unknown_language_lists_the_known_ones():
    with pytest.raises(vesk.UnknownLanguageError) as info:
        Collection(language="klingon")
    assert isinstance(info.value, ValueError)
    for name in ("english", "french", "german"):
        assert name in Collection.languages()
        assert name in str(info.value)


def test_constructor_checks_its_arguments():
    with pytest.raises(vesk.InvalidInputError):
        Collection(dim=0)
    with pytest.raises(vesk.InvalidTypeError):
        Collection(dim="384")
    with pytest.raises(vesk.InvalidTypeError):
        Collection(language=None)
    assert Collection().dim == 384


def test_package_surface():
    assert isinstance(vesk.__version__, str) and vesk.__version__
    for name in vesk.__all__:
        assert hasattr(vesk, name)
    assert issubclass(vesk.FilterError, ValueError) and issubclass(vesk.InvalidTypeError, TypeError)
    assert vesk.collection.DEFAULT_ALPHA == 0.5 and vesk.collection.DEFAULT_DEPTH == 100


@pytest.mark.parametrize("module", [vesk, vesk.collection, vesk.filters, vesk.types, vesk.errors])
def test_docstring_examples_run(module):
    result = doctest.testmod(module, optionflags=doctest.ELLIPSIS | doctest.IGNORE_EXCEPTION_DETAIL)
    assert result.attempted > 0 and result.failed == 0
