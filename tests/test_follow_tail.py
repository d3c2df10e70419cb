"""`tidemark tail`: one line per message (or quote change) of files that are
still being written, times in --tz or the system's zone, until
--idle-timeout or Ctrl-C."""

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

RECORDS = list(feedgen.generate(3000, 4, seed=41))
DATA = b"".join(RECORDS)


def _tail(*args, env=None):
    return subprocess.Popen(
        [sys.executable, "-m", "tidemark_tools", "tail", *args],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env={**os.environ, **(env or {})},
    )


def _grow(path, data, pieces=7, pause=0.05):
    def run():
        step = len(data) // pieces + 1
        with open(path, "ab", buffering=0) as out:
            for k in range(0, len(data), step):
                out.write(data[k : k + step])  # cuts records
                time.sleep(pause)

    thread = threading.Thread(target=run)
    thread.start()
    return thread


@pytest.mark.parametrize("quotes", [False, True])
def test_lines_of_a_growing_file(tmp_path, quotes):
    path = tmp_path / "live.bin"
    path.write_bytes(DATA[:100])
    extra = ["--quotes"] if quotes else ["--type", "N,T"]
    child = _tail(str(path), "--idle-timeout", "1s", "--tz", "UTC", "--price-scale", "2", *extra)
    writer = _grow(path, DATA[100:])
    out, err = child.communicate(timeout=60)
    writer.join()
    assert child.returncode == 0, err
    lines = out.splitlines()
    if quotes:
        expected = pa.table(tidemark_tools.quotes(str(path)))
    else:
        expected = pa.table(tidemark_tools.scan_feed(str(path), types="NT"))
    assert len(lines) == expected.num_rows
    first = expected.slice(0, 1).to_pylist()[0]
    assert lines[0].split()[2] == ("token" if quotes else first["msg_type"])
    assert lines[0].startswith(_utc(first["exch_ts"]))


def _utc(ns):
    import datetime as dt

    moment = dt.datetime.fromtimestamp(ns // 10**9, dt.UTC)
    return f"{moment:%Y-%m-%d %H:%M:%S}.{ns % 10**9:09d}+0000"


def test_times_in_the_system_zone_by_default(tmp_path):
    path = tmp_path / "day.bin"
    path.write_bytes(DATA[: len(RECORDS[0])])
    child = _tail(str(path), "--idle-timeout", "200ms", env={"TZ": "Asia/Kolkata"})
    out, err = child.communicate(timeout=60)
    assert child.returncode == 0, err
    assert out.split()[1].endswith("+0530")


def test_ctrl_c_ends_the_tail(tmp_path):
    path = tmp_path / "day.bin"
    path.write_bytes(DATA)
    child = _tail(str(path))
    try:
        deadline = time.monotonic() + 30
        first = child.stdout.readline()  # the file's lines come at once
        assert first and time.monotonic() < deadline
        child.send_signal(signal.SIGINT)
        child.communicate(timeout=30)
    finally:
        child.kill()
    assert child.returncode == 130


def test_quotes_refuse_a_type_selection(tmp_path):
    path = tmp_path / "day.bin"
    path.write_bytes(DATA)
    child = _tail(str(path), "--quotes", "--type", "T", "--idle-timeout", "1s")
    _, err = child.communicate(timeout=60)
    assert child.returncode == 2
    assert "--quotes" in err


def test_the_system_zone_keeps_each_date_s_offset(tmp_path):
    # One message in winter and one in summer: the system's zone is used by
    # its name, so each time shows the offset it had, not today's.
    winter = 1_736_942_400 * 10**9  # 2025-01-15 12:00 UTC
    summer = 1_752_580_800 * 10**9  # 2025-07-15 12:00 UTC
    path = tmp_path / "day.bin"
    path.write_bytes(
        feedgen.order_record(exch_ts=winter, seq_no=1)
        + feedgen.order_record(exch_ts=summer, order_id=2, seq_no=2)
    )
    child = _tail(str(path), "--idle-timeout", "200ms", env={"TZ": "Europe/London"})
    out, err = child.communicate(timeout=60)
    assert child.returncode == 0, err
    assert [line.split()[1][-5:] for line in out.splitlines()] == ["+0000", "+0100"]


def test_master_base_names_each_file_s_contracts(tmp_path, records):
    from test_market_masters import day_files

    base, feeds = day_files(tmp_path, records)
    child = _tail(feeds[0], "--idle-timeout", "200ms", "--master-base", base)
    out, err = child.communicate(timeout=60)
    assert child.returncode == 0, err
    assert " NIFTY " in out and "BANKNIFTY" not in out
