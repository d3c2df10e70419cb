"""Every Python code block of the README and of docs/ runs against the sample
data in data/, so the documentation cannot drift from the code.

The blocks of one Markdown file run in order in one namespace, from the
repository root, the way a reader would paste them. A block that is not
meant to run is preceded by the line `<!-- docs-test: skip -->`.
"""

import re
import traceback
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SKIP_MARK = "<!-- docs-test: skip -->"
FENCE = re.compile(r"^```(\S*)[^\n]*\n(.*?)^```\s*$", re.DOTALL | re.MULTILINE)

DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]


def python_blocks(path: Path) -> list[tuple[int, str]]:
    """The (line number, code) of every runnable ```python block."""
    text = path.read_text(encoding="utf-8")
    blocks = []
    for match in FENCE.finditer(text):
        if match.group(1) != "python":
            continue
        before = text[: match.start()].rstrip("\n").rsplit("\n", 1)[-1]
        if before.strip() == SKIP_MARK:
            continue
        line = text.count("\n", 0, match.start()) + 2
        blocks.append((line, match.group(2)))
    return blocks


def test_every_document_is_checked():
    assert len(DOCUMENTS) >= 7
    assert sum(len(python_blocks(p)) for p in DOCUMENTS) >= 10


@pytest.mark.parametrize("path", DOCUMENTS, ids=lambda p: str(p.relative_to(ROOT)))
def test_code_blocks_run(path, monkeypatch, tmp_path):
    monkeypatch.chdir(ROOT)
    namespace: dict[str, object] = {"__name__": "__docs__"}
    for line, code in python_blocks(path):
        # Blank lines keep tracebacks pointing at the Markdown file's lines.
        compiled = compile("\n" * (line - 1) + code, str(path), "exec")
        try:
            exec(compiled, namespace)
        except Exception as exc:  # noqa: BLE001 - reported with its place
            frames = [f for f in traceback.extract_tb(exc.__traceback__) if f.filename == str(path)]
            where = frames[-1].lineno if frames else line
            pytest.fail(f"{path.name}:{where}: {type(exc).__name__}: {exc}")
