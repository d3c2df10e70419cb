"""A record-by-record reading of feed files, written for the tests.

It reads with unbuffered os.read calls of exactly the bytes still missing, so
its file position is always the decoder's logical position. The native
loader reads through a buffer; the tests check that both behave the same.
"""

from __future__ import annotations

import os
import struct

ORDER = struct.Struct("<HHIcQQIcIIQB")
TRADE = struct.Struct("<HHIcQQQiiiQB")


class DecodeError(Exception):
    pass


def _read_exact(fd: int, n: int) -> bytes | None:
    data = b""
    while len(data) < n:
        chunk = os.read(fd, n - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def to_dict(record: bytes) -> dict:
    kind = record[8:9]
    if kind in (b"N", b"M", b"X"):
        f = ORDER.unpack(record)
        return {
            "message_kind": "order",
            "seq_no": f[2],
            "msg_len": f[0],
            "stream_id": f[1],
            "msg_type": f[3].decode("latin-1"),
            "exch_ts": f[4],
            "local_ts": f[10],
            "order_id": f[5],
            "token": f[6],
            "order_type": f[7].decode("latin-1"),
            "price": f[8],
            "quantity": f[9],
            "flags": f[11] != 0,
            "token_symbol": None,
            "strike_price": None,
            "option_type": None,
        }
    f = TRADE.unpack(record)
    return {
        "message_kind": "trade",
        "seq_no": f[2],
        "msg_len": f[0],
        "stream_id": f[1],
        "msg_type": f[3].decode("latin-1"),
        "exch_ts": f[4],
        "local_ts": f[10],
        "buy_order_id": f[5],
        "sell_order_id": f[6],
        "token": f[7],
        "trade_price": f[8],
        "trade_quantity": f[9],
        "flags": f[11] != 0,
        "token_symbol": None,
        "strike_price": None,
        "option_type": None,
    }


def read_next(fd: int) -> bytes | None:
    """The next order or trade record, None at the end; DecodeError else."""
    while True:
        first = os.read(fd, 1)
        if not first:
            return None
        if first == b" ":
            continue
        rest = _read_exact(fd, 8)
        if rest is None:
            raise DecodeError("truncated message header")
        header = first + rest
        kind = header[8:9]
        if kind in (b"N", b"M", b"X", b"T"):
            body = _read_exact(fd, (47 if kind != b"T" else 54) - 9)
            if body is None:
                raise DecodeError("truncated message payload")
            return header + body
        msg_len = struct.unpack_from("<H", header)[0]
        if msg_len > 9 and _read_exact(fd, msg_len - 9) is None:
            raise DecodeError("failed to fill whole buffer")


def check_first(fd: int) -> None:
    os.lseek(fd, 0, os.SEEK_SET)
    while True:
        first = os.read(fd, 1)
        if not first:
            raise DecodeError("file is empty or missing a complete message header")
        if first != b" ":
            break
    rest = _read_exact(fd, 8)
    if rest is None:
        raise DecodeError("truncated first message header")
    if rest[7:8] not in (b"M", b"N", b"T", b"X"):
        raise DecodeError(f"invalid first message type: {rest[7]}")
    os.lseek(fd, 0, os.SEEK_SET)


class ReferenceLoader:
    """Mirrors StreamingBinaryLoader's methods on an unbuffered descriptor."""

    def __init__(self) -> None:
        self.fd: int | None = None

    def open_stream(self, path: str, count_messages: bool = True) -> int:
        fd = os.open(path, os.O_RDONLY)
        try:
            check_first(fd)
            count = 0
            if count_messages:
                fd2 = os.open(path, os.O_RDONLY)
                try:
                    check_first(fd2)
                    while read_next(fd2) is not None:
                        count += 1
                finally:
                    os.close(fd2)
        except BaseException:
            os.close(fd)
            raise
        if self.fd is not None:
            os.close(self.fd)
        self.fd = fd
        return count

    def get_next_msg(self) -> dict | None:
        if self.fd is None:
            return None
        record = read_next(self.fd)
        return None if record is None else to_dict(record)

    def is_end_of_msg(self) -> bool:
        if self.fd is None:
            return True
        pos = os.lseek(self.fd, 0, os.SEEK_CUR)
        try:
            record = read_next(self.fd)
        finally:
            os.lseek(self.fd, pos, os.SEEK_SET)
        return record is None

    def reset_cursor(self) -> None:
        if self.fd is not None:
            os.lseek(self.fd, 0, os.SEEK_SET)

    def close(self) -> None:
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None


def scan_reference(data: bytes) -> list[dict]:
    """The message cache's framing over a whole byte string."""
    out, p, size = [], 0, len(data)
    while p < size:
        while p < size and data[p] == 0x20:
            p += 1
        if p + 9 > size:
            break
        kind = data[p + 8 : p + 9]
        if kind in (b"N", b"M", b"X", b"T"):
            length = 54 if kind == b"T" else 47
            if p + length > size:
                break
            out.append(to_dict(data[p : p + length]))
            p += length
        else:
            p += struct.unpack_from("<H", data, p)[0] or 1
    return out
