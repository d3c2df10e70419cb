"""Several feed files merged by exch_ts against the same files read one after
another, side by side in one run.

Four generated files of 5 million messages each (--quick: 250,000), each
with its own seed, read into pyarrow.table (batches kept) by:

- scan_feed, order "files" (reference) and order "exch_ts";
- trades, order "files" (reference) and order "exch_ts" (the replay engine's
  merge, with the books).

The target is at least 0.7 times the files read one after another. With
--baseline SO, an earlier build of the native module reads the same files
in the same run (its two orders right after the installed build's), and its
ratios are printed beside them.

    python benchmarks/bench_merge.py [--quick] [--json PATH] [--baseline SO]
"""

from __future__ import annotations

import pyarrow as pa
from common import Rows, bench_args, feed, measure, native_module

import tidemark_tools

FILES = 4


def main() -> None:
    args = bench_args(__doc__, baseline=True)
    rows = Rows(__file__)
    per_file = 250_000 if args.quick else 5_000_000
    paths = [feed(per_file, 500, seed=seed) for seed in range(11, 11 + FILES)]
    messages = per_file * FILES
    print(f"{FILES} files of {per_file:,} messages")
    builds = {"": None}
    if args.baseline:
        builds[", baseline build"] = args.baseline

    def add(fn, name, so, reference=False):
        with native_module(so):
            return rows.add(
                measure(fn, path=name, repeat=3, per=messages, unit="msg/s", messages=messages,
                        reference=reference)
            )  # fmt: skip

    for p in paths:  # into the page cache, so that no row reads from the disk
        with open(p, "rb") as f:
            while f.read(1 << 24):
                pass
    ratios = []
    for label, make in (
        ("scan_feed", lambda order: tidemark_tools.scan_feed(paths, order=order)),
        ("trades", lambda order: tidemark_tools.trades(paths, order=order)),
    ):
        measured = {}
        for build, so in builds.items():
            for order in ("files", "exch_ts"):
                measured[build, order] = add(
                    lambda make=make, order=order: pa.table(make(order)),
                    f"{label}, {order}{build}",
                    so,
                    reference=order == "files" and not build,
                )
        for build in builds:
            ratio = measured[build, "exch_ts"]["median"] / measured[build, "files"]["median"]
            ratios.append((f"{label} merged / one after another{build}", ratio))
    print()
    for label, ratio in ratios:
        print(f"{label:<68} {ratio:6.2f} x (>= 0.7)")
    rows.write(args.json)


if __name__ == "__main__":
    main()
