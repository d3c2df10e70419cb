"""Parquet row groups whose columns are encoded on several threads are laid
out byte for byte as one pyarrow writer lays them out, and a footer this
package cannot place keeps the file to one writer."""

import io
import random

import feedgen
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq
import pytest

import tidemark_tools
from tidemark_tools.cli import _parquet_split, _write
from tidemark_tools.cli._parquet_split import SplitWriter, read_struct, write_struct


@pytest.fixture(scope="module")
def market_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("split") / "market.bin"
    feedgen.write_feed(str(path), 20_000, 25, seed=11, mode="market")
    return str(path)


@pytest.fixture(scope="module")
def tables(market_file):
    """Tables of every kind the command writes: strings as dictionaries,
    nulls, decimals, zoned timestamps, wide books, one row, a column all null."""
    path = market_file
    scan = pa.table(tidemark_tools.scan_feed(path))
    return {
        "scan": scan,
        "converted": pa.table(
            tidemark_tools.scan_feed(
                path, timestamps="datetime", tz="Asia/Kolkata", price_scale=2, batch_rows=977
            )
        ),
        "books": pa.table(tidemark_tools.book_series(path, levels=5)),
        "one row": scan.slice(0, 1),
        "all null": scan.filter(pc.equal(scan["msg_type"].cast(pa.string()), "N")),
    }


def with_pandas(schema):
    return schema.with_metadata({**(schema.metadata or {}), **_write.pandas_metadata(schema)})


def single_writer_bytes(table, options, row_group_size):
    out = io.BytesIO()
    with pq.ParquetWriter(out, table.schema, **options) as writer:
        writer.write_table(table, row_group_size=row_group_size)
    return out.getvalue()


@pytest.mark.parametrize("kind", ["scan", "converted", "books", "one row", "all null"])
@pytest.mark.parametrize(("threads", "groups"), [(2, None), (3, 1), (4, 100)])
def test_split_writer_writes_the_single_writers_bytes(tables, kind, threads, groups):
    table = tables[kind]
    table = _write.row_group(table.to_batches(), table.schema)
    table = table.replace_schema_metadata(with_pandas(table.schema).metadata)
    options = _write.parquet_options(table.schema, table.slice(0, _write.SAMPLE_ROWS))
    for size in sorted({table.num_rows, 333, 4096}):
        out = io.BytesIO()
        writer = SplitWriter(out, table.schema, options, threads, groups)
        writer.write_table(table, row_group_size=size)
        writer.close()
        assert out.getvalue() == single_writer_bytes(table, options, size), size
    assert pq.read_table(io.BytesIO(out.getvalue())).equals(table)


def scan_batches(path, rows):
    return list(pa.RecordBatchReader.from_stream(tidemark_tools.scan_feed(path, batch_rows=rows)))


@pytest.mark.parametrize("cores", [2, 3])
def test_the_command_writes_the_same_file_on_any_number_of_cores(monkeypatch, market_file, cores):
    monkeypatch.setattr(_write, "ROW_GROUP_ROWS", 5000)
    batches = scan_batches(market_file, 1500)
    files = {}
    for n in (1, cores):
        monkeypatch.setattr(_write, "usable_cores", lambda n=n: n)
        out = io.BytesIO()
        rows = _write.write_parquet(iter(batches), batches[0].schema, out)
        assert rows == sum(b.num_rows for b in batches)
        files[n] = out.getvalue()
    assert files[cores] == files[1]
    written = pq.read_table(io.BytesIO(files[cores]))
    assert pq.ParquetFile(io.BytesIO(files[cores])).metadata.num_row_groups == -(-rows // 6000)
    assert written.to_pylist() == pa.Table.from_batches(batches).to_pylist()


def test_a_footer_field_of_unknown_meaning_keeps_one_writer(monkeypatch, market_file):
    batches = scan_batches(market_file, 4000)
    monkeypatch.setattr(_write, "usable_cores", lambda: 2)
    made = []
    monkeypatch.setattr(_write, "SplitWriter", lambda *a: made.append(a) or SplitWriter(*a))
    expected = io.BytesIO()
    _write.write_parquet(iter(batches), batches[0].schema, expected)
    assert len(made) == 1
    # As if pyarrow began to record, in each chunk's metadata, an offset
    # that the footer's merge would not know to move.
    monkeypatch.setattr(_parquet_split, "_META_FIELDS", frozenset(range(1, 9)))
    out = io.BytesIO()
    _write.write_parquet(iter(batches), batches[0].schema, out)
    assert len(made) == 1
    assert out.getvalue() == expected.getvalue()


def test_a_failed_part_is_raised_and_the_threads_end(monkeypatch, market_file):
    batches = scan_batches(market_file, 4000)
    monkeypatch.setattr(_write, "usable_cores", lambda: 2)
    monkeypatch.setattr(_write, "ROW_GROUP_ROWS", 5000)
    real = SplitWriter._part
    calls = []

    def failing(self, table, names):
        calls.append(names)
        if len(calls) > 12:
            raise OSError("no space left for the part")
        return real(self, table, names)

    monkeypatch.setattr(SplitWriter, "_part", failing)
    with pytest.raises(OSError, match="no space left"):
        _write.write_parquet(iter(batches), batches[0].schema, io.BytesIO())
    import threading

    assert not [t for t in threading.enumerate() if t.name.startswith("tidemark-parquet")]


def random_value(rng, kind, depth):
    if kind in (1, 2):
        return rng.random() < 0.5
    if kind == 3:
        return rng.randrange(256)
    if kind in (4, 5, 6):
        bits = {4: 16, 5: 32, 6: 64}[kind]
        return rng.choice(
            [0, 1, -1, 2 ** (bits - 1) - 1, -(2 ** (bits - 1)), rng.randint(-999, 999)]
        )
    if kind == 7:
        return rng.randbytes(8)
    if kind == 8:
        return rng.randbytes(rng.choice([0, 1, 127, 128, 300]))
    if kind in (9, 10):
        element = rng.choice([3, 5, 6, 8] + ([12] if depth < 2 else []))
        size = rng.choice([0, 1, 14, 15, 16, 200])
        return (element, [random_value(rng, element, depth + 1) for _ in range(size)])
    if kind == 11:
        pairs = [(rng.randint(-5, 5), rng.randbytes(3)) for _ in range(rng.choice([0, 1, 20]))]
        return (5, 8, pairs) if pairs else (0, 0, [])
    return random_struct(rng, depth + 1)


def random_struct(rng, depth=0):
    """A struct of every compact type, with field ids that step by 1, by more
    than 15 (the long form) and far up."""
    fields = []
    field = 0
    for _ in range(rng.randint(0, 12 if depth < 2 else 3)):
        field += rng.choice([1, 1, 2, 15, 16, 300])
        kind = rng.choice([1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11] + ([12] if depth < 2 else []))
        value = random_value(rng, kind, depth)
        if kind in (1, 2):
            kind = 1 if value else 2
        fields.append([field, kind, value])
    return fields


@pytest.mark.parametrize("seed", range(40))
def test_compact_protocol_round_trips(seed):
    rng = random.Random(seed)
    fields = random_struct(rng)
    data = write_struct(fields)
    assert read_struct(data) == fields
    assert write_struct(read_struct(data)) == data
    if data[:-1]:
        with pytest.raises(_parquet_split.FooterError):
            read_struct(data[:-1])
