"""book_series: every row against the real OrderbookBuilder fed the same messages."""

import os
import random

import feedgen
import pyarrow as pa
import pytest
import tidemark

import tidemark_tools

U32 = 2**32 - 1
# Book keys: small ones, and the two that trades reach with tokens -2**31 and -1.
TOKENS = [1, 5, 77, 2**31, U32]


def random_feed(rng, messages, *, backwards=False, steps=(0, 1, 7, 100, 1000, 25_000)):
    """Messages that exercise every book rule: repeated and unknown ids,
    modifies that move price and side, price 0 and far prices, zero and
    negative quantities, sides other than B and S, trades of tokens at and
    above 2**31 (written as negative signed tokens)."""
    out, ts = [], 1_000_000_000
    for seq in range(1, messages + 1):
        ts += rng.choice(steps)
        if backwards and rng.random() < 0.05:
            ts = max(ts - rng.randint(1, 60_000), 0)
        common = dict(seq_no=seq, exch_ts=ts, local_ts=ts + rng.randint(0, 500))
        token = rng.choice(TOKENS)
        if rng.random() < 0.2:
            signed = token - 2**32 if token >= 2**31 else token
            out.append(
                feedgen.trade_record(
                    buy_order_id=rng.randint(1, 40),
                    sell_order_id=rng.randint(1, 40),
                    token=signed,
                    trade_price=rng.randint(-5, 60_000),
                    trade_quantity=rng.choice([-5, 0, 10, 50, 400]),
                    **common,
                )  # fmt: skip
            )
            continue
        price = rng.choice(
            [rng.randint(49_000, 51_000)] * 6 + [0, 1, 9_999, 3_000_000, 4_000_000_000, U32]
        )
        out.append(
            feedgen.order_record(
                rng.choice("NNNMMX"),
                order_id=rng.randint(1, 40),
                token=token,
                order_type=rng.choice("BBBSSSZ"),
                price=price,
                quantity=rng.choice([0, 1, 25, 100, 300]),
                **common,
            )  # fmt: skip
        )
    return b"".join(out)


def dicts(path):
    loader = tidemark.StreamingBinaryLoader()
    loader.open_stream(path, count_messages=False)
    out = []
    while (msg := loader.get_next_msg()) is not None:
        out.append(msg)
    return out


def book_key(msg):
    return msg["token"] & U32


def snapshot_values(builder, token, levels):
    """mid_price then bid price, bid qty, ask price, ask qty per level, from get_snapshot."""
    snap = builder.get_snapshot(token, levels)
    values = [snap["mid_price"]]
    for i in range(levels):
        bid = snap["bids"][i] if i < len(snap["bids"]) else (0, 0)
        ask = snap["asks"][i] if i < len(snap["asks"]) else (0, 0)
        values += [bid[0], bid[1], ask[0], ask[1]]
    return values


def row_values(row, levels):
    values = [row["mid_price"]]
    for i in range(levels):
        values += [row[f"bid_price_{i}"], row[f"bid_qty_{i}"]]
        values += [row[f"ask_price_{i}"], row[f"ask_qty_{i}"]]
    return values


def per_message_expected(messages, levels, tokens, types):
    builder = tidemark.OrderbookBuilder()
    if types is not None:
        builder.apply_filter(types)
    out = []
    for msg in messages:
        if builder.orderbook_add_msg(msg) and (tokens is None or book_key(msg) in tokens):
            head = [msg["seq_no"], msg["exch_ts"], msg["local_ts"], msg["msg_type"]]
            out.append(head + [book_key(msg)] + snapshot_values(builder, book_key(msg), levels))
    return out


def as_lists(table, levels):
    head = ["seq_no", "exch_ts", "local_ts", "msg_type", "token"]
    return [[row[c] for c in head] + row_values(row, levels) for row in table.to_pylist()]


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("levels", [1, 5, 20])
@pytest.mark.parametrize("tokens", [None, [5, 2**31, U32, 123]])
def test_per_message_rows_equal_the_builders_snapshots(feed_file, seed, levels, tokens):
    path = feed_file(random_feed(random.Random(seed), 1500))
    expected = per_message_expected(dicts(path), levels, tokens, None)
    series = tidemark_tools.book_series(path, tokens=tokens, levels=levels, batch_rows=97)
    table = pa.table(series)
    assert as_lists(table, levels) == expected
    assert table.schema.field("token").type == pa.uint32()
    assert table.schema.field("bid_qty_0").type == pa.uint64()
    assert table.schema.field(f"ask_price_{levels - 1}").type == pa.uint32()
    assert table.num_columns == 6 + 4 * levels


@pytest.mark.parametrize("types", [[], ["N"], ["N", "X"], ["M", "T"], "MT"])
def test_type_filters_work_like_apply_filter(feed_file, types):
    path = feed_file(random_feed(random.Random(9), 800))
    expected = per_message_expected(dicts(path), 3, None, list(types))
    assert as_lists(pa.table(tidemark_tools.book_series(path, levels=3, types=types)), 3) == (
        expected
    )


def test_batch_rows_of_one(feed_file):
    path = feed_file(random_feed(random.Random(4), 300))
    table = pa.table(tidemark_tools.book_series(path, batch_rows=1))
    assert {b.num_rows for b in table.to_batches()} == {1}
    assert as_lists(table, 5) == per_message_expected(dicts(path), 5, None, None)


# ---------------------------------------------------------------- time grid


def grid_expected(messages, every, levels, tokens, types=None):
    """The grid rule, replayed with the builder: at each grid time g, the state
    before the first message stamped at or after g."""
    builder = tidemark.OrderbookBuilder()
    if types is not None:
        builder.apply_filter(types)
    out, last = [], None
    grid = (messages[0]["exch_ts"] // every + 1) * every
    end = (max(m["exch_ts"] for m in messages) // every + 1) * every

    def emit(g):
        for token in builder.get_active_tokens():
            if tokens is None or token in tokens:
                head = [last["seq_no"], g, last["local_ts"], last["msg_type"], token]
                out.append(head + snapshot_values(builder, token, levels))

    for msg in messages:
        while msg["exch_ts"] >= grid:
            emit(grid)
            grid += every
        builder.orderbook_add_msg(msg)
        last = msg  # the last message before the cut, accepted or not
    while grid <= end:
        emit(grid)
        grid += every
    return out


@pytest.mark.parametrize("every", [37, 500, 20_000, 10**9])
@pytest.mark.parametrize("tokens, types", [(None, None), ([1, U32], None), (None, ["N", "T", "X"])])
def test_grid_rows_equal_the_state_at_each_cut(feed_file, every, tokens, types):
    path = feed_file(random_feed(random.Random(every), 400, steps=(0, 1, 7, 100, 1000)))
    messages = dicts(path)
    expected = grid_expected(messages, every, 2, tokens, types)
    series = tidemark_tools.book_series(
        path, levels=2, every_ns=every, tokens=tokens, types=types, batch_rows=50
    )
    table = pa.table(series)
    assert as_lists(table, 2) == expected
    if every == 37:
        # Shorter than the gaps between messages: a row per grid time, with
        # the same state repeated until the next message.
        assert table.num_rows > len(messages)
    if every == 10**9:
        assert len({r[1] for r in expected}) == 1  # one grid time: the state after the file


def test_grid_with_timestamps_running_backwards(feed_file):
    path = feed_file(random_feed(random.Random(21), 1000, backwards=True, steps=(0, 7, 1000)))
    messages = dicts(path)
    assert any(a["exch_ts"] > b["exch_ts"] for a, b in zip(messages, messages[1:], strict=False))
    expected = grid_expected(messages, 5_000, 1, None)
    table = pa.table(tidemark_tools.book_series(path, levels=1, every_ns=5_000, batch_rows=7))
    assert as_lists(table, 1) == expected
    times = table.column("exch_ts").to_pylist()
    assert times == sorted(times)  # the grid never goes back


def test_grid_times_past_the_largest_timestamp_saturate(feed_file):
    path = feed_file(feedgen.order_record(exch_ts=2**64 - 1, token=3))
    table = pa.table(tidemark_tools.book_series(path, every_ns=10))
    assert table.column("exch_ts").to_pylist() == [2**64 - 1]
    assert table.column("bid_qty_0").to_pylist() == [100]


# ---------------------------------------------------------------- errors


@pytest.mark.parametrize("every_ns", [None, 1000])
def test_a_decode_error_mid_file_fails_the_stream(feed_file, every_ns):
    path = feed_file(
        feedgen.order_record(exch_ts=10), feedgen.order_record(exch_ts=5000, order_id=2),
        feedgen.trade_record()[:30],
    )  # fmt: skip
    series = tidemark_tools.book_series(path, every_ns=every_ns, batch_rows=1)
    with pytest.raises(OSError, match="truncated message payload"):
        pa.table(series)
    reader = pa.RecordBatchReader.from_stream(series)
    rows = 0
    with pytest.raises(OSError, match="truncated message payload"):
        while True:
            rows += reader.read_next_batch().num_rows
    assert rows == (2 if every_ns is None else 5)  # grid times 1000 to 5000, no final row


@pytest.mark.parametrize("content", [b"", b"abcde", feedgen.other_record("A", 12, b"xyz")])
def test_open_errors_are_the_loaders(feed_file, content):
    path = feed_file(content)
    with pytest.raises(RuntimeError) as expected:
        tidemark.StreamingBinaryLoader().open_stream(path, count_messages=False)
    with pytest.raises(RuntimeError) as got:
        tidemark_tools.book_series(path)
    assert str(got.value) == str(expected.value)


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        ({"path": 1}, TypeError, "argument 'path' must be a path or a sequence of paths, not int"),
        ({"path": []}, ValueError, "argument 'path' is empty"),
        ({"levels": 0}, ValueError, "argument 'levels' must be from 1 to 1000, got 0"),
        ({"levels": 1001}, ValueError, "argument 'levels' must be from 1 to 1000, got 1001"),
        ({"levels": "5"}, TypeError, "argument 'levels' must be int, not str"),
        ({"every_ns": 0}, ValueError, "argument 'every_ns' must be from 1 to"),
        ({"every_ns": -1}, ValueError, "argument 'every_ns' must be from 1 to"),
        ({"every_ns": 1.5}, TypeError, "argument 'every_ns' must be int, not float"),
        ({"tokens": [1, -1]}, ValueError, "argument 'tokens' holds -1, outside 0 to 4294967295"),
        ({"tokens": [2**32]}, ValueError, "argument 'tokens' holds 4294967296, outside 0 to"),
        ({"tokens": 5}, TypeError, "argument 'tokens' must be an iterable of ints, not int"),
        ({"tokens": ["5"]}, TypeError, "argument 'tokens' must hold ints, not str"),
        ({"types": 78}, TypeError, "argument 'types' must be a str of message types"),
        ({"types": [78]}, TypeError, "argument 'types' must hold str, not int"),
        ({"types": ["Q"]}, ValueError, "argument 'types' holds 'Q': message types are"),
        ({"types": ["N", "TQ"]}, ValueError, "argument 'types' holds 'TQ': message types are"),
        ({"batch_rows": 0}, ValueError, "argument 'batch_rows' must be from 1 to"),
    ],
)
def test_argument_errors_name_the_argument(kwargs, error, text):
    kwargs = {"path": "data/sample_feed.bin"} | kwargs
    with pytest.raises(error, match=text.replace("(", r"\(")):
        tidemark_tools.book_series(**kwargs)


def test_native_argument_errors_name_the_argument():
    from tidemark_tools import _native

    path = "data/sample_feed.bin"
    cases = [
        ({"levels": 0}, ValueError, "argument 'levels': must be from 1 to 1000, got 0"),
        ({"every_ns": 0}, ValueError, "argument 'every_ns': must be positive, got 0"),
        ({"tokens": [-1]}, OverflowError, "out of range integral type conversion attempted"),
        ({"tokens": 7}, TypeError, "argument 'tokens': must be a list or tuple of tokens"),
        ({"types": "N"}, TypeError, "argument 'types': 'str' object cannot be"),
        ({"paths": []}, ValueError, "argument 'paths': must name at least one file"),
        ({"every_ns": 5, "changes_only": True}, ValueError, "argument 'changes_only': applies"),
    ]
    for kwargs, error, text in cases:
        with pytest.raises(error, match="^" + text.replace("(", r"\(")):
            _native.book_series(**({"paths": path} | kwargs))


def test_tokens_accept_any_iterable_and_a_series_can_be_read_twice():
    series = tidemark_tools.book_series("data/sample_feed.bin", tokens=iter(range(1001, 1004)))
    first = pa.table(series)
    assert set(first.column("token").to_pylist()) <= {1001, 1002, 1003}
    assert pa.table(series).to_pylist() == first.to_pylist()
    assert repr(series).startswith("BookSeries('data/sample_feed.bin', levels=5, tokens=[1001")


def changes_expected(messages, levels, tokens):
    """Per-message rows kept only when the token's levels differ from its last kept row."""
    last, out = {}, []
    for row in per_message_expected(messages, levels, tokens, None):
        token, values = row[4], row[6:]
        if last.get(token) != values:
            last[token] = values
            out.append(row)
    return out


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("levels", [1, 3])
@pytest.mark.parametrize("tokens", [None, [5, U32]])
def test_changes_only_keeps_the_rows_that_change_a_token(feed_file, seed, levels, tokens):
    path = feed_file(random_feed(random.Random(seed + 50), 1200))
    expected = changes_expected(dicts(path), levels, tokens)
    series = tidemark_tools.book_series(
        path, tokens=tokens, levels=levels, changes_only=True, batch_rows=1
    )
    assert as_lists(pa.table(series), levels) == expected


def test_several_files_replay_into_the_same_books(feed_file):
    rng = random.Random(31)
    paths = [feed_file(random_feed(rng, 400)) for _ in range(3)]
    expected = per_message_expected([m for p in paths for m in dicts(p)], 2, None, None)
    assert as_lists(pa.table(tidemark_tools.book_series(paths, levels=2)), 2) == expected


@pytest.mark.parametrize("tokens", [None, [5]])
def test_a_clock_glitch_before_any_book_costs_no_grid_steps(feed_file, records, tokens):
    # Only cancels and trades (no book) until a message stamped 2**62: the
    # grid must jump over the stretch instead of stepping through it.
    glitch = 2**62
    path = feed_file(
        records.order_record("X", seq_no=1, exch_ts=1_000, order_id=1, token=5),
        records.trade_record(seq_no=2, exch_ts=glitch, buy_order_id=1, sell_order_id=2, token=5),
        records.order_record("N", seq_no=3, exch_ts=glitch + 10, order_id=3, token=5,
                             order_type="B", price=100, quantity=7),
    )  # fmt: skip
    table = pa.table(tidemark_tools.book_series(path, every_ns=1_000_000, tokens=tokens))
    assert table.column("exch_ts").to_pylist() == [glitch + 1_000_000 - glitch % 1_000_000]
    assert table.column("bid_qty_0").to_pylist() == [7]


def test_a_glitch_with_no_selected_book_ends_at_once(feed_file, records):
    path = feed_file(
        records.order_record("N", seq_no=1, exch_ts=1_000, order_id=1, token=9,
                             order_type="B", price=100, quantity=7),
        records.order_record("X", seq_no=2, exch_ts=2**62, order_id=1, token=5),
    )  # fmt: skip
    assert pa.table(tidemark_tools.book_series(path, every_ns=1_000_000, tokens=[5])).num_rows == 0


def test_arguments_take_numpy_integers_bytes_and_strings_of_types(tmp_path):
    """numpy integers pass for every integer, a path may be bytes (also one
    that is not UTF-8), and a string of type letters means those types."""
    np = pytest.importorskip("numpy")
    odd = os.fsencode(str(tmp_path)) + b"/\xff\xfe.bin"
    with open("data/sample_feed.bin", "rb") as src, open(odd, "wb") as dst:
        dst.write(src.read())
    plain = tidemark_tools.book_series(
        "data/sample_feed.bin", tokens=[1002], levels=3, types=["N", "T"], batch_rows=7
    )
    given = tidemark_tools.book_series(
        odd, tokens=[np.uint32(1002)], levels=np.int8(3), types="NT", batch_rows=np.int64(7)
    )
    assert pa.table(given).equals(pa.table(plain))


def test_grid_rows_stay_the_same_as_its_books_start_and_stop_keeping_levels(tmp_path):
    # A grid keeps its books' levels between rows while it writes many rows
    # per message and stops while it writes few, deciding again every few
    # ten thousand messages: phases of messages far apart in time (a grid
    # time each) and close together (one grid time per thousand) turn the
    # kept levels on and off several times, on each thread's shards alike.
    # Five levels may be kept; eleven never are, so their first five are
    # the reference.
    import numpy as np

    rng = np.random.default_rng(5)
    phase, every = 150_000, 1_000
    n = 4 * phase
    rec = np.zeros(n, dtype=feedgen.ORDER_DTYPE)
    rec["msg_len"] = 38
    rec["stream_id"] = 1
    rec["seq_no"] = np.arange(1, n + 1)
    kind = rng.choice([b"N", b"M", b"X"], size=n, p=[0.55, 0.2, 0.25])
    kind[:1_000] = b"N"
    rec["msg_type"] = kind
    ids = np.arange(1, n + 1, dtype=np.uint64)
    later = kind != b"N"
    ids[later] = rng.integers(1, np.arange(1, n + 1)[later])  # an earlier id, maybe gone
    rec["order_id"] = ids
    rec["token"] = rng.integers(1, 4, size=n)
    rec["order_type"] = rng.choice([b"B", b"S"], size=n)
    rec["price"] = 10_000 + rng.integers(-60, 60, size=n) * 5
    rec["quantity"] = rng.integers(1, 500, size=n)
    steps = np.concatenate([np.full(phase, every), np.ones(phase, dtype=np.int64)] * 2)
    rec["exch_ts"] = 1_000_000 + np.cumsum(steps)
    rec["local_ts"] = rec["exch_ts"]
    path = tmp_path / "phases.bin"
    path.write_bytes(rec.tobytes())

    reference = pa.table(
        tidemark_tools.book_series(str(path), levels=11, every_ns=every, threads=1)
    )
    assert reference.num_rows > phase * 3
    five = [c for c in reference.column_names if not c[-1].isdigit() or int(c.rsplit("_")[-1]) < 5]
    for threads in (1, 2, 3):
        got = pa.table(
            tidemark_tools.book_series(str(path), levels=5, every_ns=every, threads=threads)
        )
        assert got.column_names == five
        assert got.equals(reference.select(five))
