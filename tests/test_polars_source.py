"""The lazy polars source against the eager frame, with pushdown observed."""

import datetime as dt
import random

import pytest

pl = pytest.importorskip("polars")
pytest.importorskip("polars.io.plugins")

import feedgen  # noqa: E402
from test_scan_feed import random_feed  # noqa: E402

import tidemark_tools  # noqa: E402
import tidemark_tools.polars as tpl  # noqa: E402


def feed_with_stamps(rng, n):
    """Orders and trades over a few tokens, with timestamps that fit a
    timestamp column."""
    out = []
    for i in range(n):
        common = dict(seq_no=i, exch_ts=rng.randrange(10**18, 10**18 + 1000), local_ts=i)
        token = rng.choice([1, 2, 3, 4000000000])
        if rng.random() < 0.3:
            out.append(
                feedgen.trade_record(
                    token=token - 2**32 if token > 2**31 else token,
                    trade_price=rng.randint(-5, 10**6),
                    **common,
                )
            )
        else:
            out.append(
                feedgen.order_record(
                    rng.choice("NMX"), token=token, price=rng.randint(0, 10**6), **common
                )
            )
    return b"".join(out)  # fmt: skip


def plain(frame):
    """The frame with categorical columns as strings: older polars versions
    compare categoricals by their mapping, which differs between batches."""
    return frame.with_columns(pl.col(pl.Categorical).cast(pl.String))


def same(a, b):
    return plain(a).equals(plain(b))


def random_predicate(rng, frame, depth=0):
    """A random predicate over the columns that pushdown looks at and some it
    does not, with values taken from the data (and some that miss)."""
    tokens = frame["token"].unique().to_list() + [5, -1, 2**32 - 1]
    stamps = frame["exch_ts"].to_list()
    stamp = rng.choice(stamps)
    if isinstance(stamp, dt.datetime):
        stamp = stamp + dt.timedelta(microseconds=rng.choice([-1, 0, 1]))
    else:
        stamp += rng.choice([-1, 0, 1])
    leaves = [
        lambda: pl.col("token") == rng.choice(tokens),
        lambda: rng.choice(tokens) == pl.col("token"),
        lambda: pl.col("token").is_in(rng.sample(tokens, 2)),
        lambda: pl.col("token") > rng.choice(tokens),
        lambda: pl.col("msg_type") == rng.choice("NMXTQ"),
        lambda: pl.col("msg_type").is_in(rng.sample("NMXTQ", 2)),
        lambda: pl.col("msg_type") != "T",
        lambda: pl.col("exch_ts") >= stamp,
        lambda: pl.col("exch_ts") < stamp,
        lambda: stamp >= pl.col("exch_ts"),
        lambda: pl.col("exch_ts") == stamp,
        lambda: pl.col("exch_ts").is_between(stamp, stamp, closed=rng.choice(["both", "none"])),
        lambda: pl.col("seq_no") % 3 == 0,
        lambda: pl.col("price").is_null(),
    ]
    if depth < 2 and rng.random() < 0.6:
        a = random_predicate(rng, frame, depth + 1)
        b = random_predicate(rng, frame, depth + 1)
        return rng.choice([a & b, a & b, a | b, ~a])
    return rng.choice(leaves)()


@pytest.mark.parametrize("seed", range(8))
def test_lazy_equals_eager_for_random_predicates(feed_file, seed):
    rng = random.Random(seed)
    paths = [
        feed_file(feed_with_stamps(rng, rng.randint(50, 400))) for _ in range(rng.randint(1, 2))
    ]
    options = rng.choice([{}, {"timestamps": "datetime", "tz": "Asia/Kolkata"}, {"price_scale": 2}])
    options["batch_rows"] = rng.choice([1, 7, 1000])
    where = paths if len(paths) > 1 else paths[0]
    eager = pl.DataFrame(tidemark_tools.scan_feed(where, **options))
    lazy = tpl.scan_feed(where, **options)
    for _ in range(12):
        predicate = random_predicate(rng, eager)
        columns = rng.sample(eager.columns, rng.randint(1, 4))
        want = eager.filter(predicate).select(columns)
        got = lazy.filter(predicate).select(columns).collect()
        assert same(got, want), str(predicate)
        n = rng.randint(0, 20)
        assert same(lazy.filter(predicate).head(n).collect(), eager.filter(predicate).head(n))
        assert same(lazy.head(n).filter(predicate).collect(), eager.head(n).filter(predicate))


def test_unusual_files_and_no_predicate(feed_file):
    path = feed_file(random_feed(random.Random(3), 300))
    eager = pl.DataFrame(tidemark_tools.scan_feed(path))
    assert same(tpl.scan_feed(path).collect(), eager)
    assert same(
        tpl.scan_feed(path, columns=["seq_no", "token"]).collect(), eager.select("seq_no", "token")
    )
    assert tpl.scan_feed(path).select(pl.len()).collect().item() == eager.height


def test_pushdown_reaches_the_native_scan(feed_file, monkeypatch):
    rng = random.Random(1)
    path = feed_file(feed_with_stamps(rng, 2000))
    calls = []
    native_scan = tpl._native_scan

    def spy(function, paths, options):
        calls.append(options)
        return native_scan(function, paths, options)

    monkeypatch.setattr(tpl, "_native_scan", spy)
    lazy = tpl.scan_feed(path)
    calls.clear()
    got = lazy.filter((pl.col("token") == 2) & (pl.col("msg_type") == "T")).select("seq_no")
    got = got.collect()
    (options,) = calls
    assert options["tokens"] == [2] and options["types"] == "T"
    assert options["columns"] == ["seq_no", "token", "msg_type"] or set(options["columns"]) == {
        "seq_no",
        "token",
        "msg_type",
    }
    eager = pl.DataFrame(tidemark_tools.scan_feed(path, tokens=[2], types="T"))
    assert got["seq_no"].to_list() == eager["seq_no"].to_list()
    # Rows read into Python: only the one token's trades.
    rows = tidemark_tools.scan_feed(path, **{k: options[k] for k in ("tokens", "types")})
    assert pl.DataFrame(rows).height == got.height
    calls.clear()
    lazy.head(5).collect()
    assert calls[0]["limit"] == 5


@pytest.mark.parametrize(
    "predicate, expected",
    [
        (pl.col("token") == 7, {"tokens": [7]}),
        (pl.col("token") == -1, {"tokens": [2**32 - 1]}),
        (pl.col("token").is_in([1, 2]) & (pl.col("token") == 2), {"tokens": [2]}),
        (pl.col("msg_type").is_in(["N", "Q"]), {"types": "N"}),
        ((pl.col("exch_ts") > 5) & (pl.col("exch_ts") <= 9), {"start": 6, "end": 10}),
        (pl.col("exch_ts").is_between(5, 9, closed="left"), {"start": 5, "end": 9}),
        (pl.col("token") == 7.5, {"tokens": []}),
        ((pl.col("token") == 1) | (pl.col("token") == 2), {}),
        (~(pl.col("token") == 1), {}),
        (pl.col("token") > 1, {}),
        (pl.col("price") == 1, {}),
    ],
)
def test_what_is_pushed(predicate, expected):
    assert tpl.pushdown(predicate) == expected
