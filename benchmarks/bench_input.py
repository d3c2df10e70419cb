"""scan_feed on compressed recordings against the same file uncompressed.

Side by side in one run, on a generated report file (5 million messages;
--quick: 1 million) and its .zst (default level) and .gz (default level)
copies, made once and kept beside it: each scan's batches are dropped, in
interleaved rounds, and the ratio of each compressed rate to the
uncompressed rate of the same round is its own row (target for .zst: at
least 0.5). With --baseline SO, an earlier build of the native module scans
the same files in the same rounds, and its ratios are rows beside them.

    python benchmarks/bench_input.py [--quick] [--json PATH] [--baseline SO]
"""

from __future__ import annotations

import gzip
import os
import shutil
import time

import pyarrow as pa
from common import REALISTIC, REALISTIC_QUICK, Rows, bench_args, feed, native_module, value_row

import tidemark_tools


def compressed_copy(path: str, suffix: str) -> str:
    """path compressed at the codec's default level, made once."""
    out = path + suffix
    if os.path.exists(out):
        return out
    tmp = out + ".tmp"
    with open(path, "rb") as src, open(tmp, "wb") as dst:
        if suffix == ".gz":
            with gzip.GzipFile(fileobj=dst, mode="wb", compresslevel=6) as z:
                shutil.copyfileobj(src, z, 1 << 20)
        else:
            import zstandard

            zstandard.ZstdCompressor().copy_stream(src, dst)
    os.rename(tmp, out)
    return out


def scan_seconds(path: str) -> float:
    start = time.perf_counter()
    for _ in pa.RecordBatchReader.from_stream(tidemark_tools.scan_feed(path)):
        pass
    return time.perf_counter() - start


def main() -> None:
    args = bench_args(__doc__, baseline=True)
    rows = Rows(__file__)
    sizes = REALISTIC_QUICK if args.quick else REALISTIC
    messages, tokens = sizes[len(sizes) // 2]
    path = feed(messages, tokens)
    paths = {"": path, ".zst": compressed_copy(path, ".zst"), ".gz": compressed_copy(path, ".gz")}
    for suffix, p in paths.items():
        print(f"file{suffix or ' (plain)'}: {p} ({os.path.getsize(p) / 2**20:,.0f} MB)")
    builds = {"": None}
    if args.baseline:
        builds[", baseline build"] = args.baseline
    rounds = 3 if args.quick else 5
    rates: dict[tuple[str, str], list[float]] = {(b, s): [] for b in builds for s in paths}
    for suffix in paths:  # warm the page cache
        scan_seconds(paths[suffix])
    for _ in range(rounds):
        for build, so in builds.items():
            with native_module(so):
                for suffix, p in paths.items():
                    rates[build, suffix].append(messages / scan_seconds(p))
    names = {"": "uncompressed", ".zst": ".zst (default level)", ".gz": ".gz (default level)"}
    for build in builds:
        for suffix in paths:
            rows.add(
                value_row(
                    f"scan_feed {names[suffix]}, batches dropped{build}",
                    rates[build, suffix],
                    "msg/s",
                    messages,
                )
            )
    for suffix in (".zst", ".gz"):
        for build in builds:
            ratios = [c / u for c, u in zip(rates[build, suffix], rates[build, ""], strict=True)]
            rows.add(
                value_row(
                    f"scan_feed {names[suffix]} / uncompressed, same round{build}",
                    ratios,
                    "x",
                    messages,
                )
            )
    rows.write(args.json)


if __name__ == "__main__":
    main()
