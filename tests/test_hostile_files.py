"""Files that change under the reader, very large files and hostile contract masters."""

import json
import os
import subprocess
import sys
import tempfile
import textwrap

import pyarrow
import pytest
import tidemark
from feedgen import generate, order_record, other_record, trade_record
from reference_decoder import DecodeError, read_next, scan_reference, to_dict

import tidemark_tools

# ---------------------------------------------------------------- truncated while loading

# Loads the file named by argv[1] once stdin says go, then prints the message
# count and the dicts at the positions listed in argv[2] (those below the count).
LOAD_SCRIPT = textwrap.dedent(
    """
    import json, sys, tidemark
    sys.stdin.readline()
    cache = tidemark.MessageCacheReader()
    n = cache.load_to_cache(sys.argv[1])
    print(json.dumps([n, [cache[i] for i in json.loads(sys.argv[2]) if i < n]]), flush=True)
    """
)

# Watches the process argv[1] until it holds the file argv[2] open, then cuts
# the file to argv[3] bytes, or with "append" as argv[3] writes the file's
# first megabyte at its end ten times.
CHANGE_SCRIPT = textwrap.dedent(
    """
    import os, sys, time
    pid, path, change = sys.argv[1:4]
    fds = f"/proc/{pid}/fd"
    print("ready", flush=True)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        for fd in os.listdir(fds):
            try:
                if os.readlink(f"{fds}/{fd}") != path:
                    continue
            except OSError:
                continue
            if change == "append":
                with open(path, "rb") as f:
                    block = f.read(1 << 20)
                with open(path, "ab") as f:
                    for _ in range(10):
                        f.write(block)
            else:
                os.truncate(path, int(change))
            sys.exit(0)
    sys.exit("the loader never opened the file")
    """
)


@pytest.mark.parametrize("change", ["shrink", "grow"])
def test_file_changed_by_another_process_during_load(tmp_path, change):
    """A file cut to a quarter of its size while load_to_cache reads it gives
    the messages of the bytes read, a prefix of the file's messages, and never
    kills the interpreter. A file that grows meanwhile gives the messages of
    the size it had when the load opened it."""
    block = b"".join(generate(20_000, 50, seed=3))
    expected = scan_reference(block)
    repeats = 96
    path = str(tmp_path / "changing.bin")
    with open(path, "wb") as f:
        for _ in range(repeats):
            f.write(block)
    size = len(block) * repeats
    cut = size // 4
    total = len(expected) * repeats
    samples = sorted({0, 1, len(expected) - 1, len(expected), *range(7, total, 7919), total - 1})

    loader = subprocess.Popen(
        [sys.executable, "-c", LOAD_SCRIPT, path, json.dumps(samples)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    arg = str(cut) if change == "shrink" else "append"
    changer = subprocess.Popen(
        [sys.executable, "-c", CHANGE_SCRIPT, str(loader.pid), path, arg],
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert changer.stdout.readline() == "ready\n"
        out, _ = loader.communicate("go\n", timeout=120)
        assert changer.wait(timeout=60) == 0
    finally:
        loader.kill()
        changer.kill()
    assert loader.returncode == 0, f"the loading interpreter died: {loader.returncode}"
    count, dicts = json.loads(out)
    if change == "shrink":
        # At least every whole block below the cut was read; the file really
        # shrank under the load.
        assert (cut // len(block)) * len(expected) <= count < total
        assert os.path.getsize(path) == cut
    else:
        assert count == total
        assert os.path.getsize(path) == size + 10 * (1 << 20)
    shown = [i for i in samples if i < count]
    assert dicts == [expected[i % len(expected)] for i in shown]


# ---------------------------------------------------------------- over 4 GiB

FOUR_GIB = 1 << 32


def write_feed_over_4gib(path: str) -> tuple[bytes, bytes]:
    """A sparse feed file a little over 4 GiB: an order at the start, then
    records of unknown type 65,535 bytes long (a header each, the rest a hole)
    up to the 4 GiB mark, and order and trade records across and after it.
    Returns the bytes of the first record and of the records at the end."""
    head = order_record("N", order_id=1, token=5, order_type="B", price=100, quantity=10)
    skip = other_record("Z", 65_535)
    start = FOUR_GIB - 20  # the first record of the tail straddles the mark
    tail = (
        order_record("N", order_id=2, token=5, order_type="S", price=104, quantity=3, seq_no=7)
        + b"  "
        + trade_record(buy_order_id=1, sell_order_id=2, token=5, trade_quantity=2, seq_no=2**32 - 1)
        + order_record("M", order_id=1, token=5, order_type="B", price=101, quantity=6)
        + other_record("Q", 12, b"abc")
        + order_record(
            "N", order_id=9, token=2**32 - 1, order_type="B", price=2**32 - 1, quantity=1
        )
        + order_record("X", order_id=2, token=5, order_type="S", price=104, quantity=1)
        + b"   "
    )
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        os.pwrite(fd, head, 0)
        p = len(head)
        while p + 65_535 <= start:
            os.pwrite(fd, skip, p)
            p += 65_535
        os.pwrite(fd, b" " * (start - p) + tail, p)
    finally:
        os.close(fd)
    return head, tail


@pytest.fixture
def feed_over_4gib(tmp_path):
    # On tmpfs a hole reads from the one zero page: no 4 GiB of page cache to
    # fill and drop again, and only the written headers take memory (256 MB).
    shm = "/dev/shm"
    where = shm if os.path.isdir(shm) and os.access(shm, os.W_OK) else str(tmp_path)
    fd, path = tempfile.mkstemp(suffix=".bin", prefix="over_4gib_", dir=where)
    os.close(fd)
    try:
        head, tail = write_feed_over_4gib(path)
        yield path, scan_reference(head) + scan_reference(tail)
    finally:
        os.unlink(path)


def test_feed_over_4gib_through_cache_loader_and_scan(feed_over_4gib):
    path, expected = feed_over_4gib
    assert os.path.getsize(path) > FOUR_GIB
    cache = tidemark.MessageCacheReader()
    assert cache.load_to_cache(path) == len(expected) == 6
    assert cache.get_all_messages() == expected

    loader = tidemark.StreamingBinaryLoader()
    assert loader.open_stream(path) == len(expected)
    streamed = []
    while (msg := loader.get_next_msg()) is not None:
        streamed.append(msg)
    assert streamed == expected and loader.is_end_of_msg()

    books = tidemark.OrderbookBuilder()
    assert books.build_from_list(cache) == 6
    assert books.get_snapshot(5)["best_bid"] == (101, 6)

    rows = pyarrow.table(tidemark_tools.scan_feed(path)).to_pylist()
    assert len(rows) == len(expected)
    for row, msg in zip(rows, expected, strict=True):
        assert all(row[k] == msg.get(k) for k in row)


# ---------------------------------------------------------------- growing while streamed


def test_feed_that_grows_while_it_is_streamed(feed_file):
    """A loader at the end of a file reads on when the file grows: appended
    records come out in order, after the end was reported; a record cut short
    by the writer fails, and reading goes on from where the cut left it."""
    first = [order_record("N", order_id=i, token=3, order_type="B", price=50 + i) for i in range(3)]
    path = feed_file(*first)
    loader = tidemark.StreamingBinaryLoader()
    assert loader.open_stream(path) == 3
    got = [loader.get_next_msg() for _ in range(3)]
    assert loader.is_end_of_msg() and loader.get_next_msg() is None

    later = [
        trade_record(buy_order_id=1, token=3, trade_quantity=1),
        b"  ",
        other_record("A", 10, b"x"),
    ]
    with open(path, "ab") as f:
        f.write(b"".join(later))
    assert loader.is_end_of_msg() is False
    got.append(loader.get_next_msg())
    assert loader.get_next_msg() is None

    # Half a record appended: the loader reports the cut, and after the rest
    # arrives it reads on from where the cut left it, which is no record
    # boundary; whatever it frames there, it fails only with decoder texts.
    last = order_record("X", order_id=1, token=3, order_type="B")
    with open(path, "ab") as f:
        f.write(last[:20])
    with pytest.raises(RuntimeError, match="^truncated message payload$"):
        loader.get_next_msg()
    cut_at = os.path.getsize(path)
    with open(path, "ab") as f:
        f.write(last[20:] + last)
    # The reference decoder, started at the same offset, says what comes.
    fd = os.open(path, os.O_RDONLY)
    os.lseek(fd, cut_at, os.SEEK_SET)
    for _ in range(10):
        try:
            record = read_next(fd)
        except DecodeError as e:
            with pytest.raises(RuntimeError, match=f"^{e}$"):
                loader.get_next_msg()
            continue
        assert loader.get_next_msg() == (record and to_dict(record))
        if record is None:
            break
    os.close(fd)
    with open(path, "rb") as f:
        data = f.read()
    assert got == scan_reference(b"".join(first) + b"".join(later))
    # A fresh read of the grown file frames it from its start.
    loader.reset_cursor()
    again = []
    while (msg := loader.get_next_msg()) is not None:
        again.append(msg)
    assert again == scan_reference(data)


# ---------------------------------------------------------------- hostile contract masters

NOT_UTF8 = "stream did not contain valid UTF-8"
NO_TOKEN = (
    "cannot load symbol master from {}: CM_STREAM_INFO_SCHEMA_PATCH_ACTIVE: "
    "missing required token column. Available columns: {}"
)


@pytest.fixture
def master(tmp_path):
    """A master holding tokens 1 and 2, loaded before the hostile file."""
    path = tmp_path / "previous.csv"
    path.write_bytes(b"Token,Symbol\n1,ONE\n2,TWO\n")
    sm = tidemark.SymbolMaster()
    assert sm.load(str(path)) == 2
    return sm


LONG_LINE = 200 * 1024 * 1024


def test_master_whose_only_line_is_hundreds_of_megabytes(tmp_path, master):
    """One 200 MB header name and no row: no token column, and the message
    names that whole column."""
    path = tmp_path / "long_header.csv"
    with open(path, "wb") as f:
        f.write(b"N" * LONG_LINE)
    with pytest.raises(RuntimeError) as err:
        master.load(str(path))
    text = str(err.value)
    assert len(text) == len(NO_TOKEN.format(path, "")) + LONG_LINE
    assert text.startswith(NO_TOKEN.format(path, "NNN"))
    del err, text
    assert len(master) == 0


def test_master_row_of_hundreds_of_megabytes(tmp_path, master):
    """A row whose symbol field is 200 MB long loads that symbol whole."""
    path = tmp_path / "long_row.csv"
    with open(path, "wb") as f:
        f.write(b"Token,Symbol,Expiry\n7,")
        f.write(b"S" * LONG_LINE)
        f.write(b",1767052800\r\n8,B\n")
    assert master.load(str(path)) == 2
    info = master.lookup(7)
    assert len(info["symbol"]) == len(info["name"]) == LONG_LINE
    assert info["symbol"][:3] == info["symbol"][-3:] == "SSS"
    assert info["expiry"] == "30-Dec-2025" and master.lookup(8)["symbol"] == "B"


@pytest.mark.parametrize(
    "data",
    [
        b"Tok\xffen,Symbol\n7,A\n",  # in the header
        b"\xef\xbb\xbfToken,Symbol\n7,A\n8,\xc3\x28\n9,C\n",  # in a middle row
        b"Token,Symbol\n7,A\n8,\xe2\x82",  # cut short at the end
        b"Token,Symbol\n7,\xc0\x80\n",  # overlong NUL
        b"Token,Symbol\n7,\xed\xa0\x80\n",  # an encoded surrogate
        b"Token,Symbol\n7,\xf8\x88\x80\x80\x80\n",  # five-byte form
        b"Token,Symbol\n7,\xf4\x90\x80\x80\n",  # above U+10FFFF
    ],
    ids=["header", "middle", "cut-short", "overlong", "surrogate", "five-bytes", "too-large"],
)
def test_master_with_invalid_utf8_keeps_the_previous_table(tmp_path, master, data):
    path = tmp_path / "bad.csv"
    path.write_bytes(data)
    with pytest.raises(RuntimeError, match=f"^{NOT_UTF8}$"):
        master.load(str(path))
    assert len(master) == 2 and master.lookup(2)["symbol"] == "TWO"


@pytest.mark.parametrize(
    ("data", "count", "symbols"),
    [
        # A NUL inside or after a column name is punctuation to the column
        # match; a NUL inside a value is kept.
        (b"Tok\x00en,Sym\x00bol\n7,A\x00B\n", 1, {7: "A\x00B"}),
        # A NUL next to a token makes it no number: that row is skipped.
        (b"Token,Symbol\n7\x00,A\n8,B\n", 1, {8: "B"}),
        # A line of NUL in the middle is a row without a token.
        (b"Token,Symbol\n7,A\n\x00\x00\n8,B\n", 2, {7: "A", 8: "B"}),
        (b"\x00\n7,A\n", None, "\x00"),
        (b"Token\x00\x00,Symbol\n7,A\n", 1, {7: "A"}),
    ],
    ids=["in-names", "after-token", "nul-line", "nul-header", "nul-in-token-name"],
)
def test_master_with_nul_bytes(tmp_path, master, data, count, symbols):
    path = tmp_path / "nul.csv"
    path.write_bytes(data)
    if count is None:
        with pytest.raises(RuntimeError) as err:
            master.load(str(path))
        assert str(err.value) == NO_TOKEN.format(path, symbols)
        assert len(master) == 0
        return
    assert master.load(str(path)) == count
    assert {t: master.lookup(t)["symbol"] for t in symbols} == symbols
    assert len(master) == len(symbols)
