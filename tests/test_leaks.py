"""Repeated calls, on success and on every kind of failure, must not leak.

Python objects are counted with tracemalloc (it sees every object the
module creates); the native heap with glibc's mallinfo2, where the
allocator is glibc's own (under the sanitizers it is not, and that half of
the check is skipped there).
"""

import ctypes
import tracemalloc
from pathlib import Path

import pytest
import tidemark
from feedgen import write_feed

DATA = Path(__file__).resolve().parent.parent / "data"
FEED = str(DATA / "sample_feed.bin")
MASTER = str(DATA / "contract_master_fo_header.csv")


class MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def native_heap_bytes():
    try:
        libc = ctypes.CDLL(None)
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd if info.arena else None


def swallow(fn):
    def run():
        try:
            fn()
        except (RuntimeError, TypeError, OverflowError, IndexError):
            pass

    return run


def scenarios(tmp_path):
    empty = tmp_path / "empty.bin"
    empty.write_bytes(b"")
    bad_csv = tmp_path / "bad.csv"
    bad_csv.write_bytes(b"Symbol,Expiry\nA,B\n")
    loader = tidemark.StreamingBinaryLoader()
    enriching = tidemark.StreamingBinaryLoader()
    master = tidemark.SymbolMaster()
    master.load(MASTER)
    enriching.attach_symbol_master(master)
    cache = tidemark.MessageCacheReader()
    cache.load_to_cache(FEED)
    books = tidemark.OrderbookBuilder()
    books.build_from_list(cache)
    small = tmp_path / "small.bin"
    write_feed(str(small), 20, 3)
    cache.load_to_cache(str(small))
    token = books.get_active_tokens()[0]
    paths = tidemark.FeedPathBuilder()
    msg = cache[0]

    def stream_all(stream):
        stream.open_stream(FEED, count_messages=False)
        while stream.get_next_msg() is not None:
            pass

    return {
        "stream": lambda: stream_all(loader),
        "stream enriched": lambda: stream_all(enriching),
        "open errors": lambda: [
            swallow(lambda p=p: loader.open_stream(p))()
            for p in (str(empty), str(tmp_path / "none"), "a\0b", 5)
        ],
        "cache queries": lambda: (
            cache.get_all_messages(),
            cache.get_cache_summary(),
            cache[3],
            swallow(lambda: cache[10**9])(),
            swallow(lambda: cache["x"])(),
        ),
        "cache load errors": swallow(lambda: cache.load_to_cache(str(tmp_path / "none"))),
        "cache reload": lambda: tidemark.MessageCacheReader().load_to_cache(FEED),
        "book queries": lambda: (
            books.get_snapshot(token),
            books.get_full_depth(token),
            books.get_snapshot_row(token),
            books.get_active_tokens(),
        ),
        "book intake": lambda: tidemark.OrderbookBuilder().build_from_list([msg] * 50),
        "book errors": lambda: [
            swallow(f)()
            for f in (
                lambda: books.orderbook_add_msg({"msg_type": "N", "order_id": 1}),
                lambda: books.orderbook_add_msg({"msg_type": "Q"}),
                lambda: books.orderbook_add_msg(dict(msg, price=-1)),
                lambda: books.build_from_list([msg, 5]),
                lambda: books.apply_filter("N"),
                lambda: books.get_snapshot(-1),
            )
        ],
        "master": lambda: (master.lookup(1001), master.enrich(dict(msg)), repr(master)),
        "master load": lambda: tidemark.SymbolMaster().load(MASTER),
        "master errors": lambda: [
            swallow(f)()
            for f in (
                lambda: tidemark.SymbolMaster().load(str(bad_csv)),
                lambda: master.load_for_date("XX", 1, 1, 2025),
                lambda: master.enrich([]),
            )
        ],
        "paths": lambda: [
            swallow(f)()
            for f in (
                lambda: paths.build("CM", 1, 2, 3, 2025),
                lambda: paths.build("nope", 1, 2, 3, 2025),
                lambda: paths.build_and_verify("CM", 1, 2, 3, 2025, base_path=str(tmp_path)),
            )
        ],
    }


NAMES = [
    "stream",
    "stream enriched",
    "open errors",
    "cache queries",
    "cache load errors",
    "cache reload",
    "book queries",
    "book intake",
    "book errors",
    "master",
    "master load",
    "master errors",
    "paths",
]


@pytest.mark.parametrize("name", NAMES)
def test_repeated_calls_do_not_leak(tmp_path, name):
    run = scenarios(tmp_path)[name]
    rounds = 30 if name in ("stream", "stream enriched", "cache reload", "master load") else 2000
    for _ in range(rounds // 4):
        run()
    tracemalloc.start()
    try:
        heap_before = native_heap_bytes()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(rounds):
            run()
        grown = tracemalloc.get_traced_memory()[0] - before
        heap_after = native_heap_bytes()
    finally:
        tracemalloc.stop()
    assert grown < 64 * 1024, f"Python objects grew by {grown} bytes"
    if heap_before is not None and heap_after is not None:
        assert heap_after - heap_before < 256 * 1024, "native heap grew"
