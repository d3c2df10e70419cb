"""Batch buffers are reused once the consumer releases a batch: a batch the
consumer keeps must never share memory with the batches made after it."""

import gc
import threading

import feedgen
import pyarrow as pa
import pytest

import tidemark_tools

SOURCES = {
    "scan": lambda path, rows: tidemark_tools.scan_feed(path, batch_rows=rows),
    "series per message": lambda path, rows: tidemark_tools.book_series(
        path, levels=3, batch_rows=rows
    ),
    "series grid": lambda path, rows: tidemark_tools.book_series(
        path, every_ns=60 * 10**9, batch_rows=rows
    ),
}


@pytest.fixture(scope="module")
def path(tmp_path_factory):
    out = str(tmp_path_factory.mktemp("pool") / "feed.bin")
    feedgen.write_feed(out, 6_000, 12, seed=5, mode="market")
    return out


@pytest.mark.parametrize("source", SOURCES)
@pytest.mark.parametrize("batch_rows,keep_every", [(1, 7), (97, 2), (500, 3), (4096, 1)])
def test_kept_batches_stay_intact_while_later_ones_reuse_memory(
    path, source, batch_rows, keep_every
):
    make = SOURCES[source]
    expected = pa.table(make(path, batch_rows)).to_batches()
    kept = []
    for i, batch in enumerate(pa.RecordBatchReader.from_stream(make(path, batch_rows))):
        if i % keep_every == 0:
            kept.append(batch)
        # A dropped batch goes back to the pool here and is rebuilt into the
        # next one.
        del batch
    assert len(kept) == len(expected[::keep_every])
    for got, want in zip(kept, expected[::keep_every], strict=True):
        assert got.equals(want)


@pytest.mark.parametrize("source", SOURCES)
def test_batches_released_on_another_thread_after_the_stream_is_gone(path, source):
    make = SOURCES[source]
    expected = pa.table(make(path, 256))
    reader = pa.RecordBatchReader.from_stream(make(path, 256))
    batches = list(reader)
    del reader
    gc.collect()
    assert pa.Table.from_batches(batches).equals(expected)
    # The last references go on other threads, two at a time, while the
    # interpreter lock is released by the joins.
    halves = [batches[::2], batches[1::2]]
    del batches
    threads = [threading.Thread(target=h.clear) for h in halves]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(not h for h in halves)
    # The pool's blocks went with its last batch; a new stream starts afresh.
    assert pa.table(make(path, 256)).equals(expected)


# Batches larger than the room reserved up front: a builder grows its
# columns in the first batch, then starts later batches in a whole batch's
# block from the pool. Holding every other batch makes the pool hand out
# blocks of different sizes.
LARGE = {
    "scan": (lambda path, rows: tidemark_tools.scan_feed(path, batch_rows=rows), 50_000),
    "deep series": (
        lambda path, rows: tidemark_tools.book_series(path, levels=60, batch_rows=rows),
        5_000,
    ),
}


@pytest.fixture(scope="module")
def large_path(tmp_path_factory):
    out = str(tmp_path_factory.mktemp("pool") / "large.bin")
    feedgen.write_feed(out, 160_000, 40, seed=9, mode="market")
    return out


@pytest.mark.parametrize("source", LARGE)
@pytest.mark.parametrize("keep_every", [1, 2, 1000])
def test_batches_larger_than_the_first_room_reuse_whole_blocks(large_path, source, keep_every):
    make, rows = LARGE[source]
    expected = pa.table(make(large_path, rows)).to_batches()
    assert len(expected) >= 3
    kept = []
    for i, batch in enumerate(pa.RecordBatchReader.from_stream(make(large_path, rows))):
        assert batch.num_rows == expected[i].num_rows
        if i % keep_every == 0:
            kept.append(batch)
        else:
            # Read while it lives: the values must be this batch's own.
            assert batch.equals(expected[i])
        del batch
    for got, want in zip(kept, expected[::keep_every], strict=True):
        assert got.equals(want)
