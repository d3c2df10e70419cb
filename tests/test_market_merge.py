"""order="exch_ts" for the book tables: the rows of a merge equal the plain
references fed with a plain-Python merge of the loader's dicts."""

import random

import pyarrow as pa
import pytest
from test_book_series import (
    as_lists,
    dicts,
    grid_expected,
    per_message_expected,
    random_feed,
)
from test_tables import (
    TRADE_COLUMNS,
    bars_expected,
    quote_columns,
    quotes_expected,
    rows,
    trades_expected,
)

import tidemark_tools


def merged_dicts(paths):
    """At each step the head with the smallest exch_ts, ties to the file
    listed first: a merge of the files' orders, not a sort."""
    queues = [dicts(p) for p in paths]
    heads = [0] * len(queues)
    out = []
    while True:
        live = [i for i, q in enumerate(queues) if heads[i] < len(q)]
        if not live:
            return out
        best = min(live, key=lambda i: (queues[i][heads[i]]["exch_ts"], i))
        out.append(dict(queues[best][heads[best]], file_index=best))
        heads[best] += 1


def market(seed, files=None, messages=500):
    """Random files whose timestamps interleave, repeat across files and step
    backwards inside a file; tokens appear in several files."""
    rng = random.Random(seed)
    k = files or rng.randint(2, 4)
    return rng, [
        random_feed(rng, rng.randint(1, messages), backwards=True, steps=(0, 0, 1, 7, 100, 2000))
        for _ in range(k)
    ]


def selection(rng, messages):
    """Tokens and an exch_ts range that keep part of the rows (or none)."""
    times = sorted(m["exch_ts"] for m in messages)
    tokens = rng.choice([None, [1, 2**32 - 1], [77]])
    if rng.random() < 0.5:
        return tokens, None, None
    return tokens, times[len(times) // 5], times[4 * len(times) // 5]


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("batch_rows", [1, 65536])
def test_trades_merged(feed_file, seed, batch_rows):
    rng, data = market(seed)
    paths = [feed_file(d) for d in data]
    messages = merged_dicts(paths)
    tokens, start, end = selection(rng, messages)
    table = pa.table(
        tidemark_tools.trades(
            paths, tokens=tokens, start=start, end=end, batch_rows=batch_rows, order="exch_ts"
        )
    )
    wanted = None if tokens is None else set(tokens)
    assert rows(table, TRADE_COLUMNS) == trades_expected(messages, wanted, start, end)
    if batch_rows == 1 and table.num_rows:
        assert {b.num_rows for b in table.to_batches()} == {1}


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("levels", [1, 2])
def test_quotes_and_changes_merged(feed_file, seed, levels):
    rng, data = market(seed + 50)
    paths = [feed_file(d) for d in data]
    messages = merged_dicts(paths)
    tokens = rng.choice([None, [5, 2**31]])
    table = pa.table(
        tidemark_tools.quotes(paths, levels=levels, tokens=tokens, batch_rows=1, order="exch_ts")
    )
    assert rows(table, quote_columns(levels)) == quotes_expected(messages, levels, tokens)
    series = tidemark_tools.book_series(
        paths, levels=levels, tokens=tokens, changes_only=True, order="exch_ts"
    )
    zeros = quotes_expected(messages, levels, tokens, zeros=True)
    assert rows(pa.table(series), quote_columns(levels)) == zeros


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("every", [None, 1000])
@pytest.mark.parametrize("types", [None, ["N", "T"]])
def test_book_series_merged(feed_file, seed, every, types):
    rng, data = market(seed + 80)
    paths = [feed_file(d) for d in data]
    messages = merged_dicts(paths)
    tokens = rng.choice([None, [1, 77]])
    series = tidemark_tools.book_series(
        paths, levels=3, tokens=tokens, every_ns=every, types=types, batch_rows=1, order="exch_ts"
    )
    got = as_lists(pa.table(series), 3)
    if every is None:
        assert got == per_message_expected(messages, 3, tokens, types)
    else:
        assert got == grid_expected(messages, every, 3, tokens, types)


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("every", [1, 5000])
def test_bars_merged(feed_file, seed, every):
    rng, data = market(seed + 120)
    paths = [feed_file(d) for d in data]
    messages = merged_dicts(paths)
    tokens = rng.choice([None, [5, 2**32 - 1]])
    expected = bars_expected(messages, every, None if tokens is None else set(tokens))
    table = tidemark_tools.bars(paths, every=every, tokens=tokens, batch_rows=1, order="exch_ts")
    got = pa.table(table).to_pylist()
    for row in got + expected:
        row["turnover"] = int(row["turnover"])
        vwap = row.pop("vwap")
        row["vwap"] = None if vwap is None else round(vwap, 6)
    keys = expected[0].keys() if expected else ()
    assert [{k: row[k] for k in keys} for row in got] == expected


def test_tokens_in_one_file_each_give_the_books_read_one_after_another(feed_file, monkeypatch):
    # Streams partition the tokens: then each token's rows in a merge are its
    # rows of the files read one after another.
    import test_book_series

    rng, paths = random.Random(5), []
    for tokens in ([1, 5], [77, 2**31]):
        monkeypatch.setattr(test_book_series, "TOKENS", tokens)
        paths.append(feed_file(random_feed(rng, 600, backwards=True)))

    def per_token(order):
        table = pa.table(tidemark_tools.book_series(paths, levels=2, order=order))
        out = {}
        for row in as_lists(table, 2):
            out.setdefault(row[4], []).append(row)
        return out

    assert per_token("exch_ts") == per_token("files")


@pytest.mark.parametrize(
    "function, kwargs",
    [
        (tidemark_tools.trades, {}),
        (tidemark_tools.quotes, {}),
        (tidemark_tools.bars, {"every": "1s"}),
        (tidemark_tools.book_series, {}),
    ],
)
def test_order_is_checked(feed_file, function, kwargs):
    path = feed_file(random_feed(random.Random(1), 10))
    with pytest.raises(ValueError, match="argument 'order' must be one of 'files', 'exch_ts'"):
        function(path, order="time", **kwargs)
    with pytest.raises(ValueError, match="at most 256 files"):
        function([path] * 257, order="exch_ts", **kwargs)


def test_a_decode_error_fails_the_merge_where_the_files_head_is_needed(feed_file, records):
    good = feed_file(*(records.trade_record(seq_no=i, exch_ts=10 * i, token=3) for i in range(6)))
    cut = feed_file(
        records.trade_record(seq_no=1, exch_ts=15, token=4), records.trade_record(token=4)[:30]
    )
    table = tidemark_tools.trades([good, cut], order="exch_ts", batch_rows=1)
    reader = pa.RecordBatchReader.from_stream(table)
    seen = []
    with pytest.raises(OSError, match=f"{cut}: truncated message payload"):
        for batch in reader:
            seen += batch.column("exch_ts").to_pylist()
    # The cut file's head is needed once its message stamped 15 is merged:
    # the good file's messages at 0 and 10 come first, then 15.
    assert seen == [0, 10, 15]
