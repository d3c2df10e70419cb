# Private native module of tidemark_tools; its functions are wrapped by the
# package's Python layer and are not a public interface.

from collections.abc import Callable
from typing import Any, final

def feed_stats(path: str, progress: Callable[[int], object] | None = None) -> Any: ...

@final
class ArrowSource:
    def schema(self) -> object: ...
    def stream(self) -> object: ...

def scan_feed(
    paths: list[bytes],
    names: list[str],
    master: object = None,
    columns: list[str] | None = None,
    tokens: list[int] | None = None,
    types: str | None = None,
    start: int | None = None,
    end: int | None = None,
    limit: int | None = None,
    time_zone: str = "",
    price_scale: int = -1,
    batch_rows: int = 65536,
    merge_by_time: bool = False,
    follow_flush_ns: int | None = None,
    idle_timeout_ns: int | None = None,
) -> ArrowSource: ...
def book_series(
    paths: str | bytes | list[str] | list[bytes],
    tokens: list[int] | None = None,
    start: int | None = None,
    end: int | None = None,
    levels: int = 5,
    every_ns: int | None = None,
    types: bytes | None = None,
    batch_rows: int = 65536,
    changes_only: bool = False,
    nulls: bool = False,
    merge_by_time: bool = False,
    threads: int = 1,
    follow_flush_ns: int | None = None,
    idle_timeout_ns: int | None = None,
    file_column: bool = False,
) -> ArrowSource: ...
def trades(
    paths: str | bytes | list[str] | list[bytes],
    tokens: list[int] | None = None,
    start: int | None = None,
    end: int | None = None,
    batch_rows: int = 65536,
    merge_by_time: bool = False,
    follow_flush_ns: int | None = None,
    idle_timeout_ns: int | None = None,
    threads: int = 1,
    file_column: bool = False,
) -> ArrowSource: ...
def bars(
    paths: str | bytes | list[str] | list[bytes],
    every_ns: int,
    tokens: list[int] | None = None,
    start: int | None = None,
    end: int | None = None,
    batch_rows: int = 65536,
    merge_by_time: bool = False,
    threads: int = 1,
    file_column: bool = False,
) -> ArrowSource: ...
def check_feed(
    paths: str | bytes | list[str] | list[bytes],
    jump_ns: int = ...,
    merge_by_time: bool = False,
    threads: int = 1,
) -> list[Any]: ...
