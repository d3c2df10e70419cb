"""Streams a feed file and prints its first messages as dicts, enriched with
the contract details of a contract master, then rebuilds the order books of
the same file and prints a snapshot row per token. Last, it reads the same
file as Arrow columns into a pandas DataFrame and runs one DuckDB query over
the scan.

python examples/stream_feed.py [FEED] [--show N] [--master CSV]
"""

import argparse
from pathlib import Path

import duckdb
from tidemark import OrderbookBuilder, StreamingBinaryLoader, SymbolMaster

from tidemark_tools import scan_feed

ROOT = Path(__file__).resolve().parent.parent


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("feed", nargs="?", default=str(ROOT / "data" / "sample_feed.bin"))
    parser.add_argument("--show", type=int, default=5)
    parser.add_argument("--master", default=str(ROOT / "data" / "contract_master_fo_header.csv"))
    args = parser.parse_args()

    master = SymbolMaster()
    master.load(args.master)
    print(f"{args.master}: {master}")
    loader = StreamingBinaryLoader()
    loader.attach_symbol_master(master)
    total = loader.open_stream(args.feed)
    print(f"{args.feed}: {total} messages")
    kinds: dict[str, int] = {}
    shown = 0
    while (msg := loader.get_next_msg()) is not None:
        kinds[msg["msg_type"]] = kinds.get(msg["msg_type"], 0) + 1
        if shown < args.show:
            print(msg)
            shown += 1
    print("by type:", dict(sorted(kinds.items())))

    loader.reset_cursor()
    books = OrderbookBuilder()
    print(f"applied {books.build_from_source(loader)} messages to the books")
    print("token," + books.snapshot_header())
    for token in books.get_active_tokens():
        print(f"{token},{books.get_snapshot_row(token)}")

    # The same file as Arrow columns, one row per message dict. to_pandas
    # keeps every value exact: order_id is null on trade rows, so it becomes
    # pandas' nullable UInt64, never float64.
    scan = scan_feed(args.feed, master=master)
    frame = scan.to_pandas()
    print(f"\nDataFrame: {len(frame)} rows x {len(frame.columns)} columns")
    print(frame[["msg_type", "token", "order_id", "price", "trade_price", "token_symbol"]].head())
    print(frame.dtypes.to_string())

    # DuckDB reads the scan by its Python name, straight from the Arrow stream.
    print("\nDuckDB: traded quantity and price range per contract")
    result = duckdb.sql(
        """
        SELECT token, token_symbol, option_type, strike_price,
               count(*) AS trades, sum(trade_quantity) AS quantity,
               min(trade_price) AS low, max(trade_price) AS high
        FROM scan
        WHERE msg_type = 'T'
        GROUP BY ALL
        ORDER BY quantity DESC
        """
    )
    assert result is not None  # a SELECT always gives a relation
    result.show()


if __name__ == "__main__":
    main()
