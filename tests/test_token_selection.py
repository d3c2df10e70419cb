"""trades, quotes, bars and the per-message book series with `tokens`: the
books of the other tokens are never built, so the rows must be exactly those
of the unselected table filtered afterwards, whatever the read path."""

import random

import feedgen
import pyarrow as pa
import pyarrow.compute as pc
import pytest
from test_book_series import TOKENS, U32, random_feed

import tidemark_tools

# One token, a key above 2**31 (negative in trades), several (a linear
# search), more than eight (a binary search), one without messages, none.
TOKEN_SETS = [[5], [U32], [1, 2**31], [*TOKENS, *range(100, 110)], [4243], []]


def tables(paths, tokens, **options):
    every = 60_000 if options.get("order", "files") == "files" else 1_000
    return {
        "trades": tidemark_tools.trades(paths, tokens=tokens, **options),
        "quotes": tidemark_tools.quotes(paths, levels=2, tokens=tokens, **options),
        "bars": tidemark_tools.bars(paths, every=every, tokens=tokens, **options),
        "series": tidemark_tools.book_series(
            paths,
            tokens=tokens,
            levels=3,
            batch_rows=options.get("batch_rows", 65536),
            order=options.get("order", "files"),
            threads=options.get("threads"),
        ),
    }


def selected(table, tokens):
    table = pa.table(table)
    return table.filter(pc.is_in(table.column("token"), pa.array(tokens, pa.uint32())))


@pytest.fixture(scope="module")
def paths(tmp_path_factory):
    # Three files; the first opens with a long run of one token, so that
    # whole chunks of messages hold nothing selected.
    rng = random.Random(11)
    root = tmp_path_factory.mktemp("feeds")
    head = feedgen.order_record("N", order_id=1, token=4242, order_type="B", price=1, quantity=1)
    chunks = [head * 9000 + random_feed(rng, 1500), random_feed(rng, 1000)]
    chunks.append(random_feed(rng, 1000, backwards=True))
    out = []
    for i, chunk in enumerate(chunks):
        (root / f"feed_{i}.bin").write_bytes(chunk)
        out.append(str(root / f"feed_{i}.bin"))
    return out


@pytest.mark.parametrize("order", ["files", "exch_ts"])
@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("batch_rows", [1, 65536])
def test_selected_tokens_equal_the_full_table_filtered(paths, order, threads, batch_rows):
    options = dict(order=order, threads=threads, batch_rows=batch_rows)
    unselected = tables(paths, None, **dict(options, batch_rows=65536))
    full = {name: pa.table(t) for name, t in unselected.items()}
    for tokens in TOKEN_SETS:
        for name, table in tables(paths, tokens, **options).items():
            got = pa.table(table)
            assert got.equals(selected(full[name], tokens)), (name, tokens)


def test_tokens_with_a_time_range_on_one_file(paths):
    full = pa.table(tidemark_tools.trades(paths[0]))
    times = full.column("exch_ts").to_pylist()
    start, end = times[len(times) // 3], times[2 * len(times) // 3]
    got = pa.table(tidemark_tools.trades(paths[0], tokens=[77, U32], start=start, end=end))
    mask = pc.and_(
        pc.is_in(full.column("token"), pa.array([77, U32], pa.uint32())),
        pc.and_(pc.greater_equal(full["exch_ts"], start), pc.less(full["exch_ts"], end)),
    )
    assert got.equals(full.filter(mask))


@pytest.mark.parametrize("function", ["trades", "quotes"])
def test_a_bad_record_among_other_tokens_fails_as_without_a_selection(feed_file, records, function):
    # The file ends in a record cut short, of a token that is not selected:
    # the stream still fails there, after the rows before it, with the same
    # text.
    good = random_feed(random.Random(3), 500)
    bad = records.order_record("N", order_id=1, token=4242, order_type="B", price=1, quantity=1)
    path = feed_file(good, bad[:30])
    make = getattr(tidemark_tools, function)

    def outcome(tokens):
        batches = []
        try:
            for batch in pa.RecordBatchReader.from_stream(make(path, tokens=tokens, batch_rows=1)):
                batches.append(batch)
        except Exception as error:  # noqa: BLE001 - the error is what is compared
            return batches, f"{type(error).__name__}: {error}"
        return batches, None

    full_batches, full_error = outcome(None)
    got_batches, got_error = outcome([5])
    assert full_error is not None and got_error == full_error
    full = pa.Table.from_batches(full_batches, make(path).schema())
    got = pa.Table.from_batches(got_batches, make(path).schema())
    assert got.equals(selected(full, [5]))
