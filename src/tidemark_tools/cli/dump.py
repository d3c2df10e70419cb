"""`tidemark dump`: feed files' messages as rows."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

from .._progress import Progress, tracked_scan
from ._common import (
    EXIT_OK,
    CliError,
    Subcommands,
    add_master_options,
    add_output,
    add_selection,
    add_subcommand,
    file_size,
    format_for,
    master_from,
    parse_count,
    require,
    show_progress,
)
from ._write import write_batches

if TYPE_CHECKING:
    import pyarrow as pa


def parse_moment(text: str) -> int:
    """A time for --start/--end: an integer of nanoseconds since the epoch,
    or an ISO-8601 time with a zone (to the nanosecond)."""
    try:
        return int(text, 10)
    except ValueError:
        pass
    try:
        import pandas as pd

        moment = pd.Timestamp(text)
        if moment is pd.NaT:  # "NaT" and "" parse, as no moment at all
            raise ValueError(text)
        zoned = moment.tzinfo is not None
        value = int(moment.as_unit("ns").value) if zoned else 0
    except ImportError:
        import datetime as dt

        try:
            plain = dt.datetime.fromisoformat(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"invalid time {text!r}") from None
        zoned = plain.tzinfo is not None
        value = 0
        if zoned:
            from .._args import check_time

            value = check_time("dump", "start", plain) or 0
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"invalid time {text!r}: an ISO-8601 time with a zone "
            "(2026-01-01T09:15:00+05:30) or nanoseconds since the epoch"
        ) from None
    if not zoned:
        raise argparse.ArgumentTypeError(
            f"invalid time {text!r}: give its zone (for example +05:30 or Z)"
        )
    return value


def parse_columns(text: str) -> list[str]:
    columns = [c.strip() for c in text.split(",") if c.strip()]
    if not columns:
        raise argparse.ArgumentTypeError(f"invalid columns {text!r}: a comma-separated list")
    return columns


def parse_price_scale(text: str) -> int:
    value = parse_count(text)
    if value > 9:
        raise argparse.ArgumentTypeError(f"invalid price scale {text!r}: must be from 0 to 9")
    return value


def register(subs: Subcommands) -> None:
    """Adds the `dump` subcommand."""
    dump = add_subcommand(
        subs,
        "dump",
        "Feed files' messages as rows (one column per message dict key), streamed batch "
        "by batch, files one after another (with several files, a last column 'file' "
        "names each row's file). --token selects book keys (a trade's token read as "
        "unsigned). Selections run in the decoder, so a narrow dump of a big file is fast.",
        "tidemark dump data/sample_feed.bin --master data/contract_master_fo_header.csv "
        "--type N,T --format parquet --out sample.parquet\n"
        "  tidemark dump day.bin --type T --columns exch_ts,token,trade_price,trade_quantity "
        "--start 2026-01-01T09:15:00+05:30 --timestamps datetime --tz Asia/Kolkata "
        "--price-scale 2",
    )
    dump.add_argument("files", nargs="+", metavar="FILE", help="feed files, read in this order")
    add_master_options(dump)
    add_selection(dump, "only messages of these book keys", "only messages of these types")
    dump.add_argument(
        "--columns", type=parse_columns, metavar="A,B,...", help="only these columns, in this order"
    )
    dump.add_argument(
        "--start",
        type=parse_moment,
        metavar="TIME",
        help="only messages with exch_ts at or after TIME (ISO-8601 with a zone, or ns)",
    )
    dump.add_argument(
        "--end",
        type=parse_moment,
        metavar="TIME",
        help="only messages with exch_ts before TIME (ISO-8601 with a zone, or ns)",
    )
    dump.add_argument("--limit", type=parse_count, metavar="N", help="at most N rows")
    dump.add_argument(
        "--order",
        choices=["files", "exch_ts"],
        default="files",
        help="files one after another (default), or merged by exch_ts",
    )
    dump.add_argument(
        "--timestamps",
        choices=["int", "datetime"],
        default="int",
        help="exch_ts and local_ts as integers (default) or as times in --tz",
    )
    dump.add_argument(
        "--tz", default="UTC", metavar="ZONE", help="IANA zone of --timestamps datetime (UTC)"
    )
    dump.add_argument(
        "--price-scale",
        type=parse_price_scale,
        metavar="K",
        help="price and trade_price as decimals: the feed's integer divided by 10**K "
        "(2 gives rupees from paise)",
    )
    add_output(dump)
    dump.set_defaults(run=run_dump)


def run_dump(args: argparse.Namespace) -> int:
    pa = require("pyarrow")
    from .. import scan_feed

    fmt = format_for(args.out, args.format)
    files: list[str] = args.files
    several = len(files) > 1
    master = master_from(args)
    wanted = args.columns
    # The contract columns (and, with several files, `file`) are built for
    # the check that the master matches each file, and dropped if not asked.
    columns = None
    if wanted is not None:
        columns = list(wanted)
        if master is not None and "token_symbol" not in columns:
            columns.append("token_symbol")
        if several and "file" not in columns:
            columns.append("file")
    try:
        scan = scan_feed(
            files if several else files[0],
            master=master,
            columns=columns,
            tokens=args.token,
            types=args.type,
            start=args.start,
            end=args.end,
            limit=args.limit,
            timestamps=args.timestamps,
            tz=args.tz,
            price_scale=args.price_scale,
            order=args.order,
        )
    except RuntimeError as exc:
        named = several or str(exc).startswith(f"{files[0]}: ")
        raise CliError(str(exc) if named else f"{files[0]}: {exc}") from None
    except ValueError as exc:
        raise CliError(str(exc).replace("scan_feed() argument", "option")) from None
    sizes = [file_size(f) for f in files]
    total = None if any(s is None for s in sizes) else sum(s or 0 for s in sizes)
    matched: dict[str, int] = {}
    counted: dict[str, int] = {}
    with Progress(
        total, files[0] if not several else f"{len(files)} files", enabled=show_progress(args)
    ) as bar:  # noqa: E501
        reader = pa.RecordBatchReader.from_stream(scan)
        batches = _checked(
            tracked_scan(_decoded(reader, files[0], several), bar),
            master,
            files[0],
            matched,
            counted,
        )  # noqa: E501
        schema = reader.schema
        if wanted is not None:
            schema = pa.schema([schema.field(name) for name in wanted])
            batches = (b.select(wanted) for b in batches)
        if fmt == "jsonl":
            schema, batches = _json_ready(schema, batches)
        write_batches(batches, schema, fmt, args.out)
    if master is not None:
        for name in files:
            if counted.get(name, 0) > 0 and matched.get(name, 0) == 0:
                which = args.master if args.master is not None else master.path_for(name)
                print(
                    f"tidemark: warning: {name}: the contract master {which} "
                    "matches no token of this file",
                    file=sys.stderr,
                )
    return EXIT_OK


def _decoded(reader: pa.RecordBatchReader, path: str, several: bool) -> Iterator[pa.RecordBatch]:
    """The reader's batches; a decode error becomes a one-line error naming
    the file (with several files, the scan's text names it already)."""
    batches = iter(reader)
    while True:
        try:
            batch = next(batches)
        except StopIteration:
            return
        except OSError as exc:
            from ._output import interruption_of

            # A stream stopped by Ctrl-C (or SIGTERM) ends the command as such.
            raise interruption_of(exc) or CliError(
                str(exc) if several else f"{path}: {exc}"
            ) from None  # noqa: E501
        yield batch


def _checked(
    batches: Iterator[pa.RecordBatch],
    master: Any,
    path: str,
    matched: dict[str, int],
    counted: dict[str, int],
) -> Iterator[pa.RecordBatch]:
    """The batches unchanged, counting per file the rows and the rows that
    the master matched (a row with a contract has a token_symbol)."""
    import pyarrow.compute as pc

    for batch in batches:
        if master is not None and "file" not in batch.schema.names:
            counted[path] = counted.get(path, 0) + batch.num_rows
            symbols = batch.column("token_symbol")
            matched[path] = matched.get(path, 0) + batch.num_rows - symbols.null_count
        elif master is not None:
            # Rows of several files (merged by time, a batch mixes them).
            files = batch.column("file").cast("string")
            for entry in pc.value_counts(files).to_pylist():
                counted[entry["values"]] = counted.get(entry["values"], 0) + entry["counts"]
            with_contract = pc.filter(files, pc.is_valid(batch.column("token_symbol")))
            for entry in pc.value_counts(with_contract).to_pylist():
                matched[entry["values"]] = matched.get(entry["values"], 0) + entry["counts"]
        yield batch


def _json_ready(
    schema: pa.Schema, batches: Iterator[pa.RecordBatch]
) -> tuple[pa.Schema, Iterator[pa.RecordBatch]]:
    """Timestamps as ISO-8601 text to the nanosecond and decimals as exact
    text, since JSON has neither."""
    import pyarrow as pa

    def textual(t: pa.DataType) -> bool:
        return bool(pa.types.is_timestamp(t) or pa.types.is_decimal(t))

    if not any(textual(f.type) for f in schema):
        return schema, batches
    plain = pa.schema([f.with_type(pa.string()) if textual(f.type) else f for f in schema])

    def convert() -> Iterator[pa.RecordBatch]:
        for batch in batches:
            columns = [c.cast(pa.string()) if textual(c.type) else c for c in batch.columns]
            yield pa.RecordBatch.from_arrays(columns, schema=plain)

    return plain, convert()
