"""Importing vesk_core, building an Index from a generated corpus and passing it queries."""
from __future__ import annotations

import numpy as np

import datagen

from .timing import log


def import_vesk():
    try:
        import vesk_core
        return vesk_core
    except Exception as e:   # noqa: BLE001
        log(f"vesk_core not importable: {e!r}")
        return None


def vesk_docs(vk, c: datagen.Corpus) -> list:
    D = vk.DocumentInfo
    return [D(i, t, m) for i, t, m in zip(c.ids, c.texts, c.metadata)]


def vesk_build(vk, c: datagen.Corpus, name="bench"):
    idx = vk.Index(name, "vesk-minilm")
    idx.add_documents(vesk_docs(vk, c), c.embeddings)
    return idx


_QARG_NUMPY: bool | None = None


def vesk_query_args(vk, idx, q: np.ndarray) -> list:
    """Query embeddings in the form the module takes (NumPy if accepted, else lists)."""
    global _QARG_NUMPY
    if _QARG_NUMPY is None:
        try:
            idx.query("probe", 1, q[0], 1.0)
            _QARG_NUMPY = True
        except TypeError:
            _QARG_NUMPY = False
    return list(q) if _QARG_NUMPY else q.tolist()
