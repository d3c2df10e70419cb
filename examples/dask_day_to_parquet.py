"""Writes a trading day's feed streams to a parquet dataset on a Dask cluster.

Generates one feed file per stream of one day, under the conventional paths
of FeedPathBuilder, then on a LocalCluster of two worker processes:

- every message of every stream, with contract columns from a contract
  master, into OUT/messages/, partitioned by stream (stream_id=N/ folders);
- the books of every token on a one-second grid into OUT/books/, one file
  per stream;

and reads both datasets back with pyarrow to show what was written.

    python examples/dask_day_to_parquet.py OUT [--streams 4] [--messages 250000]
"""

from __future__ import annotations

import argparse
import importlib
import sys
import time
from pathlib import Path

import dask
import pyarrow.dataset as ds
from distributed import Client, LocalCluster
from tidemark import FeedPathBuilder

from tidemark_tools.dask import WORKER_CONFIG, book_series_many, read_feeds

ROOT = Path(__file__).resolve().parent.parent
MASTER = ROOT / "data" / "contract_master_fo_header.csv"
DAY, MONTH, YEAR = 29, 12, 2025


def generate_day(base: Path, streams: int, messages: int, tokens: int) -> list[str]:
    """One generated feed file per stream, at the paths of the shared store's
    naming scheme under `base`."""
    sys.path.insert(0, str(ROOT / "scripts"))
    feedgen = importlib.import_module("feedgen")  # the repository's generator script

    builder = FeedPathBuilder()
    paths = []
    for stream in range(1, streams + 1):
        path = builder.build("NSE_FO", stream, DAY, MONTH, YEAR, str(base))
        Path(path).parent.mkdir(parents=True, exist_ok=True)
        if not Path(path).exists():
            feedgen.write_feed(path, messages, tokens, seed=stream, stream_id=stream)
        paths.append(path)
    return paths


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("out", type=Path, help="output folder")
    parser.add_argument("--streams", type=int, default=4)
    parser.add_argument("--messages", type=int, default=250_000, help="messages per stream")
    parser.add_argument("--tokens", type=int, default=10)
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()

    paths = generate_day(args.out / "feeds", args.streams, args.messages, args.tokens)
    print(f"{len(paths)} streams, e.g. {paths[0]}")

    with (
        dask.config.set(WORKER_CONFIG),  # batch buffers on the workers' heap
        LocalCluster(
            n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        Client(cluster),
    ):
        start = time.perf_counter()
        messages = read_feeds(paths, master=str(MASTER))
        messages.to_parquet(
            str(args.out / "messages"),
            partition_on=["stream_id"],
            write_index=False,
            engine="pyarrow",
            compression="zstd",
            overwrite=True,
        )
        books = book_series_many(paths, levels=5, every_ns=1_000_000_000)
        books.to_parquet(
            str(args.out / "books"),
            write_index=False,
            engine="pyarrow",
            compression="zstd",
            overwrite=True,
        )
        print(f"written in {time.perf_counter() - start:.1f} s on {args.workers} workers")

    dataset = ds.dataset(str(args.out / "messages"), format="parquet", partitioning="hive")
    per_stream = (
        dataset.to_table(columns=["stream_id"])
        .group_by("stream_id")
        .aggregate([("stream_id", "count")])
    )
    print("messages per stream:", dict(zip(*per_stream.to_pydict().values(), strict=True)))
    book_rows = ds.dataset(str(args.out / "books"), format="parquet").count_rows()
    print(f"book rows on the one-second grid: {book_rows:,}")


if __name__ == "__main__":
    main()
