"""`tidemark info`: what feed files hold."""

from __future__ import annotations

import argparse
import json
import sys

from .._progress import Progress
from ..stats import FeedStats, feed_stats
from ._common import (
    EXIT_DECODE_ERROR,
    EXIT_ERROR,
    EXIT_OK,
    Subcommands,
    add_subcommand,
    file_size,
    show_progress,
)
from ._output import output


def register(subs: Subcommands) -> None:
    """Adds the `info` subcommand."""
    info = add_subcommand(
        subs,
        "info",
        "What feed files hold: size, records by type, padding and unknown-record bytes, "
        "tokens, first and last seq_no and exch_ts, and where decoding stopped with an "
        "error. Exit status 1 when a file does not decode cleanly to its end.",
        "tidemark info data/sample_feed.bin --json",
    )
    info.add_argument("files", nargs="+", metavar="FILE", help="feed files")
    info.add_argument("--json", action="store_true", help="print the statistics as JSON")
    info.add_argument("--out", "-o", metavar="PATH", help="write to PATH instead of stdout")
    info.set_defaults(run=run_info)


def run_info(args: argparse.Namespace) -> int:
    status = EXIT_OK
    results: list[FeedStats] = []
    for path in args.files:
        try:
            with Progress(file_size(path), path, enabled=show_progress(args)) as bar:
                stats = feed_stats(path, progress=bar.update_to)
        except (RuntimeError, OSError) as exc:
            print(f"tidemark: {path}: {exc}", file=sys.stderr)
            status = EXIT_ERROR
            continue
        if stats["error"] is not None and status == EXIT_OK:
            status = EXIT_DECODE_ERROR
        results.append(stats)
    with output(args.out, binary=False) as out:
        if args.json:
            json.dump(results, out, indent=2)
            out.write("\n")
        else:
            for i, stats in enumerate(results):
                if i:
                    out.write("\n")
                out.write(format_stats(stats))
    return status


def _time_text(ts: int) -> str:
    """exch_ts as a UTC time when it reads as nanoseconds since 1970 in
    2000-2100 (the feed itself does not say its unit)."""
    if not 946_684_800_000_000_000 <= ts < 4_102_444_800_000_000_000:
        return ""
    import datetime

    seconds, ns = divmod(ts, 1_000_000_000)
    moment = datetime.datetime.fromtimestamp(seconds, datetime.UTC)
    return f"  ({moment:%Y-%m-%d %H:%M:%S}.{ns:09d} UTC)"


def _span_text(ns: int) -> str:
    if ns >= 3_600_000_000_000:
        return f"{ns / 3_600_000_000_000:.2f} h"
    if ns >= 60_000_000_000:
        return f"{ns / 60_000_000_000:.2f} min"
    if ns >= 1_000_000_000:
        return f"{ns / 1_000_000_000:.3f} s"
    return f"{ns / 1_000_000:.3f} ms"


def format_stats(s: FeedStats) -> str:
    """The text report of `tidemark info` for one file."""
    by_type = s["records_by_type"]
    known = "  ".join(f"{t} {by_type[t]:,}" for t in "NMXT" if t in by_type)
    other = ", ".join(f"{_type_label(t)} {n:,}" for t, n in by_type.items() if t not in "NMXT")
    lines = [
        s["path"],
        f"  size           {s['size']:,} bytes",
        f"  messages       {s['messages']:,}" + (f"  ({known})" if known else ""),
        f"  other records  {s['unknown_records']:,} ({s['unknown_bytes']:,} bytes)"
        + (f": {other}" if other else ""),
        f"  padding        {s['padding_bytes']:,} bytes",
    ]
    top = sorted(s["messages_by_token"].items(), key=lambda kv: (-kv[1], int(kv[0])))[:3]
    busiest = ", ".join(f"{t}: {n:,}" for t, n in top)
    lines.append(f"  tokens         {s['tokens']:,}" + (f"  (busiest {busiest})" if top else ""))
    first_ts, last_ts = s["first_exch_ts"], s["last_exch_ts"]
    low, high = s["min_exch_ts"], s["max_exch_ts"]
    if first_ts is not None and last_ts is not None and low is not None and high is not None:
        lines.append(f"  seq_no         {s['first_seq_no']} .. {s['last_seq_no']}")
        lines.append(f"  first exch_ts  {first_ts}{_time_text(first_ts)}")
        lines.append(f"  last exch_ts   {last_ts}{_time_text(last_ts)}")
        lines.append(
            f"  exch_ts span   {_span_text(high - low)}, {s['exch_ts_backwards']:,} "
            "stamped earlier than the message before"
        )
        lines.append(
            f"  seq_no gaps    {s['sequence_gaps']:,}"
            + (f" ({s['sequence_missing']:,} numbers missing)" if s["sequence_gaps"] else "")
        )
    error = s["error"]
    if error is None:
        lines.append("  decoding       clean to the end")
    else:
        lines.append(f"  decoding       stopped at byte {error['offset']:,}: {error['text']}")
    return "\n".join(lines) + "\n"


def _type_label(t: str) -> str:
    return t if t.isprintable() and t.strip() else f"0x{ord(t):02X}"
