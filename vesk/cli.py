"""The ``vesk`` command: build a collection file from documents, search it, serve it.

::

    vesk index INPUT -o FILE     JSON Lines, CSV/TSV, or a folder of .txt/.md files
    vesk search FILE "question" [--k 10] [--alpha 0.5] [--where JSON] [--json]
    vesk info FILE [--json]
    vesk serve FILE [--host 127.0.0.1] [--port 8000]

``python -m vesk`` is the same command. Output is meant for people unless
``--json`` is given, which prints one JSON document on stdout. Notes and
warnings go to stderr.

Exit status, for scripts:

* 0: done.
* 1: the command was right but failed while running: a file that is not a
  collection or is damaged, an input row without text or with bad JSON, the
  embedder could not be loaded, the server could not listen, ...
* 2: the command line is wrong: an unknown option or a bad value, an input
  or collection file that does not exist, a column named by a flag that the
  input does not have, a ``--where`` that is not a valid filter.
"""

from __future__ import annotations

import argparse
import csv
import inspect
import json
import math
import os
import sys
import time
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, NoReturn

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2

EMBEDDERS = ("minilm", "none")
FOLDER_SUFFIXES = (".txt", ".md")
_SNIPPET = 160
_ADD_BATCH = 4096

__all__ = ["main", "EXIT_OK", "EXIT_FAILURE", "EXIT_USAGE", "read_documents", "Documents"]


class UsageError(Exception):
    """The command line is wrong (exit status 2)."""


class Failure(Exception):
    """The command failed while running (exit status 1)."""


def _note(message: str) -> None:
    print(f"vesk: {message}", file=sys.stderr)


# --- reading documents ---------------------------------------------------------


@dataclass
class Documents:
    """What ``vesk index`` adds: parallel lists of ids, texts and metadata."""

    ids: list[str] = field(default_factory=list)
    texts: list[str] = field(default_factory=list)
    metadata: list[dict[str, Any]] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)


def _detect_format(path: Path, given: str) -> str:
    if given != "auto":
        return given
    if path.is_dir():
        return "folder"
    suffix = path.suffix.lower()
    if suffix in (".jsonl", ".ndjson", ".json"):
        return "jsonl"
    if suffix == ".csv":
        return "csv"
    if suffix == ".tsv":
        return "tsv"
    raise UsageError(f"cannot tell the format of {path} from its name; pass --format jsonl, csv, tsv or folder")


def _scalar(value: Any) -> bool:
    return isinstance(value, (str, bool, int)) or (isinstance(value, float) and math.isfinite(value))


def _id_text(value: Any, where: str, what: str) -> str:
    if isinstance(value, str):
        return value
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return str(value)
    raise Failure(f"{where}: the {what} must be a string or a number, not {json.dumps(value)}")


def _check_fields(
    source: str, available: Sequence[str], id_field: str | None, text_field: str, meta_fields: list[str] | None
) -> None:
    """Every column named by a flag exists in the input (UsageError otherwise)."""
    shown = ", ".join(available) if available else "(none)"
    if text_field not in available:
        raise UsageError(f"{source} has no {text_field!r} field for the text; its fields are: {shown} (use --text-field)")
    if id_field is not None and id_field not in available:
        raise UsageError(f"{source} has no {id_field!r} field for the id; its fields are: {shown} (use --id-field)")
    for name in meta_fields or []:
        if name not in available:
            raise UsageError(f"{source} has no {name!r} field (--metadata-fields); its fields are: {shown}")


def _rows_to_documents(
    rows: list[tuple[str, dict[str, Any]]],
    available: list[str],
    source: str,
    id_field: str | None,
    text_field: str,
    meta_fields: list[str] | None,
) -> Documents:
    """Rows (``where``, record) to documents; ``meta_fields`` None means every other field."""
    explicit_id = id_field is not None
    if id_field is None and "id" in available:
        id_field = "id"
    _check_fields(source, available, id_field if explicit_id else None, text_field, meta_fields)
    docs = Documents()
    if id_field is None:
        docs.notes.append(f"{source} has no 'id' field: documents are numbered by row (use --id-field)")
    chosen = meta_fields if meta_fields is not None else [f for f in available if f not in (id_field, text_field)]
    skipped: set[str] = set()
    for number, (where, record) in enumerate(rows, 1):
        if id_field is None:
            doc_id = str(number)
        elif record.get(id_field) is None:
            raise Failure(f"{where}: no {id_field!r} value for the id")
        else:
            doc_id = _id_text(record[id_field], where, f"id field {id_field!r}")
        text = record.get(text_field)
        if text is None:
            raise Failure(f"{where}: no {text_field!r} value for the text")
        if not isinstance(text, str):
            raise Failure(f"{where}: the text field {text_field!r} must be a string, not {json.dumps(text)}")
        meta: dict[str, Any] = {}
        for name in chosen:
            value = record.get(name)
            if value is None:
                continue
            if not _scalar(value):
                if meta_fields is None:  # chosen by default: leave it out, say so once
                    skipped.add(name)
                    continue
                raise Failure(
                    f"{where}: metadata field {name!r} holds {json.dumps(value)[:60]}; "
                    "metadata values must be strings, numbers or booleans"
                )
            meta[name] = value
        docs.ids.append(doc_id)
        docs.texts.append(text)
        docs.metadata.append(meta)
    if skipped:
        docs.notes.append(
            f"left out of the metadata (lists, objects or non-finite numbers): {', '.join(sorted(skipped))}"
        )
    return docs


def _read_jsonl(path: Path, id_field: str | None, text_field: str, meta_fields: list[str] | None) -> Documents:
    rows: list[tuple[str, dict[str, Any]]] = []
    seen: dict[str, None] = {}
    with path.open(encoding="utf-8-sig") as f:
        for line_no, line in enumerate(f, 1):
            if not line.strip():
                continue
            where = f"{path}, line {line_no}"
            try:
                record = json.loads(line)
            except json.JSONDecodeError as exc:
                raise Failure(f"{where}: not valid JSON ({exc.msg}, column {exc.colno})") from None
            if not isinstance(record, dict):
                raise Failure(f"{where}: each line must be a JSON object, not {type(record).__name__}")
            rows.append((where, record))
            for key in record:
                seen.setdefault(key, None)
    if not rows:
        raise Failure(f"{path} holds no JSON objects")
    return _rows_to_documents(rows, list(seen), str(path), id_field, text_field, meta_fields)


def _typed_column(values: Iterable[str]) -> type | None:
    """int, float or bool when every non-empty value of a CSV column reads as one, else None (text)."""
    kinds = {int, float, bool}
    for v in values:
        if v == "":
            continue
        if int in kinds:
            try:
                int(v)
            except ValueError:
                kinds.discard(int)
        if float in kinds:
            try:
                if not math.isfinite(float(v)):
                    kinds.discard(float)
            except ValueError:
                kinds.discard(float)
        if bool in kinds and v.lower() not in ("true", "false"):
            kinds.discard(bool)
        if not kinds:
            return None
    for kind in (int, float, bool):
        if kind in kinds:
            return kind
    return None


def _read_csv(
    path: Path, delimiter: str, id_field: str | None, text_field: str, meta_fields: list[str] | None
) -> Documents:
    csv.field_size_limit(2**31 - 1)
    with path.open(encoding="utf-8-sig", newline="") as f:
        reader = csv.DictReader(f, delimiter=delimiter)
        header = list(reader.fieldnames or [])
        if not header:
            raise Failure(f"{path} is empty: expected a header line naming the columns")
        try:
            raw = [(f"{path}, line {reader.line_num}", dict(r)) for r in reader]
        except csv.Error as exc:
            raise Failure(f"{path}, line {reader.line_num}: {exc}") from None
    if not raw:
        raise Failure(f"{path} has a header but no rows")
    for where, r in raw:
        if None in r:
            raise Failure(f"{where}: more values than the header has columns")
    _check_fields(str(path), header, id_field, text_field, meta_fields)
    # Numbers and booleans are read as such when a whole column holds them,
    # so that filters such as {"year": {"$gte": 2020}} work; empty cells are
    # left out of the document's metadata.
    other = [c for c in header if c not in (text_field, id_field or "id")]
    kinds = {c: _typed_column(r.get(c) or "" for _, r in raw) for c in other}
    rows: list[tuple[str, dict[str, Any]]] = []
    for where, r in raw:
        record: dict[str, Any] = {}
        for c in header:
            v = r.get(c)
            if v is None or (v == "" and c != text_field):
                continue
            kind = kinds.get(c)
            if kind is bool:
                record[c] = v.lower() == "true"
            elif kind is not None:
                record[c] = kind(v)
            else:
                record[c] = v
        rows.append((where, record))
    return _rows_to_documents(rows, header, str(path), id_field, text_field, meta_fields)


def _read_folder(path: Path) -> Documents:
    files = sorted(
        p
        for p in path.rglob("*")
        if p.suffix.lower() in FOLDER_SUFFIXES
        and p.is_file()
        and not any(part.startswith(".") for part in p.relative_to(path).parts)
    )
    if not files:
        raise Failure(f"{path} holds no {' or '.join(FOLDER_SUFFIXES)} files")
    docs = Documents()
    empty = 0
    for p in files:
        rel = p.relative_to(path)
        try:
            text = p.read_text(encoding="utf-8-sig")
        except UnicodeDecodeError as exc:
            raise Failure(f"{p}: not UTF-8 text ({exc.reason} at byte {exc.start})") from None
        if not text.strip():
            empty += 1
            continue
        meta: dict[str, Any] = {"folder": rel.parent.as_posix() if rel.parent.parts else "", "type": p.suffix[1:].lower()}
        if p.suffix.lower() == ".md":
            for line in text.splitlines():
                if line.startswith("# "):
                    meta["title"] = line[2:].strip()
                    break
        docs.ids.append(rel.as_posix())
        docs.texts.append(text)
        docs.metadata.append(meta)
    if empty:
        docs.notes.append(f"skipped {empty} empty file(s)")
    if not docs.ids:
        raise Failure(f"every {' or '.join(FOLDER_SUFFIXES)} file in {path} is empty")
    return docs


def read_documents(
    path: Path,
    fmt: str = "auto",
    id_field: str | None = None,
    text_field: str = "text",
    meta_fields: list[str] | None = None,
) -> Documents:
    """The documents of a JSON Lines, CSV/TSV file or a folder of text files.

    ``id_field`` None uses an ``id`` field when there is one and numbers the
    rows otherwise; ``meta_fields`` None takes every other field as metadata.
    Raises UsageError for a missing input or a named field the input lacks,
    Failure for unreadable content.
    """
    if not path.exists():
        raise UsageError(f"input {path} does not exist")
    kind = _detect_format(path, fmt)
    if kind == "folder":
        if not path.is_dir():
            raise UsageError(f"--format folder needs a folder, and {path} is a file")
        if id_field is not None or text_field != "text" or meta_fields is not None:
            raise UsageError("--id-field, --text-field and --metadata-fields apply to JSON Lines and CSV input only")
        return _read_folder(path)
    if path.is_dir():
        raise UsageError(f"{path} is a folder; --format {kind} needs a file")
    try:
        if kind == "jsonl":
            return _read_jsonl(path, id_field, text_field, meta_fields)
        return _read_csv(path, "\t" if kind == "tsv" else ",", id_field, text_field, meta_fields)
    except UnicodeDecodeError as exc:
        raise Failure(f"{path}: not UTF-8 text ({exc.reason} at byte {exc.start})") from None


# --- collections on disk -------------------------------------------------------


def _load(path_arg: str) -> Any:
    """The collection saved at ``path_arg`` (memory-mapped where the format allows)."""
    import vesk

    path = Path(path_arg)
    if not path.exists():
        raise UsageError(f"collection file {path} does not exist (make one with: vesk index INPUT -o {path})")
    if path.is_dir():
        raise UsageError(f"{path} is a folder, not a collection file")
    load = getattr(vesk, "load", None)
    if load is None:
        raise Failure("this build of vesk cannot read collection files (vesk.load is missing)")
    try:
        return load(str(path), mmap=True)
    except (OSError, ValueError, vesk.VeskError) as exc:
        raise Failure(f"cannot read {path}: {exc}") from None


def _embedder_name(collection: Any) -> str | None:
    embedder = getattr(collection, "embedder", None)
    if embedder is None:
        return None
    name = getattr(embedder, "name", None)
    return str(name) if name else type(embedder).__name__


def _make_embedder(name: str) -> Any:
    if name == "none":
        return None
    try:
        from vesk.embed import MiniLM
    except ImportError as exc:
        raise Failure(f"the MiniLM embedder is not available ({exc}); index with --embedder none") from None
    try:
        return MiniLM()
    except (ImportError, OSError) as exc:
        raise Failure(f"cannot load the MiniLM model ({exc}); index with --embedder none") from None


# --- commands ----------------------------------------------------------------------


def _cmd_index(args: argparse.Namespace) -> int:
    import vesk

    out = Path(args.output)
    if out.is_dir():
        raise UsageError(f"-o {out} is a folder; give a file name")
    if not out.parent.exists():
        raise UsageError(f"the folder of -o {out} does not exist")
    if args.language not in vesk.Collection.languages():
        raise UsageError(f"unknown --language {args.language!r}; known: {', '.join(vesk.Collection.languages())}")
    meta_fields = None
    if args.metadata_fields is not None:
        meta_fields = [f.strip() for f in args.metadata_fields.split(",") if f.strip()]
    started = time.perf_counter()
    docs = read_documents(Path(args.input), args.format, args.id_field, args.text_field, meta_fields)
    for message in docs.notes:
        _note(message)
    unique = len(set(docs.ids))
    if unique != len(docs.ids):
        _note(f"{len(docs.ids) - unique} repeated id(s): the last row with an id wins")

    embedder = _make_embedder(args.embedder)
    try:
        embeddings = None
        if embedder is None:
            col = vesk.Collection(language=args.language)
        elif "embedder" in inspect.signature(vesk.Collection).parameters:
            col = vesk.Collection(dim=embedder.dim, language=args.language, embedder=embedder)
        else:  # a collection that cannot hold its embedder: embed here
            col = vesk.Collection(dim=embedder.dim, language=args.language)
            embeddings = embedder.embed(docs.texts)
        for start in range(0, len(docs.ids), _ADD_BATCH):
            end = start + _ADD_BATCH
            col.add(
                docs.ids[start:end],
                docs.texts[start:end],
                embeddings=None if embeddings is None else embeddings[start:end],
                metadata=docs.metadata[start:end],
            )
        if not hasattr(col, "save"):
            raise Failure("this build of vesk cannot write collection files (Collection.save is missing)")
        col.save(str(out))
    except vesk.VeskError as exc:
        raise Failure(f"cannot index {args.input}: {exc}") from None
    except OSError as exc:
        raise Failure(f"cannot write {out}: {exc}") from None
    seconds = time.perf_counter() - started
    summary = {
        "file": str(out),
        "documents": len(col),
        "rows": len(docs.ids),
        "dim": col.dim,
        "language": col.language,
        "embedder": _embedder_name(col),
        "seconds": round(seconds, 3),
    }
    if args.json:
        print(json.dumps(summary))
    else:
        how = f"embedder {summary['embedder']}" if summary["embedder"] else "no embedder: keyword search only"
        print(f"Indexed {len(col)} documents from {args.input} into {out} ({how}, {seconds:.1f} s)")
    return EXIT_OK


def _one_line(text: str, limit: int = _SNIPPET) -> str:
    flat = " ".join(text.split())
    return flat if len(flat) <= limit else flat[: limit - 1] + "\u2026"


def _print_hits(hits: list[dict[str, Any]], mode: str) -> None:
    if not hits:
        print("No results.")
        return
    width = max(len(f"{h['score']:.4g}") for h in hits)
    for h in hits:
        sides = ""
        if mode == "hybrid":
            kw = f"#{h['keyword_rank']}" if h["keyword_rank"] is not None else "-"
            sem = f"#{h['dense_rank']}" if h["dense_rank"] is not None else "-"
            sides = f"  (keyword {kw}, semantic {sem})"
        print(f"{h['rank']:>3}. {h['score']:<{width}.4g}  {h['id']}{sides}")
        print(f"     {_one_line(h['text'])}")
        if h["metadata"]:
            print("     " + "  ".join(f"{k}={json.dumps(v, ensure_ascii=False)}" for k, v in h["metadata"].items()))


def _where_arg(text: str | None) -> dict[str, Any] | None:
    from .filters import filter_from_json

    try:
        return None if text is None else filter_from_json(text, "--where")
    except ValueError as exc:
        raise UsageError(str(exc)) from None


def _cmd_search(args: argparse.Namespace) -> int:
    import vesk

    from .filters import compile_filter
    from .server import SearchService

    where = _where_arg(args.where)
    try:
        compile_filter(where)
    except vesk.FilterError as exc:
        raise UsageError(f"--where: {exc}") from None
    col = _load(args.file)
    service = SearchService(col)
    try:
        if service.semantic:
            result = service.search(args.question, k=args.k, alpha=args.alpha, where=where)
            mode, hits = "hybrid", result["hybrid"]
        else:
            result = service.search(args.question, k=args.k, where=where)
            mode, hits = "keyword", result["keyword"]
    except vesk.VeskError as exc:
        raise Failure(f"search failed: {exc}") from None
    if not service.semantic and not args.json:
        _note(f"keyword search only: {service.semantic_reason}")
    if args.json:
        payload = {
            "query": args.question,
            "mode": mode,
            "k": args.k,
            "alpha": args.alpha if mode == "hybrid" else None,
            "where": where,
            "semantic_reason": service.semantic_reason,
            "hits": hits,
        }
        print(json.dumps(payload, ensure_ascii=False))
    else:
        _print_hits(hits, mode)
    return EXIT_OK


def _info(path: str, col: Any) -> dict[str, Any]:
    from .server import query_embedder

    embed, reason = query_embedder(col)
    return {
        "file": path,
        "bytes": os.path.getsize(path),
        "documents": len(col),
        "dim": col.dim,
        "language": col.language,
        "embedder": _embedder_name(col),
        "semantic": embed is not None,
        "semantic_reason": reason,
    }


def _size(n: int) -> str:
    for unit in ("bytes", "KiB", "MiB", "GiB"):
        if n < 1024 or unit == "GiB":
            return f"{n} {unit}" if unit == "bytes" else f"{n:.1f} {unit}"
        n /= 1024  # type: ignore[assignment]
    return str(n)


def _cmd_info(args: argparse.Namespace) -> int:
    col = _load(args.file)
    info = _info(args.file, col)
    if args.json:
        print(json.dumps(info))
        return EXIT_OK
    print(f"file       {info['file']} ({_size(info['bytes'])})")
    print(f"documents  {info['documents']}")
    print(f"language   {info['language']}")
    print(f"dim        {info['dim']}")
    if info["semantic"]:
        print(f"embedder   {info['embedder']} (keyword, semantic and hybrid search)")
    else:
        print(f"embedder   {info['embedder'] or 'none'} (keyword search only)")
    return EXIT_OK


def _cmd_serve(args: argparse.Namespace) -> int:
    from .server import SearchService, make_server

    col = _load(args.file)
    info = _info(args.file, col)
    service = SearchService(col, name=Path(args.file).name, details={"file": args.file, "embedder": info["embedder"]})
    try:
        server = make_server(service, args.host, args.port, quiet=args.quiet)
    except OSError as exc:
        raise Failure(f"cannot listen on {args.host}:{args.port}: {exc.strerror or exc}") from None
    host, port = server.server_address[:2]
    shown = f"[{host}]" if ":" in str(host) else host
    if args.host not in ("127.0.0.1", "localhost", "::1"):
        _note(f"listening on {args.host}: anyone who can reach this port can read every document")
    if not service.semantic:
        _note(f"keyword search only: {service.semantic_reason}")
    print(f"Serving {args.file} ({len(col)} documents) at http://{shown}:{port}/  (Ctrl-C to stop)", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return EXIT_OK


# --- the parser ----------------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")


def _alpha(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be between 0 and 1, got {text}")
    return value


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _port(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a port number: {text!r}") from None
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"must be between 0 and 65535, got {value}")
    return value


_EPILOG = "exit status: 0 done, 1 failed while running, 2 wrong command line (bad option, missing file, unknown column)"


def build_parser() -> argparse.ArgumentParser:
    from . import __version__
    from .collection import DEFAULT_ALPHA

    parser = _Parser(
        prog="vesk",
        description="Hybrid (keyword + semantic) search over a collection file.",
        epilog=_EPILOG,
    )
    parser.add_argument("--version", action="version", version=f"vesk {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True

    p = sub.add_parser(
        "index",
        help="build a collection file from documents",
        description="Build a collection file from a JSON Lines file (one object per line), a CSV/TSV file "
        "with a header line, or a folder of .txt and .md files (ids are the paths).",
        epilog=_EPILOG,
    )
    p.add_argument("input", metavar="INPUT", help="a .jsonl, .csv or .tsv file, or a folder")
    p.add_argument("-o", "--output", required=True, metavar="FILE", help="the collection file to write")
    p.add_argument("--format", choices=("auto", "jsonl", "csv", "tsv", "folder"), default="auto",
                   help="input format (default: from the file name)")
    p.add_argument("--id-field", metavar="NAME", default=None,
                   help="field holding the document id (default: 'id' if present, else the row number)")
    p.add_argument("--text-field", metavar="NAME", default="text", help="field holding the text (default: text)")
    p.add_argument("--metadata-fields", metavar="A,B,C", default=None,
                   help="fields kept as metadata for filters (default: every other field; '' for none)")
    p.add_argument("--embedder", choices=EMBEDDERS, default="minilm",
                   help="minilm: all-MiniLM-L6-v2 embeddings for semantic search (default); none: keywords only")
    p.add_argument("--language", default="english", help="language of the keyword tokenizer (default: english)")
    p.add_argument("--json", action="store_true", help="print a JSON summary")
    p.set_defaults(run=_cmd_index)

    p = sub.add_parser("search", help="search a collection file", epilog=_EPILOG,
                       description="Print the best documents for a question: hybrid when the collection has an "
                       "embedder, keyword only otherwise.")
    p.add_argument("file", metavar="FILE")
    p.add_argument("question")
    p.add_argument("-k", "--k", type=_positive, default=10, help="number of results (default: 10)")
    p.add_argument("--alpha", type=_alpha, default=DEFAULT_ALPHA,
                   help=f"weight of the semantic side, 0 to 1 (default: {DEFAULT_ALPHA})")
    p.add_argument("--where", metavar="JSON", help='metadata filter, e.g. \'{"year": {"$gte": 2020}}\'')
    p.add_argument("--json", action="store_true", help="print the results as JSON")
    p.set_defaults(run=_cmd_search)

    p = sub.add_parser("info", help="describe a collection file", epilog=_EPILOG)
    p.add_argument("file", metavar="FILE")
    p.add_argument("--json", action="store_true", help="print JSON")
    p.set_defaults(run=_cmd_info)

    p = sub.add_parser("serve", help="open a search page for a collection file", epilog=_EPILOG,
                       description="Serve a search page (keyword, semantic and hybrid lists side by side) and its "
                       "JSON API (/api/search, /api/explain, /api/info).")
    p.add_argument("file", metavar="FILE")
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (default: 127.0.0.1, this machine only)")
    p.add_argument("--port", type=_port, default=8000, help="port (default: 8000; 0 picks a free one)")
    p.add_argument("--quiet", action="store_true", help="do not log requests")
    p.set_defaults(run=_cmd_serve)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; return the exit status (0, 1 or 2)."""
    parser = build_parser()
    args = parser.parse_args(argv)
    prog = f"vesk {args.command}"
    try:
        return int(args.run(args))
    except UsageError as exc:
        print(f"{prog}: error: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except Failure as exc:
        print(f"{prog}: error: {exc}", file=sys.stderr)
        return EXIT_FAILURE
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:  # e.g. `vesk search ... | head`
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_OK
