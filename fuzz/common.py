"""Pieces shared by the fuzz harnesses: a scratch file, book states and the
framing rule under which the cache and the streaming loader agree."""

from __future__ import annotations

import atexit
import os
import shutil
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "scripts"))

# In memory where possible: every input is written to a file. libFuzzer ends
# the process with exit(), which skips Python's atexit handlers, so each run
# also removes the directories of runs whose process is gone.
_SHM = "/dev/shm"
_BASE = _SHM if os.access(_SHM, os.W_OK) else tempfile.gettempdir()
_PREFIX = "tidemark-fuzz-"


def _remove_dead_scratch() -> None:
    for name in os.listdir(_BASE):
        pid = name[len(_PREFIX) :]
        if not (name.startswith(_PREFIX) and pid.isdigit()):
            continue
        try:
            os.kill(int(pid), 0)
        except ProcessLookupError:
            shutil.rmtree(os.path.join(_BASE, name), True)
        except PermissionError:
            pass


_remove_dead_scratch()
_SCRATCH = os.path.join(_BASE, f"{_PREFIX}{os.getpid()}")
os.makedirs(_SCRATCH, exist_ok=True)
atexit.register(shutil.rmtree, _SCRATCH, True)


def scratch_file(data: bytes, name: str = "input.bin") -> str:
    """Writes `data` to a file of the scratch directory; returns its path."""
    path = os.path.join(_SCRATCH, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


# The texts with which the streaming decoder may fail (RuntimeError).
OPEN_ERRORS = (
    "file is empty or missing a complete message header",
    "truncated first message header",
)
READ_ERRORS = (
    "truncated message header",
    "truncated message payload",
    "failed to fill whole buffer",
)


def is_open_error(text: str) -> bool:
    return text in OPEN_ERRORS or text.startswith("invalid first message type: ")


RECORD_LENGTHS = {ord("N"): 47, ord("M"): 47, ord("X"): 47, ord("T"): 54}


def framings_agree(data: bytes) -> bool:
    """True when the bytes are spaces and whole order and trade records only:
    no record of another type and no fragment at the end, so that the cache's
    framing and the streaming loader's give the same messages by definition."""
    p, size = 0, len(data)
    while p < size:
        if data[p] == 0x20:
            p += 1
            continue
        if p + 9 > size:
            return False
        length = RECORD_LENGTHS.get(data[p + 8])
        if length is None or p + length > size:
            return False
        p += length
    return True


def book_state(builder) -> list:
    """Everything the queries show of a builder's books."""
    return [
        (t, builder.get_full_depth(t), builder.get_snapshot(t, 3), builder.get_snapshot_row(t))
        for t in builder.get_active_tokens()
    ]
