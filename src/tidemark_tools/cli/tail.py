"""`tidemark tail`: feed files' messages (or quote changes) printed as they
are written, one line each, until Ctrl-C or --idle-timeout."""

from __future__ import annotations

import argparse
import datetime as dt
import sys
from typing import Any

from ._common import (
    EXIT_OK,
    CliError,
    Subcommands,
    add_master_options,
    add_selection,
    add_subcommand,
    master_from,
    parse_duration,
    parse_levels,
    require,
)
from .dump import _decoded


def register(subs: Subcommands) -> None:
    """Adds the `tail` subcommand."""
    tail = add_subcommand(
        subs,
        "tail",
        "Follows feed files that are still being written and prints one line per message "
        "(with --quotes, one per change of a token's best levels) as it arrives, from the "
        "start of the files, until Ctrl-C or --idle-timeout. With several files the "
        "earlier ones are read to their end and the last is followed, or with --order "
        "exch_ts every file is followed and the lines are merged by exch_ts.",
        "tidemark tail /nas/50.30/NSE_FO/Feed_FO_StreamID_2_29_12_2025.bin --token 1002 "
        "--tz Asia/Kolkata",
    )
    tail.add_argument("files", nargs="+", metavar="FILE", help="feed files")
    add_master_options(tail)
    add_selection(tail, "only these book keys", "only messages of these types (not with --quotes)")
    tail.add_argument(
        "--quotes", action="store_true", help="a line whenever a token's best levels change"
    )
    tail.add_argument(
        "--levels",
        type=parse_levels,
        default=1,
        metavar="N",
        help="levels per side shown with --quotes (1)",
    )
    tail.add_argument(
        "--order",
        choices=["files", "exch_ts"],
        default="files",
        help="the last file followed after the others (default), or all merged by exch_ts",
    )
    tail.add_argument(
        "--tz",
        metavar="ZONE",
        help="IANA zone of the times shown (default: the system's zone)",
    )
    tail.add_argument(
        "--price-scale",
        type=int,
        default=None,
        metavar="K",
        help="prices divided by 10**K (2 gives rupees from paise)",
    )
    tail.add_argument(
        "--idle-timeout",
        type=parse_duration,
        metavar="DURATION",
        help="stop once the files have not grown for this long (such as 30s or 5m)",
    )
    tail.set_defaults(run=run_tail)


def run_tail(args: argparse.Namespace) -> int:
    pa = require("pyarrow")
    from .. import quotes, scan_feed

    if args.quotes and args.type:
        raise CliError("--type selects messages; --quotes lines come from every message")
    if args.price_scale is not None and not 0 <= args.price_scale <= 9:
        raise CliError(f"invalid --price-scale {args.price_scale}: must be from 0 to 9")
    zone = _zone(args.tz)
    files: list[str] = args.files
    options: dict[str, Any] = {
        "master": master_from(args),
        "tokens": args.token,
        "order": args.order,
        "follow": True,
        "idle_timeout": None if args.idle_timeout is None else args.idle_timeout / 1e9,
    }
    try:
        if args.quotes:
            stream: Any = quotes(files, levels=args.levels, **options)
        else:
            stream = scan_feed(files, types=args.type, **options)
    except RuntimeError as exc:
        raise CliError(str(exc) if len(files) > 1 else f"{files[0]}: {exc}") from None
    except ValueError as exc:
        raise CliError(str(exc)) from None
    reader = pa.RecordBatchReader.from_stream(stream)
    line = _quote_line if args.quotes else _message_line
    scale = args.price_scale
    out = sys.stdout
    for batch in _decoded(reader, files[0], len(files) > 1):
        for row in batch.to_pylist():
            out.write(line(row, zone, scale, args.levels))
            out.write("\n")
        out.flush()
    return EXIT_OK


def _zone(name: str | None) -> dt.tzinfo:
    """The zone of the times shown: `name`, or the system's own zone by its
    IANA name, so that a day across a daylight-saving change shows each time
    with the offset it had."""
    from zoneinfo import ZoneInfo, ZoneInfoNotFoundError

    from .._args import system_time_zone

    try:
        return ZoneInfo(system_time_zone() if name is None else name)
    except (ZoneInfoNotFoundError, ValueError):
        raise CliError(f"unknown time zone {name!r} (an IANA name such as Asia/Kolkata)") from None


def _time(ns: int, zone: dt.tzinfo) -> str:
    """exch_ts as a time in `zone`, to the nanosecond."""
    seconds, rest = divmod(ns, 1_000_000_000)
    try:
        moment = dt.datetime.fromtimestamp(seconds, zone)
    except (OverflowError, OSError, ValueError):
        return f"{ns}ns"
    return f"{moment:%Y-%m-%d %H:%M:%S}.{rest:09d}{moment:%z}"


def _price(value: int | None, scale: int | None) -> str:
    if value is None:
        return "-"
    if not scale:
        return str(value)
    sign = "-" if value < 0 else ""
    whole, frac = divmod(abs(value), 10**scale)
    return f"{sign}{whole}.{frac:0{scale}d}"


def _symbol(row: dict[str, Any]) -> str:
    symbol = row.get("token_symbol")
    return f" {symbol}" if symbol else ""


def _message_line(row: dict[str, Any], zone: dt.tzinfo, scale: int | None, _: int) -> str:
    head = f"{_time(row['exch_ts'], zone)}  {row['msg_type']}  token {row['token']}{_symbol(row)}"
    if row["msg_type"] == "T":
        return (
            f"{head}  {row['trade_quantity']} @ {_price(row['trade_price'], scale)}"
            f"  buy {row['buy_order_id']} sell {row['sell_order_id']}  seq {row['seq_no']}"
        )
    return (
        f"{head}  {row['order_type']} {row['quantity']} @ {_price(row['price'], scale)}"
        f"  order {row['order_id']}  seq {row['seq_no']}"
    )


def _quote_line(row: dict[str, Any], zone: dt.tzinfo, scale: int | None, levels: int) -> str:
    sides = []
    for i in range(levels):
        bid = f"{_qty(row[f'bid_qty_{i}'])} @ {_price(row[f'bid_price_{i}'], scale)}"
        ask = f"{_price(row[f'ask_price_{i}'], scale)} x {_qty(row[f'ask_qty_{i}'])}"
        sides.append(f"{bid} | {ask}")
    return (
        f"{_time(row['exch_ts'], zone)}  token {row['token']}{_symbol(row)}  "
        + "   ".join(sides)
        + f"  ({row['msg_type']} seq {row['seq_no']})"
    )


def _qty(value: int | None) -> str:
    return "-" if value is None else str(value)
