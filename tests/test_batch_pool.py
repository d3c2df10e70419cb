"""Batch buffers are reused once the consumer releases a batch: a batch the
consumer keeps must never share memory with the batches made after it."""

import gc
import multiprocessing
import os
import random
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


def test_batches_released_in_any_order_while_two_streams_interleave(large_path):
    # Batches of 20,000 rows take blocks large enough to be faulted in ahead
    # on the helper thread; two streams of the same file share that thread.
    rows = 20_000
    expected = pa.table(tidemark_tools.scan_feed(large_path, batch_rows=rows)).to_batches()
    readers = [
        pa.RecordBatchReader.from_stream(tidemark_tools.scan_feed(large_path, batch_rows=rows))
        for _ in range(2)
    ]
    rng = random.Random(3)
    held: list[tuple[int, pa.RecordBatch]] = []
    for i in range(len(expected)):
        for reader in readers:
            held.append((i, reader.read_next_batch()))
        # Let go of a random share of what is held, in random order.
        rng.shuffle(held)
        for _ in range(rng.randrange(len(held) + 1)):
            j, batch = held.pop()
            assert batch.equals(expected[j])
    for j, batch in held:
        assert batch.equals(expected[j])


@pytest.mark.parametrize("taken", [2, 5, 9, 15])
def test_kept_batches_outlive_a_stream_closed_while_spares_are_made(large_path, taken):
    # A consumer that keeps every batch has spares faulted in several
    # batches ahead; closing the stream early frees the pool's blocks while
    # some of them are still on the helper thread. The batches kept must
    # stay intact, and the next stream must start afresh.
    rows = 10_000
    expected = pa.table(tidemark_tools.scan_feed(large_path, batch_rows=rows)).to_batches()
    assert len(expected) > 15
    reader = pa.RecordBatchReader.from_stream(tidemark_tools.scan_feed(large_path, batch_rows=rows))
    kept = [reader.read_next_batch() for _ in range(taken)]
    reader.close()
    del reader
    gc.collect()
    again = pa.table(tidemark_tools.scan_feed(large_path, batch_rows=rows)).to_batches()
    for got, want in zip(kept, expected, strict=False):
        assert got.equals(want)
    assert again == expected


@pytest.mark.skipif("fork" not in multiprocessing.get_all_start_methods(), reason="needs fork()")
def test_a_forked_child_scans_after_the_parent_did(large_path):
    # The parent's scan started the helper thread; the child has none and
    # must start its own rather than wait on one that is gone.
    rows = 20_000
    expected = pa.table(tidemark_tools.scan_feed(large_path, batch_rows=rows))
    context = multiprocessing.get_context("fork")
    with context.Pool(1) as pool:
        got = pool.apply_async(_scan_in_child, (large_path, rows)).get(timeout=120)
    assert got == (expected.num_rows, expected.column("seq_no").to_pylist()[-5:])


def _scan_in_child(path: str, rows: int) -> tuple[int, list[int]]:
    table = pa.table(tidemark_tools.scan_feed(path, batch_rows=rows))
    return table.num_rows, table.column("seq_no").to_pylist()[-5:]


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_kept_short_batches_hold_memory_for_their_rows_only(tmp_path):
    # Each file of a scan starts a batch, so 60 copies of a small file give
    # 60 short batches in room for 90,000 rows each (about 7.5 MB), faulted
    # in ahead from the second batch on: a kept short batch must give the
    # pages past its rows back.
    small = str(tmp_path / "small.bin")
    feedgen.write_feed(small, 1_000, 5, seed=1, mode="market")
    expected = pa.table(tidemark_tools.scan_feed(small))

    def resident() -> int:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    before = resident()
    source = tidemark_tools.scan_feed([small] * 60, batch_rows=90_000)
    batches = list(pa.RecordBatchReader.from_stream(source))
    grown = resident() - before
    assert len(batches) == 60
    # A scan of several files adds a column naming each row's file.
    assert all(b.drop_columns(["file"]).equals(expected.to_batches()[0]) for b in batches)
    assert grown < 200 * 2**20
