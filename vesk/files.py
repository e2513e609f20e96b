"""Collections in files: :meth:`Collection.save` and :func:`load`.

A collection file keeps everything: the settings (``dim``, ``language``),
every document's id, text, metadata and embedding. :func:`load` maps the file
and searches the embeddings where they lie in it, so a large collection is
searchable about as soon as the file has been read once; ids, texts and
metadata are read into memory, and the keyword index is restored from its
saved postings without tokenizing the texts again.

Saving is atomic: the new file is written beside the old one, flushed to
disk and renamed over it, so a crash or a killed process at any moment
leaves either the old file or the new one, never a mix.

>>> import os, tempfile
>>> import vesk
>>> col = vesk.Collection(dim=2)
>>> col.add(["a", "b"], ["red apples", "green pears"], [[1, 0], [0, 1]], [{"n": 1}, None])
(2, 0)
>>> path = os.path.join(tempfile.mkdtemp(), "fruit.vcol")
>>> col.save(path)
>>> back = vesk.load(path)
>>> back.get(["a"]), [h.id for h in back.search("pears")]
([Document(id='a', text='red apples', metadata={'n': 1})], ['b'])

The ``vesk_core`` container (``.vesk``: ids and embeddings only) is reached
through :meth:`Collection.to_vesk` and :meth:`Collection.from_vesk`.
"""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from . import _native
from .errors import InvalidInputError, InvalidTypeError, VeskError

if TYPE_CHECKING:
    from .collection import Collection

__all__ = ["FileFormatError", "load", "save", "to_vesk", "from_vesk"]

# Error kinds reported by the native engine.
_IO_ERROR = 1
_FORMAT_ERROR = 2


class FileFormatError(VeskError, ValueError):
    """The file (or bytes) is not a collection this version of ``vesk`` can read.

    Raised for a truncated, corrupted (checksum mismatch) or foreign file and
    for one written by a newer version; the message says which. Failing to
    open, read or write a file raises :class:`OSError` as usual.
    """


def _raise(kind: int, message: str, path: str) -> None:
    if kind == _FORMAT_ERROR:
        raise FileFormatError(f"{path}: {message}")
    raise OSError(message)


def _path_arg(path: Any) -> str:
    if not isinstance(path, (str, os.PathLike)):
        raise InvalidTypeError(f"path must be a str or os.PathLike, not {type(path).__name__}")
    out = os.fsdecode(os.fspath(path))
    if not out:
        raise InvalidInputError("path must not be empty")
    return out


def _wrap(engine: Any) -> Collection:
    from .collection import Collection

    col = Collection.__new__(Collection)
    col._engine = engine
    return col


def save(collection: Collection, path: str | os.PathLike[str]) -> None:
    """Write ``collection`` to ``path`` atomically (see :meth:`Collection.save`)."""
    p = _path_arg(path)
    kind, message = collection._engine.save(p)
    if kind:
        _raise(kind, message, p)


def load(path: str | os.PathLike[str], mmap: bool = True, verify: bool = True) -> Collection:
    """The collection saved in ``path``.

    With ``mmap=True`` (the default) the file is mapped read-only and the
    semantic search reads the embeddings from it in place; the first change
    to the collection copies them into memory. With ``mmap=False`` they are
    copied at once and the file is closed. ``verify`` checks every part of
    the file against its checksum (one read of the whole file); turning it
    off saves that read but lets silent disk damage through, and the keyword
    index is then built from the texts instead of read from the file.

    Raises :class:`FileFormatError` for a file that is not a readable
    collection file and :class:`OSError` when it cannot be opened.
    """
    p = _path_arg(path)
    for name, flag in (("mmap", mmap), ("verify", verify)):
        if not isinstance(flag, (bool, np.bool_)):
            raise InvalidTypeError(f"{name} must be a bool, not {type(flag).__name__}")
    engine, kind, message = _native.Engine.load(p, bool(mmap), bool(verify))
    if engine is None:
        _raise(kind, message, p)
    return _wrap(engine)


def loads(data: bytes, verify: bool = True) -> Collection:
    """The collection in ``data``, the bytes of a collection file."""
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise InvalidTypeError(f"data must be bytes, not {type(data).__name__}")
    engine, kind, message = _native.Engine.load_bytes(bytes(data), bool(verify))
    if engine is None:
        _raise(kind, message, "<bytes>")
    return _wrap(engine)


def contents(collection: Collection) -> tuple[list[str], list[str], list[dict[str, Any]], np.ndarray, list[bool]]:
    """``(ids, texts, metadata, embeddings, has_embedding)`` of every document in storage order.

    ``embeddings`` is a float32 array of shape ``(len(collection), dim)``
    with zeros for documents stored without an embedding.
    """
    ids, texts, metadata, embeddings, embedded = collection._engine.contents()
    return list(ids), list(texts), [dict(m) for m in metadata], embeddings, list(embedded)


def to_vesk(collection: Collection) -> bytes:
    """The ids and embeddings of ``collection`` as a ``vesk_core`` ``.vesk`` container.

    Texts and metadata are not part of that format. A document stored
    without an embedding is written with zeros. The model named in the
    container is ``vesk-mediumlm`` for ``dim == 1024`` and ``vesk-minilm``
    otherwise (``vesk_core.Index`` loads only those models' dimensions).
    """
    import vesk_core

    ids, _texts, _meta, embeddings, _embedded = contents(collection)
    dim = collection.dim
    model = "vesk-mediumlm" if dim == 1024 else "vesk-minilm"
    version = vesk_core.SDK_VERSION_NUMBER
    serialized = vesk_core.SerializedIndex(
        name="vesk",
        version=version,
        model=vesk_core.ModelRef(model, version),
        dimension=dim,
        embeddings=embeddings.tolist(),
        doc_ids=ids,
    )
    return vesk_core.serializeToBinary(serialized)


def from_vesk(
    data: bytes,
    texts: Sequence[str] | None = None,
    metadata: Sequence[Mapping[str, Any] | None] | None = None,
    language: str = "english",
) -> Collection:
    """A new collection from a ``vesk_core`` ``.vesk`` container (see :meth:`Collection.from_vesk`)."""
    import vesk_core

    from .collection import Collection

    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise InvalidTypeError(f"data must be bytes, not {type(data).__name__}")
    try:
        serialized = vesk_core.deserializeFromBinary(bytes(data))
    except ValueError as exc:
        raise FileFormatError(f"not a readable .vesk container: {exc}") from None
    ids = list(serialized.doc_ids)
    dim = int(serialized.dimension)
    rows = serialized.embeddings
    if len(rows) != len(ids) or any(len(r) != dim for r in rows):
        raise FileFormatError(
            f"the .vesk container holds {len(ids)} ids and {len(rows)} embeddings of dimension {dim}"
        )
    if dim < 1:
        raise FileFormatError(f"the .vesk container has dimension {dim}")
    text_list = [""] * len(ids) if texts is None else texts
    col = Collection(dim=dim, language=language)
    embeddings = np.asarray(rows, dtype=np.float32).reshape(len(ids), dim)
    col.add(ids, text_list, embeddings, metadata)
    return col
