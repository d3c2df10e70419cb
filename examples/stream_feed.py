"""Streams a feed file and prints its first messages as dicts, enriched with
the contract details of a contract master, then rebuilds the order books of
the same file and prints a snapshot row per token.

python examples/stream_feed.py [FEED] [--show N] [--master CSV]
"""

import argparse
from pathlib import Path

from tidemark import OrderbookBuilder, StreamingBinaryLoader, SymbolMaster

ROOT = Path(__file__).resolve().parent.parent


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("feed", nargs="?", default=str(ROOT / "data" / "sample_feed.bin"))
    parser.add_argument("--show", type=int, default=5)
    parser.add_argument("--master", default=str(ROOT / "data" / "contract_master_fo_header.csv"))
    args = parser.parse_args()

    master = SymbolMaster()
    master.load(args.master)
    print(f"{args.master}: {master}")
    loader = StreamingBinaryLoader()
    loader.attach_symbol_master(master)
    total = loader.open_stream(args.feed)
    print(f"{args.feed}: {total} messages")
    kinds: dict[str, int] = {}
    shown = 0
    while (msg := loader.get_next_msg()) is not None:
        kinds[msg["msg_type"]] = kinds.get(msg["msg_type"], 0) + 1
        if shown < args.show:
            print(msg)
            shown += 1
    print("by type:", dict(sorted(kinds.items())))

    loader.reset_cursor()
    books = OrderbookBuilder()
    print(f"applied {books.build_from_source(loader)} messages to the books")
    print("token," + books.snapshot_header())
    for token in books.get_active_tokens():
        print(f"{token},{books.get_snapshot_row(token)}")


if __name__ == "__main__":
    main()
