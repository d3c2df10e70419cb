"""Order book intake, snapshots and memory, measured side by side in one run.

    python benchmarks/bench_orderbook.py [--quick] [--json PATH]

On each generated report file (1, 5 and 20 million messages; --quick: small
ones), in messages per second (medians):
- build_from_source(loader): open_stream without counting, then the whole
  file into a new builder (target: at least 15 million on the 20-million,
  2,000-token file and 20 million on the 1-million, 100-token file);
- build_from_list(cache): the build alone from a loaded cache (same targets);
- load_to_cache;
- both builds again from the process's CPU time ("per CPU second"): the rate
  with a core to itself, since other work may share the machine.
  build_from_source decodes the next batch on a second thread, so its CPU
  time is that of both threads: its rate per CPU second is the work done,
  not the rate that two free cores give.
On the largest file also: get_snapshot_row per call on its books (target: at
most 2 us) and on a book whose window was widened to two million price units
(target: at most 1.5 times the plain figure); and the memory that 10,000
books of 50 resting orders add (target: 300 MB).
"""

import gc
import os
import time

import tidemark
from common import (
    DATA,
    Rows,
    bench_args,
    cpu_row,
    feedgen,
    measure,
    realistic_feeds,
    value_row,
)


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def per_call_us(fn, args_list, rounds=5) -> list[float]:
    """The mean time of one call in each of `rounds` rounds, in microseconds."""
    results = []
    for _ in range(rounds):
        start = time.perf_counter()
        for args in args_list:
            fn(*args)
        results.append((time.perf_counter() - start) / len(args_list) * 1e6)
    return results


def resting_orders_file(tokens: int, per_token: int) -> str:
    """New orders only: `per_token` resting orders on each of `tokens` books."""
    DATA.mkdir(exist_ok=True)
    path = DATA / f"resting_{tokens}_{per_token}.bin"
    if not path.exists():
        recs = []
        oid = 0
        for t in range(tokens):
            mid = 10_000 + (t * 7919) % 400_000
            for i in range(per_token):
                oid += 1
                side = "B" if i % 2 else "S"
                price = mid - 5 * (i // 2 + 1) if side == "B" else mid + 5 * (i // 2 + 1)
                recs.append(
                    feedgen.order_record(
                        "N",
                        order_id=oid,
                        token=100_000 + t,
                        order_type=side,
                        price=price,
                        quantity=25,
                    )
                )
        path.write_bytes(b"".join(recs))
    return str(path)


def main() -> None:
    args = bench_args(__doc__)
    rows = Rows(__file__)
    repeat = 3 if args.quick else 5
    cache = tidemark.MessageCacheReader()
    loader = tidemark.StreamingBinaryLoader()
    for path, n, tokens in realistic_feeds(args.quick):
        size = f"{n:,} msgs, {tokens:,} tokens"
        print(f"file: {path} ({size})")
        cache = tidemark.MessageCacheReader()  # the previous file's cache is freed

        def load(path=path, cache=cache):
            cache.load_to_cache(path)

        rows.add(measure(load, path="load_to_cache", per=n, unit="msg/s", messages=n, repeat=3))

        def from_cache(cache=cache):
            tidemark.OrderbookBuilder().build_from_list(cache)

        def from_loader(path=path):
            loader.open_stream(path, count_messages=False)
            tidemark.OrderbookBuilder().build_from_source(loader)

        # The 20-million-message builds take seconds each; three repeats keep
        # the default run short.
        reps = repeat if n < 10_000_000 else 3
        loader_row = rows.add(
            measure(
                from_loader, path="build_from_source(loader)", per=n, unit="msg/s", messages=n,
                repeat=reps,
            )
        )  # fmt: skip
        cache_row = rows.add(
            measure(
                from_cache, path="build_from_list(cache)", per=n, unit="msg/s", messages=n,
                repeat=reps,
            )
        )  # fmt: skip
        # Other work shares this machine's cores: the same builds timed by
        # the process's CPU clock show what they do with a core of their own.
        rows.add(cpu_row(loader_row))
        rows.add(cpu_row(cache_row))

    # Snapshot rows on the books of the largest file.
    builder = tidemark.OrderbookBuilder()
    builder.build_from_list(cache)
    tokens = [(t,) for t in builder.get_active_tokens()] * 20
    rows.add(
        value_row(
            "get_snapshot_row, books of the file (target <= 2)",
            per_call_us(builder.get_snapshot_row, tokens),
            "us/call",
            n,
        )
    )

    # One book with resting levels near 1,000,000 and a window widened to
    # more than two million price units by orders placed and cancelled far
    # away; the same book without the far orders as the baseline.
    def book(widen: bool):
        b = tidemark.OrderbookBuilder()
        msgs = []
        for i in range(50):
            side = "B" if i % 2 else "S"
            price = 1_000_000 + (-5 if side == "B" else 5) * (i // 2 + 1)
            msgs.append(
                {
                    "msg_type": "N",
                    "order_id": i,
                    "token": 1,
                    "order_type": side,
                    "price": price,
                    "quantity": 10,
                }
            )
        if widen:
            for oid, price in ((900, 1), (901, 2_100_000)):
                msgs.append(
                    {
                        "msg_type": "N",
                        "order_id": oid,
                        "token": 1,
                        "order_type": "B",
                        "price": price,
                        "quantity": 1,
                    }
                )
                msgs.append(
                    {
                        "msg_type": "X",
                        "order_id": oid,
                        "token": 1,
                        "order_type": "B",
                        "price": price,
                        "quantity": 1,
                    }
                )
        b.build_from_list(msgs)
        return b

    narrow, wide = book(False), book(True)
    assert narrow.get_snapshot_row(1) == wide.get_snapshot_row(1)
    calls = [(1,)] * (20_000 if args.quick else 200_000)
    t_narrow = per_call_us(narrow.get_snapshot_row, calls)
    t_wide = per_call_us(wide.get_snapshot_row, calls)
    rows.add(value_row("get_snapshot_row, 20,001-unit window", t_narrow, "us/call"))
    rows.add(value_row("get_snapshot_row, window widened past 2,000,000 units", t_wide, "us/call"))
    ratios = [w / p for w, p in zip(t_wide, t_narrow, strict=True)]
    rows.add(value_row("get_snapshot_row widened / plain (target <= 1.5)", ratios, "x"))

    # Memory of 10,000 books with 50 resting orders each.
    resting = tidemark.MessageCacheReader()
    resting.load_to_cache(resting_orders_file(10_000, 50))
    gc.collect()
    before = rss_bytes()
    held = tidemark.OrderbookBuilder()
    held.build_from_list(resting)
    added = rss_bytes() - before
    assert len(held.get_active_tokens()) == 10_000
    rows.add(
        value_row("memory added by 10,000 books x 50 orders (target <= 300)", [added / 1e6], "MB")
    )
    rows.write(args.json)


if __name__ == "__main__":
    main()
