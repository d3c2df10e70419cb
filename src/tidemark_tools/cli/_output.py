"""Where the command writes: stdout, or a file named by --out."""

from __future__ import annotations

import os
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import IO, Any

from ._common import CliError


@contextmanager
def output(path: str | None, binary: bool) -> Iterator[IO[Any]]:
    """stdout, or the file at `path`; a file is written under a temporary
    name and renamed when the command succeeds, so an error never leaves
    half a file behind."""
    if path is None or path == "-":
        yield sys.stdout.buffer if binary else sys.stdout
        return
    tmp = f"{path}.part-{os.getpid()}"
    try:
        f = open(tmp, "wb" if binary else "w", encoding=None if binary else "utf-8")
    except OSError as exc:
        raise CliError(f"cannot write {path}: {exc.strerror or exc}") from None
    try:
        with f:
            yield f
        os.replace(tmp, path)
    except BaseException:
        _remove(tmp)
        raise


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass
