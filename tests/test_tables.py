"""trades, quotes and bars against a plain reading: OrderbookBuilder fed the
loader's dicts one by one, and the reference book for which orders rest."""

import decimal
import random

import pyarrow as pa
import pytest
import tidemark
from reference_book import RefBookSet
from test_book_series import TOKENS, U32, book_key, dicts, random_feed

import tidemark_tools

MASTER = "data/contract_master_fo_header.csv"
SAMPLE = "data/sample_feed.bin"


def replay(messages):
    """Yields (msg, builder, refs) just before each message is applied; the
    builder and the reference book hold the same books."""
    builder, refs = tidemark.OrderbookBuilder(), RefBookSet()
    for msg in messages:
        yield msg, builder, refs
        builder.orderbook_add_msg(msg)
        refs.apply(msg)


def trades_expected(messages, tokens=None, start=None, end=None):
    out = []
    for msg, builder, refs in replay(messages):
        if msg["msg_type"] != "T":
            continue
        token, ts = book_key(msg), msg["exch_ts"]
        if tokens is not None and token not in tokens:
            continue
        if (start is not None and ts < start) or (end is not None and ts >= end):
            continue
        book = refs.books.get(token)
        buy = book is not None and msg["buy_order_id"] in book.orders
        sell = book is not None and msg["sell_order_id"] in book.orders
        aggressor = None if buy == sell else ("B" if sell else "S")
        snap = builder.get_snapshot(token, 1)
        bid, ask = snap["best_bid"] or (None, None), snap["best_ask"] or (None, None)
        out.append(
            [msg["seq_no"], ts, msg["local_ts"], token, msg["buy_order_id"]]
            + [msg["sell_order_id"], msg["trade_price"], msg["trade_quantity"], aggressor]
            + [bid[0], bid[1], ask[0], ask[1]]
        )
    return out


TRADE_COLUMNS = [
    "seq_no", "exch_ts", "local_ts", "token", "buy_order_id", "sell_order_id", "price",
    "quantity", "aggressor", "bid_price", "bid_qty", "ask_price", "ask_qty",
]  # fmt: skip


def rows(table, columns):
    return [[row[c] for c in columns] for row in table.to_pylist()]


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("batch_rows", [1, 7, 65536])
def test_trades_equal_the_reference(feed_file, seed, batch_rows):
    path = feed_file(random_feed(random.Random(seed + 100), 2000))
    table = pa.table(tidemark_tools.trades(path, batch_rows=batch_rows))
    assert table.column_names == TRADE_COLUMNS
    assert rows(table, TRADE_COLUMNS) == trades_expected(dicts(path))
    if batch_rows == 1:
        assert {b.num_rows for b in table.to_batches()} == {1}


def test_trades_of_several_files_with_a_selection(feed_file):
    rng = random.Random(7)
    paths = [feed_file(random_feed(rng, 600)) for _ in range(3)]
    messages = [m for p in paths for m in dicts(p)]
    times = sorted(m["exch_ts"] for m in messages)
    start, end = times[len(times) // 4], times[3 * len(times) // 4]
    table = pa.table(
        tidemark_tools.trades(paths, tokens=[5, U32], start=start, end=end, batch_rows=3)
    )
    assert rows(table, TRADE_COLUMNS) == trades_expected(messages, {5, U32}, start, end)


def test_aggressor_cases(feed_file, records):
    # Resting: buy 1 and sell 2. Trades: sell rests only (B), buy rests only
    # (S), both rest (null), neither rests (null), token without a book.
    path = feed_file(
        records.order_record("N", order_id=1, token=9, order_type="B", price=100, quantity=50),
        records.order_record("N", order_id=2, token=9, order_type="S", price=101, quantity=50),
        records.trade_record(buy_order_id=7, sell_order_id=2, token=9, trade_quantity=1),
        records.trade_record(buy_order_id=1, sell_order_id=8, token=9, trade_quantity=1),
        records.trade_record(buy_order_id=1, sell_order_id=2, token=9, trade_quantity=1),
        records.trade_record(buy_order_id=5, sell_order_id=6, token=9, trade_quantity=1),
        records.trade_record(buy_order_id=1, sell_order_id=2, token=10, trade_quantity=1),
    )
    table = pa.table(tidemark_tools.trades(path))
    assert table.column("aggressor").to_pylist() == ["B", "S", None, None, None]
    assert table.column("bid_qty").to_pylist() == [50, 50, 49, 48, None]
    assert table.column("ask_price").to_pylist() == [101, 101, 101, 101, None]


def quotes_expected(messages, levels, tokens=None, zeros=False):
    last, out, builder = {}, [], tidemark.OrderbookBuilder()
    for msg in messages:
        token = book_key(msg)
        if not builder.orderbook_add_msg(msg) or (tokens is not None and token not in tokens):
            continue
        snap = builder.get_snapshot(token, levels)
        values = []
        for i in range(levels):
            for side in ("bids", "asks"):
                level = snap[side][i] if i < len(snap[side]) else None
                values += list(level) if level else ([0, 0] if zeros else [None, None])
        if last.get(token) == values:
            continue
        last[token] = values
        both = snap["bids"] and snap["asks"]
        mid = snap["mid_price"] if both or zeros else None
        head = [msg["seq_no"], msg["exch_ts"], msg["msg_type"], token, mid]
        out.append(head + values)
    return out


def quote_columns(levels):
    cols = ["seq_no", "exch_ts", "msg_type", "token", "mid_price"]
    for i in range(levels):
        cols += [f"bid_price_{i}", f"bid_qty_{i}", f"ask_price_{i}", f"ask_qty_{i}"]
    return cols


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("levels", [1, 3])
@pytest.mark.parametrize("tokens", [None, [1, 2**31]])
def test_quotes_equal_the_reference(feed_file, seed, levels, tokens):
    path = feed_file(random_feed(random.Random(seed + 200), 1500))
    expected = quotes_expected(dicts(path), levels, tokens)
    table = pa.table(tidemark_tools.quotes(path, levels=levels, tokens=tokens, batch_rows=5))
    assert rows(table, quote_columns(levels)) == expected
    # The same rows with zeros for the missing levels: book_series' convention.
    series = tidemark_tools.book_series(path, levels=levels, tokens=tokens, changes_only=True)
    zeros = quotes_expected(dicts(path), levels, tokens, zeros=True)
    assert rows(pa.table(series), quote_columns(levels)) == zeros


def bars_expected(messages, every, tokens=None):
    bars = {}
    for msg, _, refs in replay(messages):
        if msg["msg_type"] != "T" or (tokens is not None and book_key(msg) not in tokens):
            continue
        key = (msg["exch_ts"] // every * every, book_key(msg))
        price, qty = msg["trade_price"], max(msg["trade_quantity"], 0)
        book = refs.books.get(key[1])
        buy = book is not None and msg["buy_order_id"] in book.orders
        sell = book is not None and msg["sell_order_id"] in book.orders
        bar = bars.setdefault(key, dict(open=price, high=price, low=price, volume=0, trades=0,
                                        turnover=0, buy_volume=0, sell_volume=0))  # fmt: skip
        bar["high"], bar["low"], bar["close"] = (
            max(bar["high"], price),
            min(bar["low"], price),
            price,
        )
        bar["volume"] += qty
        bar["trades"] += 1
        bar["turnover"] += price * qty
        bar["buy_volume"] += qty if sell and not buy else 0
        bar["sell_volume"] += qty if buy and not sell else 0
    out = []
    for (start, token), bar in sorted(bars.items()):
        vwap = bar["turnover"] / bar["volume"] if bar["volume"] else None
        out.append({"token": token, "start": start, **bar, "vwap": vwap})
    return out


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("every", [1, 1000, 60_000])
def test_bars_equal_the_reference(feed_file, seed, every):
    rng = random.Random(seed + 300)
    paths = [feed_file(random_feed(rng, 800, backwards=True)) for _ in range(2)]
    expected = bars_expected([m for p in paths for m in dicts(p)], every)
    got = pa.table(tidemark_tools.bars(paths, every=every, batch_rows=4)).to_pylist()
    for row in got + expected:
        row["turnover"] = int(row["turnover"])
        vwap = row.pop("vwap")
        row["vwap"] = None if vwap is None else round(vwap, 6)
    assert [{k: row[k] for k in expected[0]} for row in got] == expected


def test_bars_of_the_sample_in_rupees():
    table = pa.table(tidemark_tools.bars(SAMPLE, every="1m", price_scale=2, tokens=[1002]))
    assert table.schema.field("turnover").type == pa.decimal128(38, 2)
    assert table.schema.field("open").type == pa.decimal128(18, 2)
    plain = pa.table(tidemark_tools.bars(SAMPLE, every=60_000_000_000, tokens=[1002]))
    for scaled, raw in zip(table.to_pylist(), plain.to_pylist(), strict=True):
        assert scaled["turnover"] == decimal.Decimal(int(raw["turnover"])) / 100
        assert scaled["open"] == decimal.Decimal(raw["open"]) / 100
        assert scaled["vwap"] == pytest.approx(raw["vwap"] / 100)


def test_datetimes_master_and_prices_convert_exactly():
    plain = pa.table(tidemark_tools.trades(SAMPLE))
    table = pa.table(
        tidemark_tools.trades(
            SAMPLE, master=MASTER, timestamps="datetime", tz="Asia/Kolkata", price_scale=2
        )
    )
    assert table.schema.field("exch_ts").type == pa.timestamp("ns", "Asia/Kolkata")
    assert table.column("exch_ts").cast(pa.int64()).to_pylist() == plain["exch_ts"].to_pylist()
    assert [int(p * 100) for p in table.column("price").to_pylist()] == plain["price"].to_pylist()
    master = tidemark.SymbolMaster()
    master.load(MASTER)
    symbols = [master.lookup(t)["symbol"] for t in plain["token"].to_pylist()]
    assert table.column("token_symbol").to_pylist() == symbols


def test_a_timestamp_past_int64_fails_naming_the_row(feed_file, records):
    path = feed_file(
        records.trade_record(seq_no=41, exch_ts=2**63, buy_order_id=1, sell_order_id=2, token=9)
    )
    assert pa.table(tidemark_tools.trades(path)).column("exch_ts").to_pylist() == [2**63]
    with pytest.raises(ValueError, match="exch_ts 9223372036854775808 of the row with seq_no 41"):
        pa.table(tidemark_tools.trades(path, timestamps="datetime"))


@pytest.mark.parametrize(
    "function, kwargs, error, text",
    [
        ("bars", {"every": "1 minute"}, ValueError, "argument 'every' is '1 minute'"),
        ("bars", {"every": 0}, ValueError, "argument 'every' must be from 1"),
        ("trades", {"timestamps": "iso"}, ValueError, "argument 'timestamps' must be one of"),
        ("trades", {"tz": "Mars/Olympus"}, ValueError, "not a known IANA time zone"),
        ("quotes", {"levels": 0}, ValueError, "argument 'levels' must be from 1 to 1000"),
        ("quotes", {"price_scale": 10}, ValueError, "argument 'price_scale' must be from 0 to 9"),
        ("trades", {"tokens": [-1]}, ValueError, "argument 'tokens' holds -1"),
        ("trades", {"paths": []}, ValueError, "argument 'paths' is empty"),
    ],
)
def test_argument_errors(function, kwargs, error, text):
    kwargs = {"paths": SAMPLE} | ({"every": "1m"} if function == "bars" else {}) | kwargs
    with pytest.raises(error, match=text):
        getattr(tidemark_tools, function)(**kwargs)


def test_a_bad_second_file_is_named(feed_file):
    good = feed_file(random_feed(random.Random(1), 10))
    with pytest.raises(RuntimeError, match="^/nonexistent/x.bin: No such file"):
        tidemark_tools.trades([good, "/nonexistent/x.bin"])


def test_every_token_keeps_its_book_key(feed_file):
    path = feed_file(random_feed(random.Random(3), 1000))
    tokens = set(pa.table(tidemark_tools.trades(path)).column("token").to_pylist())
    assert tokens <= set(TOKENS)


def run_cli(*argv):
    import subprocess
    import sys

    return subprocess.run(
        [sys.executable, "-m", "tidemark_tools", *argv], capture_output=True, text=True
    )


@pytest.mark.parametrize(
    "argv, make",
    [
        (["trades"], lambda: tidemark_tools.trades(SAMPLE, price_scale=2)),
        (
            ["quotes", "--levels", "2"],
            lambda: tidemark_tools.quotes(SAMPLE, levels=2, price_scale=2),
        ),
        (["bars", "--every", "1m"], lambda: tidemark_tools.bars(SAMPLE, every="1m", price_scale=2)),
    ],
)
def test_commands_write_what_the_functions_give(tmp_path, argv, make):
    import pyarrow.parquet as pq

    out = tmp_path / "t.parquet"
    done = run_cli(argv[0], SAMPLE, *argv[1:], "--price-scale", "2", "--out", str(out))
    assert done.returncode == 0, done.stderr
    assert pq.read_table(out).to_pylist() == pa.table(make()).to_pylist()


def test_command_errors_are_one_line():
    done = run_cli(
        "bars", SAMPLE, "--every", "1m", "--tz", "Mars/Olympus", "--timestamps", "datetime"
    )
    assert done.returncode == 2 and done.stderr.startswith("tidemark: option 'tz'")
