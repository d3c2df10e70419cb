"""Streaming speed: counting in open_stream and a get_next_msg loop.

    python benchmarks/bench_stream.py [--quick] [--json PATH]

On a generated file of 1 million messages (--quick: 100,000), both in
messages per second (medians), side by side with a plain read of the same
file's bytes in the same run.
"""

import tidemark
from common import Rows, bench_args, feed, measure, value_row


def main() -> None:
    args = bench_args(__doc__)
    rows = Rows(__file__)
    n = 100_000 if args.quick else 1_000_000
    path = feed(n, 2_000)
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

    print(f"file: {path} ({n:,} messages)")
    read = rows.add(
        measure(read_bytes, path="plain read of the file's bytes (in 1 MiB reads)", per=n,
                unit="msg/s", messages=n)
    )  # fmt: skip
    counted = rows.add(
        measure(count, path="open_stream with counting", per=n, unit="msg/s", messages=n)
    )
    rows.add(
        measure(stream, path="get_next_msg loop (dict per message)", per=n, unit="msg/s",
                messages=n, repeat=3)
    )  # fmt: skip
    ratio = read["median"] / counted["median"]
    rows.add(value_row("counting time / plain read time", [ratio], "x", n))
    rows.write(args.json)


if __name__ == "__main__":
    main()
