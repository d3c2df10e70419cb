"""Feed files as a lazy polars frame.

    import polars as pl
    from tidemark_tools.polars import scan_feed

    trades = (
        scan_feed("day.bin", timestamps="datetime", tz="Asia/Kolkata")
        .filter((pl.col("token") == 1001) & (pl.col("msg_type") == "T"))
        .select("exch_ts", "trade_price", "trade_quantity")
        .collect()
    )

The frame is a polars IO source: its schema is known without reading data,
and when polars runs the query it hands over the columns it needs, its row
limit and its filter. The columns and the limit go to
`tidemark_tools.scan_feed` as they are; from the filter, the parts that
select tokens, message types or an exch_ts range (comparisons and ``is_in``
on ``token``, ``msg_type`` and ``exch_ts``, joined by ``&``) become the
scan's own `tokens`, `types`, `start` and `end`, so the native decoder drops
the other records before building any column. The whole filter is then
applied by polars to what the scan returns, so the result never depends on
what could be pushed down: only the speed does.
"""

from __future__ import annotations

import io
import json
from collections.abc import Iterator, Sequence
from typing import Any

from . import _args
from ._scan import _native_scan, check_options

__all__ = ["scan_feed"]

_U32 = 2**32 - 1

# Comparison operators of polars' expression trees, and the operator with its
# sides swapped.
_SWAPPED = {"Eq": "Eq", "Lt": "Gt", "LtEq": "GtEq", "Gt": "Lt", "GtEq": "LtEq"}


class _Pushdown:
    """Native filters implied by a polars predicate: each one keeps at least
    the rows the predicate keeps (often more; polars filters again)."""

    def __init__(self, timestamps: str) -> None:
        self.timestamps = timestamps
        self.tokens: set[int] | None = None
        self.types: set[str] | None = None
        self.start: int | None = None
        self.end: int | None = None

    def add_tokens(self, values: list[Any]) -> None:
        keys = {
            v & _U32
            for v in values
            if isinstance(v, int) and not isinstance(v, bool) and -(2**31) <= v <= _U32
        }
        # A null in the list matches no row (token is never null).
        self.tokens = keys if self.tokens is None else self.tokens & keys

    def add_types(self, values: list[Any]) -> None:
        letters = {v for v in values if isinstance(v, str) and v in _args.MESSAGE_TYPES}
        self.types = letters if self.types is None else self.types & letters

    def add_range(self, op: str, value: Any) -> None:
        ns = self._ns(value)
        if ns is None:
            return
        slack = self._slack()
        if op in ("Gt", "GtEq", "Eq"):
            low = (ns + 1 if op == "Gt" else ns) - slack
            self.start = low if self.start is None else max(self.start, low)
        if op in ("Lt", "LtEq", "Eq"):
            high = (ns + 1 if op in ("LtEq", "Eq") else ns) + slack
            self.end = high if self.end is None else min(self.end, high)

    def _ns(self, value: Any) -> int | None:
        """A bound on exch_ts as nanoseconds, when it is certainly one."""
        import datetime as dt

        if self.timestamps == "int":
            if isinstance(value, int) and not isinstance(value, bool):
                return value
            return None
        if isinstance(value, dt.datetime) and value.tzinfo is not None:
            return _args.check_time("scan_feed", "start", value)
        return None

    def _slack(self) -> int:
        """How far a bound is widened: polars compares a datetime column with
        a coarser literal (microseconds) in the coarser unit, so rows up to
        one such unit beyond the literal can match; a second covers every
        unit below it."""
        return 0 if self.timestamps == "int" else 10**9

    def options(self) -> dict[str, Any]:
        out: dict[str, Any] = {}
        if self.tokens is not None:
            out["tokens"] = sorted(self.tokens)
        if self.types is not None:
            out["types"] = "".join(sorted(self.types))
        if self.start is not None:
            out["start"] = self.start
        if self.end is not None:
            out["end"] = self.end
        return out


def _expr(tree: Any) -> Any:
    """The polars expression of a serialized subtree."""
    import polars as pl

    return pl.Expr.deserialize(io.StringIO(json.dumps(tree)), format="json")


def _constant(tree: Any) -> list[Any] | None:
    """The values of a subtree that reads no column, or None when it reads
    one or cannot be evaluated alone."""
    import polars as pl

    try:
        expr = _expr(tree)
        if expr.meta.root_names():
            return None
        series = pl.select(expr.alias("v")).to_series()
        if series.dtype == pl.List or isinstance(series.dtype, pl.List):
            series = series.explode()
        return list(series.to_list())
    except Exception:  # any expression polars cannot evaluate on its own
        return None


def _column(tree: Any) -> str | None:
    if isinstance(tree, dict) and isinstance(tree.get("Column"), str):
        return str(tree["Column"])
    return None


def _conjuncts(tree: Any) -> Iterator[Any]:
    binary = tree.get("BinaryExpr") if isinstance(tree, dict) else None
    if binary is not None and binary.get("op") in ("And", "LogicalAnd"):
        yield from _conjuncts(binary["left"])
        yield from _conjuncts(binary["right"])
    else:
        yield tree


def _boolean_function(tree: Any) -> tuple[str, Any, list[Any]] | None:
    """(name, parameters, inputs) of a boolean function node such as is_in."""
    node = tree.get("Function") if isinstance(tree, dict) else None
    if node is None:
        return None
    function = node.get("function")
    boolean = function.get("Boolean") if isinstance(function, dict) else None
    if boolean is None:
        return None
    if isinstance(boolean, str):
        return boolean, None, node.get("input", [])
    if isinstance(boolean, dict) and len(boolean) == 1:
        ((name, params),) = boolean.items()
        return name, params, node.get("input", [])
    return None


def _push(conjunct: Any, push: _Pushdown) -> None:
    """Adds what one conjunct of the predicate implies to `push`."""
    binary = conjunct.get("BinaryExpr") if isinstance(conjunct, dict) else None
    if binary is not None and binary.get("op") in _SWAPPED:
        op, left, right = binary["op"], binary["left"], binary["right"]
        column = _column(left)
        other = right
        if column is None:
            column, other, op = _column(right), left, _SWAPPED[op]
        if column is None:
            return
        values = _constant(other)
        if values is None or len(values) != 1:
            return
        if column == "token" and op == "Eq":
            push.add_tokens(values)
        elif column == "msg_type" and op == "Eq":
            push.add_types(values)
        elif column == "exch_ts":
            push.add_range(op, values[0])
        return
    function = _boolean_function(conjunct)
    if function is None:
        return
    name, params, inputs = function
    column = _column(inputs[0]) if inputs else None
    if column is None:
        return
    if name == "IsIn" and len(inputs) == 2:
        if isinstance(params, dict) and params.get("nulls_equal"):
            return  # null == null would count: keep it simple, filter in polars
        values = _constant(inputs[1])
        if values is None:
            return
        if column == "token":
            push.add_tokens(values)
        elif column == "msg_type":
            push.add_types(values)
    elif name == "IsBetween" and len(inputs) == 3 and column == "exch_ts":
        closed = params.get("closed") if isinstance(params, dict) else params
        low, high = _constant(inputs[1]), _constant(inputs[2])
        if low is None or high is None or len(low) != 1 or len(high) != 1:
            return
        push.add_range("GtEq" if closed in ("Both", "Left") else "Gt", low[0])
        push.add_range("LtEq" if closed in ("Both", "Right") else "Lt", high[0])


def pushdown(predicate: Any, timestamps: str = "int") -> dict[str, Any]:
    """The `scan_feed` filters implied by a polars predicate: a dict with
    some of tokens, types, start and end; empty when nothing is implied."""
    push = _Pushdown(timestamps)
    try:
        tree = json.loads(predicate.meta.serialize(format="json"))
    except Exception:  # a polars without JSON plans: filter in polars only
        return {}
    for conjunct in _conjuncts(tree):
        _push(conjunct, push)
    return push.options()


def _narrowed(given: dict[str, Any], pushed: dict[str, Any]) -> dict[str, Any]:
    """The scan options `given` by the caller, narrowed by `pushed`."""
    out = dict(given)
    if "tokens" in pushed:
        mine = set(pushed["tokens"])
        out["tokens"] = sorted(mine if given["tokens"] is None else mine & set(given["tokens"]))
    if "types" in pushed:
        letters = set(pushed["types"])
        if given["types"] is not None:
            letters &= set(given["types"])
        out["types"] = sorted(letters)
    if "start" in pushed:
        start = given["start"]
        out["start"] = pushed["start"] if start is None else max(pushed["start"], start)
    if "end" in pushed:
        out["end"] = pushed["end"] if given["end"] is None else min(pushed["end"], given["end"])
    return out


def scan_feed(paths: _args.PathArg | Sequence[_args.PathArg], **options: Any) -> Any:
    """Feed files as a polars ``LazyFrame``: `tidemark_tools.scan_feed` with
    the same arguments, read only when the query runs, with polars'
    projection, row limit and (where it can be proved equivalent) filter
    pushed into the native scan. Every file is opened and its first record
    checked now, as `tidemark_tools.scan_feed` does.

    The columns have the types of ``polars.DataFrame(tidemark_tools.scan_feed(...))``
    (strings such as msg_type are categorical), and the rows are equal to
    that eager frame filtered and selected the same way.
    """
    import polars as pl
    import pyarrow as pa
    from polars.io.plugins import register_io_source

    checked = _args.check_paths("scan_feed", paths)
    given = check_options("scan_feed", **options)
    # The schema of every column the scan can build (file checks happen here).
    everything = dict(given, columns=None, limit=0)
    schema_source = _native_scan("scan_feed", checked, everything)

    class _Schema:
        def __arrow_c_schema__(self) -> object:
            return schema_source.schema()  # type: ignore[attr-defined]

    empty = pl.from_arrow(pa.schema(_Schema()).empty_table())
    assert isinstance(empty, pl.DataFrame)
    frame_schema = empty.schema
    if given["columns"] is not None:
        frame_schema = pl.Schema({name: frame_schema[name] for name in given["columns"]})

    def source(
        with_columns: list[str] | None,
        predicate: Any,
        n_rows: int | None,
        batch_size: int | None,
    ) -> Iterator[Any]:
        wanted = list(with_columns) if with_columns is not None else list(frame_schema.names())
        needed = list(wanted)
        o = dict(given)
        if predicate is not None:
            for name in predicate.meta.root_names():
                if name not in needed:
                    needed.append(name)
            if n_rows is None:
                # n_rows counts rows before the filter: the native filters
                # can only stand in for the predicate when there is none.
                o = _narrowed(o, pushdown(predicate, given["timestamps"]))
        o["columns"] = needed
        if n_rows is not None:
            o["limit"] = n_rows if o["limit"] is None else min(n_rows, o["limit"])
        scan = _native_scan("scan_feed", checked, check_options("scan_feed", **o))

        class _Stream:
            def __arrow_c_stream__(self, requested_schema: object = None) -> object:
                return scan.stream()  # type: ignore[attr-defined]

        reader = pa.RecordBatchReader.from_stream(_Stream())
        empty = True
        for batch in reader:
            frame = pl.from_arrow(batch)
            assert isinstance(frame, pl.DataFrame)
            if predicate is not None:
                frame = frame.filter(predicate)
            empty = False
            yield frame.select(wanted).rechunk()
        if empty:  # no rows at all: one empty frame, which every polars takes
            frame = pl.from_arrow(reader.schema.empty_table())
            assert isinstance(frame, pl.DataFrame)
            yield frame.select(wanted).rechunk()

    return register_io_source(source, schema=frame_schema)
