"""`tidemark check`: is a recording complete and do its books hold together."""

from __future__ import annotations

import argparse
import json
from typing import Any

from .._check import check_feed
from ._common import EXIT_DECODE_ERROR, EXIT_OK, Subcommands, add_subcommand
from ._output import output


def register(subs: Subcommands) -> None:
    """Adds the `check` subcommand."""
    check = add_subcommand(
        subs,
        "check",
        "The integrity of feed files: records by type, seq_no gaps over every record "
        "(of any type) per stream, repeated or backward seq_no, exch_ts running backwards "
        "or jumping, references to orders the books do not hold, reused ids, crossed "
        "books, and where decoding stopped. Exit status 1 for a decode error, a gap or "
        "a repeated seq_no, 0 otherwise (the other findings are notes), 2 for errors.",
        "tidemark check data/sample_feed.bin --json",
    )
    check.add_argument("files", nargs="+", metavar="FILE", help="feed files")
    check.add_argument("--json", action="store_true", help="print the reports as JSON")
    check.add_argument(
        "--order",
        choices=["files", "exch_ts"],
        default="files",
        help="each file with books of its own (default), or the files merged by exch_ts "
        "into one set of books",
    )
    check.add_argument("--out", "-o", metavar="PATH", help="write to PATH instead of stdout")
    check.set_defaults(run=run_check)


def run_check(args: argparse.Namespace) -> int:
    report = check_feed(args.files, order=args.order)
    with output(args.out, binary=False) as out:
        if args.json:
            json.dump(report, out, indent=2)
            out.write("\n")
        else:
            for i, file in enumerate(report["files"]):
                if i:
                    out.write("\n")
                out.write(format_check(file))
    return EXIT_OK if report["ok"] else EXIT_DECODE_ERROR


def _pairs(first: list[Any], limit: int = 5) -> str:
    shown = ", ".join("(" + ", ".join(str(v) for v in case) + ")" for case in first[:limit])
    return f": {shown}" + (", ..." if len(first) > limit else "") if shown else ""


def format_check(r: dict[str, Any]) -> str:
    """The text report of `tidemark check` for one file."""
    by_type = "  ".join(f"{t} {n:,}" for t, n in r["records_by_type"].items())
    lines = [f"{r['path']}: {'ok' if r['ok'] else 'FAULTY'}", f"  records        {by_type}"]
    for s in r["streams"]:
        gaps, rep = s["gaps"], s["repeated"]
        lines.append(
            f"  stream {s['stream_id']}  seq_no {s['first_seq_no']} .. {s['last_seq_no']}, "
            f"{s['records']:,} records"
        )
        lines.append(
            f"    gaps         {gaps['count']:,} ({gaps['missing']:,} missing)"
            + _pairs(gaps["first"])
        )
        lines.append(f"    repeated     {rep['count']:,}" + _pairs(rep["first"]))
        back, jumps = s["exch_ts_backwards"], s["clock_jumps"]
        lines.append(f"    note: exch_ts backwards {back['count']:,}" + _pairs(back["first"], 3))
        lines.append(f"    note: clock jumps {jumps['count']:,}" + _pairs(jumps["first"], 3))
    b = r["books"]
    u = b["unknown_orders"]
    lines.append(
        f"  note: orders not held: modify {u['modify']:,}, cancel {u['cancel']:,}, "
        f"trade {u['trade']:,} (naming neither side {u['trade_neither']:,})"
    )
    lines.append(
        f"  note: reused ids {b['reused_ids']['count']:,}" + _pairs(b["reused_ids"]["first"])
    )
    crossed = b["crossed"]
    lines.append(
        f"  note: crossed after {crossed['count']:,} messages, "
        f"{crossed['books_at_end']:,} books crossed at the end" + _pairs(crossed["first"])
    )
    error = r["error"]
    if error is None:
        lines.append("  decoding       clean to the end")
    else:
        lines.append(f"  decoding       stopped at byte {error['offset']:,}: {error['text']}")
    return "\n".join(lines) + "\n"
