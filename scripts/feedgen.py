"""Builds feed records and generates realistic feed files.

A feed file is a plain sequence of little-endian records: 47-byte order
records (types N, M, X) and 54-byte trade records (type T), each opening with
a 9-byte header (msg_len, stream_id, seq_no, msg_type).

Two simulations, both with books that look like real, uncrossed ones:

- "market" (the command's default, and what the benchmark report's busy
  options file uses): every token's book reaches a steady state in which
  cancels and fills balance new orders; trades execute against the resting
  orders at the touch; reference prices drift; books span hundreds of
  price levels; exch_ts covers a six-hour session. About 7 seconds per
  million messages (market_session).
- "session" (what the tests' files use): order lifecycles drawn at once
  with numpy around a fixed reference price per token, about 3 seconds per
  million messages (simulate).

    python scripts/feedgen.py OUT.bin --messages 20000000 --tokens 2000
"""

from __future__ import annotations

import argparse
import heapq
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


def generate(messages: int, tokens: int, seed: int = 1, stream_id: int = 1, mode: str = "session"):
    """Yields the records that write_feed writes, one bytes object each."""
    for block in _blocks(messages, tokens, seed, stream_id, mode):
        p = 0
        while p < len(block):
            kind = block[p + 8 : p + 9]
            size = 47 if kind in (b"N", b"M", b"X") else 54 if kind == b"T" else 13
            yield block[p : p + size]
            p += size


def write_feed(
    path: str,
    messages: int,
    tokens: int,
    seed: int = 1,
    stream_id: int = 1,
    mode: str = "session",
) -> None:
    """Writes a simulated session of `messages` order and trade records over
    `tokens` tokens, with about one record of another type per thousand,
    every record stamped with `stream_id`. `mode` picks the simulation:
    "session" (order lifecycles drawn at once, the files the tests use) or
    "market" (books in a steady state that trade at the touch, see
    market_session)."""
    if mode not in MODES:
        raise ValueError(f"unknown mode {mode!r}; expected one of {', '.join(MODES)}")
    with open(path, "wb") as out:
        for block in _blocks(messages, tokens, seed, stream_id, mode):
            out.write(block)


def _blocks(messages, tokens, seed, stream_id, mode="session"):
    if mode == "market":
        yield from _market_blocks(messages, tokens, seed, stream_id)
        return
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


MODES = ("market", "session")
# The market mode's session: 09:15 to 15:15 India time on 29 December 2025,
# in nanoseconds since the epoch (UTC).
SESSION_START_NS = 1_766_979_900 * 1_000_000_000
SESSION_NS = 6 * 3600 * 1_000_000_000
TICK = 5
LOT = 25


class _Book:
    """One token's book as the market simulation keeps it: FIFO queues of
    order ids per price, a heap of prices per side (stale entries are
    skipped when read), every resting order's [price, quantity, is_sell],
    and a list of resting ids for picking one at random."""

    __slots__ = ("center", "target", "levels", "heaps", "orders", "ids", "where")

    def __init__(self, center: int, target: int) -> None:
        self.center = center
        self.target = target
        self.levels = ({}, {})  # bids, asks: price -> list of order ids
        self.heaps = ([], [])  # bids hold -price so both heaps pop the touch
        self.orders = {}
        self.ids = []
        self.where = {}

    def touch(self, sell: bool) -> int | None:
        """The best price on a side, or None when the side is empty."""
        heap, levels = self.heaps[sell], self.levels[sell]
        while heap:
            price = heap[0] if sell else -heap[0]
            if price in levels:
                return price
            heapq.heappop(heap)
        return None

    def add(self, oid: int, price: int, qty: int, sell: bool) -> None:
        level = self.levels[sell].get(price)
        if level is None:
            self.levels[sell][price] = [oid]
            heapq.heappush(self.heaps[sell], price if sell else -price)
        else:
            level.append(oid)
        self.orders[oid] = [price, qty, sell]
        self.where[oid] = len(self.ids)
        self.ids.append(oid)

    def remove(self, oid: int) -> None:
        price, _, sell = self.orders.pop(oid)
        level = self.levels[sell][price]
        level.remove(oid)
        if not level:
            del self.levels[sell][price]
        i = self.where.pop(oid)
        last = self.ids.pop()
        if last != oid:
            self.ids[i] = last
            self.where[last] = i


def market_session(messages: int, tokens: int, seed: int = 1, first_token: int = 1001):
    """Simulates a market and yields its messages in blocks, as dicts of
    arrays (the keys of simulate's result plus "aggressor", the incoming id
    of each trade).

    Each token's book has a target size (a few hundred resting orders for
    the busiest tokens, fewer for the quiet ones) and reaches a steady
    state around it: a passive new order is drawn less often and a cancel
    more often the fuller the book is. Passive orders rest a geometric
    number of ticks behind the touch of their side (about fifty on average,
    up to five hundred, so a book spans hundreds of price levels) and
    never cross the other side. An incoming aggressor trades against the
    resting orders at the touch of the other side, oldest first, one trade
    message per resting order, naming the resting order's id on its side;
    what it cannot fill within its limit either rests as a new order under
    its own id at the last traded price or is dropped. Each token's
    reference price takes a random walk, so prices drift over the session.
    Modifies change a random resting order's quantity and sometimes move it
    by a few ticks (to the back of its new level); cancels take a random
    resting order out. Tokens are busy in proportion to 1/(rank + 8).
    """
    rng = np.random.default_rng(seed)
    weights = 1.0 / (np.arange(tokens) + 8.0)
    targets = (150 + 1500 * weights / weights[0]).astype(np.int64)
    order = rng.permutation(tokens)
    weights, targets = weights[order], targets[order]
    weights /= weights.sum()
    centers = rng.integers(2_000 // TICK, 400_000 // TICK, tokens) * TICK
    books = [_Book(int(c), int(t)) for c, t in zip(centers, targets, strict=True)]
    next_id = 10_000_000_000
    out = {k: [] for k in ("kind", "token", "order_id", "sell", "price", "quantity", "aggressor")}
    emitted = 0
    block = 1 << 16
    while emitted < messages:
        tok = rng.choice(tokens, block, p=weights).tolist()
        u = rng.random(block).tolist()
        v = rng.random(block).tolist()
        side = (rng.random(block) < 0.5).tolist()
        depth = np.minimum(rng.geometric(0.02, block) - 1, 500).tolist()
        lots = rng.integers(1, 41, block).tolist()
        walk = rng.choice(np.array([-TICK, 0, 0, 0, 0, 0, 0, 0, 0, TICK]), block).tolist()
        kind, token, oids, sells, prices, qtys, aggr = (out[k] for k in out)
        for i in range(block):
            k = tok[i]
            book = books[k]
            book.center = max(TICK * 40, book.center + walk[i])
            n = len(book.ids)
            ui = u[i]
            sell = side[i]
            if ui < 0.04 and n:
                # An aggressor on side `sell` trades against the other side.
                touch = book.touch(not sell)
                if touch is None:
                    ui = 0.5  # nothing to trade against: place a passive order
                else:
                    want = lots[i] * LOT
                    limit = (
                        touch + TICK * depth[i] // 8 if not sell else touch - TICK * depth[i] // 8
                    )
                    aid = next_id
                    next_id += 1
                    levels = book.levels[not sell]
                    last = touch
                    while want > 0:
                        price = book.touch(not sell)
                        if price is None or (price > limit if not sell else price < limit):
                            break
                        rid = levels[price][0]
                        resting = book.orders[rid]
                        fill = min(want, resting[1])
                        kind.append(TRADE_EVENT)
                        token.append(k)
                        oids.append(rid)
                        sells.append(not sell)
                        prices.append(price)
                        qtys.append(fill)
                        aggr.append(aid)
                        want -= fill
                        last = price
                        if fill == resting[1]:
                            book.remove(rid)
                        else:
                            resting[1] -= fill
                    if want > 0 and v[i] < 0.5 and book.touch(not sell) != last:
                        book.add(aid, last, want, sell)
                        kind.append(NEW)
                        token.append(k)
                        oids.append(aid)
                        sells.append(sell)
                        prices.append(last)
                        qtys.append(want)
                        aggr.append(0)
                    book.center = last
                    continue
            if ui < 0.16 and n:
                # Modify a random resting order.
                rid = book.ids[int(v[i] * n)]
                resting = book.orders[rid]
                price, qty, rsell = resting
                qty = max(LOT, qty + (LOT if lots[i] & 1 else -LOT))
                if lots[i] < 12:
                    # Move it by one to three ticks, never across the other side.
                    step = TICK * (1 + lots[i] % 3) * (1 if lots[i] & 2 else -1)
                    other = book.touch(not rsell)
                    price += step
                    if price <= 0 or (
                        other is not None and (price <= other if rsell else price >= other)
                    ):
                        price = resting[0]
                if price == resting[0]:
                    resting[1] = qty
                else:
                    book.remove(rid)
                    book.add(rid, price, qty, rsell)
                kind.append(MODIFY)
                token.append(k)
                oids.append(rid)
                sells.append(rsell)
                prices.append(price)
                qtys.append(qty)
                aggr.append(0)
                continue
            if n and (ui - 0.16) * (book.target + n) < 0.84 * n:
                # Cancel a random resting order: likelier the fuller the book.
                rid = book.ids[int(v[i] * n)]
                price, qty, rsell = book.orders[rid]
                book.remove(rid)
                kind.append(CANCEL)
                token.append(k)
                oids.append(rid)
                sells.append(rsell)
                prices.append(price)
                qtys.append(qty)
                aggr.append(0)
                continue
            # A passive new order behind the touch of its side.
            own = book.touch(sell)
            other = book.touch(not sell)
            if sell:
                base = book.center + TICK if own is None else min(own, book.center + TICK)
                price = base + TICK * depth[i]
                if other is not None and price <= other:
                    price = other + TICK
            else:
                base = book.center - TICK if own is None else max(own, book.center - TICK)
                price = base - TICK * depth[i]
                if other is not None and price >= other:
                    price = other - TICK
                if price <= 0:
                    price = TICK
            oid = next_id
            next_id += 1
            qty = lots[i] * LOT
            book.add(oid, price, qty, sell)
            kind.append(NEW)
            token.append(k)
            oids.append(oid)
            sells.append(sell)
            prices.append(price)
            qtys.append(qty)
            aggr.append(0)
        while len(kind) >= block or (len(kind) and emitted + len(kind) >= messages):
            take = min(block, len(kind), messages - emitted)
            yield {
                "kind": np.array(kind[:take], np.int8),
                "token": first_token + np.array(token[:take], np.int64),
                "order_id": np.array(oids[:take], np.int64),
                "sell": np.array(sells[:take], bool),
                "price": np.array(prices[:take], np.int64),
                "quantity": np.array(qtys[:take], np.int64),
                "traded": np.array(qtys[:take], np.int64),
                "aggressor": np.array(aggr[:take], np.int64),
            }
            emitted += take
            for col in out.values():
                del col[:take]
            if emitted >= messages:
                return


def _market_blocks(messages, tokens, seed, stream_id):
    rng = np.random.default_rng(seed + 1_000_003)
    other = other_record("Z", 9 + 4, b"\0" * 4, stream_id=stream_id)
    done = 0
    extra = 0
    for ev in market_session(messages, tokens, seed):
        m = len(ev["kind"])
        other_before = rng.random(m) < 0.001
        seq = done + np.arange(1, m + 1, dtype=np.int64) + extra + np.cumsum(other_before)
        extra += int(other_before.sum())
        # Spread evenly over the session, each message at a random point of
        # its own slot, so that stamps never run backwards.
        slot = (done + np.arange(m) + rng.random(m)) * (SESSION_NS / messages)
        ts = (SESSION_START_NS + slot.astype(np.int64)).astype(np.uint64)
        yield _chunk(ev, 0, m, other_before, seq, ts, ev["aggressor"], other, stream_id)
        done += m


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        epilog="example: python scripts/feedgen.py day.bin --messages 20000000 --tokens 2000",
    )
    parser.add_argument("out", help="the feed file to write (replaced if it exists)")
    parser.add_argument(
        "--messages",
        type=int,
        default=2_000,
        help="order and trade messages to write; about one record of another type "
        "per thousand comes on top (default: %(default)s)",
    )
    parser.add_argument(
        "--tokens",
        type=int,
        default=10,
        help="instrument tokens, numbered from 1001 up (default: %(default)s)",
    )
    parser.add_argument(
        "--seed",
        type=int,
        default=1,
        help="seed of the random draws; the same arguments give the same file "
        "(default: %(default)s)",
    )
    parser.add_argument(
        "--stream-id",
        type=int,
        default=1,
        help="stream id stamped on every record (default: %(default)s)",
    )
    parser.add_argument(
        "--mode",
        choices=MODES,
        default="market",
        help="market: steady-state books trading at the touch, drifting prices, "
        "a six-hour session; session: order lifecycles drawn at once around fixed "
        "reference prices, as the tests use (default: %(default)s)",
    )
    args = parser.parse_args(argv)
    if args.messages < 0 or args.tokens < 1:
        parser.error("--messages must be at least 0 and --tokens at least 1")
    write_feed(args.out, args.messages, args.tokens, args.seed, args.stream_id, args.mode)


if __name__ == "__main__":
    main()
