"""`tidemark plot`: a picture of one book."""

from __future__ import annotations

import argparse

from tidemark import SymbolMaster

from ._common import (
    EXIT_OK,
    CliError,
    Subcommands,
    add_subcommand,
    parse_duration,
    parse_levels,
    parse_token,
    show_progress,
)
from ._output import output


def register(subs: Subcommands) -> None:
    """Adds the `plot` subcommand."""
    plot = add_subcommand(
        subs,
        "plot",
        "A picture of one book: best bid, best ask and mid over time with trades sized by "
        "quantity, and the depth at the end beside it.",
        "tidemark plot data/sample_feed.bin --token 1001 "
        "--master data/contract_master_fo_header.csv --out book.png",
    )
    plot.add_argument("file", metavar="FILE", help="feed file")
    plot.add_argument(
        "--token", type=parse_token, required=True, metavar="T", help="the book's token"
    )
    plot.add_argument(
        "--every",
        type=parse_duration,
        metavar="DURATION",
        help="sample the book on a time grid (default: after every message of the token)",
    )
    plot.add_argument(
        "--master", metavar="CSV", help="contract master: the title names the contract"
    )
    plot.add_argument(
        "--levels",
        type=parse_levels,
        default=10,
        metavar="N",
        help="depth levels shown (default 10)",
    )
    plot.add_argument(
        "--out",
        "-o",
        metavar="FILE",
        required=True,
        help="the picture to write: PNG, PDF or SVG, as its suffix says",
    )
    plot.set_defaults(run=run_plot)


def run_plot(args: argparse.Namespace) -> int:
    from ..plot import picture_format, plot_book

    try:
        fmt = picture_format(args.out)
    except ValueError as exc:
        raise CliError(str(exc)) from None
    title = None
    if args.master is not None:
        master = SymbolMaster()
        master.load(args.master)
        title = contract_title(master, args.token)
    figure = plot_book(
        args.file,
        args.token,
        None,
        every_ns=args.every,
        levels=args.levels,
        title=title,
        progress=show_progress(args),
    )
    with output(args.out, binary=True) as out:
        figure.savefig(out, format=fmt)
    return EXIT_OK


def contract_title(master: SymbolMaster, token: int) -> str:
    """Symbol, expiry, strike and option type of a token, as a plot title."""
    found = master.lookup(token)
    if not found["found"]:
        return f"token {token} (not in the contract master)"
    parts = [found["symbol"] or str(token)]
    if found["expiry"]:
        parts.append(found["expiry"])
    if found["strike"] is not None and found["strike"] >= 0:
        parts.append(str(found["strike"]))
    if found["option_type"] and found["option_type"] != "XX":
        parts.append(found["option_type"])
    return " ".join(parts) + f"  (token {token})"
