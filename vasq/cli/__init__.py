"""The ``python -m vasq`` command line: a table of subcommands and one-line errors."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence
from typing import Protocol

from vasq.cli import fit, many


class Subcommand(Protocol):
    """What a subcommand module provides."""

    def add_parser(self, subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
        """Add the subcommand's parser, with its arguments, to ``subparsers``."""

    def run(self, args: argparse.Namespace) -> int:
        """Carry out the subcommand; return the exit code."""


SUBCOMMANDS: tuple[Subcommand, ...] = (fit, many)
# The shell's code for a command ended by SIGINT.
INTERRUPTED = 128 + 2


def build_parser() -> argparse.ArgumentParser:
    """The parser of the whole command line; each subcommand's ``run`` lands in ``args.run``."""
    parser = argparse.ArgumentParser(
        prog="python -m vasq",
        description="Robust polynomial regression with the degree chosen by a trimmed BIC.")
    subparsers = parser.add_subparsers(title="commands", required=True, metavar="COMMAND")
    for command in SUBCOMMANDS:
        known = set(subparsers.choices)
        command.add_parser(subparsers)
        for name in subparsers.choices.keys() - known:
            subparsers.choices[name].set_defaults(run=command.run)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line.

    Parameters
    ----------
    argv : sequence of str, optional
        The arguments after the program name; by default ``sys.argv[1:]``.

    Returns
    -------
    int
        The exit code: 0 on success, 2 when the input cannot be used, 130 when interrupted
        (Ctrl-C). Errors in the input (``ValueError``, ``OSError``, ``KeyError``) are
        reported on one line of standard error as ``vasq: error: <message>``, without a
        traceback, as is an interruption. Usage errors exit through argparse, also with
        code 2.
    """
    try:
        args = build_parser().parse_args(argv)
        code: int = args.run(args)
    except (ValueError, OSError, KeyError) as error:
        print(f"vasq: error: {one_line(error)}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("vasq: interrupted", file=sys.stderr)
        return INTERRUPTED
    return code


def one_line(error: BaseException) -> str:
    """The error's message as a single line."""
    if isinstance(error, OSError) and error.filename is not None and error.strerror:
        message = f"{error.filename}: {error.strerror}"
    elif isinstance(error, KeyError) and len(error.args) == 1:
        message = f"not found: {error.args[0]!r}"  # str() of a KeyError is only the key's repr
    else:
        message = str(error)
    return " ".join(message.split()) or type(error).__name__
