"""Shared pieces of the benchmark scripts: generated inputs and timing."""

from __future__ import annotations

import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "bench-data"
sys.path.insert(0, str(ROOT / "scripts"))

import feedgen  # noqa: E402


def feed(messages: int, tokens: int, seed: int = 7) -> str:
    """A generated feed file, made once and kept in bench-data/."""
    DATA.mkdir(exist_ok=True)
    path = DATA / f"feed_v2_{messages}_{tokens}_{seed}.bin"
    if not path.exists():
        tmp = path.with_suffix(".tmp")
        feedgen.write_feed(str(tmp), messages, tokens, seed)
        tmp.rename(path)
    return str(path)


def median_time(fn, repeat: int = 5) -> float:
    """The median wall time of `repeat` calls of fn, in seconds."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def report(name: str, value: float, unit: str) -> None:
    print(f"{name:<58} {value:>14,.2f} {unit}")
