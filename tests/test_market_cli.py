"""The command's --order and --master-base, and read_feeds' partition groups
and per-file masters."""

import subprocess
import sys

import pyarrow as pa
import pytest
from test_market_masters import day_files

import tidemark_tools


def run_cli(*argv):
    return subprocess.run(
        [sys.executable, "-m", "tidemark_tools", *argv], capture_output=True, text=True
    )


@pytest.mark.parametrize(
    "command, extra, make",
    [
        ("dump", [], lambda paths, **kw: tidemark_tools.scan_feed(paths, **kw)),
        ("trades", [], lambda paths, **kw: tidemark_tools.trades(paths, **kw)),
        ("quotes", [], lambda paths, **kw: tidemark_tools.quotes(paths, **kw)),
        (
            "bars",
            ["--every", "1s"],
            lambda paths, **kw: tidemark_tools.bars(paths, every="1s", **kw),
        ),
    ],
)
def test_commands_take_order_and_master_base(tmp_path, records, command, extra, make):
    import pyarrow.parquet as pq

    base, feeds = day_files(tmp_path, records)
    out = tmp_path / "rows.parquet"
    argv = [command, feeds[1], feeds[0], *extra, "--order", "exch_ts", "--master-base", base]
    done = run_cli(*argv, "--out", str(out))
    assert done.returncode == 0, done.stderr
    expected = make([feeds[1], feeds[0]], order="exch_ts", master=tidemark_tools.DatedMasters(base))
    got = pq.read_table(out)
    want = pa.table(expected)
    assert got.column("token_symbol").to_pylist() == want.column("token_symbol").to_pylist()
    assert got.column("file").to_pylist() == want.column("file").to_pylist()
    assert "NIFTY" in got.column("token_symbol").to_pylist()


def test_master_base_errors_and_exclusive_options(tmp_path, records):
    base, feeds = day_files(tmp_path, records)
    odd = tmp_path / "day.bin"
    odd.write_bytes(records.trade_record())
    done = run_cli("trades", str(odd), "--master-base", base)
    assert done.returncode == 2
    assert done.stderr.startswith(f"tidemark: {odd}: no dated contract master")
    done = run_cli("dump", feeds[0], "--master-base", str(tmp_path / "nowhere"))
    assert done.returncode == 2 and "NSE_FO_contract_29122025.csv" in done.stderr
    assert done.stderr.count(feeds[0]) == 1
    done = run_cli("bars", feeds[0], "--every", "1m", "--master", "x.csv", "--master-base", base)
    assert done.returncode == 2 and "not allowed with argument" in done.stderr


def test_dump_warns_per_file_when_its_dated_master_matches_nothing(tmp_path, records):
    base, feeds = day_files(tmp_path, records)
    # The 30th's master knows no token of that day's file any more.
    master = f"{base}/CONTRACT/30_12_2025/NSE_FO_contract_30122025.csv"
    with open(master, "w") as f:
        f.write("FinInstrmId,TckrSymb\n99,X\n")
    done = run_cli("dump", *feeds, "--order", "exch_ts", "--master-base", base, "--out",
                   str(tmp_path / "o.csv"))  # fmt: skip
    assert done.returncode == 0, done.stderr
    assert f"{feeds[1]}: the contract master {master} matches no token" in done.stderr
    assert feeds[0] + ":" not in done.stderr


def test_check_takes_order(tmp_path, records):
    first = tmp_path / "a.bin"
    first.write_bytes(records.order_record("N", seq_no=1, exch_ts=1, order_id=5, token=7,
                                           order_type="S", price=10, quantity=1))  # fmt: skip
    second = tmp_path / "b.bin"
    second.write_bytes(records.order_record("X", seq_no=1, exch_ts=2, order_id=5, token=7))
    by_file = run_cli("check", str(first), str(second), "--json")
    merged = run_cli("check", str(first), str(second), "--json", "--order", "exch_ts")
    assert by_file.returncode == merged.returncode == 0, merged.stderr
    assert '"cancel": 1' in by_file.stdout and '"cancel": 1' not in merged.stdout


def test_read_feeds_groups_and_dated_masters(tmp_path, records):
    pytest.importorskip("dask.dataframe")
    from tidemark_tools.dask import read_feeds

    base, feeds = day_files(tmp_path, records)
    dated = tidemark_tools.DatedMasters(base)
    frame = read_feeds([[feeds[1], feeds[0]], feeds[0]], order="exch_ts", master=dated)
    assert frame.npartitions == 2
    got = frame.compute()
    first = pa.table(tidemark_tools.scan_feed([feeds[1], feeds[0]], order="exch_ts", master=dated))
    second = pa.table(tidemark_tools.scan_feed(feeds[0], master=dated, columns=first.column_names))
    assert (
        got["file"].tolist() == first.column("file").to_pylist() + second.column("file").to_pylist()
    )
    symbols = first.column("token_symbol").to_pylist() + second.column("token_symbol").to_pylist()
    assert [None if s is pd_na() else s for s in got["token_symbol"].tolist()] == symbols
    mapped = read_feeds(feeds, master={f: dated.path_for(f) for f in feeds}).compute()
    assert set(mapped["token_symbol"].dropna()) == {"NIFTY", "BANKNIFTY"}
    with pytest.raises(TypeError, match="must map feed paths to the paths"):
        read_feeds(feeds, master={f: dated.master_for(f) for f in feeds})


def pd_na():
    import pandas as pd

    return pd.NA
