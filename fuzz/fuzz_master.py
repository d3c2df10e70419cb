"""Contract-master bytes through SymbolMaster.load.

A load returns the count of accepted rows or raises RuntimeError with one of
the documented texts, never anything else. A file that is not UTF-8 fails
with "stream did not contain valid UTF-8" and leaves the table loaded before
it as it was; a file without a token column leaves the table empty. What a
successful load stored is then looked up, enriched into message dicts and
attached to a streaming loader.

    python fuzz/fuzz_master.py [libFuzzer flags] [corpus dirs]
"""

import re
import sys

import atheris

with atheris.instrument_imports():
    import common
    import tidemark

PREVIOUS = common.scratch_file(
    b"Token,TckrSymb,StockNm,OptnTp,StrkPric,XpryDt,MarketLot\n"
    b"7,NIFTY,NIFTY 50,CE,2590000,1767052800,75\n"
    b"4294967295,TOP,,,,,\n",
    "previous.csv",
)
PREVIOUS_STATE = None
NOT_UTF8 = "stream did not contain valid UTF-8"
FEED = common.scratch_file(
    b"".join(
        __import__("feedgen").order_record("N", order_id=i, token=t, order_type="B", price=9)
        for i, t in enumerate((0, 1, 7, 42, 101, 500, 4294967295))
    ),
    "feed.bin",
)
TOKENS = re.compile(rb"\d{1,10}")


def state(master) -> tuple:
    return len(master), repr(master), [master.lookup(t) for t in (0, 7, 4294967295)]


def TestOneInput(data: bytes) -> None:
    path = common.scratch_file(data, "master.csv")
    master = tidemark.SymbolMaster()
    assert master.load(PREVIOUS) == 2
    before = state(master)
    try:
        count = master.load(path)
    except RuntimeError as e:
        text = str(e)
        if text == NOT_UTF8:
            assert state(master) == before
            try:
                data.decode("utf-8")
            except UnicodeDecodeError:
                return
            raise AssertionError("valid UTF-8 refused") from None
        missing = (
            f"cannot load symbol master from {path}: CM_STREAM_INFO_SCHEMA_PATCH_ACTIVE: "
            "missing required token column. Available columns: "
        )
        assert text.startswith(missing), text
        assert len(master) == 0 and repr(master) == "SymbolMaster(contracts=0)"
        return
    data.decode("utf-8")  # a load that succeeded read valid UTF-8
    assert isinstance(count, int) and count >= len(master)
    assert repr(master) == f"SymbolMaster(contracts={len(master)})"

    tokens = {int(t) for t in TOKENS.findall(data) if int(t) <= 0xFFFFFFFF}
    for token in sorted(tokens)[:50]:
        found = master.lookup(token)
        if not found["found"]:
            continue
        assert isinstance(found["symbol"], str) and isinstance(found["strike"], int)
        assert isinstance(found["lot_size"], int) and 0 <= found["lot_size"] <= 0xFFFFFFFF
        msg = {"token": token, "token_symbol": None}
        assert master.enrich(msg) is True
        assert [msg[k] for k in ("token_symbol", "strike_price", "option_type")] == [
            found["symbol"],
            found["strike"],
            found["option_type"],
        ]
        assert list(msg)[-3:] == ["expiry", "lot_size", "name"]

    # The loader enriches from its own copy of the table, as enrich does.
    loader = tidemark.StreamingBinaryLoader()
    loader.attach_symbol_master(master)
    loader.open_stream(FEED)
    while (msg := loader.get_next_msg()) is not None:
        plain = dict(msg, token_symbol=None, strike_price=None, option_type=None)
        for key in ("expiry", "lot_size", "name"):
            plain.pop(key, None)
        master.enrich(plain)
        assert plain == msg and list(plain) == list(msg)


def main() -> None:
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
