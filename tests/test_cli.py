"""The `tidemark` command: each subcommand on the sample data and on made-up
files, its output, its exit status and its one-line errors."""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from tidemark import StreamingBinaryLoader

from tidemark_tools.cli import main, parse_duration
from tidemark_tools.stats import feed_stats

ROOT = Path(__file__).resolve().parent.parent
SAMPLE = str(ROOT / "data" / "sample_feed.bin")
MASTER = str(ROOT / "data" / "contract_master_fo_header.csv")


def run(capsys, *argv):
    """Runs the command in this process: (exit status, stdout, stderr)."""
    status = main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


# ---------------------------------------------------------------- info


def test_info_sample_agrees_with_the_loader(capsys):
    status, out, err = run(capsys, "info", SAMPLE, "--json")
    assert status == 0 and err == ""
    [stats] = json.loads(out)
    loader = StreamingBinaryLoader()
    loader.open_stream(SAMPLE)
    by_type: dict[str, int] = {}
    by_token: dict[str, int] = {}
    msgs = []
    while (msg := loader.get_next_msg()) is not None:
        by_type[msg["msg_type"]] = by_type.get(msg["msg_type"], 0) + 1
        key = str(msg["token"] & 0xFFFFFFFF)
        by_token[key] = by_token.get(key, 0) + 1
        msgs.append(msg)
    assert stats["messages"] == len(msgs)
    assert {t: n for t, n in stats["records_by_type"].items() if t in "NMXT"} == by_type
    assert stats["messages_by_token"] == by_token and stats["tokens"] == len(by_token)
    assert (stats["first_seq_no"], stats["last_seq_no"]) == (msgs[0]["seq_no"], msgs[-1]["seq_no"])
    assert stats["first_exch_ts"] == msgs[0]["exch_ts"]
    assert stats["last_exch_ts"] == msgs[-1]["exch_ts"]
    assert stats["size"] == stats["bytes_scanned"] == os.path.getsize(SAMPLE)
    assert stats["error"] is None
    # Every byte is a record, a skipped record or padding.
    assert stats["size"] == (
        47 * (stats["messages"] - by_type.get("T", 0))
        + 54 * by_type.get("T", 0)
        + stats["unknown_bytes"]
        + stats["padding_bytes"]
    )

    status, text, _ = run(capsys, "info", SAMPLE)
    assert status == 0
    assert f"messages       {len(msgs):,}" in text
    assert "decoding       clean to the end" in text


def test_info_counts_padding_skipped_records_and_where_decoding_stopped(capsys, feed_file, records):
    good = records.order_record("N", token=7, seq_no=5, exch_ts=100)
    trade = records.trade_record(token=-1, seq_no=6, exch_ts=90)
    other = records.other_record("A", msg_len=12, body=b"xyz")
    short = records.other_record("B", msg_len=3)  # skips 9 bytes in the streaming framing
    path = feed_file(b"  ", good, b" ", other, trade, short, good[:20])
    stats = feed_stats(path)
    assert stats["messages"] == 2
    assert stats["records_by_type"] == {"N": 1, "T": 1, "A": 1, "B": 1}
    assert (stats["unknown_records"], stats["unknown_bytes"]) == (2, 21)
    assert stats["padding_bytes"] == 3
    assert stats["messages_by_token"] == {"7": 1, "4294967295": 1}
    assert stats["exch_ts_backwards"] == 1
    assert (stats["min_exch_ts"], stats["max_exch_ts"]) == (90, 100)
    cut_at = 2 + 47 + 1 + 12 + 54 + 9
    assert stats["error"] == {"offset": cut_at, "text": "truncated message payload"}
    # The loader fails on the same record with the same text.
    loader = StreamingBinaryLoader()
    loader.open_stream(path, count_messages=False)
    with pytest.raises(RuntimeError, match="^truncated message payload$"):
        while loader.get_next_msg() is not None:
            pass

    status, out, err = run(capsys, "info", path)
    assert status == 1 and err == ""
    assert f"stopped at byte {cut_at:,}: truncated message payload" in out
    assert "other records  2 (21 bytes): A 1, B 1" in out


@pytest.mark.parametrize(
    "content, text",
    [
        (b"", "file is empty or missing a complete message header"),
        (b"   ", "file is empty or missing a complete message header"),
        (b"12345", "truncated first message header"),
        (b"\x0c\x00\x01\x00\x00\x00\x00\x00A", "invalid first message type: 65"),
    ],
)
def test_info_reports_a_bad_start_as_a_finding(feed_file, content, text):
    stats = feed_stats(feed_file(content))
    assert stats["messages"] == 0 and stats["first_seq_no"] is None
    assert stats["error"] == {"offset": 0, "text": text}


def test_info_several_files_and_a_missing_one(capsys, tmp_path):
    missing = str(tmp_path / "missing.bin")
    status, out, err = run(capsys, "info", SAMPLE, missing, SAMPLE, "--json")
    assert status == 2
    assert err == f"tidemark: {missing}: No such file or directory (os error 2)\n"
    assert len(json.loads(out)) == 2


def test_feed_stats_progress_and_a_failing_callback(tmp_path, records):
    path = tmp_path / "big.bin"
    path.write_bytes(records.order_record("N") * 400_000)  # 18.8 MB: three steps
    seen: list[int] = []
    stats = feed_stats(path, progress=seen.append)
    assert stats["messages"] == 400_000
    assert seen == sorted(seen) and len(seen) >= 3 and seen[-1] == stats["size"]

    def stop(_position):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        feed_stats(str(path), progress=stop)
    with pytest.raises(TypeError, match="path must be"):
        feed_stats(5)  # type: ignore[arg-type]


# ---------------------------------------------------------------- path


def test_path_prints_the_builders_path(capsys, tmp_path):
    status, out, _ = run(capsys, "path", "nse_cm", "--stream", "2", "--date", "2025-12-29")
    assert (status, out) == (0, "/nas/50.30/NSE_CM/Feed_CM_StreamID_2_29_12_2025.bin\n")

    feed = tmp_path / "NSE_FO" / "Feed_FO_StreamID_1_01_06_2026.bin"
    feed.parent.mkdir()
    feed.write_bytes(b"")
    args = ("path", "FO", "--stream", "1", "--date", "2026-06-01", "--base", f"{tmp_path}/")
    assert run(capsys, *args, "--verify") == (0, f"{feed}\n", "")
    feed.unlink()
    status, out, err = run(capsys, *args, "--verify")
    assert (status, out) == (2, "")
    assert err == f"tidemark: file not found: {feed}\n"


@pytest.mark.parametrize(
    "argv, message",
    [
        (["path", "BSE", "--stream", "1", "--date", "2026-01-02"], "unknown segment 'BSE'"),
        (["path", "CM", "--stream", "0", "--date", "2026-01-02"], "stream_id must be > 0"),
        (["path", "CM", "--stream", "1", "--date", "2026-13-02"], "invalid month 13"),
        (["path", "CM", "--stream", "1", "--date", "02/01/2026"], "invalid date '02/01/2026'"),
    ],
)
def test_path_errors_are_one_line(capsys, argv, message):
    status, out, err = run(capsys, *argv)
    assert (status, out) == (2, "")
    assert err.startswith("tidemark: ") and message in err and err.count("\n") == 1


# ---------------------------------------------------------------- conventions


@pytest.mark.parametrize(
    "text, ns",
    [
        ("1s", 10**9),
        ("100ms", 10**8),
        ("5m", 300 * 10**9),
        ("1.5s", 1_500_000_000),
        ("250us", 250_000),
        ("1ns", 1),
        ("2h", 7_200 * 10**9),
    ],
)
def test_durations(text, ns):
    assert parse_duration(text) == ns


@pytest.mark.parametrize(
    "argv",
    [
        ["book", SAMPLE, "--every", "1x"],
        ["book", SAMPLE, "--every", "0s"],
        ["plot", SAMPLE, "--out", "x.png"],
        ["dump", SAMPLE, "--token", "-1"],
        ["dump", SAMPLE, "--type", "N,Q"],
        ["frobnicate"],
    ],
)
def test_usage_errors_are_one_line_with_status_2(capsys, argv):
    with pytest.raises(SystemExit) as exit_info:
        main(argv)
    out, err = capsys.readouterr()
    assert exit_info.value.code == 2 and out == ""
    assert err.startswith("tidemark") and err.count("\n") == 1


@pytest.mark.parametrize("command", ["info", "dump", "book", "plot", "path"])
def test_every_subcommand_has_help_with_an_example(capsys, command):
    with pytest.raises(SystemExit) as exit_info:
        main([command, "--help"])
    out = capsys.readouterr().out
    assert exit_info.value.code == 0
    assert f"usage: tidemark {command}" in out and "example:\n  tidemark " + command in out


def test_installed_console_script(tmp_path):
    exe = shutil.which("tidemark", path=os.path.dirname(sys.executable))
    if exe is None:
        pytest.skip("the console script is not installed beside this interpreter")
    ok = subprocess.run([exe, "info", SAMPLE], capture_output=True, text=True)
    assert ok.returncode == 0 and ok.stderr == "" and "decoding       clean" in ok.stdout
    # Not a terminal: no progress bar, and an error is one line, no traceback.
    bad = subprocess.run([exe, "info", str(tmp_path)], capture_output=True, text=True)
    assert bad.returncode == 2 and bad.stdout == ""
    assert bad.stderr == f"tidemark: {tmp_path}: Is a directory (os error 21)\n"


# ---------------------------------------------------------------- dump and book

pa = pytest.importorskip("pyarrow")
import tidemark_tools  # noqa: E402

HAS_BOOK_SERIES = hasattr(tidemark_tools, "book_series")


def selected(table, tokens=None, types=None):
    """The rows of a scan table that `--token` and `--type` keep, by the
    loader's dicts rather than by the command's own filter code."""
    rows = table.to_pylist()
    if tokens is not None:
        rows = [r for r in rows if r["token"] & 0xFFFFFFFF in tokens]
    if types is not None:
        rows = [r for r in rows if r["msg_type"] in types]
    return rows


@pytest.mark.parametrize(
    "options, tokens, types, limit",
    [
        ([], None, None, None),
        (["--token", "1002", "1005", "--type", "T,X"], {1002, 1005}, {"T", "X"}, None),
        (["--token", "1003", "--token", "1001", "--limit", "7"], {1001, 1003}, None, 7),
    ],
)
def test_dump_parquet_csv_and_jsonl_hold_the_scans_rows(
    capsys, tmp_path, options, tokens, types, limit
):
    import pyarrow.csv
    import pyarrow.parquet as pq

    expected = selected(pa.table(tidemark_tools.scan_feed(SAMPLE, master=MASTER)), tokens, types)[
        :limit
    ]
    common = ["dump", SAMPLE, "--master", MASTER, *options]

    out = tmp_path / "rows.parquet"
    assert run(capsys, *common, "--out", str(out)) == (0, "", "")
    parquet = pq.ParquetFile(out)
    # Climbing columns as deltas, plain ones compressed, with the statistics
    # a reader skips row groups by; a column nobody filters by carries none.
    group = parquet.metadata.row_group(0)
    columns = {group.column(k).path_in_schema: group.column(k) for k in range(group.num_columns)}
    assert "DELTA_BINARY_PACKED" in columns["exch_ts"].encodings
    assert columns["price"].compression == "LZ4"
    assert columns["exch_ts"].statistics.min <= columns["exch_ts"].statistics.max
    assert columns["token"].is_stats_set
    assert not columns["quantity"].is_stats_set
    assert parquet.read().to_pylist() == expected

    status, text, _ = run(capsys, *common, "--format", "jsonl")
    assert status == 0
    assert [json.loads(line) for line in text.splitlines()] == expected

    out = tmp_path / "rows.csv"
    assert run(capsys, *common, "--out", str(out))[0] == 0
    schema = pq.read_schema(tmp_path / "rows.parquet")
    plain = pa.schema(
        [
            pa.field(f.name, f.type.value_type if pa.types.is_dictionary(f.type) else f.type)
            for f in schema
        ]
    )
    csv = pyarrow.csv.read_csv(
        out,
        convert_options=pyarrow.csv.ConvertOptions(column_types=plain, strings_can_be_null=True),
    )
    assert csv.to_pylist() == expected


def test_dump_selects_trades_by_book_key_and_keeps_big_ids(capsys, feed_file, records):
    path = feed_file(
        records.order_record("N", order_id=2**64 - 1, token=0xFFFFFFFF, price=7),
        records.trade_record(buy_order_id=2**64 - 1, sell_order_id=2**53 + 1, token=-1),
        records.order_record("N", order_id=5, token=12),
    )
    status, text, _ = run(capsys, "dump", path, "--token", "4294967295", "--format", "jsonl")
    rows = [json.loads(line) for line in text.splitlines()]
    assert status == 0 and [r["token"] for r in rows] == [0xFFFFFFFF, -1]
    assert rows[0]["order_id"] == 2**64 - 1 and rows[1]["sell_order_id"] == 2**53 + 1


def test_dump_of_a_file_cut_short_fails_and_leaves_no_output(capsys, tmp_path, feed_file, records):
    path = feed_file(records.order_record("N") * 3, records.trade_record()[:20])
    out = tmp_path / "out.parquet"
    status, text, err = run(capsys, "dump", path, "--out", str(out))
    assert (status, text) == (2, "")
    assert err == f"tidemark: {path}: truncated message payload\n"
    assert list(tmp_path.iterdir()) == [Path(path)]
    status, _, err = run(capsys, "dump", str(tmp_path / "nope.bin"))
    assert status == 2 and err.endswith("nope.bin: No such file or directory (os error 2)\n")


@pytest.mark.skipif(not HAS_BOOK_SERIES, reason="book_series is not built yet")
@pytest.mark.parametrize(
    "options, kwargs",
    [
        ([], {}),
        (["--token", "1002", "--levels", "2"], {"tokens": [1002], "levels": 2}),
        (["--every", "1ms", "--type", "N,X"], {"every_ns": 1_000_000, "types": ["N", "X"]}),
    ],
)
def test_book_writes_the_series(capsys, tmp_path, options, kwargs):
    import pyarrow.parquet as pq

    expected = pa.table(tidemark_tools.book_series(SAMPLE, **kwargs)).to_pylist()
    out = tmp_path / "book.parquet"
    assert run(capsys, "book", SAMPLE, *options, "--out", str(out)) == (0, "", "")
    assert pq.read_table(out).to_pylist() == expected
    status, text, _ = run(capsys, "book", SAMPLE, *options, "--format", "jsonl")
    assert [json.loads(line) for line in text.splitlines()] == expected


# ---------------------------------------------------------------- plot


@pytest.mark.skipif(not HAS_BOOK_SERIES, reason="book_series is not built yet")
@pytest.mark.parametrize("options", [[], ["--every", "2ms", "--master", MASTER]])
def test_plot_writes_a_png_of_the_expected_size(capsys, tmp_path, options):
    pytest.importorskip("matplotlib")
    from PIL import Image

    out = tmp_path / "book.png"
    assert run(capsys, "plot", SAMPLE, "--token", "1002", *options, "--out", str(out)) == (
        0,
        "",
        "",
    )
    with Image.open(out) as image:
        image.load()  # decodes the whole picture
        assert (image.format, image.size) == ("PNG", (1200, 600))


@pytest.mark.skipif(not HAS_BOOK_SERIES, reason="book_series is not built yet")
def test_plot_of_a_token_without_a_book_is_an_error(capsys, tmp_path):
    status, _, err = run(capsys, "plot", SAMPLE, "--token", "999", "--out", str(tmp_path / "x.png"))
    assert status == 2 and err == f"tidemark: token 999 has no order book in {SAMPLE}\n"
    assert not (tmp_path / "x.png").exists()


def test_contract_title_from_the_master():
    from tidemark import SymbolMaster

    from tidemark_tools.cli import contract_title

    master = SymbolMaster()
    master.load(MASTER)
    assert contract_title(master, 1001) == "NIFTY 30-Dec-2025 25900 CE  (token 1001)"
    assert contract_title(master, 1009) == "NIFTY 27-Jan-2026  (token 1009)"
    assert contract_title(master, 5) == "token 5 (not in the contract master)"


def test_dump_of_no_rows_still_writes_the_columns(capsys, tmp_path):
    import pyarrow.parquet as pq

    out = tmp_path / "none.parquet"
    assert run(capsys, "dump", SAMPLE, "--token", "999", "--out", str(out)) == (0, "", "")
    empty = pq.read_table(out)
    assert empty.num_rows == 0
    assert empty.schema.names == pa.schema(tidemark_tools.scan_feed(SAMPLE)).names
    status, text, _ = run(capsys, "dump", SAMPLE, "--token", "999", "--format", "csv")
    assert status == 0 and text.count("\n") == 1 and text.startswith('"message_kind",')


@pytest.mark.parametrize("quiet", [False, True])
def test_progress_bar_only_on_a_terminal_and_not_with_quiet(quiet):
    pytest.importorskip("tqdm")
    import fcntl
    import pty
    import struct
    import termios

    argv = [sys.executable, "-m", "tidemark_tools", "info", SAMPLE] + (["--quiet"] if quiet else [])
    pid, fd = pty.fork()
    if pid == 0:  # the child: stdout and stderr are the terminal, 100 columns wide
        try:
            fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
            os.execv(sys.executable, argv)
        finally:
            os._exit(127)  # never return into the test runner
    out = b""
    while True:
        try:
            chunk = os.read(fd, 4096)
        except OSError:  # the child closed the terminal
            break
        if not chunk:
            break
        out += chunk
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert b"decoding       clean" in out
    assert (b"sample_feed.bin: " in out and b"B/s]" in out) is not quiet


def reference_stats(data: bytes) -> dict:
    """The counts of feed_stats, by a plain walk of the streaming framing."""
    by_type: dict[str, int] = {}
    tokens: dict[str, int] = {}
    padding = unknown = unknown_bytes = messages = 0
    error = None
    p = 0
    first = True
    while True:
        while p < len(data) and data[p] == 0x20:
            p += 1
            padding += 1
        # A first record that fails the opening check is reported at offset
        # 0, before the padding in front of it: nothing is counted then.
        if p == len(data):
            if first:
                error = {"offset": 0, "text": "file is empty or missing a complete message header"}
                padding = 0
            break
        if p + 9 > len(data):
            text = "truncated first message header" if first else "truncated message header"
            error = {"offset": 0 if first else p, "text": text}
            padding = 0 if first else padding
            break
        kind = chr(data[p + 8])
        if first and kind not in "NMXT":
            error = {"offset": 0, "text": f"invalid first message type: {data[p + 8]}"}
            padding = 0
            break
        first = False
        size = 47 if kind in "NMX" else 54 if kind == "T" else max(9, data[p] | data[p + 1] << 8)
        if p + size > len(data):
            text = (
                "failed to fill whole buffer" if kind not in "NMXT" else "truncated message payload"
            )
            error = {"offset": p, "text": text}
            break
        by_type[kind] = by_type.get(kind, 0) + 1
        if kind in "NMXT":
            messages += 1
            offset = 25 if kind != "T" else 33
            token = int.from_bytes(data[p + offset : p + offset + 4], "little")
            tokens[str(token)] = tokens.get(str(token), 0) + 1
        else:
            unknown += 1
            unknown_bytes += size
        p += size
    return {
        "messages": messages,
        "records_by_type": by_type,
        "padding_bytes": padding,
        "unknown_records": unknown,
        "unknown_bytes": unknown_bytes,
        "messages_by_token": dict(sorted(tokens.items(), key=lambda kv: int(kv[0]))),
        "error": error,
    }


@pytest.mark.parametrize("seed", range(40))
def test_feed_stats_matches_a_plain_walk_of_the_framing(feed_file, records, seed):
    import random

    rng = random.Random(seed)
    chunks = []
    for i in range(rng.randrange(0, 60)):
        if rng.random() < 0.3:
            chunks.append(b" " * rng.randrange(1, 5))
        roll = rng.random()
        token = rng.choice([1, 7, 2**31, 2**32 - 1])
        if roll < 0.5 or i == 0 and seed % 5:
            chunks.append(records.order_record(rng.choice("NMX"), token=token))
        elif roll < 0.8:
            chunks.append(records.trade_record(token=token - 2**32 if token >= 2**31 else token))
        else:
            length = rng.choice([0, 3, 9, 10, 12, 40, 300])
            body = bytes(max(0, length - 9))
            chunks.append(records.other_record(rng.choice("AZ\x00\xff"), msg_len=length, body=body))
    data = b"".join(chunks)
    if seed % 3 == 0 and data:
        data = data[: rng.randrange(len(data))]  # cut anywhere, also inside a header
    stats = feed_stats(feed_file(data))
    expected = reference_stats(data)
    assert {k: stats[k] for k in expected} == expected
    assert stats["tokens"] == len(expected["messages_by_token"])
