"""`tidemark plot`: what the picture is drawn from (checked against plain
Python over the trades and quotes tables), how --tz and --price-scale change
the axes, and the command's argument errors and output file."""

import math
import os
import stat
import subprocess
import sys
from collections import Counter

import pytest

pa = pytest.importorskip("pyarrow")
pytest.importorskip("matplotlib")

import feedgen  # noqa: E402
from matplotlib import dates  # noqa: E402

from tidemark_tools import book_series, quotes, scan_feed, trades  # noqa: E402
from tidemark_tools.cli import main  # noqa: E402
from tidemark_tools.plot import (  # noqa: E402
    Envelope,
    Span,
    collect,
    draw,
    plot_book,
    system_time_zone,
)

SAMPLE = "data/sample_feed.bin"
KOLKATA = "Asia/Kolkata"
INDEX = {"B": 0, "S": 1, None: 2}


@pytest.fixture(scope="module")
def session(tmp_path_factory):
    """A generated session, then trades of token 1002 between orders no book
    holds (so without an aggressor), one of them of a negative quantity."""
    path = tmp_path_factory.mktemp("plot") / "session.bin"
    feedgen.write_feed(str(path), 20_000, 4, 3)
    end = max(pa.table(scan_feed(str(path), columns=["exch_ts"]))["exch_ts"].to_pylist())
    tail = [
        feedgen.trade_record(
            buy_order_id=900_000 + i,
            sell_order_id=910_000 + i,
            token=1002,
            trade_price=price,
            trade_quantity=quantity,
            exch_ts=end + 1000 * (i + 1),
        )
        for i, (price, quantity) in enumerate([(50_000, 5), (50_100, -7), (49_950, 0)])
    ]
    with open(path, "ab") as f:
        f.write(b"".join(tail))
    return str(path)


@pytest.fixture(scope="module")
def market(tmp_path_factory):
    """Two tokens trading over a six-hour session."""
    path = tmp_path_factory.mktemp("plot") / "market.bin"
    feedgen.write_feed(str(path), 30_000, 2, 5, mode="market")
    return str(path)


def trade_rows(path, token):
    return pa.table(trades(path, tokens=[token])).to_pylist()


def time_range(path, token):
    times = pa.table(scan_feed(path, tokens=[token], columns=["exch_ts"]))["exch_ts"].to_pylist()
    return min(times), max(times)


def column(ts, first, last, columns):
    return min((ts - first) * columns // (last - first + 1), columns - 1)


def nonzero(array):
    return {tuple(int(i) for i in index): int(v) for index, v in zip(*_items(array), strict=True)}


def _items(array):
    import numpy as np

    where = np.nonzero(array)
    return list(zip(*where, strict=True)), array[where]


# ---------------------------------------------------------------- trades


@pytest.mark.parametrize(("token", "columns", "rows"), [(1002, 37, 11), (1003, 110, 60)])
def test_binned_trades_sum_per_cell_and_aggressor(session, token, columns, rows):
    picture = collect(session, token, bin_above=0, cell_columns=columns, cell_rows=rows)
    assert picture.binned
    first, last = time_range(session, token)
    found = trade_rows(session, token)
    prices = [r["price"] for r in found]
    low = min(prices)
    tick = math.gcd(*(p - low for p in prices))
    height = tick * math.ceil(((max(prices) - low) // tick + 1) / rows)
    count, volume = Counter(), Counter()
    for r in found:
        cell = (
            INDEX[r["aggressor"]],
            (r["price"] - low) // height,
            column(r["exch_ts"], first, last, columns),
        )
        count[cell] += 1
        volume[cell] += max(r["quantity"], 0)  # a negative quantity adds nothing
    cells = picture.trades
    assert cells.height == height
    assert nonzero(cells.count) == dict(count)
    assert nonzero(cells.volume) == {k: v for k, v in volume.items() if v}


@pytest.mark.parametrize("token", [1001, 1002])
def test_unbinned_trades_are_every_trade_by_aggressor(session, token):
    picture = collect(session, token)
    assert not picture.binned
    found = trade_rows(session, token)
    for k in range(3):
        ts, price, quantity = picture.trades.of(k)
        expected = [
            (r["exch_ts"], r["price"], r["quantity"]) for r in found if INDEX[r["aggressor"]] == k
        ]
        assert list(zip(ts.tolist(), price.tolist(), quantity.tolist(), strict=True)) == expected
        assert picture.trades.volume_of(k) == sum(max(q, 0) for _, _, q in expected)


def test_the_planted_trades_have_no_aggressor_and_count(session):
    picture = collect(session, 1002, volume_columns=50)
    ts, _, quantity = picture.trades.of(2)
    assert quantity.tolist()[-3:] == [5, -7, 0]
    # The volume panel: per time column and aggressor.
    first, last = time_range(session, 1002)
    expected = Counter()
    for r in trade_rows(session, 1002):
        expected[INDEX[r["aggressor"]], 0, column(r["exch_ts"], first, last, 50)] += max(
            r["quantity"], 0
        )
    assert nonzero(picture.volume.volume) == {k: v for k, v in expected.items() if v}


def test_trades_are_binned_only_above_the_threshold(session):
    n = len(trade_rows(session, 1002))
    assert collect(session, 1002, bin_above=n - 1).binned
    assert not collect(session, 1002, bin_above=n).binned


# ---------------------------------------------------------------- lines


def envelope_reference(rows, side, first, last, columns):
    """first, lowest, highest and last best price per column (None: no level)."""
    cols: dict[int, list] = {}
    for r in rows:
        c = column(r["exch_ts"], first, last, columns)
        cols.setdefault(c, []).append(r[f"{side}_price_0"])
    out = {}
    for c, values in cols.items():
        priced = [v for v in values if v is not None]
        out[c] = (values[0], min(priced, default=None), max(priced, default=None), values[-1])
    return out


def as_reference(envelope):
    import numpy as np

    def value(x):
        return None if not np.isfinite(x) else int(x)

    return {
        int(c): tuple(
            value(a[c]) for a in (envelope.first, envelope.low, envelope.high, envelope.last)
        )
        for c in np.flatnonzero(envelope.seen)
    }


@pytest.mark.parametrize("chunk", [1, 7, 1000])
@pytest.mark.parametrize("columns", [5, 333])
def test_the_lines_keep_first_low_high_last_per_column(session, chunk, columns):
    import numpy as np

    rows = pa.table(quotes(session, tokens=[1001])).to_pylist()
    first, last = time_range(session, 1001)
    span = Span(first, last, columns)
    for side in ("bid", "ask"):
        envelope = Envelope(span)
        for i in range(0, len(rows), chunk):  # batches may split a column's rows
            part = rows[i : i + chunk]
            prices = [
                np.nan if r[f"{side}_price_0"] is None else r[f"{side}_price_0"] for r in part
            ]
            envelope.add(span.column([r["exch_ts"] for r in part]), np.array(prices, dtype=float))
        assert as_reference(envelope) == envelope_reference(rows, side, first, last, columns)


@pytest.mark.parametrize("every_ns", [None, 1_000_000])
def test_collect_draws_its_lines_from_quote_changes(session, every_ns):
    picture = collect(session, 1001, line_columns=200, every_ns=every_ns)
    if every_ns is None:
        rows = pa.table(quotes(session, tokens=[1001], levels=10)).to_pylist()
    else:  # the book on a grid, where 0 means no level
        series = book_series(session, tokens=[1001], levels=10, every_ns=every_ns)
        rows = pa.table(series).to_pylist()
        for r in rows:
            for side in ("bid", "ask"):
                r[f"{side}_price_0"] = r[f"{side}_price_0"] or None
    first, last = time_range(session, 1001)
    assert picture.quote_rows == len(rows)
    assert as_reference(picture.bid) == envelope_reference(rows, "bid", first, last, 200)
    assert picture.depth == rows[-1]  # the book at the end
    x, y = picture.bid.steps()  # the last bid holds to the end of the range
    assert (x[-1], y[-1]) == (picture.span.edge(200), rows[-1]["bid_price_0"])


def test_a_time_range_past_63_bits_still_gets_columns():
    span = Span(0, 2**64 - 1, 1000)
    assert span.column([0, 2**63, 2**64 - 1]).tolist() == [0, 500, 999]


# ---------------------------------------------------------------- axes


def tick_texts(axis):
    return [t.get_text() for t in axis.get_ticklabels()]


def test_tz_moves_the_time_ticks(market):
    picture = collect(market, 1001)
    shown = {}
    for zone in ("UTC", KOLKATA):
        figure = draw(picture, tz=zone)
        figure.canvas.draw()
        under = figure.axes[2]
        assert under.get_xlabel() == f"exch_ts ({zone})"
        utc = [dates.num2date(x).strftime("%H:%M") for x in under.get_xticks()]
        shown[zone] = list(zip(tick_texts(under.xaxis), utc, strict=True))
    # Whole hours of each zone: 10:00 in Kolkata is 04:30 UTC.
    assert ("04:00", "04:00") in shown["UTC"] and ("10:00", "04:30") in shown[KOLKATA]


def test_price_scale_divides_the_price_axis(market):
    picture = collect(market, 1001)
    plain = draw(picture)
    rupees = draw(picture, price_scale=2)
    for figure in (plain, rupees):
        figure.canvas.draw()
    low, high = plain.axes[0].get_ylim()
    assert rupees.axes[0].get_ylim() == pytest.approx((low / 100, high / 100))
    assert rupees.axes[0].get_ylabel().startswith("price (rupees")
    texts = [t for t in tick_texts(rupees.axes[0].yaxis) if t]
    assert texts and all(len(t.rsplit(".", 1)[1]) == 2 for t in texts)
    # The depth panel shares the price axis.
    assert rupees.axes[1].get_ylim() == rupees.axes[0].get_ylim()
    bars = [p.get_y() + p.get_height() / 2 for p in rupees.axes[1].patches]
    depth = picture.depth
    expected = [depth[f"bid_price_{i}"] / 100 for i in range(10) if depth[f"bid_qty_{i}"]]
    assert bars[: len(expected)] == pytest.approx(expected)


@pytest.mark.parametrize(
    ("tz", "expected"),
    [
        (KOLKATA, KOLKATA),
        (":Europe/Paris", "Europe/Paris"),
        ("/usr/share/zoneinfo/Asia/Tokyo", "Asia/Tokyo"),
    ],
)
def test_the_default_zone_is_the_systems(monkeypatch, tz, expected):
    monkeypatch.setenv("TZ", tz)
    assert system_time_zone() == expected
    figure = plot_book(SAMPLE, 1002, None)
    assert figure.axes[2].get_xlabel() == f"exch_ts ({expected})"


# ---------------------------------------------------------------- command


def run(capsys, *argv):
    status = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize(
    ("options", "text"),
    [
        (["--tz", "Mars/Olympus"], "invalid time zone 'Mars/Olympus'"),
        (["--tz", ""], "invalid time zone ''"),
        (["--price-scale", "10"], "invalid price scale '10'"),
        (["--price-scale", "-1"], "invalid number '-1'"),
        (["--levels", "0"], "invalid levels '0'"),
        (["--token", "x"], "invalid token 'x'"),
    ],
)
def test_argument_errors_exit_2_with_one_line(capsys, tmp_path, options, text):
    out = tmp_path / "book.png"
    with pytest.raises(SystemExit) as exit_info:
        main(["plot", SAMPLE, "--token", "1002", "--out", str(out), *options])
    err = capsys.readouterr().err
    assert exit_info.value.code == 2 and err.count("\n") == 1 and text in err
    assert not out.exists()


@pytest.mark.parametrize("damage", ["missing", "cut short"])
def test_an_unreadable_feed_names_it_and_writes_nothing(capsys, tmp_path, damage):
    feed = tmp_path / "day.bin"
    if damage == "cut short":
        data = open(SAMPLE, "rb").read()
        feed.write_bytes(data[: len(data) // 2 + 5])
    out = tmp_path / "book.png"
    status, _, err = run(capsys, "plot", feed, "--token", "1002", "--out", out)
    assert status == 2 and err.startswith(f"tidemark: {feed}: ") and err.count("\n") == 1
    assert not out.exists() and os.listdir(tmp_path) == (["day.bin"] if damage != "missing" else [])


def test_a_pipe_is_refused_before_reading(tmp_path):
    fifo = tmp_path / "feed.fifo"
    os.mkfifo(fifo)  # no writer: reading it would wait
    result = subprocess.run(
        [sys.executable, "-m", "tidemark_tools", "plot", str(fifo), "--token", "1002"]
        + ["--out", str(tmp_path / "book.png")],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.returncode == 2
    assert result.stderr == (
        f"tidemark: {fifo}: a plot reads its feed file three times, so it must be a "
        "regular file, not a pipe or FIFO\n"
    )


def test_the_picture_replaces_an_old_one_in_place(capsys, tmp_path):
    out = tmp_path / "book.png"
    out.write_bytes(b"old picture")
    out.chmod(0o640)
    options = ["--tz", KOLKATA, "--price-scale", "2"]
    assert run(capsys, "plot", SAMPLE, "--token", "1002", *options, "--out", out) == (0, "", "")
    assert out.read_bytes().startswith(b"\x89PNG")
    assert stat.S_IMODE(out.stat().st_mode) == 0o640
    assert os.listdir(tmp_path) == ["book.png"]
