"""FeedPathBuilder: composing, checking and verifying feed file paths."""

import os

import numpy as np
import pytest
import tidemark

CM_2025 = "/nas/50.30/NSE_CM/Feed_CM_StreamID_2_29_12_2025.bin"
FO_FILE = "NSE_FO/Feed_FO_StreamID_1_01_06_2026.bin"
SEGMENT_ERROR = "unknown segment '{}' \u2014 expected one of: NSE_CM, CM, NSE_FO, FO"
RANGE_ERROR = "invalid {} {} \u2014 must be {}\u2013{}"
NOT_STR = "argument '{}': '{}' object cannot be converted to 'PyString'"
NOT_INT = "argument '{}': '{}' object cannot be interpreted as an integer"
OUT_OF_RANGE = "out of range integral type conversion attempted"
TOO_BIG = "Python int too large to convert to C long"
builder = tidemark.FeedPathBuilder()


def failure(fn, *args):
    with pytest.raises(Exception) as err:
        fn(*args)
    return err.type, str(err.value)


@pytest.mark.parametrize(
    "segment", ["NSE_CM", "cm", " Nse_Cm ", "\tCM\r\n", "\u3000\u00a0cm\u2003\u2029", "n\u017fe_cm"]
)
def test_segments_are_trimmed_and_upper_cased(segment):
    assert builder.build(segment, 2, 29, 12, 2025) == CM_2025


@pytest.mark.parametrize(
    ("segment", "shown"),
    [
        ("nse-cm", "NSE-CM"),
        ("BSE_CM", "BSE_CM"),
        ("NSE CM", "NSE CM"),
        ("", ""),
        ("\u200bcm", "\u200bCM"),  # a zero-width space is not white space
        ("\x1ccm", "\x1cCM"),  # nor is an information separator
        (" stra\xdfe ", "STRASSE"),
    ],
)
def test_unknown_segment_is_checked_first(segment, shown):
    assert failure(builder.build, segment, 0, 0, 0, 0) == (
        RuntimeError,
        SEGMENT_ERROR.format(shown),
    )


@pytest.mark.parametrize(
    ("base", "path"),
    [
        ("/mnt/data", "/mnt/data/" + FO_FILE),
        ("/mnt/data///", "/mnt/data/" + FO_FILE),
        ("/", "/" + FO_FILE),
        ("", "/" + FO_FILE),
        ("data", "data/" + FO_FILE),
        (" /a//b/ ", " /a//b/ /" + FO_FILE),
        (None, "/nas/50.30/" + FO_FILE),
    ],
)
def test_base_path(base, path):
    assert builder.build("FO", 1, 1, 6, 2026, base) == path
    assert (
        builder.build(segment="fo", stream_id=1, day=1, month=6, year=2026, base_path=base) == path
    )


def test_bounds_and_integer_like_arguments():
    assert builder.build("NSE_CM", stream_id=2, day=29, month=12, year=2025) == CM_2025
    assert builder.build("CM", np.uint16(65535), True, 12, 2100).endswith("_65535_01_12_2100.bin")
    assert builder.build("CM", 4294967295, 31, 2, 2000).endswith("_4294967295_31_02_2000.bin")


@pytest.mark.parametrize(
    ("args", "message"),
    [
        ((0, 0, 0, 0), "stream_id must be > 0"),
        ((1, 0, 0, 0), RANGE_ERROR.format("day", 0, 1, 31)),
        ((1, 32, 1, 2025), RANGE_ERROR.format("day", 32, 1, 31)),
        ((1, 4294967295, 1, 2025), RANGE_ERROR.format("day", 4294967295, 1, 31)),
        ((1, 1, 0, 0), RANGE_ERROR.format("month", 0, 1, 12)),
        ((1, 1, 13, 2025), RANGE_ERROR.format("month", 13, 1, 12)),
        ((1, 1, 1, 1999), RANGE_ERROR.format("year", 1999, 2000, 2100)),
        ((1, 1, 1, 2101), RANGE_ERROR.format("year", 2101, 2000, 2100)),
    ],
)
def test_range_checks_in_order(args, message):
    assert failure(builder.build, "CM", *args) == (RuntimeError, message)


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        ((5, -1, 1, 1, 1), (TypeError, NOT_STR.format("segment", "int"))),
        (("bad", -1, 0, 0, 0), (OverflowError, OUT_OF_RANGE)),
        (("bad", 1, 2**32, 0, 0), (OverflowError, OUT_OF_RANGE)),
        (("bad", 1, 1, 2**63, 0), (OverflowError, TOO_BIG)),
        (("bad", 1, 1, -(2**63) - 1, 0), (OverflowError, TOO_BIG)),
        (("bad", 1, 1, 1, "2025"), (TypeError, NOT_INT.format("year", "str"))),
        (("bad", 1.0, 1, 1, 1), (TypeError, NOT_INT.format("stream_id", "float"))),
        (("bad", 1, 1, 1, 1, b"/x"), (TypeError, NOT_STR.format("base_path", "bytes"))),
        (
            ("CM", 1, 1, 1),
            (TypeError, "FeedPathBuilder.{}() missing 1 required positional argument: 'year'"),
        ),
    ],
)
def test_arguments_are_converted_before_any_check(args, expected):
    for method in ("build", "build_and_verify"):
        error, message = expected
        assert failure(getattr(builder, method), *args) == (error, message.format(method))


def test_build_and_verify(tmp_path):
    base = tmp_path / "store"
    cm = base / "NSE_CM"
    cm.mkdir(parents=True)
    path = cm / "Feed_CM_StreamID_2_29_12_2025.bin"
    assert failure(builder.build_and_verify, "CM", 2, 29, 12, 2025, f"{base}/") == (
        RuntimeError,
        f"file not found: {path}",
    )
    path.write_bytes(b"")
    assert builder.build_and_verify("CM", 2, 29, 12, 2025, str(base)) == str(path)
    # A directory or a link to something present counts; a broken link does not.
    os.symlink(path, cm / "Feed_CM_StreamID_4_29_12_2025.bin")
    os.symlink(tmp_path / "missing", cm / "Feed_CM_StreamID_3_29_12_2025.bin")
    (base / FO_FILE).mkdir(parents=True)
    assert builder.build_and_verify("CM", 4, 29, 12, 2025, str(base)).startswith(str(cm))
    assert builder.build_and_verify("FO", 1, 1, 6, 2026, str(base)) == f"{base}/{FO_FILE}"
    for args in [("CM", 3, 29, 12, 2025, str(base)), ("CM", 2, 29, 12, 2025, f"{base}\0")]:
        assert failure(builder.build_and_verify, *args) == (
            RuntimeError,
            f"file not found: {builder.build(*args)}",
        )


def test_surface():
    cls = tidemark.FeedPathBuilder
    assert (repr(builder), cls.__text_signature__) == ("FeedPathBuilder()", "()")
    assert cls.__doc__ == (
        "Python-accessible feed file path builder.\n\nUsage:\n\n```text\n"
        "builder = FeedPathBuilder()\n"
        'path = builder.build("NSE_CM", stream_id=2, day=29, month=12, year=2025)\n'
        '# "/nas/50.30/NSE_CM/Feed_CM_StreamID_2_29_12_2025.bin"\n\n'
        'path = builder.build_and_verify("NSE_CM", stream_id=2, day=29, month=12, year=2025)\n\n'
        'path = builder.build(\n    "NSE_FO",\n    stream_id=1,\n    day=1,\n    month=6,\n'
        '    year=2026,\n    base_path="/mnt/data",\n)\n```'
    )
    signature = "($self, segment, stream_id, day, month, year, base_path=None)"
    assert cls.build.__text_signature__ == cls.build_and_verify.__text_signature__ == signature
    assert cls.build.__doc__ == (
        "Build the file path from components.\n\nArgs:\n"
        '    segment   (str): "NSE_CM", "CM", "NSE_FO", or "FO" (case-insensitive)\n'
        "    stream_id (int): stream identifier, must be > 0\n"
        "    day       (int): day of month (1-31)\n"
        "    month     (int): month (1-12)\n"
        "    year      (int): four-digit year (2000-2100)\n"
        '    base_path (str, optional): root directory; defaults to "/nas/50.30"\n\n'
        "Returns:\n    str: full file path"
    )
    assert cls.build_and_verify.__doc__ == (
        "Same as `build`, but also verifies the file exists on disk.\n"
        "Raises RuntimeError if the path does not exist."
    )
