"""columns= of trades, quotes and bars: the names kept, in order, with
`file` also for one path."""

import random

import pyarrow as pa
import pytest
from test_book_series import random_feed

import tidemark_tools

MASTER = "data/contract_master_fo_header.csv"


@pytest.mark.parametrize(
    "make",
    [
        lambda p, **kw: tidemark_tools.trades(p, **kw),
        lambda p, **kw: tidemark_tools.quotes(p, **kw),
        lambda p, **kw: tidemark_tools.bars(p, every=1000, **kw),
    ],
    ids=["trades", "quotes", "bars"],
)
def test_columns_select_by_name(feed_file, make):
    path = feed_file(random_feed(random.Random(4), 400))
    full = pa.table(make([path, path], master=MASTER, price_scale=2))
    wanted = ["file", "token", full.column_names[2], "token_symbol"]
    narrow = pa.table(make([path, path], master=MASTER, price_scale=2, columns=wanted))
    assert narrow.column_names == wanted
    assert narrow.to_pylist() == full.select(wanted).to_pylist()
    one = pa.table(make(path, columns=["token", "file"]))
    assert one.column_names == ["token", "file"] and set(one.column("file").to_pylist()) <= {path}
    with pytest.raises(ValueError, match="unknown column 'nope'; the columns are .*token.*, file"):
        make(path, columns=["token", "nope"])
    with pytest.raises(ValueError, match="column 'token' is asked for twice"):
        make(path, columns=["token", "token"])
