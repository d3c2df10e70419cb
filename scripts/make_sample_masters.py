#!/usr/bin/env python3
"""Writes small sample contract-master CSV files into data/.

Three files, one per layout that the contract-master loader accepts:

  contract_master_fo_header.csv    named columns in the exchange's style, exported the way
                                   spreadsheet tools do it: byte-order mark, every header
                                   name in double quotes, CRLF line ends
  contract_master_headerless.csv   no header row, numbers only; the token is column 1
  contract_master_positional.csv   a first line holding one number, then "C" records whose
                                   fields are taken by position

Every file covers the tokens 1001..1010, so a sample feed using those tokens gets enriched,
plus a few others. The output is fixed: running the script again writes the same bytes.

Usage: python3 scripts/make_sample_masters.py [output folder]
"""

import datetime
import pathlib
import sys

DEFAULT_OUT = pathlib.Path(__file__).resolve().parent.parent / "data"


def expiry_seconds(year, month, day):
    """Epoch seconds of 15:30 IST (10:00 UTC) on the given day: the close of an expiry day."""
    moment = datetime.datetime(year, month, day, 10, 0, tzinfo=datetime.UTC)
    return int(moment.timestamp())


# token, underlying token, underlying symbol, instrument type, expiry (y, m, d),
# strike in rupees (None for futures), option type, lot size, underlying name
CONTRACTS = [
    (1001, 26000, "NIFTY", "OPTIDX", (2025, 12, 30), 25900, "CE", 75, "NIFTY 50"),
    (1002, 26000, "NIFTY", "OPTIDX", (2025, 12, 30), 25900, "PE", 75, "NIFTY 50"),
    (1003, 26000, "NIFTY", "OPTIDX", (2025, 12, 30), 26000, "CE", 75, "NIFTY 50"),
    (1004, 26000, "NIFTY", "OPTIDX", (2025, 12, 30), 26000, "PE", 75, "NIFTY 50"),
    (1005, 26000, "NIFTY", "OPTIDX", (2025, 12, 30), 26100, "CE", 75, "NIFTY 50"),
    (1006, 26000, "NIFTY", "OPTIDX", (2025, 12, 30), 26100, "PE", 75, "NIFTY 50"),
    (1007, 26009, "BANKNIFTY", "OPTIDX", (2026, 1, 27), 59000, "CE", 35, "NIFTY BANK"),
    (1008, 26009, "BANKNIFTY", "OPTIDX", (2026, 1, 27), 59000, "PE", 35, "NIFTY BANK"),
    (1009, 26000, "NIFTY", "FUTIDX", (2026, 1, 27), None, "XX", 75, "NIFTY 50"),
    (1010, 26009, "BANKNIFTY", "FUTIDX", (2026, 1, 27), None, "XX", 35, "NIFTY BANK"),
    (35001, 2885, "RELIANCE", "FUTSTK", (2026, 1, 27), None, "XX", 500, "RELIANCE INDUSTRIES LTD"),
    (35002, 2885, "RELIANCE", "OPTSTK", (2026, 1, 27), 1560, "CE", 500, "RELIANCE INDUSTRIES LTD"),
    (35003, 2885, "RELIANCE", "OPTSTK", (2026, 1, 27), 1560, "PE", 500, "RELIANCE INDUSTRIES LTD"),
    (42101, 26037, "FINNIFTY", "OPTIDX", (2026, 1, 27), 27500, "CE", 65, "NIFTY FIN SERVICE"),
]

MONTHS = ["JAN", "FEB", "MAR", "APR", "MAY", "JUN", "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"]


def contract_name(symbol, expiry, strike, option_type):
    """The exchange-style instrument name, e.g. NIFTY25DEC25900CE or NIFTY26JANFUT."""
    year, month, _ = expiry
    stem = f"{symbol}{year % 100:02d}{MONTHS[month - 1]}"
    return f"{stem}FUT" if strike is None else f"{stem}{strike}{option_type}"


def header_layout():
    columns = [
        "FinInstrmId",
        "UndrlygFinInstrmId",
        "FinInstrmNm",
        "TckrSymb",
        "FinInstrmTp",
        "SctySrs",
        "XpryDt",
        "StrkPric",
        "OptnTp",
        "PrcTckSz",
        "NewBrdLotQty",
        "StockNm",
        "Rmks",
    ]
    lines = ["\ufeff" + ",".join(f'"{c}"' for c in columns)]
    for token, und, symbol, kind, expiry, strike, opt, lot, name in CONTRACTS:
        lines.append(
            ",".join(
                [
                    str(token),
                    str(und),
                    contract_name(symbol, expiry, strike, opt),
                    symbol,
                    kind,
                    "",
                    str(expiry_seconds(*expiry)),
                    "" if strike is None else str(strike * 100),  # strikes are stored in paise
                    opt,
                    "5",
                    str(lot),
                    name,
                    "",
                ]
            )
        )
    return "\r\n".join(lines) + "\r\n"


def headerless_layout():
    # segment code, token, lot size, strike in paise (-1 for futures)
    lines = []
    for token, _, _, _, _, strike, _, lot, _ in CONTRACTS:
        lines.append(f"2,{token},{lot},{-1 if strike is None else strike * 100}")
    return "\n".join(lines) + "\n"


def positional_layout():
    # first line: number of records; then C, segment code, token, underlying token, name,
    # instrument type, lot size, option type; a trailing T record closes the file
    lines = [str(len(CONTRACTS))]
    for token, und, symbol, kind, expiry, strike, opt, lot, _ in CONTRACTS:
        name = contract_name(symbol, expiry, strike, opt)
        lines.append(f"C,2,{token},{und},{name},{kind},{lot},{opt}")
    lines.append(f"T,2,{len(CONTRACTS)}")
    return "\n".join(lines) + "\n"


def main():
    out = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else DEFAULT_OUT
    out.mkdir(parents=True, exist_ok=True)
    files = {
        "contract_master_fo_header.csv": header_layout(),
        "contract_master_headerless.csv": headerless_layout(),
        "contract_master_positional.csv": positional_layout(),
    }
    for name, text in files.items():
        (out / name).write_bytes(text.encode("utf-8"))
        print(f"wrote {out / name}")


if __name__ == "__main__":
    main()
