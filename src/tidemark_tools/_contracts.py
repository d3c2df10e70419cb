"""contracts: every row of a contract-master file as a table."""

from __future__ import annotations

import re
from typing import TYPE_CHECKING, Any

import tidemark

from . import _args

if TYPE_CHECKING:
    import pyarrow as pa

# The names under which the master's token column is recognised (compared
# with case and punctuation ignored), as the loader recognises them.
_TOKEN_NAMES = {
    "fininstrmid", "instrumenttoken", "instrumentid", "token", "tokenno", "tokennumber", "tkn",
    "tk", "securitytoken", "sectoken",
}  # fmt: skip
_UNSIGNED = re.compile(r"\+?[0-9]+")
_U32 = 2**32 - 1


def _clean(field: str) -> str:
    field = field.strip().strip("\ufeff").strip('"').strip("'")
    return field.strip()


def _fields(line: str) -> list[str]:
    return [_clean(f) for f in line.rstrip("\r\n").split(",")]


def _key(name: str) -> str:
    return "".join(c for c in name.lower() if c.isascii() and c.isalnum())


def _unsigned(text: str, limit: int) -> int | None:
    if not _UNSIGNED.fullmatch(text):
        return None
    value = int(text)
    return value if value <= limit else None


def _numeric(fields: list[str]) -> bool:
    present = [f for f in fields if f]
    return bool(present) and all(_unsigned(f, 2**64 - 1) is not None for f in present)


def contracts(path: Any) -> pa.Table:
    """Every row of a contract-master CSV file with every column it has, as a
    pyarrow Table, so that a token can be joined to its full instrument name,
    instrument type, tick size and whatever else the file holds.

    The file is read as ``SymbolMaster.load`` reads it (header, headerless
    and positional layouts; fields split at every comma and cleaned of
    blanks, quotes and a byte-order mark). Columns: ``token`` (uint32, null
    where a row has no usable token), then every column of the file as
    strings under its header name (``field_0``, ``field_1``, ... in the
    headerless and positional layouts; a repeated name gets a ``_2``, ``_3``
    suffix), then the fields the master recognises, under the names
    enrichment uses: token_symbol, strike_price (int64), option_type, expiry,
    lot_size (uint32) and name. A token that appears in several rows has the
    recognised fields of its last row (the master keeps the last), while its
    own columns stay those of each row. Blank lines are not rows.
    """
    import pyarrow as pa

    checked = _args.check_path("contracts", path)
    shown = _args.display_path(checked)
    master = tidemark.SymbolMaster()
    master.load(shown)  # the loader's errors, naming the file
    with open(checked, "rb") as f:
        data = f.read()
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        raise RuntimeError(f"{shown}: stream did not contain valid UTF-8") from None
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    header = _fields(lines[0]) if lines else [""]
    body = [line for line in lines[1:] if line.strip()]
    positional = _numeric(header) and bool(body) and _fields(body[0])[0] in ("C", "c")
    token_column = next((i for i, name in enumerate(header) if _key(name) in _TOKEN_NAMES), None)
    rows = [_fields(line) for line in body]
    if positional:
        names: list[str] = []
        token_column = 2
    elif token_column is None:  # headerless: the header line is a row
        rows.insert(0, header)
        names = []
        if len(header) >= 2 and _unsigned(header[1], _U32) is not None:
            token_column = 1
        else:
            token_column = 0
    else:
        names = header
    width = max([len(names)] + [len(r) for r in rows])
    seen: dict[str, int] = {}
    columns = []
    for i in range(width):
        name = names[i] if i < len(names) and names[i] else f"field_{i}"
        seen[name] = seen.get(name, 0) + 1
        columns.append(name if seen[name] == 1 else f"{name}_{seen[name]}")
    tokens = [_unsigned(r[token_column], _U32) if token_column < len(r) else None for r in rows]
    if positional:
        tokens = [t if r[0] in ("C", "c") else None for t, r in zip(tokens, rows, strict=True)]
    infos: list[Any] = [master.lookup(t) if t is not None else None for t in tokens]

    def recognised(key: str) -> list[Any]:
        return [i[key] if i is not None and i["found"] else None for i in infos]

    arrays: dict[str, pa.Array] = {"token": pa.array(tokens, pa.uint32())}
    for i, name in enumerate(columns):
        arrays[name] = pa.array([r[i] if i < len(r) else None for r in rows], pa.string())
    for name, key, kind in (
        ("token_symbol", "symbol", pa.string()),
        ("strike_price", "strike", pa.int64()),
        ("option_type", "option_type", pa.string()),
        ("expiry", "expiry", pa.string()),
        ("lot_size", "lot_size", pa.uint32()),
        ("name", "name", pa.string()),
    ):
        target = name if name not in arrays else f"{name}_recognised"
        arrays[target] = pa.array(recognised(key), kind)
    return pa.table(arrays)
