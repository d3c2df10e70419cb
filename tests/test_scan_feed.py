"""scan_feed: a feed file as Arrow record batches, row for row the loader's dicts."""

import os
import random
import threading

import feedgen
import pyarrow as pa
import pytest
import tidemark

import tidemark_tools

U32, U64 = 2**32 - 1, 2**64 - 1
I32_MIN, I32_MAX = -(2**31), 2**31 - 1
MESSAGE_COLUMNS = [
    "message_kind", "seq_no", "msg_len", "stream_id", "msg_type", "exch_ts", "local_ts",
    "order_id", "buy_order_id", "sell_order_id", "token", "order_type", "price", "quantity",
    "trade_price", "trade_quantity", "flags",
]  # fmt: skip
CONTRACT_COLUMNS = ["token_symbol", "strike_price", "option_type", "expiry", "lot_size", "name"]
TYPES = {
    "seq_no": pa.uint32(), "msg_len": pa.uint16(), "stream_id": pa.uint16(),
    "exch_ts": pa.uint64(), "local_ts": pa.uint64(), "order_id": pa.uint64(),
    "buy_order_id": pa.uint64(), "sell_order_id": pa.uint64(), "token": pa.int64(),
    "price": pa.uint32(), "quantity": pa.uint32(), "trade_price": pa.int32(),
    "trade_quantity": pa.int32(), "flags": pa.bool_(), "strike_price": pa.int64(),
    "lot_size": pa.uint32(),
}  # fmt: skip
MASTER_TOKENS = [1, 7, 2**31, U32]


def edgy(rng, bits, signed=False):
    """A random value of a field, often at or past a boundary."""
    if signed:
        lo, hi = -(2 ** (bits - 1)), 2 ** (bits - 1) - 1
        return rng.choice([lo, -1, 0, 1, hi, rng.randint(lo, hi)])
    hi = 2**bits - 1
    return rng.choice([0, 1, 2 ** (bits - 1) - 1, 2 ** (bits - 1), hi, rng.randint(0, hi)])


def random_feed(rng, messages):
    """Records of every kind with edge values, padding between them and
    records of unknown types of every msg_len class."""
    out = []
    for i in range(messages):
        if rng.random() < 0.2:
            out.append(b" " * rng.randint(1, 3))
        if i > 0 and rng.random() < 0.15:
            msg_len = rng.choice([0, 5, 9, 10, 12, 60])
            body = bytes(rng.randrange(256) for _ in range(max(msg_len - 9, 0)))
            kind = rng.choice([b"A", b"Z", b"\x00", b"\x80", b"\xe9", b"\xff"])
            out.append(feedgen.other_record(kind, msg_len, body))
        msg_len = edgy(rng, 16)
        if msg_len & 0xFF == 0x20:  # a record starting with a space byte would be padding
            msg_len ^= 1
        common = dict(
            seq_no=edgy(rng, 32), stream_id=edgy(rng, 16), msg_len=msg_len,
            exch_ts=edgy(rng, 64), local_ts=edgy(rng, 64), flags=rng.choice([0, 1, 0x80, 0xFF]),
        )  # fmt: skip
        if rng.random() < 0.3:
            out.append(
                feedgen.trade_record(
                    buy_order_id=edgy(rng, 64),
                    sell_order_id=edgy(rng, 64),
                    token=rng.choice([edgy(rng, 32, True), 7, -1, I32_MIN]),
                    trade_price=edgy(rng, 32, True),
                    trade_quantity=edgy(rng, 32, True),
                    **common,
                )  # fmt: skip
            )
        else:
            out.append(
                feedgen.order_record(
                    rng.choice("NMX"),
                    order_id=edgy(rng, 64),
                    token=rng.choice([edgy(rng, 32), 1, 2**31, U32]),
                    order_type=rng.choice(
                        [b"B", b"S", b"\x00", b"\x7f", b"\x80", b"\xe9", b"\xff"]
                    ),
                    price=edgy(rng, 32),
                    quantity=edgy(rng, 32),
                    **common,
                )  # fmt: skip
            )
    if rng.random() < 0.5:
        out.append(b"  ")
    return b"".join(out)


@pytest.fixture(scope="module")
def master_csv(tmp_path_factory):
    path = tmp_path_factory.mktemp("master") / "master.csv"
    rows = ["Token,Symbol,Name,Expiry,StrikePrice,OptionType,LotSize"]
    for t in MASTER_TOKENS:
        rows.append(f"{t},SYM{t},Name é {t},1767088800,{t * 100},CE,{t % 1000}")
    path.write_text("\n".join(rows) + "\n")
    return str(path)


def loader_dicts(path, master=None):
    loader = tidemark.StreamingBinaryLoader()
    if master is not None:
        loader.attach_symbol_master(master)
    loader.open_stream(path, count_messages=False)
    out = []
    while (msg := loader.get_next_msg()) is not None:
        out.append(msg)
    return out


def expected_row(msg, columns):
    """The row rule: the dict's value under each column, null where it has none."""
    row = {c: msg.get(c) for c in columns}
    assert all(msg[k] is None for k in msg if k not in columns)
    return row


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("batch_rows", [1, 7, 4097, 65536])
@pytest.mark.parametrize("with_master", [False, True])
def test_rows_equal_the_loaders_dicts(feed_file, master_csv, seed, batch_rows, with_master):
    rng = random.Random(seed * 1000 + batch_rows)
    path = feed_file(random_feed(rng, 300 if batch_rows == 1 else 1500))
    master = None
    columns = MESSAGE_COLUMNS
    if with_master:
        master = tidemark.SymbolMaster()
        master.load(master_csv)
        columns = MESSAGE_COLUMNS + CONTRACT_COLUMNS
    expected = [expected_row(m, columns) for m in loader_dicts(path, master)]
    scan = tidemark_tools.scan_feed(path, master=master, batch_rows=batch_rows)
    table = pa.table(scan)
    assert table.column_names == columns
    assert table.to_pylist() == expected
    batches = table.to_batches()
    assert all(0 < b.num_rows <= batch_rows for b in batches)
    for name, type_ in TYPES.items():
        if name in columns:
            assert table.schema.field(name).type == type_
    for name in ["message_kind", "msg_type", "order_type", "token_symbol", "expiry", "name"]:
        if name in columns:
            type_ = table.schema.field(name).type
            if pa.types.is_dictionary(type_):
                type_ = type_.value_type
            assert pa.types.is_string(type_)


def test_master_by_path_equals_master_object(master_csv):
    path = "data/sample_feed.bin"
    master = tidemark.SymbolMaster()
    master.load(master_csv)
    by_object = pa.table(tidemark_tools.scan_feed(path, master=master))
    by_path = pa.table(tidemark_tools.scan_feed(path, master=master_csv))
    assert by_object.equals(by_path)


def test_master_is_a_snapshot(feed_file, master_csv):
    path = feed_file(feedgen.order_record(token=7), feedgen.order_record(token=8))
    master = tidemark.SymbolMaster()
    master.load(master_csv)
    scan = tidemark_tools.scan_feed(path, master=master)
    master.load("data/contract_master_fo_header.csv")
    assert pa.table(scan).column("token_symbol").to_pylist() == ["SYM7", None]


def test_pyarrow_polars_and_duckdb_agree(master_csv):
    import duckdb
    import polars as pl

    scan = tidemark_tools.scan_feed("data/sample_feed.bin", master=master_csv, batch_rows=333)
    table = pa.table(scan)
    rows = table.to_pylist()
    reader_rows = pa.RecordBatchReader.from_stream(scan).read_all().to_pylist()
    frame = pl.DataFrame(scan)
    duck = duckdb.sql("select * from scan")
    assert reader_rows == rows
    assert frame.to_dicts() == rows
    assert [dict(zip(duck.columns, r, strict=True)) for r in duck.fetchall()] == rows
    assert frame.columns == duck.columns == table.column_names
    polars_types = {
        pa.uint16(): pl.UInt16, pa.uint32(): pl.UInt32, pa.uint64(): pl.UInt64,
        pa.int32(): pl.Int32, pa.int64(): pl.Int64, pa.bool_(): pl.Boolean,
    }  # fmt: skip
    duck_types = {
        pa.uint16(): "USMALLINT", pa.uint32(): "UINTEGER", pa.uint64(): "UBIGINT",
        pa.int32(): "INTEGER", pa.int64(): "BIGINT", pa.bool_(): "BOOLEAN",
    }  # fmt: skip
    for field, pl_type, duck_type in zip(table.schema, frame.dtypes, duck.types, strict=True):
        if field.type in polars_types:
            assert pl_type == polars_types[field.type]
            assert str(duck_type) == duck_types[field.type]
        else:
            assert pl_type in (pl.String, pl.Categorical)
            assert str(duck_type) == "VARCHAR"


def test_to_pandas_is_lossless(feed_file):
    big = 2**64 - 3  # far above 2**53, where float64 would round it
    path = feed_file(
        feedgen.order_record(order_id=big, token=U32),
        feedgen.trade_record(buy_order_id=big - 1, token=-1, trade_price=I32_MIN),
    )
    scan = tidemark_tools.scan_feed(path)
    frame = scan.to_pandas()
    assert str(frame["order_id"].dtype) == "UInt64"
    assert frame["order_id"][0] == big
    assert frame["order_id"].isna().tolist() == [False, True]
    assert frame["buy_order_id"][1] == big - 1
    assert frame["token"].tolist() == [U32, -1]
    assert frame["trade_price"][1] == I32_MIN
    assert frame["msg_type"].astype(str).tolist() == ["N", "T"]
    assert frame.equals(tidemark_tools.to_pandas(pa.table(scan)))


def test_schema_capsule_and_requested_schema():
    scan = tidemark_tools.scan_feed("data/sample_feed.bin")
    schema = pa.schema(scan)
    assert schema == pa.table(scan).schema
    capsule = scan.__arrow_c_stream__(requested_schema=scan.__arrow_c_schema__())
    assert pa.RecordBatchReader._import_from_c_capsule(capsule).schema == schema
    assert repr(scan) == "FeedScan('data/sample_feed.bin', batch_rows=65536)"


def test_a_scan_can_be_consumed_again_and_concurrently():
    scan = tidemark_tools.scan_feed("data/sample_feed.bin", batch_rows=100)
    first = pa.RecordBatchReader.from_stream(scan)
    second = pa.RecordBatchReader.from_stream(scan)
    a = [first.read_next_batch() for _ in range(3)]
    b = second.read_all()
    a += list(first)
    assert pa.Table.from_batches(a).equals(b)
    assert pa.table(scan).equals(b)
    assert b.num_rows == len(loader_dicts("data/sample_feed.bin"))


def test_scans_in_two_threads(tmp_path):
    # pyarrow calls get_next with the interpreter lock released while other
    # threads run Python code: the stream must then leave the lock alone.
    paths = []
    for seed in (1, 2):
        path = tmp_path / f"feed{seed}.bin"
        feedgen.write_feed(str(path), 20_000, 50, seed)
        paths.append(str(path))
    results = {}

    def run(p):
        for _ in range(3):
            results[p] = pa.table(tidemark_tools.scan_feed(p, batch_rows=50))

    threads = [threading.Thread(target=run, args=(p,)) for p in paths]
    for t in threads:
        t.start()
    while any(t.is_alive() for t in threads):
        sum(range(1000))  # keep taking the lock from this thread
    for t in threads:
        t.join()
    for p in paths:
        assert results[p].to_pylist() == pa.table(tidemark_tools.scan_feed(p)).to_pylist()


# ---------------------------------------------------------------- errors


@pytest.mark.parametrize(
    "tail, text",
    [
        (feedgen.trade_record()[:20], "truncated message payload"),
        (feedgen.order_record()[:5], "truncated message header"),
        (feedgen.other_record("A", 40, b"x" * 10), "failed to fill whole buffer"),
    ],
)
@pytest.mark.parametrize("batch_rows", [1, 2, 65536])
def test_a_decode_error_mid_file_fails_the_stream(feed_file, tail, text, batch_rows):
    path = feed_file(feedgen.order_record(), b"  ", feedgen.trade_record(), tail)
    loader = tidemark.StreamingBinaryLoader()
    loader.open_stream(path, count_messages=False)
    loader.get_next_msg(), loader.get_next_msg()
    with pytest.raises(RuntimeError, match=f"^{text}$"):
        loader.get_next_msg()
    scan = tidemark_tools.scan_feed(path, batch_rows=batch_rows)
    with pytest.raises(OSError, match=text):
        pa.table(scan)
    # A consumer that takes batch by batch gets the rows before the error,
    # then the error, and never an end of stream.
    reader = pa.RecordBatchReader.from_stream(scan)
    rows = 0
    with pytest.raises(OSError, match=text):
        while True:
            rows += reader.read_next_batch().num_rows
    assert rows == 2
    with pytest.raises(OSError, match=text):
        reader.read_next_batch()


def test_a_decode_error_reaches_polars_and_duckdb(feed_file):
    import duckdb
    import polars as pl

    scan = tidemark_tools.scan_feed(feed_file(feedgen.order_record(), feedgen.trade_record()[:30]))
    with pytest.raises(Exception, match="truncated message payload"):
        pl.DataFrame(scan)
    with pytest.raises(Exception, match="truncated message payload"):
        duckdb.sql("select count(*) from scan").fetchall()


@pytest.mark.parametrize(
    "content",
    [b"", b"    ", b"abcde", feedgen.other_record("A", 12, b"xyz"), b" " + b"\x00" * 8],
)
def test_open_errors_are_the_loaders(feed_file, content):
    path = feed_file(content)
    with pytest.raises(RuntimeError) as expected:
        tidemark.StreamingBinaryLoader().open_stream(path, count_messages=False)
    with pytest.raises(RuntimeError) as got:
        tidemark_tools.scan_feed(path)
    assert str(got.value) == str(expected.value)


@pytest.mark.parametrize("path", ["/nonexistent/feed.bin", "data", "with\0nul"])
def test_unopenable_paths(path):
    with pytest.raises(RuntimeError) as expected:
        tidemark.StreamingBinaryLoader().open_stream(path, count_messages=False)
    with pytest.raises(RuntimeError) as got:
        tidemark_tools.scan_feed(path)
    assert str(got.value) == str(expected.value)


def test_a_file_removed_after_the_scan_was_made(feed_file):
    path = feed_file(feedgen.order_record())
    scan = tidemark_tools.scan_feed(path)
    os.remove(path)
    with pytest.raises(RuntimeError, match=r"\(os error 2\)"):
        pa.table(scan)


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        ({"path": 5}, TypeError, "argument 'path' must be a path"),
        ({"batch_rows": 0}, ValueError, "argument 'batch_rows' must be from 1 to"),
        ({"batch_rows": -5}, ValueError, "argument 'batch_rows' must be from 1 to"),
        ({"batch_rows": 2**64}, ValueError, "argument 'batch_rows' must be from 1 to"),
        ({"batch_rows": 1.0}, TypeError, "argument 'batch_rows' must be int, not float"),
        ({"batch_rows": True}, TypeError, "argument 'batch_rows' must be int, not bool"),
        ({"master": 42}, TypeError, "argument 'master' must be a SymbolMaster or the path"),
        ({"master": tidemark.OrderbookBuilder()}, TypeError, "argument 'master'"),
    ],
)
def test_argument_errors_name_the_argument(kwargs, error, text):
    kwargs = {"path": "data/sample_feed.bin"} | kwargs
    with pytest.raises(error, match=text.replace("(", r"\(")):
        tidemark_tools.scan_feed(**kwargs)


def test_native_argument_errors_name_the_argument():
    from tidemark_tools import _native

    with pytest.raises(TypeError, match="^argument 'master': 'int' object cannot be converted"):
        _native.scan_feed([b"data/sample_feed.bin"], ["f"], 5)
    with pytest.raises(ValueError, match="^argument 'batch_rows': must be at least 1, got 0$"):
        _native.scan_feed([b"data/sample_feed.bin"], ["f"], batch_rows=0)
    with pytest.raises(TypeError, match="^argument 'paths': 'str' object cannot be converted"):
        _native.scan_feed(["data/sample_feed.bin"], ["f"])


def test_a_missing_master_file_fails_with_the_loaders_text():
    with pytest.raises(RuntimeError) as expected:
        tidemark.SymbolMaster().load("/nonexistent/master.csv")
    with pytest.raises(RuntimeError) as got:
        tidemark_tools.scan_feed("data/sample_feed.bin", master="/nonexistent/master.csv")
    assert str(got.value) == str(expected.value)


# ---------------------------------------------------------------- memory


def _rss_and_reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _peak():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="the address sanitizer keeps freed memory in quarantine",
)
def test_memory_is_bounded_by_the_batch(tmp_path):
    path = tmp_path / "big.bin"
    block = b"".join(feedgen.generate(20_000, 100, 3))
    with open(path, "wb") as f:
        for _ in range(200 * 2**20 // len(block)):
            f.write(block)
    scan = tidemark_tools.scan_feed(str(path))
    try:
        before = _rss_and_reset_peak()
    except OSError:
        pytest.skip("peak resident size cannot be reset here")
    rows = 0
    for batch in pa.RecordBatchReader.from_stream(scan):
        rows += batch.num_rows
    grown = _peak() - before
    assert rows > 4_000_000
    assert grown < 64 * 2**20, f"grew by {grown / 2**20:.1f} MB"
