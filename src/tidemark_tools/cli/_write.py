"""Rows written as parquet, CSV or JSON Lines, batch by batch, by native
writers (pyarrow for parquet and CSV, polars for JSON Lines): no loop per
row in Python.

Parquet files carry the pandas metadata that makes a plain
``pandas.read_parquet`` give nullable integer dtypes (``UInt64``,
``Int32``, ...), ``boolean`` and categories, so ids above 2**53 stay exact
and nulls stay ``<NA>``. Each column is encoded for what it holds: steadily
climbing integers (timestamps, sequence numbers, order ids) as deltas,
strings and small repeating codes as dictionaries, the rest plain and
compressed with LZ4. Bit-packed deltas and dictionary indices leave a
compressor nothing to find, so those pages are stored as they are. The
files are about half the size of pyarrow's defaults. Statistics (minimum,
maximum, nulls) are kept for the columns a reader skips row groups by: the
climbing ones, the message type and the token.

A row group is written on a second thread (pyarrow's writer runs without
the interpreter lock) while the batches of the next one are read; at most
one row group waits while another is written. With more than one core, the
columns of a row group are encoded by several pyarrow writers at once and
laid out as one writer would lay them out, byte for byte (see
_parquet_split; the first rows are written both ways to check it, and a
file keeps to one writer if the two differ).
"""

from __future__ import annotations

import re
import sys
from collections.abc import Iterator
from concurrent.futures import Future
from typing import IO, TYPE_CHECKING, Any

from .._args import usable_cores
from ._common import CliError, require
from ._output import output
from ._parquet_split import SplitWriter, matches_single_writer

if TYPE_CHECKING:
    import numpy as np
    import pyarrow as pa
    import pyarrow.parquet as pq

# Integer columns whose values climb through a file: stored as deltas.
_CLIMBING = re.compile(r"seq_no|.*_ts|start|.*order_id")
# Integer columns with few distinct values: stored as dictionaries.
_REPEATING = frozenset({"token", "msg_len", "stream_id"})
# Columns, besides the climbing ones, whose statistics are kept: a reader
# filters by them. Elsewhere, statistics cost time at every page and serve
# no reader (the values of a row group span nearly their whole range).
_FILTERED = frozenset({"msg_type", "token"})
# A row group holds at least this many rows (unless the file ends), and
# batches are held back until then, up to this many bytes.
ROW_GROUP_ROWS = 1 << 20
ROW_GROUP_BYTES = 64 << 20
# Rows the parquet writer takes in at a time: its page size and statistics
# checks run once per such slice, and at pyarrow's default of 1,024 rows
# they cost more than the encoding of narrow columns.
WRITE_BATCH_ROWS = 8192
# At most this many threads encode the columns of a row group.
ENCODING_THREADS = 4
# The rows of the first row group looked at to choose the encoding of the
# numeric columns, and the fewest worth a look.
SAMPLE_ROWS = 1 << 13
SAMPLE_ROWS_LEAST = 256


def plain_schema(schema: pa.Schema) -> pa.Schema:
    """The schema with dictionary-encoded columns as their value type."""
    import pyarrow as pa

    return pa.schema(
        [f.with_type(f.type.value_type) if pa.types.is_dictionary(f.type) else f for f in schema]
    )


def plain_strings(batch: pa.RecordBatch) -> pa.RecordBatch:
    """Dictionary-encoded columns as plain ones, for writers that want them."""
    import pyarrow as pa

    if not any(pa.types.is_dictionary(f.type) for f in batch.schema):
        return batch
    columns = [
        c.cast(c.type.value_type) if pa.types.is_dictionary(c.type) else c for c in batch.columns
    ]
    return pa.RecordBatch.from_arrays(columns, names=batch.schema.names)


def pandas_metadata(schema: pa.Schema) -> dict[bytes, bytes]:
    """The schema metadata that pandas reads back as the lossless dtypes of
    ``tidemark_tools.to_pandas``; empty when pandas is not installed."""
    try:
        import pandas  # noqa: F401
    except ImportError:
        return {}
    import pyarrow as pa

    from .._arrow import to_pandas

    empty = to_pandas(schema.empty_table())
    metadata = pa.Schema.from_pandas(empty, preserve_index=False).metadata or {}
    return {b"pandas": metadata[b"pandas"]} if b"pandas" in metadata else {}


def dictionary_bytes(column: pa.ChunkedArray | pa.Array, width: int) -> int:
    """About the bytes a dictionary page and its indices take for `column`."""
    import pyarrow.compute as pc

    distinct: int = pc.count_distinct(column).as_py()
    return distinct * width + len(column) * max(distinct - 1, 1).bit_length() // 8


def delta_bytes(values: np.ndarray) -> int:
    """About the bytes DELTA_BINARY_PACKED takes for `values`: blocks of 128
    deltas, each stored as its least delta and, per run of 32, as many bits
    a delta as the largest difference from that least one needs."""
    import numpy as np

    deltas = np.diff(values.astype(np.int64, copy=False))  # wrapping, as the encoding does
    blocks = len(deltas) // 128
    if blocks == 0:
        return values.nbytes
    full = deltas[: blocks * 128].reshape(blocks, 4, 32)
    lowest = full.min(axis=(1, 2), keepdims=True)
    spread = (full - lowest).view(np.uint64).max(axis=2)
    bits = np.ceil(np.log2(spread.astype(np.float64) + 1)).sum()
    return int(bits * 32 // 8) + blocks * 16 + (len(deltas) - blocks * 128) * 8


def repeating_columns(sample: pa.Table) -> set[str]:
    """The numeric columns of `sample` stored smaller as dictionaries (a few
    bits of index a row) than as plain values, or than as deltas for the
    columns that climb: prices and quantities of books and bars, interval
    starts and the like repeat, and which ones do depends on the file,
    hence a look at its first rows rather than a fixed list. Plain values
    are compressed, so a dictionary must save at least half of them."""
    import pyarrow as pa

    if sample.num_rows < SAMPLE_ROWS_LEAST:
        return set()
    found = set()
    for name, column in zip(sample.column_names, sample.columns, strict=True):
        kind = column.type
        if not (
            pa.types.is_integer(kind) or pa.types.is_floating(kind) or pa.types.is_decimal(kind)
        ):
            continue
        width = kind.bit_width // 8
        indexed = dictionary_bytes(column, width)
        if pa.types.is_integer(kind) and _CLIMBING.fullmatch(name):
            if column.null_count == 0 and indexed < delta_bytes(column.to_numpy()):
                found.add(name)
        elif 2 * indexed <= sample.num_rows * width:
            found.add(name)
    return found


def parquet_options(schema: pa.Schema, sample: pa.Table | None = None) -> dict[str, Any]:
    """The ParquetWriter options for a table of `schema`: encodings chosen
    per column, LZ4 for the plain ones, and statistics for the columns
    readers filter by (see the module's text). `sample`, the first rows to be
    written, picks out the numeric columns whose values repeat, stored as
    dictionaries too."""
    import pyarrow as pa

    repeating = repeating_columns(sample) if sample is not None else set()
    dictionary = [
        f.name
        for f in schema
        if pa.types.is_dictionary(f.type)
        or pa.types.is_string(f.type)
        or f.name in _REPEATING
        or f.name in repeating
    ]
    delta = {
        f.name: "DELTA_BINARY_PACKED"
        for f in schema
        if pa.types.is_integer(f.type) and _CLIMBING.fullmatch(f.name) and f.name not in dictionary
    }
    return {
        "compression": {
            f.name: "none" if f.name in delta or f.name in dictionary else "lz4" for f in schema
        },
        "use_dictionary": dictionary,
        "column_encoding": delta,
        "write_statistics": [
            f.name for f in schema if _CLIMBING.fullmatch(f.name) or f.name in _FILTERED
        ],
        "write_batch_size": WRITE_BATCH_ROWS,
    }


def row_group(batches: list[pa.RecordBatch], schema: pa.Schema) -> pa.Table:
    """The batches of one row group as a table whose dictionary columns
    share one dictionary. A source may give each batch a dictionary of its
    own (its values in order of first sight), and the parquet writer keeps a
    column chunk dictionary-encoded only while the dictionary stays the
    same: at the first change it falls back to plain values for the rest of
    the chunk, larger and slower to write."""
    import pyarrow as pa

    table = pa.Table.from_batches(batches, schema)
    if any(pa.types.is_dictionary(f.type) for f in schema) and len(batches) > 1:
        table = table.unify_dictionaries()
    return table


def write_parquet(batches: Iterator[pa.RecordBatch], schema: pa.Schema, out: IO[bytes]) -> int:
    """Writes the batches to `out` as one parquet file, in row groups of
    about ROW_GROUP_ROWS rows; returns the number of rows.

    Each row group is written on a second thread while the next one is
    read; the first failure, of either side, ends the writing and is
    raised here once the writing thread is idle."""
    require("pyarrow")
    parquet = require("pyarrow.parquet")
    from concurrent.futures import ThreadPoolExecutor

    rows = 0
    schema = schema.with_metadata({**(schema.metadata or {}), **pandas_metadata(schema)})
    # The writer is made at the first row group, whose first rows choose
    # the encodings (or at the end, for a file of no rows).
    writer: pq.ParquetWriter | SplitWriter | None = None

    def open_writer(sample: pa.Table | None) -> pq.ParquetWriter | SplitWriter:
        nonlocal writer
        if writer is None:
            options = parquet_options(schema, sample)
            threads = min(usable_cores(), ENCODING_THREADS)
            if (
                sample is not None
                and threads > 1
                and len(schema) > 1
                and matches_single_writer(schema, options, sample, threads)
            ):
                writer = SplitWriter(out, schema, options, threads)
            else:
                writer = parquet.ParquetWriter(out, schema, **options)
        return writer

    with ThreadPoolExecutor(1, thread_name_prefix="tidemark-parquet") as pool:
        pending: Future[None] | None = None

        def write(held: list[pa.RecordBatch], held_rows: int) -> None:
            nonlocal pending, rows
            table = row_group(held, schema)
            to = open_writer(table.slice(0, SAMPLE_ROWS))
            if pending is not None:
                pending.result()  # one row group in writing at a time, in order
            pending = pool.submit(to.write_table, table, row_group_size=held_rows)
            rows += held_rows

        try:
            held: list[pa.RecordBatch] = []
            held_rows = held_bytes = 0
            for batch in batches:
                held.append(batch)
                held_rows += batch.num_rows
                held_bytes += batch.nbytes
                if held_rows >= ROW_GROUP_ROWS or held_bytes >= ROW_GROUP_BYTES:
                    write(held, held_rows)
                    held, held_rows, held_bytes = [], 0, 0
            if held:
                write(held, held_rows)
            if pending is not None:
                pending.result()
        except BaseException:
            if pending is not None:
                wait_quietly(pending)
            if writer is not None:
                close_quietly(writer)
            raise
    open_writer(None).close()
    return rows


def close_quietly(writer: pq.ParquetWriter | SplitWriter) -> None:
    """Closes a writer while another failure is on its way out: that
    failure is the one reported."""
    try:
        writer.close()
    except Exception:
        pass


def wait_quietly(pending: Future[None]) -> None:
    """Waits for a row group in writing while another failure is on its
    way out: that failure is the one reported."""
    try:
        pending.result()
    except Exception:
        pass


def write_jsonl(batches: Iterator[pa.RecordBatch], out: IO[bytes]) -> int:
    """Writes the batches to `out` as JSON Lines, one object per row with
    every column (null where a value is missing, integers exact); returns
    the number of rows."""
    pl = require("polars")
    target = _WriteThrough(out)
    rows = 0
    for batch in batches:
        try:
            pl.from_arrow(batch).write_ndjson(target)
        except Exception:
            if target.failure is not None:
                raise target.failure from None
            raise
        rows += batch.num_rows
    return rows


class _WriteThrough:
    """A file that polars writes to through its write(): given the file
    itself, polars writes to the descriptor and reports a failed write
    without its errno, so a full disk could not be told apart and named.
    The first failed write's error is kept. Polars writes in large pieces,
    so the calls cost nothing to speak of."""

    def __init__(self, out: IO[bytes]) -> None:
        self._out = out
        self.failure: OSError | None = None

    def write(self, data: bytes) -> int:
        try:
            return self._out.write(data)
        except OSError as exc:
            self.failure = self.failure or exc
            raise

    def flush(self) -> None:
        self._out.flush()


def write_batches(
    batches: Iterator[pa.RecordBatch], schema: pa.Schema, fmt: str, out_path: str | None
) -> int:
    """Writes the batches as parquet, CSV or JSON Lines, one batch at a time
    (parquet: one row group at a time); returns the number of rows written.
    No rows still give a file: parquet with the schema, CSV with its header
    line."""
    require("pyarrow")
    if fmt == "parquet":
        if out_path in (None, "-") and sys.stdout.isatty():
            raise CliError("refusing to write parquet to a terminal: give --out PATH")
        with output(out_path, binary=True) as out:
            return write_parquet(batches, schema, out)
    if fmt == "csv":
        csv = require("pyarrow.csv")
        rows = 0
        with output(out_path, binary=True) as out:
            options = csv.WriteOptions(quoting_style="needed")
            with csv.CSVWriter(out, plain_schema(schema), write_options=options) as writer:
                for batch in batches:
                    writer.write_batch(plain_strings(batch))
                    rows += batch.num_rows
        return rows
    require("polars")
    with output(out_path, binary=True) as out:
        return write_jsonl(batches, out)
