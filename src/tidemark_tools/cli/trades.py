"""`tidemark trades`: trade messages with their aggressor and the quote before them.

Also the options and the writing that `quotes` and `bars` share with it."""

from __future__ import annotations

import argparse
from collections.abc import Callable
from typing import Any

from ._common import (
    EXIT_OK,
    CliError,
    Subcommands,
    add_master_options,
    add_output,
    add_subcommand,
    format_for,
    master_from,
    parse_token,
    require,
)
from ._write import write_batches
from .dump import _decoded, _json_ready, parse_moment, parse_price_scale


def add_table_options(parser: argparse.ArgumentParser) -> None:
    """The options of the tables over a replay: dump's, where they apply."""
    parser.add_argument("files", nargs="+", metavar="FILE", help="feed files, read in this order")
    add_master_options(parser)
    parser.add_argument(
        "--order",
        choices=["files", "exch_ts"],
        default="files",
        help="files one after another (default), or merged by exch_ts",
    )
    parser.add_argument(
        "--token",
        type=parse_token,
        nargs="+",
        action="extend",
        metavar="T",
        help="only rows of these book keys (repeat the option or list several)",
    )
    parser.add_argument(
        "--start", type=parse_moment, metavar="TIME", help="only rows with exch_ts at or after TIME"
    )
    parser.add_argument(
        "--end", type=parse_moment, metavar="TIME", help="only rows with exch_ts before TIME"
    )
    parser.add_argument(
        "--timestamps",
        choices=["int", "datetime"],
        default="int",
        help="times as integers (default) or as times in --tz",
    )
    parser.add_argument(
        "--tz", default="UTC", metavar="ZONE", help="IANA zone of --timestamps datetime (UTC)"
    )
    parser.add_argument(
        "--price-scale",
        type=parse_price_scale,
        metavar="K",
        help="prices as decimals: the feed's integer divided by 10**K (2 gives rupees)",
    )
    add_output(parser)


def table_kwargs(args: argparse.Namespace) -> dict[str, Any]:
    files: list[str] = args.files
    return {
        "paths": files if len(files) > 1 else files[0],
        "master": master_from(args),
        "order": args.order,
        "tokens": args.token,
        "start": args.start,
        "end": args.end,
        "timestamps": args.timestamps,
        "tz": args.tz,
        "price_scale": args.price_scale,
    }


def write_table(args: argparse.Namespace, make: Callable[..., Any], name: str, **extra: Any) -> int:
    """Makes the table with the options given and writes it as --format."""
    pa = require("pyarrow")
    files: list[str] = args.files
    several = len(files) > 1
    try:
        table = make(**table_kwargs(args), **extra)
    except RuntimeError as exc:
        named = several or str(exc).startswith(f"{files[0]}: ")
        raise CliError(str(exc) if named else f"{files[0]}: {exc}") from None
    except ValueError as exc:
        raise CliError(str(exc).replace(f"{name}() argument", "option")) from None
    fmt = format_for(args.out, args.format)
    reader = pa.RecordBatchReader.from_stream(table)
    schema, batches = reader.schema, _decoded(reader, files[0], several)
    if fmt == "jsonl":
        schema, batches = _json_ready(schema, batches)
    write_batches(batches, schema, fmt, args.out)
    return EXIT_OK


def register(subs: Subcommands) -> None:
    """Adds the `trades` subcommand."""
    trades = add_subcommand(
        subs,
        "trades",
        "One row per trade message: who initiated it (aggressor B or S, from which order "
        "rested in the book just before) and the best bid and ask just before it.",
        "tidemark trades data/sample_feed.bin --price-scale 2 --out trades.parquet",
    )
    add_table_options(trades)
    trades.set_defaults(run=run_trades)


def run_trades(args: argparse.Namespace) -> int:
    from .. import trades

    return write_table(args, trades, "trades")
