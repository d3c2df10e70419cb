"""scan_feed: a feed file as Arrow record batches."""

from __future__ import annotations

import tidemark

from . import _native
from ._arrow import ArrowStream

_MAX_BATCH_ROWS = 2**63 - 1


def _check_batch_rows(function: str, batch_rows: object) -> int:
    if isinstance(batch_rows, bool) or not isinstance(batch_rows, int):
        raise TypeError(
            f"{function}() argument 'batch_rows' must be int, not {type(batch_rows).__name__}"
        )
    if not 1 <= batch_rows <= _MAX_BATCH_ROWS:
        raise ValueError(
            f"{function}() argument 'batch_rows' must be from 1 to {_MAX_BATCH_ROWS}, "
            f"got {batch_rows}"
        )
    return batch_rows


def _check_path(function: str, path: object) -> str:
    if not isinstance(path, str):
        raise TypeError(f"{function}() argument 'path' must be str, not {type(path).__name__}")
    return path


class FeedScan(ArrowStream):
    """The messages of one feed file as Arrow record batches; made by
    `scan_feed`. See `scan_feed` for the columns."""

    __slots__ = ("path", "master", "batch_rows")

    def __init__(self, source: object, path: str, master: object, batch_rows: int) -> None:
        super().__init__(source)
        self.path = path
        self.master = master
        self.batch_rows = batch_rows

    def __repr__(self) -> str:
        master = "" if self.master is None else f", master={self.master!r}"
        return f"FeedScan({self.path!r}{master}, batch_rows={self.batch_rows})"


def scan_feed(
    path: str,
    *,
    master: tidemark.SymbolMaster | str | None = None,
    batch_rows: int = 65536,
) -> FeedScan:
    """Reads a feed file as Arrow record batches of at most `batch_rows` rows.

    The result implements the Arrow PyCapsule interface, so
    ``pyarrow.table(scan)``, ``polars.DataFrame(scan)`` and a DuckDB query
    naming the variable read it without a copy beyond building the batches;
    ``scan.to_pandas()`` gives a lossless DataFrame. Each consumer reads the
    file again from its start, one batch at a time, so memory is one batch
    whatever the file's length.

    Row i holds the message dict that ``StreamingBinaryLoader.get_next_msg``
    returns for message i (enriched, when `master` is given), with null for
    every column whose key that dict lacks. Columns, in order:
    message_kind (string), seq_no uint32, msg_len uint16, stream_id uint16,
    msg_type (string), exch_ts uint64, local_ts uint64, order_id uint64,
    buy_order_id uint64, sell_order_id uint64, token int64 (an order's
    unsigned and a trade's signed token, both exact), order_type (string),
    price uint32, quantity uint32, trade_price int32, trade_quantity int32,
    flags bool; with `master`, then token_symbol (string), strike_price
    int64, option_type, expiry (strings), lot_size uint32, name (string).

    `path` is opened and its first record checked now, with the RuntimeError
    texts of ``StreamingBinaryLoader.open_stream``. A decode error later in the
    file (a record cut short) fails the stream with the loader's text after
    the rows before it: never a silently shorter table.

    `master` is a `tidemark.SymbolMaster` (its contracts as they are now) or
    the path of a contract-master CSV file, loaded now.
    """
    _check_path("scan_feed", path)
    batch_rows = _check_batch_rows("scan_feed", batch_rows)
    if master is not None and not isinstance(master, str | tidemark.SymbolMaster):
        raise TypeError(
            "scan_feed() argument 'master' must be a SymbolMaster or the path of a "
            f"contract-master file (str), not {type(master).__name__}"
        )
    source = _native.scan_feed(path, master, batch_rows)
    return FeedScan(source, path, master, batch_rows)
