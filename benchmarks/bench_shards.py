"""Books replayed in parallel shards against one thread.

On the generated market-like file (20 million messages over 2,000 tokens;
--quick: 300,000 over 200), each table with threads=1 and threads=2,
alternately (one run of each, repeated, so that both see the same load on
a shared machine), batches dropped as they come, in messages of the file
per second:

- book_series per message, levels 5 (target: threads=2 at least 1.6 times
  threads=1);
- the other replays of books: quotes (levels 1), trades, bars (one
  minute), check_feed, and a one-minute grid.

After each pair: the ratio of the rates (the median of the runs' pairs),
and the same ratio from processor time: the threads=1 run's processor
time over the least wall time that the threads=2 run's processor time
allows, the longer of its busiest thread's time and its threads' time
shared by the usable cores (per thread, sampled from /proc every 20
milliseconds). The latter is what idle cores would give at best, whatever
else runs on the machine. On a machine with one
usable core the pairs measure only the cost of the hand-over between
threads.

    python benchmarks/bench_shards.py [--quick] [--json PATH]
"""

from __future__ import annotations

import gc
import os
import statistics
import threading
import time

import pyarrow as pa
from common import Rows, bench_args, market_feed, value_row

import tidemark_tools

MINUTE = 60_000_000_000
TICK = os.sysconf("SC_CLK_TCK")


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


def thread_seconds() -> dict[str, float]:
    """The processor seconds of each thread of this process, by thread id."""
    out = {}
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:  # the thread ended
            continue
        out[tid] = (int(fields[11]) + int(fields[12])) / TICK
    return out


def timed(fn) -> tuple[float, float, float]:
    """Runs fn() once: its wall seconds, and the processor seconds of the
    process's threads together and of its busiest thread (the sampling
    thread left out)."""
    gc.collect()
    before = thread_seconds()
    seen: dict[str, float] = {}
    stop = threading.Event()

    def sample() -> None:
        while not stop.is_set():
            for tid, s in thread_seconds().items():
                seen[tid] = max(seen.get(tid, 0.0), s)
            time.sleep(0.02)

    sampler = threading.Thread(target=sample)
    sampler.start()
    start = time.perf_counter()
    fn()
    elapsed = time.perf_counter() - start
    stop.set()
    sampler.join()
    for tid, s in thread_seconds().items():
        seen[tid] = max(seen.get(tid, 0.0), s)
    seen.pop(str(sampler.native_id), None)
    spent = [s - before.get(tid, 0.0) for tid, s in seen.items()]
    return elapsed, max(sum(spent), 1.0 / TICK), max(max(spent, default=0.0), 1.0 / TICK)


def main() -> None:
    args = bench_args(__doc__)
    rows = Rows(__file__)
    path, messages, tokens = market_feed(args.quick)
    print(f"file: {path} ({messages:,} messages, {tokens:,} tokens, "
          f"{os.path.getsize(path) / 2**20:,.0f} MB), usable cores: "
          f"{len(os.sched_getaffinity(0))}, load: {os.getloadavg()[0]:.1f}")  # fmt: skip
    cores = len(os.sched_getaffinity(0))
    repeat = 5  # pairs per table: the ratios of single pairs swing by a tenth or more
    ratios = {}
    for name, fn in TABLES.items():
        one, two, wall, cpu = [], [], [], []
        for _ in range(repeat):
            w1, c1, _busiest = timed(lambda fn=fn: fn(path, 1))
            w2, c2, busiest = timed(lambda fn=fn: fn(path, 2))
            one.append(messages / w1)
            two.append(messages / w2)
            wall.append(w1 / w2)
            cpu.append(c1 / max(busiest, c2 / cores))
        rows.add(value_row(f"{name}, threads=1", one, "msg/s", messages, reference=True))
        rows.add(value_row(f"{name}, threads=2", two, "msg/s", messages))
        rows.add(value_row(f"{name}: threads=2 / threads=1", wall, "x"))
        rows.add(
            value_row(f"{name}: by processor time, threads=2 / threads=1", cpu, "x")
        )  # fmt: skip
        ratios[name] = (statistics.median(wall), statistics.median(cpu))
    print(f"\nload: {os.getloadavg()[0]:.1f}")
    for name, (wall, cpu) in ratios.items():
        target = " (>= 1.6)" if name.startswith("book_series per message") else ""
        print(f"{name + ': threads=2 / threads=1':<60} {wall:6.2f} x{target}"
              f"   by CPU {cpu:6.2f} x")  # fmt: skip
    rows.write(args.json)


if __name__ == "__main__":
    main()
