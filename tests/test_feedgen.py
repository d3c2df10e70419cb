"""The market simulation of scripts/feedgen.py: its files must look like a
market, since the benchmarks of the book and the series rely on that."""

import feedgen
import pyarrow as pa
import pytest

import tidemark_tools


def _rows(path):
    return pa.table(tidemark_tools.scan_feed(path)).to_pylist()


@pytest.mark.parametrize(
    "messages,tokens,seed,steady",
    [(30_000, 3, 1, True), (20_000, 40, 2, False), (5_000, 1, 3, True)],
)
def test_market_trades_at_the_touch_and_books_never_cross(tmp_path, messages, tokens, seed, steady):
    path = str(tmp_path / "market.bin")
    feedgen.write_feed(path, messages, tokens, seed, mode="market")
    rows = _rows(path)
    assert len(rows) == messages
    books = {}  # token -> (orders: id -> [price, qty, sell], levels: two dicts)
    last_ts = 0
    kinds = set()
    for r in rows:
        kinds.add(r["msg_type"])
        assert r["exch_ts"] >= last_ts
        last_ts = r["exch_ts"]
        orders, levels = books.setdefault(r["token"], ({}, ({}, {})))
        if r["msg_type"] == "T":
            buy, sell = r["buy_order_id"], r["sell_order_id"]
            # Exactly one side names a resting order, the oldest at the touch.
            resting = [i for i in (buy, sell) if i in orders]
            assert len(resting) == 1
            rid = resting[0]
            price, qty, is_sell = orders[rid]
            assert is_sell == (rid == sell)
            side = levels[is_sell]
            assert price == (min(side) if is_sell else max(side))
            assert side[price][0] == rid
            assert r["trade_price"] == price and 0 < r["trade_quantity"] <= qty
            orders[rid][1] -= r["trade_quantity"]
            if orders[rid][1] == 0:
                del orders[rid]
                side[price].remove(rid)
                if not side[price]:
                    del side[price]
            continue
        oid = r["order_id"]
        if r["msg_type"] == "M" and orders[oid][0] == r["price"]:
            orders[oid][1] = r["quantity"]  # same price: keeps its place in the queue
            continue
        if r["msg_type"] in "MX":
            price, _, is_sell = orders.pop(oid)
            levels[is_sell][price].remove(oid)
            if not levels[is_sell][price]:
                del levels[is_sell][price]
        else:
            assert oid not in orders
        if r["msg_type"] in "NM":
            assert r["quantity"] > 0 and r["price"] > 0
            is_sell = r["order_type"] == "S"
            orders[oid] = [r["price"], r["quantity"], is_sell]
            levels[is_sell].setdefault(r["price"], []).append(oid)
        bids, asks = levels
        if bids and asks:
            assert max(bids) < min(asks)
    assert kinds == {"N", "M", "X", "T"}
    # Steady state (once a book has had many more messages than it holds):
    # a bounded number of resting orders, not a growing pile, over many
    # price levels.
    resting = sum(len(orders) for orders, _ in books.values())
    assert resting < messages / 4 if steady else resting < messages * 0.7
    widest = max(len(b) + len(a) for _, (b, a) in books.values())
    assert widest >= 50


def test_market_file_is_reproducible_and_session_mode_unchanged(tmp_path):
    a, b, c = (str(tmp_path / n) for n in "abc")
    feedgen.write_feed(a, 3_000, 5, 4, mode="market")
    feedgen.write_feed(b, 3_000, 5, 4, mode="market")
    feedgen.write_feed(c, 3_000, 5, 4)
    assert open(a, "rb").read() == open(b, "rb").read() != open(c, "rb").read()
    assert b"".join(feedgen.generate(3_000, 5, 4, mode="market")) == open(a, "rb").read()
    with pytest.raises(ValueError, match="unknown mode"):
        feedgen.write_feed(a, 10, 1, mode="quiet")
