"""Streams a feed file and prints its first messages as dicts.

python examples/stream_feed.py [FEED] [--show N]
"""

import argparse
from pathlib import Path

from tidemark import StreamingBinaryLoader

ROOT = Path(__file__).resolve().parent.parent


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("feed", nargs="?", default=str(ROOT / "data" / "sample_feed.bin"))
    parser.add_argument("--show", type=int, default=5)
    args = parser.parse_args()

    loader = StreamingBinaryLoader()
    total = loader.open_stream(args.feed)
    print(f"{args.feed}: {total} messages")
    kinds = {}
    shown = 0
    while (msg := loader.get_next_msg()) is not None:
        kinds[msg["msg_type"]] = kinds.get(msg["msg_type"], 0) + 1
        if shown < args.show:
            print(msg)
            shown += 1
    print("by type:", dict(sorted(kinds.items())))


if __name__ == "__main__":
    main()
