"""Order book rules, observed through OrderbookBuilder."""

import random

import pytest
import tidemark
from reference_book import RefBookSet

U32 = 2**32 - 1


def order(t, oid, price, qty, side="B", token=10):
    return {
        "msg_type": t,
        "order_id": oid,
        "token": token,
        "order_type": side,
        "price": price,
        "quantity": qty,
    }


def trade(buy, sell, qty, token=10):
    return {
        "msg_type": "T",
        "buy_order_id": buy,
        "sell_order_id": sell,
        "token": token,
        "trade_quantity": qty,
    }


def book_of(*msgs, token=10):
    b = tidemark.OrderbookBuilder()
    for m in msgs:
        b.orderbook_add_msg(m)
    return b, b.get_full_depth(token)


def test_levels_sum_resting_orders():
    b, d = book_of(order("N", 1, 50_000, 100), order("N", 2, 50_000, 50))
    assert d["bids"] == [(50_000, 150)]
    b.orderbook_add_msg(order("X", 1, 0, 0, side="Z"))
    assert b.get_full_depth(10)["bids"] == [(50_000, 50)]


@pytest.mark.parametrize(
    "modify, bids, asks",
    [
        (order("M", 1, 50_010, 80), [(50_010, 80)], []),
        (order("M", 1, 50_010, 80, side="S"), [], [(50_010, 80)]),
        (order("M", 1, 50_000, 0), [], []),
        (order("M", 9, 49_990, 5), [(50_000, 100), (49_990, 5)], []),
    ],
)
def test_modify(modify, bids, asks):
    _, d = book_of(order("N", 1, 50_000, 100), modify)
    assert (d["bids"], d["asks"]) == (bids, asks)


@pytest.mark.parametrize(
    "qty, bids, asks",
    [
        (30, [(50_000, 70)], [(50_010, 10)]),
        (100, [], []),
        (500, [], []),
        (-5, [(50_000, 100)], [(50_010, 40)]),
    ],
)
def test_trades_reduce_both_orders(qty, bids, asks):
    b, d = book_of(
        order("N", 1, 50_000, 100), order("N", 2, 50_010, 40, side="S"), trade(1, 2, qty)
    )
    assert (d["bids"], d["asks"]) == (bids, asks)


def test_trade_larger_than_the_order_takes_only_its_quantity():
    _, d = book_of(order("N", 1, 50_000, 100), order("N", 3, 50_000, 20), trade(1, 77, 150))
    assert d["bids"] == [(50_000, 20)]


def test_side_rule_and_book_creation():
    b = tidemark.OrderbookBuilder()
    assert b.orderbook_add_msg(order("N", 1, 100, 5, side="Z")) is False
    assert b.orderbook_add_msg(order("M", 1, 100, 5, side="Z")) is False
    assert b.get_active_tokens() == []
    assert b.orderbook_add_msg(order("X", 1, 100, 5, side="Z")) is True
    assert b.orderbook_add_msg(trade(1, 2, 5)) is True
    assert b.get_active_tokens() == []
    # A new order of quantity 0 still creates the (empty) book.
    assert b.orderbook_add_msg(order("N", 1, 100, 0)) is True
    assert b.get_active_tokens() == [10]
    assert b.get_snapshot(10)["found"] is True


def test_trade_with_token_minus_one_acts_on_token_u32_max():
    b, _ = book_of(order("N", 1, 500, 10, token=U32), trade(1, 2, 4, token=-1), token=U32)
    assert b.get_full_depth(U32)["bids"] == [(500, 6)]


@pytest.mark.parametrize(
    "first_price, rests",
    [(50_000, False), (10_001, False), (10_000, True), (5_000, True), (0, True)],
)
def test_price_zero_rests_only_in_books_whose_window_starts_at_zero(first_price, rests):
    _, d = book_of(order("N", 1, first_price, 1, side="S"), order("N", 2, 0, 7))
    assert d["bids"] == ([(0, 7)] if rests else [])


def test_modify_to_an_unreachable_price_removes_the_order():
    _, d = book_of(order("N", 1, 50_000, 100), order("M", 1, 0, 100))
    assert d["bids"] == [] and d["found"] is True


@pytest.mark.parametrize("far", [1, 30_000, 30_001, 70_000, 61_234, 3_435_973_833, U32])
def test_widening_keeps_levels_at_their_prices(far):
    _, d = book_of(
        order("N", 1, 50_000, 100),
        order("N", 2, 49_999, 3, side="S"),
        order("N", 3, far, 9, side="S"),
    )
    assert d["bids"] == [(50_000, 100)]
    assert sorted(d["asks"]) == sorted([(49_999, 3), (far, 9)])


def test_prices_at_the_top_of_the_range():
    # Books created near the top, and upward widenings beyond what 32 bits
    # hold, keep every price of the 32-bit range.
    _, d = book_of(order("N", 1, U32, 5), order("N", 2, U32 - 3, 6), order("N", 3, 1, 7))
    assert d["bids"] == [(U32, 5), (U32 - 3, 6), (1, 7)]
    _, d = book_of(order("N", 1, 3, 5), order("N", 2, U32, 6, side="S"))
    assert d["asks"] == [(U32, 6)] and d["spread"] == U32 - 3


@pytest.mark.parametrize(
    "second, bids, asks",
    [
        # Replaced: the old order's quantity leaves its level.
        (order("N", 1, 50_005, 30), [(50_005, 30)], []),
        (order("N", 1, 50_000, 30), [(50_000, 30)], []),
        (order("N", 1, 50_005, 30, side="S"), [], [(50_005, 30)]),
        # Not stored, so nothing is replaced: quantity 0, a price that
        # cannot rest, a side that is neither B nor S.
        (order("N", 1, 50_005, 0), [(50_000, 100)], []),
        (order("N", 1, 0, 30), [(50_000, 100)], []),
        (order("N", 1, 50_005, 30, side="Z"), [(50_000, 100)], []),
        # The same id in another book is another order.
        (order("N", 1, 50_005, 30, token=11), [(50_000, 100)], []),
    ],
)
def test_new_order_reusing_a_resting_id(second, bids, asks):
    b, d = book_of(order("N", 1, 50_000, 100), second)
    assert (d["bids"], d["asks"]) == (bids, asks)
    b.orderbook_add_msg(order("X", 1, 0, 0))
    assert b.get_full_depth(10)["bids"] == []
    assert b.get_full_depth(10)["asks"] == []


def levels_of_resting_orders(ref, token):
    """The levels that the model's resting orders add up to, as full depth
    reports them: every level is the sum of its orders."""
    book = ref.books.get(token)
    sides = ({}, {})
    for price, qty, is_sell in book.orders.values() if book else ():
        sides[is_sell][price] = sides[is_sell].get(price, 0) + qty
    return sorted(sides[0].items(), reverse=True), sorted(sides[1].items())


@pytest.mark.parametrize("seed", range(6))
def test_every_level_is_the_sum_of_its_orders_after_every_message(seed):
    # Few ids, so new orders often reuse an id that still rests, as a feed
    # re-sent after a gap does.
    rng = random.Random(seed)
    msgs = random_messages(rng, 400, tokens=(1, 2), ids=range(1, 9))
    ref, b = RefBookSet(), tidemark.OrderbookBuilder()
    for m in msgs:
        assert b.orderbook_add_msg(m) is ref.apply(m)
        for token in (1, 2):
            d = b.get_full_depth(token)
            assert (d["bids"], d["asks"]) == levels_of_resting_orders(ref, token), m


def test_type_filter():
    b = tidemark.OrderbookBuilder()
    b.apply_filter(["N", "X"])
    assert b.orderbook_add_msg(order("M", 1, 100, 5)) is False
    assert b.orderbook_add_msg(trade(1, 2, 5)) is False
    assert b.orderbook_add_msg(order("N", 1, 100, 5)) is True
    b.apply_filter([])
    assert b.orderbook_add_msg(order("N", 2, 100, 5)) is False
    b.apply_filter([""])
    assert b.orderbook_add_msg(order("N", 2, 100, 5)) is False
    b.apply_filter(("New", "X", "X"))
    assert b.orderbook_add_msg(order("N", 2, 100, 5)) is True
    b.apply_filter()
    assert b.orderbook_add_msg(order("M", 2, 100, 5)) is True
    b.apply_filter(["X"])
    b.apply_filter(None)
    assert b.orderbook_add_msg(trade(1, 2, 5)) is True


def random_messages(rng, n, tokens=(1, 2, 3, U32), ids=range(1, 60)):
    price_ranges = [(0, 20), (9_990, 10_010), (40_000, 60_000), (0, 3_000_000), (U32 - 100, U32)]
    ids = list(ids)
    msgs = []
    for _ in range(n):
        r = rng.random()
        token = rng.choice(tokens)
        lo, hi = rng.choice(price_ranges)
        if r < 0.45:
            msgs.append(
                order(
                    "N",
                    rng.choice(ids),
                    rng.randint(lo, hi),
                    rng.choice([0, 1, 7, 100]),
                    rng.choice("BBSSZ"),
                    token,
                )
            )
        elif r < 0.65:
            msgs.append(
                order(
                    "M",
                    rng.choice(ids),
                    rng.randint(lo, hi),
                    rng.choice([0, 3, 50]),
                    rng.choice("BSSZ"),
                    token,
                )
            )
        elif r < 0.8:
            msgs.append(order("X", rng.choice(ids), 0, 0, rng.choice("BSZ"), token))
        else:
            # A trade stores its token signed: -1 names token 2**32 - 1.
            token = -1 if token == U32 else token
            msgs.append(
                trade(rng.choice(ids), rng.choice(ids), rng.choice([-3, 0, 5, 60, 200]), token)
            )
    return msgs


@pytest.mark.parametrize("seed", range(25))
def test_books_match_the_reference_rules(seed):
    rng = random.Random(seed)
    msgs = random_messages(rng, rng.choice([50, 400, 2_000]))
    ref, b = RefBookSet(), tidemark.OrderbookBuilder()
    if rng.random() < 0.3:
        ref.filter = rng.sample(["N", "M", "X", "T"], 3)
        b.apply_filter(ref.filter)
    for m in msgs:
        assert b.orderbook_add_msg(m) is ref.apply(m)
    assert b.get_active_tokens() == sorted(ref.books)
    for token in (1, 2, 3, U32, 99):
        assert b.get_full_depth(token) == ref.full_depth(token)
        for levels in (0, 1, 5, 8):
            assert b.get_snapshot_row(token, levels) == ref.snapshot_row(token, levels)
