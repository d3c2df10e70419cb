"""A picture of one order book over a whole feed file, for `tidemark plot`.

The best bid and ask lines come from the token's quote changes (`quotes`),
the trades from `trades`, each read batch by batch. Only aggregates are
kept, never a whole table:

- the lines keep, per time column (finer than the picture's pixels), the
  first, lowest, highest and last price of each side, which draws the same
  line as every quote change would;
- up to BIN_ABOVE trades are drawn one marker each, coloured by who
  initiated them; more than that are summed per time column x price row and
  aggressor, and drawn as one marker per cell, its area by the cell's volume
  and its colour by the buyers' share of it;
- a volume panel under the main one sums the trades per time column and
  aggressor.

So a busy token of a day-sized file draws in bounded memory. A first, cheap
pass of the scan (only the token's messages, three columns) finds the time
range, the trade count and the trade prices' range and tick before the two
replays. The depth of the book at the end of the file (the last quote row)
is drawn beside the main panel on the same price axis. Drawn with
matplotlib's Agg canvas directly, so no global backend is chosen for the
caller.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from . import _args
from ._args import system_time_zone as system_time_zone
from ._progress import Progress, tracked_rows

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    Floats = npt.NDArray[np.float64]
    Ints = npt.NDArray[np.int64]

FIGURE_INCHES = (12.0, 6.0)
DPI = 100  # so a picture is 1200 x 600 pixels

# Time columns of the bid and ask lines: more than the main panel's width in
# pixels, so the decimated line looks exactly like the full one.
LINE_COLUMNS = 1500
# More trades than this are binned: over a whole day, one marker each is an
# unreadable smear (and costs memory per trade).
BIN_ABOVE = 2000
# The cells of binned trades: time columns x price rows at most (about 8 x 6
# pixels each).
CELL_COLUMNS = 110
CELL_ROWS = 60
# Time columns of the volume panel.
VOLUME_COLUMNS = 220

BID_COLOUR = "#1a7f37"
ASK_COLOUR = "#c62828"
BUY_COLOUR = "#0b8a3e"
SELL_COLOUR = "#d32f2f"
UNKNOWN_COLOUR = "#7a7a7a"

# Who initiated a trade, as the aggregates index it: "B" (a buyer took a
# resting offer), "S" (a seller hit a resting bid), None (not known).
AGGRESSORS: tuple[str | None, ...] = ("B", "S", None)
BUY, SELL, UNKNOWN = 0, 1, 2

# exch_ts values between 2000 and 2100 read as nanoseconds since 1970 are
# drawn as times; anything else is drawn as the raw number.
_NS_2000 = 946_684_800_000_000_000
_NS_2100 = 4_102_444_800_000_000_000
_NS_PER_DAY = 86_400 * 10**9

# The picture formats plot_book writes, by file suffix.
PICTURE_FORMATS = {".png": "png", ".pdf": "pdf", ".svg": "svg"}


def picture_format(out: str) -> str:
    """The format of a picture file from its suffix: png, pdf or svg. Raises
    ValueError for any other suffix."""
    suffix = os.path.splitext(out)[1].lower()
    if suffix not in PICTURE_FORMATS:
        raise ValueError(f"cannot tell the picture format of {out!r}: name it .png, .pdf or .svg")
    return PICTURE_FORMATS[suffix]


# ---------------------------------------------------------------- aggregates


@dataclass
class Span:
    """The exch_ts range [first, last] of the token's messages, divided into
    `columns` equal time columns."""

    first: int
    last: int
    columns: int

    @property
    def width(self) -> float:
        """Nanoseconds per column."""
        return (self.last - self.first + 1) / self.columns

    def column(self, ts: Any) -> Ints:
        """The column of each time: (ts - first) * columns // (last - first +
        1), exactly while that fits 63 bits (any day does), else in floating
        point. Times outside the range go to the nearest end."""
        import numpy as np

        ts = np.asarray(ts, dtype=np.uint64)
        span = self.last - self.first + 1
        first = np.uint64(self.first)
        offset = np.where(ts < first, np.uint64(0), ts - first)
        offset = np.minimum(offset, np.uint64(span - 1))
        if span * self.columns < 2**63:
            cols: Ints = offset.astype(np.int64) * self.columns // span
            return cols
        scaled = np.floor(offset.astype(np.float64) / self.width).astype(np.int64)
        return np.clip(scaled, 0, self.columns - 1)

    def edge(self, cols: Any) -> Floats:
        """The start of each column, in nanoseconds since the epoch."""
        import numpy as np

        return float(self.first) + np.asarray(cols, dtype=np.float64) * self.width


class Envelope:
    """One price series (best bid or ask) reduced to four values per time
    column: the first, lowest, highest and last price in it (NaN where a side
    had no level), in file order. Drawn as steps, these cover every value the
    series took and join the columns as the full series does."""

    def __init__(self, span: Span) -> None:
        import numpy as np

        self.span = span
        n = span.columns
        self.first: Floats = np.full(n, np.nan)
        self.low: Floats = np.full(n, np.inf)
        self.high: Floats = np.full(n, -np.inf)
        self.last: Floats = np.full(n, np.nan)
        self.seen = np.zeros(n, dtype=bool)

    def add(self, cols: Ints, values: Floats) -> None:
        """Takes the next rows of the series: their columns and prices (NaN
        for no level), in file order."""
        import numpy as np

        if not len(cols):
            return
        # Rows come in runs of one column (times mostly rise): reduce each
        # run, then fold the runs into their columns.
        starts = np.flatnonzero(np.r_[True, cols[1:] != cols[:-1]])
        ends = np.r_[starts[1:], len(cols)] - 1
        run_cols = cols[starts]
        np.fmin.at(self.low, run_cols, np.fmin.reduceat(values, starts))
        np.fmax.at(self.high, run_cols, np.fmax.reduceat(values, starts))
        unique, first_run = np.unique(run_cols, return_index=True)
        new = ~self.seen[unique]
        self.first[unique[new]] = values[starts[first_run[new]]]
        unique_back, last_back = np.unique(run_cols[::-1], return_index=True)
        self.last[unique_back] = values[ends[len(run_cols) - 1 - last_back]]
        self.seen[unique] = True

    def drawn(self) -> bool:
        """True when the series had a price at some time."""
        import numpy as np

        return bool(np.isfinite(self.low).any())

    def steps(self) -> tuple[Floats, Floats]:
        """Points to draw with drawstyle "steps-post": x in nanoseconds since
        the epoch, y in feed units (NaN is a gap). The last price holds to
        the end of the range: the quote stands until something changes it."""
        import numpy as np

        cols = np.flatnonzero(self.seen)
        low = np.where(np.isfinite(self.low[cols]), self.low[cols], np.nan)
        high = np.where(np.isfinite(self.high[cols]), self.high[cols], np.nan)
        quarter = self.span.width / 4
        x = self.span.edge(cols)[:, None] + quarter * np.arange(4)[None, :]
        y = np.stack([self.first[cols], low, high, self.last[cols]], axis=1)
        if not len(cols):
            return x.ravel(), y.ravel()
        end = self.span.edge(self.span.columns)
        return np.append(x.ravel(), end), np.append(y.ravel(), self.last[cols[-1]])


@dataclass
class TradePoints:
    """Every trade, by aggressor: exch_ts, price and quantity."""

    ts: list[list[Any]] = field(default_factory=lambda: [[], [], []])
    price: list[list[Any]] = field(default_factory=lambda: [[], [], []])
    quantity: list[list[Any]] = field(default_factory=lambda: [[], [], []])

    def add(self, ts: Any, price: Any, quantity: Any, side: Any) -> None:
        for k in range(3):
            chosen = side == k
            self.ts[k].append(ts[chosen])
            self.price[k].append(price[chosen])
            self.quantity[k].append(quantity[chosen])

    def of(self, k: int) -> tuple[Any, Any, Any]:
        """exch_ts, price and quantity of the trades of aggressor index k."""
        import numpy as np

        def joined(parts: list[Any], dtype: Any) -> Any:
            return np.concatenate(parts) if parts else np.array([], dtype)

        return (
            joined(self.ts[k], np.uint64),
            joined(self.price[k], np.int64),
            joined(self.quantity[k], np.int64),
        )

    def count_of(self, k: int) -> int:
        return sum(len(a) for a in self.ts[k])

    def volume_of(self, k: int) -> int:
        """The traded quantity (a negative quantity counts as 0)."""
        return sum(int(a.clip(min=0).sum()) for a in self.quantity[k])


class TradeCells:
    """Trades summed per aggressor, price row and time column: `count[k, r,
    c]` trades and `volume[k, r, c]` traded quantity (a negative quantity
    counts as 0, as the books take it). Row r holds the prices from
    `price_low + r * height` up to the next row."""

    def __init__(self, span: Span, price_low: int, price_high: int, tick: int, rows: int) -> None:
        import numpy as np

        self.span = span
        self.price_low = price_low
        self.tick = tick
        ticks = (price_high - price_low) // tick + 1
        self.height = tick * max(1, math.ceil(ticks / rows))
        self.rows = (price_high - price_low) // self.height + 1
        shape = (3, self.rows, span.columns)
        self.count = np.zeros(shape, dtype=np.int64)
        self.volume = np.zeros(shape, dtype=np.int64)

    def row(self, price: Any) -> Ints:
        import numpy as np

        rows = (np.asarray(price, dtype=np.int64) - self.price_low) // self.height
        return np.clip(rows, 0, self.rows - 1)

    def add(self, ts: Any, price: Any, quantity: Any, side: Any) -> None:
        import numpy as np

        flat = (side.astype(np.int64) * self.rows + self.row(price)) * self.span.columns
        flat += self.span.column(ts)
        np.add.at(self.count.reshape(-1), flat, 1)
        np.add.at(self.volume.reshape(-1), flat, np.clip(quantity.astype(np.int64), 0, None))

    def count_of(self, k: int) -> int:
        return int(self.count[k].sum())

    def volume_of(self, k: int) -> int:
        return int(self.volume[k].sum())

    def centre(self, rows: Any) -> Floats:
        """The middle price of the ticks in each row, in feed units."""
        import numpy as np

        return (
            self.price_low
            + np.asarray(rows, dtype=np.float64) * self.height
            + (self.height - self.tick) / 2
        )


@dataclass
class Survey:
    """What the first pass finds about the token's messages."""

    messages: int = 0
    first_ts: int | None = None
    last_ts: int | None = None
    trades: int = 0
    price_low: int | None = None
    price_high: int | None = None
    tick: int = 0  # the largest step all trade prices are apart by (0: one price)


@dataclass
class BookPicture:
    """Everything a picture of one book is drawn from."""

    path: str
    token: int
    levels: int
    every_ns: int | None
    survey: Survey
    span: Span
    bid: Envelope
    ask: Envelope
    quote_rows: int
    depth: dict[str, Any] | None  # the last quote row: the book at the end
    trades: TradePoints | TradeCells
    volume: TradeCells | None  # one price row: trades per time column (None: no trades)

    @property
    def binned(self) -> bool:
        return isinstance(self.trades, TradeCells)


def _survey(path: str, token: int) -> Survey:
    import numpy as np
    import pyarrow as pa
    import pyarrow.compute as pc

    from . import scan_feed

    found = Survey()
    scan = scan_feed(path, tokens=[token], columns=["exch_ts", "msg_type", "trade_price"])
    base: int | None = None
    for batch in pa.RecordBatchReader.from_stream(scan):
        if batch.num_rows == 0:
            continue
        found.messages += batch.num_rows
        ts = batch.column("exch_ts")
        low, high = pc.min(ts).as_py(), pc.max(ts).as_py()
        found.first_ts = low if found.first_ts is None else min(found.first_ts, low)
        found.last_ts = high if found.last_ts is None else max(found.last_ts, high)
        is_trade = pc.equal(batch.column("msg_type").cast(pa.string()), "T")
        prices = batch.column("trade_price").filter(is_trade)
        if len(prices) == 0:
            continue
        values = prices.to_numpy(zero_copy_only=False).astype(np.int64)
        found.trades += len(values)
        lo, hi = int(values.min()), int(values.max())
        found.price_low = lo if found.price_low is None else min(found.price_low, lo)
        found.price_high = hi if found.price_high is None else max(found.price_high, hi)
        if base is None:
            base = int(values[0])
        found.tick = int(np.gcd.reduce(np.abs(values - base), initial=found.tick))
    return found


def _prices(array: Any, zero_is_empty: bool) -> Floats:
    """A price column as floats, with no level (null, or 0 in a book series)
    as NaN."""
    import numpy as np
    import pyarrow as pa

    values: Floats = array.cast(pa.float64()).to_numpy(zero_copy_only=False)
    if zero_is_empty:
        values = np.where(values == 0, np.nan, values)
    return values


def _aggressor_index(array: Any) -> Any:
    """0 for "B", 1 for "S", 2 for anything else (null)."""
    import numpy as np
    import pyarrow as pa
    import pyarrow.compute as pc

    side = np.full(len(array), UNKNOWN, dtype=np.int8)
    array = array.cast(pa.string())
    side[pc.fill_null(pc.equal(array, "B"), False).to_numpy(zero_copy_only=False)] = BUY
    side[pc.fill_null(pc.equal(array, "S"), False).to_numpy(zero_copy_only=False)] = SELL
    return side


def _check_rereadable(path: str) -> None:
    """Refuses standard input, a pipe, a FIFO or a device: the picture reads
    its file three times, and such a file gives its data only once."""
    import stat

    kind = None
    if path == "-":
        kind = "standard input"
    else:
        try:
            mode = os.stat(path).st_mode
        except OSError:
            return  # the first read reports why
        if stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode):
            kind = "a pipe or FIFO"
        elif stat.S_ISCHR(mode) or stat.S_ISBLK(mode):
            kind = "a device"
    if kind is not None:
        raise ValueError(
            f"{path}: a plot reads its feed file three times, so it must be a regular "
            f"file, not {kind}"
        )


def collect(
    path: str,
    token: int,
    *,
    levels: int = 10,
    every_ns: int | None = None,
    bin_above: int = BIN_ABOVE,
    line_columns: int = LINE_COLUMNS,
    cell_columns: int = CELL_COLUMNS,
    cell_rows: int = CELL_ROWS,
    volume_columns: int = VOLUME_COLUMNS,
    progress: bool = False,
) -> BookPicture:
    """Reads what the picture of `token`'s book in the feed file at `path`
    needs, keeping aggregates only. The lines come from `quotes` (or, with
    `every_ns`, from `book_series` on that time grid); the trades from
    `trades`, one by one up to `bin_above` of them, else per cell. Raises
    ValueError when the file has neither a book nor a trade for the token."""
    import pyarrow as pa

    from . import book_series, quotes, trades

    _check_rereadable(path)
    survey = _survey(path, token)
    if survey.first_ts is None or survey.last_ts is None:
        raise ValueError(f"token {token} has no order book in {path}")
    line_span = Span(survey.first_ts, survey.last_ts, line_columns)
    bid, ask = Envelope(line_span), Envelope(line_span)
    if every_ns is None:
        series: Any = quotes(path, tokens=[token], levels=levels)
    else:
        series = book_series(path, tokens=[token], levels=levels, every_ns=every_ns)
    zero_is_empty = every_ns is not None  # book_series writes 0 for no level
    rows = 0
    depth: dict[str, Any] | None = None
    with Progress(None, f"{path} (quotes)", enabled=progress, unit="rows") as bar:
        for batch in tracked_rows(pa.RecordBatchReader.from_stream(series), bar):
            if batch.num_rows == 0:
                continue
            rows += batch.num_rows
            cols = line_span.column(batch.column("exch_ts").to_numpy())
            bid.add(cols, _prices(batch.column("bid_price_0"), zero_is_empty))
            ask.add(cols, _prices(batch.column("ask_price_0"), zero_is_empty))
            # A copy of the last row, so the batch itself can go.
            depth = batch.slice(batch.num_rows - 1).to_pylist()[0]
    if not (bid.drawn() or ask.drawn()) and survey.trades == 0:
        raise ValueError(f"token {token} has no order book in {path}")

    points: TradePoints | TradeCells = TradePoints()
    volume = None
    if survey.trades:
        assert survey.price_low is not None and survey.price_high is not None
        low, high, tick = survey.price_low, survey.price_high, max(survey.tick, 1)
        if survey.trades > bin_above:
            cells = Span(survey.first_ts, survey.last_ts, cell_columns)
            points = TradeCells(cells, low, high, tick, cell_rows)
        volume = TradeCells(
            Span(survey.first_ts, survey.last_ts, volume_columns), low, high, tick, 1
        )
        table = trades(path, tokens=[token])
        with Progress(None, f"{path} (trades)", enabled=progress, unit="rows") as bar:
            for batch in tracked_rows(pa.RecordBatchReader.from_stream(table), bar):
                if batch.num_rows == 0:
                    continue
                columns = (
                    batch.column("exch_ts").to_numpy(),
                    batch.column("price").to_numpy(),
                    batch.column("quantity").to_numpy(),
                    _aggressor_index(batch.column("aggressor")),
                )
                points.add(*columns)
                volume.add(*columns)
    return BookPicture(
        path, token, levels, every_ns, survey, line_span, bid, ask, rows, depth, points, volume
    )


# ---------------------------------------------------------------- drawing


def _dates() -> Any:
    """matplotlib.dates (whose functions carry no annotations)."""
    from matplotlib import dates

    return dates


class Axes:
    """How feed values become drawn values: times in a zone, prices divided
    by 10**price_scale."""

    def __init__(self, tz: str, price_scale: int | None, first_ts: int, last_ts: int) -> None:
        import zoneinfo

        self.zone = zoneinfo.ZoneInfo(tz)
        self.tz = tz
        self.price_scale = price_scale
        self.dates = _NS_2000 <= first_ts and last_ts < _NS_2100

    def x(self, ns: Any) -> Floats:
        """Nanoseconds since the epoch as matplotlib's date numbers (or as
        they are, when they do not read as times)."""
        import numpy as np

        dates = _dates()
        values = np.asarray(ns, dtype=np.float64)
        if not self.dates:
            return values
        epoch = float(dates.date2num(np.datetime64(0, "ns")))
        return epoch + values / _NS_PER_DAY

    def price(self, value: Any) -> Floats:
        """Feed prices as drawn: divided by 10**price_scale."""
        import numpy as np

        values = np.asarray(value, dtype=np.float64)
        return values if self.price_scale is None else values / 10**self.price_scale

    def price_text(self, value: float) -> str:
        digits = self.price_scale or 0
        return f"{value / 10**digits:,.{digits}f}"

    def price_label(self) -> str:
        if self.price_scale is None:
            return "price (feed units)"
        return f"price (rupees = feed units / 10^{self.price_scale})"

    def format_price_axis(self, axis: Any) -> None:
        from matplotlib.ticker import FuncFormatter

        digits = self.price_scale or 0
        axis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:,.{digits}f}"))

    def format_time_axis(self, ax: Any) -> str:
        """Sets the time ticks in the zone; returns the axis label."""
        dates = _dates()
        if not self.dates:
            return "exch_ts (ns)"
        locator = dates.AutoDateLocator(tz=self.zone)
        ax.xaxis.set_major_locator(locator)
        ax.xaxis.set_major_formatter(dates.ConciseDateFormatter(locator, tz=self.zone))
        return f"exch_ts ({self.tz})"


def _share_colours() -> Any:
    """Sellers' red through grey to buyers' green, for the buyers' share of a
    cell's volume."""
    from matplotlib.colors import LinearSegmentedColormap

    return LinearSegmentedColormap.from_list("aggressor", [SELL_COLOUR, "#9e9e9e", BUY_COLOUR])


def buyer_share(cells: TradeCells) -> Floats:
    """Per price row and time column, the buyers' share of the volume:
    buyer-initiated volume plus half of the volume without an aggressor,
    over the cell's volume (by trade count in a cell of zero quantities;
    NaN in a cell without trades)."""
    import numpy as np

    volume = cells.volume.sum(axis=0).astype(np.float64)
    count = cells.count.sum(axis=0).astype(np.float64)
    with np.errstate(invalid="ignore", divide="ignore"):
        by_volume = (cells.volume[BUY] + 0.5 * cells.volume[UNKNOWN]) / volume
        by_count = (cells.count[BUY] + 0.5 * cells.count[UNKNOWN]) / count
    share: Floats = np.where(volume > 0, by_volume, by_count)
    return share


def price_range(picture: BookPicture) -> tuple[float, float] | None:
    """The prices the main panel shows, in feed units: every trade and the
    book at the end, and the best bid and ask but for their most extreme
    half percent of time columns, so that a moment of a one-sided or empty
    book at the open does not squeeze the whole day into a sliver. None when
    there is nothing to show."""
    import numpy as np

    lows: list[float] = []
    highs: list[float] = []
    for envelope in (picture.bid, picture.ask):
        low = envelope.low[np.isfinite(envelope.low)]
        high = envelope.high[np.isfinite(envelope.high)]
        if len(low):
            lows.append(float(np.percentile(low, 0.5)))
            highs.append(float(np.percentile(high, 99.5)))
    survey = picture.survey
    if survey.price_low is not None and survey.price_high is not None:
        lows.append(survey.price_low)
        highs.append(survey.price_high)
    if picture.depth is not None:
        for i in range(picture.levels):
            for side in ("bid", "ask"):
                price = picture.depth[f"{side}_price_{i}"]
                if price is not None and picture.depth[f"{side}_qty_{i}"]:
                    lows.append(price)
                    highs.append(price)
    if not lows:
        return None
    return min(lows), max(highs)


def _draw_trades(ax: Any, picture: BookPicture, axes: Axes) -> list[Any]:
    """Draws the trades on the main panel; returns their legend handles."""
    import numpy as np
    from matplotlib.lines import Line2D

    trades = picture.trades
    handles: list[Any] = []
    if isinstance(trades, TradeCells):
        volume = trades.volume.sum(axis=0)
        rows, cols = np.nonzero(trades.count.sum(axis=0))
        if not len(rows):
            return handles
        peak = max(int(volume.max()), 1)
        span = trades.span
        ax.scatter(
            axes.x(span.edge(cols) + span.width / 2),
            axes.price(trades.centre(rows)),
            s=6 + 110 * np.sqrt(volume[rows, cols] / peak),
            c=buyer_share(trades)[rows, cols],
            cmap=_share_colours(),
            vmin=0.0,
            vmax=1.0,
            alpha=0.75,
            edgecolors="none",
            zorder=3,
        )
        for colour, text in (
            (BUY_COLOUR, "mostly buyer-initiated"),
            ("#9e9e9e", "even, or no aggressor"),
            (SELL_COLOUR, "mostly seller-initiated"),
        ):
            handles.append(
                Line2D([], [], ls="none", marker="o", ms=7, color=colour, alpha=0.8, label=text)
            )
        handles.append(
            Line2D(
                [],
                [],
                ls="none",
                label=f"trades per {axes.price_text(trades.height)} x "
                f"{_duration_text(span.width)} cell; area by volume (largest {peak:,})",
            )
        )
        return handles
    found = [trades.of(k) for k in range(3)]
    quantities = [q for _, _, q in found if len(q)]
    if not quantities:
        return handles
    biggest = max(max(int(q.max()) for q in quantities), 1)
    count = sum(len(q) for q in quantities)
    # Fewer, larger markers for a few trades; smaller ones as they crowd.
    largest = 160 * min(1.0, math.sqrt(200 / count))
    names = ("buyer-initiated (B)", "seller-initiated (S)", "no aggressor")
    for k, (marker, colour) in enumerate(
        (("^", BUY_COLOUR), ("v", SELL_COLOUR), ("o", UNKNOWN_COLOUR))
    ):
        ts, price, quantity = found[k]
        if not len(ts):
            continue
        ax.scatter(
            axes.x(ts),
            axes.price(price),
            s=6 + largest * np.sqrt(np.clip(quantity, 0, None) / biggest),
            marker=marker,
            color=colour,
            alpha=0.6,
            edgecolors="none",
            zorder=3,
        )
        handles.append(Line2D([], [], ls="none", marker=marker, ms=7, color=colour, label=names[k]))
    handles.append(Line2D([], [], ls="none", label=f"area by quantity (largest {biggest:,})"))
    return handles


def _duration_text(ns: float) -> str:
    """A short duration such as "90s", "2.5m" or "120ms"."""
    for unit, scale in (("h", 3.6e12), ("m", 6e10), ("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g}{unit}"
    return f"{ns:.3g}ns"


def _draw_volume(ax: Any, picture: BookPicture, axes: Axes) -> None:
    """Traded volume per time column, stacked by aggressor."""
    import numpy as np
    from matplotlib.ticker import FuncFormatter

    ax.set_ylabel("volume")
    ax.grid(True, color="#e0e0e0", lw=0.6)
    ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:,.0f}"))
    volume = picture.volume
    if volume is None:
        ax.text(0.5, 0.5, "no trades", transform=ax.transAxes, ha="center", va="center")
        return
    span = volume.span
    edges = axes.x(span.edge(np.arange(span.columns + 1)))
    bottom = np.zeros(span.columns)
    for k, colour in ((BUY, BUY_COLOUR), (SELL, SELL_COLOUR), (UNKNOWN, UNKNOWN_COLOUR)):
        heights = volume.volume[k, 0].astype(np.float64)
        if heights.any():
            # One filled step outline per aggressor, stacked: far cheaper to
            # draw than a bar per column.
            ax.stairs(bottom + heights, edges, baseline=bottom.copy(), fill=True, color=colour)
            bottom += heights
    ax.set_ylim(0, bottom.max() * 1.05)


def _summary(picture: BookPicture, axes: Axes) -> str:
    """Trade counts and volumes by aggressor, as lines of text."""
    volume = picture.volume
    if volume is None:
        return "no trades"
    lines = [f"{picture.survey.trades:,} trades, volume {sum(map(volume.volume_of, range(3))):,}"]
    for k, name in ((BUY, "B"), (SELL, "S"), (UNKNOWN, "none")):
        if volume.count_of(k):
            lines.append(f"{name}: {volume.count_of(k):,} trades, vol {volume.volume_of(k):,}")
    return "\n".join(lines)


def _draw_depth(side: Any, picture: BookPicture, axes: Axes) -> None:
    from matplotlib.ticker import FuncFormatter

    last = picture.depth
    side.set_xlabel("resting quantity")
    side.grid(True, axis="x", color="#e0e0e0", lw=0.6)
    side.tick_params(axis="y", labelleft=False, labelright=True, right=True)
    side.xaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:,.0f}"))
    if last is None:
        side.set_title("no book", fontsize=9)
        return
    levels = picture.levels
    bids = [(last[f"bid_price_{i}"], last[f"bid_qty_{i}"]) for i in range(levels)]
    asks = [(last[f"ask_price_{i}"], last[f"ask_qty_{i}"]) for i in range(levels)]
    bids = [(p, q) for p, q in bids if p is not None and q]
    asks = [(p, q) for p, q in asks if p is not None and q]
    prices = sorted(p for p, _ in bids + asks)
    gaps = [b - a for a, b in zip(prices, prices[1:], strict=False) if b > a]
    step = min(gaps) if gaps else picture.survey.tick or 1
    for book, colour in ((bids, BID_COLOUR), (asks, ASK_COLOUR)):
        if book:
            side.barh(
                axes.price([p for p, _ in book]),
                [q for _, q in book],
                height=float(axes.price(0.8 * step)),
                color=colour,
            )
    summary = f"book at the end, {levels} levels"
    if bids and asks:
        summary += (
            f"\nbid {axes.price_text(bids[0][0])}  ask {axes.price_text(asks[0][0])}"
            f"\nspread {axes.price_text(asks[0][0] - bids[0][0])}"
        )
    side.set_title(summary, fontsize=9)


def draw(
    picture: BookPicture,
    *,
    tz: str = "UTC",
    price_scale: int | None = None,
    title: str | None = None,
) -> Any:
    """The matplotlib Figure of a collected book: the best bid and ask and
    the trades over time, the traded volume under them, and the book at the
    end beside them on the same price axis. Times are shown in the IANA zone
    `tz`, prices divided by 10**price_scale."""
    import numpy as np
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D

    axes = Axes(tz, price_scale, picture.span.first, picture.span.last)
    fig = Figure(figsize=FIGURE_INCHES, dpi=DPI, layout="constrained")
    FigureCanvasAgg(fig)
    grid = fig.add_gridspec(2, 2, width_ratios=(4.2, 1.0), height_ratios=(3.3, 1.0))
    ax = fig.add_subplot(grid[0, 0])
    side = fig.add_subplot(grid[0, 1], sharey=ax)
    under = fig.add_subplot(grid[1, 0], sharex=ax)
    corner = fig.add_subplot(grid[1, 1])

    handles: list[Any] = []
    # Thin lines where the quote changes many times per pixel (they fill a
    # band the trades must show through), bolder where it changes rarely.
    width = 0.5 if picture.quote_rows > 5 * LINE_COLUMNS else 1.0
    for envelope, colour, name in (
        (picture.bid, BID_COLOUR, "best bid"),
        (picture.ask, ASK_COLOUR, "best ask"),
    ):
        x, y = envelope.steps()
        if len(x) and np.isfinite(y).any():
            ax.plot(
                axes.x(x), axes.price(y), drawstyle="steps-post", color=colour, lw=width, zorder=4
            )
            handles.append(Line2D([], [], color=colour, lw=1.5, label=name))
    handles += _draw_trades(ax, picture, axes)
    shown = price_range(picture)
    if shown is not None:
        low, high = float(axes.price(shown[0])), float(axes.price(shown[1]))
        pad = (high - low) * 0.05 or float(axes.price(max(picture.survey.tick, 1)))
        ax.set_ylim(low - pad, high + pad)
    # A little room at both ends, so the first and last trades show whole.
    first, last = float(axes.x(picture.span.first)), float(axes.x(picture.span.last))
    margin = (last - first) * 0.01
    ax.set_xlim(first - margin, last + margin)
    ax.set_ylabel(axes.price_label())
    axes.format_price_axis(ax.yaxis)
    ax.grid(True, color="#e0e0e0", lw=0.6)
    ax.tick_params(axis="x", labelbottom=False)
    if handles:
        ax.legend(handles=handles, loc="best", fontsize=7.5, framealpha=0.85)
    mode = "quote changes" if picture.every_ns is None else "book states"
    detail = f"{picture.quote_rows:,} {mode}, {picture.survey.trades:,} trades"
    if picture.every_ns is not None:
        detail += f", book every {_duration_text(picture.every_ns)}"
    ax.set_title(f"{os.path.basename(picture.path)}: {detail}", fontsize=9)

    _draw_volume(under, picture, axes)
    under.set_xlabel(axes.format_time_axis(under))
    _draw_depth(side, picture, axes)
    corner.axis("off")
    corner.text(0.0, 1.0, _summary(picture, axes), va="top", ha="left", fontsize=8)
    fig.suptitle(title or f"token {picture.token}", fontsize=13, fontweight="bold")
    return fig


def plot_book(
    path: str,
    token: int,
    out: str | None,
    *,
    every_ns: int | None = None,
    levels: int = 10,
    title: str | None = None,
    tz: str | None = None,
    price_scale: int | None = None,
    progress: bool = False,
) -> Any:
    """Draws the book of `token` in the feed file at `path` and returns the
    matplotlib Figure; with `out`, also saves it there in the format its
    suffix names (png, pdf or svg), under a temporary name renamed over
    `out` once complete.

    Times are shown in the IANA zone `tz` (default: this system's zone),
    prices as the feed's integers divided by 10**price_scale (2 gives
    rupees from paise). Raises ValueError when the file holds neither a book
    nor a trade of the token, or `out` has another suffix."""
    fn = "plot_book"
    fmt = picture_format(out) if out is not None else "png"
    zone = _args.check_time_zone(fn, system_time_zone() if tz is None else tz)
    if price_scale is not None:
        price_scale = _args.check_int(fn, "price_scale", price_scale, 0, 9)
    levels = _args.check_int(fn, "levels", levels, 1, 1000)
    picture = collect(path, token, levels=levels, every_ns=every_ns, progress=progress)
    fig = draw(picture, tz=zone, price_scale=price_scale, title=title)
    if out is not None:
        from .cli._output import output

        with output(out, binary=True) as f:
            fig.savefig(f, format=fmt)
    return fig
