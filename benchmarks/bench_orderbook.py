"""Order book targets, measured side by side in one run (medians).

    python benchmarks/bench_orderbook.py [--messages 5000000] [--tokens 2000]

- build_from_list with a cache and build_from_source with a loader, in
  messages applied per second (target: at least 10 million);
- get_snapshot_row per call on the books of that file, and on a book whose
  window was widened to two million price units (target: at most 2 us, and
  at most 1.5 times the plain figure);
- the memory that 10,000 books of 50 resting orders add (target: 300 MB);
- load_to_cache against a plain copy of the file's bytes (target: at least
  half as fast).
"""

import argparse
import gc
import os
import statistics
import time

import tidemark
from common import DATA, feed, feedgen, median_time, report


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def per_call_us(fn, args_list, rounds=5):
    """Median over rounds of the mean time of one call, in microseconds."""
    results = []
    for _ in range(rounds):
        start = time.perf_counter()
        for args in args_list:
            fn(*args)
        results.append((time.perf_counter() - start) / len(args_list) * 1e6)
    return statistics.median(results)


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
    parser = argparse.ArgumentParser()
    parser.add_argument("--messages", type=int, default=5_000_000)
    parser.add_argument("--tokens", type=int, default=2_000)
    args = parser.parse_args()
    path = feed(args.messages, args.tokens)
    print(f"file: {path} ({args.messages:,} messages, {args.tokens:,} tokens)")

    # load_to_cache against a plain copy of the bytes.
    def copy_bytes():
        with open(path, "rb") as f:
            bytearray(f.read())

    cache = tidemark.MessageCacheReader()
    t_copy = median_time(copy_bytes)
    t_load = median_time(lambda: cache.load_to_cache(path))
    n = len(cache)
    report("load_to_cache", n / t_load, "msg/s")
    report("load_to_cache speed / plain copy speed", t_copy / t_load, "x (target >= 0.5)")

    # Whole-file intake.
    def from_cache():
        tidemark.OrderbookBuilder().build_from_list(cache)

    loader = tidemark.StreamingBinaryLoader()

    def from_loader():
        loader.open_stream(path, count_messages=False)
        tidemark.OrderbookBuilder().build_from_source(loader)

    report("build_from_list(cache)", n / median_time(from_cache), "msg/s (target >= 10M)")
    report("build_from_source(loader)", n / median_time(from_loader), "msg/s (target >= 10M)")

    # Snapshot rows on the books of the file.
    builder = tidemark.OrderbookBuilder()
    builder.build_from_list(cache)
    tokens = [(t,) for t in builder.get_active_tokens()] * 20
    plain = per_call_us(builder.get_snapshot_row, tokens)
    report("get_snapshot_row, books of the file", plain, "us/call (target <= 2)")

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
    calls = [(1,)] * 200_000
    t_narrow = per_call_us(narrow.get_snapshot_row, calls)
    t_wide = per_call_us(wide.get_snapshot_row, calls)
    report("get_snapshot_row, 20,001-unit window", t_narrow, "us/call")
    report("get_snapshot_row, window widened past 2,000,000 units", t_wide, "us/call")
    report("widened / plain", t_wide / t_narrow, "x (target <= 1.5)")

    # Memory of 10,000 books with 50 resting orders each.
    resting = tidemark.MessageCacheReader()
    resting.load_to_cache(resting_orders_file(10_000, 50))
    gc.collect()
    before = rss_bytes()
    held = tidemark.OrderbookBuilder()
    held.build_from_list(resting)
    added = rss_bytes() - before
    assert len(held.get_active_tokens()) == 10_000
    report("memory added by 10,000 books x 50 orders", added / 1e6, "MB (target <= 300)")


if __name__ == "__main__":
    main()
