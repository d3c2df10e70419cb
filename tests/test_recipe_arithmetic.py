"""The recipes' sums are exact on a file whose totals pass 32 bits: each
recipe of docs/recipes.md runs on such a file and its results equal sums of
Python ints over the loader's dicts."""

from collections import defaultdict
from pathlib import Path

import feedgen
import pytest
import tidemark
from test_docs import python_blocks

ROOT = Path(__file__).resolve().parent.parent
MASTER = str(ROOT / "data" / "contract_master_fo_header.csv")


@pytest.fixture(scope="module")
def big_feed(tmp_path_factory):
    path = tmp_path_factory.mktemp("big") / "big.bin"
    records = []
    for i in range(24):
        token = 1001 + i % 3
        common = dict(seq_no=i, exch_ts=1_767_000_000_000_000_000 + i * 10**6)
        records.append(
            feedgen.order_record(
                "N",
                token=token,
                quantity=4_000_000_000,
                price=2**32 - 1,
                order_id=i + 1,
                order_type=b"B",
                **common,
            )
        )  # noqa: E501
        records.append(
            feedgen.trade_record(
                token=token, trade_quantity=2**31 - 1, trade_price=2**31 - 1, **common
            )
        )  # noqa: E501
    path.write_bytes(b"".join(records))
    return str(path)


def loader_dicts(path):
    loader = tidemark.StreamingBinaryLoader()
    master = tidemark.SymbolMaster()
    master.load(MASTER)
    loader.attach_symbol_master(master)
    loader.open_stream(path, count_messages=False)
    out = []
    while (msg := loader.get_next_msg()) is not None:
        out.append(msg)
    return out


def test_recipe_sums_are_exact(big_feed, monkeypatch):
    monkeypatch.chdir(ROOT)
    namespace: dict[str, object] = {"__name__": "__docs__"}
    for _, code in python_blocks(ROOT / "docs" / "recipes.md"):
        exec(code.replace("data/sample_feed.bin", big_feed), namespace)
    msgs = loader_dicts(big_feed)
    volume, orders, quantity, top = defaultdict(int), defaultdict(int), defaultdict(int), {}
    for m in msgs:
        if m["msg_type"] == "T":
            volume[m["token_symbol"]] += m["trade_quantity"]
            t = top.setdefault(m["token"], [0, 0, m["trade_price"], m["trade_price"]])
            t[0] += 1
            t[1] += m["trade_quantity"]
            t[2], t[3] = min(t[2], m["trade_price"]), max(t[3], m["trade_price"])
        else:
            orders[m["token"]] += 1
            quantity[m["token"]] += m["quantity"]
    assert max(quantity.values()) > 2**32 and max(volume.values()) > 2**31
    # pandas: trade volume per contract symbol.
    assert {k: int(v) for k, v in namespace["volume"].items()} == dict(volume)
    # polars: orders and their quantity per token.
    busiest = {r["token"]: (r["orders"], r["quantity"]) for r in namespace["busiest"].to_dicts()}
    assert busiest == {k: (orders[k], quantity[k]) for k in orders}
    # DuckDB: trades, volume, low and high per token.
    assert {r[0]: list(r[1:]) for r in namespace["top"]} == {
        k: [v[0], v[1], v[2], v[3]] for k, v in top.items()
    }
    # Dask: the same file twice, quantity per token.
    per_token = {int(k): int(v) for k, v in namespace["per_token"].items()}
    assert per_token == {k: 2 * v for k, v in quantity.items()}
