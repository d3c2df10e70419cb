"""book_series against the Python loop it replaces and the plain book replay.

Side by side in one run, on the largest generated report file (20 million
messages over 2,000 tokens; --quick: 1 million):

- per-message mode, every token, levels 5, batches dropped: rows per second
  (one row per accepted message);
- the Python loop it replaces: orderbook_add_msg plus get_snapshot per message
  dict from get_next_msg (reference; measured on the first 200,000 messages
  and given per message);
- build_from_source(loader) on the same file: the books alone, no rows
  (reference);
- a one-second grid, every token, levels 5, batches dropped, in messages per
  second of the file;
- per-message mode into pyarrow.table, and a one-second grid of one token into
  pandas (lossless dtypes).

    python benchmarks/bench_book_series.py [--quick] [--json PATH]
"""

from __future__ import annotations

import os

import pyarrow as pa
import tidemark
from common import REALISTIC, REALISTIC_QUICK, Rows, bench_args, feed, measure

import tidemark_tools

SECOND = 1_000_000_000


def main() -> None:
    args = bench_args(__doc__)
    rows = Rows(__file__)
    messages, tokens = (REALISTIC_QUICK if args.quick else REALISTIC)[-1]
    path = feed(messages, tokens)
    repeat = 3
    subset = 50_000 if args.quick else 200_000
    print(f"file: {path} ({messages:,} messages, {tokens:,} tokens, "
          f"{os.path.getsize(path) / 2**20:,.0f} MB)")  # fmt: skip

    def drain(series) -> int:
        n = 0
        for batch in pa.RecordBatchReader.from_stream(series):
            n += batch.num_rows
        return n

    accepted = drain(tidemark_tools.book_series(path, levels=1))
    print(f"accepted messages (= per-message rows): {accepted:,}")

    def per_message():
        drain(tidemark_tools.book_series(path))

    def grid_second():
        drain(tidemark_tools.book_series(path, every_ns=SECOND))

    def build_from_source():
        loader = tidemark.StreamingBinaryLoader()
        loader.open_stream(path, count_messages=False)
        tidemark.OrderbookBuilder().build_from_source(loader)

    def python_loop():
        loader = tidemark.StreamingBinaryLoader()
        loader.open_stream(path, count_messages=False)
        builder = tidemark.OrderbookBuilder()
        out = []
        for _ in range(subset):
            msg = loader.get_next_msg()
            if builder.orderbook_add_msg(msg):
                out.append(builder.get_snapshot(msg["token"] & 0xFFFFFFFF, 5))
        return out

    first_token = min(pa.table(tidemark_tools.book_series(path, every_ns=SECOND * 3600))
                      .column("token").to_pylist())  # fmt: skip

    def one_token_grid_pandas():
        return tidemark_tools.book_series(path, tokens=[first_token], every_ns=SECOND).to_pandas()

    def add(fn, name, *, per, unit="msg/s", reference=False, repeat=repeat):
        return rows.add(
            measure(fn, path=name, repeat=repeat, per=per, unit=unit, messages=messages,
                    reference=reference)
        )  # fmt: skip

    pm = add(per_message, "book_series per message, levels 5, every token", per=accepted,
             unit="rows/s")  # fmt: skip
    loop = add(
        python_loop,
        f"Python orderbook_add_msg + get_snapshot loop (first {subset:,} msgs, per msg)",
        per=subset, reference=True, repeat=1,
    )  # fmt: skip
    build = add(build_from_source, "build_from_source(loader), books only", per=messages,
                reference=True)  # fmt: skip
    grid = add(grid_second, "book_series one-second grid, every token", per=messages)
    add(lambda: pa.table(tidemark_tools.book_series(path)),
        "book_series per message -> pyarrow.table", per=accepted, unit="rows/s")  # fmt: skip
    add(one_token_grid_pandas, f"book_series one-second grid of token {first_token} -> pandas",
        per=messages)  # fmt: skip

    print()
    print(f"per-message rows/s                   {pm['median'] / 1e6:8.2f} M (>= 5 M)")
    print(f"per-message / Python loop (per msg)  {pm['median'] / loop['median']:8.1f} x (>= 50)")
    print(
        f"one-second grid / build_from_source  {grid['median'] / build['median']:8.2f} x (>= 0.8)"
    )
    rows.write(args.json)


if __name__ == "__main__":
    main()
