"""What the subcommands of the `tidemark` command share: exit statuses, the
parsers of option values, the parser classes and the common options."""

from __future__ import annotations

import argparse
import os
import re
import stat
import sys
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any, NoReturn, TypeAlias

from tidemark import SymbolMaster

if TYPE_CHECKING:
    import pyarrow as pa

EXIT_OK = 0
EXIT_DECODE_ERROR = 1  # `info`: some file stopped decoding with an error
EXIT_ERROR = 2

MAX_TOKEN = 0xFFFF_FFFF
_DURATION = re.compile(r"(\d+(?:\.\d+)?)(ns|us|µs|ms|s|m|h)")
_NS_PER_UNIT = {
    "ns": 1,
    "us": 1_000,
    "µs": 1_000,
    "ms": 1_000_000,
    "s": 1_000_000_000,
    "m": 60_000_000_000,
    "h": 3_600_000_000_000,
}


class CliError(Exception):
    """An error the command reports as one line, with exit status 2."""


# ---------------------------------------------------------------- arguments


def parse_duration(text: str) -> int:
    """Nanoseconds of a DURATION such as `1s`, `100ms`, `5m` or `1.5s`."""
    match = _DURATION.fullmatch(text.strip())
    if match is None:
        raise argparse.ArgumentTypeError(
            f"invalid duration {text!r}: write a number and a unit, such as 1s, 100ms or 5m "
            "(units ns, us, ms, s, m, h)"
        )
    number, unit = match.groups()
    whole, _, frac = number.partition(".")
    scale = _NS_PER_UNIT[unit]
    ns = int(whole) * scale + (int(frac) * scale) // 10 ** len(frac) if frac else int(whole) * scale
    if ns < 1:
        raise argparse.ArgumentTypeError(f"invalid duration {text!r}: must be at least 1ns")
    return ns


def parse_token(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid token {text!r}: not a whole number") from None
    if not 0 <= value <= MAX_TOKEN:
        raise argparse.ArgumentTypeError(f"invalid token {text!r}: must be from 0 to {MAX_TOKEN:,}")
    return value


def parse_types(text: str) -> list[str]:
    types = [t.strip() for t in text.split(",") if t.strip()]
    bad = [t for t in types if t not in ("N", "M", "X", "T")]
    if bad or not types:
        raise argparse.ArgumentTypeError(
            f"invalid message types {text!r}: a comma-separated list of N, M, X and T"
        )
    return types


def parse_count(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"invalid number {text!r}: must not be negative")
    return value


def parse_levels(text: str) -> int:
    value = parse_count(text)
    if not 1 <= value <= 1000:
        raise argparse.ArgumentTypeError(f"invalid levels {text!r}: must be from 1 to 1000")
    return value


class Parser(argparse.ArgumentParser):
    """argparse with usage errors as one line and exit status 2."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_ERROR, f"{self.prog}: {message} (see {self.prog} --help)\n")


class Formatter(argparse.HelpFormatter):
    """Wraps one-paragraph texts; keeps texts with line breaks (examples) as
    written."""

    def _fill_text(self, text: str, width: int, indent: str) -> str:
        if "\n" in text:
            return "".join(indent + line for line in text.splitlines(keepends=True))
        return super()._fill_text(text, width, indent)


# What register(subs) of a subcommand gets: the parser's subcommand table.
Subcommands: TypeAlias = "argparse._SubParsersAction[Parser]"


def add_subcommand(subs: Subcommands, name: str, summary: str, example: str) -> Parser:
    parser: Parser = subs.add_parser(
        name,
        help=summary,
        description=summary,
        epilog="example:\n  " + example,
        formatter_class=Formatter,
    )
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress bars on stderr")
    return parser


def add_output(parser: argparse.ArgumentParser) -> None:
    """Adds the --format and --out options of the commands that write rows."""
    parser.add_argument(
        "--format",
        choices=("parquet", "csv", "jsonl"),
        help="output format (default: from the --out suffix, else csv)",
    )
    parser.add_argument("--out", "-o", metavar="PATH", help="write to PATH instead of stdout")


def add_selection(parser: argparse.ArgumentParser, tokens_help: str, types_help: str) -> None:
    parser.add_argument(
        "--token",
        type=parse_token,
        nargs="+",
        action="extend",
        metavar="T",
        help=tokens_help + " (repeat the option or list several)",
    )
    parser.add_argument("--type", type=parse_types, metavar="N,M,X,T", help=types_help)


def format_for(out: str | None, given: str | None) -> str:
    if given is not None:
        return given
    suffix = os.path.splitext(out or "")[1].lower()
    return {".parquet": "parquet", ".pq": "parquet", ".jsonl": "jsonl", ".ndjson": "jsonl"}.get(
        suffix, "csv"
    )


def show_progress(args: argparse.Namespace) -> bool:
    return not args.quiet and sys.stderr.isatty()


def require(module: str) -> Any:
    try:
        return __import__(module, fromlist=["_"])
    except ImportError:
        top = module.split(".")[0]
        raise CliError(
            f"this command needs the package {top}: pip install {top} "
            "(or pip install 'tidemark[tools]')"
        ) from None


def file_size(path: str) -> int | None:
    """The size of the feed at `path`, for progress bars; None when unknown
    (a pipe, or a compressed file whose feed is larger than the file)."""
    if path.endswith((".gz", ".zst")):
        return None
    try:
        st = os.stat(path)
    except OSError:
        return None
    return st.st_size if stat.S_ISREG(st.st_mode) else None


def add_master_options(parser: argparse.ArgumentParser) -> None:
    """Adds --master CSV and --master-base DIR (one or the other)."""
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--master", metavar="CSV", help="contract master: add contract columns")
    group.add_argument(
        "--master-base",
        metavar="DIR",
        help="contract masters by date: each feed file (named Feed_FO_StreamID_2_29_12_2025.bin "
        "and so on) gets DIR/CONTRACT/29_12_2025/NSE_FO_contract_29122025.csv",
    )


def master_from(args: argparse.Namespace) -> Any:
    """The master that --master or --master-base asks for, or None."""
    if getattr(args, "master_base", None) is not None:
        from .._masters import DatedMasters

        return DatedMasters(args.master_base)
    return load_master(args.master)


def load_master(path: str | None) -> SymbolMaster | None:
    """The contract master at `path`; its errors name the path."""
    if path is None:
        return None
    master = SymbolMaster()
    master.load(path)
    return master


def opening(path: str, open_stream: Callable[[], Any]) -> Any:
    """Opens a feed file's stream; an open error names the file."""
    try:
        return open_stream()
    except RuntimeError as exc:
        raise CliError(f"{path}: {exc}") from None


def decoded(reader: pa.RecordBatchReader, path: str) -> Iterator[pa.RecordBatch]:
    """The reader's batches; a decode error in the file (which pyarrow raises
    as OSError) becomes a one-line error naming the file."""
    batches = iter(reader)
    while True:
        try:
            batch = next(batches)
        except StopIteration:
            return
        except OSError as exc:
            from ._output import interruption_of

            # A stream stopped by Ctrl-C (or SIGTERM) ends the command as such.
            raise interruption_of(exc) or CliError(f"{path}: {exc}") from None
        yield batch
