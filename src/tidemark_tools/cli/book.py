"""`tidemark book`: the order books' state over time as rows."""

from __future__ import annotations

import argparse

from .._progress import Progress, tracked_rows
from ._common import (
    EXIT_OK,
    Subcommands,
    add_output,
    add_selection,
    add_subcommand,
    decoded,
    format_for,
    opening,
    parse_duration,
    parse_levels,
    require,
    show_progress,
)
from ._write import write_batches


def register(subs: Subcommands) -> None:
    """Adds the `book` subcommand."""
    book = add_subcommand(
        subs,
        "book",
        "The order books' state over time: a row after every message, or with --every "
        "one row per book at each multiple of DURATION of exch_ts (nanoseconds).",
        "tidemark book data/sample_feed.bin --token 1001 --levels 5 --every 1ms "
        "--format csv --out book.csv",
    )
    book.add_argument("file", metavar="FILE", help="feed file")
    add_selection(
        book,
        "rows of these books only; every message is still applied",
        "apply only these message types to the books (as OrderbookBuilder.apply_filter)",
    )
    book.add_argument(
        "--levels", type=parse_levels, default=5, metavar="N", help="levels per side (default 5)"
    )
    book.add_argument(
        "--every",
        type=parse_duration,
        metavar="DURATION",
        help="time grid step such as 1s, 100ms or 5m (default: a row per message)",
    )
    add_output(book)
    book.set_defaults(run=run_book)


def run_book(args: argparse.Namespace) -> int:
    pa = require("pyarrow")
    from .. import book_series

    fmt = format_for(args.out, args.format)
    series = opening(
        args.file,
        lambda: book_series(
            args.file, tokens=args.token, levels=args.levels, every_ns=args.every, types=args.type
        ),
    )
    with Progress(None, args.file, enabled=show_progress(args), unit="rows") as bar:
        reader = pa.RecordBatchReader.from_stream(series)
        write_batches(tracked_rows(decoded(reader, args.file), bar), reader.schema, fmt, args.out)
    return EXIT_OK
