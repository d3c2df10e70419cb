"""Following a feed file that is still being written: every row arrives, a
batch comes out soon after its first row, and the stream ends on stop(),
idle_timeout or Ctrl-C, or fails when the file shrinks or is replaced."""

import os
import random
import signal
import subprocess
import sys
import threading
import time

import feedgen
import pyarrow as pa
import pytest
from followed import read_until

import tidemark_tools

RECORDS = list(feedgen.generate(20000, 6, seed=21))
DATA = b"".join(RECORDS)
# A record boundary some 30 kB in.
CUT = sum(len(r) for r in RECORDS[:640])
SOME = sum(len(r) for r in RECORDS[:40])

# A writer process: appends argv[2]'s bytes to argv[1] in random pieces that
# cut records, with pauses, flushing each piece.
WRITER = """
import random, sys, time
data = open(sys.argv[2], "rb").read()
rng = random.Random(int(sys.argv[3]))
pos = 0
with open(sys.argv[1], "ab", buffering=0) as out:
    while pos < len(data):
        n = rng.randint(1, 9000)
        out.write(data[pos : pos + n])
        pos += n
        time.sleep(rng.random() * 0.01)
"""


def rows(table):
    return table.to_pylist()


@pytest.fixture
def growing(tmp_path):
    """A file holding the first 60 bytes of DATA (one whole record and a
    cut one), and the path of all of DATA."""
    path = tmp_path / "live.bin"
    path.write_bytes(DATA[:60])
    whole = tmp_path / "whole.bin"
    whole.write_bytes(DATA)
    return str(path), str(whole)


@pytest.mark.parametrize("seed, batch_rows", [(1, 65536), (2, 7), (3, 1)])
def test_rows_equal_the_final_file(growing, seed, batch_rows):
    path, whole = growing
    rest = os.path.join(os.path.dirname(path), "rest.bin")
    with open(rest, "wb") as f:
        f.write(DATA[60:])
    writer = subprocess.Popen([sys.executable, "-c", WRITER, path, rest, str(seed)])
    try:
        scan = tidemark_tools.scan_feed(path, follow=True, idle_timeout=1.0, batch_rows=batch_rows)
        got = pa.table(scan)
    finally:
        writer.wait(timeout=60)
    assert rows(got) == rows(pa.table(tidemark_tools.scan_feed(whole)))


def append_later(path, data, delay):
    def run():
        time.sleep(delay)
        with open(path, "ab") as f:
            f.write(data)

    thread = threading.Thread(target=run)
    thread.start()
    return thread


def test_a_batch_is_handed_out_soon_after_its_first_row(growing):
    path, _ = growing
    # Far fewer rows than batch_rows: only the flush interval hands them out.
    scan = tidemark_tools.scan_feed(path, follow=True, flush_interval=0.05)
    reader = pa.RecordBatchReader.from_stream(scan)
    first = reader.read_next_batch()
    assert first.num_rows == 1
    writer = append_later(path, DATA[60:SOME], 0.1)
    start = time.monotonic()
    second = reader.read_next_batch()
    waited = time.monotonic() - start
    writer.join()
    expected = pa.table(tidemark_tools.scan_feed(_write(path + ".ref", DATA[:SOME])))
    rest = read_until(reader, scan, expected.num_rows - first.num_rows - second.num_rows)
    got = pa.Table.from_batches([first, second, *rest])
    assert rows(got) == rows(expected)
    assert waited < 5  # not held back for batch_rows rows


def test_stop_from_another_thread_ends_the_stream(growing):
    path, _ = growing
    scan = tidemark_tools.scan_feed(path, follow=True)
    timer = threading.Timer(0.3, scan.stop)
    timer.start()
    assert pa.table(scan).num_rows == 1
    timer.join()


def test_idle_timeout_ends_the_stream_and_reports_a_cut_record(growing):
    path, _ = growing
    with pytest.raises(OSError, match="truncated message payload"):
        pa.table(tidemark_tools.scan_feed(path, follow=True, idle_timeout=0.2))
    with open(path, "r+b") as f:
        f.truncate(47)
    assert pa.table(tidemark_tools.scan_feed(path, follow=True, idle_timeout=0.2)).num_rows == 1


def test_the_first_record_is_waited_for(tmp_path):
    path = str(tmp_path / "new.bin")
    open(path, "wb").close()
    writer = append_later(path, DATA[:47], 0.2)
    scan = tidemark_tools.scan_feed(path, follow=True, idle_timeout=0.5)
    writer.join()
    assert pa.table(scan).num_rows == 1


@pytest.mark.parametrize(
    "change, text",
    [
        (lambda p: os.truncate(p, 10), "shrank"),
        (lambda p: os.replace(_write(p + ".new", DATA), p), "replaced or removed"),
        (os.remove, "replaced or removed"),
    ],
)
def test_a_file_that_shrinks_or_is_replaced_fails(growing, change, text):
    path, _ = growing
    scan = tidemark_tools.scan_feed(path, follow=True)
    reader = pa.RecordBatchReader.from_stream(scan)
    assert reader.read_next_batch().num_rows == 1
    threading.Timer(0.2, change, args=(path,)).start()
    with pytest.raises(OSError, match=text):
        reader.read_next_batch()


def test_waiting_costs_no_cpu(growing):
    path, _ = growing
    scan = tidemark_tools.scan_feed(path, follow=True)
    timer = threading.Timer(1.0, scan.stop)
    cpu = time.process_time()
    timer.start()
    pa.table(scan)
    timer.join()
    assert time.process_time() - cpu < 0.2


def test_ctrl_c_ends_a_follow(growing):
    path, _ = growing
    code = (
        "import sys, pyarrow as pa, tidemark_tools\n"
        "scan = tidemark_tools.scan_feed(sys.argv[1], follow=True)\n"
        "print('following', flush=True)\n"
        "try:\n"
        "    pa.table(scan)\n"
        "except (KeyboardInterrupt, OSError) as exc:\n"
        "    print(type(exc).__name__, exc, flush=True)\n"
    )
    child = subprocess.Popen([sys.executable, "-c", code, path], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "following\n"
        time.sleep(0.3)
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=30)
    finally:
        child.kill()
    assert "KeyboardInterrupt" in out


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"flush_interval": -1}, ValueError),
        ({"flush_interval": "1"}, TypeError),
        ({"idle_timeout": -0.5}, ValueError),
    ],
)
def test_follow_arguments(growing, kwargs, error):
    with pytest.raises(error):
        tidemark_tools.scan_feed(growing[0], follow=True, **kwargs)


def test_compressed_files_cannot_be_followed(tmp_path):
    import gzip

    path = _write(str(tmp_path / "day.bin.gz"), gzip.compress(DATA))
    with pytest.raises(RuntimeError, match="cannot be followed"):
        tidemark_tools.scan_feed(path, follow=True)


def _write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return path


def test_random_pieces_from_this_process(tmp_path):
    # Pieces as small as one byte, written between the scan's reads.
    path = _write(str(tmp_path / "live.bin"), DATA[:9])
    rng = random.Random(9)

    def write():
        pos = 9
        with open(path, "ab", buffering=0) as out:
            while pos < CUT:
                n = rng.choice([1, 2, 5, 46, 47, 48, 300, 4000])
                out.write(DATA[pos : min(pos + n, CUT)])
                pos += n
                if rng.random() < 0.05:
                    time.sleep(0.01)

    writer = threading.Thread(target=write)
    writer.start()
    got = pa.table(tidemark_tools.scan_feed(path, follow=True, idle_timeout=0.5, batch_rows=3))
    writer.join()
    expected = pa.table(tidemark_tools.scan_feed(_write(path + ".ref", DATA[:CUT])))
    assert rows(got) == rows(expected)
