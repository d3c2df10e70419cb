import os
import random
from pathlib import Path

import pytest
import tidemark
from feedgen import order_record, other_record, trade_record
from reference_decoder import DecodeError, ReferenceLoader

ORDER_KEYS = [
    "message_kind",
    "seq_no",
    "msg_len",
    "stream_id",
    "msg_type",
    "exch_ts",
    "local_ts",
    "order_id",
    "token",
    "order_type",
    "price",
    "quantity",
    "flags",
    "token_symbol",
    "strike_price",
    "option_type",
]
TRADE_KEYS = [
    "message_kind",
    "seq_no",
    "msg_len",
    "stream_id",
    "msg_type",
    "exch_ts",
    "local_ts",
    "buy_order_id",
    "sell_order_id",
    "token",
    "trade_price",
    "trade_quantity",
    "flags",
    "token_symbol",
    "strike_price",
    "option_type",
]


def loader_on(path, count=True):
    loader = tidemark.StreamingBinaryLoader()
    loader.open_stream(path, count)
    return loader


def drain(loader):
    out = []
    while (msg := loader.get_next_msg()) is not None:
        out.append(msg)
    return out


def test_new_loader_has_no_stream():
    loader = tidemark.StreamingBinaryLoader()
    assert loader.get_next_msg() is None
    assert loader.is_end_of_msg() is True
    assert loader.reset_cursor() is None


def test_order_dict_fields_and_key_order(feed_file):
    rec = order_record(
        "N",
        order_id=2**64 - 1,
        token=4294967295,
        order_type="B",
        price=2**31,
        quantity=4294967295,
        exch_ts=2**64 - 2,
        local_ts=7,
        flags=0,
        seq_no=4294967295,
        stream_id=65535,
        msg_len=65535,
    )
    (msg,) = drain(loader_on(feed_file(rec)))
    assert list(msg) == ORDER_KEYS
    assert msg == {
        "message_kind": "order",
        "seq_no": 4294967295,
        "msg_len": 65535,
        "stream_id": 65535,
        "msg_type": "N",
        "exch_ts": 2**64 - 2,
        "local_ts": 7,
        "order_id": 2**64 - 1,
        "token": 4294967295,
        "order_type": "B",
        "price": 2147483648,
        "quantity": 4294967295,
        "flags": False,
        "token_symbol": None,
        "strike_price": None,
        "option_type": None,
    }


def test_trade_fields_are_signed(feed_file):
    rec = trade_record(
        token=-1,
        trade_price=-(2**31),
        trade_quantity=-5,
        buy_order_id=3,
        sell_order_id=4,
        flags=1,
    )
    (msg,) = drain(loader_on(feed_file(rec)))
    assert list(msg) == TRADE_KEYS
    assert (msg["token"], msg["trade_price"], msg["trade_quantity"]) == (-1, -(2**31), -5)
    assert msg["message_kind"] == "trade" and msg["flags"] is True


@pytest.mark.parametrize(
    "flags, order_type, expected",
    [(0, b"S", (False, "S")), (1, b"B", (True, "B")), (0x80, b"\xe9", (True, "\u00e9"))],
)
def test_flags_and_latin1_type_bytes(feed_file, flags, order_type, expected):
    first = order_record("N")
    rec = order_record("M", flags=flags, order_type=order_type)
    msgs = drain(loader_on(feed_file(first, rec)))
    assert (msgs[1]["flags"], msgs[1]["order_type"]) == expected
    assert all(type(v) is not float for v in msgs[1].values())


def test_counting_skips_unknown_records(feed_file):
    path = feed_file(
        order_record("N", order_id=1),
        order_record("M", order_id=1),
        other_record("A", 12, b"xyz"),
        order_record("X", order_id=1),
        trade_record(),
    )
    loader = tidemark.StreamingBinaryLoader()
    assert loader.open_stream(path) == 4
    assert [m["msg_type"] for m in drain(loader)] == ["N", "M", "X", "T"]
    assert loader.open_stream(path, count_messages=False) == 0
    assert len(drain(loader)) == 4
    assert loader.get_next_msg() is None


@pytest.mark.parametrize(
    "content, message",
    [
        (b"", "file is empty or missing a complete message header"),
        (b"     ", "file is empty or missing a complete message header"),
        (b"abcde", "truncated first message header"),
        (other_record("A", 9), "invalid first message type: 65"),
        (b"  " + other_record("\xff", 9), "invalid first message type: 255"),
    ],
)
def test_open_refuses_bad_starts(feed_file, content, message):
    with pytest.raises(RuntimeError) as err:
        tidemark.StreamingBinaryLoader().open_stream(feed_file(content))
    assert str(err.value) == message


@pytest.mark.parametrize(
    "tail, message",
    [
        (trade_record()[:20], "truncated message payload"),
        (trade_record()[:5], "truncated message header"),
        (other_record("A", 30, b"x" * 10), "failed to fill whole buffer"),
    ],
)
def test_cut_short_last_record(feed_file, tail, message):
    path = feed_file(order_record("N"), tail)
    with pytest.raises(RuntimeError) as err:
        tidemark.StreamingBinaryLoader().open_stream(path)
    assert str(err.value) == message
    loader = loader_on(path, count=False)
    assert loader.get_next_msg()["msg_type"] == "N"
    with pytest.raises(RuntimeError) as err:
        loader.get_next_msg()
    assert str(err.value) == message
    assert loader.get_next_msg() is None
    assert loader.is_end_of_msg() is True


def test_look_ahead_error_keeps_cursor(feed_file):
    loader = loader_on(feed_file(order_record("N"), trade_record()[:20]), count=False)
    loader.get_next_msg()
    for _ in range(2):
        with pytest.raises(RuntimeError, match="truncated message payload"):
            loader.is_end_of_msg()


@pytest.mark.parametrize("msg_len, consumed", [(0, 9), (5, 9), (9, 9), (12, 12), (300, 300)])
def test_unknown_record_length(feed_file, msg_len, consumed):
    skipped = other_record("A", msg_len, b"\x00" * (consumed - 9))
    path = feed_file(order_record("N", order_id=1), skipped, order_record("N", order_id=2))
    assert [m["order_id"] for m in drain(loader_on(path))] == [1, 2]


def test_spaces_around_records_are_padding(feed_file):
    path = feed_file(b"   ", order_record("N"), b" " * 3, trade_record(), b"  " * 10)
    loader = loader_on(path)
    assert [m["msg_type"] for m in drain(loader)] == ["N", "T"]
    assert loader.is_end_of_msg() is True


def test_look_ahead_does_not_move_the_cursor(feed_file):
    path = feed_file(
        order_record("N", order_id=1), order_record("N", order_id=2), other_record("Q", 9), b"   "
    )
    loader = loader_on(path)
    assert loader.is_end_of_msg() is False
    assert loader.is_end_of_msg() is False
    assert loader.get_next_msg()["order_id"] == 1
    assert loader.get_next_msg()["order_id"] == 2
    # Only a skipped record and spaces remain: the stream is at its end.
    assert loader.is_end_of_msg() is True
    assert loader.get_next_msg() is None
    loader.reset_cursor()
    assert loader.get_next_msg()["order_id"] == 1


def test_failed_open_keeps_previous_stream(feed_file, tmp_path):
    good = feed_file(order_record("N", order_id=1), order_record("N", order_id=2))
    loader = loader_on(good)
    assert loader.get_next_msg()["order_id"] == 1
    bad_paths = [str(tmp_path / "missing.bin"), feed_file(b""), str(tmp_path), good + "\0x"]
    messages = [
        "No such file or directory (os error 2)",
        "file is empty or missing a complete message header",
        "Is a directory (os error 21)",
        "file name contained an unexpected NUL byte",
    ]
    for path, message in zip(bad_paths, messages, strict=True):
        with pytest.raises(RuntimeError) as err:
            loader.open_stream(path)
        assert str(err.value) == message
    assert loader.get_next_msg()["order_id"] == 2


def test_relative_path_uses_working_directory(feed_file, monkeypatch):
    path = Path(feed_file(order_record("N")))
    monkeypatch.chdir(path.parent)
    assert tidemark.StreamingBinaryLoader().open_stream(path.name) == 1


def test_growing_file_shows_new_records(feed_file):
    path = feed_file(order_record("N", order_id=1))
    loader = loader_on(path)
    assert loader.get_next_msg()["order_id"] == 1
    assert loader.get_next_msg() is None
    assert loader.is_end_of_msg() is True
    with open(path, "ab") as f:
        f.write(order_record("N", order_id=2))
    assert loader.is_end_of_msg() is False
    assert loader.get_next_msg()["order_id"] == 2
    # A record that arrives in two parts: the first half is an error, the
    # second half then stands alone and is decoded from where the cut was.
    rec = order_record("N", order_id=3)
    with open(path, "ab") as f:
        f.write(rec[:20])
    with pytest.raises(RuntimeError, match="truncated message payload"):
        loader.get_next_msg()
    assert loader.get_next_msg() is None


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda ld: ld.open_stream(5),
            "argument 'file_path': 'int' object cannot be converted to 'PyString'",
        ),
        (
            lambda ld: ld.open_stream(b"x"),
            "argument 'file_path': 'bytes' object cannot be converted to 'PyString'",
        ),
        (
            lambda ld: ld.open_stream(Path("x")),
            "argument 'file_path': 'PosixPath' object cannot be converted to 'PyString'",
        ),
        (
            lambda ld: ld.open_stream("x", 1),
            "argument 'count_messages': 'int' object cannot be converted to 'PyBool'",
        ),
        (
            lambda ld: ld.open_stream(),
            "StreamingBinaryLoader.open_stream() missing 1 required positional argument: "
            "'file_path'",
        ),
        (
            lambda ld: ld.open_stream("a", True, 3),
            "StreamingBinaryLoader.open_stream() takes from 1 to 2 positional arguments but 3 "
            "were given",
        ),
        (
            lambda ld: ld.open_stream("a", file_path="b"),
            "StreamingBinaryLoader.open_stream() got multiple values for argument 'file_path'",
        ),
        (
            lambda ld: ld.open_stream(path="a"),
            "StreamingBinaryLoader.open_stream() got an unexpected keyword argument 'path'",
        ),
        (
            lambda ld: ld.get_next_msg(1),
            "StreamingBinaryLoader.get_next_msg() takes 0 positional arguments but 1 was given",
        ),
        (
            lambda ld: ld.reset_cursor(x=1),
            "StreamingBinaryLoader.reset_cursor() got an unexpected keyword argument 'x'",
        ),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as err:
        call(tidemark.StreamingBinaryLoader())
    assert str(err.value) == message


def test_accepted_argument_forms(feed_file):
    np = pytest.importorskip("numpy")

    class MyStr(str):
        pass

    path = feed_file(order_record("N"))
    loader = tidemark.StreamingBinaryLoader()
    assert loader.open_stream(MyStr(path)) == 1
    assert loader.open_stream(file_path=path, count_messages=np.bool_(False)) == 0
    assert loader.open_stream(count_messages=np.True_, file_path=path) == 1
    assert loader.open_stream(path, None) == 1


def test_text_signatures():
    cls = tidemark.StreamingBinaryLoader
    assert cls.open_stream.__text_signature__ == "($self, file_path, count_messages=True)"
    for name in ("reset_cursor", "get_next_msg", "is_end_of_msg"):
        assert getattr(cls, name).__text_signature__ == "($self)"


# ----------------------------------------------------------------------------
# The buffered loader against the record-by-record definition.


def random_feed(rng: random.Random, size_hint: int) -> bytes:
    from feedgen import order_record as o
    from feedgen import other_record as u
    from feedgen import trade_record as t

    parts = [o("N", order_id=rng.randrange(2**64), token=rng.randrange(2**32))]
    total = len(parts[0])
    while total < size_hint:
        r = rng.random()
        if r < 0.45:
            part = o(
                rng.choice("NMX"),
                order_id=rng.randrange(2**64),
                price=rng.randrange(2**32),
                flags=rng.randrange(256),
                order_type=rng.randrange(256),
            )
        elif r < 0.75:
            part = t(token=rng.randrange(-(2**31), 2**31), trade_quantity=rng.randrange(-9, 99))
        elif r < 0.85:
            part = b" " * rng.randrange(1, 4)
        else:
            msg_len = rng.choice([0, 3, 9, 12, 100, 4000, 65535])
            body = rng.randbytes(max(0, msg_len - 9))
            part = u(rng.choice("AQZ\x00"), msg_len, body)
        parts.append(part)
        total += len(part)
    data = b"".join(parts)
    if rng.random() < 0.4:
        data = data[: rng.randrange(len(data) // 2, len(data) + 1)]
    return data


def outcome(fn):
    try:
        return ("ok", fn())
    except (RuntimeError, DecodeError) as exc:
        return ("error", str(exc))


@pytest.mark.parametrize("seed", range(12))
def test_buffered_loader_matches_record_by_record_reading(feed_file, seed):
    rng = random.Random(seed)
    size = rng.choice([200, 5_000, 300_000, 1_100_000])
    path = feed_file(random_feed(rng, size))
    native, ref = tidemark.StreamingBinaryLoader(), ReferenceLoader()
    try:
        count = rng.random() < 0.5
        assert outcome(lambda: native.open_stream(path, count)) == outcome(
            lambda: ref.open_stream(path, count)
        )
        ops = ["get_next_msg"] * 20 + ["is_end_of_msg"] * 4 + ["reset_cursor"]
        for _ in range(4000 if size > 100_000 else 400):
            op = rng.choice(ops)
            assert outcome(getattr(native, op)) == outcome(getattr(ref, op)), op
        # Then the rest of the file in one go.
        while True:
            a, b = outcome(native.get_next_msg), outcome(ref.get_next_msg)
            assert a == b
            if a == ("ok", None):
                break
    finally:
        ref.close()


def test_message_count_of_a_large_file(tmp_path):
    from feedgen import write_feed

    path = str(tmp_path / "big.bin")
    write_feed(path, 30_000, 50, seed=3)
    ref = ReferenceLoader()
    try:
        assert tidemark.StreamingBinaryLoader().open_stream(path) == ref.open_stream(path)
    finally:
        ref.close()
    assert os.path.getsize(path) > 1_000_000
