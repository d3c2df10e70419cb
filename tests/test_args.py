"""The argument checks shared by the functions of tidemark_tools."""

import datetime as dt
import pathlib

import numpy as np
import pandas as pd
import pytest

from tidemark_tools import _args


@pytest.mark.parametrize(
    "types, expected",
    [("N", "N"), ("NT", "NT"), (["T", "N"], "TN"), (("NT", "X"), "NTX"), ("TTN", "TN"), ([], "")],
)
def test_types_accepted(types, expected):
    assert _args.check_types("f", types) == expected


@pytest.mark.parametrize(
    "types, error",
    [
        (["Q"], ValueError),
        ("NQ", ValueError),
        ("n", ValueError),
        ([""], ValueError),
        (["N", 1], TypeError),
        (b"N", TypeError),
        (5, TypeError),
    ],
)
def test_types_refused(types, error):
    with pytest.raises(error, match="argument 'types'"):
        _args.check_types("f", types)


@pytest.mark.parametrize("value", [5, np.int64(5), np.uint8(5), np.uint64(5)])
def test_ints_by_index(value):
    assert _args.check_int("f", "n", value, 0, 10) == 5
    assert _args.check_tokens("f", [value]) == [5]


@pytest.mark.parametrize("value, error", [(True, TypeError), (5.0, TypeError), (11, ValueError)])
def test_ints_refused(value, error):
    with pytest.raises(error, match="argument 'n'"):
        _args.check_int("f", "n", value, 0, 10)


@pytest.mark.parametrize("tokens", [[-1], [2**32], ["1"], "1", 7])
def test_tokens_refused(tokens):
    with pytest.raises((TypeError, ValueError), match="argument 'tokens'"):
        _args.check_tokens("f", tokens)


NS = 1_767_225_600_123_456_789  # 2026-01-01 00:00:00.123456789 UTC


@pytest.mark.parametrize(
    "moment, expected",
    [
        (NS, NS),
        (np.int64(NS), NS),
        (pd.Timestamp(NS, tz="UTC"), NS),
        (pd.Timestamp(NS, tz="UTC").tz_convert("Asia/Kolkata"), NS),
        (np.datetime64(NS, "ns"), NS),
        (np.datetime64("2026-01-01T00:00:00.123", "ms"), NS - 456_789),
        (np.datetime64("2026-01", "M"), NS - 123_456_789),
        (np.datetime64(1_999, "ps"), 1),
        (np.datetime64(-1, "ps"), -1),
        (
            dt.datetime(
                2026, 1, 1, 5, 30, 0, 123456, tzinfo=dt.timezone(dt.timedelta(hours=5, minutes=30))
            ),
            NS - 789,
        ),
        (dt.datetime(1969, 12, 31, 23, 59, 59, tzinfo=dt.UTC), -(10**9)),
    ],
)
def test_times_exact(moment, expected):
    assert _args.check_time("f", "start", moment) == expected


@pytest.mark.parametrize(
    "moment, error",
    [
        (dt.datetime(2026, 1, 1), ValueError),
        (pd.Timestamp(NS), ValueError),
        (np.datetime64("NaT"), ValueError),
        (pd.NaT, ValueError),
        (dt.date(2026, 1, 1), TypeError),
        ("2026-01-01", TypeError),
        (1.5, TypeError),
        (True, TypeError),
    ],
)
def test_times_refused(moment, error):
    text = "argument 'start' is NaT" if moment is pd.NaT else "argument 'start'"
    with pytest.raises(error, match=text):
        _args.check_time("f", "start", moment)


def test_paths():
    raw = b"/tmp/feed-\xff.bin"
    assert _args.check_paths("f", raw) == [raw]
    assert _args.check_paths("f", [pathlib.Path("a"), "b", b"c"]) == ["a", "b", b"c"]
    assert _args.native_path("/tmp/feed-\udcff.bin") == raw
    assert _args.display_path(raw) == "/tmp/feed-\\xff.bin"
    with pytest.raises(ValueError, match="'paths' is empty"):
        _args.check_paths("f", [])
    with pytest.raises(TypeError, match="argument 'paths'"):
        _args.check_paths("f", ["a", 1])


def test_time_zone():
    assert _args.check_time_zone("f", "Asia/Kolkata") == "Asia/Kolkata"
    for bad in ["Mars/Olympus", "", "../etc/passwd"]:
        with pytest.raises(ValueError, match="argument 'tz'"):
            _args.check_time_zone("f", bad)
