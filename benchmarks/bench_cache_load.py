"""load_to_cache: chunked reads against the former whole-file mapping, side by side.

    python benchmarks/bench_cache_load.py [--quick] [--json PATH] [--baseline SO]

The cache reads a feed file in chunks (a file truncated by another process
meanwhile cannot kill the interpreter). Target: at least 0.9 times the speed
of the mapping build it replaced. That build is the module file given by
--baseline (an earlier build of tidemark, e.g. copied from a venv before
upgrading); it is loaded beside the installed module under its own path, and
both load the same files in alternation, round after round, so that the two
see the same machine load. Without --baseline, only the installed module is
measured, against a plain read of the file's bytes (the reference row).
"""

import importlib.machinery
import importlib.util
import statistics
import sys
import time

import tidemark
from common import Rows, bench_args, feed, value_row

SIZES = [(1_000_000, 100), (5_000_000, 500)]
SIZES_QUICK = [(300_000, 100)]


def load_module_file(path: str):
    """The extension module file at `path`, loaded beside the installed one."""
    loader = importlib.machinery.ExtensionFileLoader("tidemark", path)
    spec = importlib.util.spec_from_file_location("tidemark", path, loader=loader)
    saved = sys.modules.get("tidemark")
    try:
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
    finally:
        sys.modules["tidemark"] = saved
    return module


def read_bytes(path: str) -> None:
    with open(path, "rb") as f:
        bytearray(f.read())


def main() -> None:
    import argparse

    extra = argparse.ArgumentParser(add_help=False)
    extra.add_argument("--baseline", metavar="SO")
    known, rest = extra.parse_known_args()
    args = bench_args(__doc__, rest)
    rows = Rows(__file__)
    variants = {"load_to_cache (chunked reads)": tidemark}
    if known.baseline:
        variants["load_to_cache (mapping, baseline)"] = load_module_file(known.baseline)
    rounds = 5 if args.quick else 11
    for messages, tokens in SIZES_QUICK if args.quick else SIZES:
        path = feed(messages, tokens)
        counts = {}
        times: dict[str, list[float]] = {name: [] for name in variants}
        times["read the bytes (reference)"] = []
        read_bytes(path)  # into the page cache
        for _ in range(rounds):
            for name, module in variants.items():
                cache = module.MessageCacheReader()
                start = time.perf_counter()
                counts[name] = cache.load_to_cache(path)
                times[name].append(time.perf_counter() - start)
                del cache
            start = time.perf_counter()
            read_bytes(path)
            times["read the bytes (reference)"].append(time.perf_counter() - start)
        assert len(set(counts.values())) == 1, counts
        rates = {name: [messages / t for t in ts] for name, ts in times.items()}
        for name, values in rates.items():
            rows.add(
                value_row(
                    name, values, "msg/s", messages, reference=name.startswith("read the bytes")
                )
            )
        if known.baseline:
            new = statistics.median(times["load_to_cache (chunked reads)"])
            old = statistics.median(times["load_to_cache (mapping, baseline)"])
            print(f"  chunked / mapping speed: {old / new:.3f} (target >= 0.9)")
    rows.write(args.json)


if __name__ == "__main__":
    main()
