"""Feed files of the tidemark module as columnar data.

`tidemark_tools` sits beside the `tidemark` module in the same wheel. Its
Python layer checks and documents arguments; the work is done by the private
native module `tidemark_tools._native`, built from the same C++ core as
`tidemark`.

- `scan_feed(path)`: the messages of a feed file as Arrow record batches,
  for pyarrow, polars, DuckDB and (losslessly) pandas.
- `book_series(path)`: the order books of a feed file after every message or
  on a time grid, as Arrow record batches.
- `trades(path)`, `quotes(path)`, `bars(path, every="1m")`: trades with their
  aggressor and prevailing quote, quote changes and OHLCV bars, from one
  replay of the books.
- `DatedMasters(base)`: each feed file's contract master by its trading
  date, for the `master` argument of the functions above.
"""

from __future__ import annotations

from importlib.metadata import PackageNotFoundError
from importlib.metadata import version as _version

from ._arrow import ArrowStream, to_pandas
from ._books import BookSeries, book_series
from ._check import check_feed
from ._contracts import contracts
from ._masters import DatedMasters
from ._scan import FeedScan, scan_feed
from ._tables import Table, bars, quotes, trades

__all__ = [
    "ArrowStream",
    "BookSeries",
    "DatedMasters",
    "FeedScan",
    "Table",
    "bars",
    "book_series",
    "check_feed",
    "contracts",
    "quotes",
    "scan_feed",
    "to_pandas",
    "trades",
]

try:
    # The version of the installed distribution (the tidemark wheel).
    __version__ = _version("tidemark")
except PackageNotFoundError:  # imported from a source tree that is not installed
    __version__ = "0+unknown"
