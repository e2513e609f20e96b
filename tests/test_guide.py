"""The user guide's examples run and print what the guide says they print.

docs/guide.md is read as a sequence of fenced code blocks. Every ```python
block runs, in order, in one shared namespace (the tutorial builds on itself);
a ```text block that directly follows a python block (only blank lines in
between) is the output that block must print, exactly. Relative links in the
guide must point at files that exist.
"""

from __future__ import annotations

import contextlib
import io
import re
from dataclasses import dataclass
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
GUIDE = ROOT / "docs" / "guide.md"

FENCE = re.compile(r"^```([\w-]*)[ \t]*\n(.*?)^```[ \t]*$", re.MULTILINE | re.DOTALL)


@dataclass
class Block:
    lang: str
    code: str
    line: int                    # line of the opening fence in the guide
    expected: str | None = None  # the output block that follows, if any


def parse_blocks(markdown: str) -> list[Block]:
    """Fenced blocks of a markdown text; output blocks attach to their code block."""
    blocks: list[Block] = []
    prev_end = None
    for m in FENCE.finditer(markdown):
        lang, body = m.group(1), m.group(2)
        line = markdown.count("\n", 0, m.start()) + 1
        adjacent = prev_end is not None and markdown[prev_end : m.start()].strip() == ""
        if lang == "text" and adjacent and blocks and blocks[-1].lang == "python" and blocks[-1].expected is None:
            blocks[-1].expected = body
        else:
            blocks.append(Block(lang, body, line))
        prev_end = m.end()
    return blocks


def python_blocks() -> list[Block]:
    return [b for b in parse_blocks(GUIDE.read_text(encoding="utf-8")) if b.lang == "python"]


class TestParser:
    """The block reader itself, so that a broken reader cannot hide a broken guide."""

    def test_output_block_attaches_to_the_python_block_before_it(self):
        md = "intro\n\n```python\nprint(1)\n```\n\n```text\n1\n```\n\nprose\n\n```sh\nmake\n```\n"
        blocks = parse_blocks(md)
        assert [(b.lang, b.code, b.expected, b.line) for b in blocks] == [
            ("python", "print(1)\n", "1\n", 3),
            ("sh", "make\n", None, 13),
        ]

    def test_text_block_after_prose_is_not_an_output_block(self):
        md = "```python\nx = 1\n```\nsome words\n```text\nnot output\n```\n"
        blocks = parse_blocks(md)
        assert [b.lang for b in blocks] == ["python", "text"]
        assert blocks[0].expected is None

    def test_second_text_block_does_not_replace_the_first(self):
        md = "```python\nprint(2)\n```\n```text\n2\n```\n```text\nother\n```\n"
        blocks = parse_blocks(md)
        assert blocks[0].expected == "2\n"
        assert [b.lang for b in blocks] == ["python", "text"]


class TestGuide:
    def test_guide_has_a_tutorial_with_checked_output(self):
        blocks = python_blocks()
        assert len(blocks) >= 8
        assert sum(b.expected is not None for b in blocks) >= 8

    def test_python_blocks_run_in_order_and_print_the_documented_output(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)  # anything the examples write lands here
        namespace: dict = {"__name__": "__guide__"}
        for block in python_blocks():
            out = io.StringIO()
            try:
                with contextlib.redirect_stdout(out):
                    exec(compile(block.code, f"{GUIDE.name}:{block.line}", "exec"), namespace)
            except BaseException as exc:  # noqa: BLE001 - PanicException included
                pytest.fail(f"block at docs/guide.md line {block.line} raised {type(exc).__name__}: {exc}")
            if block.expected is not None:
                assert out.getvalue() == block.expected, f"output of the block at docs/guide.md line {block.line}"

    def test_relative_links_point_at_existing_files(self):
        text = GUIDE.read_text(encoding="utf-8")
        targets = re.findall(r"\]\((?!https?:|#)([^)#\s]+)", text)
        assert targets, "the guide links to nothing"
        missing = [t for t in targets if not (GUIDE.parent / t).exists()]
        assert missing == []


def test_readme_usage_example_runs():
    """The usage example on the README's front page runs as written."""
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    blocks = [b for b in parse_blocks(readme) if b.lang == "python"]
    assert blocks, "the README has a python example"
    for block in blocks:
        with contextlib.redirect_stdout(io.StringIO()):
            exec(compile(block.code, f"README.md:{block.line}", "exec"), {"__name__": "readme"})
