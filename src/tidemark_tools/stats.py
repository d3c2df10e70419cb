"""What a feed file holds, counted natively in one pass with the streaming
loader's framing (the data behind `tidemark info`)."""

from __future__ import annotations

import os
from collections.abc import Callable
from typing import TypedDict

from . import _native


class DecodeError(TypedDict):
    offset: int  # byte offset of the record (or first header) that failed
    text: str  # the decoder's error text, as the loader raises it


class FeedStats(TypedDict):
    """The statistics of one feed file.

    `records_by_type` counts every record the framing met, by its type
    character, messages (N, M, X, T) and skipped records of other types
    alike. `messages_by_token` counts messages per book key (a trade's
    token read as unsigned), keyed by the token in decimal so that the
    dict is also valid JSON. The seq_no and exch_ts entries are None when
    the file holds no message. `sequence_gaps` counts the places where a
    record's seq_no (over every record, of any type, per stream_id) is more
    than one above the highest before it, and `sequence_missing` the numbers
    missing there; ``check_feed`` tells more.
    """

    path: str
    size: int
    bytes_scanned: int
    messages: int
    records_by_type: dict[str, int]
    padding_bytes: int
    unknown_records: int
    unknown_bytes: int
    tokens: int
    messages_by_token: dict[str, int]
    first_seq_no: int | None
    last_seq_no: int | None
    first_exch_ts: int | None
    last_exch_ts: int | None
    min_exch_ts: int | None
    max_exch_ts: int | None
    exch_ts_backwards: int
    sequence_gaps: int
    sequence_missing: int
    error: DecodeError | None


def feed_stats(
    path: str | os.PathLike[str], *, progress: Callable[[int], object] | None = None
) -> FeedStats:
    """Counts what the feed file at `path` holds, in one pass.

    A file that cannot be opened raises RuntimeError with the operating
    system's text. A decode error (a bad first record, a record cut short)
    is not raised: the counts cover what came before it, and "error" says
    where and why decoding stopped. `progress`, when given, is called now
    and then with the number of bytes scanned so far.
    """
    if isinstance(path, os.PathLike):
        path = os.fspath(path)
    if not isinstance(path, str):
        raise TypeError(f"path must be a str or os.PathLike, not {type(path).__name__}")
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be callable or None, not {type(progress).__name__}")
    stats: FeedStats = _native.feed_stats(path, progress)
    return stats
