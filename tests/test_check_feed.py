"""check_feed and `tidemark check` on files with planted faults."""

import json
import random
import subprocess
import sys

import pytest
from test_book_series import random_feed

import tidemark_tools
from tidemark_tools.stats import feed_stats


def order(records, seq, msg_type="N", stream=1, ts=None, **fields):
    ts = seq * 1000 if ts is None else ts
    return records.order_record(msg_type, seq_no=seq, stream_id=stream, exch_ts=ts, **fields)


def trade(records, seq, stream=1, ts=None, **fields):
    ts = seq * 1000 if ts is None else ts
    return records.trade_record(seq_no=seq, stream_id=stream, exch_ts=ts, **fields)


def only(report):
    assert len(report["files"]) == 1
    return report["files"][0]


def test_a_clean_file_gives_zero_everywhere(feed_file, records):
    path = feed_file(
        order(records, 1, order_id=1, token=7, order_type="B", price=100, quantity=10),
        records.other_record("Z", msg_len=12, body=b"abc", seq_no=2),
        order(records, 3, order_id=2, token=7, order_type="S", price=101, quantity=10),
        order(records, 4, "X", order_id=2, token=7),
        trade(records, 5, buy_order_id=9, sell_order_id=1, token=7, trade_quantity=5),
    )
    report = tidemark_tools.check_feed(path)
    assert report["ok"]
    f = only(report)
    assert f["records_by_type"] == {"N": 2, "Z": 1, "X": 1, "T": 1}
    (s,) = f["streams"]
    assert (s["first_seq_no"], s["last_seq_no"], s["records"]) == (1, 5, 5)
    for key in ("gaps", "repeated", "exch_ts_backwards", "clock_jumps"):
        assert s[key]["count"] == 0 and s[key]["first"] == []
    books = f["books"]
    assert books["unknown_orders"] == {"modify": 0, "cancel": 0, "trade": 1, "trade_neither": 0}
    assert books["reused_ids"]["count"] == 0 and books["crossed"]["count"] == 0
    assert f["error"] is None


def test_gaps_are_counted_over_every_record_per_stream(feed_file, records):
    # Stream 1: 1, (other type 2), 3, 7 -> one gap after 3 (4..6 missing).
    # Stream 2: 10, 11, 11 (repeated), 9 (backward), 12.
    path = feed_file(
        order(records, 1, token=1),
        records.other_record("Q", msg_len=9, seq_no=2),
        order(records, 10, stream=2, token=2),
        order(records, 3, token=1, order_id=2),
        order(records, 11, stream=2, token=2, order_id=3),
        order(records, 11, stream=2, token=2, order_id=4),
        order(records, 9, stream=2, token=2, order_id=5),
        order(records, 7, token=1, order_id=6),
        order(records, 12, stream=2, token=2, order_id=7),
    )
    report = tidemark_tools.check_feed(path)
    assert not report["ok"]
    s1, s2 = only(report)["streams"]
    assert s1["gaps"] == {"count": 1, "missing": 3, "first": [(3, 7)]}
    assert s1["repeated"]["count"] == 0
    assert s2["gaps"]["count"] == 0
    assert s2["repeated"] == {"count": 2, "first": [(11, 11), (11, 9)]}


def test_only_the_first_hundred_cases_are_listed(feed_file, records):
    path = feed_file(*(order(records, 2 * i + 1, token=1, order_id=i) for i in range(150)))
    gaps = only(tidemark_tools.check_feed(path))["streams"][0]["gaps"]
    assert gaps["count"] == 149 and gaps["missing"] == 149 and len(gaps["first"]) == 100
    assert gaps["first"][:2] == [(1, 3), (3, 5)]


def test_timestamps_backwards_and_jumps_are_notes(feed_file, records):
    hour = 3_600_000_000_000
    path = feed_file(
        order(records, 1, ts=5_000, token=1),
        order(records, 2, ts=4_000, token=1, order_id=2),
        order(records, 3, ts=4_000 + hour + 1, token=1, order_id=3),
        order(records, 4, ts=2**62, token=1, order_id=4),
    )
    report = tidemark_tools.check_feed(path)
    assert report["ok"]
    (s,) = only(report)["streams"]
    assert s["exch_ts_backwards"] == {"count": 1, "first": [(2, 5_000, 4_000)]}
    assert s["clock_jumps"]["count"] == 2
    assert s["clock_jumps"]["first"][1] == (4, 4_000 + hour + 1, 2**62)
    small = tidemark_tools.check_feed(path, jump_ns=2**63)
    assert only(small)["streams"][0]["clock_jumps"]["count"] == 0


def test_book_findings(feed_file, records):
    path = feed_file(
        order(records, 1, order_id=1, token=7, order_type="B", price=100, quantity=10),
        order(records, 2, order_id=1, token=7, order_type="B", price=100, quantity=5),  # reused
        order(
            records, 3, "M", order_id=8, token=7, order_type="S", price=99, quantity=5
        ),  # crosses
        order(records, 4, "X", order_id=9, token=7),  # unknown cancel
        order(records, 5, "X", order_id=9, token=123),  # no book at all
        trade(records, 6, buy_order_id=1, sell_order_id=8, token=7, trade_quantity=1),
        trade(records, 7, buy_order_id=50, sell_order_id=51, token=7, trade_quantity=1),
        order(records, 8, "X", order_id=8, token=7),  # uncrosses
    )
    f = only(tidemark_tools.check_feed(path))
    books = f["books"]
    assert books["unknown_orders"] == {"modify": 1, "cancel": 2, "trade": 1, "trade_neither": 1}
    assert books["reused_ids"] == {"count": 1, "first": [(2, 7, 1)]}
    assert books["crossed"]["first"] == [(3, 7), (4, 7), (6, 7), (7, 7)]
    assert books["crossed"]["books_at_end"] == 0


@pytest.mark.parametrize(
    "cut, text",
    [
        (lambda r: order(r, 2, token=1)[:30], "truncated message payload"),
        (lambda r: order(r, 2, token=1)[:5], "truncated message header"),
        (lambda r: r.other_record("Z", msg_len=12, seq_no=2), "failed to fill whole buffer"),
    ],
)
def test_a_record_cut_short_is_a_decode_error(feed_file, records, cut, text):
    path = feed_file(order(records, 1, token=1), cut(records))
    report = tidemark_tools.check_feed(path)
    assert not report["ok"]
    assert only(report)["error"] == {"offset": 47, "text": text}


def test_a_bad_first_record_is_a_finding_and_a_missing_file_an_error(feed_file, records):
    bad = feed_file(records.other_record("A", msg_len=9))
    assert only(tidemark_tools.check_feed(bad))["error"]["text"] == "invalid first message type: 65"
    with pytest.raises(RuntimeError, match="^/nonexistent.bin: No such file"):
        tidemark_tools.check_feed([bad, "/nonexistent.bin"])


def test_sequence_counts_agree_with_info(feed_file):
    path = feed_file(random_feed(random.Random(5), 500))
    stats = feed_stats(path)
    (s,) = only(tidemark_tools.check_feed(path))["streams"]
    assert (
        (stats["sequence_gaps"], stats["sequence_missing"])
        == (0, 0)
        == (
            s["gaps"]["count"],
            s["gaps"]["missing"],
        )
    )


def run(*argv):
    return subprocess.run(
        [sys.executable, "-m", "tidemark_tools", *argv], capture_output=True, text=True
    )


def test_check_command_exit_statuses(feed_file, records):
    clean = feed_file(order(records, 1, token=1), order(records, 2, token=1, order_id=2))
    gap = feed_file(order(records, 1, token=1), order(records, 5, token=1, order_id=2))
    done = run("check", clean)
    assert done.returncode == 0 and f"{clean}: ok" in done.stdout
    done = run("check", clean, gap, "--json")
    assert done.returncode == 1
    report = json.loads(done.stdout)
    assert [f["ok"] for f in report["files"]] == [True, False]
    assert report["files"][1]["streams"][0]["gaps"]["first"] == [[1, 5]]
    assert run("check", "/nonexistent.bin").returncode == 2
    info = run("info", gap)
    assert "seq_no gaps    1 (3 numbers missing)" in info.stdout
