"""Shared fixtures for the binding tests."""

import pytest

import vesk_core

MINILM_DIM = 384


@pytest.fixture(scope="session")
def panic_exception():
    """The PanicException class, which the module does not export.

    It is obtained the way a user meets it: from a query whose embedding
    length differs from the stored ones.
    """
    idx = vesk_core.Index("panic", "vesk-minilm")
    idx.add_documents([vesk_core.DocumentInfo("a", "text")], [[1.0, 2.0]])
    try:
        idx.query("text", 1, [1.0])
    except BaseException as exc:  # noqa: BLE001 - the class is what we want
        return type(exc)
    raise AssertionError("a mismatched query embedding did not fail")


def unit(i, dim=MINILM_DIM):
    """A one-hot embedding: unit vector along axis i."""
    e = [0.0] * dim
    e[i % dim] = 1.0
    return e


@pytest.fixture
def index():
    return vesk_core.Index("test-index", "vesk-minilm")


@pytest.fixture
def filled(index):
    docs = [
        vesk_core.DocumentInfo("a", "the quick brown fox", {"colour": "brown"}),
        vesk_core.DocumentInfo("b", "a lazy dog sleeps"),
        vesk_core.DocumentInfo("c", "foxes and dogs are animals", {}),
    ]
    index.add_documents(docs, [unit(0), unit(1), unit(2)])
    return index
