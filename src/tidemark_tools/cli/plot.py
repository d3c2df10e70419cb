"""`tidemark plot`: a picture of one book over a whole file."""

from __future__ import annotations

import argparse
import zoneinfo

from tidemark import SymbolMaster

from ._common import (
    EXIT_OK,
    CliError,
    Subcommands,
    add_subcommand,
    parse_duration,
    parse_levels,
    parse_token,
    require,
    show_progress,
)
from ._output import interruption_of, output
from .dump import parse_price_scale


def parse_zone(text: str) -> str:
    """An IANA time zone name that this system knows."""
    try:
        zoneinfo.ZoneInfo(text)
    except (zoneinfo.ZoneInfoNotFoundError, ValueError):
        raise argparse.ArgumentTypeError(
            f"invalid time zone {text!r}: not a known IANA zone name (such as UTC or Asia/Kolkata)"
        ) from None
    return text


def register(subs: Subcommands) -> None:
    """Adds the `plot` subcommand."""
    plot = add_subcommand(
        subs,
        "plot",
        "A picture of one book over the whole file: best bid and ask from its quote "
        "changes, trades coloured by aggressor (above a few thousand, volume per time x "
        "price cell), and the book at the end beside them on the same price axis.",
        "tidemark plot data/sample_feed.bin --token 1002 --tz Asia/Kolkata --price-scale 2 "
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
        help="draw the lines from the book sampled on this time grid "
        "(default: from every change of the best levels)",
    )
    plot.add_argument(
        "--tz",
        type=parse_zone,
        metavar="ZONE",
        help="IANA time zone of the time axis, such as Asia/Kolkata (default: this system's zone)",
    )
    plot.add_argument(
        "--price-scale",
        type=parse_price_scale,
        metavar="K",
        help="prices in rupees: the feed's integer divided by 10**K (2 for paise; "
        "default: feed units)",
    )
    plot.add_argument(
        "--master", metavar="CSV", help="contract master: the title names the contract"
    )
    plot.add_argument(
        "--levels",
        type=parse_levels,
        default=10,
        metavar="N",
        help="levels per side of the book at the end (default 10)",
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
    require("matplotlib")
    require("pyarrow")
    from ..plot import collect, draw, picture_format, system_time_zone

    try:
        fmt = picture_format(args.out)
    except ValueError as exc:
        raise CliError(str(exc)) from None
    title = None
    if args.master is not None:
        master = SymbolMaster()
        master.load(args.master)
        title = contract_title(master, args.token)
    try:
        picture = collect(
            args.file,
            args.token,
            levels=args.levels,
            every_ns=args.every,
            progress=show_progress(args),
        )
    except RuntimeError as exc:  # the file cannot be opened or read
        raise CliError(f"{args.file}: {exc}") from None
    except OSError as exc:  # decoding stopped with an error part way
        raise interruption_of(exc) or CliError(f"{args.file}: {exc}") from None
    figure = draw(
        picture,
        tz=args.tz if args.tz is not None else system_time_zone(),
        price_scale=args.price_scale,
        title=title,
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
