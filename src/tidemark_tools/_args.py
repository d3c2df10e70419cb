"""Argument checks shared by the functions of tidemark_tools.

Each check takes the calling function's name (for the message), the
argument's name and its value, and returns the value in the form the native
module takes, or raises TypeError (wrong kind) or ValueError (right kind,
wrong value) with a message that names the function, the argument and what
was wrong:

- paths: ``str``, ``bytes`` or ``os.PathLike``, also names that are not
  UTF-8. `native_path` gives the bytes to open, `display_path` the text to
  show in messages and columns.
- integers: anything with ``__index__`` (numpy integers too), but not bool.
- threads: None (the cores this process may run on) or 1 to `MAX_THREADS`.
- tokens: book keys from 0 to 2**32 - 1 (a trade's signed token read as
  unsigned, as the books key it).
- types: message types N, M, X and T, as one-letter strings or one string
  of such letters.
- times: nanoseconds since the epoch, as an int or a time-zone-aware
  ``datetime``, ``pandas.Timestamp`` or ``numpy.datetime64``.
"""

from __future__ import annotations

import datetime as _dt
import operator
import os
from collections.abc import Iterable
from typing import Any

PathArg = str | bytes | os.PathLike[str] | os.PathLike[bytes]

MAX_TOKEN = 2**32 - 1
MAX_BATCH_ROWS = 2**63 - 1
MAX_THREADS = 256
MESSAGE_TYPES = "NMXT"

_EPOCH = _dt.datetime(1970, 1, 1, tzinfo=_dt.UTC)


def _kind(value: object) -> str:
    return type(value).__name__


# ---------------------------------------------------------------- paths


def check_path(function: str, value: object, name: str = "path") -> str | bytes:
    """A path as ``os.fspath`` gives it (str or bytes)."""
    if isinstance(value, str | bytes | os.PathLike):
        path = os.fspath(value)
        if isinstance(path, str | bytes):
            return path
    raise TypeError(
        f"{function}() argument '{name}' must be a path (str, bytes or os.PathLike), "
        f"not {_kind(value)}"
    )


def check_paths(function: str, value: object, name: str = "paths") -> list[str | bytes]:
    """One path, or a non-empty iterable of paths, as a list."""
    if isinstance(value, str | bytes | os.PathLike):
        return [check_path(function, value, name)]
    if not isinstance(value, Iterable):
        raise TypeError(
            f"{function}() argument '{name}' must be a path or a sequence of paths, "
            f"not {_kind(value)}"
        )
    paths = [check_path(function, p, name) for p in value]
    if not paths:
        raise ValueError(f"{function}() argument '{name}' is empty")
    return paths


def native_path(path: str | bytes) -> bytes:
    """The bytes the operating system opens for a checked path."""
    return os.fsencode(path)


def display_path(path: str | bytes) -> str:
    """A checked path as text for messages and columns: the path as given,
    with bytes that are not UTF-8 shown as backslash escapes (so the text is
    always valid UTF-8)."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")


# ---------------------------------------------------------------- integers


def check_int(function: str, name: str, value: object, low: int, high: int) -> int:
    """An integer from `low` to `high`: an int or anything with ``__index__``
    (bool is refused)."""
    if isinstance(value, bool):
        raise TypeError(f"{function}() argument '{name}' must be int, not bool")
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{function}() argument '{name}' must be int, not {_kind(value)}") from None
    if not low <= number <= high:
        raise ValueError(
            f"{function}() argument '{name}' must be from {low} to {high}, got {number}"
        )
    return number


def check_batch_rows(function: str, value: object) -> int:
    """The `batch_rows` argument: from 1 to 2**63 - 1."""
    return check_int(function, "batch_rows", value, 1, MAX_BATCH_ROWS)


def usable_cores() -> int:
    """The number of cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0)) or 1
    except (AttributeError, OSError):  # not on Linux
        return os.cpu_count() or 1


def check_threads(function: str, value: object) -> int:
    """The `threads` argument of a replay of books: None gives the usable
    cores (at most `MAX_THREADS`), else an integer from 1 to `MAX_THREADS`."""
    if value is None:
        return min(usable_cores(), MAX_THREADS)
    return check_int(function, "threads", value, 1, MAX_THREADS)


def check_tokens(function: str, value: object, name: str = "tokens") -> list[int] | None:
    """None, or an iterable of book keys as a list (order and repeats kept)."""
    if value is None:
        return None
    if isinstance(value, str | bytes) or not isinstance(value, Iterable):
        raise TypeError(
            f"{function}() argument '{name}' must be an iterable of ints, not {_kind(value)}"
        )
    out = []
    for token in value:
        if isinstance(token, bool):
            raise TypeError(f"{function}() argument '{name}' must hold ints, not bool")
        try:
            number = operator.index(token)
        except TypeError:
            raise TypeError(
                f"{function}() argument '{name}' must hold ints, not {_kind(token)}"
            ) from None
        if not 0 <= number <= MAX_TOKEN:
            raise ValueError(
                f"{function}() argument '{name}' holds {number}, outside 0 to {MAX_TOKEN}"
            )
        out.append(number)
    return out


# ---------------------------------------------------------------- types


def check_types(function: str, value: object, name: str = "types") -> str | None:
    """None, or the message types asked for as one string of distinct letters
    from N, M, X and T in the order first given ("" when none is).

    Accepts one string of such letters ("NT") or an iterable of strings, each
    one such letter or a string of them (["N", "T"], ("NT",))."""
    if value is None:
        return None
    if isinstance(value, str):
        items: list[object] = [value]
    elif isinstance(value, bytes) or not isinstance(value, Iterable):
        raise TypeError(
            f"{function}() argument '{name}' must be a str of message types such as 'NT' "
            f"or an iterable of them, not {_kind(value)}"
        )
    else:
        items = list(value)
    letters: list[str] = []
    for item in items:
        if not isinstance(item, str):
            raise TypeError(f"{function}() argument '{name}' must hold str, not {_kind(item)}")
        if not item:
            raise ValueError(f"{function}() argument '{name}' holds an empty string")
        for letter in item:
            if letter not in MESSAGE_TYPES:
                raise ValueError(
                    f"{function}() argument '{name}' holds {item!r}: message types are "
                    "N, M, X and T"
                )
            if letter not in letters:
                letters.append(letter)
    return "".join(letters)


# ---------------------------------------------------------------- times

# Nanoseconds per tick of the numpy datetime64 units that divide evenly.
_NUMPY_NS = {
    "W": 7 * 86_400 * 10**9,
    "D": 86_400 * 10**9,
    "h": 3_600 * 10**9,
    "m": 60 * 10**9,
    "s": 10**9,
    "ms": 10**6,
    "us": 10**3,
    "ns": 1,
}


def _numpy_ns(function: str, name: str, value: Any) -> int:
    import numpy as np

    if np.isnat(value):
        raise ValueError(f"{function}() argument '{name}' is NaT")
    unit, count = np.datetime_data(value.dtype)
    if unit in ("Y", "M"):  # calendar units: whole days from the epoch first
        value = value.astype("datetime64[D]")
        unit, count = "D", 1
    ticks = int(value.astype("int64")) * count
    if unit in _NUMPY_NS:
        return ticks * _NUMPY_NS[unit]
    divisor = {"ps": 10**3, "fs": 10**6, "as": 10**9}[unit]
    return ticks // divisor  # below a nanosecond: the nanosecond it falls in


def check_time(function: str, name: str, value: object) -> int | None:
    """None, or a moment as nanoseconds since the epoch (1970-01-01 UTC),
    exactly. Takes an int (anything with ``__index__``), a time-zone-aware
    ``datetime`` or ``pandas.Timestamp`` (to the nanosecond), or a
    ``numpy.datetime64`` (UTC by nature). A naive datetime is a ValueError
    (its zone would be a guess), and so is NaT, pandas' or numpy's."""
    if value is None:
        return None
    if isinstance(value, _dt.datetime):
        if value != value:  # pandas.NaT: no moment, whatever its zone
            raise ValueError(f"{function}() argument '{name}' is NaT")
        if value.tzinfo is None or value.utcoffset() is None:
            raise ValueError(
                f"{function}() argument '{name}' is a naive datetime ({value}); give it a "
                "time zone, for example datetime(..., tzinfo=datetime.UTC)"
            )
        if hasattr(value, "as_unit") and hasattr(value, "value"):  # pandas.Timestamp
            return int(value.as_unit("ns").value)
        delta = value - _EPOCH
        return (delta.days * 86_400 + delta.seconds) * 10**9 + delta.microseconds * 1_000
    if type(value).__name__ == "datetime64" and type(value).__module__ == "numpy":
        return _numpy_ns(function, name, value)
    if isinstance(value, _dt.date):
        raise TypeError(
            f"{function}() argument '{name}' must be an int of nanoseconds or a time-zone-aware "
            f"datetime, not a date ({value})"
        )
    if isinstance(value, bool):
        raise TypeError(f"{function}() argument '{name}' must be int or datetime, not bool")
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(
            f"{function}() argument '{name}' must be an int of nanoseconds since the epoch or a "
            f"time-zone-aware datetime, not {_kind(value)}"
        ) from None


def check_time_zone(function: str, value: object, name: str = "tz") -> str:
    """An IANA time zone name ("UTC", "Asia/Kolkata") that this system knows."""
    import zoneinfo

    if not isinstance(value, str):
        raise TypeError(f"{function}() argument '{name}' must be str, not {_kind(value)}")
    try:
        zoneinfo.ZoneInfo(value)
    except (zoneinfo.ZoneInfoNotFoundError, ValueError):
        raise ValueError(
            f"{function}() argument '{name}' is {value!r}, not a known IANA time zone name"
        ) from None
    return value


def check_choice(function: str, name: str, value: object, choices: Iterable[str]) -> str:
    """One of the strings `choices`."""
    options = list(choices)
    if not isinstance(value, str) or value not in options:
        shown = ", ".join(repr(c) for c in options)
        raise ValueError(f"{function}() argument '{name}' must be one of {shown}, got {value!r}")
    return value


# ---------------------------------------------------------------- order

# The most files one merge by exch_ts reads (each holds a buffer open).
MAX_MERGED_FILES = 256


def check_order(function: str, value: object, files: int) -> bool:
    """The `order` argument, "files" or "exch_ts", for a read of `files`
    files; returns whether the files are merged by exch_ts."""
    order = check_choice(function, "order", value, ("files", "exch_ts"))
    if order == "exch_ts" and files > MAX_MERGED_FILES:
        raise ValueError(
            f"{function}() argument 'order': a merge by exch_ts reads at most "
            f"{MAX_MERGED_FILES} files, got {files}"
        )
    return order == "exch_ts"


def check_follow(
    function: str, follow: object, flush_interval: object, idle_timeout: object
) -> tuple[int | None, int | None]:
    """The follow options as the native functions take them: the flush
    interval in nanoseconds (None: do not follow) and the idle timeout in
    nanoseconds (None: never)."""
    if not isinstance(follow, bool):
        raise TypeError(f"{function}() argument 'follow' must be bool, not {_kind(follow)}")
    flush = _seconds(function, "flush_interval", flush_interval, False)
    idle = _seconds(function, "idle_timeout", idle_timeout, True)
    if not follow:
        return None, None
    return round(flush * 1e9), None if idle is None else round(idle * 1e9)


def _seconds(function: str, name: str, value: object, none_ok: bool) -> Any:
    """A duration in seconds (int or float, from 0 to 1e9), or None when allowed."""
    if value is None and none_ok:
        return None
    if isinstance(value, bool) or not isinstance(value, int | float):
        raise TypeError(
            f"{function}() argument '{name}' must be a number of seconds, not {_kind(value)}"
        )
    if not 0 <= value <= 1e9:
        raise ValueError(
            f"{function}() argument '{name}' must be from 0 to 1e9 seconds, got {value}"
        )
    return value


def system_time_zone() -> str:
    """The IANA name of this system's local time zone: from $TZ, else the
    zone file /etc/localtime links to, else /etc/timezone; "UTC" when none
    of them names a zone this system knows."""
    import zoneinfo

    def known(name: str) -> bool:
        try:
            zoneinfo.ZoneInfo(name)
        except (zoneinfo.ZoneInfoNotFoundError, ValueError):
            return False
        return True

    candidates: list[str] = []
    tz = os.environ.get("TZ", "").lstrip(":")
    if tz:
        candidates.append(tz.split("zoneinfo/", 1)[1] if "zoneinfo/" in tz else tz)
    try:
        target = os.path.realpath("/etc/localtime")
        if "zoneinfo/" in target:
            candidates.append(target.split("zoneinfo/", 1)[1])
    except OSError:
        pass
    try:
        with open("/etc/timezone") as f:
            candidates.append(f.read().strip())
    except OSError:
        pass
    for name in candidates:
        if name and not name.startswith("/") and known(name):
            return name
    return "UTC"
