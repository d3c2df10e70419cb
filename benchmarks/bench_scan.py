"""scan_feed against the ways a user gets a feed file into columns without it.

Side by side in one run, on the largest generated report file (20 million
messages; --quick: 1 million):

- a plain copy of the file's bytes into memory (reference);
- a numpy structured-dtype decode, as a numpy user writes it by hand: a Python
  loop finds the records, fancy indexing gathers them into two structured
  arrays (reference; measured on the first million messages and given per
  message, since the loop alone takes minutes on the whole file);
- scan_feed into a RecordBatchReader whose batches are dropped (the memory row
  of a consumer that does not keep the data), into pyarrow.table, into
  polars.DataFrame, and a DuckDB aggregate over the scan;
- pyarrow.table(scan).to_pandas(), and scan.to_pandas() with lossless dtypes,
  against a DataFrame built from get_next_msg dicts (reference; measured on the
  first million messages and given per message);
- two scans of the file (batches dropped) in two threads against the same two
  one after the other (unit "x": 2.0 is perfect overlap on two free cores).

    python benchmarks/bench_scan.py [--quick] [--json PATH]
"""

from __future__ import annotations

import os
import threading
import time

import numpy as np
import pyarrow as pa
import tidemark
from common import REALISTIC, REALISTIC_QUICK, Rows, bench_args, feed, measure, value_row
from record_dtypes import ORDER, TRADE

import tidemark_tools


def numpy_decode(data: bytes) -> tuple[np.ndarray, np.ndarray]:
    """The orders and trades of a feed file's bytes, framed like the loader."""
    orders, trades = [], []
    p, size = 0, len(data)
    while p < size:
        if data[p] == 0x20:
            p += 1
            continue
        kind = data[p + 8]
        if kind == 0x54:
            trades.append(p)
            p += 54
        elif kind in (0x4E, 0x4D, 0x58):
            orders.append(p)
            p += 47
        else:
            p += max(data[p] | data[p + 1] << 8, 9)
    raw = np.frombuffer(data, np.uint8)
    o = raw[np.asarray(orders, np.int64)[:, None] + np.arange(47)].view(ORDER).ravel()
    t = raw[np.asarray(trades, np.int64)[:, None] + np.arange(54)].view(TRADE).ravel()
    return o, t


def prefix(path: str, messages: int) -> bytes:
    """The bytes of the first `messages` messages of a generated file."""
    with open(path, "rb") as f:
        data = f.read(messages * 54)
    o, t = 0, 0
    p = 0
    while o + t < messages:
        if data[p] == 0x20:
            p += 1
        elif data[p + 8] == 0x54:
            t, p = t + 1, p + 54
        elif data[p + 8] in (0x4E, 0x4D, 0x58):
            o, p = o + 1, p + 47
        else:
            p += max(data[p] | data[p + 1] << 8, 9)
    return data[:p]


def main() -> None:
    args = bench_args(__doc__)
    rows = Rows(__file__)
    messages, tokens = (REALISTIC_QUICK if args.quick else REALISTIC)[-1]
    path = feed(messages, tokens)
    repeat = 3 if args.quick else 5
    subset = 100_000 if args.quick else 1_000_000
    print(f"file: {path} ({messages:,} messages, {tokens:,} tokens, "
          f"{os.path.getsize(path) / 2**20:,.0f} MB)")  # fmt: skip

    def copy_bytes():
        with open(path, "rb") as f:
            return bytearray(f.read())

    def scan_dropped():
        for _ in pa.RecordBatchReader.from_stream(tidemark_tools.scan_feed(path)):
            pass

    def scan_table():
        return pa.table(tidemark_tools.scan_feed(path))

    def scan_polars():
        import polars as pl

        return pl.DataFrame(tidemark_tools.scan_feed(path))

    def scan_duckdb():
        import duckdb

        scan = tidemark_tools.scan_feed(path)  # noqa: F841 (DuckDB finds it by name)
        return duckdb.sql(
            "SELECT token, count(*), sum(quantity) FROM scan GROUP BY token"
        ).fetchall()

    def scan_pandas_plain():
        return pa.table(tidemark_tools.scan_feed(path)).to_pandas()

    def scan_pandas_lossless():
        return tidemark_tools.scan_feed(path).to_pandas()

    def add(fn, name, *, n=messages, per=None, reference=False, repeat=repeat):
        return rows.add(
            measure(fn, path=name, repeat=repeat, per=per or n, unit="msg/s",
                    messages=messages, reference=reference)
        )  # fmt: skip

    copy = add(copy_bytes, "plain byte copy (bytearray(f.read()))", reference=True)
    head = prefix(path, subset)
    numpy_row = add(
        lambda: numpy_decode(head),
        f"numpy structured-dtype decode (first {subset:,} msgs, per msg)",
        per=subset, reference=True, repeat=1,
    )  # fmt: skip
    dropped = add(scan_dropped, "scan_feed -> RecordBatchReader, batches dropped")
    table = add(scan_table, "scan_feed -> pyarrow.table")
    add(scan_polars, "scan_feed -> polars.DataFrame")
    add(scan_duckdb, "scan_feed -> DuckDB GROUP BY token")
    plain = add(scan_pandas_plain, "pyarrow.table(scan).to_pandas() (lossy float64 ids)")
    lossless = add(scan_pandas_lossless, "scan.to_pandas() (lossless dtypes)")

    head_path = os.path.join(os.path.dirname(path), f"head_{subset}.bin")
    with open(head_path, "wb") as f:
        f.write(head)

    def dicts_frame():
        import pandas as pd

        loader = tidemark.StreamingBinaryLoader()
        loader.open_stream(head_path, count_messages=False)
        out = []
        while (msg := loader.get_next_msg()) is not None:
            out.append(msg)
        return pd.DataFrame(out)

    dicts = add(
        dicts_frame, f"DataFrame from get_next_msg dicts (first {subset:,} msgs, per msg)",
        per=subset, reference=True, repeat=1,
    )  # fmt: skip
    os.remove(head_path)

    # Batches dropped: two whole tables at once would measure the kernel's
    # page faults for 3 GB of fresh memory, not the decoding.
    one = scan_dropped

    def two_sequential():
        start = time.perf_counter()
        one()
        one()
        return time.perf_counter() - start

    def two_threads():
        start = time.perf_counter()
        threads = [threading.Thread(target=one) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return time.perf_counter() - start

    speedups = [two_sequential() / two_threads() for _ in range(repeat if args.quick else 3)]
    rows.add(
        value_row(
            "two scans (batches dropped) in two threads vs one after the other",
            speedups,
            "x",
            messages,
        )
    )

    print()
    print(f"batches dropped / plain copy      {dropped['median'] / copy['median']:8.2f} x (>= 0.5)")
    print(f"pyarrow.table / plain copy        {table['median'] / copy['median']:8.2f} x (>= 0.5)")
    print(
        f"batches dropped / numpy decode    {dropped['median'] / numpy_row['median']:8.1f} x (>= 5)"
    )
    print(f"table().to_pandas() / dicts       {plain['median'] / dicts['median']:8.1f} x (>= 10)")
    print(
        f"lossless to_pandas() / dicts      {lossless['median'] / dicts['median']:8.1f} x (>= 10)"
    )
    mb = dropped["peak_memory"] / 2**20
    print(f"memory of the dropped-batch scan  {mb:8.1f} MB above the start (bound: 64 MB)")
    rows.write(args.json)


if __name__ == "__main__":
    main()
