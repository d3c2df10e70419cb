"""Compressed recordings: a path ending in .gz or .zst reads as the feed it
holds, with the same rows and errors; compressed data that ends early or is
damaged fails after the rows before it, never as a shorter feed."""

import gzip
import os
import random
import threading

import feedgen
import pyarrow as pa
import pytest

import tidemark_tools
from tidemark_tools.stats import feed_stats

zstandard = pytest.importorskip("zstandard")


def zstd_frames(data: bytes, pieces: int = 1) -> bytes:
    """data as `pieces` zstd frames one after another, written without their
    content size as a streaming compressor writes them."""
    step = max(1, len(data) // pieces)
    out = b""
    for i in range(0, max(len(data), 1), step):
        c = zstandard.ZstdCompressor(write_content_size=False).compressobj()
        out += c.compress(data[i : i + step]) + c.flush()
    return out


def gzip_members(data: bytes, pieces: int) -> bytes:
    step = max(1, len(data) // pieces)
    return b"".join(gzip.compress(data[i : i + step]) for i in range(0, len(data), step))


CODECS = {
    "gz": (".gz", gzip.compress),
    "gz-members": (".gz", lambda d: gzip_members(d, 3)),
    "zst": (".zst", lambda d: zstandard.ZstdCompressor().compress(d)),
    "zst-frames": (".zst", lambda d: zstd_frames(d, 3)),
}


def outcome(read, path):
    """What reading path gives: the result, or the error's type and text."""
    try:
        return read(path)
    except (RuntimeError, OSError) as exc:
        return (type(exc).__name__, str(exc))


def stats_without_path(path):
    stats = dict(feed_stats(path))
    del stats["path"]
    return stats


def rows_until_error(path):
    """The rows a scan hands out before it fails, and its error text."""
    try:
        reader = pa.RecordBatchReader.from_stream(tidemark_tools.scan_feed(path, batch_rows=500))
    except RuntimeError as exc:  # no record could be read at all
        return [], str(exc)
    rows = []
    try:
        for batch in reader:
            rows += batch.to_pylist()
    except OSError as exc:
        return rows, str(exc)
    return rows, None


READERS = {
    "scan_feed": lambda p: pa.table(tidemark_tools.scan_feed(p, batch_rows=777)),
    "book_series": lambda p: pa.table(tidemark_tools.book_series(p, every_ns=1_000_000)),
    "feed_stats": stats_without_path,
}


def random_feeds():
    """Whole random feeds, the same cut at random places (often inside a
    record), and the degenerate ones."""
    rng = random.Random(5)
    whole = b"".join(feedgen.generate(6000, 7, seed=11))
    feeds = {"whole": whole, "padded": b"   " + whole + b"  "}
    for k in range(3):
        feeds[f"cut{k}"] = whole[: rng.randrange(100, len(whole))]
    feeds["empty"] = b""
    feeds["bad first"] = feedgen.other_record("A", 12) + whole
    return feeds


FEEDS = random_feeds()


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("codec", CODECS)
@pytest.mark.parametrize("feed", FEEDS)
def test_compressed_copy_reads_as_the_original(tmp_path, reader, codec, feed):
    suffix, compress = CODECS[codec]
    plain = tmp_path / "feed.bin"
    plain.write_bytes(FEEDS[feed])
    packed = tmp_path / ("feed.bin" + suffix)
    packed.write_bytes(compress(FEEDS[feed]))
    read = READERS[reader]
    got, expected = outcome(read, str(packed)), outcome(read, str(plain))
    if (
        reader == "feed_stats"
        and expected["error"] is not None
        and expected["error"]["offset"] == 0
    ):
        # The size of compressed data is known only as far as it was read.
        got.pop("size"), expected.pop("size")
    assert got == expected


@pytest.mark.parametrize("codec", CODECS)
def test_compressed_file_cut_short_fails_after_its_rows(tmp_path, codec):
    suffix, compress = CODECS[codec]
    truncated = f"truncated {'gzip' if suffix == '.gz' else 'zstd'} data"
    whole = FEEDS["whole"]
    expected = pa.table(tidemark_tools.scan_feed(_write(tmp_path / "plain.bin", whole))).to_pylist()
    packed = compress(whole)
    rng = random.Random(codec)
    for k in range(4):
        # Never inside the last few bytes of a gzip member: the cut must
        # fall inside the compressed stream.
        cut = rng.randrange(40, len(packed) - 40)
        path = _write(tmp_path / f"cut{k}.bin{suffix}", packed[:cut])
        with pytest.raises(RuntimeError, match=truncated):
            feed_stats_error(path)
        rows, error = rows_until_error(path)
        assert error is not None and truncated in error
        assert rows == expected[: len(rows)]


def feed_stats_error(path):
    error = feed_stats(path)["error"]
    if error is not None:
        raise RuntimeError(error["text"])


@pytest.mark.parametrize(
    "suffix, text",
    [(".gz", "corrupt gzip data: incorrect header check"), (".zst", "corrupt zstd data")],
)
def test_a_plain_feed_named_as_compressed_is_refused(tmp_path, suffix, text):
    path = _write(tmp_path / f"feed.bin{suffix}", FEEDS["whole"])
    with pytest.raises(RuntimeError, match=text):
        tidemark_tools.scan_feed(path)


def test_compressed_fifo(tmp_path):
    path = tmp_path / "feed.bin.zst"
    os.mkfifo(path)
    packed = zstandard.ZstdCompressor().compress(FEEDS["whole"])
    fd = os.open(path, os.O_RDWR)

    def write():
        for i in range(0, len(packed), 4096):
            os.write(fd, packed[i : i + 4096])
        os.close(fd)

    writer = threading.Thread(target=write)
    writer.start()
    try:
        got = pa.table(tidemark_tools.scan_feed(str(path)))
    finally:
        writer.join()
    expected = pa.table(tidemark_tools.scan_feed(_write(tmp_path / "plain.bin", FEEDS["whole"])))
    assert got.equals(expected)


def _write(path, data):
    path.write_bytes(data)
    return str(path)


@pytest.mark.parametrize("codec", ["gz", "zst"])
@pytest.mark.parametrize("command", [["dump"], ["info", "--json"], ["book", "--every", "1ms"]])
def test_command_reads_compressed_files(tmp_path, capsys, codec, command):
    from tidemark_tools.cli import main

    suffix, compress = CODECS[codec]
    plain = _write(tmp_path / "day.bin", FEEDS["cut0"])
    packed = _write(tmp_path / f"day.bin{suffix}", compress(FEEDS["cut0"]))
    outputs = []
    for path in (plain, packed):
        status = main([command[0], path, *command[1:]])
        out, err = capsys.readouterr()
        outputs.append((status, out.replace(path, "PATH"), err.replace(path, "PATH")))
    assert outputs[0] == outputs[1]
    assert outputs[0][0] != 0  # the cut is reported the same way


# A recording large enough that decompression runs ahead on its own thread
# and fills every buffer before the reader catches up.
LARGE = b"".join(feedgen.generate(80_000, 40, seed=23))
LARGE_CODECS = {k: CODECS[k] for k in ("gz", "zst", "zst-frames")}


def decompressible_prefix(codec, packed):
    """The bytes that a streaming decompressor gets out of `packed` before
    it runs out of input."""
    if codec == "gz":
        import zlib

        return zlib.decompressobj(16 + zlib.MAX_WBITS).decompress(packed)
    out = b""
    while packed:
        d = zstandard.ZstdDecompressor().decompressobj()
        out += d.decompress(packed)
        packed = d.unused_data
    return out


@pytest.mark.parametrize("codec", LARGE_CODECS)
def test_large_compressed_file_reads_as_the_original(tmp_path, codec):
    suffix, compress = CODECS[codec]
    plain = _write(tmp_path / "plain.bin", LARGE)
    packed = _write(tmp_path / f"feed.bin{suffix}", compress(LARGE))
    for read in (READERS["scan_feed"], lambda p: pa.table(tidemark_tools.trades(p))):
        assert read(packed).equals(read(plain))
    assert stats_without_path(packed) == stats_without_path(plain)


@pytest.mark.parametrize("codec", LARGE_CODECS)
def test_large_compressed_file_cut_short_fails_where_its_data_ends(tmp_path, codec):
    """The rows before the error are exactly those of the bytes that could
    be decompressed: none held back in a buffer, none made up."""
    suffix, compress = CODECS[codec]
    packed = compress(LARGE)
    for k, share in enumerate((0.1, 0.55, 0.97)):
        cut = packed[: int(len(packed) * share)]
        path = _write(tmp_path / f"cut{k}.bin{suffix}", cut)
        data = decompressible_prefix(codec, cut)
        prefix = _write(tmp_path / f"prefix{k}.bin", data)
        rows, error = rows_until_error(path)
        assert rows == rows_until_error(prefix)[0]
        assert error is not None and "data: the compressed file ends early" in error
        # The failed record begins where the plain prefix's last one does
        # (or at the prefix's end, when that ends between records).
        stats, expected = feed_stats(path), feed_stats(prefix)
        assert stats["messages"] == expected["messages"]
        assert stats["error"]["offset"] == (
            expected["error"]["offset"] if expected["error"] else len(data)
        )


@pytest.mark.parametrize("codec", ["gz", "zst"])
def test_large_compressed_file_damaged_in_the_middle(tmp_path, codec):
    suffix, compress = CODECS[codec]
    packed = bytearray(compress(LARGE))
    middle = len(packed) * 2 // 3
    intact = _write(tmp_path / "intact.bin", decompressible_prefix(codec, bytes(packed[:middle])))
    packed[middle : middle + 64] = bytes(64)
    path = _write(tmp_path / f"feed.bin{suffix}", bytes(packed))
    first = rows_until_error(path)
    rows, error = first
    assert error is not None and f"corrupt {'gzip' if codec == 'gz' else 'zstd'} data" in error
    # Rows of the data before the damage come first (not necessarily all:
    # the block being decompressed when the damage is found is dropped; and
    # a gzip member's damage may decode to other bytes until its check).
    intact_rows = rows_until_error(intact)[0]
    common = min(len(rows), len(intact_rows))
    assert common > 10_000 and rows[:common] == intact_rows[:common]
    assert rows_until_error(path) == first  # the same rows and error every time


def thread_count():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("Threads:"))


def take_one_batch_and_drop(path):
    reader = pa.RecordBatchReader.from_stream(tidemark_tools.scan_feed(path, batch_rows=1000))
    reader.read_next_batch()


def take_one_batch_and_close(path):
    reader = pa.RecordBatchReader.from_stream(tidemark_tools.scan_feed(path, batch_rows=1000))
    reader.read_next_batch()
    reader.close()


def generator_dropped_half_way(path):
    def batches():
        yield from pa.RecordBatchReader.from_stream(tidemark_tools.trades(path))

    gen = batches()
    next(gen)
    del gen


def consumer_raises(path):
    with pytest.raises(ValueError):
        for batch in pa.RecordBatchReader.from_stream(tidemark_tools.scan_feed(path)):
            raise ValueError(batch.num_rows)


def book_series_stopped_early(path):
    stream = pa.RecordBatchReader.from_stream(
        tidemark_tools.book_series(path, every_ns=1_000_000, batch_rows=10)
    )
    stream.read_next_batch()
    stream.close()


@pytest.mark.parametrize(
    "consume",
    [
        take_one_batch_and_drop,
        take_one_batch_and_close,
        generator_dropped_half_way,
        consumer_raises,
        book_series_stopped_early,
    ],
)
@pytest.mark.parametrize("codec", ["gz", "zst"])
def test_a_stream_left_early_stops_its_decompression(tmp_path, codec, consume):
    suffix, compress = CODECS[codec]
    path = _write(tmp_path / f"feed.bin{suffix}", compress(LARGE))
    consume(path)  # the first time starts whatever pools the libraries keep
    before = thread_count()
    for _ in range(3):
        consume(path)
    assert thread_count() <= before


@pytest.mark.parametrize("codec", ["gz", "zst"])
def test_interpreter_exits_with_a_compressed_stream_half_read(tmp_path, codec):
    import subprocess
    import sys

    suffix, compress = CODECS[codec]
    path = _write(tmp_path / f"feed.bin{suffix}", compress(LARGE))
    script = (
        "import sys, pyarrow as pa, tidemark_tools\n"
        "reader = pa.RecordBatchReader.from_stream(tidemark_tools.scan_feed(sys.argv[1], "
        "batch_rows=100))\n"
        "reader.read_next_batch()\n"
        "gen = iter(pa.RecordBatchReader.from_stream(tidemark_tools.trades(sys.argv[1])))\n"
        "next(gen)\n"
        "print('read')\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", script, path], capture_output=True, text=True, timeout=60
    )
    assert (done.returncode, done.stdout, done.stderr) == (0, "read\n", "")
