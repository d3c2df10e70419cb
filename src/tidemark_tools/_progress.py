"""Progress bars on stderr for passes over a file, shown only when asked
for (a terminal, no --quiet) and only when tqdm is installed."""

from __future__ import annotations

import os
from collections.abc import Iterable, Iterator
from types import TracebackType
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import pyarrow as pa


class Progress:
    """A bar over a file's bytes (or a counter of other units when the
    total is unknown); a no-op when disabled."""

    def __init__(self, total: int | None, label: str, *, enabled: bool, unit: str = "B") -> None:
        self._bar: Any = None
        if not enabled:
            return
        try:
            from tqdm import tqdm
        except ImportError:
            return
        self._bar = tqdm(
            total=total,
            desc=os.path.basename(label),
            unit=unit,
            unit_scale=True,
            unit_divisor=1024 if unit == "B" else 1000,
            leave=False,
            dynamic_ncols=True,
        )

    @property
    def enabled(self) -> bool:
        """True when a bar is shown."""
        return self._bar is not None

    def update_to(self, position: int) -> None:
        """Moves the bar to `position` bytes into the file."""
        if self._bar is not None and position > self._bar.n:
            self._bar.update(position - self._bar.n)

    def advance(self, n: int) -> None:
        """Moves the bar on by `n` units."""
        if self._bar is not None:
            self._bar.update(n)

    def finish(self) -> None:
        """Moves the bar to its end."""
        if self._bar is not None and self._bar.total is not None:
            self.update_to(self._bar.total)

    def __enter__(self) -> Progress:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        if self._bar is not None:
            self._bar.close()


def tracked_scan(reader: Iterable[pa.RecordBatch], bar: Progress) -> Iterator[pa.RecordBatch]:
    """The scan's batches, moving the bar by the bytes of their records (47
    per order, 54 per trade; padding and skipped records are not seen, so
    the bar jumps to the end when the scan ends)."""
    import pyarrow as pa
    import pyarrow.compute as pc

    if not bar.enabled:
        yield from reader
        return
    position = 0
    for batch in reader:
        trades = pc.sum(pc.equal(batch.column("msg_type").cast(pa.string()), "T")).as_py() or 0
        position += 47 * batch.num_rows + 7 * trades
        bar.update_to(position)
        yield batch
    bar.finish()


def tracked_rows(reader: Iterable[pa.RecordBatch], bar: Progress) -> Iterator[pa.RecordBatch]:
    """The series' batches, counting rows on the bar."""
    if not bar.enabled:
        yield from reader
        return
    for batch in reader:
        bar.advance(batch.num_rows)
        yield batch
