"""Contract master speed: SymbolMaster.load on a master of real size, and
what enrichment adds to streaming.

    python benchmarks/bench_contract_master.py [--quick] [--json PATH]

The generated master (100,000 rows; --quick: 20,000) has the exchange's
column layout (named columns, epoch expiries, strikes in paise) padded with
further columns to 64 in all, one row per token. Its load time is reported
side by side with a plain read of the same file's bytes in the same run.
Streaming is timed with and without the master attached; the feed's tokens
all have a contract, so every message is enriched.
"""

import os
import random

import tidemark
from common import DATA, Rows, bench_args, feed, in_ms, measure, value_row

# The columns of an exchange FO contract file that the loader reads or that
# sit between them; further columns are filler, as in the real files.
NAMED_COLUMNS = [
    "FinInstrmId",
    "UndrlygFinInstrmId",
    "FinInstrmNm",
    "TckrSymb",
    "FinInstrmTp",
    "SctySrs",
    "XpryDt",
    "FrstTradgDt",
    "LastTradgDt",
    "StrkPric",
    "OptnTp",
    "PrcTckSz",
    "NewBrdLotQty",
    "MinLot",
    "StockNm",
]
UNDERLYINGS = ["NIFTY", "BANKNIFTY", "FINNIFTY", "MIDCPNIFTY", "RELIANCE", "HDFCBANK", "TCS"]


def write_master(path, rows: int, columns: int, first_token: int = 1001, seed: int = 3) -> None:
    """Writes a header-layout master of `rows` contracts and `columns` columns."""
    rng = random.Random(seed)
    extra = [f"Rsvd{i:02d}" for i in range(max(0, columns - len(NAMED_COLUMNS)))]
    lines = [",".join(NAMED_COLUMNS + extra)]
    for i in range(rows):
        token = first_token + i
        und = rng.choice(UNDERLYINGS)
        expiry = 1_767_088_800 + 86_400 * 7 * rng.randrange(60)
        strike = rng.randrange(100, 60_000, 50)
        option = rng.choice(("CE", "PE", "XX"))
        lot = rng.choice((15, 25, 35, 50, 65, 75, 250, 500))
        named = [
            str(token),
            str(26_000 + UNDERLYINGS.index(und)),
            f"{und}{strike}{option}",
            und,
            "OPTIDX" if option != "XX" else "FUTIDX",
            "",
            str(expiry),
            str(expiry - 86_400 * 90),
            str(expiry),
            "" if option == "XX" else str(strike * 100),
            option,
            "5",
            str(lot),
            "1",
            f"{und} INDEX",
        ]
        filler = [str(rng.randrange(1_000_000)) if j % 3 else "" for j in range(len(extra))]
        lines.append(",".join(named + filler))
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")


def master(rows: int, columns: int) -> str:
    """A generated master, made once and kept in bench-data/."""
    DATA.mkdir(exist_ok=True)
    path = DATA / f"master_{rows}_{columns}.csv"
    if not path.exists():
        tmp = path.with_suffix(".tmp")
        write_master(tmp, rows, columns)
        tmp.rename(path)
    return str(path)


def main() -> None:
    args = bench_args(__doc__)
    rows = Rows(__file__)
    n_rows, n_columns = (20_000 if args.quick else 100_000), 64
    n = 100_000 if args.quick else 1_000_000
    csv_path = master(n_rows, n_columns)
    feed_path = feed(n, 2_000)

    sm = tidemark.SymbolMaster()
    loader = tidemark.StreamingBinaryLoader()

    def read_bytes():
        with open(csv_path, "rb") as f:
            f.read()

    def load():
        assert sm.load(csv_path) == n_rows

    def stream():
        loader.open_stream(feed_path, count_messages=False)
        get = loader.get_next_msg
        while get() is not None:
            pass

    size_mb = os.path.getsize(csv_path) / 1e6
    print(f"master: {csv_path} ({n_rows:,} rows, {n_columns} columns, {size_mb:.1f} MB)")
    print(f"feed: {feed_path} ({n:,} messages, every token in the master)")
    read = rows.add(
        in_ms(measure(read_bytes, path="plain read of the master's bytes (reference)", repeat=7))
    )
    loaded = rows.add(in_ms(measure(load, path="SymbolMaster.load", repeat=7)))
    ratio = loaded["median"] / read["median"]
    rows.add(value_row("SymbolMaster.load time / plain read time", [ratio], "x"))
    rows.add(
        in_ms(
            measure(
                lambda: loader.attach_symbol_master(sm),
                path="attach_symbol_master (copy of the table)",
                repeat=7,
            )
        )
    )
    loader.detach_symbol_master()
    plain = rows.add(
        measure(stream, path="get_next_msg loop, no master attached", per=n, unit="msg/s",
                messages=n, repeat=3)
    )  # fmt: skip
    loader.attach_symbol_master(sm)
    enriched = rows.add(
        measure(stream, path="get_next_msg loop, master attached", per=n, unit="msg/s",
                messages=n, repeat=3)
    )  # fmt: skip
    cost = (1 / enriched["median"] - 1 / plain["median"]) * 1e9
    rows.add(value_row("enrichment cost per message", [cost], "ns", n))
    rows.write(args.json)


if __name__ == "__main__":
    main()
