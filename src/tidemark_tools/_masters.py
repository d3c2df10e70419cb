"""Contract masters chosen per feed file: by the file's trading date
(`DatedMasters`) or from a mapping of feed paths to masters.

The exchange reuses tokens once contracts expire, so one token names
different contracts on different days: each day's feed files must be read
with that day's contract master.
"""

from __future__ import annotations

import os
import re
from collections.abc import Mapping, Sequence
from typing import Any

import tidemark

from . import _args

__all__ = ["DatedMasters", "feed_file_date", "resolve_masters"]

# A feed file's name as the feed path builder composes it, also compressed:
# Feed_{CM|FO}_StreamID_{stream}_{DD}_{MM}_{YYYY}.bin[.gz|.zst]
_FEED_NAME = re.compile(
    r"Feed_(CM|FO)_StreamID_([1-9][0-9]*)_([0-9]{2})_([0-9]{2})_([0-9]{4})\.bin(?:\.gz|\.zst)?"
)


def feed_file_date(path: _args.PathArg) -> tuple[str, int, int, int, int] | None:
    """(segment "CM" or "FO", stream, day, month, year) of a feed file named
    as ``FeedPathBuilder`` composes it (``Feed_FO_StreamID_2_29_12_2025.bin``,
    also with ``.gz`` or ``.zst`` after it); None for any other name,
    including dates the builder refuses (day 1 to 31, month 1 to 12, year
    2000 to 2100)."""
    name = os.path.basename(os.fsdecode(os.fspath(path)))
    match = _FEED_NAME.fullmatch(name)
    if match is None:
        return None
    segment, stream, day, month, year = match.groups()
    d, m, y = int(day), int(month), int(year)
    if not (1 <= d <= 31 and 1 <= m <= 12 and 2000 <= y <= 2100):
        return None
    return segment, int(stream), d, m, y


class DatedMasters:
    """The contract master of each feed file's segment and trading date,
    from the dated store under `base`.

    For a feed file named as ``FeedPathBuilder`` composes it
    (``Feed_FO_StreamID_2_29_12_2025.bin``, also ``.bin.gz`` or
    ``.bin.zst``), the master is the one ``SymbolMaster.load_for_date`` loads
    for that segment and date: ``{base}/CONTRACT/29_12_2025/
    NSE_FO_contract_29122025.csv``. Pass it as `master` to ``scan_feed``,
    ``trades``, ``quotes``, ``bars``, the polars source and
    ``tidemark_tools.dask.read_feeds``: each file's rows get their own day's
    contracts. A file whose name does not parse, or whose master is missing
    or cannot be loaded, is an error naming the feed file and the master path
    tried. Each master is loaded once per object and kept.
    """

    __slots__ = ("base", "_loaded")

    def __init__(self, base: str | os.PathLike[str] = "/nas/50.30") -> None:
        given = os.fspath(base) if isinstance(base, os.PathLike) else base
        if not isinstance(given, str):
            raise TypeError(
                f"DatedMasters() argument 'base' must be str or os.PathLike, "
                f"not {type(base).__name__}"
            )
        self.base = given
        self._loaded: dict[str, tidemark.SymbolMaster] = {}

    def __repr__(self) -> str:
        return f"DatedMasters(base={self.base!r})"

    def __eq__(self, other: object) -> bool:
        return isinstance(other, DatedMasters) and other.base == self.base

    def __hash__(self) -> int:
        return hash(("DatedMasters", self.base))

    # Only the base travels (to Dask workers): each process loads its masters.
    def __getstate__(self) -> dict[str, Any]:
        return {"base": self.base}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.base = state["base"]
        self._loaded = {}

    def _parsed(self, feed_path: _args.PathArg) -> tuple[str, int, int, int]:
        parsed = feed_file_date(feed_path)
        if parsed is None:
            shown = _args.display_path(_args.check_path("DatedMasters", feed_path, "feed_path"))
            raise ValueError(
                f"{shown}: no dated contract master for this feed file: its name is not "
                "Feed_{CM|FO}_StreamID_{stream}_{DD}_{MM}_{YYYY}.bin (.gz, .zst) with a date "
                f"the feed path builder accepts, so no master under {self.base!r} was tried"
            )
        segment, _, day, month, year = parsed
        return segment, day, month, year

    def path_for(self, feed_path: _args.PathArg) -> str:
        """The contract master path for `feed_path`, as
        ``SymbolMaster.load_for_date`` builds it (the base used as given)."""
        segment, day, month, year = self._parsed(feed_path)
        return (
            f"{self.base}/CONTRACT/{day:02}_{month:02}_{year}/"
            f"NSE_{segment}_contract_{day:02}{month:02}{year}.csv"
        )

    def master_for(self, feed_path: _args.PathArg) -> tidemark.SymbolMaster:
        """The loaded contract master of `feed_path`'s segment and date."""
        segment, day, month, year = self._parsed(feed_path)
        tried = self.path_for(feed_path)
        master = self._loaded.get(tried)
        if master is None:
            master = tidemark.SymbolMaster()
            try:
                master.load_for_date(segment, day, month, year, self.base)
            except RuntimeError as exc:
                shown = _args.display_path(_args.check_path("DatedMasters", feed_path))
                text = str(exc)
                if tried not in text:
                    text = f"{tried}: {text}"
                raise RuntimeError(f"{shown}: no usable contract master: {text}") from None
            self._loaded[tried] = master
        return master


def _load_csv(function: str, path: object, loaded: dict[bytes, tidemark.SymbolMaster]) -> Any:
    checked = _args.check_path(function, path, "master")
    key = _args.native_path(checked)
    if key not in loaded:
        master = tidemark.SymbolMaster()
        try:
            master.load(_args.display_path(checked))
        except RuntimeError as exc:
            raise RuntimeError(str(exc)) from None
        loaded[key] = master
    return loaded[key]


def _mapping_key(path: str | bytes) -> bytes:
    return os.path.abspath(os.fsencode(path))


def resolve_masters(
    function: str, master: object, paths: Sequence[str | bytes]
) -> list[tidemark.SymbolMaster | None] | None:
    """The master of each of `paths` when `master` chooses one per file
    (a `DatedMasters`, or a mapping from feed path to a ``SymbolMaster`` or
    the path of a contract-master CSV); None when `master` is not such a
    chooser. Mapping keys match the feed paths as given or as the same
    absolute path; a feed path without an entry is a ValueError."""
    if isinstance(master, DatedMasters):
        return [master.master_for(p) for p in paths]
    if not isinstance(master, Mapping):
        return None
    by_key: dict[bytes, object] = {}
    for key, value in master.items():
        checked = _args.check_path(function, key, "master")
        by_key.setdefault(_args.native_path(checked), value)
        by_key.setdefault(_mapping_key(checked), value)
    loaded: dict[bytes, tidemark.SymbolMaster] = {}
    out: list[tidemark.SymbolMaster | None] = []
    for p in paths:
        value = by_key.get(_args.native_path(p), by_key.get(_mapping_key(p)))
        if value is None:
            raise ValueError(
                f"{function}() argument 'master' has no contract master for the feed file "
                f"{_args.display_path(p)}"
            )
        if isinstance(value, tidemark.SymbolMaster):
            out.append(value)
        elif isinstance(value, str | bytes | os.PathLike):
            out.append(_load_csv(function, value, loaded))
        else:
            raise TypeError(
                f"{function}() argument 'master' maps {_args.display_path(p)} to a "
                f"{type(value).__name__}: give a SymbolMaster or the path of a contract-master file"
            )
    return out
