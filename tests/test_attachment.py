"""A SymbolMaster attached to a StreamingBinaryLoader: every streamed message is enriched
from the loader's own copy of the master's table."""

from pathlib import Path

import pytest
import tidemark
from feedgen import order_record, other_record, trade_record

DATA = Path(__file__).resolve().parent.parent / "data"
EXTRA_KEYS = ["expiry", "lot_size", "name"]


def master_of(tmp_path, text, name="m.csv"):
    path = tmp_path / name
    path.write_text(text)
    sm = tidemark.SymbolMaster()
    sm.load(str(path))
    return sm


def drain(loader):
    out = []
    while (msg := loader.get_next_msg()) is not None:
        out.append(msg)
    return out


def test_sample_feed_is_enriched_like_enrich_does():
    sm = tidemark.SymbolMaster()
    sm.load(str(DATA / "contract_master_fo_header.csv"))
    plain, enriched = tidemark.StreamingBinaryLoader(), tidemark.StreamingBinaryLoader()
    enriched.attach_symbol_master(master=sm)
    for loader in (plain, enriched):
        loader.open_stream(str(DATA / "sample_feed.bin"), count_messages=False)
    expected = drain(plain)
    for msg in expected:
        assert sm.enrich(msg) is True
    got = drain(enriched)
    assert got == expected
    assert all(list(a) == list(b) and len(a) == 19 for a, b in zip(got, expected, strict=True))


def test_unknown_tokens_keep_sixteen_keys(tmp_path, feed_file):
    sm = master_of(tmp_path, "Token,TckrSymb\n1001,A\n")
    loader = tidemark.StreamingBinaryLoader()
    loader.attach_symbol_master(sm)
    loader.open_stream(
        feed_file(order_record(token=1001), other_record("A", 12, b"xyz"), trade_record(token=5))
    )
    order, trade = drain(loader)
    assert list(order)[-4:] == ["option_type"] + EXTRA_KEYS and order["token_symbol"] == "A"
    assert len(trade) == 16
    assert [trade[k] for k in ("token_symbol", "strike_price", "option_type")] == [None] * 3


def test_signed_trade_token_uses_its_bit_pattern(tmp_path, feed_file):
    sm = master_of(tmp_path, "Token,TckrSymb\n4294967295,TOP\n")
    loader = tidemark.StreamingBinaryLoader()
    loader.attach_symbol_master(sm)
    loader.open_stream(feed_file(trade_record(token=-1), order_record(token=4294967295)))
    trade, order = drain(loader)
    assert (trade["token"], trade["token_symbol"]) == (-1, "TOP")
    assert (order["token"], order["token_symbol"]) == (4294967295, "TOP")


def test_attachment_is_a_snapshot_that_outlives_the_master(tmp_path, feed_file):
    feed = feed_file(order_record(token=1), order_record(token=2))
    sm = master_of(tmp_path, "Token,TckrSymb\n1,OLD\n")
    loader = tidemark.StreamingBinaryLoader()
    loader.attach_symbol_master(sm)
    sm.load(str(tmp_path / "m.csv"))  # the same file again, then another one
    (tmp_path / "new.csv").write_text("Token,TckrSymb\n2,NEW\n")
    sm.load(str(tmp_path / "new.csv"))
    loader.open_stream(feed)
    assert [m["token_symbol"] for m in drain(loader)] == ["OLD", None]
    loader.attach_symbol_master(sm)
    del sm
    loader.reset_cursor()
    assert [m["token_symbol"] for m in drain(loader)] == [None, "NEW"]


def test_attachment_survives_stream_changes_and_detach_ends_it(tmp_path, feed_file):
    sm = master_of(tmp_path, "Token,TckrSymb\n1,A\n")
    loader = tidemark.StreamingBinaryLoader()
    loader.detach_symbol_master()  # nothing attached: no error
    loader.attach_symbol_master(sm)
    feed = feed_file(order_record(token=1))
    loader.open_stream(feed)
    with pytest.raises(RuntimeError):
        loader.open_stream(feed_file(b""))
    assert drain(loader)[0]["token_symbol"] == "A"
    loader.open_stream(feed)
    assert drain(loader)[0]["token_symbol"] == "A"
    loader.detach_symbol_master()
    loader.detach_symbol_master()
    loader.reset_cursor()
    (msg,) = drain(loader)
    assert len(msg) == 16 and msg["token_symbol"] is None


def test_empty_master_enriches_nothing(feed_file):
    loader = tidemark.StreamingBinaryLoader()
    loader.attach_symbol_master(tidemark.SymbolMaster())
    loader.open_stream(feed_file(order_record(token=0), trade_record(token=0)))
    assert [len(m) for m in drain(loader)] == [16, 16]


@pytest.mark.parametrize(
    ("arg", "type_name"),
    [(42, "int"), (None, "NoneType"), (tidemark.StreamingBinaryLoader(), "StreamingBinaryLoader")],
)
def test_attach_rejects_other_objects_and_keeps_the_attachment(tmp_path, feed_file, arg, type_name):
    loader = tidemark.StreamingBinaryLoader()
    loader.attach_symbol_master(master_of(tmp_path, "Token,TckrSymb\n1,A\n"))
    with pytest.raises(TypeError) as err:
        loader.attach_symbol_master(arg)
    assert str(err.value) == (
        f"argument 'master': '{type_name}' object cannot be converted to 'SymbolMaster'"
    )
    loader.open_stream(feed_file(order_record(token=1)))
    assert loader.get_next_msg()["token_symbol"] == "A"


def test_attach_methods_surface():
    cls = tidemark.StreamingBinaryLoader
    assert cls.attach_symbol_master.__text_signature__ == "($self, master)"
    assert cls.attach_symbol_master.__doc__ == (
        "Attach a loaded SymbolMaster so that get_next_msg() auto-enriches every message."
    )
    assert cls.detach_symbol_master.__text_signature__ == "($self)"
    assert cls.detach_symbol_master.__doc__ == (
        "Remove the attached SymbolMaster (messages will have None symbol fields again)."
    )
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'master'"):
        cls().attach_symbol_master()
    with pytest.raises(TypeError, match="takes 0 positional arguments but 1 was given"):
        cls().detach_symbol_master(1)
