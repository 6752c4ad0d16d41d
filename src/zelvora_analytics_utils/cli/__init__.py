"""The ``zelvora`` command line: check, show, convert and apply stored models; print schemas.

Run as ``zelvora`` or ``python -m zelvora_analytics_utils``; ``zelvora COMMAND --help``
describes each command. Results go to standard output, messages to standard error. Exit
status: 0 on success, 1 when the command fails (or ``validate`` finds the model invalid),
2 on a usage error.

Modules by concern: ``common`` (errors, signals, messages), ``bundles`` (reading bundles by
path, writing outputs safely, convert), ``report`` (validate, inspect), ``bin``, ``schema``,
``page`` (the report page) with ``svg`` (its charts) and ``stability`` (its data).
"""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import sys
from collections.abc import Callable, Sequence
from typing import Any, Optional

# Only the standard library is imported here: the package's modules (and through them
# pydantic and strawberry) come with the commands that use them, so that --help and usage
# errors answer at once.
from zelvora_analytics_utils.cli.bin import command_bin
from zelvora_analytics_utils.cli.bundles import command_convert
from zelvora_analytics_utils.cli.common import (
    EXIT_FAILURE,
    PROG,
    CommandError,
    Stopped,
    describe,
    stop_signals_handled,
)
from zelvora_analytics_utils.cli.page import command_report
from zelvora_analytics_utils.cli.report import command_inspect, command_validate
from zelvora_analytics_utils.cli.schema import command_schema

__all__ = ["main"]

# --- the command table -----------------------------------------------------------------------

Argument = tuple[tuple[str, ...], dict[str, Any]]

BUNDLE: Argument = (
    ("bundle",),
    {"metavar": "BUNDLE", "help": "a bundle: a directory, a tar or a zip archive"},
)
JSON: Argument = (("--json",), {"action": "store_true", "help": "write the result as JSON"})

COMMANDS: list[tuple[str, Callable[[argparse.Namespace], int], str, list[Argument]]] = [
    (
        "validate",
        command_validate,
        "Load a bundle and check its model; list the validation errors with their "
        "locations. Exit status 1 when the model is invalid.",
        [BUNDLE, JSON],
    ),
    (
        "inspect",
        command_inspect,
        "Show a model: type and category, attributes, formula, tree figures and every "
        "binning as a table.",
        [BUNDLE, JSON],
    ),
    (
        "convert",
        command_convert,
        "Store a bundle in another container, chosen by the target's suffix: .zip, .tar, "
        ".tar.gz or .tgz (a gzip-compressed tar), anything else a directory. An existing "
        "target is never overwritten; the target appears only once complete.",
        [
            (("source",), {"metavar": "SOURCE", "help": "the bundle to read"}),
            (("target",), {"metavar": "TARGET", "help": "the bundle to write; must not exist"}),
            (
                ("--no-check",),
                {
                    "dest": "check",
                    "action": "store_false",
                    "help": "copy the bundle without checking that its model validates",
                },
            ),
            JSON,
        ],
    ),
    (
        "bin",
        command_bin,
        "Bin values with the model's binning of ATTRIBUTE and write one bin value per "
        "line (an empty line where no bin applies); with --monitoring, look them up in "
        "the model's monitoring binning of ATTRIBUTE and write the bin's name instead. "
        "Values come from the column of a CSV FILE whose header row names the columns, or "
        "from standard input, one per line; input is UTF-8 (a byte order mark is allowed), "
        "a line holds at most 1 MiB, and an empty value is a missing one. On an error the "
        "command stops with the failing line and exit status 1; standard output holds the "
        "results of every line before it. --output PATH: a device or FIFO at PATH (such as "
        "/dev/null) is written directly, as standard output is; a regular file appears or "
        "is replaced only once complete, keeping the permissions of the file it replaces, "
        "and is left as it was on an error; a symbolic link, the bundle and the input file "
        "are refused.",
        [
            BUNDLE,
            (("attribute",), {"metavar": "ATTRIBUTE", "help": "the attribute whose binning applies"}),
            (
                ("file",),
                {"metavar": "FILE", "nargs": "?", "help": "a CSV file; omitted or -: standard input"},
            ),
            (("--column",), {"help": "the CSV column to read (default: ATTRIBUTE)"}),
            (
                ("-o", "--output"),
                {
                    "metavar": "PATH",
                    "help": "write to PATH instead of standard output (a file is replaced "
                    "when complete, a device or FIFO written directly)",
                },
            ),
            (
                ("--monitoring",),
                {
                    "action": "store_true",
                    "help": "the monitoring binning: write the name of each value's bin",
                },
            ),
            (
                ("--dtype",),
                {
                    "choices": ["NUMERICAL", "CATEGORICAL"],
                    "type": str.upper,
                    "help": "with --monitoring, how values are looked up: as numbers or as "
                    "categories (default: the data type of the binning)",
                },
            ),
            (
                ("-v", "--verbose"),
                {"action": "store_true", "help": "log every value that only a default bin covers"},
            ),
            (
                ("--json",),
                {
                    "action": "store_true",
                    "help": "write each bin value (or name) as JSON (null where none)",
                },
            ),
        ],
    ),
    (
        "report",
        command_report,
        "Write a model's report as one self-contained HTML page (no script, nothing "
        "fetched): type, category, attributes, formula, description, performance, and a "
        "chart of every binning (development shares and bin values). With --data FILE, also "
        "the population stability index of every monitored attribute in FILE against the "
        "development frequencies, largest first, banded below 0.1, 0.1 to 0.25 and above "
        "0.25. FILE is CSV (a header row naming the columns, UTF-8, an empty field a missing "
        "value) or Parquet (needs pyarrow), told apart by content. The page appears only once "
        "complete; a symbolic link, the bundle and the data file are refused.",
        [
            BUNDLE,
            (
                ("-o", "--output"),
                {"metavar": "PATH", "required": True, "help": "the HTML file to write"},
            ),
            (
                ("--data",),
                {"metavar": "FILE", "help": "production data (CSV or Parquet) to compare"},
            ),
        ],
    ),
    (
        "schema",
        command_schema,
        "Print the GraphQL schema (SDL) of every query view, or the JSON Schema of the "
        "model YAML document.",
        [],
    ),
]


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Check, show, convert and apply stored predictive models.",
        epilog="Exit status: 0 success, 1 failure or invalid model, 2 usage error.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for name, function, text, arguments in COMMANDS:
        summary = text.split(". ")[0].rstrip(".") + "."
        command = commands.add_parser(name, help=summary, description=text)
        for flags, options in arguments:
            command.add_argument(*flags, **options)
        if name == "schema":
            which = command.add_mutually_exclusive_group(required=True)
            which.add_argument("--graphql", action="store_true", help="the GraphQL SDL of the views")
            which.add_argument(
                "--json-schema", action="store_true", help="the JSON Schema of the model document"
            )
        command.set_defaults(function=function)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command line with `argv` (default: the process's arguments); returns the
    exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    if getattr(args, "dtype", None) and not args.monitoring:
        parser.error("--dtype applies only with --monitoring")
    try:
        with stop_signals_handled():
            return int(args.function(args))
    except CommandError as error:
        sys.stderr.write(f"{PROG} {args.command}: error: {error}\n")
    except (KeyboardInterrupt, Stopped) as stopped:
        signum = stopped.signum if isinstance(stopped, Stopped) else signal.SIGINT
        if signum == signal.SIGINT:
            sys.stderr.write("\n")  # after the ^C the terminal shows
        return 128 + signum
    except BrokenPipeError:
        # The reader went away (| head): stop quietly.
        with contextlib.suppress(OSError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILURE
    except OSError as error:  # the file system's answer, such as a full disk
        sys.stderr.write(f"{PROG} {args.command}: error: {describe(error)}\n")
    except Exception as error:  # never a traceback, but say it is ours
        sys.stderr.write(
            f"{PROG} {args.command}: internal error: {type(error).__name__}: {describe(error)}\n"
        )
    return EXIT_FAILURE
