"""The shipped type information: the module's stub matches the built module
(stubtest), and the package and the examples pass mypy --strict."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")
# Type checking says nothing about memory safety, and mypy's compiled code
# under a preloaded sanitizer runtime only slows the sanitizer pass down.
if "libasan" in os.environ.get("LD_PRELOAD", ""):
    pytest.skip("type checks do not run under the sanitizers", allow_module_level=True)

ROOT = Path(__file__).resolve().parent.parent
CONFIG = str(ROOT / "pyproject.toml")  # strict, and what to do about untyped libraries


def run_mypy(args: list[str], tmp_path: Path) -> subprocess.CompletedProcess[str]:
    # Run from an empty directory so the checkout's sources do not shadow
    # what is installed.
    return subprocess.run(
        [sys.executable, "-m", *args],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )


def test_stub_matches_built_module(tmp_path):
    result = run_mypy(
        [
            "mypy.stubtest",
            "tidemark",
            "--allowlist",
            str(ROOT / "tests" / "stubtest_allowlist.txt"),
            "--mypy-config-file",
            str(tmp_path / "none.ini"),
        ],
        tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize(
    "targets",
    [
        # The installed package, as its users' type checkers see it.
        ["-p", "tidemark_tools"],
        [str(p) for p in sorted((ROOT / "examples").glob("*.py"))],
    ],
    ids=["tidemark_tools", "examples"],
)
def test_package_and_examples_pass_strict_mypy(tmp_path, targets):
    result = run_mypy(
        ["mypy", "--config-file", CONFIG, "--cache-dir", str(tmp_path / "cache"), *targets],
        tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_stub_types_catch_misuse(tmp_path):
    # A few lines a user might get wrong: the stub must reject them, and the
    # message dicts must narrow by their "message_kind".
    src = tmp_path / "misuse.py"
    src.write_text(
        "from tidemark import MessageCacheReader, OrderbookBuilder, StreamingBinaryLoader\n"
        "cache = MessageCacheReader()\n"
        "for msg in cache:\n"
        "    if msg['message_kind'] == 'order':\n"
        "        reveal_type(msg['price'])\n"
        "    else:\n"
        "        reveal_type(msg['trade_price'])\n"
        "OrderbookBuilder().apply_filter('N')\n"
        "StreamingBinaryLoader().open_stream(5)\n"
        "count: str = cache.load_to_cache('x')\n"
    )
    result = run_mypy(
        ["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(src)], tmp_path
    )
    out = result.stdout
    for line in (5, 7):
        assert re.search(rf'misuse.py:{line}: note: Revealed type is "(builtins\.)?int"', out), out
    for line in (8, 9, 10):
        assert f"misuse.py:{line}: error" in out, out
    assert "Found 3 errors" in out, out
