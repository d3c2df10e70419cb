"""Arbitrary message dicts through OrderbookBuilder.orderbook_add_msg and
build_from_list.

Each input makes a short sequence of dicts: keys of the message dict and
others (strs, ints, keys that hash like a message key and compare equal,
unequal or raising), values of many types (ints in and out of every range, bools, floats,
strs, None, int subclasses, objects with __index__, some of which raise,
change the dict or call back into the builder), and dict subclasses. Every
call must return a bool or raise a documented exception. Where the values are
plain, the accepted dicts are also turned into the records they stand for,
written to a feed file and applied natively from a message cache: the books
must be the same.

    python fuzz/fuzz_dicts.py [libFuzzer flags] [corpus dirs]
"""

import collections
import operator
import struct
import sys

import atheris

with atheris.instrument_imports():
    import common
    import tidemark

ORDER = struct.Struct("<HHIcQQIcIIQB")
TRADE = struct.Struct("<HHIcQQQiiiQB")
KEYS = [
    "msg_type",
    "exch_ts",
    "order_id",
    "token",
    "order_type",
    "price",
    "quantity",
    "local_ts",
    "flags",
    "buy_order_id",
    "sell_order_id",
    "trade_price",
    "trade_quantity",
    "message_kind",
    "seq_no",
]
TYPE_CHARS = "NMXTBS"
# Conversion failures and re-entry refusals that the builder documents.
BORROW_ERRORS = ("Already borrowed", "Already mutably borrowed")
CURRENT = {}  # the builder of the running input, for the re-entering values


class HostileError(Exception):
    """Raised by this harness's own __index__ objects: passed on unchanged."""


class Index:
    def __init__(self, value, action=None):
        self.value, self.action = value, action

    def __index__(self):
        if self.action == "raise":
            raise HostileError
        if self.action == "clear":
            CURRENT["dict"].clear()
        if self.action == "reenter":
            CURRENT["builder"].get_active_tokens()
        return self.value


class Int(int):
    pass


class Key:
    """A key that hashes like one of the message keys and compares as told:
    equal (an alias of it), unequal, or raising."""

    def __init__(self, target: str, mode: str):
        self.target, self.mode = target, mode

    def __hash__(self):
        return hash(self.target)

    def __eq__(self, other):
        if self.mode == "raise":
            raise HostileError
        return self.mode == "equal" and other == self.target


class GetItemDict(dict):
    """A subclass whose __getitem__ lies: the builder reads the dict's storage."""

    def __getitem__(self, key):
        return 0


SUBCLASSES = [dict, collections.OrderedDict, GetItemDict, lambda d: collections.defaultdict(int, d)]


def make_int(fdp, small: bool) -> int:
    if small:
        return fdp.ConsumeIntInRange(0, 12)
    return fdp.PickValueInList(
        [0, 1, 255, 256, 2**31 - 1, 2**31, 2**32 - 1, 2**32, 2**63, 2**64 - 1, 2**64, -1, -(2**31)]
        + [-(2**31) - 1, fdp.ConsumeInt(9)]
    )


def make_value(fdp, key: str, volatile: list):
    """A value for `key`; `volatile` gets True when the value may change the
    dict or fail on its own while it is read."""
    kind = fdp.ConsumeIntInRange(0, 15)
    if key in ("msg_type", "order_type") and kind < 6:
        return fdp.PickValueInList([*TYPE_CHARS, "", "New", "é", "\x00", "\ud800"])
    if kind < 8:
        return make_int(fdp, small=kind < 5)
    if kind == 8:
        return fdp.ConsumeBool()
    if kind == 9:
        return None
    if kind == 10:
        return fdp.ConsumeUnicode(3)
    if kind == 11:
        return fdp.ConsumeFloat()
    if kind == 12:
        return Int(make_int(fdp, small=True))
    if kind == 13:
        return Index(make_int(fdp, small=fdp.ConsumeBool()))
    if kind == 14:
        return b"N"
    action = fdp.PickValueInList(["raise", "clear", "reenter"])
    volatile.append(True)
    return Index(3, action)


def type_byte(value) -> int:
    if isinstance(value, str):
        return value.encode("utf-8")[0]
    return operator.index(value)


def record_of(d: dict) -> bytes:
    """The record that an accepted dict stands for, by the reading rules."""

    def get(key, default=0):
        value = dict.get(d, key, default)
        return value if isinstance(value, bool) else operator.index(value)

    kind = type_byte(dict.get(d, "msg_type"))
    head = (0, 0, 0, bytes([kind]), get("exch_ts"))
    tail = (get("local_ts"), int(dict.get(d, "flags", False)))
    if kind == ord("T"):
        ids = (get("buy_order_id"), get("sell_order_id"))
        return TRADE.pack(
            *head, *ids, get("token"), get("trade_price"), get("trade_quantity"), *tail
        )
    side = bytes([type_byte(dict.get(d, "order_type"))])
    return ORDER.pack(
        *head, get("order_id"), get("token"), side, get("price"), get("quantity"), *tail
    )


def documented(e: BaseException) -> bool:
    if isinstance(e, HostileError):
        return True
    if isinstance(e, RuntimeError):
        return str(e) in BORROW_ERRORS
    # A str with no UTF-8 form (a lone surrogate) fails the interpreter's own
    # encoding, as it does for every str argument of the module.
    return isinstance(e, TypeError | OverflowError | UnicodeEncodeError)


def TestOneInput(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    builder = tidemark.OrderbookBuilder()
    CURRENT["builder"] = builder
    filt = None
    if fdp.ConsumeIntInRange(0, 3) == 0:
        filt = [
            fdp.PickValueInList([*TYPE_CHARS, "", "New"])
            for _ in range(fdp.ConsumeIntInRange(0, 3))
        ]
        builder.apply_filter(filt)

    plain_dicts, records, accepted = [], [], 0
    tainted = False  # a dict that changed itself while read was applied
    for _ in range(fdp.ConsumeIntInRange(1, 12)):
        volatile = []
        items = {}
        if fdp.ConsumeIntInRange(0, 9) < 8:  # mostly complete messages
            kind = fdp.PickValueInList(list("NMXT"))
            items["msg_type"] = kind
            required = (
                ["buy_order_id", "sell_order_id", "token", "trade_quantity"]
                if kind == "T"
                else ["order_id", "token", "order_type", "price", "quantity"]
            )
            for key in required:
                items[key] = (
                    fdp.PickValueInList(["B", "S"]) if key == "order_type" else make_int(fdp, True)
                )
        for _ in range(fdp.ConsumeIntInRange(0, 4)):
            key = fdp.PickValueInList(KEYS)
            value = make_value(fdp, key, volatile)
            other = fdp.ConsumeIntInRange(0, 15)
            if other == 0:
                key = fdp.ConsumeUnicode(4)
            elif other == 1:
                key = fdp.ConsumeInt(2)
            elif other == 2:
                mode = fdp.PickValueInList(["equal", "unequal", "raise"])
                key = Key(key, mode)
                if mode == "raise":
                    volatile.append(True)  # the builder's lookups may run its __eq__
            try:
                items[key] = value
            except HostileError:
                pass
        try:
            d = fdp.PickValueInList(SUBCLASSES)(items)
        except HostileError:
            continue
        CURRENT["dict"] = d
        try:
            result = builder.orderbook_add_msg(d)
        except BaseException as e:  # noqa: B036 - anything undocumented is a finding
            assert documented(e), repr(e)
            continue
        assert result is True or result is False
        if volatile:
            tainted |= result
            continue
        plain_dicts.append(d)
        records.append(record_of(d))
        accepted += result

    # The same messages natively from a cache, and from the list as a whole.
    path = common.scratch_file(b"".join(records))
    cache = tidemark.MessageCacheReader()
    assert cache.load_to_cache(path) == len(records)
    native = tidemark.OrderbookBuilder()
    as_list = tidemark.OrderbookBuilder()
    if filt is not None:
        native.apply_filter(filt)
        as_list.apply_filter(filt)
    assert native.build_from_list(cache) == accepted
    assert as_list.build_from_list(plain_dicts) == accepted
    state = common.book_state(native)
    assert common.book_state(as_list) == state
    if not tainted:
        assert common.book_state(builder) == state
    CURRENT.clear()


def main() -> None:
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
