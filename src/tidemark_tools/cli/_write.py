"""Rows written as parquet, CSV or JSON Lines, one batch at a time."""

from __future__ import annotations

import json
import sys
from collections.abc import Iterator
from typing import TYPE_CHECKING

from ._common import CliError, require
from ._output import output

if TYPE_CHECKING:
    import pyarrow as pa


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


def write_batches(
    batches: Iterator[pa.RecordBatch], schema: pa.Schema, fmt: str, out_path: str | None
) -> int:
    """Writes the batches as parquet (zstd), CSV or JSON Lines, one batch at
    a time; returns the number of rows written. No rows still give a file:
    parquet with the schema, CSV with its header line."""
    pa = require("pyarrow")
    rows = 0
    if fmt == "parquet":
        pq = require("pyarrow.parquet")
        if out_path in (None, "-") and sys.stdout.isatty():
            raise CliError("refusing to write parquet to a terminal: give --out PATH")
        with output(out_path, binary=True) as out:
            # Dictionary pages pay off for the few distinct strings; for ids
            # and prices they cost time and fall back to plain pages anyway.
            strings = [
                f.name
                for f in schema
                if pa.types.is_string(f.type) or pa.types.is_dictionary(f.type)
            ]
            with pq.ParquetWriter(
                out, schema, compression="zstd", use_dictionary=strings
            ) as writer:
                for batch in batches:
                    writer.write_batch(batch)
                    rows += batch.num_rows
        return rows
    if fmt == "csv":
        csv = require("pyarrow.csv")
        with output(out_path, binary=True) as out:
            options = csv.WriteOptions(quoting_style="needed")
            with csv.CSVWriter(out, plain_schema(schema), write_options=options) as writer:
                for batch in batches:
                    writer.write_batch(plain_strings(batch))
                    rows += batch.num_rows
        return rows
    with output(out_path, binary=False) as out:
        for batch in batches:
            for row in batch.to_pylist():
                out.write(json.dumps(row, ensure_ascii=False, separators=(",", ":")))
                out.write("\n")
            rows += batch.num_rows
    return rows
