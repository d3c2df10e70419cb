"""SymbolMaster: its Python surface, load_for_date, lookup and enrich."""

import collections
import copy

import numpy as np
import pytest
import tidemark
from feedgen import order_record, trade_record

SEGMENT_ERROR = "unknown segment '{}' \u2014 expected NSE_FO, FO, NSE_CM, or CM"
NOT_STR = "argument '{}': '{}' object cannot be converted to 'PyString'"
NOT_INT = "argument '{}': '{}' object cannot be interpreted as an integer"
OUT_OF_RANGE = "out of range integral type conversion attempted"
NOT_A_DICT = "enrich() expects a message dict from get_next_msg()"
CONTRACT_KEYS = ("token_symbol", "strike_price", "option_type", "expiry", "lot_size", "name")


@pytest.fixture
def master(tmp_path):
    """A master holding tokens 0, 7 and 4294967295."""
    path = tmp_path / "m.csv"
    path.write_text(
        "Token,TckrSymb,StockNm,OptnTp,StrkPric,XpryDt,MarketLot\n"
        "7,NIFTY,NIFTY 50,CE,2590000,1767052800,75\n"
        "0,ZERO,,,,,\n"
        "4294967295,TOP,,,,,\n"
    )
    sm = tidemark.SymbolMaster()
    sm.load(str(path))
    return sm


class Index:
    def __init__(self, fn):
        self.fn = fn

    def __index__(self):
        return self.fn()


LOOKUP_KEYS = ("token", "found", "symbol", "name", "option_type", "strike", "expiry", "lot_size")


def test_len_repr_and_lookup(master):
    sm = tidemark.SymbolMaster()
    assert (len(sm), repr(sm), len(master), repr(master)) == (
        0,
        "SymbolMaster(contracts=0)",
        3,
        "SymbolMaster(contracts=3)",
    )
    assert list(sm.lookup(1).items()) == list(
        zip(LOOKUP_KEYS, (1, False) + (None,) * 6, strict=True)
    )
    found = (7, True, "NIFTY", "NIFTY", "CE", 25900, "30-Dec-2025", 75)
    assert list(master.lookup(token=np.uint32(7)).items()) == list(
        zip(LOOKUP_KEYS, found, strict=True)
    )


@pytest.mark.parametrize(
    ("token", "expected"),
    [
        (-1, (OverflowError, OUT_OF_RANGE)),
        (2**32, (OverflowError, OUT_OF_RANGE)),
        ("5", (TypeError, NOT_INT.format("token", "str"))),
        (5.0, (TypeError, NOT_INT.format("token", "float"))),
    ],
)
def test_lookup_bad_token(master, token, expected):
    with pytest.raises(Exception) as err:
        master.lookup(token)
    assert (err.type, str(err.value)) == expected


CLASS_DOC = """Loads the NSE FO/CM contract master CSV and provides fast token to symbol lookups.

Usage:

```text
from tidemark import SymbolMaster, StreamingBinaryLoader

sm = SymbolMaster()
count = sm.load_for_date("NSE_FO", day=21, month=5, year=2026)
print(sm)

info = sm.lookup(token=40434)
# {
#     "token": 40434,
#     "found": True,
#     "symbol": "FINNIFTY",
#     "strike": 21700,
# }

reader = StreamingBinaryLoader()
reader.open_stream(path, count_messages=False)
reader.attach_symbol_master(sm)
msg = reader.get_next_msg()
```

When a symbol master is attached, streamed messages are enriched with
token_symbol, strike_price, option_type, expiry, lot_size, and name."""

METHOD_DOCS = {
    "load": (
        "($self, csv_path)",
        "Load the contract master from an explicit CSV file path.\n"
        "Returns the number of contracts loaded.",
    ),
    "load_for_date": (
        "($self, segment, day, month, year, base_path=None)",
        "Convenience: build the standard NSE contract master path from date components and "
        "load.\n\nPath pattern: "
        "``{base}/CONTRACT/{DD}_{MM}_{YYYY}/NSE_{FO|CM}_contract_{DD}{MM}{YYYY}.csv``",
    ),
    "lookup": (
        "($self, token)",
        "Look up a single token. Returns a dict with ``found=True/False`` and contract "
        "metadata.\n\nKeys when found: token, found, symbol, name, option_type, strike, "
        "expiry, lot_size",
    ),
    "enrich": (
        "($self, msg)",
        "Enrich a message dict from ``get_next_msg()`` in place.\n\n"
        "Sets ``token_symbol``, ``strike_price``, ``option_type``, ``expiry``,\n"
        "``lot_size``, and ``name`` on the dict. No-op if the token is not in\n"
        "the loaded master. Returns True if the token was found.",
    ),
}


def test_docstrings():
    cls = tidemark.SymbolMaster
    assert (cls.__text_signature__, cls.__doc__) == ("()", CLASS_DOC)
    assert len(CLASS_DOC.split("\n")) == 27
    for name, (signature, doc) in METHOD_DOCS.items():
        method = getattr(cls, name)
        assert (method.__text_signature__, method.__doc__) == (signature, doc)


# ---------------------------------------------------------------- load_for_date


def dated_path(base, segment, day, month, year):
    date = f"{day:02d}_{month:02d}_{year}"
    return f"{base}/CONTRACT/{date}/NSE_{segment}_contract_{date.replace('_', '')}.csv"


@pytest.mark.parametrize("segment", ["fo", "Fo", "FO", "nse_fo", "NSE_FO", "n\u017fe_fo"])
def test_load_for_date_reads_the_dated_file(tmp_path, segment):
    path = tmp_path / "CONTRACT" / "05_01_2026" / "NSE_FO_contract_05012026.csv"
    path.parent.mkdir(parents=True)
    path.write_text("Token\n1\n2\n")
    sm = tidemark.SymbolMaster()
    assert sm.load_for_date(segment, 5, 1, 2026, base_path=str(tmp_path)) == 2


@pytest.mark.parametrize(
    ("args", "path"),
    [
        (("CM", 29, 12, 2025, "/data"), dated_path("/data", "CM", 29, 12, 2025)),
        (("cm", 29, 12, 2025, "/data/"), dated_path("/data/", "CM", 29, 12, 2025)),
        (("FO", 0, 123, 7, ""), "/CONTRACT/00_123_7/NSE_FO_contract_001237.csv"),
        (("nse_fo", 5, 1, 2026), "/nas/50.30/CONTRACT/05_01_2026/NSE_FO_contract_05012026.csv"),
        (("FO", 5, 1, 2026, None), dated_path("/nas/50.30", "FO", 5, 1, 2026)),
        (("FO", 1, 1, 2026, "a\0b"), dated_path("a\0b", "FO", 1, 1, 2026)),
    ],
)
def test_load_for_date_path(args, path):
    with pytest.raises(RuntimeError) as err:
        tidemark.SymbolMaster().load_for_date(*args)
    assert str(err.value).startswith(f"cannot open {path}: ")


@pytest.mark.parametrize(
    ("segment", "shown"),
    [("NSE FO", "NSE FO"), (" FO", " FO"), ("FO\n", "FO\n"), ("bse_fo", "BSE_FO"), ("\xdf", "SS")],
)
def test_load_for_date_bad_segment_keeps_the_table(master, segment, shown):
    with pytest.raises(RuntimeError) as err:
        master.load_for_date(segment, 1, 1, 2026)
    assert str(err.value) == SEGMENT_ERROR.format(shown)
    assert len(master) == 3


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        ((5, -1, "x", None), (TypeError, NOT_STR.format("segment", "int"))),
        (("XX", -1, "x", None), (OverflowError, OUT_OF_RANGE)),
        (("XX", 1, "x", -1), (TypeError, NOT_INT.format("month", "str"))),
        (("XX", 1, 1, 2**32), (OverflowError, OUT_OF_RANGE)),
        (("XX", 1, 1, 2**64), (OverflowError, "Python int too large to convert to C long")),
        (("XX", 1, 1, None), (TypeError, NOT_INT.format("year", "NoneType"))),
        (("XX", 1, 1, 1, b"/"), (TypeError, NOT_STR.format("base_path", "bytes"))),
    ],
)
def test_load_for_date_converts_arguments_in_order_first(master, args, expected):
    with pytest.raises(Exception) as err:
        master.load_for_date(*args)
    assert (err.type, str(err.value)) == expected
    assert len(master) == 3


# ---------------------------------------------------------------- enrich


@pytest.fixture
def message(feed_file):
    """The dict get_next_msg gives for one record."""

    def read(record):
        loader = tidemark.StreamingBinaryLoader()
        loader.open_stream(feed_file(record))
        return loader.get_next_msg()

    return read


def test_enrich_a_message_keeps_its_key_order(master, message):
    msg = message(order_record(token=7))
    keys = list(msg)
    assert master.enrich(msg) is True
    assert list(msg) == keys + ["expiry", "lot_size", "name"]
    assert [msg[k] for k in CONTRACT_KEYS] == ["NIFTY", 25900, "CE", "30-Dec-2025", 75, "NIFTY"]
    msg["token_symbol"] = "stale"
    assert master.enrich(msg) is True
    assert list(msg) == keys + ["expiry", "lot_size", "name"] and msg["token_symbol"] == "NIFTY"


def test_enrich_unknown_token_changes_nothing(master, message):
    msg = message(trade_record(token=8))
    before = dict(msg)
    assert master.enrich(msg) is False
    assert msg == before and list(msg) == list(before)
    assert tidemark.SymbolMaster().enrich({"token": 0}) is False


class Dict(dict):
    pass


@pytest.mark.parametrize(
    ("token", "symbol"),
    [
        (7, "NIFTY"),
        (True, None),
        (np.int64(7), "NIFTY"),
        (Index(lambda: 7), "NIFTY"),
        (-1, "TOP"),
        (4294967295, "TOP"),
        (-(2**31), None),
        (-(2**31) - 1, "ZERO"),
        (2**32, "ZERO"),
        (2**100, "ZERO"),
        ("7", "ZERO"),
        (7.0, "ZERO"),
        (None, "ZERO"),
        (Index(lambda: 1 / 0), "ZERO"),
        (Index(lambda: "7"), "ZERO"),
    ],
)
def test_enrich_token_coercion(master, token, symbol):
    msg = Dict(token=token)
    assert master.enrich(msg) is (symbol is not None)
    assert msg.get("token_symbol") == symbol


@pytest.mark.parametrize(
    ("msg", "message"),
    [
        ([("token", 7)], NOT_A_DICT),
        (None, NOT_A_DICT),
        ({"tok": 7}, "msg dict missing 'token' key"),
    ],
)
def test_enrich_rejects(master, msg, message):
    with pytest.raises(TypeError) as err:
        master.enrich(msg)
    assert str(err.value) == message


def test_reentry_from_a_token_conversion(master, tmp_path):
    """A token whose __index__ calls back into the master: reading is shared, loading is
    refused while enrich holds the master, and removing the key under it is harmless."""
    other = tmp_path / "other.csv"
    other.write_text("Token\n99\n")
    seen = []

    def reenter():
        seen.append(master.lookup(7)["found"])
        try:
            master.load(str(other))
        except RuntimeError as e:
            seen.append(str(e))
        msg.clear()
        return 7

    msg = {"token": Index(reenter)}
    assert master.enrich(msg) is True
    assert seen == [True, "Already borrowed"]
    assert len(master) == 3 and msg["token_symbol"] == "NIFTY"


# ---------------------------------------------------------------- enrich on dict subclasses


class LoggingDict(dict):
    """Records every key written through __setitem__."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.written = []

    def __setitem__(self, key, value):
        self.written.append(key)
        super().__setitem__(key, value)


class ShadowDict(dict):
    """Keeps its own key order beside the dict's storage, as OrderedDict does."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.order = list(super().keys())

    def __setitem__(self, key, value):
        if key not in self:
            self.order.append(key)
        super().__setitem__(key, value)

    def __iter__(self):
        return iter(self.order)

    def keys(self):
        return list(self.order)

    def items(self):
        return [(k, self[k]) for k in self.order]


@pytest.mark.parametrize(
    "kind",
    [
        collections.OrderedDict,
        collections.defaultdict,
        collections.Counter,
        LoggingDict,
        ShadowDict,
        Dict,
    ],
)
@pytest.mark.parametrize(
    "record", [order_record(token=7), trade_record(token=-1)], ids=["order", "trade"]
)
def test_enrich_dict_subclasses_see_the_keys_of_a_plain_dict(master, message, kind, record):
    plain = message(record)
    msg = kind(**plain) if kind is not collections.defaultdict else kind(None, plain)
    assert master.enrich(plain) is True
    assert master.enrich(msg) is True
    # Iteration, items, copies and printing all show the same keys in the same order.
    assert list(msg) == list(plain)
    assert list(msg.items()) == list(plain.items())
    assert list(dict(msg).items()) == list(plain.items())
    shown = repr(msg)
    places = [shown.index(repr(k)) for k in plain]
    assert places == sorted(places)
    if isinstance(msg, LoggingDict):
        assert msg.written == list(CONTRACT_KEYS)
    elif not isinstance(msg, ShadowDict):  # (whose copy would share its bookkeeping list)
        assert list(copy.copy(msg).items()) == list(plain.items())
    # A second call rewrites the six keys in place.
    assert master.enrich(msg) is True and list(msg.items()) == list(plain.items())


def test_enrich_ordered_dict_stays_consistent(master):
    msg = collections.OrderedDict(token=7, token_symbol=None)
    assert master.enrich(msg) is True
    msg.move_to_end("token")
    assert list(msg) == ["token_symbol", *CONTRACT_KEYS[1:], "token"]
    assert msg.popitem(last=False) == ("token_symbol", "NIFTY")
    assert len(msg) == len(list(msg)) == 6


def test_enrich_subclass_write_errors_are_raised(master):
    """A __setitem__ that refuses a key stops enrichment there; keys written before stay.
    One that calls back into the master may read it but not reload it."""

    class Refusing(dict):
        def __setitem__(self, key, value):
            if key == "expiry":
                raise KeyError("no expiry here")
            super().__setitem__(key, value)

    msg = Refusing(token=7)
    with pytest.raises(KeyError, match="no expiry here"):
        master.enrich(msg)
    assert list(msg) == ["token", "token_symbol", "strike_price", "option_type"]

    seen = []

    class Reentering(dict):
        def __setitem__(self, key, value):
            seen.append(master.lookup(0)["symbol"])
            with pytest.raises(RuntimeError, match="Already borrowed"):
                master.load("/nonexistent")
            super().__setitem__(key, value)

    msg = Reentering(token=7)
    assert master.enrich(msg) is True
    assert seen == ["ZERO"] * 6 and msg["name"] == "NIFTY"
