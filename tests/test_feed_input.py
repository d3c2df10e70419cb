"""Feed inputs that are not plain files: FIFOs, pipes and standard input are
read once and completely; devices, sockets and directories are refused;
nothing blocks in open() or ignores Ctrl-C while waiting for a writer."""

import json
import os
import random
import signal
import socket
import subprocess
import sys
import threading
import time

import feedgen
import pyarrow as pa
import pytest

import tidemark_tools
from tidemark_tools.stats import feed_stats

CLI = [sys.executable, "-m", "tidemark_tools"]

# Every function that takes a feed path, reading it to the end.
READERS = {
    "scan_feed": lambda path: pa.table(tidemark_tools.scan_feed(path)),
    "book_series": lambda path: pa.table(tidemark_tools.book_series(path)),
    "feed_stats": lambda path: feed_stats(path),
}


@pytest.fixture
def feed(tmp_path):
    path = tmp_path / "feed.bin"
    feedgen.write_feed(str(path), 5000, 6, seed=7)
    return str(path)


@pytest.fixture
def fifo(tmp_path):
    path = tmp_path / "feed.fifo"
    os.mkfifo(path)
    return str(path)


def write_in_pieces(fd, data, seed):
    """Writes data to fd in random pieces (cutting records) with short pauses,
    then closes it."""
    rng = random.Random(seed)
    pos = 0
    while pos < len(data):
        n = rng.randint(1, 20000)
        os.write(fd, data[pos : pos + n])
        pos += n
        if rng.random() < 0.2:
            time.sleep(0.002)
    os.close(fd)


def comparable(result):
    stats = dict(result) if isinstance(result, dict) else None
    if stats is None:
        return result
    stats.pop("path")
    return stats


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize(
    "target, text",
    [
        ("/dev/urandom", "'/dev/urandom' is a character device, not a feed file"),
        ("/dev/null", "'/dev/null' is a character device, not a feed file"),
        ("directory", r"Is a directory \(os error 21\)"),
    ],
)
def test_refused_inputs(reader, target, text, tmp_path):
    path = str(tmp_path) if target == "directory" else target
    with pytest.raises(RuntimeError, match=text):
        READERS[reader](path)


@pytest.mark.parametrize("reader", READERS)
def test_a_fifo_without_writer_is_refused_at_once(reader, fifo):
    # In a child, so that a reader blocking in open() fails the test instead
    # of hanging it.
    code = (
        "import sys, test_feed_input as t\n"
        "try:\n"
        f"    t.READERS[{reader!r}](sys.argv[1])\n"
        "except RuntimeError as exc:\n"
        "    print(exc)\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run(
        [sys.executable, "-c", code, fifo], capture_output=True, text=True, timeout=60, env=env
    )
    assert done.stdout.startswith("no process has this FIFO open for writing"), done.stderr


@pytest.mark.parametrize("reader", READERS)
# Leading spaces longer than the reader's buffer: the first-record check
# cannot go back to the start of a pipe, so reading must go on from where
# the check found the first record, with the padding still counted.
@pytest.mark.parametrize("lead", [0, 300_000])
def test_a_fifo_is_read_once_and_completely(reader, lead, feed, fifo, tmp_path):
    data = b" " * lead + open(feed, "rb").read()
    feed = str(tmp_path / "padded.bin")
    with open(feed, "wb") as f:
        f.write(data)
    # Open as reader and writer, which never blocks, so that a writer exists
    # when the function opens the FIFO.
    fd = os.open(fifo, os.O_RDWR)
    writer = threading.Thread(target=write_in_pieces, args=(fd, data, 1))
    writer.start()
    try:
        if reader == "feed_stats":
            got = feed_stats(fifo)
            assert comparable(got) == comparable(feed_stats(feed))
            return
        make = getattr(tidemark_tools, reader)
        source = make(fifo)
        assert pa.table(source).equals(pa.table(make(feed)))
        with pytest.raises(RuntimeError, match="can be read only once"):
            source.__arrow_c_stream__()
    finally:
        # When the reader failed early, the writer is stuck on a full pipe:
        # read what is left so that it finishes instead of hanging the test.
        drain = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        while writer.is_alive():
            try:
                os.read(drain, 1 << 16)
            except BlockingIOError:
                writer.join(0.01)
        os.close(drain)


@pytest.mark.parametrize("reader", READERS)
def test_ctrl_c_ends_a_wait_for_a_silent_writer(reader, fifo):
    code = (
        "import os, sys, test_feed_input as t\n"
        "fd = os.open(sys.argv[1], os.O_RDWR)\n"  # a writer that writes nothing
        "print('waiting', flush=True)\n"
        "try:\n"
        f"    t.READERS[{reader!r}](sys.argv[1])\n"
        "except KeyboardInterrupt:\n"
        "    print('interrupted', flush=True)\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    child = subprocess.Popen(
        [sys.executable, "-c", code, fifo], stdout=subprocess.PIPE, text=True, env=env
    )
    try:
        assert child.stdout.readline() == "waiting\n"
        time.sleep(0.3)
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=30)
    finally:
        child.kill()
    assert out == "interrupted\n"


@pytest.mark.parametrize(
    "argv",
    [
        ["dump", "-"],
        ["dump", "/dev/stdin"],
        ["dump", "-", "--format", "jsonl"],
        ["book", "-", "--every", "1ms"],
    ],
)
def test_command_reads_a_pipe_completely(argv, feed):
    data = open(feed, "rb").read()
    expected = subprocess.run(
        CLI + [a if a not in ("-", "/dev/stdin") else feed for a in argv],
        capture_output=True,
        check=True,
    ).stdout
    read_end, write_end = os.pipe()
    child = subprocess.Popen(CLI + argv, stdin=read_end, stdout=subprocess.PIPE)
    os.close(read_end)
    writer = threading.Thread(target=write_in_pieces, args=(write_end, data, 2))
    writer.start()
    out, _ = child.communicate(timeout=120)
    writer.join()
    assert child.returncode == 0
    assert out == expected


def test_info_of_a_pipe_counts_what_it_read(feed):
    with open(feed, "rb") as f:
        done = subprocess.run(
            CLI + ["info", "-", "--json"],
            input=f.read(),
            capture_output=True,
            check=True,
        )
    [stats] = json.loads(done.stdout)
    assert comparable(stats) == comparable(feed_stats(feed))


def test_a_socket_on_standard_input_is_refused(feed):
    ours, theirs = socket.socketpair()
    with ours, theirs:
        done = subprocess.run(CLI + ["dump", "-"], stdin=theirs, capture_output=True, text=True)
    assert done.returncode == 2
    assert "standard input is a socket, not a feed file" in done.stderr
