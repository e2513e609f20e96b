"""The Index class through the binding: constructor, document methods, query,
persistence, error mapping, and the NumPy buffer path for embeddings."""

import array

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import vesk_core
from vesk_core import (
    AddDocumentsOptions,
    DocumentInfo,
    GetDocumentsOptions,
    Index,
    ModelRef,
    SerializedIndex,
)

from conftest import unit

ALPHA_DEFAULT_F32 = 0.800000011920929


def ids(docs):
    return [d.id for d in docs]


def scored(result):
    return [(d.id, d.score) for d in result.docs]


def embedding_bits(index):
    """The stored embeddings as exact float64 bit patterns (NaNs included)."""
    rows = index.serialize().embeddings
    return [np.array(r, dtype=np.float64).view(np.uint64).tolist() for r in rows]


class TestConstructor:
    @pytest.mark.parametrize("model, dim", [("vesk-minilm", 384), ("vesk-mediumlm", 1024)])
    def test_models(self, model, dim):
        idx = Index("a", model)
        assert idx.serialize().dimension == dim
        info = idx.get_info()
        assert info.model.id == model and info.model.version == "0.2.3"

    @pytest.mark.parametrize(
        "model_id", ["", "VESK-MINILM", " vesk-minilm", "vesk-minilm ", "vesk", "vesk-minilm\x00"]
    )
    def test_unknown_model_id(self, model_id):
        with pytest.raises(ValueError) as e:
            Index("a", model_id)
        assert str(e.value) == (
            f"Invalid VeskModel '{model_id}'. Expected 'vesk-minilm' or 'vesk-mediumlm'."
        )

    def test_binding(self):
        assert Index(name="a", model_id="vesk-minilm").get_info().name == "a"
        assert Index("a", model_id="vesk-mediumlm").get_info().model.id == "vesk-mediumlm"
        with pytest.raises(TypeError) as e:
            Index("a")
        assert str(e.value) == "Index.__new__() missing 1 required positional argument: 'model_id'"
        with pytest.raises(TypeError) as e:
            Index("a", "vesk-minilm", "x")
        assert str(e.value) == "Index.__new__() takes 2 positional arguments but 3 were given"
        with pytest.raises(TypeError) as e:
            Index(1, "nonsense")
        assert str(e.value) == "argument 'name': 'int' object cannot be converted to 'PyString'"
        with pytest.raises(TypeError) as e:
            Index("a", None)
        assert str(e.value) == (
            "argument 'model_id': 'NoneType' object cannot be converted to 'PyString'"
        )

    def test_fresh_index_info(self, index):
        info = index.get_info()
        assert info.id == info.name == "test-index"
        assert info.version == "0.2.3" and info.status == "Ready" and info.doc_count == 0
        assert info.created_at == info.updated_at
        assert len(info.created_at) == 20 and info.created_at.endswith("Z")

    def test_no_extra_behaviour(self, index):
        with pytest.raises(TypeError):
            len(index)
        with pytest.raises(TypeError):
            iter(index)
        with pytest.raises(AttributeError):
            index.extra = 1


class TestDocuments:
    def test_add_upsert_skip_counts(self, index):
        d = [DocumentInfo("a", "one"), DocumentInfo("b", "two")]
        assert index.add_documents(d, [unit(0), unit(1)]) == (2, 0)
        assert index.add_documents([DocumentInfo("a", "uno")], [unit(2)]) == (0, 1)
        skip = AddDocumentsOptions(upsert=False)
        assert index.add_documents([DocumentInfo("b", "dos")], [unit(3)], skip) == (0, 0)
        assert index.add_documents(
            [DocumentInfo("c", "tres"), DocumentInfo("c", "again")],
            [unit(4), unit(5)],
            options=AddDocumentsOptions(),
        ) == (1, 1)
        assert index.add_documents([], []) == (0, 0)
        docs = index.get_documents()
        assert ids(docs) == ["a", "b", "c"]
        assert [d.text for d in docs] == ["uno", "two", "again"]
        assert index.doc_count == 3 == index.get_info().doc_count

    def test_options_none_is_default_upsert(self, index):
        index.add_documents([DocumentInfo("a", "one")], [unit(0)])
        assert index.add_documents([DocumentInfo("a", "two")], [unit(0)], None) == (0, 1)
        assert index.get_documents()[0].text == "two"

    def test_length_mismatch_leaves_index_unchanged(self, filled):
        before = filled.get_info()
        with pytest.raises(ValueError) as e:
            filled.add_documents([DocumentInfo("x", "t"), DocumentInfo("y", "t")], [unit(0)])
        assert str(e.value) == "Length of embeddings must match length of docs"
        after = filled.get_info()
        assert filled.doc_count == 3 and after.updated_at == before.updated_at
        assert ids(filled.get_documents()) == ["a", "b", "c"]

    @pytest.mark.parametrize(
        "docs, embeddings, message",
        [
            ([{"id": "x"}], [[1.0]], "argument 'docs': 'dict' object cannot be converted to 'DocumentInfo'"),
            ("x", [[1.0]], "argument 'docs': Can't extract `str` to `Vec`"),
            ([DocumentInfo("x", "t")], [[1.0], "ab"], "argument 'embeddings': Can't extract `str` to `Vec`"),
            ([DocumentInfo("x", "t")], [[1.0, None]], "argument 'embeddings': must be real number, not NoneType"),
            ([DocumentInfo("x", "t")], (r for r in [[1.0]]), "argument 'embeddings': 'generator' object cannot be converted to 'Sequence'"),
            ([DocumentInfo("x", "t")], [1.0], "argument 'embeddings': 'float' object cannot be converted to 'Sequence'"),
        ],
    )
    def test_conversion_errors_change_nothing(self, filled, docs, embeddings, message):
        with pytest.raises(TypeError) as e:
            filled.add_documents(docs, embeddings)
        assert str(e.value) == message
        assert ids(filled.get_documents()) == ["a", "b", "c"]

    def test_option_type_errors(self, filled):
        with pytest.raises(TypeError) as e:
            filled.add_documents([], [], GetDocumentsOptions())
        assert str(e.value) == (
            "argument 'options': 'GetDocumentsOptions' object cannot be converted to "
            "'AddDocumentsOptions'"
        )
        with pytest.raises(TypeError) as e:
            filled.get_documents({"doc_ids": ["a"]})
        assert str(e.value) == (
            "argument 'options': 'dict' object cannot be converted to 'GetDocumentsOptions'"
        )

    def test_binding_errors(self, index):
        cases = [
            (lambda: index.add_documents([]), "Index.add_documents() missing 1 required positional argument: 'embeddings'"),
            (lambda: index.add_documents(), "Index.add_documents() missing 2 required positional arguments: 'docs' and 'embeddings'"),
            (lambda: index.add_documents([], [], None, None), "Index.add_documents() takes from 2 to 3 positional arguments but 4 were given"),
            (lambda: index.delete_documents([], []), "Index.delete_documents() takes 1 positional arguments but 2 were given"),
            (lambda: index.delete_documents(ids=[]), "Index.delete_documents() got an unexpected keyword argument 'ids'"),
            (lambda: index.get_documents(None, None), "Index.get_documents() takes from 0 to 1 positional arguments but 2 were given"),
            (lambda: index.deserialize(), "Index.deserialize() missing 1 required positional argument: 'data'"),
            (lambda: index.get_info(1), "Index.get_info() takes no arguments (1 given)"),
        ]
        for call, message in cases:
            with pytest.raises(TypeError) as e:
                call()
            assert str(e.value) == message

    def test_keywords_accepted(self, index):
        assert index.add_documents(docs=[DocumentInfo("a", "t")], embeddings=[unit(0)]) == (1, 0)
        assert ids(index.get_documents(options=GetDocumentsOptions(doc_ids=["a"]))) == ["a"]
        assert index.delete_documents(doc_ids=["a"]) == 1

    def test_delete(self, filled):
        assert filled.delete_documents(["x", "nope"]) == 0
        assert filled.delete_documents(("b", "b", "missing")) == 1
        assert ids(filled.get_documents()) == ["a", "c"]
        with pytest.raises(TypeError, match=r"^argument 'doc_ids': Can't extract `str` to `Vec`$"):
            filled.delete_documents("a")
        assert filled.doc_count == 2

    def test_get_documents_filter_keeps_storage_order(self, filled):
        assert ids(filled.get_documents(GetDocumentsOptions(["c", "a", "zz", "a"]))) == ["a", "c"]
        assert filled.get_documents(GetDocumentsOptions([])) == []
        assert ids(filled.get_documents(GetDocumentsOptions())) == ["a", "b", "c"]
        assert ids(filled.get_documents(None)) == ["a", "b", "c"]

    def test_documents_roundtrip_with_metadata_states(self, filled):
        a, b, c = filled.get_documents()
        assert (a.text, a.metadata) == ("the quick brown fox", {"colour": "brown"})
        assert b.metadata is None
        assert c.metadata == {}
        assert type(a) is DocumentInfo

    def test_metadata_order_survives_the_index(self, index):
        meta = {f"key{i}": f"value{i}" for i in range(30, 0, -1)}
        index.add_documents([DocumentInfo("a", "t", meta)], [unit(0)])
        assert list(index.get_documents()[0].metadata.items()) == list(meta.items())

    def test_documents_are_copied_both_ways(self, index):
        d = DocumentInfo("a", "original", {"k": "v"})
        emb = unit(0)
        index.add_documents([d], [emb])
        d.text = "changed"
        emb[0] = 5.0
        stored = index.get_documents()[0]
        assert stored.text == "original"
        stored.text = "changed too"
        stored.metadata = None
        again = index.get_documents()[0]
        assert again.text == "original" and again.metadata == {"k": "v"}
        assert index.serialize().embeddings[0][0] == 1.0

    def test_doc_count_is_read_only(self, filled):
        with pytest.raises(AttributeError):
            filled.doc_count = 5
        with pytest.raises(AttributeError):
            del filled.doc_count
        assert filled.doc_count == 3

    def test_clear(self, filled):
        created = filled.get_info().created_at
        assert filled.clear() is None
        assert filled.doc_count == 0 and filled.get_documents() == []
        info = filled.get_info()
        assert info.status == "Ready" and info.doc_count == 0 and info.created_at == created

    def test_receiver_must_be_an_index(self):
        with pytest.raises(TypeError):
            Index.get_info(DocumentInfo("a", "t"))
        with pytest.raises(TypeError):
            Index.doc_count.__get__(DocumentInfo("a", "t"))


class TestQuery:
    def test_default_alpha_is_float32_point_eight(self, filled):
        emb = unit(1)
        default = scored(filled.query("fox", 3, emb))
        assert scored(filled.query("fox", 3, emb, None)) == default
        assert scored(filled.query("fox", 3, emb, alpha=None)) == default
        assert scored(filled.query("fox", 3, emb, ALPHA_DEFAULT_F32)) == default
        assert scored(filled.query("fox", 3, emb, 0.8)) == default
        assert scored(filled.query("fox", 3, emb, 0.5)) != default

    def test_result_fields(self, filled):
        r = filled.query("  fox  ", top_k=2, query_embedding=unit(0), alpha=1.0)
        assert type(r) is vesk_core.SearchResult
        assert r.query == "  fox  " and r.index_name == "test-index"
        assert isinstance(r.time_taken_ms, int) and r.time_taken_ms >= 0
        assert scored(r)[0] == ("a", 1.0)
        assert len(r.docs) == 2
        assert type(r.docs[0]) is vesk_core.QueryResultDocumentInfo
        assert r.docs[0].text == "the quick brown fox"
        assert r.docs[0].metadata == {"colour": "brown"}

    def test_result_does_not_alias_the_index(self, filled):
        r = filled.query("fox", 3, unit(0), 1.0)
        docs = r.docs
        docs[0].text = "changed"
        r.docs = []
        assert filled.get_documents()[0].text == "the quick brown fox"
        assert scored(filled.query("fox", 3, unit(0), 1.0))[0] == ("a", 1.0)

    def test_top_k_rules(self, filled):
        with pytest.raises(TypeError) as e:
            filled.query("q", query_embedding=unit(0))
        assert str(e.value) == "Index.query() missing 1 required positional argument: 'top_k'"
        with pytest.raises(OverflowError):
            filled.query("q", -1, unit(0))
        with pytest.raises(TypeError) as e:
            filled.query("q", 3.0, unit(0))
        assert str(e.value) == (
            "argument 'top_k': 'float' object cannot be interpreted as an integer"
        )
        assert filled.query("q", 0, unit(0)).docs == []
        assert len(filled.query("fox", True, unit(0), 1.0).docs) == 1
        assert len(filled.query("fox", np.int64(2), unit(0), 1.0).docs) == 2

    def test_argument_errors(self, filled):
        cases = [
            (lambda: filled.query("q", 1, [], 0.5, 1), TypeError, "Index.query() takes from 3 to 4 positional arguments but 5 were given"),
            (lambda: filled.query("q", 1, [], query="x"), TypeError, "Index.query() got multiple values for argument 'query'"),
            (lambda: filled.query("q", 1, [], k=1), TypeError, "Index.query() got an unexpected keyword argument 'k'"),
            (lambda: filled.query(b"q", -1, "x"), TypeError, "argument 'query': 'bytes' object cannot be converted to 'PyString'"),
            (lambda: filled.query("q", 1, "abc"), TypeError, "argument 'query_embedding': Can't extract `str` to `Vec`"),
            (lambda: filled.query("q", 1, [], "0.5"), TypeError, "argument 'alpha': must be real number, not str"),
        ]
        for call, exc, message in cases:
            with pytest.raises(exc) as e:
                call()
            assert str(e.value) == message

    def test_embedding_length_mismatch_panics_and_index_stays_usable(
        self, filled, panic_exception, capfd
    ):
        with pytest.raises(panic_exception) as e:
            filled.query("fox", 3, [])
        assert "mismatch" in str(e.value)
        err = capfd.readouterr().err
        assert str(e.value) in err
        # Not an Exception: a bare `except Exception` does not swallow it.
        with pytest.raises(panic_exception):
            try:
                filled.query("fox", 3, [1.0, 2.0])
            except Exception:  # noqa: BLE001
                pytest.fail("PanicException was caught as Exception")
        # The access cell and the borrow were released.
        assert filled.query("quick", 3, [], alpha=0).docs[0].id == "a"
        assert filled.add_documents([DocumentInfo("d", "t")], [unit(3)]) == (1, 0)
        assert filled.doc_count == 4

    def test_nan_alpha_panics(self, filled, panic_exception):
        with pytest.raises(panic_exception, match="alpha must be between 0.0 and 1.0"):
            filled.query("fox", 3, unit(0), float("nan"))

    def test_keyword_only_needs_no_embedding(self, filled):
        r = filled.query("quick", 3, [], alpha=0.0)
        assert ids(r.docs)[0] == "a"

    def test_empty_index(self, index):
        r = index.query("anything", 5, [], float("nan"))
        assert r.docs == [] and r.query == "anything" and r.index_name == "test-index"


class TestPersistence:
    def test_serialize(self, filled):
        s = filled.serialize()
        assert (s.name, s.version, s.dimension) == ("test-index", "0.2.3", 384)
        assert (s.model.id, s.model.version) == ("vesk-minilm", "0.2.3")
        assert s.doc_ids == ["a", "b", "c"]
        assert s.embeddings == [unit(0), unit(1), unit(2)]
        s.doc_ids = []
        assert filled.serialize().doc_ids == ["a", "b", "c"]

    def test_round_trip_into_another_index(self, filled):
        data = filled.serialize()
        other = Index("other", "vesk-mediumlm")
        created = other.get_info().created_at
        assert other.deserialize(data) is None
        info = other.get_info()
        assert (info.name, info.model.id, info.created_at) == ("test-index", "vesk-minilm", created)
        out = other.serialize()
        assert out.dimension == 384 and out.doc_ids == data.doc_ids
        assert out.embeddings == data.embeddings
        docs = other.get_documents()
        assert [(d.text, d.metadata) for d in docs] == [("", {})] * 3
        assert ids(other.query("q", 3, unit(2), 1.0).docs)[0] == "c"
        # The argument stays usable and unchanged.
        assert data.doc_ids == ["a", "b", "c"]
        other.deserialize(data=data)

    @pytest.mark.parametrize(
        "overrides, message",
        [
            ({"name": "   "}, "Invalid serialized index: missing or invalid name"),
            ({"doc_ids": ["a", "b", "c"], "embeddings": [[1.0], [2.0]]},
             "Invalid serialized index: embeddings array length must match docIds array length"),
            ({"doc_ids": [], "embeddings": [[1.0], [2.0]]},
             "Invalid serialized index: embeddings array length must match docIds array length"),
        ],
    )
    def test_rejected_records_leave_index_unchanged(self, filled, overrides, message):
        fields = dict(name="new", version="9", model=ModelRef("vesk-minilm", "0.2.3"),
                      dimension=2, embeddings=[[1.0, 2.0]], doc_ids=["x"])
        fields.update(overrides)
        with pytest.raises(ValueError) as e:
            filled.deserialize(SerializedIndex(**fields))
        assert str(e.value) == message
        assert filled.get_info().name == "test-index"
        assert ids(filled.get_documents()) == ["a", "b", "c"]

    def test_unknown_model_id_is_a_partial_update(self, filled):
        data = SerializedIndex("renamed", "7.7", ModelRef("other-model", "1"), 2, [], ["x"])
        with pytest.raises(ValueError) as e:
            filled.deserialize(data)
        assert str(e.value) == "Unknown model id: other-model"
        info = filled.get_info()
        assert info.name == "renamed" and info.version == "7.7"
        assert info.model.id == "vesk-minilm"
        assert ids(filled.get_documents()) == ["a", "b", "c"]

    def test_error_texts_keep_every_character(self, index):
        data = SerializedIndex("n", "1", ModelRef("odd\x00id ✓", "1"), 2, [], [])
        with pytest.raises(ValueError) as e:
            index.deserialize(data)
        assert str(e.value) == "Unknown model id: odd\x00id ✓"

    def test_ids_without_embeddings(self, index):
        index.deserialize(SerializedIndex("n", "", ModelRef("vesk-minilm", "x"), 0, [], ["a", "b"]))
        assert index.doc_count == 2
        assert index.serialize().dimension == 384
        assert index.get_info().version == "0.2.3"

    def test_wrong_argument_type(self, filled):
        with pytest.raises(TypeError) as e:
            filled.deserialize({})
        assert str(e.value) == (
            "argument 'data': 'dict' object cannot be converted to 'SerializedIndex'"
        )


texts = st.text(st.characters(exclude_categories=("Cs",)))


@settings(max_examples=40, deadline=None)
@given(
    docs=st.lists(
        st.tuples(texts, texts, st.none() | st.dictionaries(texts, texts, max_size=4)),
        max_size=5,
        unique_by=lambda d: d[0],
    )
)
def test_documents_round_trip_exactly(docs):
    idx = Index("rt", "vesk-minilm")
    added, updated = idx.add_documents([DocumentInfo(*d) for d in docs], [[1.0]] * len(docs))
    assert (added, updated) == (len(docs), 0)
    back = [(d.id, d.text, d.metadata) for d in idx.get_documents()]
    assert back == docs
    for (_, _, meta), (_, _, meta_back) in zip(docs, back):
        if meta is not None:
            assert list(meta_back) == list(meta)


# ---------------------------------------------------------------------------
# Embeddings read from buffers give exactly what item-by-item reading gives.


def add_and_read(embeddings, n=None):
    idx = Index("buf", "vesk-minilm")
    count = len(embeddings) if n is None else n
    idx.add_documents([DocumentInfo(str(i), "") for i in range(count)], embeddings)
    return embedding_bits(idx)


def item_by_item(arr):
    """The same numbers as Python lists of NumPy scalars: the general path."""
    return [[x for x in row] for row in arr]


float32_arrays = hnp.arrays(
    np.float32,
    st.tuples(st.integers(0, 5), st.integers(0, 9)),
    elements=st.floats(width=32, allow_nan=True, allow_infinity=True),
)
float64_arrays = hnp.arrays(
    np.float64,
    st.tuples(st.integers(0, 5), st.integers(0, 9)),
    elements=st.floats(allow_nan=True, allow_infinity=True),
)


class TestBufferPath:
    @settings(max_examples=60, deadline=None)
    @given(arr=st.one_of(float32_arrays, float64_arrays))
    def test_2d_arrays_match_lists_bit_for_bit(self, arr):
        expected = add_and_read(item_by_item(arr))
        assert add_and_read(arr) == expected
        assert add_and_read(list(arr)) == expected
        assert add_and_read(arr.tolist()) == expected
        s = SerializedIndex("n", "v", ModelRef("vesk-minilm", "v"), 1, arr, [])
        assert s.embeddings == SerializedIndex(
            "n", "v", ModelRef("vesk-minilm", "v"), 1, item_by_item(arr), []).embeddings or (
            np.isnan(arr).any())

    def test_signalling_nan_is_quieted_like_a_python_float(self):
        bits = np.array([[0x7F800001, 0xFF800001, 0x7FC00001, 0x3F800000]], dtype=np.uint32)
        arr = bits.view(np.float32)
        assert add_and_read(arr) == add_and_read(item_by_item(arr))
        assert add_and_read(arr) == add_and_read(arr.tolist())

    def test_float64_rounding_and_overflow(self):
        arr = np.array([[0.1, 1e39, -1e39, 3.4028235677973362e38, 1e-46, np.nan]])
        assert add_and_read(arr) == add_and_read(arr.tolist())

    @pytest.mark.parametrize(
        "make",
        [
            lambda a: np.asfortranarray(a),
            lambda a: a[:, ::2],
            lambda a: a[::2],
            lambda a: a.astype(">f4"),
            lambda a: a.astype(np.float16),
            lambda a: a.astype(np.int32),
            lambda a: a.astype(object),
            lambda a: [memoryview(row.copy()) for row in a],
            lambda a: [array.array("f", row.tolist()) for row in a],
            lambda a: [array.array("d", row.tolist()) for row in a],
            lambda a: [array.array("i", [int(x) for x in row]) for row in a],
            lambda a: [row.astype(np.float64) for row in a],
            lambda a: memoryview(np.ascontiguousarray(a)).tolist(),
        ],
    )
    def test_other_layouts_and_types_match_the_general_path(self, make):
        base = (np.arange(24, dtype=np.float32).reshape(4, 6) - 7.3) / 3
        value = make(base)
        reference = [[x for x in row] for row in value]
        assert add_and_read(value) == add_and_read(reference)

    def test_wrong_shapes_fail_like_the_general_path(self):
        def error(embeddings, n):
            idx = Index("buf", "vesk-minilm")
            with pytest.raises(TypeError) as e:
                idx.add_documents([DocumentInfo(str(i), "") for i in range(n)], embeddings)
            assert idx.doc_count == 0
            return str(e.value)

        cube = np.ones((2, 3, 4), dtype=np.float32)
        assert error(cube, 2) == error([[x for x in row] for row in cube], 2)
        assert error(cube, 2).startswith("argument 'embeddings': ")
        flat = np.ones(3, dtype=np.float32)
        assert error(flat, 3) == error([x for x in flat], 3)
        scalar = np.array(1.0, dtype=np.float32)
        msg = error(scalar, 1)
        with pytest.raises(TypeError) as e:
            iter(scalar)
        assert msg == f"argument 'embeddings': {e.value}"
        text = np.array([["1.0", "x"]], dtype=object)
        assert error(text, 1) == error([["1.0", "x"]], 1) == (
            "argument 'embeddings': must be real number, not str"
        )
        # 2-D memoryviews cannot be iterated, and the binding does not pretend.
        with pytest.raises(NotImplementedError):
            add_and_read(memoryview(np.ones((2, 2), dtype=np.float32)))

    def test_query_embedding_buffers(self, filled):
        q = np.array(unit(1), dtype=np.float32) * np.float32(0.3)
        expected = scored(filled.query("fox dog", 3, q.tolist()))
        assert scored(filled.query("fox dog", 3, q)) == expected
        assert scored(filled.query("fox dog", 3, q.astype(np.float64))) == expected
        assert scored(filled.query("fox dog", 3, array.array("f", q.tolist()))) == expected
        assert scored(filled.query("fox dog", 3, memoryview(q))) == expected
        assert scored(filled.query("fox dog", 3, q[np.newaxis, :][0])) == expected
        with pytest.raises(TypeError) as e:
            filled.query("fox", 3, q.reshape(1, -1))
        with pytest.raises(TypeError) as e2:
            filled.query("fox", 3, [row for row in q.reshape(1, -1)])
        assert str(e.value) == str(e2.value)

    def test_buffer_is_released(self):
        a = array.array("f", [1.0, 2.0])
        add_and_read([a])
        a.append(3.0)  # raises BufferError if an export were still held
        assert len(a) == 3

    def test_add_uses_a_copy_of_the_array(self):
        arr = np.ones((2, 3), dtype=np.float32)
        idx = Index("buf", "vesk-minilm")
        idx.add_documents([DocumentInfo("a", ""), DocumentInfo("b", "")], arr)
        arr[:] = 7
        assert idx.serialize().embeddings == [[1.0] * 3] * 2
