"""trades, quotes, bars and check_feed against the plain book replay.

Side by side in one run, on the largest generated report file (20 million
messages over 2,000 tokens; --quick: 1 million), each in messages of the
file per second, batches dropped as they come:

- build_from_source(loader): the books alone, no rows (reference);
- trades (every trade, with aggressor and the best levels before it);
- quotes, levels 1 (rows only on a change of the top level);
- bars, one minute;
- check_feed (framing findings per record and book findings per message);
- book_series per message, levels 1, for comparison.

The target is at least 0.8 times build_from_source for each table.

    python benchmarks/bench_tables.py [--quick] [--json PATH]
"""

from __future__ import annotations

import os

import pyarrow as pa
import tidemark
from common import REALISTIC, REALISTIC_QUICK, Rows, bench_args, feed, measure

import tidemark_tools

MINUTE = 60_000_000_000


def drain(stream) -> int:
    n = 0
    for batch in pa.RecordBatchReader.from_stream(stream):
        n += batch.num_rows
    return n


def main() -> None:
    args = bench_args(__doc__)
    rows = Rows(__file__)
    messages, tokens = (REALISTIC_QUICK if args.quick else REALISTIC)[-1]
    path = feed(messages, tokens)
    print(f"file: {path} ({messages:,} messages, {tokens:,} tokens, "
          f"{os.path.getsize(path) / 2**20:,.0f} MB)")  # fmt: skip

    def build_from_source():
        loader = tidemark.StreamingBinaryLoader()
        loader.open_stream(path, count_messages=False)
        tidemark.OrderbookBuilder().build_from_source(loader)

    tables = {
        "trades": lambda: drain(tidemark_tools.trades(path)),
        "quotes, levels 1": lambda: drain(tidemark_tools.quotes(path, levels=1)),
        "bars, one minute": lambda: drain(tidemark_tools.bars(path, every=MINUTE)),
        "check_feed": lambda: tidemark_tools.check_feed(path),
        "book_series per message, levels 1": lambda: drain(
            tidemark_tools.book_series(path, levels=1)
        ),
    }

    def add(fn, name, reference=False):
        return rows.add(
            measure(fn, path=name, repeat=3, per=messages, unit="msg/s", messages=messages,
                    reference=reference)
        )  # fmt: skip

    build = add(build_from_source, "build_from_source(loader), books only", reference=True)
    measured = {name: add(fn, name) for name, fn in tables.items()}
    print()
    for name, row in measured.items():
        print(f"{name + ' / build_from_source':<52} {row['median'] / build['median']:6.2f} x"
              + ("" if name.startswith("book_series") else " (>= 0.8)"))  # fmt: skip
    rows.write(args.json)


if __name__ == "__main__":
    main()
