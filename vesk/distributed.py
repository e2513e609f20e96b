"""A collection split into shards, each held by a Ray actor, answering exactly as one collection.

>>> import ray, vesk.distributed                                   # doctest: +SKIP
>>> ray.init()                                                     # doctest: +SKIP
>>> col = vesk.distributed.ShardedCollection(shards=4, dim=384)    # doctest: +SKIP

:class:`ShardedCollection` has the methods of :class:`vesk.Collection` (``add``,
``delete``, ``get``, ``search``, ``search_batch``, ``explain``, ``len``, ``in``)
and returns the same answers, bit for bit, as one :class:`vesk.Collection` that
was given the same changes in the same order:

* Every document goes to the shard chosen by a stable hash of its id
  (BLAKE2b, the same in every process and every run).
* Every document gets a sequence number when it is first added; an upsert
  keeps it, a delete forgets it. It is stored with the document (a hidden
  metadata value, never shown) and breaks equal scores the way one collection
  breaks them by storage position: a shard's storage order is the order of
  these numbers, so merging each shard's best candidates by (score
  descending, sequence ascending) gives the global order.
* Keyword scores use the statistics of the whole collection: for each batch
  the shards report their document count, token count and per-term document
  frequencies, the sums go back with the queries, and every shard scores with
  them (the same float operations as one index).
* Hybrid searches fuse the merged global candidate lists (each side
  ``max(depth, k)`` long) with the same weighted reciprocal rank fusion as one
  collection, in float32 with a rounding after every operation.

One :meth:`~ShardedCollection.search_batch` sends two requests to each shard
(statistics, then searches) for the whole batch; a semantic-only batch sends
one.

Faults. :meth:`~ShardedCollection.save` writes one file per shard and a
manifest into a folder. The driver keeps a log of the changes each shard got
since its last save. When a shard's actor dies, Ray restarts it (without
limit); it reloads its last file, and the next call that reaches it finds it
behind, replays the logged changes and then carries on: no change is lost
while the driver lives, and no search ever answers from a shard that is not
up to date. A call waits for a restarting shard up to ``timeout`` seconds and
then raises :class:`ShardUnavailableError`. The log holds every change since
the last save, so save regularly when adding much.

Files of a shard are written and read by its actor, on the node where it runs:
on a cluster of several machines ``home`` (and the folders given to ``save``)
must be on a file system every node sees. A shard restarted without its file
raises :class:`ShardUnavailableError` rather than answering without its
documents.

Ray is imported only when a :class:`ShardedCollection` is made; install it
with ``pip install vesk[ray]``. Without a running Ray, the first collection
calls ``ray.init()``, which starts a local one; call ``ray.init(address=...)``
first to use a cluster.
"""

from __future__ import annotations

import hashlib
import json
import os
import pickle
import tempfile
import threading
import time
from dataclasses import replace
from collections.abc import Callable, Mapping, Sequence
from typing import Any

import numpy as np
from numpy.typing import ArrayLike

from .collection import (
    DEFAULT_ALPHA,
    DEFAULT_DEPTH,
    Collection,
    _alpha_arg,
    _add_args,
    _int_arg,
    _str_list,
    _vector_arg,
    _vectors_arg,
)
from .errors import DocumentNotFoundError, InvalidInputError, InvalidTypeError, VeskError
from .filters import compile_filter
from .types import Document, Hit, MetadataValue

__all__ = ["ShardedCollection", "ShardUnavailableError", "shard_of"]

#: Metadata key under which a shard stores each document's sequence number.
#: It starts with a NUL character, so no ordinary key collides with it; it is
#: removed from everything a caller sees.
SEQUENCE_KEY = "\x00seq"

#: The rank constant of reciprocal rank fusion, as in one collection.
_RANK_CONSTANT = np.float32(60)

_MANIFEST = "manifest.json"
_FORMAT = 1


class ShardUnavailableError(VeskError):
    """A shard did not come back in time, or came back without its documents."""


def shard_of(id: str, shards: int) -> int:
    """The shard (0 .. shards-1) of a document id: a stable hash, equal in every process.

    >>> shard_of("doc-1", 4) == shard_of("doc-1", 4)
    True
    """
    digest = hashlib.blake2b(id.encode("utf-8", "surrogatepass"), digest_size=8).digest()
    return int.from_bytes(digest, "little") % shards


def _strip(metadata: dict[str, MetadataValue]) -> tuple[int, dict[str, MetadataValue]]:
    """(sequence number, the caller's metadata) of a stored document."""
    meta = dict(metadata)
    seq = meta.pop(SEQUENCE_KEY)
    return int(seq), meta  # type: ignore[arg-type]


# --- the shard -------------------------------------------------------------


class _Shard:
    """The state of one shard: a vesk.Collection and the number of changes applied.

    Runs inside a Ray actor. Every change carries its number; a change whose
    number is not the next one is refused (the driver then replays what the
    shard misses), and every read names the number the driver expects, so a
    shard that restarted from an older file never answers as if it were
    current.
    """

    def __init__(self, dim: int, language: str, pointer: str) -> None:
        self._pointer = pointer
        self._col = Collection(dim=dim, language=language)
        self._applied = 0
        self._journal: list[tuple[int, str, tuple[Any, ...]]] = []
        self._missing = False
        if os.path.exists(pointer):
            with open(pointer, encoding="utf-8") as f:
                where = json.load(f)
            try:
                self._load(where["path"], int(where["applied"]))
            except (OSError, ValueError, VeskError):  # missing or damaged: never answer without it
                self._missing = True

    # The file of a shard. Collection.save / vesk.load are used when this
    # version of vesk has them; otherwise the file is the pickled journal of
    # the shard's changes, replayed on load.
    def _load(self, path: str, applied: int) -> None:
        import vesk

        if hasattr(vesk, "load") and not path.endswith(".journal"):
            self._col = vesk.load(path)
        else:
            with open(path, "rb") as f:
                journal = pickle.load(f)
            for number, kind, args in journal:
                self._do(kind, args)
            self._journal = journal
        self._applied = applied

    def save(self, path_stem: str) -> tuple[int, str]:
        if getattr(self._col, "save", None) is not None:
            path = path_stem + ".vesk"
            self._col.save(path)
        else:
            path = path_stem + ".journal"
            tmp = path + ".tmp"
            with open(tmp, "wb") as f:
                pickle.dump(self._journal, f, protocol=pickle.HIGHEST_PROTOCOL)
            os.replace(tmp, path)
        tmp = self._pointer + ".tmp"
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump({"path": os.path.abspath(path), "applied": self._applied}, f)
        os.replace(tmp, self._pointer)
        return self._applied, os.path.basename(path)

    def applied(self) -> int:
        return -1 if self._missing else self._applied

    def _do(self, kind: str, args: tuple[Any, ...]) -> Any:
        col = self._col
        if kind == "add":
            ids, texts, emb, meta, seqs, upsert = args
            # A stored id keeps its sequence number (an upsert keeps the
            # document's place); a new one takes the number the driver gave.
            known = {d.id: d.metadata[SEQUENCE_KEY] for d in col.get(ids)}
            full = []
            for i, doc_id in enumerate(ids):
                m = dict(meta[i]) if meta is not None and meta[i] is not None else {}
                m[SEQUENCE_KEY] = known.get(doc_id, seqs[i])
                full.append(m)
            return col.add(ids, texts, emb, full, upsert)
        if kind == "delete":
            return col.delete(args[0])
        if kind == "clear":
            return col.clear()
        raise ValueError(f"unknown change {kind!r}")

    def apply(self, number: int, kind: str, args: tuple[Any, ...]) -> tuple[str, Any]:
        """Applies change `number`, or says ("behind", applied) when it is not the next one."""
        if self._missing or number != self._applied + 1:
            return ("behind", self.applied())
        result = self._do(kind, args)
        if not hasattr(self._col, "save"):
            self._journal.append((number, kind, args))
        self._applied = number
        return ("ok", result)

    def _read(self, expected: int, fn: Any, *args: Any) -> tuple[str, Any]:
        if self._missing or self._applied != expected:
            return ("behind", self.applied())
        return ("ok", fn(*args))

    def read(self, expected: int, method: str, args: tuple[Any, ...]) -> tuple[str, Any]:
        return self._read(expected, getattr(self, "_" + method), *args)

    # --- reads (under a checked version) ---

    def _len(self) -> int:
        return len(self._col)

    def _pid(self) -> int:
        return os.getpid()

    def _get(self, ids: list[str]) -> list[tuple[str, str, dict[str, MetadataValue]]]:
        return [(d.id, d.text, _strip(d.metadata)[1]) for d in self._col.get(ids)]

    def _stats(self, texts: list[str]) -> list[tuple[int, int, list[int]]]:
        return list(self._col._engine.keyword_statistics(texts))

    def _candidates(
        self,
        texts: list[str] | None,
        vectors: np.ndarray | None,
        keyword_n: int,
        dense_n: int,
        where: Mapping[str, Any] | None,
        stats: list[tuple[int, int, list[int]]] | None,
        attach: int,
    ) -> tuple[list[list[tuple[float, int, str, str | None, dict | None]]] | None, list[list[tuple]] | None]:
        """Each side's best candidates per query as (score, sequence, id, text, metadata).

        Only the first `attach` of each list carry their text and metadata
        (None in the others), which keeps deep candidate lists small.
        """
        tree = compile_filter(where)

        def rows(hits: list[tuple]) -> list[tuple]:
            out = []
            for r, h in enumerate(hits):
                seq, meta = _strip(h[3])
                out.append((h[1], seq, h[0], h[2], meta) if r < attach else (h[1], seq, h[0], None, None))
            return out

        keyword = None
        if texts is not None:
            found = self._col._engine.search_batch(texts, None, keyword_n, 0.0, tree, 1, stats)
            keyword = [rows(hits) for hits in found]
        dense = None
        if vectors is not None:
            found = self._col._engine.search_batch(None, vectors, dense_n, 1.0, tree, 1)
            dense = [rows(hits) for hits in found]
        return keyword, dense

    def _explain_doc(
        self, id: str, text: str | None, vector: np.ndarray | None, stats: tuple | None
    ) -> dict[str, Any] | None:
        if not self._col._engine.contains(id):
            return None
        return dict(self._col._engine.explain(id, text, vector, 0.5, 1, stats))


# --- the driver ------------------------------------------------------------


def _ray() -> Any:
    try:
        import ray
    except ImportError as exc:  # pragma: no cover - depends on the installation
        raise ImportError("ShardedCollection needs Ray: pip install 'vesk[ray]'") from exc
    return ray


_ACTOR_CLASS: Any = None


def _shard_class(package_parent: str) -> type:
    """The actor class: a _Shard imported from the folder that holds the driver's vesk.

    Ray puts the driver's working directory first on the workers' module
    path, so a worker started in a source checkout would otherwise import the
    checkout's vesk/ (without its native module) instead of the installed
    package. The class is local, so Ray ships it by value and nothing of vesk
    is imported before the path is set.
    """

    class VeskShard:
        def __init__(self, dim: int, language: str, pointer: str) -> None:
            import sys

            if os.path.isdir(package_parent):
                sys.path.insert(0, package_parent)
            from vesk.distributed import _Shard

            self._shard = _Shard(dim, language, pointer)

        def apply(self, number: int, kind: str, args: tuple[Any, ...]) -> tuple[str, Any]:
            return self._shard.apply(number, kind, args)

        def read(self, expected: int, method: str, args: tuple[Any, ...]) -> tuple[str, Any]:
            return self._shard.read(expected, method, args)

    return VeskShard


def _actor_class() -> Any:
    global _ACTOR_CLASS
    if _ACTOR_CLASS is None:
        ray = _ray()
        parent = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        _ACTOR_CLASS = ray.remote(max_restarts=-1, max_task_retries=0)(_shard_class(parent))
    return _ACTOR_CLASS


def _locked(method: Any) -> Any:
    """Runs the method under the collection's lock: calls from several threads take turns."""

    def locked(self: ShardedCollection, *args: Any, **kwargs: Any) -> Any:
        with self._lock:
            return method(self, *args, **kwargs)

    locked.__name__ = method.__name__
    locked.__qualname__ = method.__qualname__
    locked.__doc__ = method.__doc__
    return locked


def _sides(has_text: bool, has_vector: bool, alpha: float) -> tuple[bool, bool]:
    """Which sides of a search run, decided as one collection decides (alpha in float32)."""
    a = np.float32(alpha)
    keyword = has_text and (a < 1 or not has_vector)
    dense = has_vector and (a > 0 or not has_text)
    return bool(keyword), bool(dense)


def _merge(lists: Sequence[Sequence[tuple]], n: int) -> list[tuple]:
    """The best n of the shards' candidates: score descending, then sequence ascending."""
    every = [row for rows in lists for row in rows]
    every.sort(key=lambda row: (-row[0], row[1]))
    return every[:n]


def _fuse(dense: list[tuple], keyword: list[tuple], k: int, alpha: float) -> list[tuple[str, np.float32]]:
    """Weighted reciprocal rank fusion of the global candidate lists, as one collection fuses.

    Each document gains weight * (1 / (60 + rank)) per list, in float32 with a
    rounding after every operation, the dense list first; equal fused scores
    keep the order in which ids were first seen.
    """
    a = np.float32(alpha)
    weights = ((dense, a), (keyword, np.float32(1) - a))
    scores: dict[str, np.float32] = {}
    for side, weight in weights:
        if (side is dense and not a > 0) or (side is keyword and not a < 1):
            continue
        for rank, row in enumerate(side, 1):
            quotient = np.float32(1) / (_RANK_CONSTANT + np.float32(rank))
            scores[row[2]] = scores.get(row[2], np.float32(0)) + weight * quotient
    order = sorted(scores.items(), key=lambda item: -item[1])  # stable: first seen first
    return order[:k]


class ShardedCollection:
    """A :class:`vesk.Collection` split over ``shards`` Ray actors, with the same answers.

    ``dim`` and ``language`` are those of :class:`vesk.Collection`. ``home``
    is a folder where each shard records which file to restart from (a fresh
    temporary folder by default; on a multi-node cluster, a folder on a
    shared file system). ``timeout`` is how long a call waits for a shard
    that is restarting.
    """

    def __init__(
        self,
        shards: int = 4,
        dim: int = 384,
        language: str = "english",
        home: str | None = None,
        timeout: float = 60.0,
        _restore: dict[str, Any] | None = None,
    ) -> None:
        shards = _int_arg("shards", shards, 1)
        probe = Collection(dim=dim, language=language)  # checks dim and language
        self._dim = probe.dim
        self._language = probe.language
        ray = _ray()
        if not ray.is_initialized():
            ray.init()
        self._ray = ray
        self._home = home if home is not None else tempfile.mkdtemp(prefix="vesk-shards-")
        os.makedirs(self._home, exist_ok=True)
        self._timeout = float(timeout)
        self._lock = threading.RLock()
        self._next_seq = 0
        self._sent = [0] * shards  # changes sent to each shard
        self._log: list[list[tuple[int, str, tuple[Any, ...]]]] = [[] for _ in range(shards)]
        if _restore is not None:
            self._next_seq = int(_restore["next_seq"])
            for i, entry in enumerate(_restore["shards"]):
                pointer = self._pointer(i)
                with open(pointer, "w", encoding="utf-8") as f:
                    json.dump({"path": entry["path"], "applied": entry["applied"]}, f)
                self._sent[i] = int(entry["applied"])
        actor = _actor_class()
        self._actors = [actor.remote(self._dim, self._language, self._pointer(i)) for i in range(shards)]
        try:
            ray.get([a.__ray_ready__.remote() for a in self._actors], timeout=self._timeout)
        except Exception as exc:
            for a in self._actors:
                ray.kill(a, no_restart=True)
            raise ShardUnavailableError(f"the shards could not start: {exc}") from exc

    @classmethod
    def load(cls, folder: str, home: str | None = None, timeout: float = 60.0) -> ShardedCollection:
        """The collection saved in ``folder`` by :meth:`save`, in new actors."""
        with open(os.path.join(folder, _MANIFEST), encoding="utf-8") as f:
            manifest = json.load(f)
        if manifest.get("format") != _FORMAT:
            raise InvalidInputError(f"{folder}: not a sharded collection of format {_FORMAT}")
        for entry in manifest["shards"]:
            entry["path"] = os.path.abspath(os.path.join(folder, entry["file"]))
        return cls(
            shards=len(manifest["shards"]),
            dim=manifest["dim"],
            language=manifest["language"],
            home=home,
            timeout=timeout,
            _restore=manifest,
        )

    def _pointer(self, shard: int) -> str:
        return os.path.join(self._home, f"shard-{shard}.current")

    # --- talking to shards ---

    @property
    def shards(self) -> int:
        return len(self._actors)

    @property
    def dim(self) -> int:
        return self._dim

    @property
    def language(self) -> str:
        return self._language

    @property
    def actors(self) -> list[Any]:
        """The shards' Ray actor handles (for monitoring and fault tests)."""
        return list(self._actors)

    def _catch_up(self, shard: int, applied: int) -> dict[int, Any]:
        """Replays the logged changes shard `shard` misses after restarting with `applied`.

        Returns the answers of the replayed changes by number.
        """
        log = self._log[shard]
        first = log[0][0] if log else self._sent[shard] + 1
        if applied < 0 or applied + 1 < first:
            raise ShardUnavailableError(
                f"shard {shard} restarted without the file of its last save "
                f"(it has {max(applied, 0)} of {self._sent[shard]} changes); its documents are lost"
            )
        replayed = {}
        for number, kind, args in log:
            if number <= applied:
                continue
            status, value = self._ray.get(self._actors[shard].apply.remote(number, kind, args))
            if status != "ok":
                raise ShardUnavailableError(f"shard {shard} refused change {number} while catching up")
            replayed[number] = value
        return replayed

    def _call_all(
        self,
        make: Any,
        shards: Sequence[int],
        behind: Callable[[int, int], tuple[bool, Any]] | None = None,
    ) -> dict[int, Any]:
        """Runs make(shard) -> ObjectRef on the given shards until each has answered.

        A shard that answers that it is behind (it restarted and holds only
        its first `applied` changes) is handed to behind(shard, applied),
        which returns (done, result); by default it is brought up to date
        from the log and asked again. A shard that died is waited for (Ray
        restarts it); after `timeout` seconds ShardUnavailableError.
        """
        ray = self._ray
        lost = (ray.exceptions.RayActorError, ray.exceptions.ActorUnavailableError)
        deadline = time.monotonic() + self._timeout
        pending = list(shards)
        results: dict[int, Any] = {}
        delay = 0.05
        while pending:
            refs = {i: make(i) for i in pending}
            retry = []
            for i, ref in refs.items():
                try:
                    status, value = ray.get(ref, timeout=max(deadline - time.monotonic(), 0.001))
                except ray.exceptions.GetTimeoutError:
                    raise ShardUnavailableError(f"shard {i} did not answer within {self._timeout} s") from None
                except lost:
                    retry.append(i)
                    continue
                if status == "ok":
                    results[i] = value
                    continue
                try:
                    if behind is None:
                        self._catch_up(i, value)
                        done, result = False, None
                    else:
                        done, result = behind(i, value)
                except lost:
                    done, result = False, None
                if done:
                    results[i] = result
                else:
                    retry.append(i)
            pending = retry
            if pending:
                if time.monotonic() > deadline:
                    raise ShardUnavailableError(f"shards {pending} did not come back within {self._timeout} s")
                time.sleep(delay)
                delay = min(delay * 2, 1.0)
        return results

    def _change(self, per_shard: dict[int, tuple[str, tuple[Any, ...]]]) -> dict[int, Any]:
        """Sends one change to each listed shard, logging it first."""
        numbers = {}
        for i, (kind, args) in per_shard.items():
            self._sent[i] += 1
            numbers[i] = self._sent[i]
            self._log[i].append((numbers[i], kind, args))

        def make(i: int) -> Any:
            kind, args = per_shard[i]
            return self._actors[i].apply.remote(numbers[i], kind, args)

        def behind(i: int, applied: int) -> tuple[bool, Any]:
            if applied >= numbers[i]:
                return True, None  # applied before the actor died; the answer was lost
            return True, self._catch_up(i, applied).get(numbers[i])

        return self._call_all(make, list(per_shard), behind)

    def _read(self, method: str, per_shard: dict[int, tuple[Any, ...]]) -> dict[int, Any]:
        return self._call_all(
            lambda i: self._actors[i].read.remote(self._sent[i], method, per_shard[i]), list(per_shard)
        )

    @_locked
    def shard_processes(self) -> list[int]:
        """The process id of each shard's actor (a restarted shard has a new one)."""
        answers = self._read("pid", {i: () for i in self._all()})
        return [answers[i] for i in self._all()]

    def _all(self) -> range:
        return range(len(self._actors))

    # --- size and membership ---

    @_locked
    def __len__(self) -> int:
        return sum(self._read("len", {i: () for i in self._all()}).values())

    def __contains__(self, id: object) -> bool:
        return isinstance(id, str) and bool(self.get([id]))

    def __repr__(self) -> str:
        return f"ShardedCollection(shards={self.shards}, dim={self.dim}, language={self.language!r})"

    # --- changes ---

    @_locked
    def add(
        self,
        ids: Sequence[str],
        texts: Sequence[str],
        embeddings: ArrayLike | None = None,
        metadata: Sequence[Mapping[str, MetadataValue] | None] | None = None,
        upsert: bool = True,
    ) -> tuple[int, int]:
        """As :meth:`vesk.Collection.add`; every input is checked before any shard changes."""
        id_list, text_list, emb, meta = _add_args(ids, texts, embeddings, metadata, upsert, self._dim)
        n = len(id_list)
        if n == 0:
            return (0, 0)
        for i, m in enumerate(meta or []):
            if m is not None and SEQUENCE_KEY in m:
                raise InvalidInputError(f"metadata[{i}]: the key {SEQUENCE_KEY!r} is reserved")
        # A new id takes the number of its first occurrence in this call; a
        # stored id keeps its own (the shard decides which applies).
        first: dict[str, int] = {}
        for i, doc_id in enumerate(id_list):
            first.setdefault(doc_id, self._next_seq + i)
        parts: dict[int, list[int]] = {}
        for i, doc_id in enumerate(id_list):
            parts.setdefault(shard_of(doc_id, self.shards), []).append(i)
        per_shard = {}
        for s, rows in parts.items():
            per_shard[s] = (
                "add",
                (
                    [id_list[i] for i in rows],
                    [text_list[i] for i in rows],
                    None if emb is None else emb[rows],
                    None if meta is None else [meta[i] for i in rows],
                    [first[id_list[i]] for i in rows],
                    bool(upsert),
                ),
            )
        self._next_seq += n
        results = self._change(per_shard)
        added = updated = 0
        for value in results.values():
            if isinstance(value, tuple):
                added += value[0]
                updated += value[1]
        return (added, updated)

    @_locked
    def delete(self, ids: Sequence[str]) -> int:
        """As :meth:`vesk.Collection.delete`."""
        id_list = _str_list("ids", ids)
        if not id_list:
            return 0
        parts: dict[int, list[str]] = {}
        for doc_id in id_list:
            parts.setdefault(shard_of(doc_id, self.shards), []).append(doc_id)
        results = self._change({s: ("delete", (part,)) for s, part in parts.items()})
        return sum(v for v in results.values() if isinstance(v, int))

    @_locked
    def clear(self) -> None:
        """Removes every document."""
        self._change({i: ("clear", ()) for i in self._all()})

    @_locked
    def get(self, ids: Sequence[str]) -> list[Document]:
        """As :meth:`vesk.Collection.get`."""
        id_list = _str_list("ids", ids)
        if not id_list:
            return []
        parts: dict[int, list[str]] = {}
        for doc_id in id_list:
            parts.setdefault(shard_of(doc_id, self.shards), []).append(doc_id)
        found: dict[str, Document] = {}
        for rows in self._read("get", {s: (part,) for s, part in parts.items()}).values():
            for doc_id, text, meta in rows:
                found[doc_id] = Document(doc_id, text, meta)
        return [found[doc_id] for doc_id in id_list if doc_id in found]

    # --- searches ---

    def _statistics(self, texts: list[str]) -> list[tuple[int, int, list[int]]]:
        """The whole collection's keyword statistics for each query text."""
        answers = self._read("stats", {i: (texts,) for i in self._all()})
        total: list[tuple[int, int, list[int]]] = []
        for q in range(len(texts)):
            n_docs = sum(answers[i][q][0] for i in answers)
            tokens = sum(answers[i][q][1] for i in answers)
            df = [sum(col) for col in zip(*(answers[i][q][2] for i in answers))]
            total.append((n_docs, tokens, df))
        return total

    def search(
        self,
        text: str | None = None,
        vector: ArrayLike | None = None,
        k: int = 10,
        alpha: float = DEFAULT_ALPHA,
        where: Mapping[str, Any] | None = None,
        depth: int = DEFAULT_DEPTH,
    ) -> list[Hit]:
        """As :meth:`vesk.Collection.search`, with the same answers."""
        if text is not None and not isinstance(text, str):
            raise InvalidTypeError(f"text must be a str or None, not {type(text).__name__}")
        vec = _vector_arg(vector, self._dim)
        if text is None and vec is None:
            raise InvalidInputError("search needs a text, a vector or both")
        k = _int_arg("k", k, 0)
        a = _alpha_arg(alpha)
        depth = _int_arg("depth", depth, 1)
        compile_filter(where)
        if k == 0:
            return []
        return self._batch(
            None if text is None else [text], None if vec is None else vec[None, :], k, a, where, depth
        )[0]

    def search_batch(
        self,
        texts: Sequence[str] | None = None,
        vectors: ArrayLike | None = None,
        k: int = 10,
        alpha: float = DEFAULT_ALPHA,
        where: Mapping[str, Any] | None = None,
        depth: int = DEFAULT_DEPTH,
    ) -> list[list[Hit]]:
        """As :meth:`vesk.Collection.search_batch`: one round of requests to the shards per batch."""
        text_list = None if texts is None else _str_list("texts", texts)
        vecs = _vectors_arg(vectors, self._dim)
        if text_list is None and vecs is None:
            raise InvalidInputError("search_batch needs texts, vectors or both")
        if text_list is not None and vecs is not None and len(text_list) != vecs.shape[0]:
            raise InvalidInputError(f"got {len(text_list)} texts but {vecs.shape[0]} vectors")
        k = _int_arg("k", k, 0)
        a = _alpha_arg(alpha)
        depth = _int_arg("depth", depth, 1)
        compile_filter(where)
        m = len(text_list) if text_list is not None else vecs.shape[0]  # type: ignore[union-attr]
        if m == 0:
            return []
        if k == 0:
            return [[] for _ in range(m)]
        return self._batch(text_list, vecs, k, a, where, depth)

    @_locked
    def _batch(
        self,
        texts: list[str] | None,
        vectors: np.ndarray | None,
        k: int,
        alpha: float,
        where: Mapping[str, Any] | None,
        depth: int,
    ) -> list[list[Hit]]:
        keyword_on, dense_on = _sides(texts is not None, vectors is not None, alpha)
        fused = keyword_on and dense_on
        n = max(depth, k) if fused else k
        m = len(texts) if texts is not None else vectors.shape[0]  # type: ignore[union-attr]
        stats = self._statistics(texts) if keyword_on else None  # type: ignore[arg-type]
        args = (
            texts if keyword_on else None,
            vectors if dense_on else None,
            n,
            n,
            None if where is None else dict(where),
            stats,
            k,
        )
        answers = self._read("candidates", {i: args for i in self._all()})
        out: list[list[Hit]] = []
        for q in range(m):
            keyword = _merge([answers[i][0][q] for i in answers], n) if keyword_on else []
            dense = _merge([answers[i][1][q] for i in answers], n) if dense_on else []
            if not fused:
                side = keyword if keyword_on else dense
                hits = []
                for r, (score, _seq, doc_id, text, meta) in enumerate(side[:k], 1):
                    if keyword_on:
                        hits.append(Hit(doc_id, score, text, meta, keyword_rank=r, keyword_score=score))
                    else:
                        hits.append(Hit(doc_id, score, text, meta, dense_rank=r, dense_score=score))
                out.append(hits)
                continue
            rows: dict[str, tuple] = {}
            for row in dense + keyword:  # prefer a row that carries its document
                if row[2] not in rows or rows[row[2]][3] is None:
                    rows[row[2]] = row
            keyword_at = {row[2]: (r, row[0]) for r, row in enumerate(keyword, 1)}
            dense_at = {row[2]: (r, row[0]) for r, row in enumerate(dense, 1)}
            hits = []
            for doc_id, score in _fuse(dense, keyword, k, alpha):
                row = rows[doc_id]
                kr = keyword_at.get(doc_id)
                dr = dense_at.get(doc_id)
                hits.append(
                    Hit(
                        doc_id,
                        float(score),
                        row[3],
                        row[4],
                        keyword_rank=None if kr is None else kr[0],
                        keyword_score=None if kr is None else kr[1],
                        dense_rank=None if dr is None else dr[0],
                        dense_score=None if dr is None else dr[1],
                    )
                )
            out.append(hits)
        # Fused hits found deeper than k in their shard's lists come without
        # their documents: one more request fetches them.
        missing = sorted({h.id for hits in out for h in hits if h.text is None})
        if missing:
            docs = {d.id: d for d in self.get(missing)}
            out = [
                [h if h.text is not None else replace(h, text=docs[h.id].text, metadata=docs[h.id].metadata)
                 for h in hits]
                for hits in out
            ]
        return out

    @_locked
    def explain(
        self,
        id: str,
        text: str | None = None,
        vector: ArrayLike | None = None,
        alpha: float = DEFAULT_ALPHA,
        depth: int = DEFAULT_DEPTH,
    ) -> dict[str, Any]:
        """As :meth:`vesk.Collection.explain`, with the whole collection's statistics and ranks."""
        if not isinstance(id, str):
            raise InvalidTypeError(f"id must be a str, not {type(id).__name__}")
        if text is not None and not isinstance(text, str):
            raise InvalidTypeError(f"text must be a str or None, not {type(text).__name__}")
        vec = _vector_arg(vector, self._dim)
        if text is None and vec is None:
            raise InvalidInputError("explain needs a text, a vector or both")
        a = _alpha_arg(alpha)
        depth = _int_arg("depth", depth, 1)
        shard = shard_of(id, self.shards)
        keyword_on, dense_on = _sides(text is not None, vec is not None, a)
        stats = self._statistics([text])[0] if keyword_on else None  # type: ignore[list-item]
        own = self._read(
            "explain_doc",
            {shard: (id, text if keyword_on else None, vec if dense_on else None, stats)},
        )[shard]
        if own is None:
            raise DocumentNotFoundError(f"no document with id {id!r}")
        # Ranks and the fused score come from the global candidate lists.
        args = (
            [text] if keyword_on else None,
            vec[None, :] if dense_on else None,  # type: ignore[index]
            depth,
            depth,
            None,
            None if stats is None else [stats],
            0,
        )
        answers = self._read("candidates", {i: args for i in self._all()})
        keyword = _merge([answers[i][0][0] for i in answers], depth) if keyword_on else []
        dense = _merge([answers[i][1][0] for i in answers], depth) if dense_on else []
        out = {"id": id, "keyword": own.get("keyword"), "dense": own.get("dense"), "fused": None}
        if out["keyword"] is not None:
            out["keyword"] = dict(out["keyword"])
            out["keyword"]["rank"] = next((r for r, row in enumerate(keyword, 1) if row[2] == id), None)
        if out["dense"] is not None:
            out["dense"] = dict(out["dense"])
            out["dense"]["rank"] = next((r for r, row in enumerate(dense, 1) if row[2] == id), None)
        if keyword_on and dense_on:
            fused = dict(_fuse(dense, keyword, len(keyword) + len(dense), a))
            out["fused"] = float(fused.get(id, np.float32(0)))
        return out

    # --- files ---

    @_locked
    def save(self, folder: str) -> None:
        """Writes one file per shard and a manifest into ``folder`` (made if missing).

        Each shard restarts from its file from now on, and the driver's log of
        changes is emptied. :meth:`load` reads the folder back.
        """
        os.makedirs(folder, exist_ok=True)
        stems = {i: (os.path.abspath(os.path.join(folder, f"shard-{i:04d}")),) for i in self._all()}
        saved = self._call_all(
            lambda i: self._actors[i].read.remote(self._sent[i], "save_file", stems[i]), list(stems)
        )
        manifest = {
            "format": _FORMAT,
            "dim": self._dim,
            "language": self._language,
            "next_seq": self._next_seq,
            "shards": [{"file": saved[i][1], "applied": saved[i][0]} for i in self._all()],
        }
        tmp = os.path.join(folder, _MANIFEST + ".tmp")
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump(manifest, f, indent=1)
        os.replace(tmp, os.path.join(folder, _MANIFEST))
        for i in self._all():
            self._log[i] = [entry for entry in self._log[i] if entry[0] > saved[i][0]]

    @_locked
    def close(self) -> None:
        """Ends the shards' actors (their files stay)."""
        for actor in self._actors:
            self._ray.kill(actor, no_restart=True)
        self._actors = []


def _save_file(self: _Shard, stem: str) -> tuple[int, str]:
    return self.save(stem)


_Shard._save_file = _save_file  # type: ignore[attr-defined]
