"""`tidemark bars`: OHLCV bars per token from the trades."""

from __future__ import annotations

import argparse

from ._common import Subcommands, add_subcommand, parse_duration
from .trades import add_table_options, write_table


def register(subs: Subcommands) -> None:
    """Adds the `bars` subcommand."""
    bars = add_subcommand(
        subs,
        "bars",
        "Open, high, low, close, volume, trade count, turnover, VWAP and buy and sell "
        "volume per token and interval of --every (counted from the epoch), for intervals "
        "with trades, in order of start and token.",
        "tidemark bars data/sample_feed.bin --every 1m --price-scale 2",
    )
    add_table_options(bars)
    bars.add_argument(
        "--every", type=parse_duration, required=True, metavar="DURATION", help="1s, 1m, 5m, 1h"
    )
    bars.set_defaults(run=run_bars)


def run_bars(args: argparse.Namespace) -> int:
    from .. import bars

    return write_table(args, bars, "bars", every=args.every)
