"""vesk metadata filters: a filtered search is the unfiltered ranking cut to the matching documents."""

from __future__ import annotations

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vesk
from vesk import Collection

KEYS = ["a", "b", "c"]
VALUES = st.one_of(
    st.integers(-3, 3),
    st.sampled_from([-1.5, 0.0, 2.0, 2.5, 1e300]),
    st.booleans(),
    st.sampled_from(["", "x", "y", "xy", "é"]),
)
METADATA = st.none() | st.dictionaries(st.sampled_from(KEYS), VALUES, max_size=3)
OPS = ["$eq", "$ne", "$gt", "$gte", "$lt", "$lte"]


def _field_filters():
    key = st.sampled_from(KEYS)
    single = st.builds(lambda k, v: {k: v}, key, VALUES)
    one_op = st.builds(lambda k, op, v: {k: {op: v}}, key, st.sampled_from(OPS), VALUES)
    range_ = st.builds(lambda k, lo, hi: {k: {"$gte": lo, "$lt": hi}}, key, VALUES, VALUES)
    member = st.builds(lambda k, op, vs: {k: {op: vs}}, key, st.sampled_from(["$in", "$nin"]), st.lists(VALUES, max_size=3))
    return single | one_op | range_ | member


FILTERS = st.recursive(
    _field_filters(),
    lambda inner: st.one_of(
        st.builds(lambda fs: {"$and": fs}, st.lists(inner, min_size=1, max_size=3)),
        st.builds(lambda fs: {"$or": fs}, st.lists(inner, min_size=1, max_size=3)),
        st.builds(lambda f, g: {**f, **g}, inner, inner),  # several keys in one dict: all must hold
    ),
    max_leaves=6,
)


# --- the reference: filters evaluated in plain Python ------------------------


def _order(x, y):
    """-1, 0 or 1 when x and y are comparable, None otherwise."""
    numeric = all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in (x, y))
    if numeric or (type(x) is type(y) and type(x) in (bool, str)):
        return (x > y) - (x < y)  # Python compares int with float exactly
    return None


def _op_holds(meta, key, op, operand):
    if op == "$ne":
        return not _op_holds(meta, key, "$eq", operand)
    if op == "$nin":
        return not _op_holds(meta, key, "$in", operand)
    if key not in meta:
        return False
    if op == "$in":
        return any(_order(meta[key], v) == 0 for v in operand)
    o = _order(meta[key], operand)
    if o is None:
        return False
    return {"$eq": o == 0, "$gt": o > 0, "$gte": o >= 0, "$lt": o < 0, "$lte": o <= 0}[op]


def matches(where, meta) -> bool:
    for key, cond in where.items():
        if key == "$and":
            ok = all(matches(f, meta) for f in cond)
        elif key == "$or":
            ok = any(matches(f, meta) for f in cond)
        elif isinstance(cond, dict):
            ok = all(_op_holds(meta, key, op, v) for op, v in cond.items())
        else:
            ok = _op_holds(meta, key, "$eq", cond)
        if not ok:
            return False
    return True


# --- the property -------------------------------------------------------------

WORDS = ["river", "stone", "bridge", "tower", "field"]


@settings(max_examples=200, deadline=None)
@given(
    metas=st.lists(METADATA, min_size=1, max_size=30),
    where=FILTERS,
    seed=st.integers(0, 2**32 - 1),
    k=st.integers(1, 8),
)
def test_filtered_search_is_the_exact_top_k_of_the_matching_documents(metas, where, seed, k):
    rng = np.random.default_rng(seed)
    n = len(metas)
    ids = [f"d{i}" for i in range(n)]
    texts = [" ".join(rng.choice(WORDS, size=rng.integers(1, 4))) for _ in range(n)]
    col = Collection(dim=4)
    col.add(ids, texts, rng.standard_normal((n, 4)), metas)
    meta_of = {i: (m or {}) for i, m in zip(ids, metas)}
    allowed = {i for i in ids if matches(where, meta_of[i])}

    vec = rng.standard_normal(4).astype(np.float32)
    dense_all = col.search(vector=vec, k=n)
    assert {h.id for h in col.search(vector=vec, k=n, where=where)} == allowed
    expect = [(h.id, h.score) for h in dense_all if h.id in allowed][:k]
    assert [(h.id, h.score) for h in col.search(vector=vec, k=k, where=where)] == expect

    # keyword scores keep the whole collection's statistics under a filter
    text = "river tower"
    keyword_all = col.search(text, k=n)
    expect = [(h.id, h.score) for h in keyword_all if h.id in allowed][:k]
    assert [(h.id, h.score) for h in col.search(text, k=k, where=where)] == expect

    hits = col.search(text, vec, k=k, where=where, depth=n)
    assert {h.id for h in hits} <= allowed and len(hits) == min(k, len(allowed))


def test_numbers_compare_across_types_and_bool_is_not_a_number():
    col = Collection(dim=2)
    metas = [{"n": 2}, {"n": 2.0}, {"n": True}, {"n": "2"}, {}, {"n": 2**53 + 1}]
    col.add([f"d{i}" for i in range(6)], ["text"] * 6, metadata=metas)

    def ids(where):
        return sorted(h.id for h in col.search("text", k=10, where=where))

    assert ids({"n": 2}) == ids({"n": np.int64(2)}) == ids({"n": np.float32(2)}) == ["d0", "d1"]
    assert ids({"n": 1}) == []
    assert ids({"n": True}) == ids({"n": np.bool_(True)}) == ["d2"]
    assert ids({"n": {"$ne": 2}}) == ["d2", "d3", "d4", "d5"]
    assert ids({"n": {"$gt": 2.0**53}}) == ["d5"]  # compared exactly, not rounded to double
    assert ids({"n": {"$nin": [2, "2"]}}) == ["d2", "d4", "d5"]


@pytest.mark.parametrize(
    "where, message",
    [
        ({"n": {"$regex": "x"}}, "unknown operator '$regex'"),
        ({"n": {"gt": 1}}, "operators start with '$'"),
        ({"$nor": [{"n": 1}]}, "unknown operator '$nor'"),
        ({"$or": []}, "$or takes a non-empty list of filters"),
        ({"$and": {"n": 1}}, "$and takes a non-empty list of filters"),
        ({"$or": [{"n": 1}, "n"]}, r"$or[1]: a filter must be a dict, got str"),
        ({"n": {"$in": "abc"}}, "expected a list of values, got str"),
        ({"n": {"$in": [1, None]}}, "None is not a metadata value"),
        ({"n": [1, 2]}, "use {'$in': [...]}"),
        ({"n": {}}, "empty operator dict"),
        ({"n": float("nan")}, "nan is not a finite number"),
        ({"n": {"$lt": 2**64}}, "outside the 64-bit range"),
        ({1: 2}, "keys must be str"),
        ("n == 1", "where must be a dict, got str"),
    ],
)
def test_malformed_filters_are_explained(where, message):
    col = Collection(dim=2)
    col.add(["d"], ["t"], metadata=[{"n": 1}])
    with pytest.raises(vesk.FilterError) as info:
        col.search("t", where=where)
    assert message in str(info.value)
    assert isinstance(info.value, ValueError)
