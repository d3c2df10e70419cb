"""A picture of one order book over a feed file, for `tidemark plot`.

Best bid, best ask and mid price over time, trades as points sized by their
quantity on the same axes, and the depth of the book at the end of the file
as a side panel sharing the price axis. Drawn with matplotlib's Agg canvas
directly, so no global backend is chosen for the caller.
"""

from __future__ import annotations

import os
from typing import Any

from ._progress import Progress, tracked_rows, tracked_scan

FIGURE_INCHES = (12.0, 6.0)
DPI = 100  # so a picture is 1200 x 600 pixels

BID_COLOUR = "#1a7f37"
ASK_COLOUR = "#c62828"
MID_COLOUR = "#555555"
TRADE_COLOUR = "#1f3b73"

# exch_ts values between 2000 and 2100 read as nanoseconds since 1970 are
# drawn as times; anything else is drawn as the raw number.
_NS_2000 = 946_684_800_000_000_000
_NS_2100 = 4_102_444_800_000_000_000
MAX_TOKEN = 0xFFFF_FFFF


def _size(path: str) -> int | None:
    try:
        return os.stat(path).st_size
    except OSError:
        return None


def _collect_book(
    path: str, token: int, every_ns: int | None, levels: int, progress: bool
) -> tuple[Any, Any, Any, Any, dict[str, int] | None]:
    """exch_ts, best bid, best ask and mid of every row of the token's book
    series, and the last row (the book at the end) as a dict."""
    import numpy as np
    import pyarrow as pa

    from . import book_series

    series = book_series(path, tokens=[token], levels=levels, every_ns=every_ns)
    parts: dict[str, list[Any]] = {"exch_ts": [], "bid": [], "ask": [], "mid": []}
    last: dict[str, int] | None = None
    with Progress(None, f"{path} (book)", enabled=progress, unit="rows") as bar:
        for batch in tracked_rows(pa.RecordBatchReader.from_stream(series), bar):
            if batch.num_rows == 0:
                continue
            parts["exch_ts"].append(batch.column("exch_ts").to_numpy())
            parts["bid"].append(batch.column("bid_price_0").to_numpy())
            parts["ask"].append(batch.column("ask_price_0").to_numpy())
            parts["mid"].append(batch.column("mid_price").to_numpy())
            last = batch.slice(batch.num_rows - 1).to_pylist()[0]
    if not parts["exch_ts"]:
        return np.array([], np.uint64), None, None, None, None
    ts, bid, ask, mid = (np.concatenate(parts[k]) for k in ("exch_ts", "bid", "ask", "mid"))
    return ts, bid, ask, mid, last


def _collect_trades(path: str, token: int, progress: bool) -> tuple[Any, Any, Any]:
    """exch_ts, price and quantity of the token's trades."""
    import numpy as np
    import pyarrow as pa
    import pyarrow.compute as pc

    from . import scan_feed

    scan = scan_feed(path)
    ts: list[Any] = []
    price: list[Any] = []
    qty: list[Any] = []
    with Progress(_size(path), f"{path} (trades)", enabled=progress) as bar:
        for batch in tracked_scan(pa.RecordBatchReader.from_stream(scan), bar):
            keys = pc.bit_wise_and(batch.column("token"), MAX_TOKEN)
            is_trade = pc.equal(batch.column("msg_type").cast(pa.string()), "T")
            trades = batch.filter(pc.and_(is_trade, pc.equal(keys, token)))
            if trades.num_rows == 0:
                continue
            ts.append(trades.column("exch_ts").to_numpy())
            price.append(trades.column("trade_price").to_numpy(zero_copy_only=False))
            qty.append(trades.column("trade_quantity").to_numpy(zero_copy_only=False))
    if not ts:
        return np.array([], np.uint64), np.array([]), np.array([])
    return np.concatenate(ts), np.concatenate(price), np.concatenate(qty)


def _times(ts: Any) -> tuple[Any, str]:
    """Values for the time axis, and its label."""
    import numpy as np

    if len(ts) and _NS_2000 <= int(ts.min()) and int(ts.max()) < _NS_2100:
        start = np.datetime_as_string(ts.min().astype("datetime64[ns]"), unit="s")
        return ts.astype("datetime64[ns]"), f"exch_ts (UTC, from {start.replace('T', ' ')})"
    return ts.astype(np.float64), "exch_ts"


def _duration_text(ns: int) -> str:
    for unit, scale in (
        ("h", 3_600_000_000_000),
        ("m", 60_000_000_000),
        ("s", 10**9),
        ("ms", 10**6),
        ("us", 10**3),
    ):
        if ns % scale == 0:
            return f"{ns // scale:,}{unit}"
    return f"{ns:,}ns"


def _prices(values: Any) -> Any:
    """Prices as floats for drawing, with 0 (no level) as a gap."""
    import numpy as np

    out = values.astype(np.float64)
    out[values == 0] = np.nan
    return out


# The picture formats plot_book writes, by file suffix.
PICTURE_FORMATS = {".png": "png", ".pdf": "pdf", ".svg": "svg"}


def picture_format(out: str) -> str:
    """The format of a picture file from its suffix: png, pdf or svg. Raises
    ValueError for any other suffix."""
    suffix = os.path.splitext(out)[1].lower()
    if suffix not in PICTURE_FORMATS:
        raise ValueError(f"cannot tell the picture format of {out!r}: name it .png, .pdf or .svg")
    return PICTURE_FORMATS[suffix]


def plot_book(
    path: str,
    token: int,
    out: str | None,
    *,
    every_ns: int | None = None,
    levels: int = 10,
    title: str | None = None,
    progress: bool = False,
) -> Any:
    """Draws the book of `token` in the feed file at `path` and returns the
    matplotlib Figure; with `out`, also saves it there in the format its
    suffix names (png, pdf or svg), under a temporary name renamed over
    `out` once complete. Raises ValueError when the file holds no book for
    the token or `out` has another suffix."""
    import numpy as np
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from matplotlib.ticker import FuncFormatter

    fmt = picture_format(out) if out is not None else "png"
    ts, bid, ask, mid, last = _collect_book(path, token, every_ns, levels, progress)
    if last is None or not (np.any(bid) or np.any(ask)):
        raise ValueError(f"token {token} has no order book in {path}")
    trade_ts, trade_price, trade_qty = _collect_trades(path, token, progress)

    fig = Figure(figsize=FIGURE_INCHES, dpi=DPI, layout="constrained")
    FigureCanvasAgg(fig)
    grid = fig.add_gridspec(1, 2, width_ratios=(4.2, 1.0))
    ax = fig.add_subplot(grid[0, 0])
    side = fig.add_subplot(grid[0, 1])

    x, x_label = _times(ts)
    ax.plot(x, _prices(ask), drawstyle="steps-post", color=ASK_COLOUR, lw=1.2, label="best ask")
    ax.plot(x, _prices(bid), drawstyle="steps-post", color=BID_COLOUR, lw=1.2, label="best bid")
    ax.plot(x, _prices(mid), drawstyle="steps-post", color=MID_COLOUR, lw=0.9, ls="--", label="mid")
    if len(trade_ts):
        big = max(int(trade_qty.max()), 1)
        sizes = 12 + 220 * np.clip(trade_qty, 0, None) / big
        ax.scatter(
            _times(trade_ts)[0],
            trade_price,
            s=sizes,
            color=TRADE_COLOUR,
            alpha=0.5,
            edgecolors="none",
            label=f"trades ({len(trade_ts):,}; size by quantity, largest {big:,})",
            zorder=3,
        )
    ax.set_xlabel(x_label)
    ax.set_ylabel("price (feed units)")
    ax.grid(True, color="#e0e0e0", lw=0.6)
    ax.legend(loc="upper left", fontsize=8, framealpha=0.85)
    ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:,.0f}"))
    mode = "every message" if every_ns is None else f"every {_duration_text(every_ns)}"
    ax.set_title(f"{os.path.basename(path)}: {len(ts):,} book states ({mode})", fontsize=9)

    bids = [(last[f"bid_price_{i}"], last[f"bid_qty_{i}"]) for i in range(levels)]
    asks = [(last[f"ask_price_{i}"], last[f"ask_qty_{i}"]) for i in range(levels)]
    bids = [(p, q) for p, q in bids if q]
    asks = [(p, q) for p, q in asks if q]
    prices = sorted(p for p, _ in bids + asks)
    gaps = [b - a for a, b in zip(prices, prices[1:], strict=False) if b > a]
    step = min(gaps) if gaps else 1
    if bids:
        side.barh([p for p, _ in bids], [q for _, q in bids], height=0.8 * step, color=BID_COLOUR)
    if asks:
        side.barh([p for p, _ in asks], [q for _, q in asks], height=0.8 * step, color=ASK_COLOUR)
    if prices:
        side.set_ylim(prices[0] - step, prices[-1] + step)
    side.yaxis.tick_right()
    side.yaxis.set_label_position("right")
    side.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:,.0f}"))
    side.set_xlabel("resting quantity")
    summary = f"depth at the end, {levels} levels"
    if bids and asks:
        summary += f"\nspread {asks[0][0] - bids[0][0]:,}, mid {last['mid_price']:,}"
    side.set_title(summary, fontsize=9)
    side.grid(True, axis="x", color="#e0e0e0", lw=0.6)
    side.xaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:,.0f}"))

    fig.suptitle(title or f"token {token}", fontsize=13, fontweight="bold")
    if out is not None:
        from .cli._output import output

        with output(out, binary=True) as f:
            fig.savefig(f, format=fmt)
    return fig
