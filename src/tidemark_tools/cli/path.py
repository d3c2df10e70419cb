"""`tidemark path`: the conventional path of a feed file."""

from __future__ import annotations

import argparse
import re

from tidemark import FeedPathBuilder

from ._common import EXIT_OK, CliError, Subcommands, add_subcommand, parse_count


def register(subs: Subcommands) -> None:
    """Adds the `path` subcommand."""
    path = add_subcommand(
        subs,
        "path",
        "The conventional path of a feed file on the shared store.",
        "tidemark path NSE_CM --stream 2 --date 2025-12-29 --base /mnt/feeds --verify",
    )
    path.add_argument("segment", metavar="SEGMENT", help="NSE_CM, CM, NSE_FO or FO")
    path.add_argument("--stream", type=parse_count, required=True, metavar="N", help="stream id")
    path.add_argument("--date", required=True, metavar="YYYY-MM-DD", help="trading day")
    path.add_argument("--base", metavar="DIR", help="base directory (default /nas/50.30)")
    path.add_argument("--verify", action="store_true", help="fail unless the file exists")
    path.set_defaults(run=run_path)


def run_path(args: argparse.Namespace) -> int:
    match = re.fullmatch(r"(\d{4})-(\d{1,2})-(\d{1,2})", args.date)
    if match is None:
        raise CliError(f"invalid date {args.date!r}: write it as YYYY-MM-DD")
    year, month, day = (int(g) for g in match.groups())
    builder = FeedPathBuilder()
    build = builder.build_and_verify if args.verify else builder.build
    print(build(args.segment, args.stream, day, month, year, args.base))
    return EXIT_OK
