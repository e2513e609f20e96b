"""The :class:`Collection`: documents, their embeddings and metadata, searchable three ways."""

from __future__ import annotations

import inspect
import numbers
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _native
from .errors import (
    DimensionMismatchError,
    DocumentNotFoundError,
    InvalidInputError,
    InvalidTypeError,
    UnknownLanguageError,
)
from .embed import Embedder
from .filters import compile_filter, plain_value
from .progress import bar, wanted
from .types import Document, Hit, MetadataValue

__all__ = ["Collection", "DEFAULT_ALPHA", "DEFAULT_DEPTH"]

#: Weight of the semantic side in a hybrid search. Both sides count the same
#: by default: at a high alpha such as 0.8, with both candidate lists cut at k,
#: a document found only by the keyword side can never enter the top k, so the
#: keywords would only break ties. Values from 0.4 to 0.6 measured best on two
#: public test collections.
DEFAULT_ALPHA = 0.5

#: Length of each side's candidate list in a hybrid search (at least k is
#: always used). Fusing deeper lists than k lets a document ranked well by both
#: sides, but first by neither, reach the top; 100 measured best together with
#: alpha 0.4 to 0.6.
DEFAULT_DEPTH = 100


# --- argument checks -------------------------------------------------------


def _str_list(name: str, value: Any) -> list[str]:
    """``value`` as a list of str, or InvalidTypeError."""
    if isinstance(value, (str, bytes)):
        raise InvalidTypeError(f"{name} must be a list of str, not a single {type(value).__name__}; wrap it in a list")
    if not isinstance(value, Iterable):
        raise InvalidTypeError(f"{name} must be a list of str, not {type(value).__name__}")
    out = list(value)
    for i, item in enumerate(out):
        if not isinstance(item, str):
            raise InvalidTypeError(f"{name}[{i}] must be a str, not {type(item).__name__}")
    return out


def _int_arg(name: str, value: Any, minimum: int) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise InvalidTypeError(f"{name} must be an int, not {type(value).__name__}")
    v = int(value)
    if v < minimum:
        raise InvalidInputError(f"{name} must be >= {minimum}, got {v}")
    return v


def _alpha_arg(value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise InvalidTypeError(f"alpha must be a float, not {type(value).__name__}")
    v = float(value)
    if not 0.0 <= v <= 1.0:  # NaN fails too
        raise InvalidInputError(f"alpha must be between 0 and 1, got {v}")
    return v


def _float_array(name: str, value: ArrayLike) -> NDArray[np.float32]:
    """``value`` (array or nested lists of numbers) as a C-contiguous float32 array of finite values."""
    try:
        arr = np.asarray(value)
    except ValueError as exc:  # ragged nested lists
        raise InvalidInputError(f"{name}: not a rectangular array of numbers ({exc})") from None
    if arr.dtype.kind not in "iuf":
        raise InvalidTypeError(f"{name} must hold real numbers, not {arr.dtype} values")
    with np.errstate(over="ignore", invalid="ignore"):
        arr = np.ascontiguousarray(arr, dtype=np.float32)
    if arr.size and not np.isfinite(arr).all():
        bad = np.argwhere(~np.isfinite(arr))[0]
        where = ", ".join(str(int(i)) for i in bad)
        raise InvalidInputError(
            f"{name}[{where}] is not finite (NaN, infinity, or too large for float32): {value_at(value, bad)}"
        )
    return arr


def value_at(value: Any, index: Sequence[int]) -> Any:
    """The element of nested sequences/arrays at ``index`` (for error messages)."""
    try:
        for i in index:
            value = value[int(i)]
        return value
    except Exception:  # noqa: BLE001 - only used to decorate a message
        return "?"


def _embeddings_arg(value: ArrayLike | None, rows: int, dim: int) -> NDArray[np.float32] | None:
    if value is None:
        return None
    arr = _float_array("embeddings", value)
    if rows == 0 and arr.size == 0:
        return np.zeros((0, dim), dtype=np.float32)
    if arr.ndim != 2:
        raise InvalidInputError(
            f"embeddings must be a 2-D array of shape (n, {dim}), got {arr.ndim}-D shape {arr.shape}"
            + ("; for one document pass [vector]" if arr.ndim == 1 else "")
        )
    if arr.shape[0] != rows:
        raise InvalidInputError(f"got {rows} ids but {arr.shape[0]} embeddings")
    if arr.shape[1] != dim:
        raise DimensionMismatchError(f"embeddings have {arr.shape[1]} values each, the collection's dim is {dim}")
    return arr


def _vector_arg(value: ArrayLike | None, dim: int) -> NDArray[np.float32] | None:
    if value is None:
        return None
    arr = _float_array("vector", value)
    if arr.ndim != 1:
        raise InvalidInputError(f"vector must be 1-D with {dim} values, got shape {arr.shape}")
    if arr.shape[0] != dim:
        raise DimensionMismatchError(f"vector has {arr.shape[0]} values, the collection's dim is {dim}")
    return arr


def _vectors_arg(value: ArrayLike | None, dim: int) -> NDArray[np.float32] | None:
    if value is None:
        return None
    arr = _float_array("vectors", value)
    if arr.size == 0 and arr.ndim < 2:
        return np.zeros((0, dim), dtype=np.float32)
    if arr.ndim != 2:
        raise InvalidInputError(f"vectors must be a 2-D array of shape (m, {dim}), got shape {arr.shape}")
    if arr.shape[1] != dim:
        raise DimensionMismatchError(f"vectors have {arr.shape[1]} values each, the collection's dim is {dim}")
    return arr


def _metadata_value(where: str, value: Any) -> MetadataValue:
    plain = plain_value(value, where, InvalidInputError)
    if plain is None:
        raise InvalidTypeError(f"{where}: values must be str, int, float or bool, not {type(value).__name__}")
    return plain


def _metadata_arg(value: Any, rows: int) -> list[dict[str, MetadataValue] | None] | None:
    if value is None:
        return None
    if isinstance(value, Mapping):
        raise InvalidTypeError("metadata must be a list with one dict (or None) per document, not a single dict")
    if isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
        raise InvalidTypeError(f"metadata must be a list of dicts, not {type(value).__name__}")
    items = list(value)
    if len(items) != rows:
        raise InvalidInputError(f"got {rows} ids but {len(items)} metadata entries")
    out: list[dict[str, MetadataValue] | None] = []
    for i, meta in enumerate(items):
        if meta is None:
            out.append(None)
            continue
        if not isinstance(meta, Mapping):
            raise InvalidTypeError(f"metadata[{i}] must be a dict or None, not {type(meta).__name__}")
        clean: dict[str, MetadataValue] = {}
        for key, v in meta.items():
            if not isinstance(key, str):
                raise InvalidTypeError(f"metadata[{i}]: keys must be str, not {type(key).__name__}")
            clean[key] = _metadata_value(f"metadata[{i}][{key!r}]", v)
        out.append(clean)
    return out


def _add_args(
    ids: Any, texts: Any, embeddings: Any, metadata: Any, upsert: Any, dim: int
) -> tuple[list[str], list[str], NDArray[np.float32] | None, list[dict[str, MetadataValue] | None] | None]:
    """The checked arguments of an ``add``: ids, texts, embeddings, metadata."""
    id_list = _str_list("ids", ids)
    text_list = _str_list("texts", texts)
    n = len(id_list)
    if len(text_list) != n:
        raise InvalidInputError(f"got {n} ids but {len(text_list)} texts")
    emb = _embeddings_arg(embeddings, n, dim)
    meta = _metadata_arg(metadata, n)
    if not isinstance(upsert, (bool, np.bool_)):
        raise InvalidTypeError(f"upsert must be a bool, not {type(upsert).__name__}")
    return id_list, text_list, emb, meta


def _hit(row: tuple[Any, ...]) -> Hit:
    return Hit(*row)


def _check_embedder(embedder: Any, dim: int | None) -> None:
    """InvalidTypeError unless ``embedder`` is None or an embedder of ``dim`` values (when dim is given)."""
    if embedder is None:
        return
    if not isinstance(embedder, Embedder):
        raise InvalidTypeError(f"embedder must have a dim and an embed(texts) method; {type(embedder).__name__} has not")
    edim = embedder.dim
    if isinstance(edim, bool) or not isinstance(edim, numbers.Integral) or edim < 1:
        raise InvalidTypeError(f"embedder.dim must be a positive int, not {edim!r}")
    if dim is not None and not isinstance(dim, bool) and isinstance(dim, numbers.Integral) and dim != edim:
        raise DimensionMismatchError(f"the embedder makes embeddings of {edim} values, the collection's dim is {dim}")


def _takes_progress(embedder: Any) -> bool:
    """Whether ``embedder.embed`` accepts a ``progress`` keyword."""
    try:
        return "progress" in inspect.signature(embedder.embed).parameters
    except (TypeError, ValueError):
        return False


# --- the collection --------------------------------------------------------


class Collection:
    """An in-memory collection of documents, searchable by keywords, by meaning, or both.

    Each document has a str id, a text, optionally an embedding of ``dim``
    float32 values that you computed with a sentence-embedding model, and
    optionally metadata (a dict of str, int, float or bool values) to filter
    on. Keyword search covers the text only; metadata is for filters.

    ``language`` selects the tokenizer's stemmer and stop words for the
    keyword side (one language per collection, English by default);
    :meth:`languages` lists those available.

    >>> col = Collection(dim=3)
    >>> col.add(["tea", "coffee"], ["Green tea leaves", "Roasted coffee beans"],
    ...         embeddings=[[1, 0, 0], [0, 1, 0]])
    (2, 0)
    >>> len(col), "tea" in col
    (2, True)
    >>> col.search("coffee")[0].id
    'coffee'
    >>> col.search(vector=[0.9, 0.1, 0])[0].id
    'tea'

    With an ``embedder`` (any object with ``dim`` and ``embed(texts)``, see
    :mod:`vesk.embed`), ``add`` computes the embeddings of the texts it is
    given and ``search`` those of text queries; ``dim`` then defaults to the
    embedder's.

    A collection may be shared between threads: searches run concurrently
    and release the interpreter lock while they work; ``add``, ``delete``
    and ``clear`` wait for running searches and run one at a time.
    """

    __slots__ = ("_engine", "_embedder")

    def __init__(self, dim: int | None = None, language: str = "english", embedder: Embedder | None = None) -> None:
        _check_embedder(embedder, dim)
        if dim is None:
            dim = 384 if embedder is None else embedder.dim
        dim = _int_arg("dim", dim, 1)
        if not isinstance(language, str):
            raise InvalidTypeError(f"language must be a str, not {type(language).__name__}")
        known = _native.Engine.languages()
        if language not in known:
            raise UnknownLanguageError(f"unknown language {language!r}; known languages: {', '.join(known)}")
        self._engine = _native.Engine(dim, language)
        self._embedder = embedder

    # --- properties ---

    @property
    def embedder(self) -> Embedder | None:
        """The embedder that computes embeddings of texts, or ``None``; settable (its ``dim`` must match)."""
        return getattr(self, "_embedder", None)

    @embedder.setter
    def embedder(self, embedder: Embedder | None) -> None:
        _check_embedder(embedder, self.dim)
        self._embedder = embedder

    def _embed(self, texts: list[str], progress: bool | None, name: str) -> NDArray[np.float32]:
        """The embedder's embeddings of ``texts``, checked like embeddings given by hand."""
        embedder = self.embedder
        assert embedder is not None
        if _takes_progress(embedder):
            out = embedder.embed(texts, progress=progress)  # type: ignore[call-arg]
        elif not wanted(progress, len(texts)):
            out = embedder.embed(texts)
        else:  # a bar over chunks of texts for an embedder without its own
            parts = []
            step = max(1, min(1024, -(-len(texts) // 50)))
            with bar(progress, len(texts), total=len(texts), desc="embedding", unit="text") as pbar:
                for i in range(0, len(texts), step):
                    parts.append(_embeddings_arg(embedder.embed(texts[i : i + step]), len(texts[i : i + step]), self.dim))
                    pbar.update(len(parts[-1]))
            out = np.concatenate(parts) if parts else np.zeros((0, self.dim), dtype=np.float32)
        try:
            return _embeddings_arg(out, len(texts), self.dim)  # type: ignore[return-value]
        except (InvalidInputError, InvalidTypeError, DimensionMismatchError) as exc:
            raise type(exc)(f"the embedder's {name}: {exc}") from None

    def _query_vectors(self, texts: list[str] | None, vectors: Any, alpha: Any) -> Any:
        """``vectors``, or the embedder's embeddings of ``texts`` when needed.

        Text queries are embedded when the collection has an embedder, no
        vectors were given and ``alpha`` is not 0 (keyword search alone).
        """
        if vectors is not None or texts is None or self.embedder is None:
            return vectors
        if not isinstance(alpha, bool) and isinstance(alpha, numbers.Real) and float(alpha) == 0.0:
            return None
        return self._embed(texts, False, "query embeddings")

    @property
    def dim(self) -> int:
        """The number of values in every embedding and query vector."""
        return int(self._engine.dim)

    @property
    def language(self) -> str:
        """The language of the keyword side's tokenizer."""
        return str(self._engine.language)

    @staticmethod
    def languages() -> list[str]:
        """The languages a collection can be made for.

        >>> "english" in Collection.languages() and "french" in Collection.languages()
        True
        """
        return list(_native.Engine.languages())

    def __len__(self) -> int:
        return int(len(self._engine))

    def __contains__(self, id: object) -> bool:
        return isinstance(id, str) and bool(self._engine.contains(id))

    def __repr__(self) -> str:
        return f"Collection(dim={self.dim}, language={self.language!r}, documents={len(self)})"

    # --- changes ---

    def add(
        self,
        ids: Sequence[str],
        texts: Sequence[str],
        embeddings: ArrayLike | None = None,
        metadata: Sequence[Mapping[str, MetadataValue] | None] | None = None,
        upsert: bool = True,
        progress: bool | None = None,
    ) -> tuple[int, int]:
        """Add documents; return ``(added, updated)``.

        ``ids`` and ``texts`` are lists of str of the same length;
        ``embeddings`` is an array (or nested lists) of shape ``(len(ids),
        dim)``, or ``None`` to store documents without embeddings (semantic
        search does not find those); ``metadata`` is one dict or ``None`` per
        document. With an embedder and ``embeddings=None``, the embedder
        computes the embeddings of the texts, with a progress bar when
        ``progress`` asks for one (``None``: only for many texts on a
        terminal, see :mod:`vesk.progress`).

        An id already stored is replaced (text, embedding and metadata) and
        counted as updated; with ``upsert=False`` it is left alone and counted
        in neither number. Within one call a repeated id counts once and its
        last occurrence wins.

        Everything is checked before anything changes: on any error (lengths
        that differ, an id that is not a str, an embedding of the wrong
        length, a NaN or infinite value, an unsupported metadata value) the
        collection is left exactly as it was.

        >>> col = Collection(dim=2)
        >>> col.add(["a", "b"], ["first", "second"], [[1, 0], [0, 1]])
        (2, 0)
        >>> col.add(["b", "c"], ["second, edited", "third"], [[0, 1], [1, 1]])
        (1, 1)
        >>> col.add(["c"], ["ignored"], [[0, 0]], upsert=False)
        (0, 0)
        >>> col.add(["d"], ["bad"], [[float("nan"), 0]])
        Traceback (most recent call last):
        ...
        vesk.errors.InvalidInputError: embeddings[0, 0] is not finite (NaN, infinity, or too large for float32): nan
        >>> len(col)
        3
        """
        id_list, text_list, emb, meta = _add_args(ids, texts, embeddings, metadata, upsert, self.dim)
        n = len(id_list)
        wanted(progress, n)  # checks its type
        if n == 0:
            return (0, 0)
        if emb is None and self.embedder is not None:
            emb = self._embed(text_list, progress, "embeddings")
        added, updated = self._engine.add(id_list, text_list, emb, meta, bool(upsert))
        return (int(added), int(updated))

    def delete(self, ids: Sequence[str]) -> int:
        """Delete the documents with these ids; return how many were deleted.

        Unknown ids are ignored.

        >>> col = Collection(dim=2)
        >>> col.add(["a", "b"], ["first", "second"])
        (2, 0)
        >>> col.delete(["a", "zzz"]), len(col)
        (1, 1)
        """
        id_list = _str_list("ids", ids)
        if not id_list:
            return 0
        return int(self._engine.delete(id_list))

    def get(self, ids: Sequence[str]) -> list[Document]:
        """The stored documents with these ids, in the order asked; unknown ids are skipped.

        >>> col = Collection(dim=2)
        >>> col.add(["a"], ["first"], metadata=[{"n": 1}])
        (1, 0)
        >>> col.get(["a", "missing"])
        [Document(id='a', text='first', metadata={'n': 1})]
        """
        id_list = _str_list("ids", ids)
        if not id_list:
            return []
        return [Document(r[0], r[1], dict(r[2])) for r in self._engine.get(id_list) if r is not None]

    def clear(self) -> None:
        """Remove every document."""
        self._engine.clear()

    # --- files (vesk.files) ---

    def save(self, path: Any) -> None:
        """Write the whole collection to the file ``path``; :func:`vesk.load` reads it back.

        The file keeps the settings, ids, texts, metadata and embeddings.
        Saving is atomic: a crash at any moment leaves the old file or the new
        one. Searches may run meanwhile; changes wait until it is written.
        """
        from . import files

        files.save(self, path)

    def to_vesk(self) -> bytes:
        """The ids and embeddings as a ``vesk_core`` ``.vesk`` container (see :func:`vesk.files.to_vesk`)."""
        from . import files

        return files.to_vesk(self)

    @classmethod
    def from_vesk(
        cls,
        data: bytes,
        texts: Sequence[str] | None = None,
        metadata: Sequence[Mapping[str, MetadataValue] | None] | None = None,
        language: str = "english",
    ) -> Collection:
        """A new collection holding the ids and embeddings of a ``.vesk`` container.

        ``texts`` and ``metadata`` (one per id, in the container's order) add
        what the container does not keep; texts default to empty strings.
        Raises :class:`vesk.FileFormatError` for bytes that are not a container.
        """
        from . import files

        return files.from_vesk(data, texts, metadata, language)

    # --- searches ---

    def search(
        self,
        text: str | None = None,
        vector: ArrayLike | None = None,
        k: int = 10,
        alpha: float = DEFAULT_ALPHA,
        where: Mapping[str, Any] | None = None,
        depth: int = DEFAULT_DEPTH,
    ) -> list[Hit]:
        """The best ``k`` documents for a query, best first.

        * ``text`` only: keyword search (BM25 over the documents' texts);
          ``Hit.score`` is the BM25 score.
        * ``vector`` only: semantic search (exact inner product with every
          stored embedding); ``Hit.score`` is the inner product.
        * both: hybrid search. Each side lists its best ``depth`` candidates
          (at least ``k``); the lists are fused by weighted reciprocal rank
          fusion: a document at rank r of a side's list gains
          ``weight / (60 + r)``, the semantic side weighing ``alpha`` and the
          keyword side ``1 - alpha``. ``alpha=1`` is semantic only, ``0``
          keyword only. ``Hit.score`` is the fused score.

        ``where`` filters on metadata before the top k are chosen (see
        :mod:`vesk.filters`); the keyword statistics stay those of the whole
        collection. A filtered search returns the exact best
        ``min(k, matches)`` matching documents.

        With an embedder and no ``vector``, the embedder embeds ``text``: the
        search is hybrid, except that ``alpha=0`` searches the keywords alone
        (the text is not embedded) and ``alpha=1`` the embeddings alone, so
        that the scores are then BM25 scores and inner products.

        >>> col = Collection(dim=2)
        >>> col.add(["a", "b", "c"], ["solar panels", "solar wind and tides", "wind turbines"],
        ...         [[1, 0], [0.7, 0.7], [0, 1]], [{"kind": "pv"}, {}, {"kind": "wind"}])
        (3, 0)
        >>> [h.id for h in col.search("wind")]
        ['c', 'b']
        >>> [h.id for h in col.search(vector=[1, 0.1], k=2)]
        ['a', 'b']
        >>> [h.id for h in col.search("turbines", [1, 0.1], where={"kind": {"$ne": "pv"}})]
        ['c', 'b']
        """
        if text is not None and not isinstance(text, str):
            raise InvalidTypeError(f"text must be a str or None, not {type(text).__name__}")
        if vector is None and text is not None and self.embedder is not None:
            embedded = self._query_vectors([text], None, _alpha_arg(alpha))
            if embedded is not None:
                vector = embedded[0]
                text = None if _alpha_arg(alpha) == 1.0 else text
        vec = _vector_arg(vector, self.dim)
        if text is None and vec is None:
            raise InvalidInputError("search needs a text, a vector or both")
        k = _int_arg("k", k, 0)
        a = _alpha_arg(alpha)
        depth = _int_arg("depth", depth, 1)
        tree = compile_filter(where)
        if k == 0:
            return []
        return [_hit(row) for row in self._engine.search(text, vec, k, a, tree, depth)]

    def search_batch(
        self,
        texts: Sequence[str] | None = None,
        vectors: ArrayLike | None = None,
        k: int = 10,
        alpha: float = DEFAULT_ALPHA,
        where: Mapping[str, Any] | None = None,
        depth: int = DEFAULT_DEPTH,
    ) -> list[list[Hit]]:
        """:meth:`search` for many queries at once; one list of hits per query.

        ``texts`` (a list of str) and ``vectors`` (an array of shape ``(m,
        dim)``) give the queries; when both are given they must have the same
        length and query i uses ``texts[i]`` with ``vectors[i]``. ``k``,
        ``alpha``, ``where`` and ``depth`` apply to every query. The results
        equal those of separate :meth:`search` calls, but a batch reads the
        stored embeddings once per block of queries and spreads the work over
        the cores, so it is much faster for many semantic queries. With an
        embedder, ``texts`` alone are embedded as in :meth:`search`.

        >>> col = Collection(dim=2)
        >>> col.add(["x", "y"], ["left", "right"], [[1, 0], [0, 1]])
        (2, 0)
        >>> [[h.id for h in hits] for hits in col.search_batch(vectors=[[1, 0], [0, 1]], k=1)]
        [['x'], ['y']]
        """
        text_list = None if texts is None else _str_list("texts", texts)
        if vectors is None and text_list and self.embedder is not None:
            a = _alpha_arg(alpha)
            vectors = self._query_vectors(text_list, None, a)
            if vectors is not None and a == 1.0:
                text_list = None
        vecs = _vectors_arg(vectors, self.dim)
        if text_list is None and vecs is None:
            raise InvalidInputError("search_batch needs texts, vectors or both")
        if text_list is not None and vecs is not None and len(text_list) != vecs.shape[0]:
            raise InvalidInputError(f"got {len(text_list)} texts but {vecs.shape[0]} vectors")
        k = _int_arg("k", k, 0)
        a = _alpha_arg(alpha)
        depth = _int_arg("depth", depth, 1)
        tree = compile_filter(where)
        m = len(text_list) if text_list is not None else vecs.shape[0]  # type: ignore[union-attr]
        if m == 0:
            return []
        if k == 0:
            return [[] for _ in range(m)]
        rows = self._engine.search_batch(text_list, vecs, k, a, tree, depth)
        return [[_hit(row) for row in hits] for hits in rows]

    def explain(
        self,
        id: str,
        text: str | None = None,
        vector: ArrayLike | None = None,
        alpha: float = DEFAULT_ALPHA,
        depth: int = DEFAULT_DEPTH,
    ) -> dict[str, Any]:
        """How the document ``id`` scores for a query, as a dict.

        ``"keyword"`` (``None`` without a text) holds the BM25 ``terms`` of
        the query found in the document, each with its ``term``, ``tf``
        (occurrences in the document), ``idf`` and ``weight`` (its share of
        the score), the document's ``length`` in tokens, the collection's
        average length ``avgdl``, the BM25 ``score`` and the document's
        ``rank`` in the keyword candidate list (``None`` when outside the
        first ``depth``). ``"dense"`` (``None`` without a vector or without
        an embedding) holds the inner product ``score`` and the ``rank``.
        ``"fused"`` is the fused score when both sides ran, else ``None``.
        With an embedder, ``text`` is embedded when no ``vector`` is given.

        Raises :class:`DocumentNotFoundError` (a ``KeyError``) for an unknown id.

        >>> col = Collection(dim=2)
        >>> col.add(["a", "b"], ["red red wine", "white wine"], [[1, 0], [0, 1]])
        (2, 0)
        >>> e = col.explain("a", "red wine", [1, 0])
        >>> [t["term"] for t in e["keyword"]["terms"]], e["keyword"]["rank"], e["dense"]["rank"]
        (['red', 'wine'], 1, 1)
        """
        if not isinstance(id, str):
            raise InvalidTypeError(f"id must be a str, not {type(id).__name__}")
        if text is not None and not isinstance(text, str):
            raise InvalidTypeError(f"text must be a str or None, not {type(text).__name__}")
        if vector is None and text is not None and self.embedder is not None:
            vector = self._embed([text], False, "query embeddings")[0]
        vec = _vector_arg(vector, self.dim)
        if text is None and vec is None:
            raise InvalidInputError("explain needs a text, a vector or both")
        a = _alpha_arg(alpha)
        depth = _int_arg("depth", depth, 1)
        if not self._engine.contains(id):
            raise DocumentNotFoundError(f"no document with id {id!r}")
        return dict(self._engine.explain(id, text, vec, a, depth))
