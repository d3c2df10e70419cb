"""tidemark_tools.dask: many files as one Dask DataFrame, one partition per
file, equal to the single-process results, on threads and on a two-worker
LocalCluster of processes."""

import os

import pytest

dd = pytest.importorskip("dask.dataframe")
pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")

import tidemark  # noqa: E402

import tidemark_tools  # noqa: E402
from tidemark_tools.dask import WORKER_CONFIG, book_series_many, read_feeds  # noqa: E402

MASTER = os.path.join(os.path.dirname(__file__), "..", "data", "contract_master_fo_header.csv")
UNDER_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")
HAS_BOOK_SERIES = hasattr(tidemark_tools, "book_series")


@pytest.fixture(scope="module")
def feeds(tmp_path_factory):
    """Three generated streams, and a fourth file with ids above 2**53."""
    import feedgen

    folder = tmp_path_factory.mktemp("feeds")
    paths = []
    for stream in (1, 2, 3):
        path = str(folder / f"stream_{stream}.bin")
        feedgen.write_feed(path, 3_000, 8, seed=stream, stream_id=stream)
        paths.append(path)
    big = str(folder / "big_ids.bin")
    with open(big, "wb") as f:
        f.write(feedgen.order_record("N", order_id=2**64 - 1, token=1001, exch_ts=2**63 + 1))
        f.write(feedgen.trade_record(buy_order_id=2**53 + 1, sell_order_id=2**64 - 2, token=-1))
    paths.append(big)
    return paths


def arrow_backed(stream):
    """What a partition should hold: the stream's rows, every column an
    Arrow-backed pandas column, strings plain."""
    table = pa.table(stream)
    columns = [c.cast(pa.string()) if pa.types.is_dictionary(c.type) else c for c in table.columns]
    return pa.table(columns, names=table.column_names).to_pandas(types_mapper=pd.ArrowDtype)


def single_process_messages(paths, master=None):
    frames = [arrow_backed(tidemark_tools.scan_feed(p, master=master)) for p in paths]
    return pd.concat(frames, ignore_index=True)


def assert_same(got, expected):
    got = got.reset_index(drop=True)
    assert list(got.columns) == list(expected.columns)
    assert got.dtypes.astype(str).tolist() == expected.dtypes.astype(str).tolist()
    assert all(isinstance(t, pd.ArrowDtype) for t in got.dtypes)
    pd.testing.assert_frame_equal(got, expected)


def test_read_feeds_on_threads_equals_the_scans(feeds):
    df = read_feeds(feeds, master=MASTER)
    assert df.npartitions == len(feeds)
    got = df.compute(scheduler="threads")
    assert_same(got, single_process_messages(feeds, MASTER))
    # Lossless: ids stay exact integers with <NA>, never float64.
    assert not any(str(t).startswith("float") for t in got.dtypes)
    tail = got.iloc[-2:]
    assert tail["order_id"].tolist()[0] == 2**64 - 1 and tail["order_id"].isna().tolist() == [
        False,
        True,
    ]
    assert tail["sell_order_id"].tolist()[1] == 2**64 - 2
    assert tail["exch_ts"].tolist()[0] == 2**63 + 1
    # A partition is one file.
    assert len(df.partitions[1].compute(scheduler="sync")) == 3_000


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda p: read_feeds(p, master=tidemark.SymbolMaster()), TypeError),
        (lambda p: read_feeds([]), ValueError),
        (lambda p: read_feeds([5]), TypeError),
        (lambda p: read_feeds(p[0] + ".missing"), RuntimeError),
    ],
)
def test_read_feeds_argument_errors(feeds, call, error):
    with pytest.raises(error):
        call(feeds)


def test_a_decode_error_fails_the_computation(feeds, tmp_path, records):
    cut = tmp_path / "cut.bin"
    cut.write_bytes(records.order_record("N") + records.trade_record()[:20])
    df = read_feeds([feeds[0], str(cut)])
    with pytest.raises(Exception, match="truncated message payload"):
        df.compute(scheduler="sync")


@pytest.mark.skipif(not HAS_BOOK_SERIES, reason="book_series is not built yet")
def test_book_series_many_on_threads_equals_the_series(feeds):
    options = {"tokens": iter([1001, 1003]), "levels": 3, "every_ns": 1_000_000}
    df = book_series_many(feeds[:3], **options)
    expected = pd.concat(
        [
            arrow_backed(
                tidemark_tools.book_series(p, tokens=[1001, 1003], levels=3, every_ns=10**6)
            )
            for p in feeds[:3]
        ],
        ignore_index=True,
    )
    assert_same(df.compute(scheduler="threads"), expected)


@pytest.mark.skipif(UNDER_SANITIZER, reason="worker processes under the sanitizers are too slow")
def test_two_worker_local_cluster_equals_single_process(feeds):
    distributed = pytest.importorskip("distributed")
    import dask

    with (
        dask.config.set(WORKER_CONFIG),
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        environ = client.run(
            lambda: (
                os.environ.get("MALLOC_MMAP_THRESHOLD_"),
                os.environ.get("MALLOC_TRIM_THRESHOLD_"),
            )
        )
        assert set(environ.values()) == {(str(16 << 20), str(64 << 20))}
        got = client.compute(read_feeds(feeds, master=MASTER)).result()
        assert_same(got, single_process_messages(feeds, MASTER))
        if HAS_BOOK_SERIES:
            series = book_series_many(feeds[:3], levels=2)
            expected = pd.concat(
                [arrow_backed(tidemark_tools.book_series(p, levels=2)) for p in feeds[:3]],
                ignore_index=True,
            )
            assert_same(client.compute(series).result(), expected)
