"""scan_feed(order="exch_ts"): files merged by time, against a plain-Python
merge of the loader's dicts."""

import os
import random

import feedgen
import pyarrow as pa
import pytest
import tidemark
from test_scan_feed import loader_dicts

import tidemark_tools


def timed_feed(rng, n, base):
    """Messages whose exch_ts mostly rise, with equal stamps across files and
    some steps backwards inside the file."""
    out, ts = [], base
    for i in range(n):
        ts += rng.choice([0, 1, 2, 5, -3]) if rng.random() < 0.9 else -rng.randint(0, 50)
        ts = max(ts, 0)
        common = dict(seq_no=i, exch_ts=ts, local_ts=i)
        if rng.random() < 0.3:
            out.append(feedgen.trade_record(token=rng.choice([1, 2, -1]), **common))
        else:
            out.append(
                feedgen.order_record(rng.choice("NMX"), token=rng.choice([1, 2, 3]), **common)
            )  # noqa: E501
        if rng.random() < 0.05:
            out.append(b"  ")
    return b"".join(out)


def dicts_before_error(path):
    """The loader's dicts of path up to the record it fails on, if any."""
    loader = tidemark.StreamingBinaryLoader()
    loader.open_stream(path, count_messages=False)
    out = []
    try:
        while (msg := loader.get_next_msg()) is not None:
            out.append(msg)
    except RuntimeError:
        pass
    return out


def merged(paths, read=loader_dicts):
    """The rule: at each step the head with the smallest exch_ts, ties to the
    file listed first."""
    queues = [[dict(m, file=p) for m in read(p)] for p in paths]
    heads = [0] * len(queues)
    out = []
    while True:
        live = [i for i, q in enumerate(queues) if heads[i] < len(q)]
        if not live:
            return out
        best = min(live, key=lambda i: (queues[i][heads[i]]["exch_ts"], i))
        out.append(queues[best][heads[best]])
        heads[best] += 1


@pytest.mark.parametrize("seed", range(10))
@pytest.mark.parametrize("batch_rows", [1, 5, 4096])
def test_merge_follows_the_rule(feed_file, seed, batch_rows):
    rng = random.Random(seed * 31 + batch_rows)
    k = rng.randint(1, 4)
    paths = [feed_file(timed_feed(rng, rng.randint(0 if i else 1, 400), 1000)) for i in range(k)]
    # A file of no messages fails at the call: the merge is of the others.
    paths = [p for p in paths if os.path.getsize(p) > 0]
    options = {}
    if rng.random() < 0.5:
        options["tokens"] = [rng.choice([1, 2, 2**32 - 1])]
    if rng.random() < 0.5:
        options["types"] = rng.choice(["T", "NM", "X"])
    if rng.random() < 0.3:
        options["limit"] = rng.randint(0, 100)
    rows = merged(paths)
    want = [
        r
        for r in rows
        if ("tokens" not in options or r["token"] & 0xFFFFFFFF in options["tokens"])
        and ("types" not in options or r["msg_type"] in options["types"])
    ]
    want = want[: options["limit"]] if "limit" in options else want
    columns = ["seq_no", "exch_ts", "token", "msg_type", "file"]
    scan = tidemark_tools.scan_feed(
        paths, order="exch_ts", columns=columns, batch_rows=batch_rows, **options
    )
    table = pa.table(scan)
    assert table.to_pylist() == [{c: r[c] for c in columns} for r in want]
    assert all(0 < b.num_rows <= batch_rows for b in table.to_batches())


def test_a_decode_error_in_one_file_ends_the_merge_where_its_head_is_needed(feed_file):
    good = feed_file(*(feedgen.order_record(seq_no=i, exch_ts=10 * i) for i in range(5)))
    cut = feed_file(feedgen.order_record(seq_no=100, exch_ts=15), feedgen.trade_record()[:20])
    reader = pa.RecordBatchReader.from_stream(
        tidemark_tools.scan_feed([good, cut], order="exch_ts", columns=["seq_no"], batch_rows=1)
    )
    seen = []
    with pytest.raises(Exception, match=f"{cut}: truncated message payload"):
        for batch in reader:
            seen += batch.column("seq_no").to_pylist()
    assert seen == [0, 1, 100]


def test_order_is_checked():
    with pytest.raises(ValueError, match="argument 'order'"):
        tidemark_tools.scan_feed("data/sample_feed.bin", order="time")


@pytest.mark.parametrize("k", [3, 5, 9])
@pytest.mark.parametrize("spacing", [0, 20_000], ids=["interleaved", "one-after-another"])
def test_merge_of_files_longer_than_a_chunk(feed_file, k, spacing):
    """Files of several decoding chunks each, interleaved in time (with equal
    stamps and steps back) or each after the one before: heads are compared
    again as every file's chunks run out and are refilled."""
    rng = random.Random(k + spacing)
    paths = [
        feed_file(timed_feed(rng, rng.randint(1500, 3000), 1000 + i * spacing)) for i in range(k)
    ]
    columns = ["seq_no", "exch_ts", "file"]
    scan = tidemark_tools.scan_feed(paths, order="exch_ts", columns=columns, batch_rows=777)
    assert pa.table(scan).to_pylist() == [{c: r[c] for c in columns} for r in merged(paths)]


def test_a_file_failing_after_several_chunks_fails_the_merge_right_after_its_last_message(
    feed_file,
):
    rng = random.Random(8)
    data = timed_feed(rng, 2500, 1000)
    cut = feed_file(data[: len(data) - 30])
    paths = [feed_file(timed_feed(rng, 2500, 1000)), cut, feed_file(timed_feed(rng, 2500, 1000))]
    rows = merged(paths, dicts_before_error)
    last = max(i for i, r in enumerate(rows) if r["file"] == cut)
    reader = pa.RecordBatchReader.from_stream(
        tidemark_tools.scan_feed(paths, order="exch_ts", columns=["seq_no", "file"], batch_rows=100)
    )
    seen = []
    with pytest.raises(OSError, match=f"{cut}: truncated message payload"):
        for batch in reader:
            seen += batch.to_pylist()
    assert seen == [{"seq_no": r["seq_no"], "file": r["file"]} for r in rows[: last + 1]]
