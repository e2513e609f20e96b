"""The module object: attributes, class objects, import rules, type stubs."""

import ast
import importlib
import inspect
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

import pytest

import vesk_core

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUB = ROOT / "vesk_core" / "vesk_core.pyi"

CLASSES = [
    "ModelRef",
    "IndexStatus",
    "IndexInfo",
    "DocumentInfo",
    "QueryResultDocumentInfo",
    "SearchResult",
    "AddDocumentsOptions",
    "GetDocumentsOptions",
    "SerializedIndex",
    "Index",
]

SIGNATURES = {
    "ModelRef": "(id, version)",
    "IndexStatus": "(value)",
    "IndexInfo": "(id, name, version, status, doc_count, created_at, updated_at, model)",
    "DocumentInfo": "(id, text, metadata=None)",
    "QueryResultDocumentInfo": "(id, text, metadata=None, score=0.0)",
    "SearchResult": "(docs, query, index_name=None, time_taken_ms=None)",
    "AddDocumentsOptions": "(upsert=True)",
    "GetDocumentsOptions": "(doc_ids=None)",
    "SerializedIndex": "(name, version, model, dimension, embeddings, doc_ids)",
    "Index": "(name, model_id)",
}


class TestAttributes:
    def test_all_lists_the_sixteen_names_in_registration_order(self):
        assert vesk_core.__all__ == [
            "ModelRef",
            "IndexStatus",
            "IndexInfo",
            "DocumentInfo",
            "QueryResultDocumentInfo",
            "SearchResult",
            "AddDocumentsOptions",
            "GetDocumentsOptions",
            "SerializedIndex",
            "IndexStatusValues",
            "serializeToBinary",
            "deserializeFromBinary",
            "Index",
            "MODEL_DOWNLOAD_URL",
            "SDK_VERSION_NUMBER",
            "CLOUD_API_BASE_URL",
        ]
        public = [k for k in vars(vesk_core) if not k.startswith("__")]
        assert public == vesk_core.__all__

    def test_docstring_and_name(self):
        assert vesk_core.__name__ == "vesk_core"
        assert vesk_core.__doc__ == "Initialize the `vesk` Python package."

    def test_index_status_values(self):
        values = vesk_core.IndexStatusValues
        assert type(values) is dict
        assert list(values.items()) == [
            ("NotStarted", "NotStarted"),
            ("Building", "Building"),
            ("Ready", "Ready"),
            ("Failed", "Failed"),
        ]

    def test_constants(self):
        assert vesk_core.SDK_VERSION_NUMBER == "0.2.3"
        for url in (vesk_core.MODEL_DOWNLOAD_URL, vesk_core.CLOUD_API_BASE_URL):
            assert type(url) is str
            assert url.startswith("https://") and url.endswith("/")
            assert len(url) > len("https:///")

    def test_panic_exception_is_not_exported(self):
        assert not hasattr(vesk_core, "PanicException")


class TestClassObjects:
    @pytest.mark.parametrize("name", CLASSES)
    def test_builtins_heap_type_with_text_signature(self, name):
        cls = getattr(vesk_core, name)
        assert cls.__module__ == "builtins"
        assert cls.__name__ == name
        assert cls.__qualname__ == name
        assert cls.__bases__ == (object,)
        assert cls.__text_signature__ == SIGNATURES[name]
        assert cls.__doc__ == ""
        assert str(inspect.signature(cls)) == SIGNATURES[name]
        # Reachable only through vesk_core.
        import builtins

        assert not hasattr(builtins, name)

    @pytest.mark.parametrize("name", CLASSES)
    def test_cannot_be_subclassed(self, name):
        with pytest.raises(TypeError, match="not an acceptable base type"):
            type("Sub", (getattr(vesk_core, name),), {})

    def test_index_method_table_order_signatures_and_docstrings(self):
        members = [k for k in vars(vesk_core.Index) if not k.startswith("__")]
        assert members == [
            "get_info",
            "add_documents",
            "delete_documents",
            "get_documents",
            "query",
            "serialize",
            "deserialize",
            "clear",
            "doc_count",
        ]
        Index = vesk_core.Index
        assert Index.get_info.__text_signature__ == "($self)"
        assert Index.get_info.__doc__ == "Get metadata about this index."
        assert Index.add_documents.__text_signature__ == "($self, docs, embeddings, options=None)"
        assert Index.add_documents.__doc__ == (
            "Add or update documents in the index.\n\n"
            "Embeddings **must** be precomputed and provided.\n\n"
            "Returns:\n    (added, updated)"
        )
        assert Index.delete_documents.__text_signature__ == "($self, doc_ids)"
        assert (
            Index.delete_documents.__doc__
            == "Delete documents by their IDs. Returns the number deleted."
        )
        assert Index.get_documents.__text_signature__ == "($self, options=None)"
        assert Index.get_documents.__doc__ == "Get documents (optionally filtered by IDs)."
        assert (
            Index.query.__text_signature__
            == "($self, query, top_k, query_embedding, alpha=None)"
        )
        assert Index.query.__doc__ == (
            "Perform a semantic search using a **precomputed** query embedding.\n\n"
            "Args:\n"
            "    query: The search text.\n"
            "    top_k: Max number of results (default 5).\n"
            "    query_embedding: Precomputed embedding vector for `query`.\n"
            "    alpha: Weight for hybrid search fusion (default 0.8). A value of 0.8 favors\n"
            "        semantic search over keyword search. Higher values (closer to 1.0) give\n"
            "        more weight to semantic search, while lower values (closer to 0.0) favor\n"
            "        keyword search."
        )
        assert Index.serialize.__text_signature__ == "($self)"
        assert Index.serialize.__doc__ == "Serialize this index to a `SerializedIndex`."
        assert Index.deserialize.__text_signature__ == "($self, data)"
        assert Index.deserialize.__doc__ == "Load serialized metadata/embeddings into this index."
        assert Index.clear.__text_signature__ == "($self)"
        assert Index.clear.__doc__ == "Clear all documents and embeddings."
        assert Index.doc_count.__doc__ == "Number of documents in the index."

    def test_module_functions(self):
        for fn, sig, doc in [
            (
                vesk_core.serializeToBinary,
                "(index)",
                "Serialize a SerializedIndex into binary (.vesk file format).",
            ),
            (
                vesk_core.deserializeFromBinary,
                "(blob)",
                "Deserialize a binary blob into a SerializedIndex (Python object).",
            ),
        ]:
            assert fn.__module__ == "vesk_core"
            assert fn.__self__ is vesk_core
            assert fn.__text_signature__ == sig
            assert fn.__doc__ == doc

    def test_index_info_status_docstring(self):
        assert (
            vesk_core.IndexInfo.status.__doc__
            == "Stored as string; see PyIndexStatus for constants."
        )
        assert vesk_core.IndexInfo.id.__doc__ is None


class TestPanicException:
    def test_derives_from_base_exception_only(self, panic_exception):
        assert panic_exception.__name__ == "PanicException"
        assert issubclass(panic_exception, BaseException)
        assert not issubclass(panic_exception, Exception)
        assert panic_exception.__bases__ == (BaseException,)
        doc = panic_exception.__doc__
        assert "panics" in doc and "SystemExit" in doc and "BaseException" in doc

    def test_created_once(self, panic_exception):
        idx = vesk_core.Index("p", "vesk-minilm")
        idx.add_documents([vesk_core.DocumentInfo("a", "t")], [[1.0]])
        with pytest.raises(BaseException) as info:
            idx.query("t", 1, [1.0, 2.0])
        assert type(info.value) is panic_exception


class TestImport:
    def test_reimport_returns_the_same_module(self):
        assert importlib.import_module("vesk_core") is vesk_core
        saved = sys.modules.pop("vesk_core")
        try:
            again = importlib.import_module("vesk_core")
            assert again is saved
            assert again.Index is saved.Index
        finally:
            sys.modules["vesk_core"] = saved

    def test_subinterpreter_import_fails(self):
        interpreters = pytest.importorskip("_interpreters")
        interp = interpreters.create(interpreters.new_config("legacy"))
        try:
            failure = interpreters.run_string(interp, "import vesk_core")
        finally:
            interpreters.destroy(interp)
        assert failure is not None
        assert failure.type.__name__ == "ImportError"
        assert "subinterpreter" in failure.msg

    def test_only_the_init_function_is_exported(self):
        nm = shutil.which("nm")
        if nm is None:
            pytest.skip("nm not available")
        out = subprocess.run(
            [nm, "-D", "--defined-only", vesk_core.__file__],
            capture_output=True,
            text=True,
            check=True,
        ).stdout
        names = [line.split()[-1] for line in out.splitlines() if line.strip()]
        assert [n for n in names if n.startswith("PyInit")] == ["PyInit_vesk_core"]
        code_symbols = [
            line.split()[-1] for line in out.splitlines() if line.split()[1] in ("T", "t")
        ]
        assert code_symbols == ["PyInit_vesk_core"]


# ---------------------------------------------------------------------------
# Type stubs


def _stub_tree():
    return ast.parse(STUB.read_text())


def test_stub_declares_every_public_name():
    tree = _stub_tree()
    declared = set()
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            declared.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            declared.add(node.target.id)
    assert set(vesk_core.__all__) <= declared


def test_stub_parameters_match_the_runtime():
    tree = _stub_tree()
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
    functions = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}

    def params(fn):
        return [a.arg for a in fn.args.args]

    for name in CLASSES:
        methods = {n.name: n for n in classes[name].body if isinstance(n, ast.FunctionDef)}
        runtime = list(inspect.signature(getattr(vesk_core, name)).parameters)
        assert params(methods["__new__"])[1:] == runtime, name
    index_methods = {
        n.name: n for n in classes["Index"].body if isinstance(n, ast.FunctionDef)
    }
    for name in ["get_info", "add_documents", "delete_documents", "get_documents", "query",
                 "serialize", "deserialize", "clear"]:
        runtime = list(inspect.signature(getattr(vesk_core.Index, name)).parameters)
        assert params(index_methods[name]) == runtime, name
    for name in ["serializeToBinary", "deserializeFromBinary"]:
        runtime = list(inspect.signature(getattr(vesk_core, name)).parameters)
        assert params(functions[name]) == runtime, name


def test_mypy_accepts_typical_use_and_rejects_misuse(tmp_path):
    mypy = pytest.importorskip("mypy.api")
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    shutil.copy(STUB, stubs / "vesk_core.pyi")
    env_path = os.environ.get("MYPYPATH")
    os.environ["MYPYPATH"] = str(stubs)
    try:
        example = pathlib.Path(__file__).parent / "data" / "typing_example.py"
        out, err, status = mypy.run(
            ["--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"), str(example)]
        )
        assert status == 0, out + err

        bad = tmp_path / "bad.py"
        bad.write_text(
            textwrap.dedent(
                """
                import vesk_core
                idx = vesk_core.Index("a", "vesk-minilm")
                idx.query("q", "3", [1.0])
                n: str = idx.doc_count
                """
            )
        )
        out, err, status = mypy.run(
            ["--no-incremental", "--cache-dir", str(tmp_path / "cache"), str(bad)]
        )
        assert status == 1
        assert out.count("error:") == 2, out
    finally:
        if env_path is None:
            os.environ.pop("MYPYPATH", None)
        else:
            os.environ["MYPYPATH"] = env_path
