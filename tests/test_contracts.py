"""contracts: every row of a contract-master file, with the recognised fields."""

import pyarrow as pa
import pytest
import tidemark

import tidemark_tools


@pytest.mark.parametrize(
    "layout, columns",
    [
        ("fo_header", ["FinInstrmId", "FinInstrmNm", "FinInstrmTp", "PrcTckSz", "StockNm"]),
        ("headerless", ["field_0", "field_1", "field_3"]),
        ("positional", ["field_0", "field_2", "field_4", "field_7"]),
    ],
)
def test_every_row_with_the_fields_the_master_recognises(layout, columns):
    path = f"data/contract_master_{layout}.csv"
    table = tidemark_tools.contracts(path)
    assert table.schema.field("token").type == pa.uint32()
    assert set(columns) <= set(table.column_names)
    master = tidemark.SymbolMaster()
    accepted = master.load(path)
    rows = [row for row in table.to_pylist() if row["token"] is not None]
    assert len(rows) == accepted  # other rows are kept too, with a null token
    for row in rows:
        info = master.lookup(row["token"])
        assert (row["token_symbol"], row["strike_price"], row["lot_size"]) == (
            info["symbol"],
            info["strike"],
            info["lot_size"],
        )
        assert (row["option_type"], row["expiry"], row["name"]) == (
            info["option_type"],
            info["expiry"],
            info["name"],
        )


def test_odd_rows_are_kept_with_a_null_token(tmp_path):
    path = tmp_path / "m.csv"
    path.write_text('\ufeff"Token","Symbol","Tick Size"\n5,AAA,5\n\nabc,BBB,1\n5,CCC\n')
    table = tidemark_tools.contracts(str(path))
    assert table.column("token").to_pylist() == [5, None, 5]
    assert table.column("Tick Size").to_pylist() == ["5", "1", None]
    # The master keeps the last row of a token.
    assert table.column("token_symbol").to_pylist() == ["CCC", None, "CCC"]


def test_a_file_without_a_token_column_fails_as_the_master_does(tmp_path):
    path = tmp_path / "m.csv"
    path.write_text("Symbol,Expiry\nA,1\n")
    with pytest.raises(RuntimeError, match="missing required token column"):
        tidemark_tools.contracts(str(path))
