"""The `tidemark` command: what is in feed files, their messages and books as
parquet, CSV or JSON Lines, a picture of one book, and feed file paths.

Each subcommand lives in a module of its own in this package, with a
`register(subs)` that adds its parser and the function that runs it;
`_common` holds what they share. Output goes to stdout or to --out;
progress bars go to stderr, only on a terminal, and --quiet silences them.
An error is one line on stderr, `tidemark: {text}`, with exit status 2.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Callable, Sequence
from typing import NoReturn

from .. import __version__
from . import _output, bars, book, check, dump, info, path, plot, quotes, tail, trades
from ._common import EXIT_ERROR, EXIT_OK, CliError, Formatter, Parser, parse_duration
from .plot import contract_title

__all__ = ["build_parser", "contract_title", "entry_point", "main", "parse_duration"]

# The subcommands, in the order --help lists them.
SUBCOMMANDS = (info, check, dump, trades, quotes, bars, tail, book, plot, path)


def build_parser() -> Parser:
    parser = Parser(
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
        formatter_class=Formatter,
    )
    parser.add_argument("--version", action="version", version=f"tidemark {__version__}")
    subs = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for subcommand in SUBCOMMANDS:
        subcommand.register(subs)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command; returns its exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        with _output.signals_caught():
            _output.set_inputs(_input_paths(args))
            _output.check_not_an_input(getattr(args, "out", None))  # before any work
            return run(args)
    except KeyboardInterrupt:
        return 130
    except _output.Terminated as exc:
        return 128 + exc.signum
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
        stopped = _output.interruption_of(exc)
        if isinstance(stopped, KeyboardInterrupt):
            return 130
        if isinstance(stopped, _output.Terminated):
            return 128 + stopped.signum
        print(f"tidemark: {_one_line(exc)}", file=sys.stderr)
        return EXIT_ERROR


def _input_paths(args: argparse.Namespace) -> list[str]:
    """Every file the command reads: feed files and contract masters."""
    paths: list[str] = []
    for name in ("file", "files", "master"):
        value = getattr(args, name, None)
        if isinstance(value, str):
            paths.append(value)
        elif isinstance(value, list):
            paths.extend(v for v in value if isinstance(v, str))
    return paths


def _one_line(exc: BaseException) -> str:
    text = str(exc) or type(exc).__name__
    return " ".join(text.split())


def entry_point() -> NoReturn:
    sys.exit(main())
