"""What the `tidemark` command does to the file that --out names: written
whole or not at all, never over one of its inputs, never through a planted
link, a FIFO or device kept as it is, a symlink's target replaced, the
mode kept, and nothing left behind by Ctrl-C, SIGTERM or SIGHUP."""

import os
import shutil
import signal
import stat
import subprocess
import sys
import threading
import time
from pathlib import Path

import feedgen
import pytest

from tidemark_tools.cli import main

ROOT = Path(__file__).resolve().parent.parent
SAMPLE = str(ROOT / "data" / "sample_feed.bin")
MASTER = str(ROOT / "data" / "contract_master_fo_header.csv")


def run(capsys, *argv):
    status = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


@pytest.fixture
def feed(tmp_path):
    path = tmp_path / "day.bin"
    shutil.copyfile(SAMPLE, path)
    return path


def leftovers(directory, *keep):
    return sorted(p.name for p in Path(directory).iterdir() if p.name not in keep)


@pytest.mark.parametrize(
    "argv",
    [
        ["dump", "{feed}", "--out", "{feed}"],
        ["book", "{feed}", "--out", "{link}"],
        ["info", "{feed}", "--out", "{hard}"],
        ["dump", "{feed}", "--master", "{master}", "--out", "{master}"],
    ],
    ids=["same path", "symlink to the input", "hard link to the input", "the master"],
)
def test_an_input_as_output_is_refused_and_kept(capsys, tmp_path, feed, argv):
    master = tmp_path / "master.csv"
    shutil.copyfile(MASTER, master)
    (tmp_path / "link").symlink_to(feed)
    os.link(feed, tmp_path / "hard")
    names = dict(feed=feed, master=master, link=tmp_path / "link", hard=tmp_path / "hard")
    before = {p: Path(p).read_bytes() for p in (feed, master)}
    status, out, err = run(capsys, *(a.format(**names) for a in argv))
    assert status == 2 and out == ""
    assert "is the input file" in err
    assert {p: Path(p).read_bytes() for p in (feed, master)} == before
    assert leftovers(tmp_path, "day.bin", "master.csv", "link", "hard") == []


def test_standard_output_appending_to_the_input_is_refused(tmp_path, feed):
    before = feed.read_bytes()
    with open(feed, "ab") as appended:
        done = subprocess.run(
            [sys.executable, "-m", "tidemark_tools", "dump", str(feed)],
            stdout=appended,
            stderr=subprocess.PIPE,
            text=True,
            timeout=120,
        )
    assert done.returncode == 2 and "is the input file" in done.stderr
    assert feed.read_bytes() == before


def test_a_planted_link_at_the_old_temporary_name_is_not_followed(capsys, tmp_path, feed):
    victim = tmp_path / "victim"
    victim.write_bytes(b"precious")
    out = tmp_path / "rows.csv"
    (tmp_path / f"rows.csv.part-{os.getpid()}").symlink_to(victim)
    assert run(capsys, "dump", feed, "--out", out)[0] == 0
    assert victim.read_bytes() == b"precious"
    assert out.read_text().startswith('"message_kind",')


def test_a_symlink_is_followed_and_its_target_replaced(capsys, tmp_path, feed):
    target = tmp_path / "real.csv"
    target.write_text("old\n")
    link = tmp_path / "link.csv"
    link.symlink_to(target)
    assert run(capsys, "dump", feed, "--limit", "3", "--out", link)[0] == 0
    assert link.is_symlink() and os.readlink(link) == str(target)
    assert len(target.read_text().splitlines()) == 4
    assert leftovers(tmp_path, "day.bin", "real.csv", "link.csv") == []


@pytest.mark.parametrize("mode", [0o600, 0o640, 0o755])
def test_an_existing_file_keeps_its_mode(capsys, tmp_path, feed, mode):
    out = tmp_path / "rows.csv"
    out.write_text("old\n")
    out.chmod(mode)
    assert run(capsys, "dump", feed, "--limit", "1", "--out", out)[0] == 0
    assert stat.S_IMODE(out.stat().st_mode) == mode
    assert out.read_text().startswith('"message_kind",')


@pytest.mark.parametrize("umask", [0o022, 0o077])
def test_a_new_file_gets_the_mode_the_umask_allows(capsys, tmp_path, feed, umask):
    old = os.umask(umask)
    try:
        assert run(capsys, "info", feed, "--out", tmp_path / "new.txt")[0] == 0
    finally:
        os.umask(old)
    assert stat.S_IMODE((tmp_path / "new.txt").stat().st_mode) == 0o666 & ~umask


def test_a_fifo_is_written_to_and_stays_a_fifo(capsys, tmp_path, feed):
    fifo = tmp_path / "rows.fifo"
    os.mkfifo(fifo)
    received = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()), daemon=True)
    reader.start()
    status = run(capsys, "dump", feed, "--limit", "2", "--out", fifo)[0]
    reader.join(timeout=20)
    assert status == 0
    assert stat.S_ISFIFO(fifo.lstat().st_mode)
    assert received[0].decode().count("\n") == 3
    assert leftovers(tmp_path, "day.bin", "rows.fifo") == []


def test_a_failed_command_leaves_the_target_as_it_was(capsys, tmp_path):
    out = tmp_path / "rows.csv"
    out.write_text("old\n")
    cut = tmp_path / "cut.bin"
    cut.write_bytes(Path(SAMPLE).read_bytes()[:-10])
    status, _, err = run(capsys, "dump", cut, "--out", out)
    assert status == 2 and "truncated" in err
    assert out.read_text() == "old\n"
    assert leftovers(tmp_path, "rows.csv", "cut.bin") == []


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_a_signal_mid_write_cleans_up(tmp_path, signum):
    if signal.getsignal(signum) == signal.SIG_IGN:
        pytest.skip("the signal is ignored here (nohup), and so in the command")
    feed = tmp_path / "busy.bin"
    feedgen.write_feed(str(feed), 20_000, 20, seed=2)
    out = tmp_path / "book.csv"
    out.write_text("old\n")
    child = subprocess.Popen(
        [sys.executable, "-m", "tidemark_tools", "book", str(feed), "--levels", "1000"]
        + ["--format", "csv", "--out", str(out)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    try:
        deadline = time.monotonic() + 60
        while len(leftovers(tmp_path)) < 3 and time.monotonic() < deadline:
            time.sleep(0.05)  # until the temporary file is there
        assert len(leftovers(tmp_path)) == 3, "the command never started writing"
        time.sleep(0.3)
        child.send_signal(signum)
        _, err = child.communicate(timeout=30)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == 128 + signum, err
    assert out.read_text() == "old\n"
    assert leftovers(tmp_path) == ["book.csv", "busy.bin"]


# ---------------------------------------------------------------- plot


@pytest.mark.parametrize(
    ("suffix", "magic"), [(".png", b"\x89PNG"), (".pdf", b"%PDF"), (".svg", b"<?xml")]
)
def test_plot_writes_the_format_its_suffix_names(capsys, tmp_path, suffix, magic):
    pytest.importorskip("matplotlib")
    out = tmp_path / f"book{suffix.upper()}"
    assert run(capsys, "plot", SAMPLE, "--token", "1002", "--out", out)[0] == 0
    assert out.read_bytes().startswith(magic)
    assert leftovers(tmp_path, out.name) == []


@pytest.mark.parametrize("name", ["book.jpg", "book", "book.png.txt"])
def test_plot_refuses_a_suffix_it_cannot_write(capsys, tmp_path, name):
    status, _, err = run(capsys, "plot", SAMPLE, "--token", "1002", "--out", tmp_path / name)
    assert status == 2 and ".png, .pdf or .svg" in err
    assert leftovers(tmp_path) == []


def test_plot_that_fails_keeps_the_old_picture(capsys, tmp_path):
    pytest.importorskip("matplotlib")
    out = tmp_path / "book.png"
    out.write_bytes(b"old picture")
    status, _, _ = run(capsys, "plot", SAMPLE, "--token", "999", "--out", out)
    assert status == 2
    assert out.read_bytes() == b"old picture"
    assert leftovers(tmp_path, "book.png") == []


@pytest.mark.parametrize("fmt", ["csv", "parquet"])
def test_a_full_disk_keeps_the_target_and_names_it(capsys, tmp_path, feed, monkeypatch, fmt):
    """A write that fails for want of space (here at the final rename) keeps
    the old file, leaves no temporary behind, and says which file it was."""
    out = tmp_path / f"rows.{fmt}"
    out.write_bytes(b"precious")

    def full(*args):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, "replace", full)
    status, _, err = run(capsys, "dump", feed, "--out", out)
    assert status == 2
    assert f"cannot write {out}: No space left on device" in err
    assert out.read_bytes() == b"precious"
    assert leftovers(tmp_path, "day.bin", out.name) == []


FILLED = """
import resource, signal, sys
from tidemark_tools.cli import main
# Writes past this size fail with EFBIG, as on a full file system.
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (int(sys.argv[1]), resource.RLIM_INFINITY))
sys.exit(main(sys.argv[2:]))
"""


def dump_with_file_size_limit(limit, *argv):
    return subprocess.run(
        [sys.executable, "-c", FILLED, str(limit), "dump", *map(str, argv)],
        capture_output=True,
        text=True,
        check=False,
    )


@pytest.mark.parametrize("fmt", ["csv", "parquet", "jsonl"])
def test_writes_that_run_out_of_room_keep_the_target_and_name_it(tmp_path, feed, fmt):
    """A write that fails while the rows go out, in every format: the
    regular file keeps what it held, and a device is named too."""
    out = tmp_path / f"rows.{fmt}"
    out.write_bytes(b"precious")
    done = dump_with_file_size_limit(4096, feed, "--format", fmt, "--out", out)
    assert done.returncode == 2, done.stderr
    assert f"cannot write {out}: File too large" in done.stderr
    assert out.read_bytes() == b"precious"
    assert leftovers(tmp_path, "day.bin", out.name) == []
    if os.path.exists("/dev/full"):
        done = dump_with_file_size_limit(-1, feed, "--format", fmt, "--out", "/dev/full")
        assert done.returncode == 2
        assert "cannot write /dev/full: No space left on device" in done.stderr
