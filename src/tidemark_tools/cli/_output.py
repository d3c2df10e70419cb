"""Where the command writes: stdout, or a file named by --out, written so
that nothing already there is damaged.

A regular file (or a new one) is written under a temporary name made with
mkstemp beside it (exclusive creation, so a link planted at that name is
never followed) and renamed over the target only when the command
succeeds; the target keeps its mode (a new file gets 0666 less the umask).
A symlink is followed and its target replaced. An existing --out that is
not a regular file (a FIFO, /dev/stdout, a terminal) is written to
directly, never replaced. An --out that is one of the command's input files
(same device and inode) is refused before anything is read.

SIGTERM and SIGHUP end the command the way Ctrl-C does (signals_caught), so
a temporary file never outlives an interrupted command.
"""

from __future__ import annotations

import errno
import os
import signal
import stat
import sys
import tempfile
import threading
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from typing import IO, Any

from ._common import CliError

# The files the running command reads, set by the entry point: --out may be
# none of them.
_inputs: list[str] = []
# The signal that raised the last Terminated.
_last_signal = int(signal.SIGTERM)


class Terminated(BaseException):
    """Raised by the handler of SIGTERM and SIGHUP, as Ctrl-C raises
    KeyboardInterrupt: the command cleans up and exits with 128 + signum."""

    def __init__(self, signum: int) -> None:
        super().__init__(f"terminated by signal {signum}")
        self.signum = signum


def _terminate(signum: int, frame: object) -> None:
    global _last_signal
    _last_signal = signum
    raise Terminated(signum)


@contextmanager
def signals_caught() -> Iterator[None]:
    """Within the block, SIGTERM and SIGHUP raise Terminated in the main
    thread (unless the signal is ignored, as under nohup); the handlers
    before it come back after it."""
    saved = {}
    if threading.current_thread() is threading.main_thread():
        for signum in (signal.SIGTERM, signal.SIGHUP):
            if signal.getsignal(signum) == signal.SIG_DFL:
                saved[signum] = signal.signal(signum, _terminate)
    try:
        yield
    finally:
        for signum, handler in saved.items():
            signal.signal(signum, handler)


def interruption_of(exc: BaseException) -> BaseException | None:
    """The exception that a signal handler raised while a native stream was
    building a batch, when `exc` is the stream's failure that pyarrow
    raised instead ("interrupted (KeyboardInterrupt)"); else None."""
    text = str(exc)
    if "interrupted (KeyboardInterrupt)" in text:
        return KeyboardInterrupt()
    if "interrupted (Terminated)" in text:
        return Terminated(_last_signal)
    return None


def set_inputs(paths: Iterable[str | None]) -> None:
    """Records the files the command reads; output() refuses to write over
    any of them."""
    _inputs[:] = [p for p in paths if p is not None and p != "-"]


def _same_file(a: os.stat_result, b: os.stat_result) -> bool:
    return (a.st_dev, a.st_ino) == (b.st_dev, b.st_ino)


def check_not_an_input(path: str | None) -> None:
    """Raises CliError when the output (a path, or stdout when `path` is
    None or "-") is the same file as one of the inputs."""
    try:
        if path is None or path == "-":
            target = os.fstat(sys.stdout.fileno())
            if not stat.S_ISREG(target.st_mode):
                return
            shown = "standard output"
        else:
            target = os.stat(path)
            shown = path
    except (OSError, ValueError):
        return  # nothing there yet (or no stdout): it is no input either
    for name in _inputs:
        try:
            source = os.stat(name)
        except OSError:
            continue
        if _same_file(source, target):
            raise CliError(f"refusing to write {shown}: it is the input file {name}")


def _umask() -> int:
    """The process's umask, read without changing it where Linux tells it."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError, IndexError):
        pass
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


# Write errors that can only be about the output: a full disk or quota, or a
# file over the size the file system allows. They name the output file.
_FULL = (errno.ENOSPC, errno.EDQUOT, errno.EFBIG)


def _cannot(path: str, exc: OSError) -> CliError:
    return CliError(f"cannot write {path}: {exc.strerror or exc}")


@contextmanager
def output(path: str | None, binary: bool) -> Iterator[IO[Any]]:
    """stdout, or the file at `path`, as the module docstring describes. An
    error (or Ctrl-C, SIGTERM, SIGHUP) inside the block leaves the target
    as it was and removes the temporary file."""
    check_not_an_input(path)
    if path is None or path == "-":
        yield sys.stdout.buffer if binary else sys.stdout
        return
    mode, encoding = ("wb", None) if binary else ("w", "utf-8")
    target = os.path.realpath(path)  # a symlink's target is what gets replaced
    try:
        existing: os.stat_result | None = os.stat(target)
    except FileNotFoundError:
        existing = None
    except OSError as exc:
        raise _cannot(path, exc) from None
    if existing is not None and stat.S_ISDIR(existing.st_mode):
        raise CliError(f"cannot write {path}: it is a directory")
    if existing is not None and not stat.S_ISREG(existing.st_mode):
        # A FIFO, a device or a terminal: written to, never replaced.
        try:
            f = open(path, mode, encoding=encoding)
        except OSError as exc:
            raise _cannot(path, exc) from None
        try:
            with f:
                yield f
        except OSError as exc:
            if exc.errno in _FULL:
                raise _cannot(path, exc) from None
            raise
        return

    directory, name = os.path.split(target)
    try:
        fd, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=directory)
    except OSError as exc:
        raise _cannot(path, exc) from None
    try:
        with open(fd, mode, encoding=encoding) as f:
            if existing is not None:
                try:
                    os.fchown(fd, existing.st_uid, existing.st_gid)
                except OSError:
                    pass  # not ours to give away: the file keeps its mode at least
                os.fchmod(fd, stat.S_IMODE(existing.st_mode))
            else:
                os.fchmod(fd, 0o666 & ~_umask())
            yield f
        os.replace(temporary, target)
    except BaseException as exc:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        if isinstance(exc, OSError) and exc.errno in _FULL:
            raise _cannot(path, exc) from None
        raise
