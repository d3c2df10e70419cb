"""tidemark dump with several files, columns, time ranges and conversions."""

import json
from pathlib import Path

import feedgen
import pyarrow as pa
import pytest

import tidemark_tools
from tidemark_tools.cli import main

ROOT = Path(__file__).resolve().parent.parent
MASTER = str(ROOT / "data" / "contract_master_fo_header.csv")
NS = 1_767_239_100_000_000_001  # 2026-01-01T09:15:00.000000001+05:30


def run(capsys, *argv):
    try:
        status = main(list(argv))
    except SystemExit as exit:  # a usage error
        status = exit.code
    out, err = capsys.readouterr()
    return status, out, err


@pytest.fixture
def two_files(feed_file):
    a = feed_file(
        *(feedgen.order_record(seq_no=i, token=1001, exch_ts=NS + i, price=12345) for i in range(4))
    )  # noqa: E501
    b = feed_file(
        *(
            feedgen.trade_record(seq_no=10 + i, token=7, exch_ts=NS + 10 + i, trade_price=-5)
            for i in range(3)
        )
    )  # noqa: E501
    return a, b


def test_several_files_columns_and_a_time_range(capsys, two_files):
    a, b = two_files
    argv = ["dump", a, b, "--columns", "seq_no,file", "--format", "jsonl"]
    status, out, err = run(
        capsys, *argv, "--start", "2026-01-01T09:15:00.000000003+05:30", "--end", str(NS + 12)
    )  # noqa: E501
    assert (status, err) == (0, "")
    rows = [json.loads(line) for line in out.splitlines()]
    assert [(r["seq_no"], r["file"]) for r in rows] == [(2, a), (3, a), (10, b), (11, b)]
    status, out, _ = run(capsys, "dump", b, a, "--order", "exch_ts", "--format", "jsonl")
    assert [json.loads(line)["seq_no"] for line in out.splitlines()] == [0, 1, 2, 3, 10, 11, 12]
    status, out, _ = run(capsys, "dump", a, b, "--type", "T", "--limit", "2", "--format", "jsonl")
    assert [json.loads(line)["seq_no"] for line in out.splitlines()] == [10, 11]


def test_datetimes_and_decimal_prices_are_exact_in_every_format(capsys, tmp_path, two_files):
    a, b = two_files
    options = ["--timestamps", "datetime", "--tz", "Asia/Kolkata", "--price-scale", "2"]
    status, out, _ = run(
        capsys, "dump", a, "--columns", "exch_ts,price", *options, "--format", "jsonl"
    )  # noqa: E501
    first = json.loads(out.splitlines()[0])
    assert status == 0
    assert first == {"exch_ts": "2026-01-01 09:15:00.000000001+0530", "price": "123.45"}
    out_path = tmp_path / "rows.parquet"
    assert run(capsys, "dump", a, b, *options, "--out", str(out_path))[0] == 0
    import pyarrow.parquet as pq

    table = pq.read_table(out_path)
    want = pa.table(
        tidemark_tools.scan_feed([a, b], timestamps="datetime", tz="Asia/Kolkata", price_scale=2)
    )  # noqa: E501
    assert (
        table.column("exch_ts").cast(pa.int64()).to_pylist()
        == want.column("exch_ts").cast(pa.int64()).to_pylist()
    )  # noqa: E501
    assert table.column("trade_price").to_pylist() == want.column("trade_price").to_pylist()


def test_a_master_that_matches_no_token_of_a_file_warns(capsys, two_files):
    a, b = two_files
    status, _, err = run(capsys, "dump", a, b, "--master", MASTER, "--format", "jsonl")
    assert status == 0
    matched = {name for name in (a, b) if name in err}
    # Token 1001 is in the sample master, token 7 is not.
    assert matched == {b} and "matches no token" in err


@pytest.mark.parametrize(
    "argv, text",
    [
        (["--start", "2026-01-01T09:15:00"], "give its zone"),
        (["--end", "yesterday"], "invalid time"),
        (["--start", "NaT"], "invalid time 'NaT': an ISO-8601 time"),
        (["--columns", "seq_no,nope"], "unknown column 'nope'"),
        (["--tz", "Mars/Base"], "not a known IANA time zone"),
        (["--price-scale", "12"], "must be from 0 to 9"),
    ],
)
def test_option_errors(capsys, two_files, argv, text):
    status, out, err = run(capsys, "dump", two_files[0], *argv)
    assert status == 2 and out == "" and text in err
