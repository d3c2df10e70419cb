"""`tidemark plot` of the busiest token of a day-sized file: time and peak
memory.

On the generated market file (20 million messages over 2,000 tokens;
--quick: 300,000 over 200), the token with the most messages is plotted by
the command in a fresh process, as a user runs it, and the process's peak
resident size is read from the kernel when it ends. Side by side, the peak
of a process that only imports what the command imports, and the time of a
bare replay of the file's books (`build_from_source`), which every plot
runs twice (quote changes, then trades).

The target is a peak resident size under 500 MB.

    python benchmarks/bench_plot.py [--quick] [--json PATH]
"""

from __future__ import annotations

import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import tidemark
from common import Rows, bench_args, market_feed, measure

import tidemark_tools

TARGET_MB = 500


def busiest_token(path: str) -> tuple[int, int, int]:
    """(token, its messages, its trades): the book key with most messages."""
    counts: dict[int, int] = {}
    trades: dict[int, int] = {}
    for batch in pa.RecordBatchReader.from_stream(
        tidemark_tools.scan_feed(path, columns=["token", "msg_type"])
    ):
        keys = pc.bit_wise_and(batch.column("token").cast(pa.int64()), 0xFFFF_FFFF).to_numpy()
        is_trade = pc.equal(batch.column("msg_type").cast(pa.string()), "T").to_numpy(
            zero_copy_only=False
        )
        for table, chosen in ((counts, keys), (trades, keys[is_trade])):
            values, n = np.unique(chosen, return_counts=True)
            for v, c in zip(values.tolist(), n.tolist(), strict=True):
                table[v] = table.get(v, 0) + c
    token = max(counts, key=lambda t: counts[t])
    return token, counts[token], trades.get(token, 0)


# Runs a command's code in this child and writes the child's own peak
# resident size (VmHWM) to a file as it exits: the rusage of a waited child
# would also count any process it ran (such as an editable install's
# rebuild check).
CHILD = """
import atexit, sys
peak_path, code = sys.argv.pop(1), sys.argv.pop(1)
def peak():
    with open('/proc/self/status') as f:
        kb = next(int(line.split()[1]) for line in f if line.startswith('VmHWM:'))
    with open(peak_path, 'w') as out:
        out.write(str(kb * 1024))
atexit.register(peak)
exec(code)
"""


def run_child(code: str, argv: list[str]) -> tuple[float, int]:
    """Runs `code` in a fresh Python with sys.argv[1:] = argv; returns its
    wall time and its peak resident bytes."""
    with tempfile.NamedTemporaryFile(suffix=".peak") as peak_file:
        start = time.perf_counter()
        status = subprocess.run(
            [sys.executable, "-c", CHILD, peak_file.name, code, *argv],
            stdout=subprocess.DEVNULL,
            check=False,
        ).returncode
        elapsed = time.perf_counter() - start
        if status != 0:
            raise SystemExit(f"{code} {' '.join(argv)} failed with exit status {status}")
        with open(peak_file.name) as f:
            return elapsed, int(f.read())


def row(path: str, values: list[float], unit: str, messages: int, peak: int | None) -> dict:
    return {
        "path": path,
        "messages": messages,
        "median": statistics.median(values),
        "spread": max(values) - min(values),
        "unit": unit,
        "peak_memory": peak,
        "reference": False,
    }


def main() -> None:
    args = bench_args(__doc__)
    rows = Rows(__file__)
    path, messages, tokens = market_feed(args.quick)
    token, token_messages, token_trades = busiest_token(path)
    print(f"file: {path} ({messages:,} messages, {tokens:,} tokens, "
          f"{os.path.getsize(path) / 2**20:,.0f} MB); busiest token {token}: "
          f"{token_messages:,} messages, {token_trades:,} trades")  # fmt: skip
    repeat = 1 if args.quick else 3

    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "book.png")
        command = ["plot", path, "--token", str(token), "--price-scale", "2"]
        command += ["--tz", "Asia/Kolkata", "--quiet", "--out", out]
        plot = "from tidemark_tools.cli import main; sys.exit(main(sys.argv[1:]))"
        runs = [run_child(plot, command) for _ in range(repeat)]
        imports = "import numpy, pyarrow, pyarrow.compute, matplotlib.figure, tidemark_tools"
        bare = [run_child(imports, []) for _ in range(repeat)]

    label = f"tidemark plot, busiest token ({token_messages:,} msgs, {token_trades:,} trades)"
    peak = max(p for _, p in runs)
    rows.add(row(f"{label}: wall time", [t for t, _ in runs], "s", messages, peak))
    rows.add(row(f"{label}: peak RSS", [p / 2**20 for _, p in runs], "MB", messages, peak))
    rows.add(row("python importing what plot imports: peak RSS",
                 [p / 2**20 for _, p in bare], "MB", messages, None))  # fmt: skip

    def build_from_source() -> None:
        loader = tidemark.StreamingBinaryLoader()
        loader.open_stream(path, count_messages=False)
        tidemark.OrderbookBuilder().build_from_source(loader)

    rows.add(measure(build_from_source, path="build_from_source(loader), books only",
                     repeat=repeat, messages=messages))  # fmt: skip
    verdict = "met" if peak / 2**20 < TARGET_MB else "MISSED"
    print(f"\npeak RSS {peak / 2**20:,.0f} MB (target < {TARGET_MB} MB: {verdict})")
    rows.write(args.json)


if __name__ == "__main__":
    main()
