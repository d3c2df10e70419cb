"""The `tidemark` command: what is in feed files, their messages and books as
parquet, CSV or JSON Lines, a picture of one book, and feed file paths.

Output goes to stdout or to --out; progress bars go to stderr, only on a
terminal, and --quiet silences them. An error is one line on stderr,
`tidemark: {text}`, with exit status 2.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import sys
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import IO, TYPE_CHECKING, Any, NoReturn

from tidemark import FeedPathBuilder, SymbolMaster

from ._progress import Progress, tracked_rows, tracked_scan
from .stats import FeedStats, feed_stats

if TYPE_CHECKING:
    import pyarrow as pa

__all__ = ["main", "parse_duration"]

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


def _token(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid token {text!r}: not a whole number") from None
    if not 0 <= value <= MAX_TOKEN:
        raise argparse.ArgumentTypeError(f"invalid token {text!r}: must be from 0 to {MAX_TOKEN:,}")
    return value


def _types(text: str) -> list[str]:
    types = [t.strip() for t in text.split(",") if t.strip()]
    bad = [t for t in types if t not in ("N", "M", "X", "T")]
    if bad or not types:
        raise argparse.ArgumentTypeError(
            f"invalid message types {text!r}: a comma-separated list of N, M, X and T"
        )
    return types


def _positive(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"invalid number {text!r}: must not be negative")
    return value


def _levels(text: str) -> int:
    value = _positive(text)
    if not 1 <= value <= 1000:
        raise argparse.ArgumentTypeError(f"invalid levels {text!r}: must be from 1 to 1000")
    return value


class _Parser(argparse.ArgumentParser):
    """argparse with usage errors as one line and exit status 2."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_ERROR, f"{self.prog}: {message} (see {self.prog} --help)\n")


class _Formatter(argparse.HelpFormatter):
    """Wraps one-paragraph texts; keeps texts with line breaks (examples) as
    written."""

    def _fill_text(self, text: str, width: int, indent: str) -> str:
        if "\n" in text:
            return "".join(indent + line for line in text.splitlines(keepends=True))
        return super()._fill_text(text, width, indent)


def _subparser(
    subs: argparse._SubParsersAction[_Parser], name: str, summary: str, example: str
) -> _Parser:
    parser: _Parser = subs.add_parser(
        name,
        help=summary,
        description=summary,
        epilog="example:\n  " + example,
        formatter_class=_Formatter,
    )
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress bars on stderr")
    return parser


def build_parser() -> _Parser:
    parser = _Parser(
        prog="tidemark",
        description=(
            "What is in feed files, their messages and order books as parquet, CSV or "
            "JSON Lines, a picture of one book, and feed file paths."
        ),
        epilog=(
            "examples:\n"
            "  tidemark info data/sample_feed.bin\n"
            "  tidemark dump data/sample_feed.bin --format parquet --out messages.parquet\n"
            "  tidemark plot data/sample_feed.bin --token 1001 --out book.png\n\n"
            "Each subcommand has its own --help."
        ),
        formatter_class=_Formatter,
    )
    subs = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    info = _subparser(
        subs,
        "info",
        "What feed files hold: size, records by type, padding and unknown-record bytes, "
        "tokens, first and last seq_no and exch_ts, and where decoding stopped with an "
        "error. Exit status 1 when a file does not decode cleanly to its end.",
        "tidemark info data/sample_feed.bin --json",
    )
    info.add_argument("files", nargs="+", metavar="FILE", help="feed files")
    info.add_argument("--json", action="store_true", help="print the statistics as JSON")
    info.add_argument("--out", "-o", metavar="PATH", help="write to PATH instead of stdout")
    info.set_defaults(run=run_info)

    dump = _subparser(
        subs,
        "dump",
        "A feed file's messages as rows (one column per message dict key), streamed batch "
        "by batch. --token selects book keys (a trade's token read as unsigned).",
        "tidemark dump data/sample_feed.bin --master data/contract_master_fo_header.csv "
        "--type N,T --format parquet --out sample.parquet",
    )
    dump.add_argument("file", metavar="FILE", help="feed file")
    dump.add_argument("--master", metavar="CSV", help="contract master: add contract columns")
    _add_selection(dump, "only messages of these book keys", "only messages of these types")
    dump.add_argument("--limit", type=_positive, metavar="N", help="at most N rows")
    _add_output(dump)
    dump.set_defaults(run=run_dump)

    book = _subparser(
        subs,
        "book",
        "The order books' state over time: a row after every message, or with --every "
        "one row per book at each multiple of DURATION of exch_ts (nanoseconds).",
        "tidemark book data/sample_feed.bin --token 1001 --levels 5 --every 1ms "
        "--format csv --out book.csv",
    )
    book.add_argument("file", metavar="FILE", help="feed file")
    _add_selection(
        book,
        "rows of these books only; every message is still applied",
        "apply only these message types to the books (as OrderbookBuilder.apply_filter)",
    )
    book.add_argument(
        "--levels", type=_levels, default=5, metavar="N", help="levels per side (default 5)"
    )
    book.add_argument(
        "--every",
        type=parse_duration,
        metavar="DURATION",
        help="time grid step such as 1s, 100ms or 5m (default: a row per message)",
    )
    _add_output(book)
    book.set_defaults(run=run_book)

    plot = _subparser(
        subs,
        "plot",
        "A picture of one book: best bid, best ask and mid over time with trades sized by "
        "quantity, and the depth at the end beside it.",
        "tidemark plot data/sample_feed.bin --token 1001 "
        "--master data/contract_master_fo_header.csv --out book.png",
    )
    plot.add_argument("file", metavar="FILE", help="feed file")
    plot.add_argument("--token", type=_token, required=True, metavar="T", help="the book's token")
    plot.add_argument(
        "--every",
        type=parse_duration,
        metavar="DURATION",
        help="sample the book on a time grid (default: after every message of the token)",
    )
    plot.add_argument(
        "--master", metavar="CSV", help="contract master: the title names the contract"
    )
    plot.add_argument(
        "--levels", type=_levels, default=10, metavar="N", help="depth levels shown (default 10)"
    )
    plot.add_argument("--out", "-o", metavar="PNG", required=True, help="the PNG file to write")
    plot.set_defaults(run=run_plot)

    path = _subparser(
        subs,
        "path",
        "The conventional path of a feed file on the shared store.",
        "tidemark path NSE_CM --stream 2 --date 2025-12-29 --base /mnt/feeds --verify",
    )
    path.add_argument("segment", metavar="SEGMENT", help="NSE_CM, CM, NSE_FO or FO")
    path.add_argument("--stream", type=_positive, required=True, metavar="N", help="stream id")
    path.add_argument("--date", required=True, metavar="YYYY-MM-DD", help="trading day")
    path.add_argument("--base", metavar="DIR", help="base directory (default /nas/50.30)")
    path.add_argument("--verify", action="store_true", help="fail unless the file exists")
    path.set_defaults(run=run_path)
    return parser


def _add_output(parser: argparse.ArgumentParser) -> None:
    """Adds the --format and --out options of the commands that write rows."""
    parser.add_argument(
        "--format",
        choices=("parquet", "csv", "jsonl"),
        help="output format (default: from the --out suffix, else csv)",
    )
    parser.add_argument("--out", "-o", metavar="PATH", help="write to PATH instead of stdout")


def _add_selection(parser: argparse.ArgumentParser, tokens_help: str, types_help: str) -> None:
    parser.add_argument(
        "--token",
        type=_token,
        nargs="+",
        action="extend",
        metavar="T",
        help=tokens_help + " (repeat the option or list several)",
    )
    parser.add_argument("--type", type=_types, metavar="N,M,X,T", help=types_help)


# ---------------------------------------------------------------- output


@contextmanager
def _output(path: str | None, binary: bool) -> Iterator[IO[Any]]:
    """stdout, or the file at `path`; a file is written under a temporary
    name and renamed when the command succeeds, so an error never leaves
    half a file behind."""
    if path is None or path == "-":
        yield sys.stdout.buffer if binary else sys.stdout
        return
    tmp = f"{path}.part-{os.getpid()}"
    try:
        f = open(tmp, "wb" if binary else "w", encoding=None if binary else "utf-8")
    except OSError as exc:
        raise CliError(f"cannot write {path}: {exc.strerror or exc}") from None
    try:
        with f:
            yield f
        os.replace(tmp, path)
    except BaseException:
        _remove(tmp)
        raise


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


def _format_for(out: str | None, given: str | None) -> str:
    if given is not None:
        return given
    suffix = os.path.splitext(out or "")[1].lower()
    return {".parquet": "parquet", ".pq": "parquet", ".jsonl": "jsonl", ".ndjson": "jsonl"}.get(
        suffix, "csv"
    )


def _show_progress(args: argparse.Namespace) -> bool:
    return not args.quiet and sys.stderr.isatty()


def _require(module: str) -> Any:
    try:
        return __import__(module, fromlist=["_"])
    except ImportError:
        top = module.split(".")[0]
        raise CliError(
            f"this command needs the package {top}: pip install {top} "
            "(or pip install 'tidemark[tools]')"
        ) from None


# ---------------------------------------------------------------- info


def run_info(args: argparse.Namespace) -> int:
    status = EXIT_OK
    results: list[FeedStats] = []
    for path in args.files:
        try:
            with Progress(_file_size(path), path, enabled=_show_progress(args)) as bar:
                stats = feed_stats(path, progress=bar.update_to)
        except (RuntimeError, OSError) as exc:
            print(f"tidemark: {path}: {exc}", file=sys.stderr)
            status = EXIT_ERROR
            continue
        if stats["error"] is not None and status == EXIT_OK:
            status = EXIT_DECODE_ERROR
        results.append(stats)
    with _output(args.out, binary=False) as out:
        if args.json:
            json.dump(results, out, indent=2)
            out.write("\n")
        else:
            for i, stats in enumerate(results):
                if i:
                    out.write("\n")
                out.write(format_stats(stats))
    return status


def _file_size(path: str) -> int | None:
    try:
        return os.stat(path).st_size
    except OSError:
        return None


def _time_text(ts: int) -> str:
    """exch_ts as a UTC time when it reads as nanoseconds since 1970 in
    2000-2100 (the feed itself does not say its unit)."""
    if not 946_684_800_000_000_000 <= ts < 4_102_444_800_000_000_000:
        return ""
    import datetime

    seconds, ns = divmod(ts, 1_000_000_000)
    moment = datetime.datetime.fromtimestamp(seconds, datetime.UTC)
    return f"  ({moment:%Y-%m-%d %H:%M:%S}.{ns:09d} UTC)"


def _span_text(ns: int) -> str:
    if ns >= 3_600_000_000_000:
        return f"{ns / 3_600_000_000_000:.2f} h"
    if ns >= 60_000_000_000:
        return f"{ns / 60_000_000_000:.2f} min"
    if ns >= 1_000_000_000:
        return f"{ns / 1_000_000_000:.3f} s"
    return f"{ns / 1_000_000:.3f} ms"


def format_stats(s: FeedStats) -> str:
    """The text report of `tidemark info` for one file."""
    by_type = s["records_by_type"]
    known = "  ".join(f"{t} {by_type[t]:,}" for t in "NMXT" if t in by_type)
    other = ", ".join(f"{_type_label(t)} {n:,}" for t, n in by_type.items() if t not in "NMXT")
    lines = [
        s["path"],
        f"  size           {s['size']:,} bytes",
        f"  messages       {s['messages']:,}" + (f"  ({known})" if known else ""),
        f"  other records  {s['unknown_records']:,} ({s['unknown_bytes']:,} bytes)"
        + (f": {other}" if other else ""),
        f"  padding        {s['padding_bytes']:,} bytes",
    ]
    top = sorted(s["messages_by_token"].items(), key=lambda kv: (-kv[1], int(kv[0])))[:3]
    busiest = ", ".join(f"{t}: {n:,}" for t, n in top)
    lines.append(f"  tokens         {s['tokens']:,}" + (f"  (busiest {busiest})" if top else ""))
    first_ts, last_ts = s["first_exch_ts"], s["last_exch_ts"]
    low, high = s["min_exch_ts"], s["max_exch_ts"]
    if first_ts is not None and last_ts is not None and low is not None and high is not None:
        lines.append(f"  seq_no         {s['first_seq_no']} .. {s['last_seq_no']}")
        lines.append(f"  first exch_ts  {first_ts}{_time_text(first_ts)}")
        lines.append(f"  last exch_ts   {last_ts}{_time_text(last_ts)}")
        lines.append(
            f"  exch_ts span   {_span_text(high - low)}, {s['exch_ts_backwards']:,} "
            "stamped earlier than the message before"
        )
    error = s["error"]
    if error is None:
        lines.append("  decoding       clean to the end")
    else:
        lines.append(f"  decoding       stopped at byte {error['offset']:,}: {error['text']}")
    return "\n".join(lines) + "\n"


def _type_label(t: str) -> str:
    return t if t.isprintable() and t.strip() else f"0x{ord(t):02X}"


# ---------------------------------------------------------------- dump and book


def _filtered(
    reader: pa.RecordBatchReader,
    tokens: Sequence[int] | None,
    types: Sequence[str] | None,
    limit: int | None,
    token_column: str,
) -> Iterator[pa.RecordBatch]:
    """The reader's batches with the row selection applied, at most `limit`
    rows in all."""
    import pyarrow as pa
    import pyarrow.compute as pc

    left = limit
    for batch in reader:
        if left is not None and left <= 0:
            return
        mask = None
        if tokens:
            keys = batch.column(token_column)
            if pa.types.is_signed_integer(keys.type):
                # A trade's signed token selects the book it acts on.
                keys = pc.bit_wise_and(keys.cast(pa.int64()), MAX_TOKEN)
            mask = pc.is_in(keys, value_set=pa.array(tokens, pa.int64()).cast(keys.type))
        if types:
            type_mask = pc.is_in(
                batch.column("msg_type").cast(pa.string()), value_set=pa.array(types)
            )
            mask = type_mask if mask is None else pc.and_(mask, type_mask)
        if mask is not None:
            batch = batch.filter(mask)
        if left is not None:
            batch = batch.slice(0, left)
            left -= batch.num_rows
        if batch.num_rows:
            yield batch


def _plain_schema(schema: pa.Schema) -> pa.Schema:
    """The schema with dictionary-encoded columns as their value type."""
    import pyarrow as pa

    return pa.schema(
        [f.with_type(f.type.value_type) if pa.types.is_dictionary(f.type) else f for f in schema]
    )


def _plain_strings(batch: pa.RecordBatch) -> pa.RecordBatch:
    """Dictionary-encoded columns as plain ones, for writers that want them."""
    import pyarrow as pa

    if not any(pa.types.is_dictionary(f.type) for f in batch.schema):
        return batch
    columns = [
        c.cast(c.type.value_type) if pa.types.is_dictionary(c.type) else c for c in batch.columns
    ]
    return pa.RecordBatch.from_arrays(columns, names=batch.schema.names)


def write_batches(
    batches: Iterator[pa.RecordBatch], schema: pa.Schema, fmt: str, out_path: str | None
) -> int:
    """Writes the batches as parquet (zstd), CSV or JSON Lines, one batch at
    a time; returns the number of rows written. No rows still give a file:
    parquet with the schema, CSV with its header line."""
    pa = _require("pyarrow")
    rows = 0
    if fmt == "parquet":
        pq = _require("pyarrow.parquet")
        if out_path in (None, "-") and sys.stdout.isatty():
            raise CliError("refusing to write parquet to a terminal: give --out PATH")
        with _output(out_path, binary=True) as out:
            # Dictionary pages pay off for the few distinct strings; for ids
            # and prices they cost time and fall back to plain pages anyway.
            strings = [
                f.name
                for f in schema
                if pa.types.is_string(f.type) or pa.types.is_dictionary(f.type)
            ]
            with pq.ParquetWriter(
                out, schema, compression="zstd", use_dictionary=strings
            ) as writer:
                for batch in batches:
                    writer.write_batch(batch)
                    rows += batch.num_rows
        return rows
    if fmt == "csv":
        csv = _require("pyarrow.csv")
        with _output(out_path, binary=True) as out:
            options = csv.WriteOptions(quoting_style="needed")
            with csv.CSVWriter(out, _plain_schema(schema), write_options=options) as writer:
                for batch in batches:
                    writer.write_batch(_plain_strings(batch))
                    rows += batch.num_rows
        return rows
    with _output(out_path, binary=False) as out:
        for batch in batches:
            for row in batch.to_pylist():
                out.write(json.dumps(row, ensure_ascii=False, separators=(",", ":")))
                out.write("\n")
            rows += batch.num_rows
    return rows


def _load_master(path: str | None) -> SymbolMaster | None:
    """The contract master at `path`; its errors name the path."""
    if path is None:
        return None
    master = SymbolMaster()
    master.load(path)
    return master


def _opening(path: str, open_stream: Callable[[], Any]) -> Any:
    """Opens a feed file's stream; an open error names the file."""
    try:
        return open_stream()
    except RuntimeError as exc:
        raise CliError(f"{path}: {exc}") from None


def _decoded(reader: pa.RecordBatchReader, path: str) -> Iterator[pa.RecordBatch]:
    """The reader's batches; a decode error in the file (which pyarrow raises
    as OSError) becomes a one-line error naming the file."""
    batches = iter(reader)
    while True:
        try:
            batch = next(batches)
        except StopIteration:
            return
        except OSError as exc:
            raise CliError(f"{path}: {exc}") from None
        yield batch


def run_dump(args: argparse.Namespace) -> int:
    pa = _require("pyarrow")
    from . import scan_feed

    fmt = _format_for(args.out, args.format)
    master = _load_master(args.master)
    scan = _opening(args.file, lambda: scan_feed(args.file, master=master))
    with Progress(_file_size(args.file), args.file, enabled=_show_progress(args)) as bar:
        reader = pa.RecordBatchReader.from_stream(scan)
        batches = _filtered(
            tracked_scan(_decoded(reader, args.file), bar),
            args.token,
            args.type,
            args.limit,
            "token",
        )
        write_batches(batches, reader.schema, fmt, args.out)
    return EXIT_OK


def run_book(args: argparse.Namespace) -> int:
    pa = _require("pyarrow")
    from . import book_series

    fmt = _format_for(args.out, args.format)
    series = _opening(
        args.file,
        lambda: book_series(
            args.file, tokens=args.token, levels=args.levels, every_ns=args.every, types=args.type
        ),
    )
    with Progress(None, args.file, enabled=_show_progress(args), unit="rows") as bar:
        reader = pa.RecordBatchReader.from_stream(series)
        write_batches(tracked_rows(_decoded(reader, args.file), bar), reader.schema, fmt, args.out)
    return EXIT_OK


# ---------------------------------------------------------------- plot


def run_plot(args: argparse.Namespace) -> int:
    from .plot import plot_book

    title = None
    if args.master is not None:
        master = SymbolMaster()
        master.load(args.master)
        title = contract_title(master, args.token)
    plot_book(
        args.file,
        args.token,
        args.out,
        every_ns=args.every,
        levels=args.levels,
        title=title,
        progress=_show_progress(args),
    )
    return EXIT_OK


def contract_title(master: SymbolMaster, token: int) -> str:
    """Symbol, expiry, strike and option type of a token, as a plot title."""
    found = master.lookup(token)
    if not found["found"]:
        return f"token {token} (not in the contract master)"
    parts = [found["symbol"] or str(token)]
    if found["expiry"]:
        parts.append(found["expiry"])
    if found["strike"] is not None and found["strike"] >= 0:
        parts.append(str(found["strike"]))
    if found["option_type"] and found["option_type"] != "XX":
        parts.append(found["option_type"])
    return " ".join(parts) + f"  (token {token})"


# ---------------------------------------------------------------- path


def run_path(args: argparse.Namespace) -> int:
    match = re.fullmatch(r"(\d{4})-(\d{1,2})-(\d{1,2})", args.date)
    if match is None:
        raise CliError(f"invalid date {args.date!r}: write it as YYYY-MM-DD")
    year, month, day = (int(g) for g in match.groups())
    builder = FeedPathBuilder()
    build = builder.build_and_verify if args.verify else builder.build
    print(build(args.segment, args.stream, day, month, year, args.base))
    return EXIT_OK


# ---------------------------------------------------------------- entry point


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command; returns its exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        return run(args)
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader of stdout went away (`| head`): stop quietly, and keep
        # the interpreter from complaining while it flushes stdout at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_OK
    except (
        CliError,
        RuntimeError,
        OSError,
        ValueError,
        TypeError,
        OverflowError,
        ImportError,
    ) as exc:
        print(f"tidemark: {_one_line(exc)}", file=sys.stderr)
        return EXIT_ERROR


def _one_line(exc: BaseException) -> str:
    text = str(exc) or type(exc).__name__
    return " ".join(text.split())


def entry_point() -> NoReturn:
    sys.exit(main())
