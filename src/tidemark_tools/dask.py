"""Many feed files as one Dask DataFrame, one partition per file.

    from tidemark_tools.dask import read_feeds, book_series_many

    messages = read_feeds(paths, master="contracts.csv")
    books = book_series_many(paths, tokens=[1001], every_ns=1_000_000_000)

Each partition is `scan_feed` (or `book_series`) of one file, turned into
pandas without losing a value or copying the data: every column is
Arrow-backed (``pd.ArrowDtype``: ``uint64[pyarrow]``, ``int32[pyarrow]``,
``string[pyarrow]``, ...) with nulls as ``<NA>``, never float64 for an id.
(Nullable numpy dtypes would be lossless too, but converting a million rows
to them costs a quarter of a second, more than decoding the file.)
A task carries only the file's path and the options, never an object of the
native module, so the same graph runs on the threads of one process, on a
``LocalCluster`` or on a ``distributed`` cluster whose workers see the same
files. The partitions' columns and dtypes (the DataFrame's ``meta``) are read
from the first file's schema, which needs only its first record.

On a cluster, optimize the graph before computing it:

    result = client.compute(per_token.optimize()).result()

``compute`` (``dask.compute`` and ``Client.compute`` alike) runs each step
of a partition (the scan, every column selection, comparison, filter and
per-group reduction) as a task of its own, and a worker stores and measures
each step's frame of millions of rows; ``optimize()`` fuses each
partition's steps into one task. In one process this changes nothing; on a
two-worker ``LocalCluster`` it cut the workers' CPU time for eight files
by about a third. The result is the same either way.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any

from ._masters import DatedMasters

if TYPE_CHECKING:
    import dask.dataframe as dd
    import pandas as pd

__all__ = ["read_feeds", "book_series_many", "WORKER_CONFIG"]

# Dask configuration for clusters that run these tasks:
#
#     with dask.config.set(WORKER_CONFIG):
#         cluster = LocalCluster(n_workers=2, threads_per_worker=1)
#
# distributed starts its worker processes with MALLOC_TRIM_THRESHOLD_=65536.
# Setting that variable also pins the C library's mmap threshold at 128 KiB,
# so every column buffer of every batch (a few hundred KiB each) is mapped
# and unmapped afresh, and scanning a file in a worker takes about 1.6 times
# as long. Raising the mmap threshold to 16 MiB keeps those buffers on the
# heap, where they are reused. Trimming at 64 KiB then still hands each
# partition's buffers back to the system as soon as they are freed, and the
# next partition faults the same amount in again (about 100 MB for a file
# of 5 million messages and three columns): a trim threshold of 64 MiB keeps
# that much free memory for reuse per heap and still returns the rest, which
# cut a worker's page faults by two thirds and its CPU time by about a tenth.
WORKER_CONFIG: dict[str, object] = {
    "distributed.nanny.pre-spawn-environ.MALLOC_MMAP_THRESHOLD_": 16 << 20,
    "distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": 64 << 20,
}


def _paths(function: str, paths: object) -> list[str]:
    if isinstance(paths, str | os.PathLike):
        paths = [paths]
    if not isinstance(paths, Iterable):
        raise TypeError(
            f"{function}() argument 'paths' must be an iterable of paths, "
            f"not {type(paths).__name__}"
        )
    out = []
    for p in paths:
        if isinstance(p, os.PathLike):
            p = os.fspath(p)
        if not isinstance(p, str):
            raise TypeError(
                f"{function}() argument 'paths' must hold str or os.PathLike paths, "
                f"not {type(p).__name__}"
            )
        out.append(p)
    if not out:
        raise ValueError(f"{function}() argument 'paths' is empty")
    return out


def _master_path(master: object) -> object:
    """`master` as tasks carry it: a path, a DatedMasters, or a mapping from
    feed path to a master's path (each worker loads the files itself)."""
    if master is None or isinstance(master, DatedMasters):
        return master
    if isinstance(master, Mapping):
        out: dict[Any, Any] = {}
        for key, value in master.items():
            if isinstance(value, os.PathLike):
                value = os.fspath(value)
            if not isinstance(value, str | bytes):
                raise TypeError(
                    "read_feeds() argument 'master' must map feed paths to the paths of "
                    f"contract-master files, not to {type(value).__name__}: tasks carry paths, "
                    "so that every worker loads the files itself"
                )
            out[key] = value
        return out
    if isinstance(master, os.PathLike):
        master = os.fspath(master)
    if not isinstance(master, str | bytes):
        raise TypeError(
            "read_feeds() argument 'master' must be the path of a contract-master file "
            f"(str or os.PathLike), a DatedMasters or a mapping from feed path to such a path, "
            f"not {type(master).__name__}: tasks carry paths, so that every worker loads the "
            "file itself"
        )
    return master


def _groups(function: str, paths: object) -> list[list[str | bytes]]:
    """The partitions' files: each item of `paths` is one path (a partition
    of its own) or a list or tuple of paths (one partition reading them
    together)."""
    from ._args import check_paths

    if isinstance(paths, str | bytes | os.PathLike):
        paths = [paths]
    if not isinstance(paths, Iterable):
        raise TypeError(
            f"{function}() argument 'paths' must be a path or a sequence of paths and lists "
            f"of paths, not {type(paths).__name__}"
        )
    groups = [check_paths(function, item) for item in paths]
    if not groups:
        raise ValueError(f"{function}() argument 'paths' is empty")
    return groups


def _plain(column: Any, gather: bool) -> Any:
    """A column of the scan as pandas takes it: dictionary-encoded strings
    decoded; with `gather`, fixed-width values moved into one contiguous
    chunk. A scan hands its columns out in batches, and pandas turns a
    column of many chunks into one (a copy) for every grouping, sort or
    reduction over it, so gathering once pays off for a column that will be
    worked on, and is a wasted copy for one that will not. Text stays in its
    chunks: a column of more than 2 GiB of text has no one-chunk form."""
    import pyarrow as pa

    kind = column.type
    if pa.types.is_dictionary(kind):
        return column.cast(kind.value_type)
    if (
        gather
        and column.num_chunks > 1
        and (pa.types.is_primitive(kind) or pa.types.is_decimal(kind))
    ):
        return pa.chunked_array([column.combine_chunks()], kind)
    return column


def _arrow_backed(table: Any, gather: bool = False) -> pd.DataFrame:
    """A pyarrow Table as a DataFrame of Arrow-backed columns, without a
    copy unless `gather` (see _plain)."""
    import pandas as pd
    import pyarrow as pa

    columns = [_plain(c, gather) for c in table.columns]
    plain = pa.Table.from_arrays(columns, names=table.column_names)
    frame: pd.DataFrame = plain.to_pandas(types_mapper=pd.ArrowDtype)
    return frame


def _empty_frame(stream: Any) -> pd.DataFrame:
    """An empty DataFrame with the partitions' dtypes."""
    import pyarrow as pa

    return _arrow_backed(pa.schema(stream).empty_table())


# The two task functions: module-level, so that a task pickles as a reference
# to one of them plus a path and plain options.


def _named(path: str | bytes, error: Exception) -> Exception:
    """`error` with its text starting with the path of the partition's file
    (unless it names it already), of the same type where that type takes a
    message, else RuntimeError."""
    from ._args import display_path

    name = display_path(path)
    text = str(error)
    if text.startswith(name):
        return error
    try:
        return type(error)(f"{name}: {text}")
    except Exception:
        return RuntimeError(f"{name}: {text}")


def _scan_partition(
    group: list[str | bytes], options: dict[str, Any], columns: list[str] | None = None
) -> pd.DataFrame:
    import pyarrow as pa

    from . import scan_feed

    if columns is not None:
        options = dict(options, columns=list(columns))
    try:
        # Columns the graph selected are the ones its next steps work on.
        table = pa.table(scan_feed(group, **options))
        return _arrow_backed(table, gather=columns is not None)
    except Exception as error:
        if len(group) > 1:
            raise  # the scan's errors name the file of several
        raise _named(group[0], error) from error


def _book_partition(path: str, options: dict[str, Any]) -> pd.DataFrame:
    import pyarrow as pa

    from . import book_series

    try:
        return _arrow_backed(pa.table(book_series(path, **options)))
    except Exception as error:
        raise _named(path, error) from error


def read_feeds(
    paths: str | os.PathLike[str] | Sequence[Any],
    *,
    master: str | os.PathLike[str] | DatedMasters | Mapping[Any, Any] | None = None,
    **scan_options: Any,
) -> dd.DataFrame:
    """The messages of feed files as a Dask DataFrame, one partition per file
    in the order of `paths`, each partition
    ``scan_feed(path, master=master, **scan_options)`` as pandas with
    Arrow-backed columns.

    An item of `paths` may also be a list (or tuple) of paths: a partition
    group, read by one ``scan_feed(group, ...)`` in the `order` given
    (``order="exch_ts"`` merges the group's files by time, for example the
    streams of one day). When any partition holds several files, every
    partition has the ``file`` column (unless `columns` says otherwise).

    `scan_options` are those of `tidemark_tools.scan_feed` (columns, tokens,
    types, start, end, limit, timestamps, tz, price_scale, batch_rows),
    checked once, here; they apply to each file on its own (so `limit` is at
    most that many rows per file). The columns that a Dask computation
    selects reach each partition's scan: ``read_feeds(paths)[["token",
    "trade_quantity"]]`` builds only those two columns. `master` is the path
    of a contract-master CSV file, a `tidemark_tools.DatedMasters` (each
    file's master by its trading date) or a mapping from feed path to the
    path of a CSV file (a `SymbolMaster` object cannot travel to other
    processes). An error in a file fails the computation with a text that
    starts with the file's path.
    """
    import dask.dataframe as dd

    from . import scan_feed
    from ._scan import check_options

    groups = _groups("read_feeds", paths)
    master_path = _master_path(master)
    options = check_options("read_feeds", master=master_path, **scan_options)
    widest = max(groups, key=len)
    if len(widest) > 1 and options["columns"] is None:
        # Every partition gets the columns of one of several files, `file`
        # included, so that their frames agree.
        import pyarrow as pa

        options["columns"] = pa.schema(scan_feed(widest, **options)).names
    first = groups[0]
    try:
        meta = _empty_frame(scan_feed(first, **options))
    except RuntimeError as error:
        if len(first) > 1:
            raise
        raise _named(first[0], error) from error
    frame: dd.DataFrame = dd.from_map(
        _scan_partition,
        groups,
        options=options,
        meta=meta,
        label="tidemark-scan-feed",
        enforce_metadata=False,
    )
    return frame


def book_series_many(
    paths: str | os.PathLike[str] | Sequence[str | os.PathLike[str]],
    **book_series_options: Any,
) -> dd.DataFrame:
    """The book series of feed files as a Dask DataFrame, one partition per
    file in the order of `paths`, each partition
    ``book_series(path, **book_series_options)`` as pandas with Arrow-backed
    columns. Every
    file starts with empty books. The options are checked once, here."""
    import dask.dataframe as dd

    from . import book_series

    files = _paths("book_series_many", paths)
    options = dict(book_series_options)
    if options.get("tokens") is not None:
        options["tokens"] = list(options["tokens"])  # a generator could not be sent twice
    if options.get("types") is not None:
        options["types"] = list(options["types"])
    meta = _empty_frame(book_series(files[0], **options))
    frame: dd.DataFrame = dd.from_map(
        _book_partition,
        files,
        options=options,
        meta=meta,
        label="tidemark-book-series",
        enforce_metadata=False,
    )
    return frame
