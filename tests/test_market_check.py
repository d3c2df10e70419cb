"""check_feed(order="exch_ts"): one replay of the files merged by time, a
report per file."""

import random

import pytest
from test_book_series import random_feed

import tidemark_tools


def framing(report):
    """What a file's framing finds, which the order of the files cannot change."""
    return {k: report[k] for k in ("path", "messages", "records_by_type", "streams", "error")}


def noisy_feed(rng, records, messages):
    """A random feed with records of other types and gaps in seq_no between
    its messages, sometimes cut short at the end."""
    data = random_feed(rng, messages, backwards=True, steps=(0, 1, 7, 100))
    chunks, at = [], 0
    while at < len(data):
        size = 54 if data[at + 8 : at + 9] == b"T" else 47
        chunks.append(data[at : at + size])
        if rng.random() < 0.05:
            chunks.append(
                records.other_record("Z", msg_len=rng.choice([5, 12]), seq_no=rng.randint(1, 9))
            )
        at += size
    out = b"".join(chunks)
    return out[: -rng.randint(1, 30)] if rng.random() < 0.3 else out


@pytest.mark.parametrize("seed", range(6))
def test_framing_findings_do_not_depend_on_the_order(feed_file, records, seed):
    rng = random.Random(seed)
    paths = [
        feed_file(noisy_feed(rng, records, rng.randint(1, 400))) for _ in range(rng.randint(1, 4))
    ]
    by_file = tidemark_tools.check_feed(paths)
    merged = tidemark_tools.check_feed(paths, order="exch_ts")
    assert [framing(f) for f in merged["files"]] == [framing(f) for f in by_file["files"]]
    assert merged["ok"] == by_file["ok"]


def test_books_shared_across_files_in_a_merge(feed_file, records):
    # An order rests in the first file and is traded and cancelled in the
    # second, later in time: unknown on its own, known in the merge.
    first = feed_file(
        records.order_record("N", seq_no=1, exch_ts=10, order_id=5, token=7, order_type="S",
                             price=100, quantity=10),
    )  # fmt: skip
    second = feed_file(
        records.order_record("N", seq_no=1, exch_ts=5, order_id=6, token=7, order_type="B",
                             price=99, quantity=10),
        records.trade_record(seq_no=2, exch_ts=20, buy_order_id=6, sell_order_id=5, token=7,
                             trade_quantity=1),
        records.order_record("X", seq_no=3, exch_ts=30, order_id=5, token=7),
        records.order_record("N", seq_no=4, exch_ts=40, order_id=8, token=7, order_type="B",
                             price=150, quantity=1),
    )  # fmt: skip
    alone = tidemark_tools.check_feed([first, second])["files"][1]["books"]
    assert alone["unknown_orders"]["trade"] == 1 and alone["unknown_orders"]["cancel"] == 1
    merged = tidemark_tools.check_feed([first, second], order="exch_ts")["files"]
    books = [f["books"] for f in merged]
    assert books[1]["unknown_orders"] == {"modify": 0, "cancel": 0, "trade": 0, "trade_neither": 0}
    # The bid at 150 meets the ask at 100 only if the ask still rests: it was
    # cancelled, so nothing is crossed in the merge.
    assert books[0]["crossed"]["count"] == books[1]["crossed"]["count"] == 0


def test_a_crossed_book_goes_to_the_file_of_the_message(feed_file, records):
    ask = feed_file(
        records.order_record("N", seq_no=1, exch_ts=1, order_id=1, token=3, order_type="S",
                             price=100, quantity=5),
    )  # fmt: skip
    bid = feed_file(
        records.order_record("N", seq_no=9, exch_ts=2, order_id=2, token=3, order_type="B",
                             price=101, quantity=5),
    )  # fmt: skip
    files = tidemark_tools.check_feed([ask, bid], order="exch_ts")["files"]
    assert files[0]["books"]["crossed"] == {"count": 0, "first": [], "books_at_end": 0}
    assert files[1]["books"]["crossed"] == {"count": 1, "first": [(9, 3)], "books_at_end": 1}


def test_a_bad_file_ends_alone_in_a_merge(feed_file, records):
    good = feed_file(
        *(records.order_record("N", seq_no=i, exch_ts=i, token=1) for i in range(1, 9))
    )
    bad_first = feed_file(records.other_record("A", seq_no=1))
    cut = feed_file(records.order_record("N", seq_no=1, exch_ts=2, token=2), b"\x01\x02\x03")
    files = tidemark_tools.check_feed([good, bad_first, cut], order="exch_ts")["files"]
    assert files[0]["messages"] == 8 and files[0]["error"] is None
    assert files[1]["error"] == {"offset": 0, "text": "invalid first message type: 65"}
    assert files[2]["messages"] == 1 and files[2]["error"]["text"] == "truncated message header"
    assert [f["ok"] for f in files] == [True, False, False]
