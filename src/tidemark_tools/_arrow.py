"""Arrow streams of the native module, and their lossless way into pandas."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import pandas
    import pyarrow


class ArrowStream:
    """Data that any Arrow-aware tool reads through the Arrow PyCapsule
    interface: ``pyarrow.table(obj)``, ``pyarrow.RecordBatchReader.from_stream(obj)``,
    ``polars.DataFrame(obj)``, or a DuckDB query that names the variable.

    Every ``__arrow_c_stream__`` call reads the data again from its start, so
    the same object can be consumed any number of times. Batches are built
    one at a time, on demand, with the interpreter lock released.
    """

    __slots__ = ("_source",)

    def __init__(self, source: Any) -> None:
        self._source = source

    def __arrow_c_schema__(self) -> object:
        """The schema of the batches, as a PyCapsule named "arrow_schema"."""
        return self._source.schema()

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """A new stream of the batches from the start, as a PyCapsule named
        "arrow_array_stream". `requested_schema` is accepted and ignored: the
        columns always have the types of ``__arrow_c_schema__``."""
        return self._source.stream()

    def to_arrow(self) -> pyarrow.Table:
        """All batches as one pyarrow Table (needs pyarrow)."""
        import pyarrow as pa

        return pa.table(self)

    def to_pandas(self) -> pandas.DataFrame:
        """All rows as a pandas DataFrame, losslessly: see `to_pandas`."""
        return to_pandas(self.to_arrow())


def _lossless_types() -> dict[Any, Any]:
    import pandas as pd
    import pyarrow as pa

    return {
        pa.int8(): pd.Int8Dtype(),
        pa.int16(): pd.Int16Dtype(),
        pa.int32(): pd.Int32Dtype(),
        pa.int64(): pd.Int64Dtype(),
        pa.uint8(): pd.UInt8Dtype(),
        pa.uint16(): pd.UInt16Dtype(),
        pa.uint32(): pd.UInt32Dtype(),
        pa.uint64(): pd.UInt64Dtype(),
        pa.bool_(): pd.BooleanDtype(),
        pa.string(): pd.StringDtype("pyarrow"),
    }


def to_pandas(data: Any) -> pandas.DataFrame:
    """Turns a pyarrow Table, or anything with ``__arrow_c_stream__``, into a
    pandas DataFrame without losing a value.

    Integer columns become pandas' nullable integer dtypes of the same width
    and sign (``UInt64``, ``Int32``, ...), booleans ``boolean`` and strings
    ``string[pyarrow]``, so a null stays ``<NA>``. pyarrow's default would
    turn an integer column with nulls into float64, which rounds every id
    above 2**53 (``order_id`` is null on trade rows).
    """
    import pyarrow as pa

    table = data if isinstance(data, pa.Table) else pa.table(data)
    return table.to_pandas(types_mapper=_lossless_types().get)
