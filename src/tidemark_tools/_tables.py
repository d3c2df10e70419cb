"""trades, quotes and bars: tables of one replay of feed files into order books.

Each function checks its arguments, asks the native module for a stream of
record batches, and, when timestamps, prices or contract columns are asked
for, converts each batch as it passes (never the whole table at once).
"""

from __future__ import annotations

import re
from collections.abc import Callable, Iterable, Iterator, Mapping
from typing import TYPE_CHECKING, Any

import tidemark

from . import _args, _native
from ._arrow import ArrowStream
from ._masters import DatedMasters, resolve_masters

if TYPE_CHECKING:
    import pyarrow as pa

_MAX_NS = 2**64 - 1
_MAX_TIMESTAMP = 2**63 - 1

# Durations as the command writes them: a number and a unit.
_DURATION = re.compile(r"(\d+(?:\.\d+)?)(ns|us|ms|s|m|h|d)")
_NS_PER_UNIT = {
    "ns": 1,
    "us": 1_000,
    "ms": 1_000_000,
    "s": 1_000_000_000,
    "m": 60_000_000_000,
    "h": 3_600_000_000_000,
    "d": 86_400_000_000_000,
}


def parse_every(function: str, value: object) -> int:
    """An interval in nanoseconds: an int, or a string such as "1s", "1m",
    "5m", "1h" or "100ms" (units ns, us, ms, s, m, h, d)."""
    if isinstance(value, str):
        match = _DURATION.fullmatch(value.strip())
        if match is None:
            raise ValueError(
                f"{function}() argument 'every' is {value!r}: write a number and a unit, "
                "such as 1s, 1m, 5m or 1h (units ns, us, ms, s, m, h, d)"
            )
        number, unit = match.groups()
        whole, _, frac = number.partition(".")
        scale = _NS_PER_UNIT[unit]
        ns = int(whole) * scale + ((int(frac) * scale) // 10 ** len(frac) if frac else 0)
        if not 1 <= ns <= _MAX_NS:
            raise ValueError(f"{function}() argument 'every' is {value!r}: must be at least 1ns")
        return ns
    return _args.check_int(function, "every", value, 1, _MAX_NS)


def _native_paths(function: str, paths: object) -> tuple[list[bytes], list[str], list[str | bytes]]:
    checked = _args.check_paths(function, paths)
    native = [_args.native_path(p) for p in checked]
    return native, [_args.display_path(p) for p in checked], checked


class _Options:
    """The conversions shared by the tables: timestamps, prices, contracts
    (one master, or one per file) and the file column."""

    def __init__(
        self,
        function: str,
        master: object,
        timestamps: object,
        tz: object,
        price_scale: object,
        paths: list[str | bytes],
    ) -> None:
        self.timestamps = _args.check_choice(
            function, "timestamps", timestamps, ("int", "datetime")
        )
        self.tz = _args.check_time_zone(function, tz)
        self.price_scale = (
            None
            if price_scale is None
            else _args.check_int(function, "price_scale", price_scale, 0, 9)
        )
        self.master: tidemark.SymbolMaster | None = None
        # With several paths the native table gives each row's file index;
        # it becomes the `file` column, and picks each row's master.
        self.files = [_args.display_path(p) for p in paths] if len(paths) > 1 else None
        self.masters = resolve_masters(function, master, paths)
        if self.masters is not None:
            self.master = self.masters[0]
        elif master is not None:
            if isinstance(master, tidemark.SymbolMaster):
                self.master = master
            else:
                path = _args.check_path(function, master, "master")
                loaded = tidemark.SymbolMaster()
                try:
                    loaded.load(_args.display_path(path))
                except RuntimeError as exc:
                    raise RuntimeError(str(exc)) from None
                self.master = loaded
        self.contracts: dict[tuple[int, int], Any] = {}
        self.function = function
        self.columns: list[str] | None = None

    def select(self, function: str, columns: object, paths: list[str | bytes]) -> None:
        """Keeps only `columns` (names, in this order; "file" may be asked
        for with one path too)."""
        from ._scan import check_columns

        self.function = function
        self.columns = check_columns(function, columns)
        if self.columns is not None and "file" in self.columns and self.files is None:
            self.files = [_args.display_path(p) for p in paths]

    def needed(self) -> bool:
        return (
            self.timestamps == "datetime"
            or self.price_scale is not None
            or self.master is not None
            or self.files is not None
            or self.columns is not None
        )

    def selected(self, columns: list[tuple[str, pa.Array]]) -> list[tuple[str, pa.Array]]:
        """The columns asked for, in their order; an unknown or repeated name
        is a ValueError naming the columns there are."""
        if self.columns is None:
            return columns
        by_name = dict(columns)
        out: list[tuple[str, pa.Array]] = []
        for name in self.columns:
            if name not in by_name or any(n == name for n, _ in out):
                problem = (
                    f"column {name!r} is asked for twice"
                    if name in by_name
                    else f"unknown column {name!r}"
                )
                known = list(by_name) + ([] if "file" in by_name else ["file"])
                raise ValueError(
                    f"{self.function}() argument 'columns': {problem}; the columns are "
                    + ", ".join(known)
                )
            out.append((name, by_name[name]))
        return out

    # ------------------------------------------------------------ contracts

    def contract(self, token: int, file: int | None) -> Any:
        if self.masters is None:
            master = self.master
        else:  # a bar of trades from several files has no one master
            master = None if file is None else self.masters[file]
        key = (id(master), token)
        if key not in self.contracts:
            info = None if master is None else master.lookup(token)
            self.contracts[key] = info if info is not None and info["found"] else None
        return self.contracts[key]

    def contract_columns(
        self, tokens: pa.Array, files: pa.Array | None
    ) -> list[tuple[str, pa.Array]]:
        import pyarrow as pa

        file_list = [0] * len(tokens) if files is None else files.to_pylist()
        infos = [self.contract(t, f) for t, f in zip(tokens.to_pylist(), file_list, strict=True)]

        def column(key: str, kind: pa.DataType) -> pa.Array:
            return pa.array([None if i is None else i[key] for i in infos], kind)

        return [
            ("token_symbol", column("symbol", pa.string())),
            ("strike_price", column("strike", pa.int64())),
            ("option_type", column("option_type", pa.string())),
            ("expiry", column("expiry", pa.string())),
            ("lot_size", column("lot_size", pa.uint32())),
            ("name", column("name", pa.string())),
        ]


def _as_timestamps(array: pa.Array, tz: str, column: str, keys: Callable[[int], str]) -> pa.Array:
    """uint64 nanoseconds as timestamp("ns", tz), exactly; a value past
    2**63 - 1 cannot be one and fails, naming the column and the row."""
    import pyarrow as pa
    import pyarrow.compute as pc

    if len(array) and (pc.max(array).as_py() or 0) > _MAX_TIMESTAMP:
        row = pc.index(pc.greater(array, pa.scalar(_MAX_TIMESTAMP, pa.uint64())), True).as_py()
        raise ValueError(
            f"{column} {array[row].as_py()} of the row with {keys(row)} does not fit a "
            "timestamp (at most 2**63 - 1 ns)"
        )
    return pa.Array.from_buffers(
        pa.timestamp("ns", tz), len(array), array.buffers(), array.null_count, array.offset
    )


def _as_decimal(array: pa.Array, scale: int, precision: int = 18) -> pa.Array:
    """Integers in the feed's unit as decimal128(precision, scale): the same
    integer read with `scale` decimal places (exact)."""
    import pyarrow as pa

    if not pa.types.is_decimal(array.type):
        array = array.cast(pa.decimal128(precision, 0))
    return pa.Array.from_buffers(
        pa.decimal128(precision, scale), len(array), array.buffers(), array.null_count, array.offset
    )


class Table(ArrowStream):
    """A table of a replay as Arrow record batches; made by `trades`,
    `quotes` and `bars`. Every consumer replays the files from their start."""

    __slots__ = ("_convert", "_schema", "name", "paths")

    def __init__(
        self,
        source: Any,
        name: str,
        paths: list[str],
        convert: Callable[[pa.RecordBatch], pa.RecordBatch] | None,
    ) -> None:
        super().__init__(source)
        self.name = name
        self.paths = paths
        self._convert = convert
        self._schema: pa.Schema | None = None

    def __repr__(self) -> str:
        shown = self.paths[0] if len(self.paths) == 1 else self.paths
        return f"{self.name}({shown!r})"

    def stop(self) -> None:
        """Ends the streams of a table made with ``follow=True`` at their
        next wait (callable from any thread); the rows read before are
        handed out first."""
        self._source.stop()

    def _native_batches(self) -> pa.RecordBatchReader:
        import pyarrow as pa

        return pa.RecordBatchReader.from_stream(ArrowStream(self._source))

    def schema(self) -> pa.Schema:
        """The schema of the batches (with the conversions asked for)."""
        import pyarrow as pa

        if self._schema is None:
            native = pa.schema(ArrowStream(self._source))
            if self._convert is None:
                self._schema = native
            else:
                empty = pa.RecordBatch.from_pylist([], schema=native)
                self._schema = self._convert(empty).schema
        return self._schema

    def __arrow_c_schema__(self) -> object:
        if self._convert is None:
            return super().__arrow_c_schema__()
        return self.schema().__arrow_c_schema__()

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        if self._convert is None:
            return super().__arrow_c_stream__(requested_schema)
        import pyarrow as pa

        reader = self._native_batches()
        convert = self._convert

        def batches() -> Iterator[pa.RecordBatch]:
            for batch in reader:
                yield convert(batch)

        return pa.RecordBatchReader.from_batches(self.schema(), batches()).__arrow_c_stream__()


def _converter(
    options: _Options,
    times: Iterable[str],
    prices: Iterable[str],
    keys: Callable[[pa.RecordBatch, int], str],
    extra: Callable[[pa.RecordBatch, list[tuple[str, pa.Array]]], None] | None = None,
) -> Callable[[pa.RecordBatch], pa.RecordBatch] | None:
    time_columns, price_columns = set(times), set(prices)
    if not options.needed() and extra is None:
        return None

    def convert(batch: pa.RecordBatch) -> pa.RecordBatch:
        import pyarrow as pa

        def key(row: int) -> str:
            return keys(batch, row)

        columns: list[tuple[str, pa.Array]] = []
        files = batch.column("file") if options.files is not None else None
        for name, array in zip(batch.schema.names, batch.columns, strict=True):
            if name == "file" and files is not None:
                continue  # named and put last below
            if options.timestamps == "datetime" and name in time_columns:
                array = _as_timestamps(array, options.tz, name, key)
            elif options.price_scale is not None and name in price_columns:
                precision = 38 if pa.types.is_decimal(array.type) else 18
                array = _as_decimal(array, options.price_scale, precision)
            columns.append((name, array))
        if extra is not None:
            extra(batch, columns)
        if options.master is not None or options.masters is not None:
            columns += options.contract_columns(batch.column("token"), files)
        if files is not None:
            assert options.files is not None
            names = pa.array(options.files, pa.string())
            columns.append(("file", pa.DictionaryArray.from_arrays(files.cast(pa.int32()), names)))
        columns = options.selected(columns)
        return pa.RecordBatch.from_arrays([a for _, a in columns], names=[n for n, _ in columns])

    return convert


def _checked_table(table: Table) -> Table:
    """`table`, once its schema (and so its `columns`) has been checked."""
    table.schema()
    return table


def _seq_no_key(batch: pa.RecordBatch, row: int) -> str:
    return f"seq_no {batch.column('seq_no')[row].as_py()}"


def trades(
    paths: Any,
    *,
    master: tidemark.SymbolMaster | str | DatedMasters | Mapping[Any, Any] | None = None,
    tokens: Iterable[int] | None = None,
    start: Any = None,
    end: Any = None,
    timestamps: str = "int",
    tz: str = "UTC",
    price_scale: int | None = None,
    batch_rows: int = 65536,
    order: str = "files",
    columns: Iterable[str] | None = None,
    follow: bool = False,
    flush_interval: float = 0.1,
    idle_timeout: float | None = None,
    threads: int | None = None,
) -> Table:
    """One row per trade message of feed files, in file order, with who
    initiated it and the quote just before it, as Arrow record batches.

    The messages of `paths` (one path or several, replayed one after another
    into the same books) are applied to order books with exactly the rules of
    ``OrderbookBuilder``, every message and every type (no type filter).

    Columns: seq_no uint32, exch_ts uint64, local_ts uint64, token uint32
    (the book key: the trade's signed token read as unsigned), buy_order_id
    uint64, sell_order_id uint64, price int32 (the trade price), quantity
    int32, then
    - aggressor (string): "B" when the sell order rested in the token's book
      just before the trade and the buy order did not (a buyer took a
      resting offer), "S" for the reverse, null when both or neither rested;
    - bid_price uint32, bid_qty uint64, ask_price uint32, ask_qty uint64:
      the token's best level per side just before the trade, null where the
      side is empty or the token has no book;
    - with `master`, the contract columns of ``scan_feed`` (null for a token
      the master does not know).

    `tokens` keeps the rows of these book keys, `start`/`end` those with
    ``start <= exch_ts < end`` (ints of nanoseconds or time-zone-aware
    datetimes); the books still take every message. `timestamps="datetime"`
    makes exch_ts and local_ts ``timestamp("ns", tz)``; `price_scale=k` makes
    the price columns ``decimal128(18, k)``, the feed's integer divided by
    10**k (2 gives rupees for prices in paise).

    `columns` keeps only the columns named, in the order given (``"file"``
    may be asked for with one path too); an unknown or repeated name is a
    ValueError listing the valid ones.

    With several paths, a last column `file` (string) gives the path, as
    given, of the file each row came from. `master` may also be a
    `DatedMasters` or a mapping from feed path to a SymbolMaster or CSV path:
    each file's rows then get that file's contracts.

    `order` is ``"files"`` (one file after another) or ``"exch_ts"``: the
    files merged by time as ``scan_feed`` merges them (the head with the
    smallest exch_ts next, ties to the file listed first; a timestamp running
    backwards inside a file stays where it is). Books are keyed by token
    alone, so the books of a merge are the books of the files one after
    another whenever each token lives in one file (streams partition the
    tokens). A token whose messages are in several files has one book fed by
    all of them in the merged order: an order id in two files is one order.

    With ``follow=True`` the last file is followed while it is still being
    written (the ones before it are read to their end first; with
    ``order="exch_ts"`` every file is followed, and the merge waits for the
    next message of each file that has not ended): at its current end the
    stream waits for more bytes instead of ending, and a record cut short
    there is waited for. A batch is handed out when it has `batch_rows`
    rows or `flush_interval` seconds after its first row arrived. The stream
    ends after `idle_timeout` seconds without growth (default: never), when
    ``table.stop()`` is called from another thread, or on Ctrl-C; a file that
    shrinks or is replaced fails it. Compressed files cannot be followed.

    `threads` splits the books by token over that many threads (None: the
    cores this process may run on; 1: no threads of its own), as in
    ``book_series``: the rows and their order are those of ``threads=1``.
    """
    fn = "trades"
    native, shown, checked = _native_paths(fn, paths)
    merge = _args.check_order(fn, order, len(native))
    token_list = _args.check_tokens(fn, tokens)
    lo, hi = _args.check_time(fn, "start", start), _args.check_time(fn, "end", end)
    batch_rows = _args.check_batch_rows(fn, batch_rows)
    flush_ns, idle_ns = _args.check_follow(fn, follow, flush_interval, idle_timeout)
    options = _Options(fn, master, timestamps, tz, price_scale, checked)
    options.select(fn, columns, checked)
    threads = _args.check_threads(fn, threads)
    source = _native.trades(
        native,
        token_list,
        _bound(lo),
        _bound(hi),
        batch_rows,
        merge,
        flush_ns,
        idle_ns,
        threads,
        options.files is not None,
    )
    convert = _converter(
        options,
        ("exch_ts", "local_ts"),
        ("price", "bid_price", "ask_price"),
        _seq_no_key,
    )
    return _checked_table(Table(source, "trades", shown, convert))


def _bound(value: int | None) -> int | None:
    """A time bound as the native functions take it (0 to 2**64 - 1)."""
    if value is None:
        return None
    return min(max(value, 0), _MAX_NS)


def quotes(
    paths: Any,
    *,
    levels: int = 1,
    master: tidemark.SymbolMaster | str | DatedMasters | Mapping[Any, Any] | None = None,
    tokens: Iterable[int] | None = None,
    start: Any = None,
    end: Any = None,
    timestamps: str = "int",
    tz: str = "UTC",
    price_scale: int | None = None,
    batch_rows: int = 65536,
    order: str = "files",
    columns: Iterable[str] | None = None,
    threads: int | None = None,
    follow: bool = False,
    flush_interval: float = 0.1,
    idle_timeout: float | None = None,
) -> Table:
    """The best `levels` levels of each token's book whenever they change,
    as Arrow record batches.

    The messages of `paths` are applied to order books with exactly the
    rules of ``OrderbookBuilder`` (every message, no type filter). After an
    accepted message, a row is written when the token's top `levels` levels
    (price or quantity, either side) differ from that token's previous row;
    the first accepted message of a token always gives a row.

    Columns as ``book_series`` per message: seq_no, exch_ts, local_ts,
    msg_type, token, mid_price, then bid_price_i, bid_qty_i, ask_price_i,
    ask_qty_i per level i; but a missing level is null here, not 0, and so is
    the mid price of a book without both sides. With `master`, the contract
    columns of ``scan_feed`` follow. `tokens`, `start`/`end`, `timestamps`,
    `tz` and `price_scale` work as for `trades` (price_scale applies to the
    mid price and every level's price). `threads` splits the books by token
    over threads as in ``book_series``, with the same rows.

    `columns` keeps only the columns named, in the order given (``"file"``
    may be asked for with one path too); an unknown or repeated name is a
    ValueError listing the valid ones.

    With several paths, a last column `file` (string) gives the path, as
    given, of the file each row came from. `master` may also be a
    `DatedMasters` or a mapping from feed path to a SymbolMaster or CSV path:
    each file's rows then get that file's contracts.

    `order` is ``"files"`` (one file after another) or ``"exch_ts"``: the
    files merged by time as ``scan_feed`` merges them (the head with the
    smallest exch_ts next, ties to the file listed first; a timestamp running
    backwards inside a file stays where it is). Books are keyed by token
    alone, so the books of a merge are the books of the files one after
    another whenever each token lives in one file (streams partition the
    tokens). A token whose messages are in several files has one book fed by
    all of them in the merged order: an order id in two files is one order.

    With ``follow=True`` the last file is followed while it is still being
    written (the ones before it are read to their end first; with
    ``order="exch_ts"`` every file is followed, and the merge waits for the
    next message of each file that has not ended): at its current end the
    stream waits for more bytes instead of ending, and a record cut short
    there is waited for. A batch is handed out when it has `batch_rows`
    rows or `flush_interval` seconds after its first row arrived. The stream
    ends after `idle_timeout` seconds without growth (default: never), when
    ``table.stop()`` is called from another thread, or on Ctrl-C; a file that
    shrinks or is replaced fails it. Compressed files cannot be followed.
    """
    fn = "quotes"
    native, shown, checked = _native_paths(fn, paths)
    merge = _args.check_order(fn, order, len(native))
    levels = _args.check_int(fn, "levels", levels, 1, 1000)
    token_list = _args.check_tokens(fn, tokens)
    lo, hi = _args.check_time(fn, "start", start), _args.check_time(fn, "end", end)
    batch_rows = _args.check_batch_rows(fn, batch_rows)
    flush_ns, idle_ns = _args.check_follow(fn, follow, flush_interval, idle_timeout)
    options = _Options(fn, master, timestamps, tz, price_scale, checked)
    options.select(fn, columns, checked)
    threads = _args.check_threads(fn, threads)
    source = _native.book_series(
        native,
        token_list,
        _bound(lo),
        _bound(hi),
        levels,
        None,
        None,
        batch_rows,
        True,
        True,
        merge,
        threads,
        flush_ns,
        idle_ns,
        options.files is not None,
    )
    prices = ["mid_price"] + [f"{side}_price_{i}" for i in range(levels) for side in ("bid", "ask")]
    convert = _converter(options, ("exch_ts", "local_ts"), prices, _seq_no_key)
    return _checked_table(Table(source, "quotes", shown, convert))


def bars(
    paths: Any,
    *,
    every: int | str,
    master: tidemark.SymbolMaster | str | DatedMasters | Mapping[Any, Any] | None = None,
    tokens: Iterable[int] | None = None,
    start: Any = None,
    end: Any = None,
    timestamps: str = "int",
    tz: str = "UTC",
    price_scale: int | None = None,
    batch_rows: int = 65536,
    order: str = "files",
    columns: Iterable[str] | None = None,
    threads: int | None = None,
) -> Table:
    """OHLCV bars per token from the trade messages of feed files, as Arrow
    record batches.

    `every` is the interval: nanoseconds, or a string such as "1s", "1m",
    "5m" or "1h". Intervals are counted from the epoch (exch_ts 0), and a
    row is written for each token and interval with at least one selected
    trade, in order of `start`, then `token`. The rows are written once the
    files have been read to their end, so memory grows with the number of
    rows.

    Columns: token uint32, start (the interval's start: uint64 ns, or
    ``timestamp("ns", tz)`` with ``timestamps="datetime"``), open, high,
    low, close (trade prices in file order, int32, or decimal128(18, k) with
    `price_scale` k), volume int64 (the sum of the traded quantities),
    trades uint64 (their count), turnover decimal128(38, price_scale or 0)
    (the exact sum of price times quantity), vwap float64 (turnover /
    volume, null when the volume is 0), buy_volume and sell_volume int64 (the
    volume of trades whose aggressor, as `trades` gives it, is "B" or "S"; a
    trade without an aggressor counts in neither).

    A trade with a negative quantity counts as a trade of quantity 0, as the
    books treat it: it sets prices and the trade count but adds no volume or
    turnover. A negative price is taken as it is. With `master`, the contract
    columns of ``scan_feed`` follow. `tokens` and `start`/`end` select the
    trades that count. With ``order="exch_ts"`` open and close follow the
    merged order.

    `columns` keeps only the columns named, in the order given (``"file"``
    may be asked for with one path too); an unknown or repeated name is a
    ValueError listing the valid ones.

    With several paths, a last column `file` (string) gives the path, as
    given, of the file the bar's trades came from; a bar takes the trades of
    its token and interval from every file, and its `file` is null when they
    came from more than one (a token in several files at the same time).
    `master` may also be a `DatedMasters` or a mapping from feed path to a
    SymbolMaster or CSV path: a bar gets the contracts of its file's master
    (none when its file is null).

    `order` is ``"files"`` (one file after another) or ``"exch_ts"``: the
    files merged by time as ``scan_feed`` merges them (the head with the
    smallest exch_ts next, ties to the file listed first; a timestamp running
    backwards inside a file stays where it is). Books are keyed by token
    alone, so the books of a merge are the books of the files one after
    another whenever each token lives in one file (streams partition the
    tokens). A token whose messages are in several files has one book fed by
    all of them in the merged order: an order id in two files is one order.

    `threads` splits the books and bars by token over threads as in
    ``trades``, with the same rows.
    """
    fn = "bars"
    native, shown, checked = _native_paths(fn, paths)
    merge = _args.check_order(fn, order, len(native))
    every_ns = parse_every(fn, every)
    token_list = _args.check_tokens(fn, tokens)
    lo, hi = _args.check_time(fn, "start", start), _args.check_time(fn, "end", end)
    batch_rows = _args.check_batch_rows(fn, batch_rows)
    options = _Options(fn, master, timestamps, tz, price_scale, checked)
    options.select(fn, columns, checked)
    threads = _args.check_threads(fn, threads)
    source = _native.bars(
        native,
        every_ns,
        token_list,
        _bound(lo),
        _bound(hi),
        batch_rows,
        merge,
        threads,
        options.files is not None,
    )
    scale = options.price_scale or 0

    def add_vwap(batch: pa.RecordBatch, columns: list[tuple[str, pa.Array]]) -> None:
        import pyarrow as pa
        import pyarrow.compute as pc

        turnover = batch.column("turnover").cast(pa.float64())
        volume = batch.column("volume").cast(pa.float64())
        volume = pc.if_else(pc.equal(volume, 0.0), pa.scalar(None, pa.float64()), volume)
        vwap = pc.divide(turnover, volume)
        if scale:
            vwap = pc.divide(vwap, 10.0**scale)
        at = [n for n, _ in columns].index("turnover") + 1
        columns.insert(at, ("vwap", vwap))

    def token_start(batch: pa.RecordBatch, row: int) -> str:
        return f"token {batch.column('token')[row].as_py()}"

    convert = _converter(
        options,
        ("start",),
        ("open", "high", "low", "close", "turnover"),
        token_start,
        add_vwap,
    )
    return _checked_table(Table(source, "bars", shown, convert))
