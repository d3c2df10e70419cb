"""Books replayed in parallel shards against one thread.

Side by side in one run, on the generated market-like file (20 million
messages over 2,000 tokens; --quick: 300,000 over 200), each table with
threads=1 and threads=2, batches dropped as they come, in messages of the
file per second:

- book_series per message, levels 5 (target: threads=2 at least 1.6 times
  threads=1);
- the other replays of books: quotes (levels 1), trades, bars (one
  minute), check_feed, and a one-minute grid.

A ratio row follows each pair. On a machine with one usable core the pairs
measure only the cost of the hand-over between threads.

    python benchmarks/bench_shards.py [--quick] [--json PATH]
"""

from __future__ import annotations

import os

import pyarrow as pa
from common import Rows, bench_args, market_feed, measure, value_row

import tidemark_tools

MINUTE = 60_000_000_000


def drain(stream) -> int:
    n = 0
    for batch in pa.RecordBatchReader.from_stream(stream):
        n += batch.num_rows
    return n


TABLES = {
    "book_series per message, levels 5": lambda path, t: drain(
        tidemark_tools.book_series(path, levels=5, threads=t)
    ),
    "quotes, levels 1": lambda path, t: drain(tidemark_tools.quotes(path, threads=t)),
    "trades": lambda path, t: drain(tidemark_tools.trades(path, threads=t)),
    "bars, one minute": lambda path, t: drain(tidemark_tools.bars(path, every="1m", threads=t)),
    "check_feed": lambda path, t: tidemark_tools.check_feed(path, threads=t),
    "one-minute grid, levels 5": lambda path, t: drain(
        tidemark_tools.book_series(path, levels=5, every_ns=MINUTE, threads=t)
    ),
}


def main() -> None:
    args = bench_args(__doc__)
    rows = Rows(__file__)
    path, messages, tokens = market_feed(args.quick)
    print(f"file: {path} ({messages:,} messages, {tokens:,} tokens, "
          f"{os.path.getsize(path) / 2**20:,.0f} MB), usable cores: "
          f"{len(os.sched_getaffinity(0))}")  # fmt: skip
    repeat = 3
    ratios = {}
    for name, fn in TABLES.items():
        one = rows.add(
            measure(lambda fn=fn: fn(path, 1), path=f"{name}, threads=1", repeat=repeat,
                    per=messages, unit="msg/s", messages=messages, reference=True)
        )  # fmt: skip
        two = rows.add(
            measure(lambda fn=fn: fn(path, 2), path=f"{name}, threads=2", repeat=repeat,
                    per=messages, unit="msg/s", messages=messages)
        )  # fmt: skip
        ratios[name] = two["median"] / one["median"]
        rows.add(value_row(f"{name}: threads=2 / threads=1", [ratios[name]], "x"))
    print()
    for name, ratio in ratios.items():
        target = " (>= 1.6)" if name.startswith("book_series per message") else ""
        print(f"{name + ': threads=2 / threads=1':<60} {ratio:6.2f} x{target}")
    rows.write(args.json)


if __name__ == "__main__":
    main()
