"""Reading contract-master CSV files, seen through SymbolMaster.load and lookup."""

import datetime
import random
from pathlib import Path

import pytest
import tidemark

DATA = Path(__file__).resolve().parent.parent / "data"
MISSING_TOKEN = (
    "cannot load symbol master from {}: CM_STREAM_INFO_SCHEMA_PATCH_ACTIVE: "
    "missing required token column. Available columns: {}"
)


@pytest.fixture
def load(tmp_path):
    """Writes `content` (str or bytes) to a file and loads it; returns (master, count)."""

    def run(content, master=None):
        path = tmp_path / "master.csv"
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        master = master or tidemark.SymbolMaster()
        return master, master.load(str(path))

    return run


def row(master, token):
    """(symbol, name, option_type, strike, expiry, lot_size) of a loaded token."""
    info = master.lookup(token)
    assert info["found"], token
    return tuple(info[k] for k in ("symbol", "name", "option_type", "strike", "expiry", "lot_size"))


def test_sample_masters_cover_the_sample_feed_tokens():
    for name in ("fo_header", "headerless", "positional"):
        master = tidemark.SymbolMaster()
        assert master.load(str(DATA / f"contract_master_{name}.csv")) == 14
        assert all(master.lookup(t)["found"] for t in range(1001, 1011))
    assert row(master, 1001) == ("NIFTY25DEC25900CE",) * 2 + ("CE", -1, "", 0)
    master.load(str(DATA / "contract_master_fo_header.csv"))
    assert row(master, 1001) == ("NIFTY", "NIFTY", "CE", 25900, "30-Dec-2025", 75)


@pytest.mark.parametrize(
    "header",
    [
        '\ufeff"FinInstrmId","TckrSymb","OptnTp","NewBrdLotQty"',
        "Token Number, Trading Symbol ,Option Type,Lot Size",
        "'tkn',sym,OPTN_TP,market-lot",
    ],
)
def test_header_names_resolve_through_their_keys(load, header):
    master, count = load(header + "\r\n7, ABC ,CE,50\r\n")
    assert (count, row(master, 7)) == (1, ("ABC", "ABC", "CE", -1, "", 50))


def test_leftmost_column_wins_and_symbol_and_name_fall_back(load):
    master, _ = load("Name,TckrSymb,Token\nfirst,second,1\n")
    assert row(master, 1)[:2] == ("first", "first")
    master, _ = load("Token,Sym,SecurityName\n1,,N\n2,S,\n3,,\n")
    assert [row(master, t)[:2] for t in (1, 2, 3)] == [("N", "N"), ("S", "S"), ("3", "3")]


def test_which_rows_are_kept(load):
    tokens = ["abc", "", "-5", "4294967296", "1.5", "+123", "00124", "4294967295", "0", "42"]
    text = "Symbol,Token,LotSize\nshort\n\n \t\n" + "".join(f"X{t},{t}\n" for t in tokens)
    master, count = load(text + "LAST,42,10\n")
    assert (count, len(master)) == (6, 5)
    assert all(master.lookup(t)["found"] for t in (0, 123, 124, 4294967295))
    assert (row(master, 123)[0], row(master, 42)[0], row(master, 42)[5]) == ("X+123", "LAST", 10)


@pytest.mark.parametrize(
    ("strike", "lot", "option", "expected"),
    [
        ("2450000", "75", "CE", (24500, 75, "CE")),
        ("-250", "+75", "pe", (-2, 75, "pe")),
        ("24500.50", "75.0", "", (-1, 0, "XX")),
        ("", "-1", " ", (-1, 0, "XX")),
        ("9223372036854775807", "4294967295", "X", (92233720368547758, 4294967295, "X")),
        ("9223372036854775808", "4294967296", "Y", (-1, 0, "Y")),
    ],
)
def test_strike_lot_size_and_option_type(load, strike, lot, option, expected):
    master, _ = load(f"Token,StrkPric,NewBrdLotQty,OptnTp\n1,{strike},{lot},{option}\n")
    assert (row(master, 1)[3], row(master, 1)[5], row(master, 1)[2]) == expected


def test_field_cleaning(load):
    # No quoting: a comma between quotes splits, and the stray quotes are cleaned off. Only
    # Unicode White_Space is trimmed (U+001C is not, though Python's str.strip takes it).
    master, _ = load('Tk,Ticker,Description,OptnTp\n5,"AB,CD",EF\n6,\xa0\u3000N\t,\x1cR\x1c\n')
    assert (row(master, 5)[:3], row(master, 6)[:2]) == (("AB", "CD", "EF"), ("N", "\x1cR\x1c"))


def test_headerless_and_positional_layouts(load):
    master, count = load("5,101,7\n6,102,8\n")
    assert (count, row(master, 101)) == (2, ("101", "101", "XX", -1, "", 0))
    master, _ = load("5,4294967296,7\n6,102,8\n")  # field 1 too large: column 0 is the token
    assert master.lookup(5)["found"] and master.lookup(6)["found"]
    master, count = load("5,101,7")  # a lone numeric line is a row
    assert (count, len(master)) == (1, 1)
    master, count = load("123\n\n c ,x,500,y,ABC\nC,x,501\nC,x,502,y,,z,w,PE\nT,2,3\n")
    assert (count, len(master)) == (2, 2)
    assert (row(master, 500), row(master, 502)) == (
        ("ABC", "ABC", "XX", -1, "", 0),
        ("502", "502", "PE", -1, "", 0),
    )


@pytest.mark.parametrize(
    ("content", "columns"),
    [
        ("Symbol,Expiry\n1,2\n", "Symbol,Expiry"),
        ("", ""),
        ('\ufeff"a" ,,b\n', "a,,b"),
        ("x,1\nC,1,2,3,4\n", "x,1"),
    ],
)
def test_missing_token_column_empties_the_table(load, tmp_path, content, columns):
    master, _ = load("Token\n1\n")
    with pytest.raises(RuntimeError) as err:
        load(content, master)
    assert str(err.value) == MISSING_TOKEN.format(tmp_path / "master.csv", columns)
    assert len(master) == 0


@pytest.mark.parametrize("content", [b"Token\n1,\xff\n", b"\xc3(Token\n1\n", b"Token\n2,\xe2\x82"])
def test_invalid_utf8_fails_and_leaves_the_table(load, content):
    master, _ = load("Token\n7\n")
    with pytest.raises(RuntimeError, match="^stream did not contain valid UTF-8$"):
        load(content, master)
    assert master.lookup(7)["found"] and len(master) == 1


def test_files_that_cannot_be_read_leave_the_table(load, tmp_path):
    master, _ = load("Token\n7\n")
    missing = str(tmp_path / "nope.csv")
    for path, message in [
        (missing, f"cannot open {missing}: No such file or directory (os error 2)"),
        (str(tmp_path), "Is a directory (os error 21)"),
        ("bad\0name", "cannot open bad\0name: file name contained an unexpected NUL byte"),
    ]:
        with pytest.raises(RuntimeError) as err:
            master.load(path)
        assert (str(err.value), len(master)) == (message, 1)


def test_one_line_of_tens_of_megabytes(load, tmp_path):
    # Stands for a line of a few hundred megabytes (checked by hand), kept smaller so the
    # suite stays quick, also under the sanitizers.
    size = 32 << 20
    fields = ("ab," * (size // 3)).rstrip(",")
    master, _ = load("Token\n1\n")
    with pytest.raises(RuntimeError) as err:
        load(fields, master)
    assert str(err.value) == MISSING_TOKEN.format(tmp_path / "master.csv", fields)
    assert len(master) == 0
    master, count = load("Token,Symbol\n9," + "s" * size)
    assert count == 1 and len(row(master, 9)[0]) == size
    master, count = load("Token\n" + "1" * size)
    assert (count, len(master)) == (0, 0)


# ---------------------------------------------------------------- expiry

MONTHS = "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec".split()
CYCLE = 146097  # days in 400 Gregorian years, after which the calendar repeats


def reference_date(seconds):
    """DD-Mon-YYYY of epoch seconds: datetime finds the date's place in its 400-year cycle."""
    cycles, day = divmod(seconds // 86400, CYCLE)
    date = datetime.date(1970, 1, 1) + datetime.timedelta(days=day)
    return f"{date.day:02d}-{MONTHS[date.month - 1]}-{date.year + 400 * cycles}"


def expiry_samples():
    day = 86400
    values = [1, 86399, 86400, 951782400, 253402300799, 253402300800, 2**62, 2**63 - 1]
    # Both ends of days around year ends and the end of February in leap, common and
    # century years, also beyond four-digit years.
    for year in (1972, 1999, 2000, 2100, 2400, 9999, 10000, 10400, 123456789):
        cycles = (year - 2000) // 400
        for month, dd in ((1, 1), (2, 28), (3, 1), (12, 31)):
            date = datetime.date(year - 400 * cycles, month, dd)
            start = ((date - datetime.date(1970, 1, 1)).days + CYCLE * cycles) * day
            values += [start, start + day - 1]
    rng = random.Random(11)
    return values + [int(10 ** rng.uniform(0, 18.96)) for _ in range(3000)]


def test_expiry_seconds_become_calendar_dates(load):
    values = expiry_samples()
    master, _ = load("Token,XpryDt\n" + "".join(f"{i},{v}\n" for i, v in enumerate(values)))
    got = [master.lookup(i)["expiry"] for i in range(len(values))]
    assert got == [reference_date(v) for v in values]
    utc = datetime.UTC
    for text, v in zip(got, values, strict=True):
        if v < 253402300800:  # within datetime's own range it agrees directly
            assert text == datetime.datetime.fromtimestamp(v, utc).strftime("%d-%b-%Y")
    assert got[values.index(2**63 - 1)] == "04-Dec-292277026596"


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("1767052800", "30-Dec-2025"),
        ("+0001767052800", "30-Dec-2025"),
        ("0", ""),
        ("-5", ""),
        ("-9223372036854775808", ""),
        ("9223372036854775808", "9223372036854775808"),
        ("30-Dec-2025", "30-Dec-2025"),
        ("2025-12-30", "2025-12-30"),
        ("1.7e9", "1.7e9"),
        ("-", "-"),
        ("+", "+"),
    ],
)
def test_expiry_text(load, text, expected):
    master, _ = load(f"Token,Expiry\n1,{text}\n")
    assert master.lookup(1)["expiry"] == expected
