"""read_feeds with scan options: the graph's column selection reaches each
partition's scan, the options narrow every file, and errors name the file."""

import pytest

dd = pytest.importorskip("dask.dataframe")
pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")

import feedgen  # noqa: E402

import tidemark_tools  # noqa: E402
from tidemark_tools.dask import read_feeds  # noqa: E402


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("feeds")
    paths = []
    for stream in (1, 2):
        path = str(folder / f"stream_{stream}.bin")
        feedgen.write_feed(path, 2_000, 6, seed=stream, stream_id=stream)
        paths.append(path)
    return paths


@pytest.fixture
def scans(monkeypatch):
    """The options of every scan_feed call the partitions make."""
    calls = []
    real = tidemark_tools.scan_feed

    def spy(path, **options):
        calls.append(options)
        return real(path, **options)

    monkeypatch.setattr(tidemark_tools, "scan_feed", spy)
    return calls


def test_selected_columns_reach_the_scan(files, scans):
    df = read_feeds(files)
    scans.clear()
    per_token = df[["token", "quantity"]].groupby("token").quantity.sum().compute(scheduler="sync")
    assert {tuple(sorted(c["columns"])) for c in scans} == {("quantity", "token")}
    whole = pd.concat([pa.table(tidemark_tools.scan_feed(p)).to_pandas() for p in files])
    want = whole.groupby("token").quantity.sum()
    assert per_token.astype("int64").sort_index().tolist() == want.astype("int64").tolist()


def test_options_narrow_every_partition(files):
    options = dict(tokens=[1003], types="NT", price_scale=2, timestamps="datetime")
    got = read_feeds(files, columns=["seq_no", "exch_ts", "price"], **options)
    got = got.compute(scheduler="sync").reset_index(drop=True)
    rows = [
        pa.table(tidemark_tools.scan_feed(p, columns=["seq_no", "exch_ts", "price"], **options))
        for p in files
    ]  # noqa: E501
    want = pa.concat_tables(rows).to_pandas(types_mapper=pd.ArrowDtype)
    pd.testing.assert_frame_equal(got, want)
    assert len(got) > 0


def test_errors_name_the_file(files, tmp_path):
    cut = tmp_path / "cut.bin"
    cut.write_bytes(feedgen.order_record("N") + feedgen.trade_record()[:20])
    with pytest.raises(Exception, match=f"{cut}: truncated message payload"):
        read_feeds([files[0], str(cut)]).compute(scheduler="sync")
    empty = tmp_path / "empty.bin"
    empty.write_bytes(b"")
    with pytest.raises(RuntimeError, match=f"^{empty}: file is empty"):
        read_feeds([str(empty), files[0]])
    with pytest.raises(ValueError, match="argument 'types'"):
        read_feeds(files, types="Q")


@pytest.mark.parametrize(
    "options",
    [{}, dict(price_scale=2, timestamps="datetime", tz="Asia/Kolkata"), dict(types="T")],
)
def test_selected_columns_equal_those_of_the_whole_frame(files, options):
    # Small batches: each partition's columns arrive in many pieces.
    df = read_feeds(files, batch_rows=7, **options)
    chosen = ["exch_ts", "token", "price", "msg_type"]
    got = df[chosen].compute(scheduler="sync")
    whole = df.map_partitions(lambda part: part).compute(scheduler="sync")
    pd.testing.assert_frame_equal(got, whole[chosen])
    assert len(got) > 0


def test_optimized_graph_runs_one_task_per_file(files, scans):
    # The docs advise optimize() before computing on a cluster: each file's
    # scan, selection, filter and per-token sums fuse into one task, with the
    # same result and the same columns reaching the scan.
    df = read_feeds(files + files)
    graph = df[df["msg_type"] == "T"].groupby("token")["trade_quantity"].sum()
    fused = graph.optimize()
    # One task per file, and one or two to add up the files' sums.
    assert len(fused.__dask_graph__()) <= df.npartitions + 2
    scans.clear()
    got = fused.compute(scheduler="sync")
    assert {tuple(sorted(c["columns"])) for c in scans} == {("msg_type", "token", "trade_quantity")}
    pd.testing.assert_series_equal(got, graph.compute(scheduler="sync"))
