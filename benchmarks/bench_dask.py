"""Many files on Dask, and `tidemark dump --format parquet`.

    python benchmarks/bench_dask.py [--quick] [--json PATH]

1. Eight generated feed files read with tidemark_tools.dask.read_feeds (one
   partition per file: scan_feed into lossless pandas) and reduced to the
   traded quantity per token: in one process (the synchronous scheduler),
   on two threads of one process, and on a LocalCluster of two worker
   processes with one thread each, started with tidemark_tools.dask's
   WORKER_CONFIG and, for comparison, with distributed's default worker
   environment. The workers are started and warmed up before the timing;
   what is timed is the graph's computation.
2. `tidemark dump FILE --format parquet --out PATH` (in this process, as the
   console script runs it) against scan_feed into pyarrow.table on the same
   file.

Rates are messages per second (medians), measured side by side in one run.
"""

from __future__ import annotations

import os
import tempfile

from common import Rows, bench_args, feed, measure, realistic_feeds

FILES = 8


def main() -> None:
    args = bench_args(__doc__)
    rows = Rows(__file__)
    import dask
    import pyarrow as pa
    from distributed import Client, LocalCluster

    from tidemark_tools import scan_feed
    from tidemark_tools.cli import main as tidemark
    from tidemark_tools.dask import WORKER_CONFIG, read_feeds

    per_file = 100_000 if args.quick else 1_000_000
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
    cluster_row = cluster_rows[""]
    single = rows.rows[0]["median"]
    print(f"LocalCluster speed-up over one process: {cluster_row['median'] / single:.2f}x")

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
