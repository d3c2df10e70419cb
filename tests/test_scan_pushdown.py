"""scan_feed's narrowing and converting options: columns, filters, several
files, timestamps and decimal prices, against the loader's dicts."""

import datetime as dt
import decimal
import os
import random

import feedgen
import pyarrow as pa
import pytest
import tidemark
from test_scan_feed import CONTRACT_COLUMNS, MESSAGE_COLUMNS, loader_dicts, random_feed

import tidemark_tools


def book_key(msg):
    return msg["token"] & 0xFFFFFFFF


def reference(paths, master=None, columns=None, tokens=None, types=None, start=None, end=None,
              limit=None):  # fmt: skip
    """The row rule in plain Python: the loader's dicts of the files one after
    another, filtered, limited and projected."""
    default = MESSAGE_COLUMNS + (CONTRACT_COLUMNS if master is not None else [])
    if len(paths) > 1:
        default = default + ["file"]
    columns = default if columns is None else columns
    rows = []
    for path in paths:
        for msg in loader_dicts(path, master):
            if tokens is not None and book_key(msg) not in tokens:
                continue
            if types is not None and msg["msg_type"] not in types:
                continue
            if start is not None and msg["exch_ts"] < start:
                continue
            if end is not None and msg["exch_ts"] >= end:
                continue
            msg = dict(msg, file=path)
            rows.append({c: msg.get(c) for c in columns})
    return rows[:limit] if limit is not None else rows


def random_options(rng, dicts, with_master):
    names = MESSAGE_COLUMNS + (CONTRACT_COLUMNS if with_master else []) + ["file"]
    options = {}
    if rng.random() < 0.6:
        options["columns"] = rng.sample(names, rng.randint(1, 6))
    if rng.random() < 0.5:
        keys = sorted({book_key(m) for m in dicts})
        options["tokens"] = rng.sample(keys, min(len(keys), rng.randint(1, 3))) + [12345]
    if rng.random() < 0.5:
        options["types"] = "".join(rng.sample("NMXT", rng.randint(1, 3)))
    if rng.random() < 0.5:
        stamps = sorted(m["exch_ts"] for m in dicts)
        options["start"] = rng.choice(stamps)
        if rng.random() < 0.7:
            options["end"] = rng.choice(stamps) + rng.choice([0, 1])
    if rng.random() < 0.4:
        options["limit"] = rng.randint(0, 200)
    return options


@pytest.mark.parametrize("seed", range(12))
@pytest.mark.parametrize("batch_rows", [1, 3, 1000])
def test_random_options_follow_the_row_rule(feed_file, seed, batch_rows, request):
    rng = random.Random(seed * 7919 + batch_rows)
    paths = [feed_file(random_feed(rng, rng.randint(20, 300))) for _ in range(rng.randint(1, 3))]
    master = None
    if seed % 3 == 0:
        master = tidemark.SymbolMaster()
        master.load(request.getfixturevalue("master_csv"))
    dicts = [m for p in paths for m in loader_dicts(p)]
    options = random_options(rng, dicts, master is not None)
    expected = reference(paths, master, **options)
    scan = tidemark_tools.scan_feed(
        paths if len(paths) > 1 or rng.random() < 0.5 else paths[0],
        master=master,
        batch_rows=batch_rows,
        **options,
    )
    table = pa.table(scan)
    assert table.to_pylist() == expected, options
    assert all(0 < b.num_rows <= batch_rows for b in table.to_batches())
    if "columns" in options:
        assert table.column_names == options["columns"]


# Columns an unfiltered scan writes straight from each record as it frames it.
FIXED_WIDTH = [c for c in MESSAGE_COLUMNS if c not in ("flags", "order_type")] + ["file"]
BAD_TAILS = [
    (feedgen.trade_record()[:20], "truncated message payload"),
    (feedgen.order_record()[:5], "truncated message header"),
    (feedgen.other_record("A", 40, b"x" * 10), "failed to fill whole buffer"),
]


@pytest.mark.parametrize("seed", range(10))
@pytest.mark.parametrize("batch_rows", [1, 7, 1000])
def test_fixed_width_projections_follow_the_row_rule(feed_file, seed, batch_rows):
    """Random fixed-width columns of one or several files, unfiltered, with
    and without a limit; a file may end in a decode error, which comes after
    every row before it, named when there are several files."""
    rng = random.Random(seed * 104729 + batch_rows)
    contents = [random_feed(rng, rng.randint(1, 400)) for _ in range(rng.randint(1, 3))]
    bad = rng.randrange(len(contents)) if seed % 3 == 0 else None
    tail, text = BAD_TAILS[seed % len(BAD_TAILS)]
    paths = [feed_file(c, tail if i == bad else b"") for i, c in enumerate(contents)]
    columns = rng.sample(FIXED_WIDTH, rng.randint(1, 5))
    limit = rng.choice([None, None, rng.randint(0, 500)])
    # The rows are those of the files read up to the bad one, without its tail.
    good = paths if bad is None else paths[:bad] + [feed_file(contents[bad])]
    expected = reference(good, columns=columns, limit=limit)
    fails = bad is not None and (limit is None or limit > len(expected))
    for row in expected:
        if "file" in row:
            row["file"] = paths[good.index(row["file"])]
    scan = tidemark_tools.scan_feed(
        paths if len(paths) > 1 else paths[0], columns=columns, limit=limit, batch_rows=batch_rows
    )
    reader = pa.RecordBatchReader.from_stream(scan)
    batches = []
    if fails:
        name = f"{paths[bad]}: " if len(paths) > 1 else ""
        with pytest.raises(OSError, match=f"{name}{text}"):
            while True:
                batches.append(reader.read_next_batch())
    else:
        batches = list(reader)
    table = pa.Table.from_batches(batches, schema=reader.schema)
    assert table.column_names == columns
    assert table.to_pylist() == expected
    assert all(0 < b.num_rows <= batch_rows for b in batches)


@pytest.fixture(scope="module")
def master_csv(tmp_path_factory):
    from test_scan_feed import MASTER_TOKENS

    path = tmp_path_factory.mktemp("master") / "master.csv"
    rows = ["Token,Symbol,Name,Expiry,StrikePrice,OptionType,LotSize"]
    for t in MASTER_TOKENS:
        rows.append(f"{t},SYM{t},Name {t},1767088800,{t * 100},CE,{t % 1000}")
    path.write_text("\n".join(rows) + "\n")
    return str(path)


def test_a_filtered_scan_stops_at_its_limit_and_reads_files_in_order(feed_file):
    a = feed_file(*(feedgen.order_record(seq_no=i, token=1) for i in range(5)))
    b = feed_file(*(feedgen.trade_record(seq_no=10 + i, token=2) for i in range(5)))
    table = pa.table(tidemark_tools.scan_feed([b, a, b], columns=["seq_no", "file"], limit=12))
    assert table.column("seq_no").to_pylist() == [10, 11, 12, 13, 14, 0, 1, 2, 3, 4, 10, 11]
    assert table.column("file").to_pylist() == [b] * 5 + [a] * 5 + [b] * 2
    one = pa.table(tidemark_tools.scan_feed(a, columns=["file", "token"], types="N"))
    assert one.to_pylist() == [{"file": a, "token": 1}] * 5


# ---------------------------------------------------------------- conversions


def test_timestamps_and_decimal_prices_are_exact(feed_file):
    rng = random.Random(5)
    path = feed_file(random_feed(rng, 400))
    dicts = [m for m in loader_dicts(path) if m["exch_ts"] < 2**63 and m["local_ts"] < 2**63]
    keep = {m["seq_no"] for m in dicts}
    # Only rows whose timestamps fit, by selecting them through start/end is
    # not possible for local_ts: rebuild a file of just those records.
    path = feed_file(
        *(
            feedgen.trade_record(**{k: m[k] for k in ("seq_no", "exch_ts", "local_ts",
                                                      "trade_price", "token")})
            if m["message_kind"] == "trade"
            else feedgen.order_record(m["msg_type"], **{k: m[k] for k in (
                "seq_no", "exch_ts", "local_ts", "price", "token")})
            for m in dicts
        )
    )  # fmt: skip
    assert keep
    for scale in range(10):
        scan = tidemark_tools.scan_feed(
            path, timestamps="datetime", tz="Asia/Kolkata", price_scale=scale
        )
        table = pa.table(scan)
        for name in ("exch_ts", "local_ts"):
            assert table.schema.field(name).type == pa.timestamp("ns", "Asia/Kolkata")
            assert table.column(name).cast(pa.int64()).to_pylist() == [m[name] for m in dicts]
        for name in ("price", "trade_price"):
            assert table.schema.field(name).type == pa.decimal128(18, scale)
            want = [
                None if m.get(name) is None else decimal.Decimal(m[name]).scaleb(-scale)
                for m in dicts
            ]
            assert table.column(name).to_pylist() == want


@pytest.mark.parametrize("column", ["exch_ts", "local_ts"])
def test_a_timestamp_past_int64_fails_naming_column_and_seq_no(feed_file, column):
    good = [feedgen.order_record(seq_no=i, exch_ts=i, local_ts=i) for i in range(3)]
    bad = feedgen.order_record(seq_no=77, **{"exch_ts": 1, "local_ts": 1, column: 2**63})
    path = feed_file(*good, bad, *good)
    reader = pa.RecordBatchReader.from_stream(
        tidemark_tools.scan_feed(path, timestamps="datetime", batch_rows=2)
    )
    rows = 0
    with pytest.raises(Exception, match=f"{column} of the message with seq_no 77 is {2**63}"):
        for batch in reader:
            rows += batch.num_rows
    assert rows == 3
    # Not asked for as a timestamp, or not asked for at all: no error.
    assert pa.table(tidemark_tools.scan_feed(path)).num_rows == 7
    other = "local_ts" if column == "exch_ts" else "exch_ts"
    scan = tidemark_tools.scan_feed(path, timestamps="datetime", columns=["seq_no", other])
    assert pa.table(scan).num_rows == 7


# ---------------------------------------------------------------- files


def test_errors_name_the_file_with_several_paths(feed_file, tmp_path):
    good = feed_file(feedgen.order_record())
    empty = feed_file(b"")
    text = "file is empty or missing a complete message header"
    with pytest.raises(RuntimeError, match=f"^{text}$"):
        tidemark_tools.scan_feed(empty)
    with pytest.raises(RuntimeError, match=f"^{empty}: {text}$"):
        tidemark_tools.scan_feed([good, empty])
    cut = feed_file(feedgen.order_record(), feedgen.trade_record()[:20])
    with pytest.raises(Exception, match=f"{cut}: truncated message payload"):
        pa.table(tidemark_tools.scan_feed([good, cut]))
    # A file removed after the call fails the stream when it is reached.
    gone = feed_file(feedgen.order_record())
    scan = tidemark_tools.scan_feed([good, gone])
    os.remove(gone)
    with pytest.raises(Exception, match=f"{gone}: .*os error 2"):
        pa.table(scan)


def test_paths_that_are_not_utf8(tmp_path):
    raw = os.fsencode(str(tmp_path)) + b"/feed-\xff.bin"
    with open(raw, "wb") as f:
        f.write(feedgen.order_record(seq_no=9))
    shown = str(tmp_path) + "/feed-\\xff.bin"
    assert pa.table(tidemark_tools.scan_feed(raw, columns=["seq_no"])).to_pylist() == [
        {"seq_no": 9}
    ]
    table = pa.table(tidemark_tools.scan_feed([raw, os.fsdecode(raw)], columns=["file"]))
    assert table.column("file").to_pylist() == [shown, shown]
    with pytest.raises(RuntimeError, match="feed-\\\\xff-missing.bin: .*os error 2"):
        tidemark_tools.scan_feed([raw, raw.replace(b".bin", b"-missing.bin")])


# ---------------------------------------------------------------- arguments


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        ({"columns": ["seq_no", "nope"]}, ValueError, "unknown column 'nope'; the columns are"),
        ({"columns": ["seq_no", "seq_no"]}, ValueError, "'seq_no' is asked for twice"),
        ({"columns": ["token_symbol"]}, ValueError, "unknown column 'token_symbol'"),
        ({"columns": "seq_no"}, TypeError, "argument 'columns'"),
        ({"columns": [1]}, TypeError, "argument 'columns'"),
        ({"tokens": [-1]}, ValueError, "argument 'tokens'"),
        ({"tokens": 5}, TypeError, "argument 'tokens'"),
        ({"types": ["Q"]}, ValueError, "argument 'types'"),
        ({"types": ["NT", "A"]}, ValueError, "argument 'types'"),
        ({"start": dt.datetime(2026, 1, 1)}, ValueError, "argument 'start' is a naive"),
        ({"end": "2026-01-01"}, TypeError, "argument 'end'"),
        ({"limit": -1}, ValueError, "argument 'limit'"),
        ({"limit": 1.5}, TypeError, "argument 'limit'"),
        ({"timestamps": "iso"}, ValueError, "argument 'timestamps'"),
        ({"tz": "Nowhere/City"}, ValueError, "argument 'tz'"),
        ({"tz": 5}, TypeError, "argument 'tz'"),
        ({"price_scale": 10}, ValueError, "argument 'price_scale'"),
        ({"price_scale": -1}, ValueError, "argument 'price_scale'"),
        ({"paths": []}, ValueError, "argument 'paths' is empty"),
        ({"paths": ["data/sample_feed.bin", 3]}, TypeError, "argument 'paths'"),
    ],
)
def test_argument_errors(kwargs, error, text):
    kwargs = {"paths": "data/sample_feed.bin"} | kwargs
    with pytest.raises(error, match=text):
        tidemark_tools.scan_feed(**kwargs)


def test_numpy_integers_and_empty_ranges():
    np = pytest.importorskip("numpy")
    full = pa.table(tidemark_tools.scan_feed("data/sample_feed.bin"))
    token = full.column("token")[0].as_py() & 0xFFFFFFFF
    scan = tidemark_tools.scan_feed(
        "data/sample_feed.bin", tokens=np.array([token]), limit=np.int64(3), batch_rows=np.uint8(2)
    )
    assert pa.table(scan).num_rows == 3
    stamps = full.column("exch_ts").to_pylist()
    for start, end in [(stamps[0], stamps[0]), (2**64, None), (None, 0), (-5, -1)]:
        scan = tidemark_tools.scan_feed("data/sample_feed.bin", start=start, end=end)
        assert pa.table(scan).num_rows == 0
    everything = tidemark_tools.scan_feed("data/sample_feed.bin", start=-(2**70), end=2**70)
    assert pa.table(everything).num_rows == full.num_rows
