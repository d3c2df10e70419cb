"""`tidemark dump`: a feed file's messages as rows."""

from __future__ import annotations

import argparse
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING

from .._progress import Progress, tracked_scan
from ._common import (
    EXIT_OK,
    MAX_TOKEN,
    Subcommands,
    add_output,
    add_selection,
    add_subcommand,
    decoded,
    file_size,
    format_for,
    load_master,
    opening,
    parse_count,
    require,
    show_progress,
)
from ._write import write_batches

if TYPE_CHECKING:
    import pyarrow as pa


def register(subs: Subcommands) -> None:
    """Adds the `dump` subcommand."""
    dump = add_subcommand(
        subs,
        "dump",
        "A feed file's messages as rows (one column per message dict key), streamed batch "
        "by batch. --token selects book keys (a trade's token read as unsigned).",
        "tidemark dump data/sample_feed.bin --master data/contract_master_fo_header.csv "
        "--type N,T --format parquet --out sample.parquet",
    )
    dump.add_argument("file", metavar="FILE", help="feed file")
    dump.add_argument("--master", metavar="CSV", help="contract master: add contract columns")
    add_selection(dump, "only messages of these book keys", "only messages of these types")
    dump.add_argument("--limit", type=parse_count, metavar="N", help="at most N rows")
    add_output(dump)
    dump.set_defaults(run=run_dump)


def run_dump(args: argparse.Namespace) -> int:
    pa = require("pyarrow")
    from .. import scan_feed

    fmt = format_for(args.out, args.format)
    master = load_master(args.master)
    scan = opening(args.file, lambda: scan_feed(args.file, master=master))
    with Progress(file_size(args.file), args.file, enabled=show_progress(args)) as bar:
        reader = pa.RecordBatchReader.from_stream(scan)
        batches = _filtered(
            tracked_scan(decoded(reader, args.file), bar),
            args.token,
            args.type,
            args.limit,
            "token",
        )
        write_batches(batches, reader.schema, fmt, args.out)
    return EXIT_OK


def _filtered(
    reader: pa.RecordBatchReader,
    tokens: Sequence[int] | None,
    types: Sequence[str] | None,
    limit: int | None,
    token_column: str,
) -> Iterator[pa.RecordBatch]:
    """The reader's batches with the row selection applied, at most `limit`
    rows in all."""
    import pyarrow as pa
    import pyarrow.compute as pc

    left = limit
    for batch in reader:
        if left is not None and left <= 0:
            return
        mask = None
        if tokens:
            keys = batch.column(token_column)
            if pa.types.is_signed_integer(keys.type):
                # A trade's signed token selects the book it acts on.
                keys = pc.bit_wise_and(keys.cast(pa.int64()), MAX_TOKEN)
            mask = pc.is_in(keys, value_set=pa.array(tokens, pa.int64()).cast(keys.type))
        if types:
            type_mask = pc.is_in(
                batch.column("msg_type").cast(pa.string()), value_set=pa.array(types)
            )
            mask = type_mask if mask is None else pc.and_(mask, type_mask)
        if mask is not None:
            batch = batch.filter(mask)
        if left is not None:
            batch = batch.slice(0, left)
            left -= batch.num_rows
        if batch.num_rows:
            yield batch
