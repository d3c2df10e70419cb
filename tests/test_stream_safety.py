"""One stream read from many threads at once, and long native work stopped by
Ctrl-C."""

import collections
import os
import signal
import subprocess
import sys
import threading
import time

import feedgen
import pyarrow as pa
import pytest

import tidemark_tools

THREADS = 8


@pytest.fixture(scope="module")
def busy_feed(tmp_path_factory):
    path = tmp_path_factory.mktemp("feeds") / "busy.bin"
    feedgen.write_feed(str(path), 30_000, 40, seed=7)
    return str(path)


def read_from_threads(reader, threads=THREADS):
    """Every thread calls read_next_batch on the one reader until the end;
    returns the batches and the exceptions, as they came."""
    batches, errors = [], []
    start = threading.Barrier(threads)

    def work():
        start.wait()
        while True:
            try:
                batch = reader.read_next_batch()
            except StopIteration:
                return
            except Exception as exc:  # noqa: BLE001 - recorded for the test
                errors.append(exc)
                return
            batches.append(batch)

    workers = [threading.Thread(target=work) for _ in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(timeout=120)
    assert not any(w.is_alive() for w in workers), "a reader thread hangs"
    return batches, errors


def batch_keys(batches):
    return collections.Counter(repr(b.to_pydict()) for b in batches)


@pytest.mark.parametrize(
    "make",
    [
        lambda p: tidemark_tools.scan_feed(p, batch_rows=97),
        lambda p: tidemark_tools.book_series(p, levels=3, batch_rows=61),
        lambda p: tidemark_tools.book_series(p, every_ns=1_000_000, batch_rows=13),
    ],
    ids=["scan", "book per message", "book grid"],
)
def test_many_threads_on_one_reader_get_every_batch_once(busy_feed, make):
    expected = list(pa.RecordBatchReader.from_stream(make(busy_feed)))
    for _ in range(2):
        reader = pa.RecordBatchReader.from_stream(make(busy_feed))
        batches, errors = read_from_threads(reader)
        assert errors == []
        assert batch_keys(batches) == batch_keys(expected)


def test_threads_share_a_decode_error_and_the_rows_before_it(tmp_path, busy_feed):
    whole = open(busy_feed, "rb").read()
    path = tmp_path / "cut.bin"
    path.write_bytes(whole[: len(whole) - 20])  # the last record cut short
    expected = []
    reader = pa.RecordBatchReader.from_stream(tidemark_tools.scan_feed(str(path), batch_rows=97))
    with pytest.raises(OSError) as first:
        for batch in reader:
            expected.append(batch)
    reader = pa.RecordBatchReader.from_stream(tidemark_tools.scan_feed(str(path), batch_rows=97))
    batches, errors = read_from_threads(reader)
    assert batch_keys(batches) == batch_keys(expected)
    assert len(errors) == THREADS
    assert {str(e) for e in errors} == {str(first.value)}


# ---------------------------------------------------------------- Ctrl-C

CHILD = r"""
import sys
import pandas  # pyarrow.table imports it on first use; not part of the test
import pyarrow as pa
import tidemark_tools as tt

path, kind = sys.argv[1], sys.argv[2]
if kind == "glitch grid":
    data = tt.book_series(path, every_ns=1, tokens=[2])
else:
    data = tt.book_series(path, levels=1000, batch_rows=2**40)
print("ready", flush=True)
try:
    table = pa.table(data)
except OSError as exc:
    print("error:", exc, flush=True)
    sys.exit(3)
print("done", table.num_rows, flush=True)
"""


@pytest.fixture(scope="module")
def glitched_feed(tmp_path_factory):
    """Token 1's book, then a message stamped 2**62 ns: a 1 ns grid over it
    has about 4.6e18 grid times."""
    path = tmp_path_factory.mktemp("feeds") / "glitch.bin"
    path.write_bytes(
        feedgen.order_record(exch_ts=10**9, token=1)
        + feedgen.order_record(exch_ts=2**62, token=1, order_id=2)
    )
    return str(path)


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
@pytest.mark.parametrize("kind", ["glitch grid", "deep book"])
def test_ctrl_c_stops_a_long_table_promptly(kind, glitched_feed, busy_feed):
    path = glitched_feed if kind == "glitch grid" else busy_feed
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, path, kind],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        for line in child.stdout:  # an editable install may print its rebuild first
            if line.strip() == "ready":
                break
        time.sleep(0.5)
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        child.wait(timeout=20)
        waited = time.monotonic() - sent
        # Read on through the same file object: the loop above may already
        # hold the lines after "ready" in its buffer.
        out, err = child.stdout.read(), child.stderr.read()
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    # Either the table was already complete, or the read stopped with the
    # interruption named; never a hang.
    assert out.startswith("done") or out.startswith("error: interrupted (KeyboardInterrupt)"), (
        out,
        err[-2000:],
    )
    assert waited < 10, waited


def test_a_handler_that_does_not_raise_does_not_stop_the_read(busy_feed):
    """Only a handler that raises stops the work: a signal the program
    handles quietly leaves the data whole."""
    seen = []
    old = signal.signal(signal.SIGUSR1, lambda signum, frame: seen.append(signum))
    try:
        timer = threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGUSR1))
        timer.start()
        table = pa.table(tidemark_tools.book_series(busy_feed, levels=50, batch_rows=2**40))
        timer.join()
    finally:
        signal.signal(signal.SIGUSR1, old)
    assert table.num_rows > 0
    assert table.equals(pa.table(tidemark_tools.book_series(busy_feed, levels=50)))


# ---------------------------------------------------------------- batch memory

MEMORY_CHILD = r"""
import sys
import pyarrow as pa
import tidemark_tools as tt

def vm_size():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

path, kind = sys.argv[1], sys.argv[2]
if kind == "scan":
    make = lambda: tt.scan_feed(path, batch_rows=2**40)
else:
    # One thread: the stacks and malloc arenas of shard threads reserve
    # address space of their own, which is not what this measures.
    make = lambda: tt.book_series(path, levels=1000, batch_rows=2**40, threads=1)
pa.table(tt.scan_feed(path, batch_rows=7))  # pyarrow's own start-up allocations
reader = pa.RecordBatchReader.from_stream(make())
before = vm_size()
batch = reader.read_next_batch()
print(vm_size() - before, batch.num_rows)
"""


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc")
@pytest.mark.parametrize("kind", ["scan", "deep book"])
def test_a_huge_batch_rows_on_a_small_file_reserves_little(tmp_path, kind):
    path = tmp_path / "small.bin"
    feedgen.write_feed(str(path), 300, 5, seed=3)
    done = subprocess.run(
        [sys.executable, "-c", MEMORY_CHILD, str(path), kind],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr[-2000:]
    grown, rows = (int(v) for v in done.stdout.split()[-2:])
    assert rows == 300
    assert grown < 32 * 2**20


@pytest.mark.parametrize(
    "make",
    [
        lambda p, rows: tidemark_tools.book_series(p, levels=1000, batch_rows=rows),
        lambda p, rows: tidemark_tools.book_series(p, levels=1000, every_ns=10**6, batch_rows=rows),
        lambda p, rows: tidemark_tools.scan_feed(p, batch_rows=rows),
    ],
    ids=["deep book", "deep grid", "scan"],
)
def test_batches_stay_under_the_byte_cap_and_lose_nothing(tmp_path, make):
    path = tmp_path / "feed.bin"
    feedgen.write_feed(str(path), 6_000, 3, seed=5)
    batches = list(pa.RecordBatchReader.from_stream(make(str(path), 2**40)))
    assert max(b.nbytes for b in batches) <= 64 * 2**20
    # (compared as values: each batch has its own order_type dictionary)
    assert pa.Table.from_batches(batches).to_pydict() == pa.table(make(str(path), 1000)).to_pydict()


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
@pytest.mark.parametrize(
    "make",
    [
        lambda p: tidemark_tools.book_series(p, levels=3, batch_rows=61, threads=2),
        lambda p: tidemark_tools.book_series(p, every_ns=1_000_000, batch_rows=13, threads=3),
        lambda p: tidemark_tools.trades(p, batch_rows=50, threads=2),
        lambda p: tidemark_tools.scan_feed(p, batch_rows=97),
    ],
    ids=["shards per message", "shards grid", "trade shards", "scan"],
)
def test_a_forked_child_neither_hangs_nor_reads_the_parents_stream(busy_feed, make):
    # The parent is mid-stream, its shard threads waiting for work, when it
    # forks. Those threads do not exist in the child: reading the stream
    # there must fail at once, and dropping it, or a batch it gave before the
    # fork, must not wait for them.
    expected = pa.table(make(busy_feed))
    reader = pa.RecordBatchReader.from_stream(make(busy_feed))
    first = reader.read_next_batch()
    time.sleep(0.05)
    read_fd, write_fd = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child: report what reading gave, then drop the stream
        code = 1
        try:
            reader.read_next_batch()
        except Exception as exc:  # noqa: BLE001 - reported to the parent
            if "before the process forked" in str(exc):
                code = 0
        # A batch made before the fork is the child's to read and drop.
        if not first.equals(expected.slice(0, first.num_rows).to_batches()[0]):
            code = 1
        os.write(write_fd, bytes([code]))
        del reader, first
        import gc

        gc.collect()
        os._exit(0)
    os.close(write_fd)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        time.sleep(0.02)
    else:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        pytest.fail("the child hangs dropping a stream it inherited")
    with os.fdopen(read_fd, "rb") as report:
        assert report.read() == b"\0", "reading in the child did not fail as documented"
    assert os.waitstatus_to_exitcode(status) == 0
    # The parent's stream is untouched by the child.
    rest = pa.Table.from_batches([first, *reader], schema=expected.schema)
    assert rest.equals(expected)
