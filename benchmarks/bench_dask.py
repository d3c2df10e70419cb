"""Many files on Dask, and `tidemark dump --format parquet`.

    python benchmarks/bench_dask.py [--quick] [--json PATH]

1. Eight generated feed files (5 million messages each, 100,000 with
   --quick) read with tidemark_tools.dask.read_feeds (one partition per
   file: scan_feed into Arrow-backed pandas) and reduced to the traded
   quantity per token: in one process (the synchronous scheduler),
   on two threads of one process, and on a LocalCluster of two worker
   processes with one thread each, started with tidemark_tools.dask's
   WORKER_CONFIG and, for comparison, with distributed's default worker
   environment. The workers are started and warmed up before the timing;
   what is timed is the graph's computation. A dask compute on a cluster
   costs a few tenths of a second however small the files (scheduling and
   shipping the graph), so the files are large enough for the work to
   dominate; a last row times one process and the cluster in alternating
   rounds, so that load from other programs weighs on both alike. dask's
   compute (dask.compute and Client.compute alike) runs every step of a
   partition (the scan, the column selections, the comparison, the filter,
   the per-token sums) as a task of its own; the graph's optimize() fuses
   each partition's steps into one task. In one process that changes
   nothing, but on a cluster every task costs the scheduler and the worker
   a few milliseconds, and each step's frame of millions of rows is stored
   in the worker and measured, so the rounds are timed both ways: the graph
   as written, and the same graph optimized before the compute (on both
   sides of the ratio).
2. `tidemark dump FILE --format parquet --out PATH` (in this process, as the
   console script runs it) against scan_feed into pyarrow.table on the same
   file.

Rates are messages per second (medians), measured side by side in one run.
"""

from __future__ import annotations

import os
import tempfile

from common import Rows, bench_args, feed, measure, realistic_feeds, value_row

FILES = 8


def _cpu_seconds() -> float:
    """CPU seconds this process has used, all its threads together."""
    import resource

    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def interleaved_speedup(graph, client, repeat: int, total: int, how: str = "") -> list[dict]:
    """The cluster's speed-up over one process, from rounds that time one
    process and then the cluster back to back, so that load from other
    programs weighs on both sides of each ratio alike; and the speed-up the
    CPU seconds project for two idle cores: one process's CPU seconds over
    the largest of the two workers' and the client's (which also runs the
    scheduler), since on idle cores the three run side by side."""
    import statistics
    import time

    ratios, projected = [], []
    for _ in range(repeat):
        cpu = _cpu_seconds()
        start = time.perf_counter()
        graph().compute(scheduler="sync")
        single = time.perf_counter() - start
        single_cpu = _cpu_seconds() - cpu
        workers_before = client.run(_cpu_seconds)
        cpu = _cpu_seconds()
        start = time.perf_counter()
        client.compute(graph()).result()
        ratios.append(single / (time.perf_counter() - start))
        client_cpu = _cpu_seconds() - cpu
        workers = [v - workers_before[k] for k, v in client.run(_cpu_seconds).items()]
        projected.append(single_cpu / max(*workers, client_cpu))
    print(
        f"LocalCluster speed-up over one process{how}, interleaved: "
        f"{statistics.median(ratios):.2f}x"
    )
    print(f"projected from CPU seconds for two idle cores: {statistics.median(projected):.2f}x")

    label = f"read_feeds x{FILES}, LocalCluster / one process{how}"
    return [
        value_row(f"{label} (interleaved rounds)", ratios, "x", total),
        value_row(f"{label} (CPU projection)", projected, "x", total),
    ]


def main() -> None:
    args = bench_args(__doc__)
    rows = Rows(__file__)
    import dask
    import pyarrow as pa
    from distributed import Client, LocalCluster

    from tidemark_tools import scan_feed
    from tidemark_tools.cli import main as tidemark
    from tidemark_tools.dask import WORKER_CONFIG, read_feeds

    per_file = 100_000 if args.quick else 5_000_000
    paths = [feed(per_file, 200, seed=100 + i) for i in range(FILES)]
    total = per_file * FILES
    repeat = 3 if args.quick else 5

    def graph():
        frame = read_feeds(paths)
        return frame[frame["msg_type"] == "T"].groupby("token")["trade_quantity"].sum()

    expected = graph().compute(scheduler="sync")
    rows.add(
        measure(
            lambda: graph().compute(scheduler="sync"),
            path=f"read_feeds x{FILES}, one process",
            per=total,
            unit="msg/s",
            messages=total,
            repeat=repeat,
            reference=True,
        )
    )
    rows.add(
        measure(
            lambda: graph().compute(scheduler="threads", num_workers=2),
            path=f"read_feeds x{FILES}, two threads",
            per=total,
            unit="msg/s",
            messages=total,
            repeat=repeat,
        )
    )
    cluster_rows = {}
    for label, config in (("", WORKER_CONFIG), (", distributed's default env", {})):
        with (
            dask.config.set(config),
            LocalCluster(
                n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
            ) as cluster,
            Client(cluster) as client,
        ):
            # Warm-up: the workers import pandas, pyarrow and the package once.
            assert client.compute(graph()).result().equals(expected)
            cluster_rows[label] = rows.add(
                measure(
                    lambda: client.compute(graph()).result(),
                    path=f"read_feeds x{FILES}, LocalCluster of 2 processes{label}",
                    per=total,
                    unit="msg/s",
                    messages=total,
                    repeat=repeat,
                )
            )
            if label == "":
                for row in interleaved_speedup(graph, client, repeat, total):
                    rows.add(row)
                fused = interleaved_speedup(
                    lambda: graph().optimize(), client, repeat, total, ", graph optimized"
                )
                for row in fused:
                    rows.add(row)

    path, messages, _ = realistic_feeds(args.quick)[-1]
    out = os.path.join(tempfile.mkdtemp(), "dump.parquet")
    table_row = rows.add(
        measure(
            lambda: pa.table(scan_feed(path)),
            path="scan_feed -> pyarrow.table",
            per=messages,
            unit="msg/s",
            messages=messages,
            repeat=repeat,
            reference=True,
        )
    )
    dump_row = rows.add(
        measure(
            lambda: tidemark(["dump", path, "--format", "parquet", "--out", out, "--quiet"]),
            path="tidemark dump --format parquet",
            per=messages,
            unit="msg/s",
            messages=messages,
            repeat=repeat,
        )
    )
    ratio = dump_row["median"] / table_row["median"]
    print(f"dump to parquet / scan_feed into a table: {ratio:.2f}x")
    os.unlink(out)
    rows.write(args.json)


if __name__ == "__main__":
    main()
