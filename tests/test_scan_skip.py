"""A filtered scan steps over the records it drops without decoding them: its
rows and its error must be those of the whole scan filtered afterwards, also
where records straddle the reader's buffer and where the file ends badly."""

import random

import feedgen
import pyarrow as pa
import pytest
from test_scan_feed import random_feed

import tidemark_tools

# Ways a file can end: cleanly, or cut short in each part of a record.
ENDINGS = {
    "clean": b"",
    "padding": b"   ",
    "cut header": feedgen.order_record()[:5],
    "cut order": feedgen.order_record(token=7)[:30],
    "cut trade": feedgen.trade_record(token=7)[:50],
    "cut skipped record": feedgen.other_record("Z", 400, b"\0" * 100),
}


def rows_and_error(scan):
    """The rows a stream hands out before it fails, and the failure's text."""
    reader = pa.RecordBatchReader.from_stream(scan)
    rows = []
    try:
        for batch in reader:
            rows.extend(batch.to_pylist())
    except Exception as exc:  # pyarrow wraps the stream's error in its own type
        return rows, str(exc)
    return rows, None


def big_feed(rng, ending, pieces=12):
    """Several buffers' worth of records with padding, records of other types
    (some tens of KB long, so they straddle buffer refills) and an ending."""
    parts = []
    for _ in range(pieces):
        parts.append(random_feed(rng, 600))
        if rng.random() < 0.5:
            msg_len = rng.randint(20_000, 65_535) | 1  # a low byte of 0x20 would be padding
            parts.append(feedgen.other_record("Q", msg_len, b"\x01" * (msg_len - 9)))
    return b"".join(parts) + ending


def keep(row, tokens, types, start, end):
    return (
        (tokens is None or row["token"] & 0xFFFFFFFF in tokens)
        and (types is None or row["msg_type"] in types)
        and (start is None or row["exch_ts"] >= start)
        and (end is None or row["exch_ts"] < end)
    )


@pytest.mark.parametrize("ending", ENDINGS)
@pytest.mark.parametrize("seed", range(3))
def test_filtered_rows_and_errors_equal_the_whole_scan_filtered(feed_file, ending, seed):
    rng = random.Random(seed * 31 + len(ending))
    path = feed_file(big_feed(rng, ENDINGS[ending]))
    check_filters(rng, path, ending, rounds=4)


@pytest.mark.parametrize("ending", ["clean", "cut order", "cut skipped record"])
def test_filters_hold_across_the_refills_of_a_filtered_scans_larger_buffer(feed_file, ending):
    # A filtered scan reads in larger pieces than a whole one: a file of
    # several of those pieces, so that records and padding straddle them too.
    rng = random.Random(len(ending))
    data = big_feed(rng, ENDINGS[ending], pieces=90)
    assert len(data) > 3 << 20
    check_filters(rng, feed_file(data), ending, rounds=3, every_type=True)


def check_filters(rng, path, ending, rounds, every_type=False):
    """The rows and error of random filters equal the whole scan's, filtered."""
    everything, error = rows_and_error(tidemark_tools.scan_feed(path))
    assert len(everything) > 5000
    assert (error is None) == (ending in ("clean", "padding"))
    keys = sorted({r["token"] & 0xFFFFFFFF for r in everything})
    stamps = sorted(r["exch_ts"] for r in everything)
    for i in range(rounds):
        tokens = set(rng.sample(keys, rng.randint(1, 20))) if rng.random() < 0.7 else None
        types = "".join(rng.sample("NMXT", rng.randint(1, 3))) if rng.random() < 0.5 else None
        if every_type and i == 0:
            # Keeps every record while still taking the filtered path.
            tokens, types = None, "NMXT"
        start = end = None
        if rng.random() < 0.4:
            start, end = sorted(rng.sample(stamps, 2))
        expected = [r for r in everything if keep(r, tokens, types, start, end)]
        rows, got_error = rows_and_error(
            tidemark_tools.scan_feed(
                path,
                tokens=tokens,
                types=types,
                start=start,
                end=end,
                batch_rows=rng.choice([1, 97, 65536]) if len(expected) < 3000 else 65536,
            )
        )
        assert rows == expected
        # An empty time range reads nothing at all, so it meets no error.
        assert got_error == (None if start is not None and start >= end else error)


@pytest.mark.parametrize("tokens", [[7], [7, 8], list(range(40))])
def test_a_filter_that_keeps_nothing_still_reports_the_end(feed_file, tokens):
    # No record is kept, so only the framing ever sees the bad end.
    body = b"".join(feedgen.order_record(token=1000 + i % 50) for i in range(20_000))
    path = feed_file(body + feedgen.trade_record(token=7)[:40])
    rows, error = rows_and_error(tidemark_tools.scan_feed(path, tokens=tokens))
    assert rows == []
    assert "truncated message payload" in error


@pytest.mark.parametrize(
    "options",
    [
        {"limit": 0},
        {"tokens": [7], "limit": 0},
        {"start": 5, "end": 5},
        {"tokens": [7], "types": "T", "start": 9, "end": 3},
        {"types": "X", "start": 2**64 - 1, "end": 2**64 - 1},
    ],
)
def test_asking_for_no_rows_reads_nothing(feed_file, options):
    # Past its first record the file is never read, so its bad end is not met
    # either, whatever the filters would have kept.
    body = b"".join(feedgen.order_record(token=1000 + i % 50) for i in range(2000))
    path = feed_file(body + feedgen.trade_record(token=7)[:40])
    assert rows_and_error(tidemark_tools.scan_feed(path, **options)) == ([], None)
