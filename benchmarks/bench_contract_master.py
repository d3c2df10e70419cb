"""Contract master speed: SymbolMaster.load on a master of real size, and
what enrichment adds to streaming.

    python benchmarks/bench_contract_master.py [--rows N] [--columns C]

The generated master has the exchange's column layout (named columns, epoch
expiries, strikes in paise) padded with further columns to C in all, one
row per token. Its load time is reported side by side with a plain read of
the same file's bytes in the same run. Streaming is timed with and without
the master attached; the feed's tokens all have a contract, so every
message is enriched.
"""

import argparse
import os
import random

import tidemark
from common import DATA, feed, median_time, report

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
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--columns", type=int, default=64)
    parser.add_argument("--messages", type=int, default=1_000_000)
    parser.add_argument("--tokens", type=int, default=2_000)
    args = parser.parse_args()
    csv_path = master(args.rows, args.columns)
    feed_path = feed(args.messages, args.tokens)
    n = args.messages

    sm = tidemark.SymbolMaster()
    loader = tidemark.StreamingBinaryLoader()

    def read_bytes():
        with open(csv_path, "rb") as f:
            f.read()

    def load():
        assert sm.load(csv_path) == args.rows

    def stream():
        loader.open_stream(feed_path, count_messages=False)
        get = loader.get_next_msg
        while get() is not None:
            pass

    t_read = median_time(read_bytes, repeat=7)
    t_load = median_time(load, repeat=7)
    t_attach = median_time(lambda: loader.attach_symbol_master(sm), repeat=7)
    loader.detach_symbol_master()
    t_plain = median_time(stream, repeat=3)
    loader.attach_symbol_master(sm)
    t_enriched = median_time(stream, repeat=3)

    size_mb = os.path.getsize(csv_path) / 1e6
    print(f"master: {csv_path} ({args.rows:,} rows, {args.columns} columns, {size_mb:.1f} MB)")
    print(f"feed: {feed_path} ({n:,} messages, every token in the master)")
    report("plain read of the master's bytes", t_read * 1e3, "ms")
    report("SymbolMaster.load", t_load * 1e3, "ms")
    report("load time / plain read time", t_load / t_read, "x")
    report("attach_symbol_master (copy of the table)", t_attach * 1e3, "ms")
    report("get_next_msg loop, no master attached", n / t_plain, "msg/s")
    report("get_next_msg loop, master attached", n / t_enriched, "msg/s")
    report("enrichment cost per message", (t_enriched - t_plain) / n * 1e9, "ns")


if __name__ == "__main__":
    main()
