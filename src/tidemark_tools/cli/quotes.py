"""`tidemark quotes`: each token's best levels whenever they change."""

from __future__ import annotations

import argparse

from ._common import Subcommands, add_subcommand, parse_levels
from .trades import add_table_options, write_table


def register(subs: Subcommands) -> None:
    """Adds the `quotes` subcommand."""
    quotes = add_subcommand(
        subs,
        "quotes",
        "A row whenever a token's best --levels levels (price or quantity, either side) "
        "change; missing levels are empty.",
        "tidemark quotes data/sample_feed.bin --levels 1 --out quotes.parquet",
    )
    add_table_options(quotes)
    quotes.add_argument(
        "--levels", type=parse_levels, default=1, metavar="N", help="levels per side (1)"
    )
    quotes.set_defaults(run=run_quotes)


def run_quotes(args: argparse.Namespace) -> int:
    from .. import quotes

    return write_table(args, quotes, "quotes", levels=args.levels)
