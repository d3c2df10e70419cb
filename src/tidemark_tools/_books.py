"""book_series: order books over time as Arrow record batches."""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from typing import Any

from . import _args, _native
from ._arrow import ArrowStream

_MAX_TOKEN = 2**32 - 1
_MAX_NS = 2**64 - 1


class BookSeries(ArrowStream):
    """The books of one feed file over time as Arrow record batches; made by
    `book_series`. See `book_series` for the rows and columns."""

    __slots__ = (
        "path",
        "tokens",
        "levels",
        "every_ns",
        "types",
        "batch_rows",
        "changes_only",
        "order",
    )

    def __init__(
        self,
        source: object,
        path: str | list[str],
        tokens: list[int] | None,
        levels: int,
        every_ns: int | None,
        types: list[str] | None,
        batch_rows: int,
        changes_only: bool = False,
        order: str = "files",
    ) -> None:
        super().__init__(source)
        self.order = order
        self.changes_only = changes_only
        self.path = path
        self.tokens = tokens
        self.levels = levels
        self.every_ns = every_ns
        self.types = types
        self.batch_rows = batch_rows

    def stop(self) -> None:
        """Ends the streams of a series made with ``follow=True`` at their
        next wait (callable from any thread); the rows read before are
        handed out first."""
        self._source.stop()

    def __repr__(self) -> str:
        extra = "".join(
            f", {name}={getattr(self, name)!r}"
            for name in ("tokens", "every_ns", "types")
            if getattr(self, name) is not None
        )
        if self.changes_only:
            extra += ", changes_only=True"
        if self.order != "files":
            extra += f", order={self.order!r}"
        return (
            f"BookSeries({self.path!r}, levels={self.levels}{extra}, batch_rows={self.batch_rows})"
        )


def book_series(
    path: Any,
    *,
    tokens: Iterable[int] | None = None,
    levels: int = 5,
    every_ns: int | None = None,
    types: Sequence[str] | None = None,
    batch_rows: int = 65536,
    changes_only: bool = False,
    order: str = "files",
    threads: int | None = None,
    follow: bool = False,
    flush_interval: float = 0.1,
    idle_timeout: float | None = None,
) -> BookSeries:
    """Replays a feed file into order books and gives their state over time
    as Arrow record batches of at most `batch_rows` rows (the same PyCapsule
    stream interface as `scan_feed`; ``series.to_pandas()`` is lossless).

    The messages are read with the streaming loader's framing and applied with
    exactly the rules of ``OrderbookBuilder``; `types` is the books' type
    filter, as ``apply_filter`` applies it, given as message types N, M, X and
    T (``["N", "T"]`` or ``"NT"``; anything else is a ValueError), and
    `tokens` selects the book keys that get rows (None: every token). Memory
    is the books plus one batch.

    Per message (`every_ns` None): one row right after each message that
    ``orderbook_add_msg`` would accept, when its book key is selected, holding
    that book's state as ``get_snapshot(token, levels)`` shows it; a message
    whose token has no book yet (a cancel of an unknown id) gets zeros.

    On a time grid (`every_ns` = D > 0): rows at the multiples g of D in
    ``exch_ts``, one per selected token that has a book, in ascending token
    order, holding the state after every message in file order before the
    first message stamped at or after g. Grid times run from the first
    multiple of D above the first message's ``exch_ts`` to the first multiple
    of D above the largest ``exch_ts`` of the file, so the last rows hold the
    state after the whole file. A stretch of time in which no selected token
    has a book costs nothing, however many grid times it spans; but once a
    selected token has a book, every grid time gives rows, so a grid over a
    forward clock jump (one message stamped years ahead) has as many rows
    as grid times: ``check_feed`` reports such jumps. ``exch_ts`` is g; ``seq_no``, ``local_ts``
    and ``msg_type`` are those of the last message before the cut (whether
    the books accepted it or `types` or the side rule skipped it). The grid
    never goes back: a message whose timestamp runs backwards (below the
    current grid time) is applied before the next cut, and the grid times it
    would have passed are not revisited.

    With `changes_only` (per message only), a row is written only when the
    token's `levels` levels (price or quantity, either side) differ from that
    token's previous row; the first accepted message of a token always gives
    a row. ``quotes`` gives the same rows with nulls for missing levels.

    `threads` splits the books by token over that many threads (None: the
    cores this process may run on; 1: no threads of its own): the file is
    read once and each thread replays the messages of its tokens. The rows
    and their order are exactly those of ``threads=1``, in both modes.

    `path` may also be a list of paths, replayed into the same books in
    `order`: ``"files"`` (one file after another) or ``"exch_ts"``, the
    files merged by time as ``scan_feed`` merges them (the head with the
    smallest exch_ts next, ties to the file listed first; a timestamp running
    backwards inside a file stays where it is). Books are keyed by token
    alone, so the books of a merge are the books of the files one after
    another whenever each token lives in one file (streams partition the
    tokens). A token whose messages are in several files has one book fed by
    all of them in the merged order: an order id in two files is one order.
    On a time grid, the grid follows the merged order.

    Columns: seq_no uint32, exch_ts uint64, local_ts uint64, msg_type
    (string), token uint32 (the book key: a trade's signed token read as
    unsigned), mid_price uint32, then for each level i from 0 to levels - 1:
    bid_price_i uint32, bid_qty_i uint64, ask_price_i uint32, ask_qty_i
    uint64. Missing levels are 0.

    With ``follow=True`` (per message only) the last file is followed while
    it is still being written (with ``order="exch_ts"``, every file): at its
    current end the stream waits for more
    bytes instead of ending, and a record cut short there is waited for. A
    batch is handed out when it has `batch_rows` rows or `flush_interval`
    seconds after its first row arrived. The stream ends after
    `idle_timeout` seconds without growth (default: never), when
    ``series.stop()`` is called from another thread, or on Ctrl-C; a file
    that shrinks or is replaced fails it. A grid cannot follow: its last
    rows need the end of the file.

    `path` is opened and its first record checked now, with the RuntimeError
    texts of ``StreamingBinaryLoader.open_stream``; a decode error later in
    the file fails the stream with the loader's text.
    """
    fn = "book_series"
    checked = _args.check_paths(fn, path, "path")
    shown = [_args.display_path(p) for p in checked]
    token_list = _args.check_tokens(fn, tokens)
    levels = _args.check_int(fn, "levels", levels, 1, 1000)
    if every_ns is not None:
        every_ns = _args.check_int(fn, "every_ns", every_ns, 1, _MAX_NS)
    type_letters = _args.check_types(fn, types)
    filter_bytes = None if type_letters is None else type_letters.encode()
    batch_rows = _args.check_batch_rows(fn, batch_rows)
    if not isinstance(changes_only, bool):
        raise TypeError(
            f"book_series() argument 'changes_only' must be bool, not {type(changes_only).__name__}"
        )
    if changes_only and every_ns is not None:
        raise ValueError("book_series() argument 'changes_only' applies to rows per message only")
    merge = _args.check_order(fn, order, len(checked))
    threads = _args.check_threads(fn, threads)
    flush_ns, idle_ns = _args.check_follow(fn, follow, flush_interval, idle_timeout)
    if flush_ns is not None and every_ns is not None:
        raise ValueError(
            "book_series() cannot follow a growing file on a time grid (every_ns): its last "
            "rows need the end of the file; follow per message instead"
        )
    source = _native.book_series(
        [_args.native_path(p) for p in checked],
        token_list,
        None,
        None,
        levels,
        every_ns,
        filter_bytes,
        batch_rows,
        changes_only,
        False,
        merge,
        threads,
        flush_ns,
        idle_ns,
    )
    return BookSeries(
        source,
        shown[0] if len(shown) == 1 and isinstance(path, str | bytes | os.PathLike) else shown,
        token_list,
        levels,
        every_ns,
        None if type_letters is None else list(type_letters),
        batch_rows,
        changes_only,
        order,
    )
