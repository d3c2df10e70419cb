"""book_series: order books over time as Arrow record batches."""

from __future__ import annotations

from collections.abc import Iterable, Sequence

from . import _native
from ._arrow import ArrowStream
from ._scan import _check_batch_rows, _check_path

_MAX_TOKEN = 2**32 - 1
_MAX_NS = 2**64 - 1


class BookSeries(ArrowStream):
    """The books of one feed file over time as Arrow record batches; made by
    `book_series`. See `book_series` for the rows and columns."""

    __slots__ = ("path", "tokens", "levels", "every_ns", "types", "batch_rows")

    def __init__(
        self,
        source: object,
        path: str,
        tokens: list[int] | None,
        levels: int,
        every_ns: int | None,
        types: list[str] | None,
        batch_rows: int,
    ) -> None:
        super().__init__(source)
        self.path = path
        self.tokens = tokens
        self.levels = levels
        self.every_ns = every_ns
        self.types = types
        self.batch_rows = batch_rows

    def __repr__(self) -> str:
        extra = "".join(
            f", {name}={getattr(self, name)!r}"
            for name in ("tokens", "every_ns", "types")
            if getattr(self, name) is not None
        )
        return (
            f"BookSeries({self.path!r}, levels={self.levels}{extra}, batch_rows={self.batch_rows})"
        )


def _check_int(name: str, value: object, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"book_series() argument '{name}' must be int, not {type(value).__name__}")
    if not low <= value <= high:
        raise ValueError(
            f"book_series() argument '{name}' must be from {low} to {high}, got {value}"
        )
    return value


def _check_tokens(tokens: object) -> list[int] | None:
    if tokens is None:
        return None
    if isinstance(tokens, str | bytes) or not isinstance(tokens, Iterable):
        raise TypeError(
            "book_series() argument 'tokens' must be an iterable of ints, "
            f"not {type(tokens).__name__}"
        )
    out = []
    for token in tokens:
        if isinstance(token, bool) or not isinstance(token, int):
            raise TypeError(
                f"book_series() argument 'tokens' must hold ints, not {type(token).__name__}"
            )
        if not 0 <= token <= _MAX_TOKEN:
            raise ValueError(
                f"book_series() argument 'tokens' holds {token}, outside 0 to {_MAX_TOKEN}"
            )
        out.append(token)
    return out


def _filter_bytes(types: object) -> bytes | None:
    """The books' type filter from a list of type names, as apply_filter reads
    it: the first byte (of the UTF-8 form) of each non-empty string."""
    if types is None:
        return None
    if isinstance(types, str) or not isinstance(types, Sequence):
        raise TypeError(
            "book_series() argument 'types' must be a list of str such as ['N', 'T'], "
            f"not {type(types).__name__}"
        )
    out = bytearray()
    for name in types:
        if not isinstance(name, str):
            raise TypeError(
                f"book_series() argument 'types' must hold str, not {type(name).__name__}"
            )
        if name:
            out.append(name.encode()[0])
    return bytes(out)


def book_series(
    path: str,
    *,
    tokens: Iterable[int] | None = None,
    levels: int = 5,
    every_ns: int | None = None,
    types: Sequence[str] | None = None,
    batch_rows: int = 65536,
) -> BookSeries:
    """Replays a feed file into order books and gives their state over time
    as Arrow record batches of at most `batch_rows` rows (the same PyCapsule
    stream interface as `scan_feed`; ``series.to_pandas()`` is lossless).

    The messages are read with the streaming loader's framing and applied with
    exactly the rules of ``OrderbookBuilder``; `types` works like the list of
    ``apply_filter`` and `tokens` selects the book keys that get rows (None:
    every token). Memory is the books plus one batch.

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
    state after the whole file. ``exch_ts`` is g; ``seq_no``, ``local_ts``
    and ``msg_type`` are those of the last message before the cut (whether
    the books accepted it or `types` or the side rule skipped it). The grid
    never goes back: a message whose timestamp runs backwards (below the
    current grid time) is applied before the next cut, and the grid times it
    would have passed are not revisited.

    Columns: seq_no uint32, exch_ts uint64, local_ts uint64, msg_type
    (string), token uint32 (the book key: a trade's signed token read as
    unsigned), mid_price uint32, then for each level i from 0 to levels - 1:
    bid_price_i uint32, bid_qty_i uint64, ask_price_i uint32, ask_qty_i
    uint64. Missing levels are 0.

    `path` is opened and its first record checked now, with the RuntimeError
    texts of ``StreamingBinaryLoader.open_stream``; a decode error later in
    the file fails the stream with the loader's text.
    """
    _check_path("book_series", path)
    token_list = _check_tokens(tokens)
    levels = _check_int("levels", levels, 1, 1000)
    if every_ns is not None:
        every_ns = _check_int("every_ns", every_ns, 1, _MAX_NS)
    filter_bytes = _filter_bytes(types)
    batch_rows = _check_batch_rows("book_series", batch_rows)
    source = _native.book_series(path, token_list, levels, every_ns, filter_bytes, batch_rows)
    return BookSeries(
        source,
        path,
        token_list,
        levels,
        every_ns,
        None if types is None else list(types),
        batch_rows,
    )
