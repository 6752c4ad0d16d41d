"""The bin command: values from a CSV column or standard input, looked up in batches, one
result a line; bounded lines, a progress bar on a terminal."""

from __future__ import annotations

import argparse
import contextlib
import csv
import io
import json
import os
import stat
import sys
import time
from collections.abc import Callable, Iterator, MutableMapping
from typing import Any, Optional

from zelvora_analytics_utils.cli.bundles import load_model, open_output
from zelvora_analytics_utils.cli.common import EXIT_OK, PROG, CommandError, describe, json_safe
from zelvora_analytics_utils.cli.report import enum_text

__all__ = ["command_bin"]

BATCH_SIZE = 10_000
# The progress bar shows only for inputs at least this large (bytes of a file; values
# counted so far on a pipe), and redraws at most this often (seconds).
PROGRESS_MIN_BYTES = 1 << 20
PROGRESS_MIN_VALUES = 100_000
PROGRESS_INTERVAL = 0.1


class Progress:
    """A one-line progress display on standard error, redrawn in place."""

    def __init__(self, total_bytes: Optional[int]) -> None:
        self.total = total_bytes
        self.shown = False
        self.last = 0.0

    def update(self, values: int, position: Optional[int]) -> None:
        now = time.monotonic()
        if now - self.last < PROGRESS_INTERVAL:
            return
        large = (self.total or 0) >= PROGRESS_MIN_BYTES or (
            self.total is None and values >= PROGRESS_MIN_VALUES
        )
        if not large:
            return
        self.last = now
        if self.total and position is not None:
            share = min(position / self.total, 1.0)
            filled = int(share * 30)
            text = f"[{'#' * filled}{'.' * (30 - filled)}] {share:4.0%}  {values} values"
        else:
            text = f"{values} values"
        sys.stderr.write(f"\r{PROG} bin: {text}")
        sys.stderr.flush()
        self.shown = True

    def close(self) -> None:
        if self.shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()


# An input line longer than this (in a CSV file, a record with the lines its quoted fields
# span) is refused rather than held in memory.
MAX_LINE = 1 << 20  # bytes


class InputLines:
    """The lines of an input, each read in bounded pieces and decoded on its own as UTF-8
    (a byte order mark allowed in front), so that an endless line costs no more than
    MAX_LINE and a bad byte is reported with its line. `number` is the last line read."""

    def __init__(self, file: io.BufferedReader, name: str, csv_file: bool) -> None:
        # Latin-1 turns each byte into one character: lines split as before (any newline
        # for CSV, \n for plain lines) and their limit counts bytes; UTF-8 comes after.
        self.text = io.TextIOWrapper(file, encoding="latin-1", newline="" if csv_file else "\n")
        self.name = name
        self.csv_file = csv_file
        self.number = 0
        self.record = 0  # bytes of the current CSV record so far

    def __iter__(self) -> InputLines:
        return self

    def __next__(self) -> str:
        line = self.text.readline(MAX_LINE + 2)  # with room for \r\n
        if not line:
            raise StopIteration
        self.number += 1
        self.record = (self.record if self.csv_file else 0) + len(line)
        if len(line.rstrip("\r\n")) > MAX_LINE:
            raise CommandError(f"{self.name}:{self.number}: line longer than {MAX_LINE} bytes")
        if self.record > MAX_LINE + 2:
            raise CommandError(f"{self.name}:{self.number}: record longer than {MAX_LINE} bytes")
        try:
            return line.encode("latin-1").decode("utf-8-sig" if self.number == 1 else "utf-8")
        except UnicodeDecodeError as error:
            raise CommandError(f"{self.name}:{self.number}: cannot read: {describe(error)}") from error


def missing_to_none(text: str) -> Optional[str]:
    return text if text != "" else None


def csv_values(lines: InputLines, column: str) -> Iterator[tuple[int, Optional[str]]]:
    """(line number, value) of one column of a CSV file whose first row names the columns."""
    name = lines.name
    reader = csv.reader(lines)
    try:
        header = next(reader)
    except StopIteration:
        raise CommandError(f"{name}: empty; expected a header row naming the columns") from None
    if column not in header:
        raise CommandError(f"{name}: no column {column!r} (columns: {', '.join(header)})")
    index = header.index(column)
    lines.record = 0
    for row in reader:
        lines.record = 0
        if not row and len(header) == 1:
            row = [""]
        if len(row) <= index:
            raise CommandError(
                f"{name}:{reader.line_num}: {len(row)} field(s); column {column!r} is field {index + 1}"
            )
        yield reader.line_num, missing_to_none(row[index])


def line_values(lines: InputLines) -> Iterator[tuple[int, Optional[str]]]:
    for line in lines:
        yield lines.number, missing_to_none(line.rstrip("\r\n"))


Batch = list[tuple[int, Optional[str]]]


def batches(values: Iterator[tuple[int, Optional[str]]]) -> Iterator[Batch]:
    """The values in batches; an input that cannot be read further ends with the batch of
    the lines before the fault, then its error."""
    batch: Batch = []
    try:
        for item in values:
            batch.append(item)
            if len(batch) == BATCH_SIZE:
                yield batch
                batch = []
    except (CommandError, csv.Error):
        if batch:
            yield batch
        raise
    if batch:
        yield batch


def result_text(value: Optional[float | str], as_json: bool) -> str:
    if as_json:
        return json.dumps(json_safe(value))
    if value is None:
        return ""
    return value if isinstance(value, str) else repr(value)


class CatchAllCount:
    """A logging processor counting the catch-all records of the binning and dropping them
    (or, verbose, letting them through to standard error); muted, it drops them uncounted."""

    def __init__(self, verbose: bool) -> None:
        self.verbose = verbose
        self.muted = False
        self.count = 0

    def __call__(
        self, logger: Any, method: str, event: MutableMapping[str, Any]
    ) -> MutableMapping[str, Any]:
        import structlog

        if str(event.get("event", "")).startswith("Predictive model hit default value"):
            if self.muted:
                raise structlog.DropEvent
            self.count += 1
            if not self.verbose:
                raise structlog.DropEvent
        return event


# The results of a batch: all of them, or those of the lines before the failing one and
# the failure.
Results = tuple[list[Any], Optional[CommandError]]


def bin_batch(
    preprocessing: Any, attribute: str, batch: Batch, name: str, counter: CatchAllCount
) -> Results:
    try:
        return list(preprocessing.apply_feature_binning_batch(attribute, [v for _, v in batch])), None
    except Exception as error:
        batch_error = error
    # Value by value up to the line at fault; only failing batches pay for this. The batch
    # logged the catch-all hits before the fault already.
    results = []
    counter.muted = True
    try:
        for number, value in batch:
            try:
                results.append(preprocessing.apply_feature_binning(attribute, value))
            except Exception as single:
                return results, CommandError(f"{name}:{number}: {describe(single)}")
    finally:
        counter.muted = False
    return results, CommandError(f"{name}: {describe(batch_error)}")


def monitoring_batch(tracking: Any, attribute: str, dtype: Any, batch: Batch, name: str) -> Results:
    """The names of the monitoring bins of a batch's values (None where no bin applies)."""
    numerical = dtype == "NUMERICAL"
    names: list[Optional[str]] = []
    for number, text in batch:
        try:
            # As the binning engine reads numbers: float() of the text.
            value = float(text) if numerical and text is not None else text
            found = tracking.get_feature_binning(attribute, dtype, value)
        except Exception as error:
            message = f"monitoring binning of attribute {attribute!r}: {describe(error)}"
            return names, CommandError(f"{name}:{number}: {message}")
        names.append(None if found is None else found.name)
    return names, None


@contextlib.contextmanager
def open_input(path: Optional[str]) -> Iterator[tuple[io.BufferedReader, Optional[int]]]:
    """The input's bytes and its size (None for standard input, a FIFO or a device)."""
    if path is None or path == "-":
        with open(sys.stdin.fileno(), "rb", closefd=False) as stdin:
            yield stdin, None
        return
    try:
        file = open(path, "rb")
    except OSError as error:
        raise CommandError(f"{path}: {error.strerror}") from error
    with file:
        info = os.fstat(file.fileno())
        yield file, info.st_size if stat.S_ISREG(info.st_mode) else None



def regular_file(fileno: int) -> list[os.stat_result]:
    info = os.fstat(fileno)
    return [info] if stat.S_ISREG(info.st_mode) else []


def command_bin(args: argparse.Namespace) -> int:
    """Bin a column of values with the model's binning of an attribute."""
    import structlog

    model = load_model(args.bundle)
    counter = CatchAllCount(args.verbose)
    lookup: Callable[[Batch, str], Results]
    if args.monitoring:
        tracking = model.monitoring
        chosen = [b for b in tracking.binning if b.attribute == args.attribute]
        if not chosen:
            known = ", ".join(dict.fromkeys(b.attribute for b in tracking.binning)) or "none"
            raise CommandError(
                f"{args.bundle}: no monitoring binning for attribute {args.attribute!r} "
                f"(monitored: {known})"
            )
        # The lookup takes the last binning of the attribute; its data type by default.
        dtype = args.dtype or enum_text(chosen[-1].attribute_data_type)

        def lookup(batch: Batch, name: str) -> Results:
            return monitoring_batch(tracking, args.attribute, dtype, batch, name)

    else:
        preprocessing = model.feature_preprocessing
        if not preprocessing.feature_binning_exists(args.attribute):
            known = ", ".join(preprocessing.get_all_binning_attributes()) or "none"
            raise CommandError(
                f"{args.bundle}: no binning for attribute {args.attribute!r} (binned: {known})"
            )

        def lookup(batch: Batch, name: str) -> Results:
            return bin_batch(preprocessing, args.attribute, batch, name, counter)

    structlog.configure(
        processors=[counter, structlog.dev.ConsoleRenderer(colors=False)],
        logger_factory=structlog.PrintLoggerFactory(sys.stderr),
    )
    stdin = args.file in (None, "-")
    name = "<stdin>" if stdin else args.file
    try:
        protected = [("bundle", os.stat(args.bundle))]
    except OSError as error:
        raise CommandError(describe(error)) from error
    count = 0
    with open_input(args.file) as (source, size):
        lines = InputLines(source, name, csv_file=not stdin)
        if stdin:
            values = line_values(lines)
        else:
            values = csv_values(lines, args.column or args.attribute)
        protected += [("input file", info) for info in regular_file(source.fileno())]
        directory = args.bundle if os.path.isdir(args.bundle) else None
        with open_output(args.output, protected, directory) as target:
            progress = Progress(size) if sys.stderr.isatty() else None
            try:
                for batch in batches(values):
                    results, failure = lookup(batch, name)
                    target.write("".join(result_text(v, args.json) + "\n" for v in results))
                    count += len(results)
                    if failure is not None:
                        raise failure
                    if progress:
                        progress.update(count, source.tell() if size is not None else None)
            except csv.Error as error:
                raise CommandError(f"{name}:{lines.number}: cannot read: {describe(error)}") from error
            finally:
                if progress:
                    progress.close()
    if counter.count:
        sys.stderr.write(
            f"{PROG} bin: {counter.count} of {count} value(s) fell into no bin of their own "
            "and took the default bin's value\n"
        )
    return EXIT_OK
