"""scan_feed: feed files as Arrow record batches."""

from __future__ import annotations

import os
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

import tidemark

from . import _args, _native
from ._arrow import ArrowStream
from ._masters import DatedMasters, resolve_masters

_MAX_U64 = 2**64 - 1

# Kept for the functions that still check one str path this way.
_MAX_BATCH_ROWS = _args.MAX_BATCH_ROWS


def _check_batch_rows(function: str, batch_rows: object) -> int:
    return _args.check_batch_rows(function, batch_rows)


def _check_path(function: str, path: object) -> str:
    if not isinstance(path, str):
        raise TypeError(f"{function}() argument 'path' must be str, not {type(path).__name__}")
    return path


MESSAGE_COLUMNS = (
    "message_kind", "seq_no", "msg_len", "stream_id", "msg_type", "exch_ts", "local_ts",
    "order_id", "buy_order_id", "sell_order_id", "token", "order_type", "price", "quantity",
    "trade_price", "trade_quantity", "flags",
)  # fmt: skip
CONTRACT_COLUMNS = ("token_symbol", "strike_price", "option_type", "expiry", "lot_size", "name")


class FeedScan(ArrowStream):
    """The messages of feed files as Arrow record batches; made by
    `scan_feed`. See `scan_feed` for the columns.

    `options` holds the keyword arguments as checked, so that
    ``scan_feed(scan.paths, **scan.options)`` makes the same scan."""

    __slots__ = ("paths", "options")

    def __init__(self, source: object, paths: list[str | bytes], options: dict[str, Any]) -> None:
        super().__init__(source)
        self.paths = paths
        self.options = options

    @property
    def path(self) -> str | bytes:
        """The first (with one file, the only) path."""
        return self.paths[0]

    @property
    def master(self) -> object:
        return self.options["master"]

    @property
    def batch_rows(self) -> int:
        return int(self.options["batch_rows"])

    def stop(self) -> None:
        """Ends the streams of a scan made with ``follow=True`` at their next
        wait (callable from any thread); the rows read before are handed out
        first."""
        self._source.stop()

    def __repr__(self) -> str:
        where = repr(self.paths[0]) if len(self.paths) == 1 else repr(self.paths)
        defaults = _DEFAULTS
        extra = "".join(
            f", {k}={v!r}"
            for k, v in self.options.items()
            if k != "batch_rows" and v != defaults[k]
        )
        return f"FeedScan({where}{extra}, batch_rows={self.batch_rows})"


_DEFAULTS: dict[str, Any] = {
    "master": None,
    "columns": None,
    "tokens": None,
    "types": None,
    "start": None,
    "end": None,
    "limit": None,
    "timestamps": "int",
    "tz": "UTC",
    "price_scale": None,
    "batch_rows": 65536,
    "order": "files",
    "follow": False,
    "flush_interval": 0.1,
    "idle_timeout": None,
}


def check_master(function: str, master: object) -> object:
    """A master as the native scan takes it: None, a SymbolMaster, or the
    path of a contract-master CSV as bytes; a `DatedMasters` or a mapping of
    feed paths to masters is returned as it is (resolved per file later)."""
    if master is None or isinstance(master, tidemark.SymbolMaster | DatedMasters | Mapping):
        return master
    if isinstance(master, str | bytes | os.PathLike):
        return _args.native_path(_args.check_path(function, master, "master"))
    raise TypeError(
        f"{function}() argument 'master' must be a SymbolMaster or the path of a "
        "contract-master file (str, bytes or os.PathLike), or a DatedMasters or a mapping "
        f"from feed path to master, not {type(master).__name__}"
    )


def check_columns(function: str, columns: object) -> list[str] | None:
    if columns is None:
        return None
    if isinstance(columns, str | bytes) or not isinstance(columns, Iterable):
        raise TypeError(
            f"{function}() argument 'columns' must be a list of column names, "
            f"not {type(columns).__name__}"
        )
    out = list(columns)
    for name in out:
        if not isinstance(name, str):
            raise TypeError(
                f"{function}() argument 'columns' must hold str, not {type(name).__name__}"
            )
    return out


def check_options(function: str, **given: Any) -> dict[str, Any]:
    """Every keyword of `scan_feed`, checked and in plain form (lists, ints,
    strs), with the defaults filled in. Unknown keywords are a TypeError."""
    unknown = set(given) - set(_DEFAULTS)
    if unknown:
        raise TypeError(f"{function}() got an unexpected keyword argument {sorted(unknown)[0]!r}")
    o = {**_DEFAULTS, **given}
    master = o["master"]
    if master is not None and not isinstance(master, tidemark.SymbolMaster):
        check_master(function, master)  # type and path checks only; loaded by the native scan
    o["columns"] = check_columns(function, o["columns"])
    o["tokens"] = _args.check_tokens(function, o["tokens"])
    o["types"] = _args.check_types(function, o["types"])
    o["start"] = _args.check_time(function, "start", o["start"])
    o["end"] = _args.check_time(function, "end", o["end"])
    if o["limit"] is not None:
        o["limit"] = _args.check_int(function, "limit", o["limit"], 0, _MAX_U64)
    o["timestamps"] = _args.check_choice(
        function, "timestamps", o["timestamps"], ("int", "datetime")
    )
    o["tz"] = _args.check_time_zone(function, o["tz"])
    if o["price_scale"] is not None:
        o["price_scale"] = _args.check_int(function, "price_scale", o["price_scale"], 0, 9)
    o["batch_rows"] = _args.check_batch_rows(function, o["batch_rows"])
    o["order"] = _args.check_choice(function, "order", o["order"], ("files", "exch_ts"))
    if not isinstance(o["follow"], bool):
        raise TypeError(
            f"{function}() argument 'follow' must be bool, not {type(o['follow']).__name__}"
        )
    o["flush_interval"] = _seconds(function, "flush_interval", o["flush_interval"], False)
    o["idle_timeout"] = _seconds(function, "idle_timeout", o["idle_timeout"], True)
    return o


def _seconds(function: str, name: str, value: Any, none_ok: bool) -> Any:
    """A duration in seconds (int or float, from 0 to 1e9), or None when allowed."""
    if value is None and none_ok:
        return None
    if isinstance(value, bool) or not isinstance(value, int | float):
        raise TypeError(
            f"{function}() argument '{name}' must be a number of seconds, "
            f"not {type(value).__name__}"
        )
    if not 0 <= value <= 1e9:
        raise ValueError(
            f"{function}() argument '{name}' must be from 0 to 1e9 seconds, got {value}"
        )
    return value


def _native_scan(function: str, paths: list[str | bytes], o: dict[str, Any]) -> object:
    """The native source of a scan with checked options `o`."""
    start, end, limit = o["start"], o["end"], o["limit"]
    # exch_ts is from 0 to 2**64 - 1: bounds outside that range either hold
    # every row or none.
    if (
        (start is not None and start > _MAX_U64)
        or (end is not None and end <= 0)
        or (start is not None and end is not None and start >= end)
    ):
        start, end, limit = None, None, 0
    if start is not None and start <= 0:
        start = None
    if end is not None and end > _MAX_U64:
        end = None
    master = resolve_masters(function, o["master"], paths)
    return _native.scan_feed(
        [_args.native_path(p) for p in paths],
        [_args.display_path(p) for p in paths],
        check_master(function, o["master"]) if master is None else master,
        o["columns"],
        o["tokens"],
        o["types"],
        start,
        end,
        limit,
        o["tz"] if o["timestamps"] == "datetime" else "",
        -1 if o["price_scale"] is None else o["price_scale"],
        o["batch_rows"],
        o["order"] == "exch_ts",
        round(o["flush_interval"] * 1e9) if o["follow"] else None,
        None if o["idle_timeout"] is None else round(o["idle_timeout"] * 1e9),
    )


def scan_feed(
    paths: _args.PathArg | Sequence[_args.PathArg] | None = None,
    *,
    path: _args.PathArg | None = None,
    master: tidemark.SymbolMaster | _args.PathArg | DatedMasters | Mapping[Any, Any] | None = None,
    columns: Iterable[str] | None = None,
    tokens: Iterable[int] | None = None,
    types: str | Iterable[str] | None = None,
    start: Any = None,
    end: Any = None,
    limit: int | None = None,
    timestamps: str = "int",
    tz: str = "UTC",
    price_scale: int | None = None,
    batch_rows: int = 65536,
    order: str = "files",
    follow: bool = False,
    flush_interval: float = 0.1,
    idle_timeout: float | None = None,
) -> FeedScan:
    """Reads feed files as Arrow record batches of at most `batch_rows` rows.

    The result implements the Arrow PyCapsule interface, so
    ``pyarrow.table(scan)``, ``polars.DataFrame(scan)`` and a DuckDB query
    naming the variable read it without a copy beyond building the batches;
    ``scan.to_pandas()`` gives a lossless DataFrame. Each consumer reads the
    files again from the start, one batch at a time, so memory is one batch
    whatever the files' length. For a lazy polars frame see
    ``tidemark_tools.polars.scan_feed``.

    `paths` is one path (str, bytes or os.PathLike) or a non-empty sequence
    of them, read one after another in the given order. Row i holds the
    message dict that ``StreamingBinaryLoader.get_next_msg`` returns for the
    i-th message that passes the filters (enriched, when `master` is given),
    with null for every column whose key that dict lacks. Columns, in order:
    message_kind (string), seq_no uint32, msg_len uint16, stream_id uint16,
    msg_type (string), exch_ts uint64, local_ts uint64, order_id uint64,
    buy_order_id uint64, sell_order_id uint64, token int64 (an order's
    unsigned and a trade's signed token, both exact), order_type (string),
    price uint32, quantity uint32, trade_price int32, trade_quantity int32,
    flags bool; with `master`, then token_symbol (string), strike_price
    int64, option_type, expiry (strings), lot_size uint32, name (string);
    with several paths, last, file (string): the path the row came from, as
    given (bytes that are not UTF-8 shown as backslash escapes).

    Prices (price, trade_price) are integers in the feed's price unit: for
    NSE cash and equity derivatives, paise. Quantities are units (shares or
    contracts' underlying units), never scaled.

    Narrowing and converting (all applied by the native decoder on each
    record before any column is written; a dropped record costs its framing
    only):

    - `columns`: the names of the columns to build, in the order given
      (``"file"`` may be asked for with one path too). An unknown or repeated
      name is a ValueError listing the valid names.
    - `tokens`: book keys (a trade's signed token read as unsigned, as the
      books key it): only rows of these tokens.
    - `types`: message types N, M, X, T as one-letter strings or one string
      such as ``"NT"``: only rows of these types.
    - `start`, `end`: only rows with ``start <= exch_ts < end``; each an int
      of nanoseconds since the epoch, or a time-zone-aware ``datetime``,
      ``pandas.Timestamp`` or ``numpy.datetime64``.
    - `limit`: at most this many rows, after the filters.
    - ``timestamps="datetime"``: exch_ts and local_ts as Arrow
      ``timestamp("ns", tz)``, exact; `tz` is an IANA zone name. A value
      above 2**63 - 1 cannot be such a timestamp and fails the stream with
      an error naming the column and the row's seq_no.
    - `price_scale` = k (0 to 9): price and trade_price as
      ``decimal128(18, k)``, the feed's integer divided by 10**k exactly
      (``price_scale=2`` gives rupees from paise).

    `order` is ``"files"`` (one file after another) or ``"exch_ts"``: the
    files merged by time, at each step the next message being the head of
    the file whose head has the smallest exch_ts, ties going to the file
    listed first. It is a merge of the files' own orders, not a sort: a
    timestamp running backwards inside a file stays where it is. The filters
    and `limit` apply to the merged order. Memory stays a small buffer per
    file; at most 256 files.

    Every file is opened and its first record checked now, with the
    RuntimeError texts of ``StreamingBinaryLoader.open_stream``; with several
    paths each text starts with ``"{path}: "``. A decode error later in a
    file (a record cut short) fails the stream with the loader's text (named
    the same way) after the rows before it: never a silently shorter table.

    `master` is a `tidemark.SymbolMaster` (its contracts as they are now) or
    the path of a contract-master CSV file, loaded now; or, to give each file
    its own contracts, a `tidemark_tools.DatedMasters` (each file's master by
    its segment and trading date, from its name) or a mapping from feed path
    to a SymbolMaster or CSV path (every path needs an entry). `path` is the name
    this argument had when scan_feed read one file; it is the same as `paths`.

    With ``follow=True`` the scan follows a file that is still being written
    (with several paths, the last one, after the others were read to their
    end; with ``order="exch_ts"`` every one, and the merge waits for the next
    message of each file that has not ended): at its current end a stream
    waits for more bytes instead of ending (a record cut short there is
    waited for too), and hands out a batch when it has `batch_rows` rows or
    `flush_interval` seconds after its first bytes arrived. The stream ends
    after `idle_timeout` seconds without growth (default: never; of several
    files followed, each ends on its own), when ``scan.stop()`` is called
    from another thread, or on Ctrl-C; a file that shrinks or is replaced
    fails it. Waiting costs no CPU (inotify, or polling where that is
    missing).
    Compressed files cannot be followed.
    """
    if path is not None or paths is None:
        if paths is not None:
            raise TypeError("scan_feed() takes `paths` or `path`, not both")
        if path is None:
            raise TypeError("scan_feed() missing required argument 'paths'")
        checked = [_args.check_path("scan_feed", path)]
    else:
        checked = _args.check_paths("scan_feed", paths)
    options = check_options(
        "scan_feed",
        master=master,
        columns=columns,
        tokens=tokens,
        types=types,
        start=start,
        end=end,
        limit=limit,
        timestamps=timestamps,
        tz=tz,
        price_scale=price_scale,
        batch_rows=batch_rows,
        order=order,
        follow=follow,
        flush_interval=flush_interval,
        idle_timeout=idle_timeout,
    )
    return FeedScan(_native_scan("scan_feed", checked, options), checked, options)
