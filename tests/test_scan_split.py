"""A filtered scan of a large regular file reads its two halves at once. Its
rows and its error must be those of the whole scan filtered afterwards, where
the second half is guessed right, where the guess falls inside a record,
where a limit or the end of the file falls in either half, and when the file
is shortened while it is read."""

import os
import random

import feedgen
import pyarrow as pa
import pyarrow.compute as pc
import pytest
from test_scan_feed import random_feed

import tidemark_tools

# Files at least this large are read in two halves.
SPLIT_SIZE = 32 << 20
COLUMNS = ["seq_no", "msg_type", "exch_ts", "token", "price", "trade_price", "flags"]


def copies(rng, size):
    """Runs of whole records (with padding and records of other types) of
    about `size` bytes in all: a random block repeated, each copy ending with
    an order of a token of its own."""
    block = random_feed(rng, 4000)
    return [block + feedgen.order_record(token=50_000 + k) for k in range(size // len(block) + 1)]


def stream(scan):
    """The table a stream hands out before it fails, and the failure's text."""
    reader = pa.RecordBatchReader.from_stream(scan)
    batches = []
    try:
        for batch in reader:
            batches.append(batch)
    except Exception as exc:  # pyarrow wraps the stream's error in its own type
        return pa.Table.from_batches(batches, reader.schema), str(exc)
    return pa.Table.from_batches(batches, reader.schema), None


def expected(path, tokens=None, types=None, limit=None):
    """The whole scan, filtered afterwards, and its error."""
    table, error = stream(tidemark_tools.scan_feed(path, columns=COLUMNS))
    kept = table
    if tokens is not None:
        keys = pc.bit_wise_and(kept["token"], pa.scalar(0xFFFFFFFF, pa.int64()))
        kept = kept.filter(pc.is_in(keys, pa.array(tokens, pa.int64())))
    if types is not None:
        kept = kept.filter(pc.is_in(pc.cast(kept["msg_type"], pa.string()), pa.array(list(types))))
    if limit is not None and kept.num_rows >= limit:
        return kept.slice(0, limit), None
    return kept, error


def same(got, want):
    assert got.num_rows == want.num_rows
    for name in COLUMNS:
        a, b = got[name].combine_chunks(), want[name].combine_chunks()
        if name == "msg_type":
            a, b = pc.cast(a, pa.string()), pc.cast(b, pa.string())
        assert a.equals(b), name


@pytest.fixture(scope="module")
def runs():
    return copies(random.Random(5), SPLIT_SIZE + (1 << 20))


def guessed_right(runs):
    return b"".join(runs)


def guessed_inside_a_record(runs):
    """A file whose middle lies inside a long record of another type that
    holds a run of well-formed records: the guessed second half starts there,
    and only the framing from the start shows it is not a record."""
    fake = b"".join(feedgen.order_record(token=9) for _ in range(100))
    skipped = feedgen.other_record("Q", 65535, b"\x01" * 300 + fake)
    skipped += b"\x01" * (65535 - len(skipped))
    tail = b"".join(runs[: len(runs) // 2])
    # The head is padded with spaces so that the file's middle falls 100
    # bytes into the skipped record.
    head_size = len(tail) + len(skipped) - 200
    head = b""
    for run in runs:
        if len(head) + len(run) > head_size:
            break
        head += run
    return head + b" " * (head_size - len(head)) + skipped + tail


LAYOUTS = {
    "guessed right": guessed_right,
    "guessed inside a record": guessed_inside_a_record,
}
ENDINGS = {
    "clean": b"",
    "cut trade": feedgen.trade_record(token=7)[:50],
    "cut skipped record": feedgen.other_record("Z", 400, b"\0" * 100),
}


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("ending", ENDINGS)
def test_both_halves_give_the_whole_scans_rows_and_error(feed_file, runs, layout, ending):
    path = feed_file(LAYOUTS[layout](runs), ENDINGS[ending])
    assert os.path.getsize(path) > SPLIT_SIZE
    whole, _ = expected(path)
    keys = sorted(set(pc.bit_wise_and(whole["token"], 0xFFFFFFFF).to_pylist()))
    rng = random.Random(len(layout) * 7 + len(ending))
    for options in [
        {"tokens": [rng.choice(keys)]},
        {"tokens": rng.sample(keys, 30), "types": "NT"},
        {"types": "T"},
        {"types": "NMXT"},  # keeps every row, more than the second half holds
    ]:
        got = stream(tidemark_tools.scan_feed(path, columns=COLUMNS, **options))
        want = expected(path, **options)
        same(got[0], want[0])
        assert got[1] == want[1]


@pytest.mark.parametrize("layout", LAYOUTS)
def test_a_limit_in_either_half(feed_file, runs, layout):
    path = feed_file(LAYOUTS[layout](runs))
    every, _ = expected(path, types="NMXT")
    for limit in [10, every.num_rows // 2 - 3, every.num_rows // 2 + 3, every.num_rows - 1]:
        got, error = stream(
            tidemark_tools.scan_feed(path, columns=COLUMNS, types="NMXT", limit=limit)
        )
        assert error is None
        same(got, every.slice(0, limit))


@pytest.mark.parametrize("left", [0.25, 0.75])
def test_a_file_shortened_while_read(feed_file, runs, left):
    # The first half has read its first buffer and the second half holds at
    # most what it may before the file is cut to a quarter or three
    # quarters: the scan ends as a scan of the shortened file would, never
    # worse (a read past the end just ends early; nothing is mapped).
    path = feed_file(guessed_right(runs))
    reader = pa.RecordBatchReader.from_stream(
        tidemark_tools.scan_feed(path, columns=COLUMNS, types="NMXT", batch_rows=1000)
    )
    first = reader.read_next_batch()
    os.truncate(path, int(os.path.getsize(path) * left))
    batches = [first]
    error = None
    try:
        for batch in reader:
            batches.append(batch)
    except Exception as exc:
        error = str(exc)
    got = pa.Table.from_batches(batches, reader.schema)
    want, want_error = expected(path, types="NMXT")
    same(got, want)
    assert error == want_error
