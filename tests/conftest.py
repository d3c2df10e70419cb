import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts"))

import feedgen  # noqa: E402


@pytest.fixture
def feed_file(tmp_path):
    """Writes the given byte chunks to a new file and returns its path as str."""
    counter = iter(range(1_000_000))

    def write(*chunks: bytes) -> str:
        path = tmp_path / f"feed_{next(counter)}.bin"
        path.write_bytes(b"".join(chunks))
        return str(path)

    return write


@pytest.fixture
def records():
    return feedgen
