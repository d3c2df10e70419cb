"""Contract masters per feed file (DatedMasters, a mapping of feed paths to
masters) and the `file` column of trades, quotes and bars."""

import pickle
import random

import pyarrow as pa
import pytest
import tidemark
from test_book_series import random_feed

import tidemark_tools
from tidemark_tools._masters import feed_file_date

HEADER = "FinInstrmId,TckrSymb,OptnTp,StrkPric\n"


def day_files(tmp_path, records):
    """Two trading days of the FO segment on a dated store: token 1002 names
    a different contract on each day."""
    store = tmp_path / "store"
    feeds = []
    for day, symbol in ((29, "NIFTY"), (30, "BANKNIFTY")):
        folder = store / "CONTRACT" / f"{day}_12_2025"
        folder.mkdir(parents=True)
        (folder / f"NSE_FO_contract_{day}122025.csv").write_text(
            HEADER + f"1002,{symbol},CE,{day}00000\n7,OTHER{day},PE,100\n"
        )
        feed = tmp_path / "NSE_FO" / f"Feed_FO_StreamID_2_{day}_12_2025.bin"
        feed.parent.mkdir(exist_ok=True)
        ts = day * 86_400 * 10**9
        feed.write_bytes(
            records.order_record("N", seq_no=1, exch_ts=ts, order_id=1, token=1002,
                                 order_type="S", price=100, quantity=5)
            + records.trade_record(seq_no=2, exch_ts=ts + 1, buy_order_id=9, sell_order_id=1,
                                   token=1002, trade_price=100, trade_quantity=2)
            + records.trade_record(seq_no=3, exch_ts=ts + 2, token=5, trade_quantity=1)
        )  # fmt: skip
        feeds.append(str(feed))
    return str(store), feeds


@pytest.fixture
def days(tmp_path, records):
    return day_files(tmp_path, records)


def symbols(table):
    return list(zip(table.column("token").to_pylist(), table.column("token_symbol").to_pylist(),
                    strict=True))  # fmt: skip


@pytest.mark.parametrize(
    "make",
    [
        lambda paths, master: tidemark_tools.scan_feed(paths, master=master, types="T"),
        lambda paths, master: tidemark_tools.trades(paths, master=master),
        lambda paths, master: tidemark_tools.bars(paths, every="1s", master=master),
        lambda paths, master: tidemark_tools.quotes(paths, master=master, tokens=[1002]),
    ],
    ids=["scan_feed", "trades", "bars", "quotes"],
)
@pytest.mark.parametrize("order", ["files", "exch_ts"])
@pytest.mark.parametrize("kind", ["dated", "mapping", "mapping of paths"])
def test_each_day_gets_its_own_contracts(days, make, order, kind):
    base, feeds = days
    dated = tidemark_tools.DatedMasters(base=base)
    master = {
        "dated": dated,
        "mapping": {f: dated.master_for(f) for f in feeds},
        "mapping of paths": {f: dated.path_for(f) for f in feeds},
    }[kind]
    paths = list(reversed(feeds)) if order == "exch_ts" else feeds
    table = pa.table(make(paths, master))
    got = [(t, s, f) for (t, s), f in zip(symbols(table), table.column("file").to_pylist(),
                                          strict=True)]  # fmt: skip
    day = {feeds[0]: "NIFTY", feeds[1]: "BANKNIFTY"}
    assert {(t, s) for t, s, f in got if t == 1002} == {
        (1002, day[feeds[0]]),
        (1002, day[feeds[1]]),
    }
    for token, symbol, file in got:
        assert symbol == (day[file] if token == 1002 else None)


def test_the_merged_order_with_dated_masters(days):
    base, feeds = days
    table = pa.table(
        tidemark_tools.scan_feed(
            list(reversed(feeds)), master=tidemark_tools.DatedMasters(base), order="exch_ts"
        )
    )
    # The 29th comes first in time although it is listed second.
    assert table.column("file").to_pylist()[:3] == [feeds[0]] * 3
    assert table.column("token_symbol").to_pylist()[:2] == ["NIFTY", "NIFTY"]


def test_dated_paths_follow_load_for_date(days):
    base, feeds = days
    dated = tidemark_tools.DatedMasters(base)
    assert dated.path_for(feeds[0]) == f"{base}/CONTRACT/29_12_2025/NSE_FO_contract_29122025.csv"
    assert dated.path_for(feeds[0] + ".zst").endswith("NSE_FO_contract_29122025.csv")
    assert tidemark_tools.DatedMasters(base + "/").path_for(feeds[0]).startswith(base + "//")
    reference = tidemark.SymbolMaster()
    reference.load_for_date("FO", 29, 12, 2025, base)
    assert len(dated.master_for(feeds[0])) == len(reference)
    assert dated.master_for(feeds[0]) is dated.master_for(feeds[0])  # loaded once
    again = pickle.loads(pickle.dumps(dated))
    assert again == dated and again.master_for(feeds[1]).lookup(1002)["symbol"] == "BANKNIFTY"


@pytest.mark.parametrize(
    "name, parsed",
    [
        ("Feed_FO_StreamID_2_29_12_2025.bin", ("FO", 2, 29, 12, 2025)),
        ("/x/NSE_CM/Feed_CM_StreamID_17_01_06_2026.bin.gz", ("CM", 17, 1, 6, 2026)),
        ("Feed_FO_StreamID_2_29_12_2025.bin.zst", ("FO", 2, 29, 12, 2025)),
        ("Feed_FO_StreamID_02_29_12_2025.bin", None),  # the builder writes no leading zero
        ("Feed_FO_StreamID_0_29_12_2025.bin", None),
        ("Feed_FO_StreamID_2_29_13_2025.bin", None),
        ("Feed_FO_StreamID_2_9_12_2025.bin", None),
        ("Feed_BSE_StreamID_2_29_12_2025.bin", None),
        ("day.bin", None),
    ],
)
def test_feed_names_parse_as_the_builder_composes_them(name, parsed):
    assert feed_file_date(name) == parsed
    if parsed is not None:
        builder = tidemark.FeedPathBuilder()
        built = builder.build(parsed[0], *parsed[1:], base_path="/b")
        assert feed_file_date(built) == parsed


def test_errors_name_the_feed_file_and_the_master_tried(days, feed_file, records):
    base, feeds = days
    dated = tidemark_tools.DatedMasters(base)
    odd = feed_file(records.trade_record())
    with pytest.raises(ValueError, match=rf"{odd}: no dated contract master .*Feed_"):
        tidemark_tools.scan_feed([feeds[0], odd], master=dated)
    missing = feeds[0].replace("29_12", "28_12")
    with open(missing, "wb") as f:
        f.write(records.trade_record())
    tried = f"{base}/CONTRACT/28_12_2025/NSE_FO_contract_28122025.csv"
    for call in (
        lambda: tidemark_tools.scan_feed(missing, master=dated),
        lambda: tidemark_tools.trades([feeds[0], missing], master=dated),
    ):
        with pytest.raises(RuntimeError) as error:
            call()
        assert str(error.value).startswith(f"{missing}: ") and tried in str(error.value)
        assert "No such file or directory" in str(error.value)
    with pytest.raises(ValueError, match=f"no contract master for the feed file {feeds[1]}"):
        tidemark_tools.trades(feeds, master={feeds[0]: dated.master_for(feeds[0])})
    with pytest.raises(TypeError, match="maps .* to a int"):
        tidemark_tools.scan_feed(feeds[0], master={feeds[0]: 3})


def test_file_column_of_the_tables(feed_file):
    rng = random.Random(3)
    paths = [feed_file(random_feed(rng, 300)) for _ in range(3)]
    for order in ("files", "exch_ts"):
        scan = pa.table(tidemark_tools.scan_feed(paths, types="T", order=order))
        trades = pa.table(tidemark_tools.trades(paths, order=order, batch_rows=7))
        assert trades.column_names[-1] == "file"
        assert trades.column("file").to_pylist() == scan.column("file").to_pylist()
        quotes = pa.table(tidemark_tools.quotes(paths, order=order, price_scale=2))
        assert quotes.column_names[-1] == "file"
        assert set(quotes.column("file").to_pylist()) == set(paths)
        threaded = pa.table(tidemark_tools.quotes(paths, order=order, price_scale=2, threads=2))
        assert threaded.equals(quotes)
    one = pa.table(tidemark_tools.trades(paths[0]))
    assert "file" not in one.column_names


def test_file_column_of_bars(feed_file, records):
    # Token 1 trades in one file only; token 2 in both within one interval.
    a = feed_file(
        records.trade_record(exch_ts=10, token=1, trade_quantity=1),
        records.trade_record(exch_ts=11, token=2, trade_quantity=1),
    )
    b = feed_file(records.trade_record(exch_ts=12, token=2, trade_quantity=2))
    table = pa.table(
        tidemark_tools.bars([a, b], every=100, master="data/contract_master_fo_header.csv")
    )
    assert table.column_names[-1] == "file"
    assert [(r["token"], r["volume"], r["file"]) for r in table.to_pylist()] == [
        (1, 1, a),
        (2, 3, None),
    ]
