"""OrderbookBuilder's intake paths, message dict parsing and queries."""

import random

import pytest
import tidemark
from feedgen import order_record, trade_record, write_feed
from reference_book import RefBookSet

NEW = {"msg_type": "N", "order_id": 1, "token": 10, "order_type": "B", "price": 100, "quantity": 5}
TRADE = {"msg_type": "T", "buy_order_id": 1, "sell_order_id": 2, "token": 10, "trade_quantity": 5}
HEADER = (
    "local_ts,exch_ts,mid_price,bid_price_0,bid_qty_0,ask_price_0,ask_qty_0,bid_price_1,"
    "bid_qty_1,ask_price_1,ask_qty_1,bid_price_2,bid_qty_2,ask_price_2,ask_qty_2,bid_price_3,"
    "bid_qty_3,ask_price_3,ask_qty_3,bid_price_4,bid_qty_4,ask_price_4,ask_qty_4"
)


def with_(base, **changes):
    d = dict(base)
    for k, v in changes.items():
        if v is ...:
            del d[k]
        else:
            d[k] = v
    return d


# ----------------------------------------------------------------------------
# Message dicts


@pytest.mark.parametrize(
    "msg",
    [
        NEW,
        with_(NEW, msg_type=78),
        with_(NEW, msg_type="New"),
        with_(NEW, order_type=66),
        with_(NEW, exch_ts=2**64 - 1, local_ts=0, flags=True),
        with_(TRADE, trade_price=-5, token=-1),
        with_(TRADE, flags=False, exch_ts=3),
    ],
)
def test_valid_dicts(msg):
    assert tidemark.OrderbookBuilder().orderbook_add_msg(msg) is True


@pytest.mark.parametrize(
    "msg, exc, text",
    [
        (with_(NEW, msg_type=...), TypeError, "missing key: msg_type"),
        (with_(NEW, msg_type=""), TypeError, "msg_type cannot be empty"),
        (with_(NEW, msg_type="Q"), TypeError, "unsupported msg_type: Q"),
        (with_(NEW, msg_type=0xE9), TypeError, "unsupported msg_type: \u00e9"),
        (
            with_(NEW, msg_type=300),
            OverflowError,
            "out of range integral type conversion attempted",
        ),
        (with_(NEW, msg_type=1.0), TypeError, "'float' object cannot be interpreted as an integer"),
        (with_(NEW, price=...), TypeError, "missing key: price"),
        (with_(NEW, order_id=...), TypeError, "missing key: order_id"),
        (with_(NEW, order_type=""), TypeError, "order_type cannot be empty"),
        (with_(NEW, order_type=...), TypeError, "missing key: order_type"),
        (with_(NEW, token=-1), OverflowError, "out of range integral type conversion attempted"),
        (
            with_(NEW, exch_ts=None),
            TypeError,
            "'NoneType' object cannot be interpreted as an integer",
        ),
        (with_(NEW, exch_ts=-1), OverflowError, None),
        (with_(NEW, flags=1), TypeError, "'int' object cannot be converted to 'PyBool'"),
        (with_(TRADE, trade_quantity=...), TypeError, "missing key: trade_quantity"),
        (with_(TRADE, buy_order_id=...), TypeError, "missing key: buy_order_id"),
        (
            with_(TRADE, token=2**31),
            OverflowError,
            "out of range integral type conversion attempted",
        ),
    ],
)
def test_invalid_dicts_apply_nothing(msg, exc, text):
    b = tidemark.OrderbookBuilder()
    with pytest.raises(exc) as err:
        b.orderbook_add_msg(msg)
    if text is not None:
        assert str(err.value) == text
    assert b.get_active_tokens() == []


def test_dicts_from_the_loader_round_trip(feed_file):
    path = feed_file(
        order_record("N", token=7, price=2**31, order_type="S"),
        trade_record(token=7, buy_order_id=5, sell_order_id=1, trade_quantity=3),
    )
    loader = tidemark.StreamingBinaryLoader()
    loader.open_stream(path)
    by_dict = tidemark.OrderbookBuilder()
    while (m := loader.get_next_msg()) is not None:
        assert by_dict.orderbook_add_msg(m) is True
    loader.reset_cursor()
    native = tidemark.OrderbookBuilder()
    assert native.build_from_source(loader) == 2
    assert by_dict.get_full_depth(7) == native.get_full_depth(7)


@pytest.mark.parametrize("bad", [[NEW], (NEW,), None, "N", 5])
def test_add_msg_wants_a_dict(bad):
    with pytest.raises(TypeError) as err:
        tidemark.OrderbookBuilder().orderbook_add_msg(bad)
    assert str(err.value) == "orderbook_add_msg expects one message dict from get_next_msg()"


def test_dict_subclasses_are_dicts():
    class D(dict):
        pass

    b = tidemark.OrderbookBuilder()
    assert b.orderbook_add_msg(D(NEW)) is True
    assert b.build_from_list([D(NEW)]) == 1


# ----------------------------------------------------------------------------
# Filters and intake arguments


@pytest.mark.parametrize(
    "arg, text",
    [
        ("N", "argument 'logic_criteria': Can't extract `str` to `Vec`"),
        ({"N"}, "argument 'logic_criteria': 'set' object cannot be converted to 'Sequence'"),
        ({"N": 1}, "argument 'logic_criteria': 'dict' object cannot be converted to 'Sequence'"),
        (5, "argument 'logic_criteria': 'int' object cannot be converted to 'Sequence'"),
        (["N", 5], "argument 'logic_criteria': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_bad_filters_keep_the_previous_one(arg, text):
    b = tidemark.OrderbookBuilder()
    b.apply_filter(["X"])
    with pytest.raises(TypeError) as err:
        b.apply_filter(arg)
    assert str(err.value) == text
    assert b.orderbook_add_msg(NEW) is False


def test_build_from_list_errors():
    b = tidemark.OrderbookBuilder()
    assert b.build_from_list([]) == 0
    with pytest.raises(TypeError) as err:
        b.build_from_list(())
    assert str(err.value) == (
        "build_from_list expects MessageCacheReader or list[dict] decoded messages"
    )
    with pytest.raises(TypeError) as err:
        b.build_from_list([NEW, 5, with_(NEW, token=11)])
    assert str(err.value) == "each list entry must be a dict"
    assert b.get_active_tokens() == [10]
    with pytest.raises(TypeError, match="missing key: price"):
        b.build_from_list([with_(NEW, token=12), with_(NEW, price=...)])
    assert b.get_active_tokens() == [10, 12]


def test_build_from_source_errors_and_limits(feed_file):
    b = tidemark.OrderbookBuilder()
    with pytest.raises(TypeError) as err:
        b.build_from_source([NEW])
    assert str(err.value) == "build_from_source expects MessageCacheReader or StreamingBinaryLoader"
    loader = tidemark.StreamingBinaryLoader()
    assert b.build_from_source(loader) == 0
    with pytest.raises(OverflowError):
        b.build_from_source(loader, -1)
    with pytest.raises(TypeError, match="^argument 'limit': "):
        b.build_from_source(loader, limit="3")

    recs = [order_record("N", order_id=i, token=1 + i % 3) for i in range(6)]
    recs.insert(2, order_record("X", order_id=0, token=1))
    path = feed_file(*recs)
    loader.open_stream(path)
    assert b.build_from_source(loader, limit=0) == 0
    b.apply_filter(["N"])
    # The limit counts accepted messages; the skipped cancel is consumed too.
    assert b.build_from_source(loader, limit=3) == 3
    assert loader.get_next_msg()["order_id"] == 3
    assert b.build_from_source(loader) == 2
    assert b.build_from_source(loader) == 0

    cache = tidemark.MessageCacheReader()
    cache.load_to_cache(path)
    b.apply_filter()
    assert tidemark.OrderbookBuilder().build_from_source(cache, limit=1) == 7
    assert tidemark.OrderbookBuilder().build_from_list(tidemark.MessageCacheReader()) == 0


def test_loader_read_error_is_raised_after_applying(feed_file):
    path = feed_file(order_record("N", token=5), trade_record()[:20])
    loader = tidemark.StreamingBinaryLoader()
    loader.open_stream(path, count_messages=False)
    b = tidemark.OrderbookBuilder()
    with pytest.raises(RuntimeError, match="^truncated message payload$"):
        b.build_from_source(loader)
    assert b.get_active_tokens() == [5]


# ----------------------------------------------------------------------------
# Queries


def seven_level_book():
    b = tidemark.OrderbookBuilder()
    for i in range(7):
        b.orderbook_add_msg(with_(NEW, order_id=i, price=1_000 - i, quantity=10 + i))
    return b


def test_snapshot_levels():
    b = seven_level_book()
    snap = b.get_snapshot(10)
    assert list(snap) == [
        "token",
        "found",
        "mid_price",
        "best_bid",
        "best_ask",
        "spread",
        "bids",
        "asks",
    ]
    assert snap["bids"] == [(1_000 - i, 10 + i) for i in range(5)]
    assert (snap["best_ask"], snap["spread"], snap["mid_price"]) == (None, None, 0)
    assert len(b.get_snapshot(10, 2)["bids"]) == 2
    assert b.get_snapshot(10, levels=None) == snap
    zero = b.get_snapshot(10, 0)
    assert (zero["bids"], zero["asks"], zero["mid_price"]) == ([], [], 0)
    full = b.get_full_depth(10)
    assert list(full) == ["token", "found", "best_bid", "best_ask", "spread", "bids", "asks"]
    assert len(full["bids"]) == 7


def test_snapshot_of_unknown_token():
    b = tidemark.OrderbookBuilder()
    assert b.get_snapshot(7) == {
        "token": 7,
        "found": False,
        "mid_price": 0,
        "best_bid": None,
        "best_ask": None,
        "spread": None,
        "bids": [],
        "asks": [],
    }
    assert b.get_snapshot_row(7) == ",".join(["0"] * 23)


@pytest.mark.parametrize(
    "bid, ask, mid, spread",
    [(1_000, 1_003, 1_001, 3), (1_005, 1_003, 1_004, 0), (2**32 - 2, 2**32 - 1, 2**32 - 2, 1)],
)
def test_mid_and_spread(bid, ask, mid, spread):
    b = tidemark.OrderbookBuilder()
    b.orderbook_add_msg(with_(NEW, price=bid))
    b.orderbook_add_msg(with_(NEW, order_id=2, price=ask, order_type="S"))
    snap = b.get_snapshot(10)
    assert (snap["mid_price"], snap["spread"]) == (mid, spread)


def test_snapshot_rows():
    b = tidemark.OrderbookBuilder()
    for oid, price, qty, side in [(1, 1_000, 100, "B"), (2, 999, 50, "B"), (3, 1_002, 70, "S")]:
        b.orderbook_add_msg(with_(NEW, order_id=oid, price=price, quantity=qty, order_type=side))
    assert b.get_snapshot_row(10) == "0,0,1001,1000,100,1002,70,999,50" + ",0" * 14
    assert b.snapshot_header() == HEADER and len(HEADER) == 246
    assert tidemark.OrderbookBuilder().snapshot_header() == HEADER
    s = seven_level_book()
    assert s.get_snapshot_row(10, 2) == "0,0,0,1000,10,0,0,999,11" + ",0" * 14
    assert s.get_snapshot_row(10, 8) == s.get_snapshot_row(10)
    assert len(s.get_snapshot_row(10).split(",")) == 23


def test_emptied_book_is_still_listed():
    b = tidemark.OrderbookBuilder()
    for token in (500, 20, 2**32 - 1):
        b.orderbook_add_msg(with_(NEW, token=token))
    b.orderbook_add_msg(
        {"msg_type": "X", "order_id": 1, "token": 20, "order_type": "B", "price": 0, "quantity": 0}
    )
    assert b.get_active_tokens() == [20, 500, 2**32 - 1]
    snap = b.get_snapshot(20)
    assert snap["found"] is True and snap["bids"] == [] and snap["asks"] == []


OUT_OF_RANGE = "out of range integral type conversion attempted"


@pytest.mark.parametrize(
    "call, exc, text",
    [
        (lambda b: b.get_snapshot(-1), OverflowError, OUT_OF_RANGE),
        (lambda b: b.get_snapshot_row(2**32), OverflowError, OUT_OF_RANGE),
        (
            lambda b: b.get_full_depth("5"),
            TypeError,
            "argument 'token': 'str' object cannot be interpreted as an integer",
        ),
        (lambda b: b.get_snapshot(1, -1), OverflowError, None),
        (
            lambda b: b.get_snapshot_row(1, 1.5),
            TypeError,
            "argument 'levels': 'float' object cannot be interpreted as an integer",
        ),
        (
            lambda b: b.get_snapshot(),
            TypeError,
            "OrderbookBuilder.get_snapshot() missing 1 required positional argument: 'token'",
        ),
        (
            lambda b: b.get_snapshot(1, 2, 3),
            TypeError,
            "OrderbookBuilder.get_snapshot() takes from 1 to 2 positional arguments but 3 were "
            "given",
        ),
    ],
)
def test_query_argument_errors(call, exc, text):
    with pytest.raises(exc) as err:
        call(tidemark.OrderbookBuilder())
    if text is not None:
        assert str(err.value) == text


def test_text_signatures():
    b = tidemark.OrderbookBuilder
    assert b.apply_filter.__text_signature__ == "($self, logic_criteria=None)"
    assert b.build_from_source.__text_signature__ == "($self, source, limit=None)"
    assert b.get_snapshot_row.__text_signature__ == "($self, token, levels=None)"
    assert b.orderbook_add_msg.__doc__.startswith("Push one already-decoded message")
    assert b.orderbook_add_msg.__doc__.endswith("skipped by apply_filter() or business rules")


# ----------------------------------------------------------------------------
# Re-entry and callbacks


class Hook:
    """An integer whose __index__ runs a callback first."""

    def __init__(self, value, callback):
        self.value, self.callback = value, callback

    def __index__(self):
        self.callback()
        return self.value


def test_reentry_conflicts_are_refused():
    b = tidemark.OrderbookBuilder()
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        b.get_snapshot(Hook(1, lambda: b.orderbook_add_msg(NEW)))
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        b.orderbook_add_msg(with_(NEW, price=Hook(5, lambda: b.get_snapshot(10))))
    loader = tidemark.StreamingBinaryLoader()
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        b.build_from_source(loader, limit=Hook(3, lambda: b.get_active_tokens()))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        b.build_from_list([with_(NEW, quantity=Hook(5, lambda: b.build_from_list([])))])
    # Shared use may nest; the builder is free again afterwards.
    assert b.get_snapshot(Hook(10, lambda: b.get_snapshot_row(10)))["found"] is False
    assert b.orderbook_add_msg(NEW) is True


def test_callbacks_that_change_the_input_are_safe():
    b = tidemark.OrderbookBuilder()
    msgs = [with_(NEW, order_id=i) for i in range(5)]
    msgs[1]["quantity"] = Hook(5, lambda: msgs.clear())
    # The list shrank under the walk: it stops at the list's current end.
    assert b.build_from_list(msgs) == 2
    msg = dict(NEW)
    msg["price"] = Hook(100, lambda: msg.clear())
    with pytest.raises(TypeError, match="^missing key: quantity$"):
        b.orderbook_add_msg(msg)
    msg = dict(NEW)
    msg["order_id"] = Hook(9, lambda: msg.update(price=[1] * 1000))
    with pytest.raises(TypeError):
        b.orderbook_add_msg(msg)


# ----------------------------------------------------------------------------
# The four intake paths agree


@pytest.mark.parametrize("books, per_book", [(1, 30_000), (400, 40)])
def test_order_tables_that_grow_and_give_back_memory(feed_file, books, per_book):
    # One book whose order table outgrows the shared table memory, and many
    # books whose tables grow in turn, each reusing what another gave back:
    # every order must stay findable through every growth.
    rng = random.Random(books)
    ids = rng.sample(range(1, 2**40), books * per_book)
    recs = []
    for n, oid in enumerate(ids):
        side = rng.choice("BS")
        price = 50_000 + (-1 if side == "B" else 1) * rng.randrange(1, 300)
        recs.append(order_record("N", order_id=oid, token=n % books, order_type=side, price=price))
    recs += [order_record("X", order_id=ids[n], token=n % books) for n in range(0, len(ids), 3)]
    recs += [
        trade_record(buy_order_id=ids[n], sell_order_id=ids[n], token=n % books, trade_quantity=2)
        for n in range(1, len(ids), 3)
    ]
    cache = tidemark.MessageCacheReader()
    cache.load_to_cache(feed_file(*recs))
    ref = RefBookSet()
    expected = sum(ref.apply(m) for m in cache.get_all_messages())
    b = tidemark.OrderbookBuilder()
    assert b.build_from_list(cache) == expected
    for t in sorted(ref.books):
        assert b.get_full_depth(t) == ref.full_depth(t)


@pytest.mark.parametrize("seed", range(4))
def test_all_intake_paths_build_the_same_books(tmp_path, seed):
    rng = random.Random(seed)
    path = str(tmp_path / "feed.bin")
    write_feed(path, rng.choice([500, 3_000, 8_000]), rng.choice([1, 5, 40]), seed=seed)
    filt = rng.choice([None, ["N", "X"], ["N", "M", "X", "T"], ["T", "N"]])

    def fresh():
        b = tidemark.OrderbookBuilder()
        b.apply_filter(filt)
        return b

    loader = tidemark.StreamingBinaryLoader()
    loader.open_stream(path)
    cache = tidemark.MessageCacheReader()
    cache.load_to_cache(path)
    dicts = cache.get_all_messages()

    builders = [fresh() for _ in range(5)]
    counts = [
        builders[0].build_from_source(loader),
        builders[1].build_from_list(cache),
        builders[2].build_from_source(cache),
        builders[3].build_from_list(dicts),
        sum(builders[4].orderbook_add_msg(m) for m in dicts),
    ]
    ref = RefBookSet()
    ref.filter = filt
    expected = sum(ref.apply(m) for m in dicts)
    assert counts == [expected] * 5
    tokens = sorted(ref.books)
    for b in builders:
        assert b.get_active_tokens() == tokens
        for t in tokens:
            assert b.get_full_depth(t) == ref.full_depth(t)
            assert b.get_snapshot_row(t) == ref.snapshot_row(t)


@pytest.mark.parametrize("limit", [1, 4095, 4096, 4097, 9_000, 20_000])
def test_limit_stops_right_after_the_accepted_message(feed_file, limit):
    # Every third message is a cancel that the filter skips; the loader must
    # stand just past the message that reached the limit, across batches.
    recs = [
        order_record("X" if i % 3 == 2 else "N", order_id=i, token=i % 7) for i in range(15_000)
    ]
    loader = tidemark.StreamingBinaryLoader()
    loader.open_stream(feed_file(*recs))
    b = tidemark.OrderbookBuilder()
    b.apply_filter(["N"])
    accepted = b.build_from_source(loader, limit=limit)
    new_ids = [i for i in range(15_000) if i % 3 != 2]
    assert accepted == min(limit, len(new_ids))
    following = loader.get_next_msg()
    if limit < len(new_ids):
        assert following["order_id"] == new_ids[limit - 1] + 1
    else:
        assert following is None


@pytest.mark.parametrize("seed", range(6))
def test_native_loader_intake_matches_streamed_dicts(feed_file, seed):
    # Files with padding, unknown records and a cut-short end: the batched
    # native path applies the same messages and fails at the same place.
    from test_streaming_loader import random_feed

    rng = random.Random(seed)
    path = feed_file(random_feed(rng, rng.choice([3_000, 400_000])))
    loader = tidemark.StreamingBinaryLoader()
    loader.open_stream(path, count_messages=False)
    by_dict, native = tidemark.OrderbookBuilder(), tidemark.OrderbookBuilder()
    dict_error = native_error = None
    try:
        while (m := loader.get_next_msg()) is not None:
            by_dict.orderbook_add_msg(m)
    except RuntimeError as exc:
        dict_error = str(exc)
    loader.reset_cursor()
    try:
        native.build_from_source(loader)
    except RuntimeError as exc:
        native_error = str(exc)
    assert native_error == dict_error
    assert native.get_active_tokens() == by_dict.get_active_tokens()
    for t in by_dict.get_active_tokens():
        assert native.get_full_depth(t) == by_dict.get_full_depth(t)
