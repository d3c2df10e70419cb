"""Streaming speed: counting in open_stream and a get_next_msg loop.

    python benchmarks/bench_stream.py [--messages N]

Both are reported in messages per second (medians), side by side with a
plain read of the same file's bytes in the same run.
"""

import argparse

import tidemark
from common import feed, median_time, report


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--messages", type=int, default=1_000_000)
    parser.add_argument("--tokens", type=int, default=2_000)
    args = parser.parse_args()
    path = feed(args.messages, args.tokens)
    n = args.messages
    loader = tidemark.StreamingBinaryLoader()

    def read_bytes():
        with open(path, "rb") as f:
            while f.read(1 << 20):
                pass

    def count():
        assert loader.open_stream(path) == n

    def stream():
        loader.open_stream(path, count_messages=False)
        get = loader.get_next_msg
        while get() is not None:
            pass

    t_read = median_time(read_bytes)
    t_count = median_time(count)
    t_stream = median_time(stream, repeat=3)
    print(f"file: {path} ({n:,} messages)")
    report("plain read of the file's bytes", n / t_read, "msg-equivalents/s")
    report("open_stream with counting", n / t_count, "msg/s")
    report("get_next_msg loop (dict per message)", n / t_stream, "msg/s")
    report("counting time / plain read time", t_count / t_read, "x")


if __name__ == "__main__":
    main()
