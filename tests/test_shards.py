"""Replays of books split by token over threads give exactly the rows of one
thread, in the same order and the same batches, and fail the same way."""

import random

import feedgen
import pyarrow as pa
import pytest

import tidemark_tools

U32 = 2**32 - 1
THREADS = [2, 3, 8]


def random_feed(rng, messages, tokens, *, error_at=None):
    """Messages over `tokens` that exercise the book rules: repeated and
    unknown ids, modifies moving price and side, sides other than B and S,
    trades of resting and absent orders, zero and negative quantities, and
    timestamps that sometimes run backwards. With `error_at`, a record cut
    short follows that many messages."""
    out, ts = [], 1_000_000_000
    for seq in range(1, messages + 1):
        if seq == error_at:
            out.append(feedgen.trade_record(seq_no=seq)[:30])
            break
        ts += rng.choice([0, 1, 7, 100, 1000, 40_000])
        if rng.random() < 0.03:
            ts = max(ts - rng.randint(1, 60_000), 0)
        common = dict(seq_no=seq, exch_ts=ts, local_ts=ts + rng.randint(0, 500))
        token = rng.choice(tokens)
        if rng.random() < 0.2:
            signed = token - 2**32 if token >= 2**31 else token
            out.append(
                feedgen.trade_record(
                    buy_order_id=rng.randint(1, 30),
                    sell_order_id=rng.randint(1, 30),
                    token=signed,
                    trade_price=rng.randint(-5, 60_000),
                    trade_quantity=rng.choice([-5, 0, 10, 50, 400]),
                    **common,
                )  # fmt: skip
            )
            continue
        out.append(
            feedgen.order_record(
                rng.choice("NNNMMX"),
                order_id=rng.randint(1, 30),
                token=token,
                order_type=rng.choice("BBBSSSZ"),
                price=rng.choice([rng.randint(49_900, 50_100)] * 8 + [0, 3_000_000]),
                quantity=rng.choice([0, 1, 25, 100, 300]),
                **common,
            )  # fmt: skip
        )
    return b"".join(out)


SHAPES = {
    "one token": [7],
    "few tokens": [1, 5, 77, 2**31, U32],
    "many tokens": list(range(1000, 1400)),
}


@pytest.fixture(scope="module", params=sorted(SHAPES))
def feed(request, tmp_path_factory):
    rng = random.Random(request.param)
    path = tmp_path_factory.mktemp("shards") / "feed.bin"
    path.write_bytes(random_feed(rng, 3000, SHAPES[request.param]))
    return str(path)


def next_batch(reader):
    """The reader's next batch and None, or None and how the stream ended:
    None at its end, the error's text if it failed."""
    try:
        return reader.read_next_batch(), None
    except StopIteration:
        return None, None
    except OSError as e:
        return None, str(e)


def assert_same(make, threads):
    """Reads one thread's stream and the sharded one side by side, batch for
    batch (so neither is held whole), and returns the number of rows."""
    one = pa.RecordBatchReader.from_stream(make(1))
    many = pa.RecordBatchReader.from_stream(make(threads))
    rows = 0
    while True:
        a, a_end = next_batch(one)
        b, b_end = next_batch(many)
        if a is None or b is None:
            assert a is None and b is None
            assert b_end == a_end
            return rows
        assert b.num_rows == a.num_rows
        assert b.equals(a)
        rows += a.num_rows


TABLES = {
    "series": lambda path, **kw: tidemark_tools.book_series(path, levels=3, **kw),
    # More levels than one page of prices holds: the walk crosses pages.
    "series deep": lambda path, **kw: tidemark_tools.book_series(path, levels=40, **kw),
    "series changes": lambda path, **kw: tidemark_tools.book_series(
        path, levels=2, changes_only=True, **kw
    ),
    "series filtered": lambda path, **kw: tidemark_tools.book_series(
        path, types="NXT", tokens=[5, 7, 1000, 1001, 1399, U32], **kw
    ),
    "grid": lambda path, **kw: tidemark_tools.book_series(path, levels=2, every_ns=1_000_000, **kw),
    "grid deep": lambda path, **kw: tidemark_tools.book_series(
        path, levels=40, every_ns=1_000_000, **kw
    ),
    "grid filtered": lambda path, **kw: tidemark_tools.book_series(
        path, every_ns=50_000, types="NMT", tokens=[5, 7, 1000, 1001, 1399, U32], **kw
    ),
    "quotes": lambda path, **kw: tidemark_tools.quotes(path, levels=2, **kw),
    "trades": lambda path, **kw: tidemark_tools.trades(path, **kw),
    "trades filtered": lambda path, **kw: tidemark_tools.trades(
        path, tokens=[5, 7, 1000, 1001, 1399, U32], start=1_000_500_000, **kw
    ),
    "bars": lambda path, **kw: tidemark_tools.bars(path, every=50_000, **kw),
    "bars filtered": lambda path, **kw: tidemark_tools.bars(
        path, every="1s", tokens=[5, 7, 1000, 1001, 1399, U32], **kw
    ),
}


@pytest.mark.parametrize("threads", THREADS)
@pytest.mark.parametrize("table", sorted(TABLES))
@pytest.mark.parametrize("batch_rows", [1, 100, 65536])
def test_sharded_rows_equal_one_thread(feed, table, threads, batch_rows):
    rows = assert_same(lambda t: TABLES[table](feed, threads=t, batch_rows=batch_rows), threads)
    assert rows > 0


@pytest.mark.parametrize("table", sorted(TABLES))
@pytest.mark.parametrize("threads", [2, 8])
def test_an_error_mid_file_gives_the_same_rows_then_the_error(tmp_path, table, threads):
    path = tmp_path / "cut.bin"
    path.write_bytes(random_feed(random.Random(5), 40_000, list(range(50)), error_at=30_000))
    rows = assert_same(lambda t: TABLES[table](str(path), threads=t, batch_rows=4096), threads)
    # A failed replay gives no bars; the other tables give the rows before.
    assert (rows > 0) != table.startswith("bars")


@pytest.mark.parametrize("order", ["files", "exch_ts"])
def test_several_files_replay_into_the_same_sharded_books(tmp_path, order):
    rng = random.Random(11)
    paths = []
    for k in range(3):
        p = tmp_path / f"f{k}.bin"
        p.write_bytes(random_feed(rng, 1500, list(range(20))))
        paths.append(str(p))
    assert_same(lambda t: tidemark_tools.book_series(paths, threads=t, order=order), 3)
    assert_same(
        lambda t: tidemark_tools.book_series(paths, every_ns=10_000, threads=t, order=order), 2
    )
    assert_same(lambda t: tidemark_tools.quotes(paths, threads=t, order=order), 2)
    assert_same(lambda t: tidemark_tools.trades(paths, threads=t, order=order), 2)
    assert_same(lambda t: tidemark_tools.bars(paths, every="1ms", threads=t, order=order), 2)


def test_a_stream_released_early_stops_its_threads(tmp_path):
    path = tmp_path / "feed.bin"
    path.write_bytes(random_feed(random.Random(3), 50_000, list(range(100))))
    for _ in range(20):
        reader = pa.RecordBatchReader.from_stream(
            tidemark_tools.book_series(str(path), threads=4, batch_rows=10)
        )
        reader.read_next_batch()
        del reader  # the stream's threads are joined as it is released


def test_check_feed_reports_the_same_with_shards(feed, tmp_path):
    # Records of other types, gaps and repeats among the messages: the
    # framing's findings stay with the reading thread, the books' with shards.
    data = open(feed, "rb").read()
    rng, out, at = random.Random(9), [], 0
    while at < len(data):
        size = 54 if data[at + 8 : at + 9] == b"T" else 47
        out.append(data[at : at + size])
        if rng.random() < 0.01:
            out.append(feedgen.other_record("A", 12, b"xyz", seq_no=rng.randint(1, 10**6)))
        at += size
    path = tmp_path / "mixed.bin"
    path.write_bytes(b"".join(out) + feedgen.trade_record()[:30])
    one = tidemark_tools.check_feed([feed, str(path)], threads=1)
    for threads in THREADS:
        assert tidemark_tools.check_feed([feed, str(path)], threads=threads) == one
        merged = tidemark_tools.check_feed([feed, str(path)], threads=threads, order="exch_ts")
        assert merged == tidemark_tools.check_feed([feed, str(path)], threads=1, order="exch_ts")
    books = one["files"][0]["books"]
    assert books["unknown_orders"] and books["crossed"]["count"]


@pytest.mark.parametrize(
    ("threads", "error", "text"),
    [
        (0, ValueError, "must be from 1 to 256, got 0"),
        (257, ValueError, "must be from 1 to 256, got 257"),
        (2.0, TypeError, "must be int, not float"),
        (True, TypeError, "must be int, not bool"),
    ],
)
@pytest.mark.parametrize(
    "function",
    [
        tidemark_tools.book_series,
        tidemark_tools.quotes,
        tidemark_tools.trades,
        lambda path, **kw: tidemark_tools.bars(path, every="1s", **kw),
        tidemark_tools.check_feed,
    ],
)
def test_threads_are_checked(function, threads, error, text):
    with pytest.raises(error, match=f"argument 'threads' {text}"):
        function("data/sample_feed.bin", threads=threads)


def test_threads_none_uses_the_usable_cores(monkeypatch):
    from tidemark_tools import _args

    monkeypatch.setattr(_args, "usable_cores", lambda: 3)
    assert _args.check_threads("f", None) == 3
    monkeypatch.setattr(_args, "usable_cores", lambda: 1000)
    assert _args.check_threads("f", None) == _args.MAX_THREADS


def test_one_sharded_stream_read_from_several_threads(tmp_path):
    # Each batch goes to exactly one reader; together they hold the rows of
    # one thread (batches of one row, so the order can be checked by seq_no).
    import threading

    path = tmp_path / "feed.bin"
    path.write_bytes(random_feed(random.Random(8), 5000, list(range(60))))
    expected = pa.table(tidemark_tools.trades(str(path), threads=1)).to_pylist()
    reader = pa.RecordBatchReader.from_stream(
        tidemark_tools.trades(str(path), threads=3, batch_rows=1)
    )
    got, lock = [], threading.Lock()

    def read_all():
        while True:
            try:
                batch = reader.read_next_batch()
            except StopIteration:
                return
            with lock:
                got.extend(batch.to_pylist())

    workers = [threading.Thread(target=read_all) for _ in range(4)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    key = lambda row: (row["seq_no"], row["exch_ts"])  # noqa: E731
    assert sorted(got, key=key) == sorted(expected, key=key)


@pytest.mark.parametrize("threads", [2, 8])
def test_each_stream_of_a_table_replays_with_threads_of_its_own(tmp_path, threads):
    path = tmp_path / "feed.bin"
    path.write_bytes(random_feed(random.Random(4), 4000, list(range(30))))
    series = tidemark_tools.book_series(str(path), levels=2, threads=threads, batch_rows=500)
    first = pa.RecordBatchReader.from_stream(series)
    second = pa.RecordBatchReader.from_stream(series)
    # Interleaved: two replays at once, each with its own shards.
    a, b = [], []
    for x, y in zip(first, second, strict=True):
        a.append(x)
        b.append(y)
    assert pa.Table.from_batches(a).equals(pa.Table.from_batches(b))
    assert pa.Table.from_batches(a).equals(
        pa.table(tidemark_tools.book_series(str(path), levels=2, threads=1))
    )


def test_wide_rows_from_shards_fill_batches_past_their_first_room(tmp_path):
    # With 1,000 levels the first room of a batch holds fewer rows than the
    # shards hand over at once.
    path = tmp_path / "feed.bin"
    path.write_bytes(random_feed(random.Random(3), 1500, [1, 2, 3]))
    assert_same(lambda t: tidemark_tools.book_series(str(path), levels=1000, threads=t), 2)
