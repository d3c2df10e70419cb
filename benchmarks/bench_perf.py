"""Books, series and scans on a file generated like a busy options stream.

    python benchmarks/bench_perf.py [--quick] [--json PATH]

The file comes from feedgen's market mode: 20 million messages over 2,000
tokens (--quick: 300,000 over 200), steady-state books over hundreds of price levels
around drifting prices, exch_ts over a six-hour session. Every pair that a
target compares is measured in alternation, round after round, so that both
sides see the same machine load; each target is printed as a ratio of the
two medians.

- book_series per message, every token, batches dropped: levels 5 against
  levels 1 (target: at least 0.8 times; levels 5 at least 5 million rows/s),
  on the usable cores and on one thread;
- build_from_source(loader) and build_from_list(cache) (target: at least 15
  million messages per second);
- a one-minute grid over every token against build_from_source (target: at
  least 0.8 times); a one-second grid over every token in rows per second
  against per-message mode (target: at least 1 times);
- the first pyarrow.table(scan_feed(path)) in a fresh process against the
  third in the same process (target: at least 0.6 times), with the CPU
  seconds and page faults of each and the child's peak memory; once more
  with pandas imported before the timing (pyarrow.table() imports it at its
  first call).

On a shared machine the wall times wait for a core; the rates per CPU second
of the same runs are printed beside them (build_from_source's CPU time
counts its reader thread as well). When valgrind is installed, the
instructions per message (or row) of the book paths are counted on the
300,000-message file as well: unlike times, those counts repeat exactly
from run to run, whatever else the machine does.
"""

from __future__ import annotations

import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

import pyarrow as pa
import tidemark
from common import MARKET_QUICK, Rows, bench_args, market_feed, value_row

import tidemark_tools

SECOND = 1_000_000_000


def drain(series) -> int:
    """Reads a stream to its end, dropping each batch; returns its rows."""
    n = 0
    for batch in pa.RecordBatchReader.from_stream(series):
        n += batch.num_rows
    return n


CPU: dict[str, list[float]] = {}  # CPU seconds of each call of alternate(), by name


def alternate(fns: dict, rounds: int) -> dict[str, list[float]]:
    """Runs each function once per round, in turn; returns the seconds of
    each call by name (and keeps its CPU seconds in CPU)."""
    times: dict[str, list[float]] = {name: [] for name in fns}
    for _ in range(rounds):
        for name, fn in fns.items():
            cpu = time.process_time()
            start = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - start)
            CPU.setdefault(name, []).append(time.process_time() - cpu)
    return times


INSTRUCTIONS_CHILD = """
import sys
import pyarrow as pa
import tidemark
import tidemark_tools
path, what = sys.argv[1], sys.argv[2]
if what.startswith("cache"):
    cache = tidemark.MessageCacheReader()
    cache.load_to_cache(path)
    if what == "cache+build":
        tidemark.OrderbookBuilder().build_from_list(cache)
elif what.startswith("levels"):
    series = tidemark_tools.book_series(path, levels=int(what[6:]), threads=1)
    for batch in pa.RecordBatchReader.from_stream(series):
        pass
"""


def instructions(path: str, what: str) -> int:
    """The instructions that a child process doing `what` executes, counted
    by valgrind."""
    done = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable,
         "-c", INSTRUCTIONS_CHILD, path, what],
        capture_output=True, text=True, check=True,
    )  # fmt: skip
    return int(re.search(r"Collected : (\d+)", done.stderr).group(1))


def instruction_rows(rows: Rows) -> None:
    """Instructions per message of the book paths on the small market file."""
    path, messages, _ = market_feed(quick=True)
    accepted = drain(tidemark_tools.book_series(path, levels=1))
    base = instructions(path, "none")
    cache = instructions(path, "cache")
    build = (instructions(path, "cache+build") - cache) / messages
    rows.add(value_row(f"build_from_list(cache), {MARKET_QUICK[0]:,} messages", [build],
                       "instructions/msg", messages))  # fmt: skip
    per_row = {}
    for levels in (1, 5):
        per_row[levels] = (instructions(path, f"levels{levels}") - base) / accepted
        name = f"book_series per message, levels {levels}, {MARKET_QUICK[0]:,} messages"
        rows.add(value_row(name, [per_row[levels]], "instructions/row", messages))
    rows.add(value_row("instructions per row: levels 1 / levels 5 (as a rate ratio)",
                       [per_row[1] / per_row[5]], "x"))  # fmt: skip


FRESH_SCAN = """
import json, resource, sys, time
import pyarrow as pa
import tidemark_tools
if sys.argv[2:] == ["pandas"]:
    import pandas
path = sys.argv[1]
# The file's pages into the page cache first, as they are for the warm runs:
# the machine may have dropped them since they were last read, and the first
# scan would then measure the disk rather than the process's fresh memory.
with open(path, "rb", buffering=0) as f:
    chunk = bytearray(1 << 20)
    while f.readinto(chunk):
        pass
runs = []
for _ in range(3):
    before = resource.getrusage(resource.RUSAGE_SELF)
    start = time.perf_counter()
    t = pa.table(tidemark_tools.scan_feed(path))
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF)
    cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    runs.append([wall, cpu, after.ru_minflt - before.ru_minflt])
    del t
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(json.dumps({"runs": runs, "peak": peak}))
"""


def main() -> None:
    args = bench_args(__doc__)
    rows = Rows(__file__)
    path, messages, tokens = market_feed(args.quick)
    rounds = 3
    print(f"file: {path} ({messages:,} messages, {tokens:,} tokens, "
          f"{os.path.getsize(path) / 2**20:,.0f} MB)")  # fmt: skip

    accepted = drain(tidemark_tools.book_series(path, levels=1))
    second_rows = drain(tidemark_tools.book_series(path, every_ns=SECOND))
    print(f"accepted messages (= per-message rows): {accepted:,}; "
          f"one-second grid rows: {second_rows:,}")  # fmt: skip

    def rate_rows(times: dict[str, list[float]], per: dict[str, int], unit: str) -> dict:
        out = {}
        for name, ts in times.items():
            out[name] = rows.add(value_row(name, [per[name] / t for t in ts], unit, messages))
        return out

    def ratio(name: str, num: list[float], den: list[float], target: str) -> None:
        # Per round: num over den.
        values = [a / b for a, b in zip(num, den, strict=True)]
        rows.add(value_row(f"{name} ({target})", values, "x"))

    # Depth: five levels against one, on the usable cores (threads=None)
    # and on one thread, where nothing else hides the cost of the levels.
    for threads, label in ((None, ""), (1, ", threads=1")):
        series = {
            f"book_series per message, levels {k}, every token{label}": (
                lambda k=k, threads=threads: drain(
                    tidemark_tools.book_series(path, levels=k, threads=threads)
                )
            )
            for k in (1, 5)
        }
        # Two more rounds than elsewhere: the ratio of two close rates.
        times = alternate(series, rounds + 2)
        r = rate_rows(times, dict.fromkeys(series, accepted), "rows/s")
        if threads is None:
            one, five = (r[name]["median"] for name in series)
        t1, t5 = times.values()
        # Rates of the same rows: levels 5 over levels 1 is time 1 over time 5.
        ratio(f"per message{label}: levels 5 / levels 1", t1, t5, "target >= 0.8")
        c1, c5 = (CPU[name] for name in series)
        ratio(f"per message{label}: levels 5 / levels 1, by CPU time", c1, c5, "target >= 0.8")

    # The books alone, and the grids against them.
    cache = tidemark.MessageCacheReader()
    cache.load_to_cache(path)

    def from_loader():
        loader = tidemark.StreamingBinaryLoader()
        loader.open_stream(path, count_messages=False)
        tidemark.OrderbookBuilder().build_from_source(loader)

    books = {
        "build_from_source(loader)": from_loader,
        "build_from_list(cache)": lambda: tidemark.OrderbookBuilder().build_from_list(cache),
        "book_series one-minute grid, every token": lambda: drain(
            tidemark_tools.book_series(path, every_ns=60 * SECOND)
        ),
        "book_series one-second grid, every token": lambda: drain(
            tidemark_tools.book_series(path, every_ns=SECOND)
        ),
    }
    times = alternate(books, rounds)
    names = list(books)
    rate_rows({n: times[n] for n in names[:3]}, dict.fromkeys(names[:3], messages), "msg/s")
    rate_rows({names[3]: times[names[3]]}, {names[3]: second_rows}, "rows/s")
    for name in names[:2]:
        rows.add(value_row(f"{name} per CPU second", [messages / t for t in CPU[name]], "msg/s",
                           messages))  # fmt: skip

    # The same messages in both: the grid's rate over the build's is the
    # build's time over the grid's.
    ratio("one-minute grid / build_from_source", times[names[0]], times[names[2]],
          "target >= 0.8")  # fmt: skip
    second = statistics.median(second_rows / t for t in times[names[3]])
    rows.add(value_row("one-second grid rows/s / per-message rows/s (target >= 1)",
                       [second / five], "x"))  # fmt: skip

    # The first scan of a fresh process against a warm one. Beside the wall
    # times, the CPU seconds (all threads) and the page faults of each: a
    # fresh process faults in every page of its batches, a warm one reuses
    # the memory of the tables it dropped. pyarrow.table() imports pandas at
    # its first call with anything but a list or a dict, whatever makes the
    # data; a second child of each round imports pandas before the timing,
    # to show the first scan without that one-off cost.
    fresh, warm, fresh_cpu, warm_cpu, faults, peaks = [], [], [], [], [], []
    fresh_pd, warm_pd = [], []
    for _ in range(rounds):
        for first_import in ([], ["pandas"]):
            time.sleep(3)  # pages freed by the last child go back to the system first
            done = subprocess.run(
                [sys.executable, "-c", FRESH_SCAN, path, *first_import],
                capture_output=True,
                text=True,
                check=True,
            )
            out = done.stdout.splitlines()[-1]  # an editable install may print its rebuild first
            child = json.loads(out)
            first, _, third = child["runs"]
            if first_import:
                fresh_pd.append(messages / first[0])
                warm_pd.append(messages / third[0])
                continue
            fresh.append(messages / first[0])
            warm.append(messages / third[0])
            fresh_cpu.append(messages / first[1])
            warm_cpu.append(messages / third[1])
            faults.append(first[2] / messages)
            peaks.append(child["peak"] / 2**20)
    rows.add(value_row("pyarrow.table(scan_feed), first in a fresh process", fresh, "msg/s",
                       messages))  # fmt: skip
    rows.add(value_row("pyarrow.table(scan_feed), third in the process", warm, "msg/s",
                       messages))  # fmt: skip
    ratio("fresh / warm pyarrow.table(scan_feed)", fresh, warm, "target >= 0.6")
    ratio("fresh / warm pyarrow.table(scan_feed), pandas imported first", fresh_pd, warm_pd,
          "target >= 0.6")  # fmt: skip
    rows.add(value_row("pyarrow.table(scan_feed), first, per CPU second", fresh_cpu, "msg/s",
                       messages))  # fmt: skip
    rows.add(value_row("pyarrow.table(scan_feed), third, per CPU second", warm_cpu, "msg/s",
                       messages))  # fmt: skip
    rows.add(value_row("pyarrow.table(scan_feed), first: page faults per message", faults,
                       "faults/msg", messages))  # fmt: skip
    rows.add(value_row("pyarrow.table(scan_feed) three times: peak memory of the process", peaks,
                       "MB", messages))  # fmt: skip

    if shutil.which("valgrind"):
        instruction_rows(rows)

    print()
    print(f"levels 5 per message rows/s: {five / 1e6:.2f} M (target >= 5 M); "
          f"levels 1: {one / 1e6:.2f} M")  # fmt: skip
    rows.write(args.json)


if __name__ == "__main__":
    main()
