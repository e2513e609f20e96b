"""serializeToBinary / deserializeFromBinary."""

import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vesk_core
from vesk_core import Index, ModelRef, SerializedIndex, deserializeFromBinary, serializeToBinary


def fields(s):
    return (s.name, s.version, s.model.id, s.model.version, s.dimension, s.embeddings, s.doc_ids)


def sample(**overrides):
    values = dict(
        name="idx",
        version="0.2.3",
        model=ModelRef("vesk-minilm", "0.2.3"),
        dimension=3,
        embeddings=[[0.1, -2.5, 3e-8], [1.0, 2.0, 3.0]],
        doc_ids=["a", "b"],
    )
    values.update(overrides)
    return SerializedIndex(**values)


class TestRoundTrip:
    def test_fields_survive(self):
        s = sample()
        blob = serializeToBinary(s)
        assert type(blob) is bytes and blob[:4] == b"VESK"
        assert struct.unpack("<II", blob[4:12]) == (1, len(blob) - 12)
        back = deserializeFromBinary(blob)
        assert type(back) is SerializedIndex and back is not s
        assert fields(back) == fields(s)

    def test_keywords(self):
        s = sample()
        assert fields(deserializeFromBinary(blob=serializeToBinary(index=s))) == fields(s)

    def test_bytes_subclass_accepted(self):
        class B(bytes):
            pass

        assert fields(deserializeFromBinary(B(serializeToBinary(sample())))) == fields(sample())

    def test_through_an_index(self):
        idx = Index("n", "vesk-minilm")
        idx.add_documents(
            [vesk_core.DocumentInfo("x", "text"), vesk_core.DocumentInfo("y", "more")],
            [[0.5] * 384, [0.25] * 384],
        )
        back = deserializeFromBinary(serializeToBinary(idx.serialize()))
        other = Index("o", "vesk-mediumlm")
        other.deserialize(back)
        assert fields(other.serialize()) == fields(idx.serialize())

    def test_mismatched_lengths_are_packed_and_rejected_on_load(self):
        s = sample(doc_ids=["a", "b", "c"])
        back = deserializeFromBinary(serializeToBinary(s))
        assert back.doc_ids == ["a", "b", "c"] and len(back.embeddings) == 2
        with pytest.raises(ValueError, match="embeddings array length must match"):
            Index("n", "vesk-minilm").deserialize(back)

    @settings(max_examples=50, deadline=None)
    @given(
        name=st.text(min_size=1),
        version=st.text(),
        dimension=st.integers(0, 2**64 - 1),
        rows=st.lists(st.lists(st.floats(width=32, allow_nan=False, allow_infinity=False),
                               max_size=5), max_size=4),
        ids=st.lists(st.text(), max_size=4),
    )
    def test_any_finite_record(self, name, version, dimension, rows, ids):
        s = SerializedIndex(name, version, ModelRef("m", "v"), dimension, rows, ids)
        assert fields(deserializeFromBinary(serializeToBinary(s))) == fields(s)


class TestErrors:
    @pytest.mark.parametrize(
        "blob, message",
        [
            (b"", "binary data too short for header"),
            (b"VESK\x01\x00\x00\x00\x00\x00\x00", "binary data too short for header"),
            (b"vesk\x01\x00\x00\x00\x00\x00\x00\x00", "invalid magic number"),
            (b"VESK\x02\x00\x00\x00\x00\x00\x00\x00", "unsupported version: 2"),
            (b"VESK\x01\x00\x00\x00\x05\x00\x00\x00{}", "binary data truncated"),
        ],
    )
    def test_container_errors(self, blob, message):
        with pytest.raises(ValueError) as e:
            deserializeFromBinary(blob)
        assert str(e.value) == message

    def test_json_errors(self):
        blob = serializeToBinary(sample())
        broken = blob[:-1] + bytes([blob[-1] ^ 0xFF])
        with pytest.raises(ValueError, match="^failed to parse JSON payload: "):
            deserializeFromBinary(broken)

    @pytest.mark.parametrize("kind", [bytearray, memoryview, lambda b: b.decode("latin-1")])
    def test_only_bytes_accepted(self, kind):
        blob = serializeToBinary(sample())
        with pytest.raises(TypeError) as e:
            deserializeFromBinary(kind(blob))
        name = type(kind(blob)).__name__
        assert str(e.value) == f"argument 'blob': '{name}' object cannot be converted to 'PyBytes'"
        assert type(e.value.__cause__) is TypeError

    def test_serialize_needs_a_serialized_index(self):
        idx = Index("n", "vesk-minilm")
        with pytest.raises(TypeError) as e:
            serializeToBinary(idx)
        assert str(e.value) == (
            "argument 'index': 'Index' object cannot be converted to 'SerializedIndex'"
        )

    def test_binding_errors(self):
        cases = [
            (lambda: serializeToBinary(), "serializeToBinary() missing 1 required positional argument: 'index'"),
            (lambda: deserializeFromBinary(), "deserializeFromBinary() missing 1 required positional argument: 'blob'"),
            (lambda: deserializeFromBinary(b"", b""), "deserializeFromBinary() takes 1 positional arguments but 2 were given"),
            (lambda: serializeToBinary(data=sample()), "serializeToBinary() got an unexpected keyword argument 'data'"),
            (lambda: serializeToBinary(sample(), index=sample()), "serializeToBinary() got multiple values for argument 'index'"),
        ]
        for call, message in cases:
            with pytest.raises(TypeError) as e:
                call()
            assert str(e.value) == message

    def test_argument_is_left_unchanged(self):
        s = sample()
        before = fields(s)
        serializeToBinary(s)
        assert fields(s) == before
