"""Builds feed records and generates realistic feed files.

A feed file is a plain sequence of little-endian records: 47-byte order
records (types N, M, X) and 54-byte trade records (type T), each opening with
a 9-byte header (msg_len, stream_id, seq_no, msg_type).

The generator simulates an exchange session: each token has a reference
price, buy orders rest below it and sell orders above it, and modifies,
cancels and trades refer to orders that are actually resting, so the books
rebuilt from a generated file look like real, uncrossed ones. The whole
session is drawn at once with numpy, so a day of 20 million messages takes
about a minute.

    python scripts/feedgen.py OUT.bin --messages 5000000 --tokens 2000
"""

from __future__ import annotations

import argparse
import struct

import numpy as np

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


ORDER_DTYPE = np.dtype(
    [
        ("msg_len", "<u2"),
        ("stream_id", "<u2"),
        ("seq_no", "<u4"),
        ("msg_type", "S1"),
        ("exch_ts", "<u8"),
        ("order_id", "<u8"),
        ("token", "<u4"),
        ("order_type", "S1"),
        ("price", "<u4"),
        ("quantity", "<u4"),
        ("local_ts", "<u8"),
        ("flags", "u1"),
    ]
)
TRADE_DTYPE = np.dtype(
    [
        ("msg_len", "<u2"),
        ("stream_id", "<u2"),
        ("seq_no", "<u4"),
        ("msg_type", "S1"),
        ("exch_ts", "<u8"),
        ("buy_order_id", "<u8"),
        ("sell_order_id", "<u8"),
        ("token", "<i4"),
        ("trade_price", "<i4"),
        ("trade_quantity", "<i4"),
        ("local_ts", "<u8"),
        ("flags", "u1"),
    ]
)
assert ORDER_DTYPE.itemsize == 47 and TRADE_DTYPE.itemsize == 54

NEW, MODIFY, CANCEL, TRADE_EVENT = 0, 1, 2, 3


def _choice_counts(rng, n, probabilities):
    """n counts drawn from {0, 1, ...} with the given probabilities."""
    return np.searchsorted(np.cumsum(probabilities), rng.random(n), side="right").astype(np.int64)


def simulate(messages: int, tokens: int, seed: int = 1, first_token: int = 1001) -> dict:
    """Simulates a session and returns its events in time order, as arrays.

    Every order lives through a new-order message, then possibly modifies
    (price and quantity drift, staying on its side of the token's reference
    price), trades (partial, or filling what remains) and a cancel. Its
    events are spread over the session with long, random gaps, so the orders
    that later messages name are spread over all the orders resting at the
    time, as in a real book; orders whose next event falls after the end of
    the session rest to the end. Trades name a resting order and an incoming
    one that never rests.
    """
    rng = np.random.default_rng(seed)
    n = int(messages / 1.8) + 64
    while True:
        ev = _events(rng, n, tokens, first_token)
        if len(ev["kind"]) >= messages:
            break
        n = int(n * 1.3)
    return {k: v[:messages] for k, v in ev.items()}


def _events(rng, n, tokens, first_token):
    mids = rng.integers(2_000 // 5, 400_000 // 5, tokens) * 5
    tok_index = (rng.pareto(1.2, n) + 1).astype(np.int64) % tokens
    token = first_token + tok_index
    mid = mids[tok_index]
    sell = rng.random(n) < 0.5
    offset = (rng.exponential(40, n)).astype(np.int64) * 5 + 5
    price = np.where(sell, mid + offset, mid - offset)
    qty = rng.integers(1, 60, n) * 25
    order_id = 10_000_000_000 + np.arange(1, n + 1, dtype=np.int64)
    created = np.sort(rng.random(n))
    # Mean gap between two events of one order, as a share of the session.
    gap = 0.15

    kinds, times, owners, prices, qtys, traded = [], [], [], [], [], []

    def emit(kind, idx, t, p, q, tq):
        kinds.append(np.full(len(idx), kind, np.int8))
        owners.append(idx)
        times.append(t)
        prices.append(p)
        qtys.append(q)
        traded.append(tq)

    everyone = np.arange(n)
    emit(NEW, everyone, created, price, qty, np.zeros(n, np.int64))
    t = created.copy()
    price = price.copy()
    qty = qty.copy()

    n_mod = _choice_counts(rng, n, [0.7, 0.2, 0.07, 0.03])
    for k in range(3):
        idx = np.flatnonzero(n_mod > k)
        t[idx] += rng.exponential(gap, len(idx))
        step = rng.choice(np.array([-10, -5, 5, 10]), len(idx))
        p = price[idx] + step
        lo_hi = mid[idx]
        p = np.where(sell[idx], np.maximum(p, lo_hi + 5), np.minimum(p, lo_hi - 5))
        q = np.maximum(25, qty[idx] + rng.choice(np.array([-25, 25]), len(idx)))
        price[idx], qty[idx] = p, q
        emit(MODIFY, idx, t[idx].copy(), p, q, np.zeros(len(idx), np.int64))

    n_trade = _choice_counts(rng, n, [0.75, 0.18, 0.07])
    filled = (n_trade > 0) & (rng.random(n) < 0.5)
    for k in range(2):
        idx = np.flatnonzero(n_trade > k)
        t[idx] += rng.exponential(gap, len(idx))
        last = (n_trade[idx] == k + 1) & filled[idx]
        want = rng.integers(1, 40, len(idx)) * 25
        remaining = qty[idx]
        # A partial trade leaves at least 25 resting; the last trade of a
        # filled order takes all that remains.
        tq = np.where(last, remaining, np.minimum(want, remaining - 25))
        tq = np.where(tq <= 0, remaining, tq)
        qty[idx] = remaining - tq
        emit(TRADE_EVENT, idx, t[idx].copy(), price[idx], qty[idx], tq)
    gone = qty == 0

    cancel = ~gone & (rng.random(n) < 0.7)
    idx = np.flatnonzero(cancel)
    t[idx] += rng.exponential(gap, len(idx))
    emit(CANCEL, idx, t[idx].copy(), price[idx], qty[idx], np.zeros(len(idx), np.int64))

    kind = np.concatenate(kinds)
    time = np.concatenate(times)
    owner = np.concatenate(owners)
    # A trade after a fill cannot happen, nor anything after a full fill;
    # both are excluded above. Events after the session end are dropped.
    keep = time < 1.0
    order = np.argsort(time[keep], kind="stable")
    kind = kind[keep][order]
    owner = owner[keep][order]
    ev_price = np.concatenate(prices)[keep][order]
    ev_qty = np.concatenate(qtys)[keep][order]
    ev_traded = np.concatenate(traded)[keep][order]
    return {
        "kind": kind,
        "order_id": order_id[owner],
        "token": token[owner],
        "sell": sell[owner],
        "price": ev_price,
        "quantity": ev_qty,
        "traded": ev_traded,
    }


def generate(messages: int, tokens: int, seed: int = 1, stream_id: int = 1):
    """Yields the records that write_feed writes, one bytes object each."""
    for block in _blocks(messages, tokens, seed, stream_id):
        p = 0
        while p < len(block):
            kind = block[p + 8 : p + 9]
            size = 47 if kind in (b"N", b"M", b"X") else 54 if kind == b"T" else 13
            yield block[p : p + size]
            p += size


def write_feed(path: str, messages: int, tokens: int, seed: int = 1, stream_id: int = 1) -> None:
    """Writes a simulated session of `messages` order and trade records over
    `tokens` tokens, with about one record of another type per thousand,
    every record stamped with `stream_id`."""
    with open(path, "wb") as out:
        for block in _blocks(messages, tokens, seed, stream_id):
            out.write(block)


def _blocks(messages, tokens, seed, stream_id):
    ev = simulate(messages, tokens, seed)
    rng = np.random.default_rng(seed + 1_000_003)
    m = len(ev["kind"])
    other_before = rng.random(m) < 0.001
    seq = np.arange(1, m + 1, dtype=np.int64) + np.cumsum(other_before)
    ts = 1_767_000_000_000_000_000 + np.cumsum(rng.integers(1_000, 50_000, m)).astype(np.uint64)
    aggressor = 20_000_000_000 + np.arange(m, dtype=np.int64)
    other = other_record("Z", 9 + 4, b"\0" * 4, stream_id=stream_id)
    for lo in range(0, m, 250_000):
        hi = min(lo + 250_000, m)
        yield _chunk(ev, lo, hi, other_before, seq, ts, aggressor, other, stream_id)


def _chunk(ev, lo, hi, other_before, seq, ts, aggressor, other, stream_id) -> bytes:
    kind = ev["kind"][lo:hi]
    is_trade = kind == TRADE_EVENT
    extra = other_before[lo:hi]
    size = np.where(is_trade, 54, 47) + np.where(extra, len(other), 0)
    end = np.cumsum(size)
    start = end - np.where(is_trade, 54, 47)
    buf = np.zeros(int(end[-1]) if len(end) else 0, np.uint8)

    def place(rows, at, width):
        if len(at):
            buf[at[:, None] + np.arange(width)] = rows.view(np.uint8).reshape(-1, width)

    o = np.flatnonzero(~is_trade)
    rec = np.zeros(len(o), ORDER_DTYPE)
    rec["msg_len"] = 38
    rec["stream_id"] = stream_id
    rec["seq_no"] = seq[lo:hi][o]
    rec["msg_type"] = np.array([b"N", b"M", b"X"])[kind[o]]
    rec["exch_ts"] = ts[lo:hi][o]
    rec["local_ts"] = ts[lo:hi][o] + 700
    rec["order_id"] = ev["order_id"][lo:hi][o]
    rec["token"] = ev["token"][lo:hi][o]
    rec["order_type"] = np.where(ev["sell"][lo:hi][o], b"S", b"B")
    rec["price"] = ev["price"][lo:hi][o]
    rec["quantity"] = ev["quantity"][lo:hi][o]
    place(rec, start[o], 47)

    t = np.flatnonzero(is_trade)
    rec = np.zeros(len(t), TRADE_DTYPE)
    rec["msg_len"] = 45
    rec["stream_id"] = stream_id
    rec["seq_no"] = seq[lo:hi][t]
    rec["msg_type"] = b"T"
    rec["exch_ts"] = ts[lo:hi][t]
    rec["local_ts"] = ts[lo:hi][t] + 700
    resting = ev["order_id"][lo:hi][t]
    incoming = aggressor[lo:hi][t]
    sell = ev["sell"][lo:hi][t]
    rec["buy_order_id"] = np.where(sell, incoming, resting)
    rec["sell_order_id"] = np.where(sell, resting, incoming)
    rec["token"] = ev["token"][lo:hi][t]
    rec["trade_price"] = ev["price"][lo:hi][t]
    rec["trade_quantity"] = ev["traded"][lo:hi][t]
    place(rec, start[t], 54)

    z = np.flatnonzero(extra)
    rows = np.frombuffer(other * len(z), np.uint8).reshape(-1, len(other))
    if len(z):
        zrec = rows.copy()
        # Each other record carries the sequence number before its message.
        zrec[:, 4:8] = (seq[lo:hi][z] - 1).astype("<u4").view(np.uint8).reshape(-1, 4)
        buf[(start[z] - len(other))[:, None] + np.arange(len(other))] = zrec
    return buf.tobytes()


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
