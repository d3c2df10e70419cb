"""Parquet and JSON Lines from the `tidemark` command read back exactly:
plain pandas.read_parquet gives nullable integer dtypes with every id
exact, and each JSON line is the scan's row."""

import json

import feedgen
import pyarrow as pa
import pytest

import tidemark_tools
from tidemark_tools.cli import main

pd = pytest.importorskip("pandas")

BIG = 2**63 + 12345  # an id no float64 holds exactly


@pytest.fixture
def big_ids(feed_file):
    return feed_file(
        feedgen.order_record(order_id=BIG, token=7, seq_no=1, exch_ts=10),
        feedgen.order_record(order_id=2**53 + 1, token=7, seq_no=2, exch_ts=20, order_type="B"),
        feedgen.trade_record(buy_order_id=2**53 + 1, sell_order_id=BIG, token=7, seq_no=3),
    )


def run(capsys, *argv):
    status = main([str(a) for a in argv])
    capsys.readouterr()
    return status


def test_dump_parquet_reads_back_losslessly_with_plain_pandas(capsys, tmp_path, big_ids):
    out = tmp_path / "rows.parquet"
    assert run(capsys, "dump", big_ids, "--out", out) == 0
    frame = pd.read_parquet(out)
    assert str(frame["order_id"].dtype) == "UInt64"
    assert str(frame["trade_price"].dtype) == "Int32"
    assert str(frame["flags"].dtype) == "boolean"
    assert frame["order_id"].tolist()[:2] == [BIG, 2**53 + 1]
    assert frame["order_id"].isna().tolist() == [False, False, True]
    assert frame["sell_order_id"].tolist()[2] == BIG
    expected = tidemark_tools.scan_feed(big_ids).to_pandas()
    pd.testing.assert_frame_equal(frame, expected, check_categorical=False, check_dtype=False)
    for name in expected:
        if not isinstance(expected[name].dtype, pd.CategoricalDtype):
            assert frame[name].dtype == expected[name].dtype, name


def test_book_parquet_reads_back_losslessly_with_plain_pandas(capsys, tmp_path, big_ids):
    out = tmp_path / "books.parquet"
    assert run(capsys, "book", big_ids, "--levels", "2", "--out", out) == 0
    frame = pd.read_parquet(out)
    assert str(frame["exch_ts"].dtype) == "UInt64"
    assert str(frame["bid_qty_0"].dtype) == "UInt64"
    assert len(frame) == pa.table(tidemark_tools.book_series(big_ids, levels=2)).num_rows


def test_parquet_of_many_batches_holds_every_row_in_order(capsys, tmp_path):
    path = tmp_path / "feed.bin"
    feedgen.write_feed(str(path), 150_000, 30, seed=4)
    out = tmp_path / "rows.parquet"
    assert run(capsys, "dump", path, "--out", out) == 0
    import pyarrow.parquet as pq

    written = pq.read_table(out)
    scanned = pa.table(tidemark_tools.scan_feed(str(path)))
    assert written.num_rows == scanned.num_rows
    for name in ("seq_no", "exch_ts", "order_id", "sell_order_id", "price", "token"):
        assert written[name].equals(scanned[name]), name


@pytest.mark.parametrize("master", [None, "data/contract_master_fo_header.csv"])
def test_jsonl_lines_are_the_scans_rows(capsys, tmp_path, big_ids, master):
    from pathlib import Path

    root = Path(__file__).resolve().parent.parent
    options = [] if master is None else ["--master", root / master]
    out = tmp_path / "rows.jsonl"
    assert run(capsys, "dump", big_ids, *options, "--out", out) == 0
    lines = [json.loads(line) for line in out.read_text().splitlines()]
    scan = tidemark_tools.scan_feed(big_ids, master=None if master is None else str(root / master))
    assert lines == pa.table(scan).to_pylist()


def dictionary_batch(values, dictionary):
    """A one-column batch of strings coded against `dictionary` (None: null)."""
    indices = pa.array([None if v is None else dictionary.index(v) for v in values], pa.uint8())
    column = pa.DictionaryArray.from_arrays(indices, pa.array(dictionary))
    return pa.record_batch([column], names=["side"])


@pytest.mark.parametrize("with_nulls", [False, True])
def test_parquet_keeps_columns_dictionary_encoded_when_batches_order_them_apart(with_nulls):
    import io

    import pyarrow.parquet as pq

    from tidemark_tools.cli._write import write_parquet

    tail = [None] if with_nulls else []
    batches = [
        dictionary_batch(["B", "S"] * 2000, ["B", "S"]),
        dictionary_batch(["S", "B", *tail] * 2000, ["S", "B"]),
        dictionary_batch(["X", "S"] * 2000, ["X", "S"]),
    ]
    out = io.BytesIO()
    assert write_parquet(iter(batches), batches[0].schema, out) == sum(b.num_rows for b in batches)
    parquet = pq.ParquetFile(io.BytesIO(out.getvalue()))
    # Indices into a three-word dictionary take a few bits a row; plain
    # strings (what a writer falls back to) take at least five bytes.
    chunk = parquet.metadata.row_group(0).column(0)
    assert chunk.total_uncompressed_size < parquet.metadata.num_rows
    expected = [v for b in batches for v in b.column(0).to_pylist()]
    assert parquet.read().column("side").to_pylist() == expected


def test_parquet_row_groups_are_written_in_order_and_a_failure_is_raised(monkeypatch, tmp_path):
    import pyarrow.parquet as pq

    from tidemark_tools.cli import _write

    monkeypatch.setattr(_write, "ROW_GROUP_ROWS", 3)
    batches = [
        pa.record_batch([pa.array([i, i + 1], pa.uint64())], names=["seq_no"])
        for i in range(0, 40, 2)
    ]
    out = tmp_path / "rows.parquet"
    with open(out, "wb") as f:
        assert _write.write_parquet(iter(batches), batches[0].schema, f) == 40
    parquet = pq.ParquetFile(out)
    assert parquet.metadata.num_row_groups == 10
    assert parquet.read().column("seq_no").to_pylist() == list(range(40))

    def failing():
        yield from batches[:7]
        raise OSError("the feed went away")

    with open(tmp_path / "partial.parquet", "wb") as f, pytest.raises(OSError, match="went away"):
        _write.write_parquet(failing(), batches[0].schema, f)


@pytest.fixture(scope="module")
def market_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("market") / "market.bin"
    feedgen.write_feed(str(path), 60_000, 40, seed=9, mode="market")
    return path


@pytest.mark.parametrize(
    "command",
    [["dump"], ["book", "--levels", "5"], ["quotes"], ["trades"], ["bars", "--every", "1m"]],
    ids=lambda c: c[0],
)
def test_parquet_is_the_table_and_no_larger_than_pyarrow_defaults(
    capsys, tmp_path, market_file, command
):
    # Columns that repeat (prices and quantities of a book, bar starts) are
    # stored as dictionaries, found from the first rows: a fixed choice of
    # plain values gave book files a third larger than pyarrow's defaults.
    import pyarrow.parquet as pq

    out = tmp_path / "out.parquet"
    assert run(capsys, command[0], market_file, *command[1:], "--out", out) == 0
    written = pq.read_table(out)
    again = tmp_path / "pyarrow.parquet"
    pq.write_table(written, again)
    assert out.stat().st_size <= again.stat().st_size
    assert written.num_rows > 1000
    csv = tmp_path / "out.csv"
    assert run(capsys, command[0], market_file, *command[1:], "--format", "csv", "--out", csv) == 0
    from pyarrow import csv as pacsv

    from tidemark_tools.cli._write import plain_schema

    plain = plain_schema(written.schema)
    options = pacsv.ConvertOptions(column_types=plain, strings_can_be_null=True)
    assert written.cast(plain).equals(pacsv.read_csv(csv, convert_options=options))
