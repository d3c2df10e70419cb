"""Shared pieces of the benchmark scripts: generated inputs and timing."""

from __future__ import annotations

import argparse
import contextlib
import gc
import importlib.machinery
import importlib.util
import json
import os
import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "bench-data"
sys.path.insert(0, str(ROOT / "scripts"))

import feedgen  # noqa: E402


def feed(messages: int, tokens: int, seed: int = 7, mode: str = "session") -> str:
    """A generated feed file, made once and kept in bench-data/."""
    DATA.mkdir(exist_ok=True)
    name = "feed_v3" if mode == "session" else "feed_market_v1"
    path = DATA / f"{name}_{messages}_{tokens}_{seed}.bin"
    if not path.exists():
        tmp = path.with_suffix(f".{os.getpid()}.tmp")
        feedgen.write_feed(str(tmp), messages, tokens, seed, mode=mode)
        tmp.rename(path)
    return str(path)


# The busy options stream: steady-state books over hundreds of price levels
# around drifting prices, exch_ts over a six-hour session.
MARKET = (20_000_000, 2_000)
MARKET_QUICK = (300_000, 200)


def market_feed(quick: bool = False) -> tuple[str, int, int]:
    """(path, messages, tokens) of the generated market-like file."""
    messages, tokens = MARKET_QUICK if quick else MARKET
    return feed(messages, tokens, mode="market"), messages, tokens


def median_time(fn, repeat: int = 5) -> float:
    """The median wall time of `repeat` calls of fn, in seconds."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def report(name: str, value: float, unit: str) -> None:
    print(f"{name:<58} {value:>14,.2f} {unit}")


# ---------------------------------------------------------------------------
# The convention that every benchmarks/bench_*.py follows, so that
# benchmarks/run_all.py can run them all and write benchmarks/RESULTS.md:
#
#   python benchmarks/bench_X.py [--quick] [--json PATH]
#
# --quick runs on small inputs with few repeats (all scripts together in
# about a minute); --json writes the measured rows to PATH as
# {"script": "bench_X.py", "rows": [row, ...]}. A row is a dict:
#   path         what was measured, e.g. "build_from_source(loader)"
#   messages     messages in the input file, or None (the chart's x axis)
#   median       median over the repeats
#   spread       max minus min over the repeats, in the unit of median
#   unit         "msg/s" (or another "<thing>/s": higher is better) or a
#                cost such as "s", "us/call", "MB"
#   peak_memory  bytes the process grew to above its size before the call,
#                at its peak (max over repeats), or None
#   reference    True for a reference row (run_all.py computes the ratio of
#                every "msg/s" row to every reference of the same input)
# Use bench_args(), measure() and Rows below; realistic_feeds() gives the
# generated files of the report (1, 5 and 20 million messages).

_PAGE = os.sysconf("SC_PAGE_SIZE")
REALISTIC = [(1_000_000, 100), (5_000_000, 500), (20_000_000, 2_000)]
REALISTIC_QUICK = [(100_000, 100), (300_000, 500), (1_000_000, 2_000)]


def bench_args(doc: str | None = None, argv=None, baseline: bool = False):
    """Parses --quick and --json (and, with `baseline`, --baseline SO);
    returns the argparse namespace."""
    lines = (doc or "").strip().splitlines()
    parser = argparse.ArgumentParser(description=lines[0] if lines else None)
    parser.add_argument("--quick", action="store_true", help="small inputs, few repeats")
    parser.add_argument("--json", metavar="PATH", help="write the rows to PATH")
    if baseline:
        parser.add_argument(
            "--baseline",
            metavar="SO",
            help="an earlier build of tidemark_tools/_native*.so, measured in alternation "
            "with the installed one",
        )
    return parser.parse_args(argv)


@contextlib.contextmanager
def native_module(path: str | None):
    """Runs the block with tidemark_tools' functions calling the native
    module file at `path` (an earlier build, loaded once beside the
    installed one) instead of the installed one; with no path, as they are."""
    if path is None:
        yield
        return
    import tidemark_tools

    installed = tidemark_tools._native
    if path not in _loaded:
        name = "tidemark_tools._native"
        loader = importlib.machinery.ExtensionFileLoader(name, path)
        spec = importlib.util.spec_from_file_location(name, path, loader=loader)
        try:
            module = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(module)
        finally:
            sys.modules[name] = installed
        _loaded[path] = module
    users = [
        m
        for name, m in list(sys.modules.items())
        if name.startswith("tidemark_tools") and getattr(m, "_native", None) is installed
    ]
    for m in users:
        m._native = _loaded[path]
    try:
        yield
    finally:
        for m in users:
            m._native = installed


_loaded: dict[str, object] = {}


def realistic_feeds(quick: bool = False) -> list[tuple[str, int, int]]:
    """(path, messages, tokens) of the generated report files, smallest first."""
    return [(feed(m, t), m, t) for m, t in (REALISTIC_QUICK if quick else REALISTIC)]


def _rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * _PAGE


def _peak_rss() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def _reset_peak() -> None:
    # Writing 5 to clear_refs resets the peak resident size (Linux >= 4.0).
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass


def measure(
    fn,
    *,
    path: str,
    repeat: int = 5,
    per: float | None = None,
    unit: str = "s",
    messages: int | None = None,
    reference: bool = False,
    setup=None,
) -> dict:
    """Calls fn() `repeat` times and returns its row. With `per`, the value
    of a call is per / seconds (a rate, e.g. messages per second); without,
    the seconds themselves (unit "s"), or fn's return value when fn returns a
    number and unit is not "s". setup(), when given, runs untimed before
    every call and its result is passed to fn."""
    values, cpu_values, peaks = [], [], []
    for _ in range(repeat):
        arg = setup() if setup is not None else None
        gc.collect()
        _reset_peak()
        before = _rss()
        start, cpu_start = time.perf_counter(), time.process_time()
        out = fn(arg) if setup is not None else fn()
        elapsed = time.perf_counter() - start
        cpu = max(time.process_time() - cpu_start, 1e-9)
        peaks.append(max(_peak_rss() - before, 0))
        cpu_values.append(per / cpu if per is not None else cpu)
        if per is not None:
            values.append(per / elapsed)
        elif unit != "s" and isinstance(out, int | float):
            values.append(float(out))
        else:
            values.append(elapsed)
        del out, arg
    return {
        "path": path,
        "messages": messages,
        "median": statistics.median(values),
        "spread": max(values) - min(values),
        "unit": unit,
        "peak_memory": max(peaks),
        "reference": reference,
        # The same figure from the process's CPU time: what the code does
        # when it has a core to itself, on a machine that others share.
        "cpu_median": statistics.median(cpu_values),
        "cpu_spread": max(cpu_values) - min(cpu_values),
    }


def value_row(
    path: str, values: list[float], unit: str, messages=None, reference: bool = False
) -> dict:
    """A row of values measured by the caller (a ratio, a cost, a count): no
    peak memory."""
    return {
        "path": path,
        "messages": messages,
        "median": statistics.median(values),
        "spread": max(values) - min(values),
        "unit": unit,
        "peak_memory": None,
        "reference": reference,
    }


def in_ms(row: dict) -> dict:
    """The same row of seconds given in milliseconds."""
    return dict(row, median=row["median"] * 1e3, spread=row["spread"] * 1e3, unit="ms")


def cpu_row(row: dict) -> dict:
    """The row's figure from CPU time instead of wall time, as its own row."""
    # Its own unit, so that it is neither charted nor compared with the
    # wall-clock references.
    unit = row["unit"].replace("/s", "/CPU-s") if row["unit"].endswith("/s") else row["unit"]
    return dict(
        row,
        path=row["path"] + " [per CPU second]",
        median=row["cpu_median"],
        spread=row["cpu_spread"],
        unit=unit,
        peak_memory=None,
    )


class Rows:
    """The rows of one script: printed as they come, written by write()."""

    def __init__(self, script: str) -> None:
        self.script = Path(script).name
        self.rows: list[dict] = []

    def add(self, row: dict) -> dict:
        self.rows.append(row)
        size = f" [{row['messages']:,} msgs]" if row.get("messages") else ""
        print(
            f"{row['path'] + size:<64} {row['median']:>16,.2f} {row['unit']}"
            f"  (spread {row['spread']:,.2f}, peak {row.get('peak_memory') or 0:,} B)",
            flush=True,
        )
        return row

    def write(self, json_path: str | None) -> None:
        if not json_path:
            return
        with open(json_path, "w") as f:
            json.dump({"script": self.script, "rows": self.rows}, f, indent=1)
