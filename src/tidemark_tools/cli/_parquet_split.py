"""A parquet file whose columns are encoded on several threads at once.

pyarrow's parquet writer encodes the columns of a row group one after the
other on one thread. A parquet file does not need them written that way:
the footer records where each column chunk lies. So each row group's
columns are cut into a few groups of neighbouring columns, every group is
written by a writer of its own on its own thread, as a parquet file of one
row group in memory, and the column chunks of those files are copied into
the output one after the other, in the order of the columns. The footer is
the one pyarrow writes for the whole schema, with the row groups of the
parts put together and their byte offsets moved to where the chunks now
lie.

Laid out this way, the file is byte for byte the file one pyarrow writer
gives for the same rows and options: the same chunks at the same offsets,
under the same footer. Before a file is written so, `matches_single_writer`
checks exactly that on the file's first rows, and the caller keeps the
single writer when the two differ in any byte (as they would if a pyarrow
release recorded an offset this module does not know of).

The footer is read and written in Thrift's compact protocol, generically:
every field is kept as it was read and written back the same way, and only
the offsets and sums named below change.
"""

from __future__ import annotations

import io
import struct
from concurrent.futures import ThreadPoolExecutor
from typing import IO, TYPE_CHECKING, Any

if TYPE_CHECKING:
    import pyarrow as pa

MAGIC = b"PAR1"

# Thrift compact protocol type codes.
_BOOL_TRUE, _BOOL_FALSE, _I8, _I16, _I32, _I64, _DOUBLE, _BINARY = 1, 2, 3, 4, 5, 6, 7, 8
_LIST, _SET, _MAP, _STRUCT = 9, 10, 11, 12

# Field ids of the parquet footer's structs that this module reads or changes.
_FILE_NUM_ROWS, _FILE_ROW_GROUPS = 3, 4
_GROUP_COLUMNS, _GROUP_BYTES, _GROUP_ROWS = 1, 2, 3
_GROUP_FILE_OFFSET, _GROUP_COMPRESSED, _GROUP_ORDINAL = 5, 6, 7
_CHUNK_META = 3
# Byte offsets into the file: of a column chunk (file_offset, then the
# offset and column indexes) and of its metadata (data, index and
# dictionary pages, and the bloom filter).
_CHUNK_OFFSETS = frozenset({2, 4, 6})
_META_OFFSETS = frozenset({9, 10, 11, 14})
# The fields each struct is known to have; a part whose footer holds any
# other is not laid out (see _known).
_CHUNK_FIELDS = frozenset(range(1, 10))
_META_FIELDS = frozenset(range(1, 18))
_GROUP_FIELDS = frozenset(range(1, 8))

# A struct as read: its fields in order, each [field id, type, value].
Struct = list[list[Any]]


class FooterError(ValueError):
    """A footer that this module cannot read, or a part it cannot place."""


# ---------------------------------------------------------------- reading


class _Reader:
    def __init__(self, data: bytes) -> None:
        self.data = data
        self.at = 0

    def byte(self) -> int:
        if self.at >= len(self.data):
            raise FooterError("footer ends inside a value")
        b = self.data[self.at]
        self.at += 1
        return b

    def take(self, n: int) -> bytes:
        if n < 0 or self.at + n > len(self.data):
            raise FooterError("footer ends inside a value")
        chunk = self.data[self.at : self.at + n]
        self.at += n
        return chunk

    def varint(self) -> int:
        value = shift = 0
        while True:
            b = self.byte()
            value |= (b & 0x7F) << shift
            if b < 0x80:
                return value
            shift += 7
            if shift > 70:
                raise FooterError("varint too long")

    def zigzag(self) -> int:
        v = self.varint()
        return (v >> 1) ^ -(v & 1)

    def value(self, kind: int) -> Any:
        if kind in (_BOOL_TRUE, _BOOL_FALSE):  # an element of a list: one byte
            return self.byte()
        if kind == _I8:
            return self.byte()
        if kind in (_I16, _I32, _I64):
            return self.zigzag()
        if kind == _DOUBLE:
            return self.take(8)
        if kind == _BINARY:
            return self.take(self.varint())
        if kind in (_LIST, _SET):
            head = self.byte()
            size, element = head >> 4, head & 0x0F
            if size == 0x0F:
                size = self.varint()
            return (element, [self.value(element) for _ in range(size)])
        if kind == _MAP:
            size = self.varint()
            if size == 0:
                return (0, 0, [])
            head = self.byte()
            key, val = head >> 4, head & 0x0F
            return (key, val, [(self.value(key), self.value(val)) for _ in range(size)])
        if kind == _STRUCT:
            return self.struct()
        raise FooterError(f"unknown type {kind}")

    def struct(self) -> Struct:
        fields: Struct = []
        last = 0
        while True:
            head = self.byte()
            if head == 0:
                return fields
            kind, delta = head & 0x0F, head >> 4
            field = last + delta if delta else self.zigzag()
            if kind in (_BOOL_TRUE, _BOOL_FALSE):
                fields.append([field, kind, kind == _BOOL_TRUE])
            else:
                fields.append([field, kind, self.value(kind)])
            last = field


def read_struct(data: bytes) -> Struct:
    """The struct that `data` holds, whole."""
    reader = _Reader(data)
    found = reader.struct()
    if reader.at != len(data):
        raise FooterError("bytes after the footer's struct")
    return found


# ---------------------------------------------------------------- writing


def _varint(out: bytearray, v: int) -> None:
    while v >= 0x80:
        out.append((v & 0x7F) | 0x80)
        v >>= 7
    out.append(v)


def _zigzag(out: bytearray, v: int) -> None:
    _varint(out, (v << 1) ^ (v >> 63) if v < 0 else v << 1)


def _write_value(out: bytearray, kind: int, value: Any) -> None:
    if kind in (_BOOL_TRUE, _BOOL_FALSE, _I8):
        out.append(value)
    elif kind in (_I16, _I32, _I64):
        _zigzag(out, value)
    elif kind in (_DOUBLE,):
        out += value
    elif kind == _BINARY:
        _varint(out, len(value))
        out += value
    elif kind in (_LIST, _SET):
        element, items = value
        if len(items) < 0x0F:
            out.append(len(items) << 4 | element)
        else:
            out.append(0xF0 | element)
            _varint(out, len(items))
        for item in items:
            _write_value(out, element, item)
    elif kind == _MAP:
        key, val, pairs = value
        _varint(out, len(pairs))
        if pairs:
            out.append(key << 4 | val)
            for k, v in pairs:
                _write_value(out, key, k)
                _write_value(out, val, v)
    elif kind == _STRUCT:
        _write_struct(out, value)
    else:
        raise FooterError(f"unknown type {kind}")


def _write_struct(out: bytearray, fields: Struct) -> None:
    last = 0
    for field, kind, value in fields:
        if kind in (_BOOL_TRUE, _BOOL_FALSE):
            kind = _BOOL_TRUE if value else _BOOL_FALSE
        delta = field - last
        if 0 < delta <= 15:
            out.append(delta << 4 | kind)
        else:
            out.append(kind)
            _zigzag(out, field)
        if kind not in (_BOOL_TRUE, _BOOL_FALSE):
            _write_value(out, kind, value)
        last = field
    out.append(0)


def write_struct(fields: Struct) -> bytes:
    out = bytearray()
    _write_struct(out, fields)
    return bytes(out)


# ---------------------------------------------------------------- footers


def _field(fields: Struct, field: int) -> list[Any] | None:
    for entry in fields:
        if entry[0] == field:
            return entry
    return None


def _known(fields: Struct, known: frozenset[int], what: str) -> None:
    for entry in fields:
        if entry[0] not in known:
            raise FooterError(f"{what} has a field {entry[0]} of unknown meaning")


def _moved(fields: Struct, offsets: frozenset[int], by: int) -> Struct:
    # An offset of 0 is one not given (pyarrow leaves a chunk's file_offset
    # so): the file's magic lies there, never a chunk or an index.
    return [[f, k, v + by if f in offsets and v != 0 else v] for f, k, v in fields]


def _moved_chunk(chunk: Struct, by: int) -> Struct:
    _known(chunk, _CHUNK_FIELDS, "a column chunk")
    moved = _moved(chunk, _CHUNK_OFFSETS, by)
    meta = _field(moved, _CHUNK_META)
    if meta is not None:
        _known(meta[2], _META_FIELDS, "a column chunk's metadata")
        meta[2] = _moved(meta[2], _META_OFFSETS, by)
    return moved


def split_file(data: bytes) -> tuple[memoryview, Struct]:
    """A parquet file's column chunks (the bytes between the leading magic
    and the footer) and its footer."""
    if len(data) < 12 or data[:4] != MAGIC or data[-4:] != MAGIC:
        raise FooterError("not a parquet file")
    (length,) = struct.unpack("<I", data[-8:-4])
    start = len(data) - 8 - length
    if start < 4:
        raise FooterError("footer longer than the file")
    return memoryview(data)[4:start], read_struct(data[start:-8])


def joined_row_group(parts: list[tuple[Struct, int]], ordinal: int) -> Struct:
    """One row group from the single row groups of the parts, each given
    with the number of bytes its chunks move by in the output. The first
    part's fields stay, with its columns joined by the others', the sizes
    summed and the offsets moved."""
    groups = []
    for footer, by in parts:
        row_groups = _field(footer, _FILE_ROW_GROUPS)
        if row_groups is None or len(row_groups[2][1]) != 1:
            raise FooterError("a part holds other than one row group")
        group = row_groups[2][1][0]
        _known(group, _GROUP_FIELDS, "a row group")
        groups.append((group, by))
    first, by = groups[0]
    columns: list[Struct] = []
    sums = {_GROUP_BYTES: 0, _GROUP_COMPRESSED: 0}
    rows = _field(first, _GROUP_ROWS)
    for group, moved_by in groups:
        if _field(group, _GROUP_ROWS) != rows:
            raise FooterError("the parts' row groups differ in rows")
        entry = _field(group, _GROUP_COLUMNS)
        if entry is None:
            raise FooterError("a row group without columns")
        columns += [_moved_chunk(chunk, moved_by) for chunk in entry[2][1]]
        for field in sums:
            found = _field(group, field)
            if found is not None:
                sums[field] += found[2]
    joined: Struct = []
    for field, kind, value in first:
        if field == _GROUP_COLUMNS:
            value = (value[0], columns)
        elif field in sums:
            value = sums[field]
        elif field == _GROUP_FILE_OFFSET:
            value += by
        elif field == _GROUP_ORDINAL:
            value = ordinal
        joined.append([field, kind, value])
    return joined


def footer_with(template: Struct, row_groups: list[Struct], rows: int) -> bytes:
    """The footer of the whole file: the template's (the footer of the
    schema's file with no rows) with these row groups and rows."""
    fields: Struct = []
    for field, kind, value in template:
        if field == _FILE_NUM_ROWS:
            value = rows
        elif field == _FILE_ROW_GROUPS:
            value = (value[0] or _STRUCT, row_groups)
        fields.append([field, kind, value])
    return write_struct(fields)


# ---------------------------------------------------------------- the writer


def _restricted(options: dict[str, Any], names: list[str]) -> dict[str, Any]:
    """ParquetWriter options for the columns `names` only."""
    chosen = set(names)
    out = {}
    for key, value in options.items():
        if isinstance(value, dict):
            value = {k: v for k, v in value.items() if k in chosen}
        elif isinstance(value, list):
            value = [v for v in value if v in chosen]
        out[key] = value
    return out


def column_groups(names: list[str], groups: int) -> list[list[str]]:
    """`names` cut into `groups` runs of neighbouring names, as even as can be."""
    groups = max(1, min(groups, len(names)))
    return [names[i * len(names) // groups : (i + 1) * len(names) // groups] for i in range(groups)]


class SplitWriter:
    """Writes row groups as pyarrow's ParquetWriter(out, schema, **options)
    would, byte for byte, with the columns of each row group encoded by
    `threads` writers at once (see the module's text). write_table and
    close are those of ParquetWriter; `out` needs only write()."""

    def __init__(
        self,
        out: IO[bytes],
        schema: pa.Schema,
        options: dict[str, Any],
        threads: int,
        groups: int | None = None,
    ) -> None:
        import pyarrow.parquet as pq

        # The footer of the whole schema, from a file of no rows.
        empty = io.BytesIO()
        pq.ParquetWriter(empty, schema, **options).close()
        self._template = split_file(empty.getvalue())[1]
        self._out = out
        self._options = options
        self._groups = column_groups(schema.names, groups or 4 * threads)
        self._pool = ThreadPoolExecutor(threads, thread_name_prefix="tidemark-parquet-columns")
        self._row_groups: list[Struct] = []
        self._rows = 0
        self._at = 0  # bytes written to out
        self._write(MAGIC)

    def _write(self, data: bytes | memoryview) -> None:
        self._out.write(data)
        self._at += len(data)

    def _part(self, table: pa.Table, names: list[str]) -> bytes:
        import pyarrow.parquet as pq

        sink = io.BytesIO()
        part = table.select(names)
        with pq.ParquetWriter(sink, part.schema, **_restricted(self._options, names)) as writer:
            writer.write_table(part, row_group_size=max(1, part.num_rows))
        return sink.getvalue()

    def write_table(self, table: pa.Table, row_group_size: int | None = None) -> None:
        size = row_group_size or table.num_rows
        for start in range(0, table.num_rows, max(1, size)):
            self._write_group(table.slice(start, size))

    def _write_group(self, table: pa.Table) -> None:
        plain = table.replace_schema_metadata(None)
        files = list(self._pool.map(lambda names: self._part(plain, names), self._groups))
        parts = []
        for data in files:
            chunks, footer = split_file(data)
            parts.append((footer, self._at - len(MAGIC)))
            self._write(chunks)
        self._row_groups.append(joined_row_group(parts, len(self._row_groups)))
        self._rows += table.num_rows

    def stop(self) -> None:
        """Ends the encoding threads (after the parts in hand); close() does
        it too."""
        self._pool.shutdown()

    def close(self) -> None:
        self.stop()
        footer = footer_with(self._template, self._row_groups, self._rows)
        self._write(footer)
        self._write(struct.pack("<I", len(footer)))
        self._write(MAGIC)


def matches_single_writer(
    schema: pa.Schema, options: dict[str, Any], sample: pa.Table, threads: int
) -> bool:
    """Whether SplitWriter writes `sample`, in two row groups, byte for byte
    as one pyarrow writer does."""
    import pyarrow.parquet as pq

    size = max(1, (sample.num_rows + 1) // 2)
    single = io.BytesIO()
    with pq.ParquetWriter(single, schema, **options) as writer:
        writer.write_table(sample, row_group_size=size)
    split = io.BytesIO()
    try:
        writer = SplitWriter(split, schema, options, threads)
    except FooterError:
        return False
    try:
        writer.write_table(sample, row_group_size=size)
        writer.close()
    except FooterError:
        return False
    finally:
        writer.stop()
    return split.getvalue() == single.getvalue()
