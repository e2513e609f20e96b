"""A local search page over one collection: ``vesk serve FILE``.

The page (``vesk/web/``: one HTML file, one script, one style sheet, no
outside resources) talks to a small JSON API served by the same process:

* ``GET /api/info``: the collection's size, dimension, language, and whether
  semantic search is available (and if not, why).
* ``GET /api/search?q=TEXT&alpha=0.5&k=10&where=JSON``: the keyword, semantic
  and hybrid results for one question, side by side. ``semantic`` and
  ``hybrid`` are ``null`` when the collection has no embedder for queries.
* ``GET /api/explain?id=ID&q=TEXT&alpha=0.5``: :meth:`vesk.Collection.explain`
  of one document for that question.

Errors are JSON objects ``{"error": message, "type": name}`` with status 400
(bad parameters, a malformed filter), 404 (unknown document or path) or 500.

The server is the standard library's :class:`http.server.ThreadingHTTPServer`:
a page used by one person on their own machine needs no more, and it keeps
``vesk`` free of web dependencies. Each request runs on its own thread; the
collection is safe to search from several threads at once. It listens on
127.0.0.1 unless told otherwise and has no authentication: anyone who can
reach the port can read every document.

>>> import vesk
>>> col = vesk.Collection(dim=2)
>>> col.add(["a", "b"], ["red apples", "green pears"], [[1, 0], [0, 1]])
(2, 0)
>>> service = SearchService(col)
>>> [h["id"] for h in service.search("pears")["keyword"]]
['b']
>>> service.search("pears")["semantic"] is None
True
"""

from __future__ import annotations

import functools
import json
import math
import threading
from collections.abc import Callable, Mapping
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any
from urllib.parse import parse_qs, urlsplit

import numpy as np

from .collection import DEFAULT_ALPHA, DEFAULT_DEPTH, Collection
from .errors import DocumentNotFoundError, VeskError
from .filters import filter_from_json
from .types import Hit

__all__ = [
    "SearchService",
    "BadRequest",
    "hit_to_json",
    "json_float",
    "query_embedder",
    "make_server",
    "serve",
    "WEB_DIR",
    "MAX_K",
]

#: The page's files. Resolved through symbolic links, so that a package
#: assembled from links to the source tree finds them too.
WEB_DIR = Path(__file__).resolve().parent / "web"

#: The largest ``k`` the API accepts: the page shows lists, not exports.
MAX_K = 200

_STATIC = {
    "/": ("index.html", "text/html; charset=utf-8"),
    "/index.html": ("index.html", "text/html; charset=utf-8"),
    "/app.js": ("app.js", "text/javascript; charset=utf-8"),
    "/style.css": ("style.css", "text/css; charset=utf-8"),
}

# Everything the page loads comes from this server; nothing from elsewhere.
_CSP = "default-src 'self'; img-src 'self' data:; object-src 'none'; base-uri 'none'; frame-ancestors 'none'"

QueryEmbedder = Callable[[str], Any]


class BadRequest(Exception):
    """A request parameter is missing or malformed (status 400)."""


def json_float(value: float | None) -> float | None:
    """A score as the shortest decimal that reads back as the same 32-bit float.

    Scores are 32-bit floats; printing the widened 64-bit value would show
    digits that mean nothing (0.016393441706895828 for 0.016393442).

    >>> json_float(0.016393441706895828), json_float(None)
    (0.016393442, None)
    """
    if value is None:
        return None
    f = float(value)
    if not math.isfinite(f):
        return f
    return float(np.format_float_positional(np.float32(f), unique=True, trim="-"))


def hit_to_json(hit: Hit, rank: int) -> dict[str, Any]:
    """One hit as a JSON-ready dict; ``rank`` counts from 1 in its list."""
    return {
        "rank": rank,
        "id": hit.id,
        "score": json_float(hit.score),
        "text": hit.text,
        "metadata": dict(hit.metadata),
        "keyword_rank": hit.keyword_rank,
        "keyword_score": json_float(hit.keyword_score),
        "dense_rank": hit.dense_rank,
        "dense_score": json_float(hit.dense_score),
    }


def query_embedder(collection: Collection) -> tuple[QueryEmbedder | None, str | None]:
    """How to turn a question into a query vector for ``collection``.

    Returns ``(embed, None)`` when the collection carries an embedder (an
    object with ``embed(texts)``, see :mod:`vesk.embed`), where
    ``embed(text)`` is the 1-D query vector, and ``(None, reason)`` when it
    does not, ``reason`` being a sentence for the person searching.
    """
    embedder = getattr(collection, "embedder", None)
    if embedder is None:
        return None, (
            "this collection was built without an embedder (vesk index --embedder none), "
            "so questions cannot be turned into vectors"
        )
    method = getattr(embedder, "embed", None)
    if not callable(method):
        return None, f"the collection's embedder {type(embedder).__name__} has no embed method"

    def embed(text: str) -> Any:
        return np.asarray(method([text]), dtype=np.float32).reshape(-1)

    return embed, None


class SearchService:
    """The answers behind the page, independent of HTTP.

    ``embed_query`` turns a question into a query vector; when it is omitted
    it comes from the collection's own embedder (see :func:`query_embedder`).
    Pass ``embed_query=False`` to force keyword-only answers, with
    ``semantic_reason`` saying why. ``name`` is shown as the page's title.
    Query vectors of the last 256 distinct questions are kept, so moving the
    alpha slider does not embed the same question again.
    """

    def __init__(
        self,
        collection: Collection,
        embed_query: QueryEmbedder | None | bool = None,
        semantic_reason: str | None = None,
        name: str = "collection",
        details: Mapping[str, Any] | None = None,
    ) -> None:
        self.collection = collection
        self.name = name
        self.details = dict(details or {})
        if embed_query is None:
            embed, reason = query_embedder(collection)
        elif embed_query is False:
            embed, reason = None, semantic_reason or "semantic search is turned off"
        else:
            embed, reason = embed_query, None  # type: ignore[assignment]
        self.semantic_reason = reason
        self._embed = functools.lru_cache(maxsize=256)(embed) if embed is not None else None

    @property
    def semantic(self) -> bool:
        """Whether questions can be searched by meaning."""
        return self._embed is not None

    def _vector(self, q: str) -> Any:
        if self._embed is None:
            return None
        return self._embed(q)

    def info(self) -> dict[str, Any]:
        col = self.collection
        out: dict[str, Any] = {
            "name": self.name,
            "documents": len(col),
            "dim": col.dim,
            "language": col.language,
            "semantic": self.semantic,
            "semantic_reason": self.semantic_reason,
            "default_alpha": DEFAULT_ALPHA,
            "max_k": MAX_K,
        }
        out.update(self.details)
        return out

    def search(
        self,
        q: str,
        k: int = 10,
        alpha: float = DEFAULT_ALPHA,
        where: Mapping[str, Any] | None = None,
    ) -> dict[str, Any]:
        """The three result lists for one question (``semantic``/``hybrid`` None without an embedder)."""
        col = self.collection
        # alpha 0: keywords alone, even when the collection embeds questions itself.
        keyword = col.search(q, k=k, alpha=0.0, where=where)
        vec = self._vector(q)
        semantic = hybrid = None
        if vec is not None:
            semantic = col.search(vector=vec, k=k, where=where)
            hybrid = col.search(q, vec, k=k, alpha=alpha, where=where, depth=max(DEFAULT_DEPTH, k))

        def listed(hits: list[Hit] | None) -> list[dict[str, Any]] | None:
            return None if hits is None else [hit_to_json(h, i) for i, h in enumerate(hits, 1)]

        return {
            "query": q,
            "k": k,
            "alpha": alpha,
            "where": where,
            "semantic_available": vec is not None,
            "semantic_reason": self.semantic_reason,
            "keyword": listed(keyword),
            "semantic": listed(semantic),
            "hybrid": listed(hybrid),
        }

    def explain(self, id: str, q: str, alpha: float = DEFAULT_ALPHA) -> dict[str, Any]:
        """Why document ``id`` scores what it does for ``q`` (both sides when possible)."""
        vec = self._vector(q)
        col = self.collection
        e = col.explain(id, q, vec, alpha=alpha)
        # At alpha 0 or 1 one side does not count; it is still shown, marked so.
        kw_counted = dense_counted = True
        if e.get("keyword") is None and vec is not None:
            e["keyword"], kw_counted = col.explain(id, q, vec, alpha=0.0).get("keyword"), False
        if e.get("dense") is None and vec is not None and alpha == 0.0:
            e["dense"], dense_counted = col.explain(id, None, vec).get("dense"), False
        kw = e.get("keyword")
        if kw is not None:
            kw = dict(kw)
            kw["terms"] = [
                {**t, "idf": json_float(t.get("idf")), "weight": json_float(t.get("weight"))}
                for t in kw.get("terms", [])
            ]
            for key in ("score", "avgdl"):
                if key in kw:
                    kw[key] = json_float(kw[key])
        dense = e.get("dense")
        if dense is not None:
            dense = {**dense, "score": json_float(dense.get("score"))}
        doc = col.get([id])
        return {
            "id": id,
            "query": q,
            "alpha": alpha,
            "text": doc[0].text if doc else None,
            "metadata": dict(doc[0].metadata) if doc else {},
            "keyword": kw,
            "dense": dense,
            "keyword_counted": kw_counted,
            "dense_counted": dense_counted,
            "fused": json_float(e.get("fused")),
            "semantic_reason": self.semantic_reason,
        }


# --- request parameters ------------------------------------------------------


def _one(params: dict[str, list[str]], name: str, default: str | None = None) -> str | None:
    values = params.get(name)
    if not values:
        return default
    return values[-1]


def _required(params: dict[str, list[str]], name: str) -> str:
    value = _one(params, name)
    if value is None or value.strip() == "":
        raise BadRequest(f"missing parameter {name!r}")
    return value


def _alpha_param(params: dict[str, list[str]]) -> float:
    raw = _one(params, "alpha")
    if raw is None or raw == "":
        return DEFAULT_ALPHA
    try:
        alpha = float(raw)
    except ValueError:
        raise BadRequest(f"alpha must be a number between 0 and 1, got {raw!r}") from None
    if not 0.0 <= alpha <= 1.0:
        raise BadRequest(f"alpha must be between 0 and 1, got {raw}")
    return alpha


def _k_param(params: dict[str, list[str]]) -> int:
    raw = _one(params, "k")
    if raw is None or raw == "":
        return 10
    try:
        k = int(raw)
    except ValueError:
        raise BadRequest(f"k must be a whole number, got {raw!r}") from None
    if not 1 <= k <= MAX_K:
        raise BadRequest(f"k must be between 1 and {MAX_K}, got {k}")
    return k


def _where_param(params: dict[str, list[str]]) -> dict[str, Any] | None:
    raw = _one(params, "where")
    try:
        return None if raw is None else filter_from_json(raw, "where")
    except ValueError as exc:
        raise BadRequest(str(exc)) from None


# --- HTTP --------------------------------------------------------------------


class _Handler(BaseHTTPRequestHandler):
    service: SearchService  # set on the subclass made by make_server
    quiet: bool = True
    server_version = "vesk"
    protocol_version = "HTTP/1.1"

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - the base class's name
        if not self.quiet:
            super().log_message(format, *args)

    def _send(self, status: int, body: bytes, content_type: str) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Content-Security-Policy", _CSP)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _json(self, status: int, payload: Any) -> None:
        body = json.dumps(payload, ensure_ascii=False, allow_nan=False).encode("utf-8")
        self._send(status, body, "application/json; charset=utf-8")

    def _error(self, status: int, message: str, kind: str) -> None:
        self._json(status, {"error": message, "type": kind})

    def do_HEAD(self) -> None:  # noqa: N802 - http.server's naming
        self.do_GET()

    def do_GET(self) -> None:  # noqa: N802 - http.server's naming
        url = urlsplit(self.path)
        params = parse_qs(url.query, keep_blank_values=True)
        try:
            if url.path in _STATIC:
                name, content_type = _STATIC[url.path]
                self._send(HTTPStatus.OK, (WEB_DIR / name).read_bytes(), content_type)
            elif url.path == "/api/info":
                self._json(HTTPStatus.OK, self.service.info())
            elif url.path == "/api/search":
                q = _required(params, "q")
                result = self.service.search(q, _k_param(params), _alpha_param(params), _where_param(params))
                self._json(HTTPStatus.OK, result)
            elif url.path == "/api/explain":
                result = self.service.explain(_required(params, "id"), _required(params, "q"), _alpha_param(params))
                self._json(HTTPStatus.OK, result)
            else:
                self._error(HTTPStatus.NOT_FOUND, f"no such page: {url.path}", "NotFound")
        except BadRequest as exc:
            self._error(HTTPStatus.BAD_REQUEST, str(exc), "BadRequest")
        except DocumentNotFoundError as exc:
            self._error(HTTPStatus.NOT_FOUND, exc.args[0] if exc.args else str(exc), type(exc).__name__)
        except (VeskError, ValueError, TypeError) as exc:
            self._error(HTTPStatus.BAD_REQUEST, str(exc), type(exc).__name__)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the page went away (a newer request replaced this one)
        except Exception as exc:  # noqa: BLE001 - the page shows it; the server keeps serving
            self._error(HTTPStatus.INTERNAL_SERVER_ERROR, f"{type(exc).__name__}: {exc}", "InternalError")

    def do_POST(self) -> None:  # noqa: N802 - http.server's naming
        self._error(HTTPStatus.METHOD_NOT_ALLOWED, "use GET", "MethodNotAllowed")


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False


def make_server(service: SearchService, host: str = "127.0.0.1", port: int = 8000, quiet: bool = True) -> _Server:
    """A bound server for ``service``; ``port=0`` picks a free port (see ``server.server_address``).

    Call ``serve_forever()`` (in a thread, if you like) and ``shutdown()``
    then ``server_close()`` to stop. Raises :class:`OSError` when the address
    cannot be bound.
    """
    handler = type("Handler", (_Handler,), {"service": service, "quiet": quiet})
    if ":" in host and not host.startswith("["):
        import socket

        server_class = type("Server6", (_Server,), {"address_family": socket.AF_INET6})
        return server_class((host, port), handler)
    return _Server((host, port), handler)


def serve(service: SearchService, host: str = "127.0.0.1", port: int = 8000, quiet: bool = False) -> None:
    """Serve ``service`` until interrupted (Ctrl-C)."""
    server = make_server(service, host, port, quiet=quiet)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()


def serve_in_thread(service: SearchService, host: str = "127.0.0.1", port: int = 0) -> tuple[_Server, str]:
    """Start a server on a daemon thread; return it and its base URL (for tests and notebooks)."""
    server = make_server(service, host, port)
    thread = threading.Thread(target=server.serve_forever, name="vesk-serve", daemon=True)
    thread.start()
    h, p = server.server_address[:2]
    shown = f"[{h}]" if ":" in str(h) else h
    return server, f"http://{shown}:{p}"
