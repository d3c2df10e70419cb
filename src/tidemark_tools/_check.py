"""check_feed: is a recording complete and do its books hold together."""

from __future__ import annotations

from typing import Any

from . import _args, _native

# A forward step of exch_ts larger than this is reported as a clock jump.
DEFAULT_JUMP_NS = 3_600_000_000_000  # one hour


def check_feed(
    paths: Any,
    *,
    jump_ns: int = DEFAULT_JUMP_NS,
    order: str = "files",
    threads: int | None = None,
) -> dict[str, Any]:
    """Checks the integrity of feed files, each on its own, in one pass.

    Returns ``{"ok": bool, "files": [report, ...]}``, a report per file:

    - "records_by_type": every record the framing finds, by type character,
      unknown types included; "messages": the order and trade messages.
    - "streams": per stream_id, "records", "first_seq_no", "last_seq_no"
      and
      - "gaps": seq_no running over every record (any type) that jumps more
        than one above the highest before it: "count", "missing" (numbers
        missing), "first" (the first 100 as (after, next) pairs);
      - "repeated": a seq_no at or below the highest before it ("count",
        "first" as (highest before, seq_no));
      - "exch_ts_backwards": a message stamped earlier than the message
        before it in its stream ("count", "first" as (seq_no, previous,
        exch_ts));
      - "clock_jumps": a forward step of exch_ts larger than `jump_ns`
        (default one hour), in the same form. A time grid of ``book_series``
        over such a jump has a row per grid time.
    - "books": the books of the file replayed with the rules of
      ``OrderbookBuilder``: "unknown_orders" counts modifies and cancels of
      an id the token's book does not hold, trades naming at least one such
      id ("trade") and trades naming no id it holds ("trade_neither");
      "reused_ids" counts new orders whose id rests already ((seq_no, token,
      order_id)); "crossed" counts messages after which the token's book is
      crossed (best bid at or above best ask; (seq_no, token)), with
      "books_at_end" the books still crossed after the last message.
    - "error": None, or where decoding stopped ("offset", "text"); a bad
      first record is such a finding too.
    - "ok": False when decoding stopped with an error or a stream has a gap
      or a repeated or backward seq_no; the other counts are notes.

    With ``order="exch_ts"`` the files are checked in one replay merged by
    time (as ``scan_feed`` merges them), with one set of books keyed by
    token: a file's report keeps its own framing findings ("records_by_type",
    "streams", "error", which do not depend on the order), and each book
    finding goes to the file of the message it was found at, so an order
    placed in one file and traded in another is not reported as unknown. A
    file that stops with a decode error ends there; the others are read to
    their end. With ``order="files"`` (the default) every file has books of
    its own.

    `threads` splits the books by token over that many threads (None: the
    cores this process may run on; 1: no threads of its own), as in
    ``book_series``; the framing's findings stay on the reading thread. The
    report is the same.

    A file that cannot be opened raises RuntimeError (naming the file when
    there are several).
    """
    fn = "check_feed"
    checked = _args.check_paths(fn, paths)
    jump = _args.check_int(fn, "jump_ns", jump_ns, 0, 2**64 - 1)
    merge = _args.check_order(fn, order, len(checked))
    threads = _args.check_threads(fn, threads)
    files: list[dict[str, Any]] = _native.check_feed(
        [_args.native_path(p) for p in checked], jump, merge, threads
    )
    for report, path in zip(files, checked, strict=True):
        report["path"] = _args.display_path(path)
    return {"ok": all(f["ok"] for f in files), "files": files}
