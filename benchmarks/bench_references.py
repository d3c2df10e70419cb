"""The reference rows of the report: what the same work costs without tidemark.

    python benchmarks/bench_references.py [--quick] [--json PATH]

On each generated report file, in messages per second (medians), every row a
reference (benchmarks/run_all.py gives every other path's ratio to these):
- a plain byte copy: the file read into a new bytearray;
- a numpy structured-dtype decode: a Python loop frames the records and one
  fancy-indexing gather per kind fills two structured arrays;
- the plain-Python decoder and dict-book replay: struct.unpack of every record
  into a 16-key dict, then a book of Python dicts replays it (the test
  suite's reference model);
- copying a ready 16-key message dict once per message.
The Python rows run on the first REF_PREFIX messages of a file and are given
per message, since a pure-Python pass over 20 million messages takes minutes.
"""

from __future__ import annotations

import sys

import numpy as np
from common import ROOT, Rows, bench_args, measure, realistic_feeds
from record_dtypes import ORDER, TRADE

sys.path.insert(0, str(ROOT / "tests"))
from reference_book import RefBookSet  # noqa: E402
from reference_decoder import to_dict  # noqa: E402

REF_PREFIX = 100_000
REF_PREFIX_QUICK = 30_000


def frame(data: bytes, limit: int) -> tuple[list[int], list[int], int]:
    """Start offsets of the first `limit` order and trade records, framed as
    the message cache frames them, and the number of messages found."""
    orders, trades, p, size, n = [], [], 0, len(data), 0
    while p < size and n < limit:
        if data[p] == 0x20:
            p += 1
            continue
        if p + 9 > size:
            break
        kind = data[p + 8]
        if kind in (0x4E, 0x4D, 0x58):  # N M X
            if p + 47 > size:
                break
            orders.append(p)
            p += 47
            n += 1
        elif kind == 0x54:  # T
            if p + 54 > size:
                break
            trades.append(p)
            p += 54
            n += 1
        else:
            p += int.from_bytes(data[p : p + 2], "little") or 1
    return orders, trades, n


def numpy_decode(data: bytes, limit: int) -> int:
    orders, trades, n = frame(data, limit)
    raw = np.frombuffer(data, np.uint8)
    for starts, dtype in ((orders, ORDER), (trades, TRADE)):
        index = np.asarray(starts, np.int64)[:, None] + np.arange(dtype.itemsize)
        raw[index].reshape(-1).view(dtype)
    return n


def python_decode_and_book(data: bytes, limit: int) -> int:
    books = RefBookSet()
    p, size, n = 0, len(data), 0
    while p < size and n < limit:
        if data[p] == 0x20:
            p += 1
            continue
        if p + 9 > size:
            break
        kind = data[p + 8 : p + 9]
        if kind in (b"N", b"M", b"X", b"T"):
            length = 54 if kind == b"T" else 47
            if p + length > size:
                break
            books.apply(to_dict(data[p : p + length]))
            p += length
            n += 1
        else:
            p += int.from_bytes(data[p : p + 2], "little") or 1
    return n


def main() -> None:
    args = bench_args(__doc__)
    rows = Rows(__file__)
    repeat = 3 if args.quick else 5
    prefix = REF_PREFIX_QUICK if args.quick else REF_PREFIX
    template = {
        "message_kind": "order", "seq_no": 1, "msg_len": 38, "stream_id": 1, "msg_type": "N",
        "exch_ts": 1, "local_ts": 2, "order_id": 3, "token": 4, "order_type": "B",
        "price": 5, "quantity": 6, "flags": False, "token_symbol": None,
        "strike_price": None, "option_type": None,
    }  # fmt: skip
    assert len(template) == 16
    for path, n, _tokens in realistic_feeds(args.quick):
        print(f"file: {path} ({n:,} msgs)")

        def copy_bytes(path=path):
            with open(path, "rb") as f:
                bytearray(f.read())

        rows.add(
            measure(
                copy_bytes, path="reference: plain byte copy", per=n, unit="msg/s",
                messages=n, repeat=repeat if n < 10_000_000 else 3, reference=True,
            )
        )  # fmt: skip
        with open(path, "rb") as f:
            data = f.read(prefix * 60)
        k = min(prefix, n)
        rows.add(
            measure(
                lambda data=data, k=k: numpy_decode(data, k),
                path="reference: numpy structured-dtype decode", per=k, unit="msg/s",
                messages=n, repeat=repeat, reference=True,
            )
        )  # fmt: skip
        rows.add(
            measure(
                lambda data=data, k=k: python_decode_and_book(data, k),
                path="reference: plain-Python decoder + dict-book replay", per=k,
                unit="msg/s", messages=n, repeat=3, reference=True,
            )
        )  # fmt: skip

        def copy_dicts(k=k):
            for _ in range(k):
                template.copy()

        rows.add(
            measure(
                copy_dicts, path="reference: copy of a ready 16-key dict", per=k,
                unit="msg/s", messages=n, repeat=repeat, reference=True,
            )
        )  # fmt: skip
    rows.write(args.json)


if __name__ == "__main__":
    main()
