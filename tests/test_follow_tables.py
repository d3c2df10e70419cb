"""Following a growing file with the replay tables (trades, quotes and
book_series per message): the rows equal those of the finished file, a batch
comes out soon after its first row, and the stream ends on stop() or
idle_timeout, or fails when the file shrinks or is replaced."""

import os
import subprocess
import sys
import threading
import time

import feedgen
import pyarrow as pa
import pytest
from followed import read_until

import tidemark_tools

RECORDS = list(feedgen.generate(12000, 5, seed=33))
DATA = b"".join(RECORDS)
FIRST = len(RECORDS[0])

# A writer process: appends argv[2]'s bytes to argv[1] in random pieces that
# cut records, with pauses.
WRITER = """
import random, sys, time
data = open(sys.argv[2], "rb").read()
rng = random.Random(int(sys.argv[3]))
pos = 0
with open(sys.argv[1], "ab", buffering=0) as out:
    while pos < len(data):
        n = rng.randint(1, 6000)
        out.write(data[pos : pos + n])
        pos += n
        time.sleep(rng.random() * 0.01)
"""

TABLES = {
    "trades": lambda p, **kw: tidemark_tools.trades(p, **kw),
    "quotes": lambda p, **kw: tidemark_tools.quotes(p, levels=2, **kw),
    "book_series": lambda p, **kw: tidemark_tools.book_series(p, levels=3, **kw),
}


def _write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return str(path)


def _rows(table):
    # The file column names the file as given, which differs between a
    # followed file and the copy it is compared with.
    return (
        table.drop_columns(["file"]).to_pylist()
        if "file" in table.column_names
        else table.to_pylist()
    )


@pytest.mark.parametrize("name", sorted(TABLES))
@pytest.mark.parametrize("seed, batch_rows", [(1, 65536), (2, 1)])
def test_rows_equal_the_final_file(tmp_path, name, seed, batch_rows):
    make = TABLES[name]
    whole = _write(tmp_path / "whole.bin", DATA)
    path = _write(tmp_path / "live.bin", DATA[: FIRST + 20])  # a record cut short
    rest = _write(tmp_path / "rest.bin", DATA[FIRST + 20 :])
    writer = subprocess.Popen([sys.executable, "-c", WRITER, path, rest, str(seed)])
    try:
        got = pa.table(make(path, follow=True, idle_timeout=1.0, batch_rows=batch_rows))
    finally:
        writer.wait(timeout=60)
    assert _rows(got) == _rows(pa.table(make(whole)))


@pytest.mark.parametrize("name", sorted(TABLES))
def test_several_files_follow_the_last(tmp_path, name):
    # The first file is read to its end, then the last one is followed into
    # the same books.
    make = TABLES[name]
    half = sum(len(r) for r in RECORDS[:6000])
    done = _write(tmp_path / "a.bin", DATA[:half])
    live = _write(tmp_path / "b.bin", DATA[half : half + FIRST])
    rest = _write(tmp_path / "rest.bin", DATA[half + FIRST :])
    writer = subprocess.Popen([sys.executable, "-c", WRITER, live, rest, "5"])
    try:
        got = pa.table(make([done, live], follow=True, idle_timeout=1.0))
    finally:
        writer.wait(timeout=60)
    expected = pa.table(make([done, _write(tmp_path / "b2.bin", DATA[half:])]))
    assert _rows(got) == _rows(expected)


def _append_later(path, data, delay):
    def run():
        time.sleep(delay)
        with open(path, "ab") as f:
            f.write(data)

    thread = threading.Thread(target=run)
    thread.start()
    return thread


@pytest.mark.parametrize("name", sorted(TABLES))
def test_a_batch_goes_out_after_the_flush_interval_and_stop_ends(tmp_path, name):
    make = TABLES[name]
    some = sum(len(r) for r in RECORDS[:400])
    path = _write(tmp_path / "live.bin", DATA[:some])
    table = make(path, follow=True, flush_interval=0.05)
    reader = pa.RecordBatchReader.from_stream(table)
    first = reader.read_next_batch()  # far fewer rows than batch_rows
    more = sum(len(r) for r in RECORDS[:800])
    writer = _append_later(path, DATA[some:more], 0.1)
    start = time.monotonic()
    second = reader.read_next_batch()
    waited = time.monotonic() - start
    writer.join()
    expected = pa.table(make(_write(tmp_path / "ref.bin", DATA[:more])))
    rest = read_until(reader, table, expected.num_rows - first.num_rows - second.num_rows)
    got = pa.Table.from_batches([first, second, *rest])
    assert _rows(got) == _rows(expected)
    assert waited < 5  # handed out by the flush interval, not held for batch_rows rows


@pytest.mark.parametrize("name", sorted(TABLES))
def test_idle_timeout_ends_and_a_cut_record_fails(tmp_path, name):
    make = TABLES[name]
    path = _write(tmp_path / "live.bin", DATA[: FIRST + 10])
    with pytest.raises(OSError, match="truncated message"):
        pa.table(make(path, follow=True, idle_timeout=0.2))
    os.truncate(path, FIRST)
    expected = pa.table(make(path))
    assert _rows(pa.table(make(path, follow=True, idle_timeout=0.2))) == _rows(expected)


@pytest.mark.parametrize(
    "change, text",
    [
        (lambda p: os.truncate(p, 10), "shrank"),
        (lambda p: os.replace(_write(p + ".new", DATA), p), "replaced or removed"),
        (os.remove, "replaced or removed"),
    ],
)
@pytest.mark.parametrize("name", ["trades", "book_series"])
def test_a_file_that_shrinks_or_is_replaced_fails(tmp_path, name, change, text):
    some = sum(len(r) for r in RECORDS[:400])
    path = _write(tmp_path / "live.bin", DATA[:some])
    reader = pa.RecordBatchReader.from_stream(TABLES[name](path, follow=True))
    reader.read_next_batch()
    threading.Timer(0.2, change, args=(path,)).start()
    with pytest.raises(OSError, match=text):
        while True:
            reader.read_next_batch()


def test_waiting_costs_no_cpu(tmp_path):
    path = _write(tmp_path / "live.bin", DATA[:FIRST])
    table = tidemark_tools.quotes(path, follow=True)
    timer = threading.Timer(1.0, table.stop)
    cpu = time.process_time()
    timer.start()
    pa.table(table)
    timer.join()
    assert time.process_time() - cpu < 0.2


@pytest.mark.parametrize(
    "name, kwargs, error, text",
    [
        ("book_series", {"every_ns": 10}, ValueError, "grid"),
        ("trades", {"follow": 1}, TypeError, "follow"),
        ("quotes", {"flush_interval": -1}, ValueError, "flush_interval"),
        ("trades", {"idle_timeout": "1"}, TypeError, "idle_timeout"),
    ],
)
def test_follow_arguments(tmp_path, name, kwargs, error, text):
    path = _write(tmp_path / "f.bin", DATA[:FIRST])
    with pytest.raises(error, match=text):
        getattr(tidemark_tools, name)(path, **{"follow": True, **kwargs})


def test_compressed_files_cannot_be_followed(tmp_path):
    import gzip

    path = _write(tmp_path / "day.bin.gz", gzip.compress(DATA))
    with pytest.raises(RuntimeError, match="cannot be followed"):
        tidemark_tools.trades(path, follow=True)


OTHER = b"".join(feedgen.generate(8000, 4, seed=34, stream_id=2))
MERGED = {**TABLES, "scan_feed": lambda p, **kw: tidemark_tools.scan_feed(p, **kw)}


@pytest.mark.parametrize("name", sorted(MERGED))
def test_files_merged_by_time_are_all_followed(tmp_path, name):
    # Two files written at once by two writers: the merge waits for a head
    # from each live file, so the rows are those of the finished files.
    make = MERGED[name]
    lives, writers = [], []
    for k, data in enumerate((DATA, OTHER)):
        live = _write(tmp_path / f"live{k}.bin", data[:FIRST])
        rest = _write(tmp_path / f"rest{k}.bin", data[FIRST:])
        lives.append(live)
        writers.append(subprocess.Popen([sys.executable, "-c", WRITER, live, rest, str(k + 7)]))
    try:
        got = pa.table(make(lives, order="exch_ts", follow=True, idle_timeout=1.0, batch_rows=999))
    finally:
        for writer in writers:
            writer.wait(timeout=60)
    whole = [_write(tmp_path / "a.bin", DATA), _write(tmp_path / "b.bin", OTHER)]
    expected = pa.table(make(whole, order="exch_ts"))
    if "file" in got.column_names:
        got, expected = got.drop_columns(["file"]), expected.drop_columns(["file"])
    assert _rows(got) == _rows(expected)


def test_a_merge_hands_out_rows_while_another_file_is_quiet(tmp_path):
    # The quiet file has one record, stamped amid the live file's: the merge
    # cannot pass the quiet file once that head is taken, yet the rows merged
    # before go out after the flush interval instead of being held.
    quiet_ts = int.from_bytes(RECORDS[150][9:17], "little")
    quiet = _write(tmp_path / "quiet.bin", feedgen.order_record(exch_ts=quiet_ts, seq_no=1))
    some = sum(len(r) for r in RECORDS[:300])
    live = _write(tmp_path / "live.bin", DATA[:some])
    scan = tidemark_tools.scan_feed(
        [live, quiet], order="exch_ts", follow=True, flush_interval=0.05
    )
    reader = pa.RecordBatchReader.from_stream(scan)
    start = time.monotonic()
    first = reader.read_next_batch()
    assert time.monotonic() - start < 5
    assert first.num_rows > 0
    assert first.column("exch_ts").to_pylist()[-1] <= quiet_ts
    scan.stop()
