"""Builds feed records and generates realistic feed files.

A feed file is a plain sequence of little-endian records: 47-byte order
records (types N, M, X) and 54-byte trade records (type T), each opening with
a 9-byte header (msg_len, stream_id, seq_no, msg_type).

The generator simulates an exchange session: each token has a reference
price, buy orders rest below it and sell orders above it, and modifies,
cancels and trades refer to orders that are actually resting, so the books
rebuilt from a generated file look like real, uncrossed ones.

    python scripts/feedgen.py OUT.bin --messages 5000000 --tokens 2000
"""

from __future__ import annotations

import argparse
import random
import struct

ORDER = struct.Struct("<HHIcQQIcIIQB")
TRADE = struct.Struct("<HHIcQQQiiiQB")
assert ORDER.size == 47 and TRADE.size == 54


def _byte(value: bytes | str | int) -> bytes:
    if isinstance(value, int):
        return bytes([value])
    if isinstance(value, str):
        return value.encode("latin-1")
    return value


def order_record(
    msg_type="N",
    *,
    order_id=1,
    token=1001,
    order_type="B",
    price=50_000,
    quantity=100,
    exch_ts=0,
    local_ts=0,
    flags=0,
    seq_no=0,
    stream_id=1,
    msg_len=38,
) -> bytes:
    """One 47-byte order record (N, M or X)."""
    return ORDER.pack(
        msg_len,
        stream_id,
        seq_no,
        _byte(msg_type),
        exch_ts,
        order_id,
        token,
        _byte(order_type),
        price,
        quantity,
        local_ts,
        flags,
    )


def trade_record(
    *,
    buy_order_id=1,
    sell_order_id=2,
    token=1001,
    trade_price=50_000,
    trade_quantity=10,
    exch_ts=0,
    local_ts=0,
    flags=0,
    seq_no=0,
    stream_id=1,
    msg_len=45,
    msg_type="T",
) -> bytes:
    """One 54-byte trade record."""
    return TRADE.pack(
        msg_len,
        stream_id,
        seq_no,
        _byte(msg_type),
        exch_ts,
        buy_order_id,
        sell_order_id,
        token,
        trade_price,
        trade_quantity,
        local_ts,
        flags,
    )


def other_record(msg_type="A", msg_len=12, body=b"", *, seq_no=0, stream_id=1) -> bytes:
    """A record of a type the decoders skip: a header plus `body`."""
    return struct.pack("<HHI", msg_len, stream_id, seq_no) + _byte(msg_type) + body


def generate(messages: int, tokens: int, seed: int = 1, first_token: int = 1001):
    """Yields the records of a simulated session, `messages` order and trade
    records in all, plus an occasional record of another type."""
    rng = random.Random(seed)
    token_ids = [first_token + i for i in range(tokens)]
    mids = {t: rng.randrange(2_000, 400_000, 5) for t in token_ids}
    resting: dict[int, list[tuple[int, str, int, int]]] = {t: [] for t in token_ids}
    next_id = 10_000_000_000
    ts = 1_767_000_000_000_000_000
    seq = 0
    emitted = 0
    while emitted < messages:
        token = token_ids[int(rng.paretovariate(1.2)) % tokens]
        book = resting[token]
        mid = mids[token]
        ts += rng.randrange(1_000, 50_000)
        seq += 1
        roll = rng.random()
        if rng.random() < 0.001:
            yield other_record("Z", 9 + 4, b"\0" * 4, seq_no=seq)
            continue
        if not book or roll < 0.55:
            side = rng.choice("BS")
            offset = int(rng.expovariate(1 / 40)) * 5 + 5
            price = mid - offset if side == "B" else mid + offset
            qty = rng.randrange(1, 60) * 25
            next_id += 1
            book.append((next_id, side, price, qty))
            rec = order_record(
                "N",
                order_id=next_id,
                token=token,
                order_type=side,
                price=price,
                quantity=qty,
                exch_ts=ts,
                local_ts=ts + 700,
                seq_no=seq,
            )
        elif roll < 0.70:
            i = rng.randrange(len(book))
            oid, side, price, qty = book[i]
            price += rng.choice((-10, -5, 5, 10))
            # Orders stay on their own side of the reference price.
            price = min(price, mid - 5) if side == "B" else max(price, mid + 5)
            qty = max(25, qty + rng.choice((-25, 25)))
            book[i] = (oid, side, price, qty)
            rec = order_record(
                "M",
                order_id=oid,
                token=token,
                order_type=side,
                price=price,
                quantity=qty,
                exch_ts=ts,
                local_ts=ts + 700,
                seq_no=seq,
            )
        elif roll < 0.90:
            oid, side, price, qty = book.pop(rng.randrange(len(book)))
            rec = order_record(
                "X",
                order_id=oid,
                token=token,
                order_type=side,
                price=price,
                quantity=qty,
                exch_ts=ts,
                local_ts=ts + 700,
                seq_no=seq,
            )
        else:
            i = rng.randrange(len(book))
            oid, side, price, qty = book[i]
            traded = min(qty, rng.randrange(1, 40) * 25)
            if traded >= qty:
                book.pop(i)
            else:
                book[i] = (oid, side, price, qty - traded)
            other = rng.randrange(1, next_id)
            buy, sell = (oid, other) if side == "B" else (other, oid)
            rec = trade_record(
                buy_order_id=buy,
                sell_order_id=sell,
                token=token,
                trade_price=price,
                trade_quantity=traded,
                exch_ts=ts,
                local_ts=ts + 700,
                seq_no=seq,
            )
        emitted += 1
        yield rec


def write_feed(path: str, messages: int, tokens: int, seed: int = 1, stream_id: int = 1) -> None:
    """Writes a generated session to `path`, every record stamped with `stream_id`."""
    stamp = struct.pack("<H", stream_id)
    with open(path, "wb") as out:
        chunk: list[bytes] = []
        for rec in generate(messages, tokens, seed):
            if stream_id != 1:
                rec = rec[:2] + stamp + rec[4:]
            chunk.append(rec)
            if len(chunk) >= 65_536:
                out.write(b"".join(chunk))
                chunk.clear()
        out.write(b"".join(chunk))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out")
    parser.add_argument("--messages", type=int, default=2_000)
    parser.add_argument("--tokens", type=int, default=10)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    write_feed(args.out, args.messages, args.tokens, args.seed)


if __name__ == "__main__":
    main()
