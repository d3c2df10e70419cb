"""Following a feed file while a writer appends to it.

A writer process appends generated records at 50,000 messages per second,
a few hundred at a time every millisecond or so, stamping each record's
local_ts with the wall clock at the moment it writes it. The reader follows
the file (default flush interval 0.1 s) and, for every row handed out,
takes the delay from that stamp to the moment its batch arrived. Rows: the
median and the 99th percentile of that delay for scan_feed and for trades
(targets: median under 150 ms, p99 under 300 ms), and the reader's CPU
while it waits on a file that has stopped growing, in percent of one core
(target: under 5%).

    python benchmarks/bench_follow.py [--quick] [--json PATH]
"""

from __future__ import annotations

import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np
import pyarrow as pa
from common import Rows, bench_args, feedgen, value_row

import tidemark_tools

RATE = 50_000  # messages per second

# Appends the records of argv[2] (with their offsets, lengths and local_ts
# offsets in argv[3]) to argv[1] at argv[4] records per second.
WRITER = r"""
import sys, time
import numpy as np
data = bytearray(open(sys.argv[2], "rb").read())
index = np.load(sys.argv[3])
rate = float(sys.argv[4])
n = len(index)
written = 0
start = time.monotonic()
with open(sys.argv[1], "ab", buffering=0) as out:
    while written < n:
        due = min(n, int((time.monotonic() - start) * rate) + 1)
        if due > written:
            stamp = time.time_ns().to_bytes(8, "little")
            for offset, _, ts in index[written:due]:
                if ts >= 0:
                    data[offset + ts : offset + ts + 8] = stamp
            lo = index[written][0]
            hi = index[due - 1][0] + index[due - 1][1]
            out.write(data[lo:hi])
            written = due
        time.sleep(0.001)
"""

# Where local_ts lies in each kind of record.
LOCAL_TS = {b"N": 38, b"M": 38, b"X": 38, b"T": 45}


def records(messages: int, path: str) -> str:
    """Writes `messages` generated records to `path`; returns the path of
    their index (offset, length, local_ts offset or -1)."""
    index = []
    offset = 0
    with open(path, "wb") as f:
        for record in feedgen.generate(messages, 200, seed=11):
            index.append((offset, len(record), LOCAL_TS.get(record[8:9], -1)))
            f.write(record)
            offset += len(record)
    out = path + ".npy"
    np.save(out, np.array(index, dtype=np.int64))
    return out


def follow(make, live: str, data: str, index: str, idle: float) -> tuple[list[float], float]:
    """Starts the writer on `live`, follows it with `make(live)` until the
    writer is done and the file has been idle for `idle` seconds. Returns
    the write-to-row delays in seconds and the reader's CPU share while
    idle."""
    open(live, "wb").close()
    writer = subprocess.Popen([sys.executable, "-c", WRITER, live, data, index, str(RATE)])
    table = make(live)  # waits for the first record
    idle_cpu: list[float] = []

    def watch() -> None:
        writer.wait()
        time.sleep(0.5)  # the last rows go out
        cpu, wall = time.process_time(), time.monotonic()
        time.sleep(idle)
        idle_cpu.append((time.process_time() - cpu) / (time.monotonic() - wall))
        table.stop()

    watcher = threading.Thread(target=watch)
    watcher.start()
    delays: list[np.ndarray] = []
    try:
        for batch in pa.RecordBatchReader.from_stream(table):
            now = time.time_ns()
            stamps = batch.column("local_ts").to_numpy()
            delays.append((now - stamps.astype(np.int64)) / 1e9)
    finally:
        writer.wait()
        watcher.join()
    return list(np.concatenate(delays)), idle_cpu[0]


def main() -> None:
    args = bench_args(__doc__)
    rows = Rows(__file__)
    seconds = 2 if args.quick else 6
    messages = RATE * seconds
    with tempfile.TemporaryDirectory() as tmp:
        data = os.path.join(tmp, "records.bin")
        index = records(messages, data)
        live = os.path.join(tmp, "live.bin")
        cases = {
            "scan_feed": lambda p: tidemark_tools.scan_feed(p, follow=True, columns=["local_ts"]),
            "trades": lambda p: tidemark_tools.trades(p, follow=True),
        }
        idle_shares = []
        for name, make in cases.items():
            delays, idle = follow(make, live, data, index, 1.0 if args.quick else 3.0)
            idle_shares.append(idle * 100)
            ms = [d * 1e3 for d in delays]
            label = f"follow {name}, writer at {RATE:,} msg/s"
            median = statistics.median(ms)
            p99 = float(np.percentile(ms, 99))
            rows.add(value_row(f"{label}: median write->row delay", [median], "ms", len(ms)))
            rows.add(value_row(f"{label}: p99 write->row delay", [p99], "ms", len(ms)))
        rows.add(value_row("follow: reader CPU while the file is idle", idle_shares, "% of a core"))
    rows.write(args.json)


if __name__ == "__main__":
    main()
