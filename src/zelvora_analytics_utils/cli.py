"""The ``zelvora`` command line: check, show, convert and apply stored models; print schemas.

Run as ``zelvora`` or ``python -m zelvora_analytics_utils``; ``zelvora COMMAND --help``
describes each command. Results go to standard output, messages to standard error. Exit
status: 0 on success, 1 when the command fails (or ``validate`` finds the model invalid),
2 on a usage error.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import gzip
import io
import json
import math
import os
import pkgutil
import shutil
import signal
import stat
import sys
import tempfile
import threading
import time
import zipfile
from collections.abc import Callable, Iterable, Iterator, MutableMapping, Sequence
from typing import Any, Optional, TextIO

__all__ = ["main"]

# The package's modules (and through them pydantic and strawberry) are imported by the
# commands that use them, so that --help and usage errors answer at once.

PROG = "zelvora"
EXIT_OK, EXIT_FAILURE = 0, 1  # argparse exits with 2 on a usage error

BATCH_SIZE = 10_000
# The progress bar shows only for inputs at least this large (bytes of a file; values
# counted so far on a pipe), and redraws at most this often (seconds).
PROGRESS_MIN_BYTES = 1 << 20
PROGRESS_MIN_VALUES = 100_000
PROGRESS_INTERVAL = 0.1


class CommandError(Exception):
    """A failure reported as one line on standard error."""


class InvalidModel(CommandError):
    """A bundle whose model document does not validate; `errors` are (location, message)."""

    def __init__(self, path: str, errors: list[tuple[str, str]]) -> None:
        self.path = path
        self.errors = errors
        location, message = errors[0]
        more = f" (and {len(errors) - 1} more; see 'zelvora validate')" if len(errors) > 1 else ""
        super().__init__(f"{path}: invalid model: {location}: {message}{more}")


# --- signals -------------------------------------------------------------------------------

# Each ends the command the way Ctrl-C does: cleanups run, exit status 128 + signal number.
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class Stopped(BaseException):
    """A stop signal, raised where the program is so that every cleanup on the way out runs."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def stop(signum: int, frame: Any) -> None:
    # A second signal must not cut the cleanup of the first short.
    for other in STOP_SIGNALS:
        signal.signal(other, signal.SIG_IGN)
    raise Stopped(signum)


@contextlib.contextmanager
def stop_signals_handled() -> Iterator[None]:
    """Stop signals raise Stopped within the block; signals ignored on entry (nohup, a
    background job) stay ignored. Only the main thread may set handlers."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = {number: signal.getsignal(number) for number in STOP_SIGNALS}
    for number, handler in previous.items():
        if handler is not signal.SIG_IGN:
            signal.signal(number, stop)
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler if handler is not None else signal.SIG_DFL)


@contextlib.contextmanager
def stop_signals_held() -> Iterator[None]:
    """Holds stop signals back while a temporary is created and its name stored: a signal
    in between would leave a file that no cleanup knows of."""
    held = signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, held)


# --- messages ------------------------------------------------------------------------------


def one_line(text: str) -> str:
    return " ".join(str(text).split())


def describe(error: BaseException) -> str:
    """An error as one line, without the Python type names a user need not know."""
    if isinstance(error, OSError) and error.strerror:
        name = error.filename
        return f"{name}: {error.strerror}" if name is not None else error.strerror
    if isinstance(error, KeyError) and len(error.args) == 1:
        return f"missing {error.args[0]!r}"
    text = one_line(str(error))
    return text or type(error).__name__


def json_safe(value: Any) -> Any:
    """Plain data as strict JSON can hold it: non-finite floats become "inf", "-inf", "nan"."""
    if isinstance(value, float) and not math.isfinite(value):
        return "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")
    if isinstance(value, dict):
        return {str(k): json_safe(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [json_safe(v) for v in value]
    if hasattr(value, "value") and isinstance(getattr(value, "value"), str):  # text enumerations
        return value.value
    return value


def print_json(value: Any) -> None:
    sys.stdout.write(json.dumps(json_safe(value), indent=2, allow_nan=False) + "\n")


# --- bundles -------------------------------------------------------------------------------

ARCHIVE_MAGIC = {
    b"PK\x03\x04": "zip",
    b"PK\x05\x06": "zip",  # an empty zip archive
    b"\x1f\x8b": "tar",  # gzip
    b"BZh": "tar",
    b"\xfd7zXZ\x00": "tar",
}


def bundle_kind(path: str) -> str:
    """"directory", "tar" or "zip", from the file's first bytes rather than its name."""
    if not os.path.lexists(path):
        raise CommandError(f"{path}: no such file or directory")
    if os.path.isdir(path):
        return "directory"
    if not os.path.isfile(path):  # a FIFO or a device would block or never end
        raise CommandError(f"{path}: not a bundle (neither a directory nor a regular file)")
    try:
        with open(path, "rb") as file:
            head = file.read(512)
    except OSError as error:
        raise CommandError(f"{path}: {error.strerror}") from error
    for magic, kind in ARCHIVE_MAGIC.items():
        if head.startswith(magic):
            return kind
    if head[257:262] == b"ustar":
        return "tar"
    if zipfile.is_zipfile(path):  # a zip with data in front of it
        return "zip"
    raise CommandError(f"{path}: not a bundle (neither a directory nor a tar or zip archive)")


def load_content(path: str) -> Any:
    """The content bundle stored at `path`, whatever its kind."""
    from zelvora_analytics_utils.predictive_models.content import AugmentedPredictiveModelContent

    kind = bundle_kind(path)
    try:
        # By path: the loaders bound what they read; reading the file here would not.
        if kind == "directory":
            return AugmentedPredictiveModelContent.load_from_directory(path)
        if kind == "zip":
            return AugmentedPredictiveModelContent.load_from_zip(path)
        return AugmentedPredictiveModelContent.load_from_tar(path)
    except Exception as error:  # the loaders' errors are the user's input errors
        raise CommandError(f"{path}: cannot read the {kind} bundle: {describe(error)}") from error


def location_text(location: Sequence[Any]) -> str:
    return ".".join(str(part) for part in location) or "(model)"


def yaml_problem(error: Exception) -> str:
    """A YAML syntax error as "line L column C: problem (context)"."""
    mark, problem = getattr(error, "problem_mark", None), getattr(error, "problem", None)
    if mark is None or not problem:
        return describe(error)
    context = getattr(error, "context", None)
    where = f"line {mark.line + 1} column {mark.column + 1}"
    return f"{where}: {problem}" + (f" ({context})" if context else "")


def parse_failure(error: Exception) -> list[tuple[str, str]]:
    """The (location, message) pairs of a failed model parse."""
    from pydantic import ValidationError

    if isinstance(error, ValidationError):
        return [
            (location_text(item["loc"]), one_line(item["msg"]))
            for item in error.errors(include_url=False)
        ]
    if isinstance(error, json.JSONDecodeError):
        return [("external_model.json", f"line {error.lineno} column {error.colno}: {error.msg}")]
    if type(error).__module__.startswith("ruamel.yaml"):
        return [("extended_model.yaml", yaml_problem(error))]
    if isinstance(error, KeyError):
        return [("attached_images", f"no file in the bundle for image {error.args[0]!r}")]
    return [("(bundle)", describe(error))]


def parse_model(content: Any, path: str) -> Any:
    """The validated model of a bundle; InvalidModel when it does not validate."""
    from zelvora_analytics_utils.predictive_models.augmented_predictive_model import (
        AugmentedPredictiveModel,
    )

    try:
        # Whatever the model prints while loading is a message, not output.
        with contextlib.redirect_stdout(sys.stderr):
            return AugmentedPredictiveModel.parse_from_content(content)
    except Exception as error:  # every failure here is one of the document
        raise InvalidModel(path, parse_failure(error)) from error


def load_model(path: str) -> Any:
    return parse_model(load_content(path), path)


# --- writing without leaving anything partial ------------------------------------------------


def current_umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


@contextlib.contextmanager
def new_path(target: str, directory: bool) -> Iterator[str]:
    """A temporary file or directory beside `target`, moved to `target` when the block
    succeeds and removed when it fails. An existing `target` is never replaced."""
    parent = os.path.dirname(os.path.abspath(target))
    if not os.path.isdir(parent):
        raise CommandError(f"{os.path.dirname(target) or '.'}: no such directory")
    prefix = "." + os.path.basename(os.path.normpath(target)) + "."
    temporary: Optional[str] = None
    try:
        with stop_signals_held():
            if directory:
                temporary = tempfile.mkdtemp(prefix=prefix, suffix=".part", dir=parent)
            else:
                handle, temporary = tempfile.mkstemp(prefix=prefix, suffix=".part", dir=parent)
                os.close(handle)
        os.chmod(temporary, (0o777 if directory else 0o666) & ~current_umask())
        yield temporary
        if directory:
            # rename() would replace an empty directory: test first.
            if os.path.lexists(target):
                raise CommandError(f"{target}: already exists; not overwritten")
            os.rename(temporary, target)
        else:
            # link() fails rather than replace what appeared meanwhile.
            try:
                os.link(temporary, target)
            except FileExistsError:
                raise CommandError(f"{target}: already exists; not overwritten") from None
            os.unlink(temporary)
    except BaseException:
        if temporary is None:
            pass
        elif directory:
            shutil.rmtree(temporary, ignore_errors=True)
        else:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(temporary)
        raise


def write_file(path: str, data: bytes) -> None:
    with open(path, "wb") as file:
        file.write(data)
        file.flush()
        os.fsync(file.fileno())


TARGET_SUFFIXES = ((".tar.gz", "tar.gz"), (".tgz", "tar.gz"), (".tar", "tar"), (".zip", "zip"))


def target_kind(target: str) -> str:
    """The container a target name asks for: by suffix, any case; a directory otherwise."""
    lowered = target.lower()
    for suffix, kind in TARGET_SUFFIXES:
        if lowered.endswith(suffix):
            return kind
    return "directory"


def image_subdirectories(content: Any) -> set[str]:
    """Subdirectories that image names such as plots/roc.png (from a tar) need."""
    needed = set()
    for key in content.attached_images:
        parts = key.split("/")[:-1]
        if parts and not key.startswith("/") and ".." not in parts:
            needed.add(os.path.join(*parts))
    return needed


def save_content(content: Any, target: str, kind: str) -> None:
    if kind == "directory":
        with new_path(target, directory=True) as temporary:
            for subdirectory in sorted(image_subdirectories(content)):
                os.makedirs(os.path.join(temporary, subdirectory), exist_ok=True)
            content.save_to_directory(temporary)
        return
    if kind == "zip":
        data = content.save_to_zip().getvalue()
    else:
        data = content.save_to_tar().getvalue()
        if kind == "tar.gz":
            data = gzip.compress(data, mtime=0)
    with new_path(target, directory=False) as temporary:
        write_file(temporary, data)


# --- reports ---------------------------------------------------------------------------------


def enum_text(value: Any) -> Optional[str]:
    return None if value is None else getattr(value, "value", str(value))


def model_formula(model: Any) -> Optional[str]:
    """The formula of the model's query view, through a real query."""
    import strawberry

    from zelvora_analytics_utils.predictive_models.augmented_predictive_model import (
        AugmentedPredictiveModelType,
    )

    def resolve_model() -> Any:
        return model

    # A real annotation (this module's are strings), for the schema library to read.
    resolve_model.__annotations__["return"] = AugmentedPredictiveModelType
    query = strawberry.type(type("Query", (), {"model": strawberry.field(resolver=resolve_model)}))
    result = strawberry.Schema(query=query).execute_sync("{ model { formula } }")
    if result.errors:
        raise CommandError(f"cannot build the formula: {one_line(result.errors[0].message)}")
    assert result.data is not None
    return result.data["model"]["formula"]  # type: ignore[no-any-return]


def bin_rows(binning: Any) -> list[dict[str, Any]]:
    rows = []
    for item in binning.feature_binning:
        row = {
            "id": item.id,
            "name": item.name,
            "value": item.value,
            "frequency": item.frequency,
            "target_rate": item.target_rate,
        }
        if hasattr(item, "categories"):
            row["categories"] = item.categories
        else:
            row["lower_bound"] = item.lower_bound
            row["upper_bound"] = item.upper_bound
        rows.append(row)
    return rows


def model_report(model: Any, path: str) -> dict[str, Any]:
    try:
        tree = {
            "number_of_trees": model.get_external_model_number_of_trees(),
            "best_iteration": model.get_external_model_best_iteration(),
            "number_of_attributes": model.get_external_model_number_of_attributes(),
            "best_eval_metric": model.get_external_model_best_eval_metric(),
        }
        category = model.get_external_model_category()
    except Exception as error:  # a malformed external model
        raise CommandError(f"{path}: cannot read the external model: {describe(error)}") from error
    return {
        "bundle": path,
        "name": model.description.predictive_model_name,
        "type": enum_text(model.predictive_model_type),
        "category": enum_text(category),
        "target": model.target,
        "target_class": model.target_class,
        "attributes": list(model.attributes),
        "formula": model_formula(model),
        "trees": tree,
        "binnings": [binning_report(binning) for binning in model.feature_preprocessing.binning],
        "monitoring_binnings": monitoring_binnings(model.monitoring),
    }


def binning_report(binning: Any) -> dict[str, Any]:
    return {
        "attribute": binning.attribute,
        "data_type": enum_text(binning.attribute_data_type),
        "binned_attribute_name": binning.binned_attribute_name,
        "bins": bin_rows(binning),
    }


def monitoring_binnings(tracking: Any) -> list[dict[str, Any]]:
    """The binnings that monitoring looks observed values up in; the model output's last."""
    binnings = [dict(binning_report(b), model_output=False) for b in tracking.binning]
    output = tracking.predictive_model_output_binning
    if output is not None:
        binnings.append(dict(binning_report(output), model_output=True))
    return binnings


def cell(value: Any) -> str:
    if value is None:
        return "-"
    if isinstance(value, float):
        return f"{value:.6g}"
    if isinstance(value, list):
        return ", ".join(str(v) for v in value)
    return str(value)


def table(headers: Sequence[str], rows: Iterable[Sequence[Any]]) -> list[str]:
    cells = [list(headers)] + [[cell(v) for v in row] for row in rows]
    widths = [max(len(row[i]) for row in cells) for i in range(len(headers))]
    return ["  ".join(text.ljust(width) for text, width in zip(row, widths)).rstrip() for row in cells]


def print_report(report: dict[str, Any]) -> None:
    lines = [
        f"bundle:      {report['bundle']}",
        f"name:        {cell(report['name'])}",
        f"type:        {cell(report['type'])}",
        f"category:    {report['category']}",
        f"target:      {cell(report['target'])}"
        + (f" (class {report['target_class']})" if report["target_class"] else ""),
        f"attributes:  {len(report['attributes'])}: {cell(report['attributes'])}",
        f"formula:     {cell(report['formula'])}",
    ]
    tree = report["trees"]
    if any(v is not None for v in tree.values()):
        lines.append(
            "trees:       "
            + ", ".join(f"{k.replace('_', ' ')} {cell(v)}" for k, v in tree.items())
        )
    for binning in report["binnings"] + report["monitoring_binnings"]:
        renamed = binning["binned_attribute_name"]
        if "model_output" not in binning:
            kind = "binning of "
        elif binning["model_output"]:
            kind = "monitoring binning of model output "
        else:
            kind = "monitoring binning of "
        lines.append("")
        lines.append(
            f"{kind}{binning['attribute']} ({cell(binning['data_type'])})"
            + (f" -> {renamed}" if renamed else "")
        )
        headers = ("id", "name", "value", "frequency", "target rate")
        rows = [
            (b["id"], b["name"], b["value"], b["frequency"], b["target_rate"])
            for b in binning["bins"]
        ]
        lines.extend("  " + line for line in table(headers, rows))
    sys.stdout.write("\n".join(lines) + "\n")


# --- commands --------------------------------------------------------------------------------


def command_validate(args: argparse.Namespace) -> int:
    """Check that a bundle loads and its model validates."""
    content = load_content(args.bundle)
    try:
        parse_model(content, args.bundle)
        errors: list[tuple[str, str]] = []
    except InvalidModel as invalid:
        errors = invalid.errors
    if args.json:
        print_json(
            {
                "bundle": args.bundle,
                "valid": not errors,
                "errors": [{"location": loc, "message": msg} for loc, msg in errors],
            }
        )
    elif not errors:
        sys.stdout.write(f"{args.bundle}: valid\n")
    else:
        sys.stdout.write("".join(f"{loc}: {msg}\n" for loc, msg in errors))
    if errors:
        sys.stderr.write(f"{PROG} validate: {args.bundle}: invalid model, {len(errors)} error(s)\n")
        return EXIT_FAILURE
    return EXIT_OK


def command_inspect(args: argparse.Namespace) -> int:
    """Show a model: type, category, attributes, formula, tree figures, binnings."""
    report = model_report(load_model(args.bundle), args.bundle)
    if args.json:
        print_json(report)
    else:
        print_report(report)
    return EXIT_OK


def command_convert(args: argparse.Namespace) -> int:
    """Store a bundle in another container."""
    kind = target_kind(args.target)
    if os.path.lexists(args.target):
        raise CommandError(f"{args.target}: already exists; not overwritten")
    content = load_content(args.source)
    if args.check:
        parse_model(content, args.source)
    try:
        save_content(content, args.target, kind)
    except CommandError:
        raise
    except Exception as error:
        message = f"{args.target}: cannot write the {kind} bundle: {describe(error)}"
        raise CommandError(message) from error
    if args.json:
        print_json({"source": args.source, "target": args.target, "kind": kind})
    else:
        sys.stderr.write(f"{PROG} convert: wrote {kind} bundle {args.target}\n")
    return EXIT_OK


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


def same_file(a: os.stat_result, b: os.stat_result) -> bool:
    return (a.st_dev, a.st_ino) == (b.st_dev, b.st_ino)


def existing_output(
    path: str, protected: Sequence[tuple[str, os.stat_result]], bundle_directory: Optional[str]
) -> Optional[os.stat_result]:
    """What is at an output path (None: nothing), once it is known that it may be written:
    not a file that the command reads, not a symbolic link, not a directory."""
    try:
        info = os.lstat(path)
    except FileNotFoundError:
        return None
    except OSError as error:
        raise CommandError(describe(error)) from error
    try:
        resolved: Optional[os.stat_result] = os.stat(path)
    except OSError:  # a dangling symbolic link
        resolved = None
    if resolved is not None:
        for what, known in protected:
            if same_file(resolved, known):
                raise CommandError(f"{path}: is the {what}; not overwritten")
        if bundle_directory is not None:
            inside = os.path.realpath(bundle_directory)
            if os.path.commonpath([os.path.realpath(path), inside]) == inside:
                raise CommandError(f"{path}: is a file of the bundle; not overwritten")
    if stat.S_ISLNK(info.st_mode):
        raise CommandError(f"{path}: is a symbolic link; not followed (name the file it points to)")
    if stat.S_ISDIR(info.st_mode):
        raise CommandError(f"{path}: is a directory")
    return info


@contextlib.contextmanager
def stream_output(path: str) -> Iterator[TextIO]:
    """A device or FIFO, written directly as standard output is."""
    try:
        handle = os.open(path, os.O_WRONLY | os.O_NOFOLLOW | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError as error:
        raise CommandError(describe(error)) from error
    if stat.S_ISREG(os.fstat(handle).st_mode):  # swapped for a file since it was looked at
        os.close(handle)
        raise CommandError(f"{path}: changed while being opened; not written")
    with os.fdopen(handle, "w", encoding="utf-8", newline="\n") as file:
        yield file


@contextlib.contextmanager
def replace_output(path: str, existing: Optional[os.stat_result]) -> Iterator[TextIO]:
    """A temporary beside `path`, renamed to it only when complete; it takes over the
    permission bits (and, where allowed, the owner) of the file it replaces."""
    parent = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(parent):
        raise CommandError(f"{os.path.dirname(path)}: no such directory")
    prefix = "." + os.path.basename(path) + "."
    temporary: Optional[str] = None
    try:
        with stop_signals_held():
            handle, temporary = tempfile.mkstemp(prefix=prefix, suffix=".part", dir=parent)
        with os.fdopen(handle, "w", encoding="utf-8", newline="\n") as file:
            yield file
            file.flush()
            if existing is None:
                mode = 0o666 & ~current_umask()
            else:
                mode = stat.S_IMODE(existing.st_mode) & 0o777
                for owner in ((existing.st_uid, existing.st_gid), (-1, existing.st_gid)):
                    try:
                        os.fchown(file.fileno(), *owner)
                        break
                    except OSError:  # not ours to give away: the group, if we are in it
                        continue
            os.fchmod(file.fileno(), mode)
            os.fsync(file.fileno())
        with contextlib.suppress(FileNotFoundError):
            if not stat.S_ISREG(os.lstat(path).st_mode):
                raise CommandError(f"{path}: changed while being written; not replaced")
        os.replace(temporary, path)
    except BaseException:
        if temporary is not None:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(temporary)
        raise


@contextlib.contextmanager
def open_output(
    path: Optional[str],
    protected: Sequence[tuple[str, os.stat_result]],
    bundle_directory: Optional[str],
) -> Iterator[TextIO]:
    """Standard output; or at PATH a device or FIFO written directly, or a regular file
    that is replaced only when the output is complete."""
    if path is None:
        yield sys.stdout
        return
    existing = existing_output(path, protected, bundle_directory)
    if existing is not None and not stat.S_ISREG(existing.st_mode):
        with stream_output(path) as file:
            yield file
    else:
        with replace_output(path, existing) as file:
            yield file


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


def json_schema() -> dict[str, Any]:
    """The JSON Schema of the model YAML document."""
    from zelvora_analytics_utils.predictive_models.augmented_predictive_model import (
        AugmentedPredictiveModel,
    )

    # The document is the model's output form: external_model, excluded from it, is
    # left out.
    schema = AugmentedPredictiveModel.model_json_schema(mode="serialization")
    return {
        "$schema": "https://json-schema.org/draft/2020-12/schema",
        "$comment": (
            "The model YAML document (extended_model.yaml of a bundle). Number fields also "
            "take the YAML values .inf, -.inf and .nan; the external model is a file of its "
            "own in the bundle, not a key of the document."
        ),
        **json_safe(schema),
    }


def view_classes() -> list[type]:
    """Every query view the package's modules publish, in module order. Their
    enumerations are given their documentation as description on the way."""
    import zelvora_analytics_utils

    views: list[type] = []
    prefix = zelvora_analytics_utils.__name__ + "."
    for info in pkgutil.walk_packages(zelvora_analytics_utils.__path__, prefix):
        leaf = info.name.rsplit(".", 1)[-1]
        if leaf.startswith("_") or info.name == __name__:
            continue
        try:
            module = __import__(info.name, fromlist=["_"])
        except ImportError as error:
            if "PyInit_" in str(error):  # a shared library beside the modules, not a module
                continue
            raise
        for value in vars(module).values():
            definition: Any = getattr(value, "__strawberry_definition__", None)
            if not isinstance(value, type) or definition is None:
                continue
            if hasattr(definition, "fields"):
                if not definition.is_input and value not in views:
                    views.append(value)
            elif not definition.description and value.__doc__:
                # An enumeration: it comes along with the views that use it.
                definition.description = one_line(value.__doc__)
    return views


def snake_case(name: str) -> str:
    out = []
    for i, char in enumerate(name):
        if char.isupper() and i and not name[i - 1].isupper():
            out.append("_")
        out.append(char.lower())
    return "".join(out)


def describe_from_record(view: type) -> None:
    """Gives a view, and each mirrored field, the documentation of its record where it
    has no description of its own."""
    definition = view.__strawberry_definition__  # type: ignore[attr-defined]
    record = getattr(view, "_pydantic_type", None)
    if record is None:
        return
    if not definition.description and record.__doc__:
        definition.description = one_line(record.__doc__)
    for field in definition.fields:
        source = record.model_fields.get(field.python_name)
        if not field.description and source is not None and source.description:
            field.description = one_line(source.description)


def graphql_schema() -> str:
    """The SDL of a schema whose query type offers every view."""
    import strawberry

    views = view_classes()
    for view in views:
        describe_from_record(view)
    fields = {}
    annotations = {}
    for view in views:
        definition = view.__strawberry_definition__  # type: ignore[attr-defined]
        name = snake_case(view.__name__.removesuffix("Type"))
        annotations[name] = Optional[view]
        fields[name] = strawberry.field(default=None, description=definition.description)
    query = type("Query", (), {"__annotations__": annotations, **fields})
    query.__doc__ = "Every query view of zelvora_analytics_utils."
    schema = strawberry.Schema(query=strawberry.type(query, description=query.__doc__))
    return schema.as_str() + "\n"


def command_schema(args: argparse.Namespace) -> int:
    """Print the GraphQL schema of the views or the JSON Schema of the model document."""
    if args.graphql:
        sys.stdout.write(graphql_schema())
    else:
        sys.stdout.write(json.dumps(json_schema(), indent=2, allow_nan=False) + "\n")
    return EXIT_OK


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
