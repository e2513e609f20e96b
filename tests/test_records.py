"""The record classes as a user meets them: construction, attributes, copies,
and the conversion rules (with their error texts) that every call shares."""

import array
import math
import struct

import numpy as np
import pytest

from vesk_core import (
    AddDocumentsOptions,
    DocumentInfo,
    GetDocumentsOptions,
    IndexInfo,
    IndexStatus,
    ModelRef,
    QueryResultDocumentInfo,
    SearchResult,
    SerializedIndex,
)


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def make_info(**overrides):
    fields = dict(
        id="i",
        name="n",
        version="0.2.3",
        status="Ready",
        doc_count=3,
        created_at="2026-01-01T00:00:00Z",
        updated_at="2026-01-02T00:00:00Z",
        model=ModelRef("vesk-minilm", "0.2.3"),
    )
    fields.update(overrides)
    return IndexInfo(**fields)


def make_serialized(**overrides):
    fields = dict(
        name="n",
        version="1",
        model=ModelRef("vesk-minilm", "0.2.3"),
        dimension=2,
        embeddings=[[1.0, 2.0], [3.0, 4.0]],
        doc_ids=["a", "b"],
    )
    fields.update(overrides)
    return SerializedIndex(**fields)


# One sample instance per class, with an attribute and a valid new value.
SAMPLES = [
    (lambda: ModelRef("m", "1"), "id", "x"),
    (lambda: IndexStatus("Ready"), "value", "Failed"),
    (make_info, "doc_count", 7),
    (lambda: DocumentInfo("a", "t"), "text", "u"),
    (lambda: QueryResultDocumentInfo("a", "t"), "score", 0.5),
    (lambda: SearchResult([], "q"), "query", "r"),
    (lambda: AddDocumentsOptions(), "upsert", False),
    (lambda: GetDocumentsOptions(), "doc_ids", ["a"]),
    (make_serialized, "dimension", 3),
]
SAMPLE_IDS = [
    "ModelRef",
    "IndexStatus",
    "IndexInfo",
    "DocumentInfo",
    "QueryResultDocumentInfo",
    "SearchResult",
    "AddDocumentsOptions",
    "GetDocumentsOptions",
    "SerializedIndex",
]


class TestConstructors:
    def test_model_ref(self):
        m = ModelRef("vesk-minilm", version="0.2.3")
        assert (m.id, m.version) == ("vesk-minilm", "0.2.3")

    def test_index_status(self):
        assert IndexStatus.Ready == "Ready"
        assert type(IndexStatus.Ready) is str
        assert [IndexStatus.NotStarted, IndexStatus.Building, IndexStatus.Failed] == [
            "NotStarted",
            "Building",
            "Failed",
        ]
        assert IndexStatus("Whatever").value == "Whatever"

    def test_index_info(self):
        info = make_info()
        assert info.id == "i" and info.name == "n" and info.version == "0.2.3"
        assert info.status == "Ready" and info.doc_count == 3
        assert info.created_at == "2026-01-01T00:00:00Z"
        assert info.updated_at == "2026-01-02T00:00:00Z"
        assert info.model.id == "vesk-minilm"
        assert make_info(status="anything").status == "anything"

    def test_document_info_metadata_absent_empty_and_filled(self):
        assert DocumentInfo("a", "t").metadata is None
        assert DocumentInfo("a", "t", None).metadata is None
        assert DocumentInfo("a", "t", {}).metadata == {}
        assert DocumentInfo("a", "t", metadata={"k": "v"}).metadata == {"k": "v"}

    def test_metadata_keeps_insertion_order(self):
        keys = [f"k{i}" for i in range(50, 0, -1)]
        d = DocumentInfo("a", "t", {k: k.upper() for k in keys})
        assert list(d.metadata) == keys
        assert list(d.metadata.values()) == [k.upper() for k in keys]

    def test_query_result_defaults_and_float32_score(self):
        assert QueryResultDocumentInfo("a", "t").score == 0.0
        assert QueryResultDocumentInfo("a", "t").metadata is None
        assert QueryResultDocumentInfo("a", "t", score=0.1).score == 0.10000000149011612
        assert QueryResultDocumentInfo("a", "t", None, 3).score == 3.0

    def test_search_result(self):
        r = SearchResult([QueryResultDocumentInfo("a", "t", score=1.0)], "q")
        assert [d.id for d in r.docs] == ["a"]
        assert r.query == "q" and r.index_name is None and r.time_taken_ms is None
        r = SearchResult((), "q", "idx", 12)
        assert (r.docs, r.index_name, r.time_taken_ms) == ([], "idx", 12)

    def test_add_documents_options(self):
        assert AddDocumentsOptions().upsert is True
        assert AddDocumentsOptions(False).upsert is False
        assert AddDocumentsOptions(upsert=np.bool_(False)).upsert is False
        assert AddDocumentsOptions(np.True_).upsert is True

    def test_get_documents_options(self):
        assert GetDocumentsOptions().doc_ids is None
        assert GetDocumentsOptions(None).doc_ids is None
        assert GetDocumentsOptions(("a", "b")).doc_ids == ["a", "b"]
        assert GetDocumentsOptions([]).doc_ids == []

    def test_serialized_index_does_not_check_lengths(self):
        s = SerializedIndex("n", "1", ModelRef("vesk-minilm", "0.2.3"), 2, [[1.0, 2.0]], ["a", "b"])
        assert s.embeddings == [[1.0, 2.0]] and s.doc_ids == ["a", "b"]
        assert s.dimension == 2 and s.model.version == "0.2.3"

    def test_identity_semantics(self):
        a, b = DocumentInfo("a", "t"), DocumentInfo("a", "t")
        assert a != b and a == a
        assert repr(a).startswith("<builtins.DocumentInfo object at 0x")
        assert hash(a) != hash(b)


class TestBindingErrors:
    def test_missing_required(self):
        with pytest.raises(TypeError) as e:
            DocumentInfo("a")
        assert str(e.value) == "DocumentInfo.__new__() missing 1 required positional argument: 'text'"
        with pytest.raises(TypeError) as e:
            ModelRef()
        assert str(e.value) == (
            "ModelRef.__new__() missing 2 required positional arguments: 'id' and 'version'"
        )
        with pytest.raises(TypeError) as e:
            IndexInfo("i", "n")
        assert str(e.value) == (
            "IndexInfo.__new__() missing 6 required positional arguments: 'version', "
            "'status', 'doc_count', 'created_at', 'updated_at', and 'model'"
        )

    def test_too_many_positional(self):
        with pytest.raises(TypeError) as e:
            ModelRef("a", "b", "c")
        assert str(e.value) == "ModelRef.__new__() takes 2 positional arguments but 3 were given"
        with pytest.raises(TypeError) as e:
            DocumentInfo("a", "t", None, 1)
        assert str(e.value) == (
            "DocumentInfo.__new__() takes from 2 to 3 positional arguments but 4 were given"
        )
        with pytest.raises(TypeError) as e:
            AddDocumentsOptions(True, False)
        assert str(e.value) == (
            "AddDocumentsOptions.__new__() takes from 0 to 1 positional arguments but 2 were given"
        )
        with pytest.raises(TypeError) as e:
            IndexStatus("a", "b")
        assert str(e.value) == "IndexStatus.__new__() takes 1 positional arguments but 2 were given"

    def test_keywords(self):
        d = DocumentInfo(text="t", id="a", metadata={"k": "v"})
        assert (d.id, d.text) == ("a", "t")
        with pytest.raises(TypeError) as e:
            DocumentInfo("a", "t", meta={})
        assert str(e.value) == "DocumentInfo.__new__() got an unexpected keyword argument 'meta'"
        with pytest.raises(TypeError) as e:
            DocumentInfo("a", "t", id="b")
        assert str(e.value) == "DocumentInfo.__new__() got multiple values for argument 'id'"

    def test_first_failing_argument_is_reported(self):
        with pytest.raises(TypeError, match="^argument 'id': "):
            DocumentInfo(1, 2)


class TestConversionErrors:
    """Every conversion error is "argument '<name>': <text>" with the original
    TypeError as __cause__."""

    @pytest.mark.parametrize(
        "make, message",
        [
            (lambda: ModelRef(1, "v"), "argument 'id': 'int' object cannot be converted to 'PyString'"),
            (lambda: DocumentInfo("a", b"t"), "argument 'text': 'bytes' object cannot be converted to 'PyString'"),
            (lambda: DocumentInfo("a", "t", {"k": 1}), "argument 'metadata': 'int' object cannot be converted to 'PyString'"),
            (lambda: DocumentInfo("a", "t", {1: "v"}), "argument 'metadata': 'int' object cannot be converted to 'PyString'"),
            (lambda: DocumentInfo("a", "t", [("k", "v")]), "argument 'metadata': 'list' object cannot be converted to 'PyDict'"),
            (lambda: make_info(model={"id": "x"}), "argument 'model': 'dict' object cannot be converted to 'ModelRef'"),
            (lambda: make_info(model=IndexStatus("x")), "argument 'model': 'IndexStatus' object cannot be converted to 'ModelRef'"),
            (lambda: make_serialized(embeddings="ab"), "argument 'embeddings': Can't extract `str` to `Vec`"),
            (lambda: make_serialized(embeddings=["ab"]), "argument 'embeddings': Can't extract `str` to `Vec`"),
            (lambda: make_serialized(embeddings=[[1.0, "x"]]), "argument 'embeddings': must be real number, not str"),
            (lambda: make_serialized(doc_ids=(x for x in "ab")), "argument 'doc_ids': 'generator' object cannot be converted to 'Sequence'"),
            (lambda: make_serialized(doc_ids={"a": 1}), "argument 'doc_ids': 'dict' object cannot be converted to 'Sequence'"),
            (lambda: make_serialized(doc_ids={"a"}), "argument 'doc_ids': 'set' object cannot be converted to 'Sequence'"),
            (lambda: make_serialized(doc_ids=["a", 2]), "argument 'doc_ids': 'int' object cannot be converted to 'PyString'"),
            (lambda: GetDocumentsOptions("ab"), "argument 'doc_ids': Can't extract `str` to `Vec`"),
            (lambda: SearchResult([DocumentInfo("a", "t")], "q"), "argument 'docs': 'DocumentInfo' object cannot be converted to 'QueryResultDocumentInfo'"),
            (lambda: AddDocumentsOptions(1), "argument 'upsert': 'int' object cannot be converted to 'PyBool'"),
            (lambda: AddDocumentsOptions(None), "argument 'upsert': 'NoneType' object cannot be converted to 'PyBool'"),
            (lambda: AddDocumentsOptions(np.int64(1)), "argument 'upsert': 'int64' object cannot be converted to 'PyBool'"),
            (lambda: QueryResultDocumentInfo("a", "t", score="1"), "argument 'score': must be real number, not str"),
            (lambda: QueryResultDocumentInfo("a", "t", score=None), "argument 'score': must be real number, not NoneType"),
            (lambda: make_info(doc_count=2.0), "argument 'doc_count': 'float' object cannot be interpreted as an integer"),
            (lambda: make_info(doc_count=None), "argument 'doc_count': 'NoneType' object cannot be interpreted as an integer"),
            (lambda: SearchResult([], "q", time_taken_ms="3"), "argument 'time_taken_ms': 'str' object cannot be interpreted as an integer"),
        ],
    )
    def test_message_and_cause(self, make, message):
        with pytest.raises(TypeError) as e:
            make()
        assert str(e.value) == message
        cause = e.value.__cause__
        assert type(cause) is TypeError
        assert str(cause) == message.split(": ", 1)[1]
        assert e.value.__suppress_context__

    def test_qualified_type_name_of_nested_class(self):
        class Outer:
            class Inner:
                pass

        with pytest.raises(TypeError) as e:
            ModelRef(Outer.Inner(), "v")
        assert str(e.value) == (
            "argument 'id': 'TestConversionErrors.test_qualified_type_name_of_nested_class."
            "<locals>.Outer.Inner' object cannot be converted to 'PyString'"
        )

    def test_overflow_errors_pass_unwrapped(self):
        for bad in (-1, 2**64):
            with pytest.raises(OverflowError) as e:
                make_info(doc_count=bad)
            assert not str(e.value).startswith("argument")
        with pytest.raises(OverflowError):
            make_serialized(dimension=-1)
        with pytest.raises(OverflowError):
            SearchResult([], "q", time_taken_ms=-5)

    def test_encoding_errors_pass_unwrapped(self):
        with pytest.raises(UnicodeEncodeError):
            DocumentInfo("\udc80", "t")

    def test_errors_from_user_conversions_pass_unwrapped(self):
        class BadFloat:
            def __float__(self):
                raise ZeroDivisionError("nope")

        class BadIndex:
            def __index__(self):
                raise KeyError("nope")

        with pytest.raises(ZeroDivisionError):
            QueryResultDocumentInfo("a", "t", score=BadFloat())
        with pytest.raises(KeyError):
            make_info(doc_count=BadIndex())

    def test_type_error_subclasses_are_not_rewrapped(self):
        class MyTypeError(TypeError):
            pass

        class Weird:
            def __index__(self):
                raise MyTypeError("custom")

        with pytest.raises(MyTypeError, match="^custom$"):
            make_info(doc_count=Weird())


class TestScalarConversions:
    def test_counts(self):
        assert make_info(doc_count=True).doc_count == 1
        assert make_info(doc_count=np.uint64(2**64 - 1)).doc_count == 2**64 - 1

        class Idx:
            def __index__(self):
                return 9

        assert make_info(doc_count=Idx()).doc_count == 9

    def test_float32_rounding(self):
        for x in [0.1, 1 / 3, 1e-40, -2.5, 16777217.0, 3.4028235e38]:
            assert QueryResultDocumentInfo("a", "t", score=x).score == f32(x)

    def test_float32_overflow_and_nan(self):
        big = QueryResultDocumentInfo("a", "t", score=1e39).score
        assert big == math.inf
        assert QueryResultDocumentInfo("a", "t", score=-1e300).score == -math.inf
        assert math.isnan(QueryResultDocumentInfo("a", "t", score=math.nan).score)
        # Just below the rounding midpoint to 2**128 stays finite.
        assert QueryResultDocumentInfo("a", "t", score=3.4028235677973362e38).score == f32(
            3.4028235677973362e38
        )

    def test_float_accepts_numbers_and_number_like(self):
        class F:
            def __float__(self):
                return 2.5

        class I:
            def __index__(self):
                return 7

        for value, expected in [(F(), 2.5), (I(), 7.0), (True, 1.0), (np.float32(0.1), f32(0.1)),
                                (np.float64(0.1), f32(0.1)), (np.int32(4), 4.0)]:
            assert QueryResultDocumentInfo("a", "t", score=value).score == expected

    def test_text_subclasses_and_unicode(self):
        class S(str):
            pass

        d = DocumentInfo(S("id"), "naïve 日本語 \U0001f600")
        assert type(d.id) is str and d.id == "id"
        assert d.text == "naïve 日本語 \U0001f600"
        assert DocumentInfo("a\x00b", "").id == "a\x00b"


class TestSequences:
    def test_sequence_kinds_accepted(self):
        class Seq:
            def __len__(self):
                return 2

            def __getitem__(self, i):
                if i >= 2:
                    raise IndexError
                return "xy"[i]

        class LyingLen(Seq):
            def __len__(self):
                raise RuntimeError("len is only a hint")

        class L(list):
            pass

        for ids in (["x", "y"], ("x", "y"), Seq(), LyingLen(), L(["x", "y"])):
            assert GetDocumentsOptions(ids).doc_ids == ["x", "y"]

    def test_numeric_buffers_as_embeddings(self):
        rows = [[0.1, 0.2], [0.3, 0.4]]
        want = [[f32(v) for v in r] for r in rows]
        for value in (
            rows,
            np.array(rows, dtype=np.float32),
            np.array(rows, dtype=np.float64),
            [np.array(r, dtype=np.float32) for r in rows],
            [array.array("f", r) for r in rows],
            [array.array("d", r) for r in rows],
            [memoryview(array.array("f", r)) for r in rows],
        ):
            assert make_serialized(embeddings=value).embeddings == want

    def test_list_changed_while_converting_reads_like_iteration(self):
        row = []

        class Shrink:
            def __float__(self):
                row.clear()
                return 2.0

        row.extend([1.0, Shrink(), 3.0, 4.0])
        assert make_serialized(embeddings=[row]).embeddings == [[1.0, 2.0]]
        row2 = [1.0, 2]
        row2_copy = list(row2)
        assert make_serialized(embeddings=(row2,)).embeddings == [row2_copy]

    def test_item_errors_stop_the_conversion(self):
        with pytest.raises(TypeError) as e:
            GetDocumentsOptions(["a", None, 3])
        assert str(e.value) == "argument 'doc_ids': 'NoneType' object cannot be converted to 'PyString'"

    def test_iteration_errors_propagate(self):
        class Broken:
            def __len__(self):
                return 1

            def __getitem__(self, i):
                raise ValueError("broken item")

        with pytest.raises(ValueError, match="broken item"):
            GetDocumentsOptions(Broken())


class TestAttributes:
    @pytest.mark.parametrize("make, attr, value", SAMPLES, ids=SAMPLE_IDS)
    def test_set_get_and_delete(self, make, attr, value):
        obj = make()
        setattr(obj, attr, value)
        assert getattr(obj, attr) == value
        with pytest.raises(AttributeError) as e:
            delattr(obj, attr)
        assert str(e.value) == "can't delete attribute"
        assert getattr(obj, attr) == value

    @pytest.mark.parametrize("make, attr, value", SAMPLES, ids=SAMPLE_IDS)
    def test_no_new_attributes_no_dict_no_weakref(self, make, attr, value):
        import weakref

        obj = make()
        with pytest.raises(AttributeError):
            obj.extra = 1
        assert not hasattr(obj, "__dict__")
        with pytest.raises(TypeError):
            weakref.ref(obj)

    def test_setter_errors_name_the_attribute_and_keep_the_old_value(self):
        d = DocumentInfo("a", "t", {"k": "v"})
        with pytest.raises(TypeError) as e:
            d.id = 5
        assert str(e.value) == "argument 'id': 'int' object cannot be converted to 'PyString'"
        assert type(e.value.__cause__) is TypeError
        with pytest.raises(TypeError, match="^argument 'metadata': 'int' object"):
            d.metadata = {"k": "v", "n": 1}
        assert d.id == "a" and d.metadata == {"k": "v"}
        o = AddDocumentsOptions()
        with pytest.raises(TypeError, match="^argument 'upsert': 'NoneType'"):
            o.upsert = None
        info = make_info()
        with pytest.raises(OverflowError):
            info.doc_count = -1
        assert info.doc_count == 3
        with pytest.raises(TypeError, match="^argument 'model': 'str' object cannot be converted to 'ModelRef'$"):
            info.model = "vesk-minilm"

    def test_optional_attributes_accept_none(self):
        d = DocumentInfo("a", "t", {"k": "v"})
        d.metadata = None
        assert d.metadata is None
        d.metadata = {}
        assert d.metadata == {}
        r = SearchResult([], "q", "n", 1)
        r.index_name = None
        r.time_taken_ms = None
        assert r.index_name is None and r.time_taken_ms is None
        g = GetDocumentsOptions(["a"])
        g.doc_ids = None
        assert g.doc_ids is None
        with pytest.raises(TypeError, match="^argument 'id': 'NoneType'"):
            d.id = None


class TestCopies:
    """Getters return copies; record arguments are copied in."""

    def test_nested_model_is_copied_out(self):
        info = make_info()
        info.model.id = "x"
        assert info.model.id == "vesk-minilm"
        assert info.model is not info.model
        m = info.model
        m.id = "x"
        info.model = m
        assert info.model.id == "x"
        m.id = "y"
        assert info.model.id == "x"

    def test_constructor_copies_record_arguments(self):
        m = ModelRef("vesk-minilm", "0.2.3")
        s = make_serialized(model=m)
        m.id = "changed"
        assert s.model.id == "vesk-minilm"
        q = QueryResultDocumentInfo("a", "t", score=1.0)
        r = SearchResult([q], "q")
        q.id = "changed"
        assert r.docs[0].id == "a"

    def test_lists_and_dicts_are_new_per_read(self):
        r = SearchResult([QueryResultDocumentInfo("a", "t")], "q")
        r.docs.append(QueryResultDocumentInfo("b", "t"))
        r.docs[0].id = "z"
        assert len(r.docs) == 1 and r.docs[0].id == "a"
        assert r.docs is not r.docs
        d = DocumentInfo("a", "t", {"k": "v"})
        d.metadata["k"] = "changed"
        assert d.metadata == {"k": "v"}
        s = make_serialized()
        s.embeddings[0][0] = 99.0
        s.doc_ids.append("c")
        assert s.embeddings == [[1.0, 2.0], [3.0, 4.0]] and s.doc_ids == ["a", "b"]
        g = GetDocumentsOptions(["a"])
        g.doc_ids.append("b")
        assert g.doc_ids == ["a"]

    def test_input_containers_are_copied(self):
        meta = {"k": "v"}
        ids = ["a"]
        rows = [[1.0, 2.0]]
        arr = np.array(rows, dtype=np.float32)
        d = DocumentInfo("a", "t", meta)
        g = GetDocumentsOptions(ids)
        s = make_serialized(embeddings=arr)
        meta["k"] = "x"
        ids.append("b")
        arr[0, 0] = 42.0
        assert d.metadata == {"k": "v"} and g.doc_ids == ["a"]
        assert s.embeddings == rows
