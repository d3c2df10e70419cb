"""Depth reads after every message, on books whose best levels keep moving
across pages of prices: the books find each side's best page and the pages
after it without searching, and must still report exactly the levels that
the resting orders add up to."""

import random

import feedgen
import pyarrow as pa
import pytest
import tidemark
from reference_book import RefBookSet

import tidemark_tools


def churn_messages(rng, n, *, tokens, spread, step):
    """Orders over `spread` price units around 100,000 in steps of `step`,
    so levels open and close on many pages, with the best levels wandering
    as orders come and go; a few ids are reused and traded."""
    live = []
    out = []
    next_id = 1
    for _ in range(n):
        r = rng.random()
        token = rng.choice(tokens)
        if r < 0.5 or not live:
            price = 100_000 + rng.randrange(-spread, spread + 1, step)
            oid = next_id if rng.random() < 0.9 else rng.randint(1, next_id)
            next_id += 1
            side = "S" if price > 100_000 or (price == 100_000 and rng.random() < 0.5) else "B"
            out.append(("N", oid, token, side, price, rng.choice([1, 5, 100])))
            live.append((oid, token))
        elif r < 0.65:
            oid, token = rng.choice(live)
            price = 100_000 + rng.randrange(-spread, spread + 1, step)
            side = "S" if price > 100_000 else "B"
            out.append(("M", oid, token, side, price, rng.choice([0, 3, 50])))
        elif r < 0.9:
            oid, token = live.pop(rng.randrange(len(live)))
            out.append(("X", oid, token, "B", 0, 0))
        else:
            oid, token = rng.choice(live)
            out.append(("T", oid, token, rng.choice([1, 40, 500])))
    return out


def as_dict(m):
    if m[0] == "T":
        return {"msg_type": "T", "buy_order_id": m[1], "sell_order_id": 0, "token": m[2],
                "trade_quantity": m[3]}  # fmt: skip
    t, oid, token, side, price, qty = m
    return {"msg_type": t, "order_id": oid, "token": token, "order_type": side, "price": price,
            "quantity": qty}  # fmt: skip


def as_record(m, seq):
    if m[0] == "T":
        return feedgen.trade_record(buy_order_id=m[1], sell_order_id=0, token=m[2],
                                    trade_quantity=m[3], seq_no=seq, exch_ts=seq)  # fmt: skip
    t, oid, token, side, price, qty = m
    return feedgen.order_record(t, order_id=oid, token=token, order_type=side, price=price,
                                quantity=qty, seq_no=seq, exch_ts=seq)  # fmt: skip


CASES = [
    # (seed, messages, tokens, spread, step): dense levels on a few pages,
    # sparse ones over many pages and groups of pages, several books.
    (1, 3_000, (7,), 200, 1),
    (2, 3_000, (7,), 5_000, 5),
    (3, 3_000, (7, 8, 9), 40_000, 37),
    (4, 1_500, (7,), 3, 1),
    # Some sixty levels a side, most messages below the best few and many
    # at the last level a row shows.
    (5, 4_000, (7, 8), 60, 1),
]


@pytest.mark.parametrize("seed,n,tokens,spread,step", CASES)
def test_depth_after_every_message_equals_the_resting_orders(seed, n, tokens, spread, step):
    rng = random.Random(seed)
    msgs = churn_messages(rng, n, tokens=tokens, spread=spread, step=step)
    ref, b = RefBookSet(), tidemark.OrderbookBuilder()
    for m in msgs:
        d = as_dict(m)
        assert b.orderbook_add_msg(d) is ref.apply(d)
        token = m[2]
        for levels in (1, 2, 5):
            assert b.get_snapshot_row(token, levels) == ref.snapshot_row(token, levels), m
    for token in tokens:
        assert b.get_full_depth(token) == ref.full_depth(token)
        bids, asks = ref.books[token].depth()
        # Up to 64 levels are written in place, more grow a list as they come.
        for levels in (63, 64, 65):
            snap = b.get_snapshot(token, levels)
            assert (snap["bids"], snap["asks"]) == (bids[:levels], asks[:levels])


@pytest.mark.parametrize(
    "levels,threads", [(1, 1), (2, 1), (3, 1), (10, 1), (11, 1), (64, 1), (65, 1), (5, 2), (10, 3)]
)
@pytest.mark.parametrize("seed,n,tokens,spread,step", CASES)
def test_series_rows_after_every_message_equal_the_resting_orders(
    feed_file, seed, n, tokens, spread, step, levels, threads
):
    # The bulk path reads depth while it fetches the next messages' levels
    # ahead, into room kept from the row before, and copies a side's levels
    # from the row before while no change reached them; its rows must be
    # those of the plain rules.
    rng = random.Random(seed)
    msgs = churn_messages(rng, n, tokens=tokens, spread=spread, step=step)
    path = feed_file(*(as_record(m, i + 1) for i, m in enumerate(msgs)))
    table = pa.table(tidemark_tools.book_series(path, levels=levels, threads=threads))
    ref = RefBookSet()
    expected = []
    for m in msgs:
        if not ref.apply(as_dict(m)):
            continue
        bids, asks = ref.books[m[2]].depth() if m[2] in ref.books else ([], [])
        row = [(bids[0][0] + asks[0][0]) // 2 if bids and asks else 0]
        for i in range(levels):
            row += list(bids[i]) if i < len(bids) else [0, 0]
            row += list(asks[i]) if i < len(asks) else [0, 0]
        expected.append(row)
    names = ["mid_price"] + [f"{side}_{what}_{i}" for i in range(levels)
                             for side in ("bid", "ask") for what in ("price", "qty")]  # fmt: skip
    got = [list(r) for r in zip(*(table.column(c).to_pylist() for c in names), strict=True)]
    assert got == expected
