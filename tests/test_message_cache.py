import random

import pytest
import tidemark
from feedgen import order_record, other_record, trade_record
from reference_decoder import scan_reference, to_dict

EMPTY_SUMMARY = {
    "file_source": None,
    "total_messages": 0,
    "total_orders": 0,
    "total_trades": 0,
    "memory_usage_bytes": 0,
}


def loaded(path):
    cache = tidemark.MessageCacheReader()
    cache.load_to_cache(path)
    return cache


def test_new_cache_is_empty():
    cache = tidemark.MessageCacheReader()
    assert cache.get_cache_summary() == EMPTY_SUMMARY
    assert len(cache) == 0
    assert list(cache) == []
    for query in (
        "get_all_messages",
        "get_order_message",
        "get_trade_message",
        "get_all_trade_message",
    ):
        assert getattr(cache, query)() == []
    assert cache.messages == []
    with pytest.raises(IndexError, match="^message cache is empty$"):
        cache[0]


def test_queries_by_kind(feed_file):
    recs = [
        order_record("N", order_id=1),
        trade_record(buy_order_id=7),
        order_record("X", order_id=2),
        trade_record(buy_order_id=8),
        order_record("M", order_id=3),
    ]
    path = feed_file(b"  ", recs[0], b" ", *recs[1:], b"   ")
    cache = tidemark.MessageCacheReader()
    assert cache.load_to_cache(path) == 5
    assert cache.get_cache_summary() == {
        "file_source": path,
        "total_messages": 5,
        "total_orders": 3,
        "total_trades": 2,
        "memory_usage_bytes": 270,
    }
    expected = [to_dict(r) for r in recs]
    assert cache.get_all_messages() == expected == cache.messages == list(cache)
    assert [list(d) for d in cache.messages] == [list(d) for d in expected]
    assert cache.get_order_message() == [expected[0], expected[2], expected[4]]
    assert cache.get_trade_message() == [expected[1], expected[3]]
    assert cache.get_all_trade_message() == cache.get_trade_message()
    assert cache[-1] == expected[4] and cache[True] == expected[1]
    # Every call builds new dicts.
    assert cache[0] is not cache[0]


@pytest.mark.parametrize(
    "index, message",
    [
        (1, "message index 1 out of range for cache of size 1"),
        (-2, "message index -2 out of range for cache of size 1"),
        (2**63 - 1, f"message index {2**63 - 1} out of range for cache of size 1"),
    ],
)
def test_index_out_of_range(feed_file, index, message):
    cache = loaded(feed_file(order_record("N")))
    assert cache[0] == cache[-1]
    with pytest.raises(IndexError) as err:
        cache[index]
    assert str(err.value) == message


@pytest.mark.parametrize(
    "index, exc, message",
    [
        ("0", TypeError, "argument 'index': 'str' object cannot be interpreted as an integer"),
        (
            slice(0, 1),
            TypeError,
            "argument 'index': 'slice' object cannot be interpreted as an integer",
        ),
        (2**64, OverflowError, None),
    ],
)
def test_index_conversion(feed_file, index, exc, message):
    cache = loaded(feed_file(order_record("N")))
    with pytest.raises(exc) as err:
        cache[index]
    if message:
        assert str(err.value) == message


@pytest.mark.parametrize(
    "chunks, count",
    [
        ([], 0),
        ([b"     "], 0),
        ([order_record("N")[:40]], 0),
        ([trade_record(), order_record("N")[:20]], 1),
        ([order_record("N"), other_record("A", 12, b"abc"), order_record("N")], 2),
        # A first record of unknown type is skipped, not refused.
        ([other_record("A", 9), order_record("N")], 1),
        # Garbage that never frames a known record.
        ([b"\xff" * 5_000], 0),
        ([b"\x01\x00" * 5_000], 0),
        # An unknown record reaching past the end ends the scan silently.
        ([order_record("N"), other_record("A", 500, b"x")], 1),
    ],
)
def test_framing(feed_file, chunks, count):
    path = feed_file(*chunks)
    cache = tidemark.MessageCacheReader()
    assert cache.load_to_cache(path) == count
    assert cache.get_cache_summary()["file_source"] == path


def test_failed_load_keeps_previous_content(feed_file, tmp_path):
    good = feed_file(order_record("N"), trade_record())
    cache = loaded(good)
    before = (cache.get_cache_summary(), cache.get_all_messages())
    cases = [
        (str(tmp_path / "missing.bin"), "No such file or directory (os error 2)"),
        (str(tmp_path), "No such device (os error 19)"),
        (good + "\0", "file name contained an unexpected NUL byte"),
    ]
    for path, message in cases:
        with pytest.raises(RuntimeError) as err:
            cache.load_to_cache(path)
        assert str(err.value) == message
        assert (cache.get_cache_summary(), cache.get_all_messages()) == before


def test_reload_replaces_and_relative_path_is_kept(feed_file, monkeypatch, tmp_path):
    first = feed_file(order_record("N"), order_record("N"))
    second = feed_file(trade_record())
    cache = loaded(first)
    monkeypatch.chdir(tmp_path)
    relative = second.rsplit("/", 1)[1]
    assert cache.load_to_cache(relative) == 1
    assert cache.get_cache_summary()["file_source"] == relative
    assert cache.get_cache_summary()["total_trades"] == 1


@pytest.mark.parametrize("bad", [b"x", 5, None])
def test_path_must_be_str(bad):
    with pytest.raises(TypeError, match="^argument 'file_path': "):
        tidemark.MessageCacheReader().load_to_cache(bad)


def test_cache_matches_streaming_on_a_generated_file(tmp_path):
    from feedgen import write_feed

    path = str(tmp_path / "gen.bin")
    write_feed(path, 5_000, 20, seed=11)
    loader = tidemark.StreamingBinaryLoader()
    loader.open_stream(path)
    streamed = []
    while (m := loader.get_next_msg()) is not None:
        streamed.append(m)
    assert loaded(path).get_all_messages() == streamed


@pytest.mark.parametrize("seed", range(20))
def test_framing_matches_reference_on_random_bytes(feed_file, seed):
    rng = random.Random(seed)
    parts = []
    for _ in range(rng.randrange(1, 200)):
        r = rng.random()
        if r < 0.3:
            parts.append(order_record(rng.choice("NMX"), order_id=rng.randrange(2**64)))
        elif r < 0.5:
            parts.append(trade_record(token=rng.randrange(-(2**31), 2**31)))
        elif r < 0.6:
            parts.append(b" " * rng.randrange(1, 5))
        elif r < 0.8:
            # Unknown types, including msg_len 0 to 8 that restart the scan
            # inside the header just read.
            parts.append(other_record(rng.choice("AQ\x00 "), rng.randrange(0, 20)))
        else:
            parts.append(rng.randbytes(rng.randrange(1, 60)))
    data = b"".join(parts)
    cache = loaded(feed_file(data))
    assert cache.get_all_messages() == scan_reference(data)


# The cache reads files in chunks of this many bytes; records that straddle a
# chunk border, or a skipped record that reaches across one or more borders,
# must frame exactly as in one whole buffer.
READ_CHUNK = 1 << 18


@pytest.mark.parametrize(
    "record",
    [
        order_record("N", order_id=5),
        trade_record(token=-3),
        other_record("A", 9),
        other_record("A", 60_000),  # skipped body spans the border
        other_record("A", 4),  # restarts inside its own header
    ],
    ids=["order", "trade", "unknown-9", "unknown-60000", "unknown-4"],
)
@pytest.mark.parametrize("border", [READ_CHUNK, 2 * READ_CHUNK])
@pytest.mark.parametrize("before", [1, 5, 8, 9, 30, 46, 47, 53, 54])
def test_records_across_read_chunk_borders(feed_file, record, border, before):
    tail = record + order_record("X", order_id=9) + b"junk"
    # (leading spaces are padding: the reference need not walk them)
    assert loaded(feed_file(b" " * (border - before) + tail)).get_all_messages() == (
        scan_reference(tail)
    )


@pytest.mark.parametrize("seed", range(2))
def test_framing_matches_reference_over_many_chunks(feed_file, seed):
    rng = random.Random(seed)
    parts = []
    size = 0
    while size < 3 * READ_CHUNK + 1000:
        r = rng.random()
        if r < 0.4:
            part = order_record(rng.choice("NMX"), order_id=rng.randrange(2**64))
        elif r < 0.7:
            part = trade_record(token=rng.randrange(-(2**31), 2**31))
        elif r < 0.75:
            part = b" " * rng.randrange(1, 300)
        elif r < 0.8:
            # Long skipped records, some reaching across a chunk border.
            part = other_record("Q", rng.randrange(0, 65536))
        else:
            part = rng.randbytes(rng.randrange(1, 60))
        parts.append(part)
        size += len(part)
    data = b"".join(parts)
    assert loaded(feed_file(data)).get_all_messages() == scan_reference(data)
