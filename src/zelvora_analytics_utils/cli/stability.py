"""Population stability of a data file against a model's monitoring binnings, for the report.

The file is read column by column for the monitored attributes only and counted in batches
with `PredictiveModelTracking.bin_counts` (native, without the GIL), in a thread pool, so
that reading the next batch overlaps counting this one. Parquet and CSV go through pyarrow
when it is installed; CSV otherwise through the standard library's reader, which also gives
the failing line of a file pyarrow refuses.
"""

from __future__ import annotations

import concurrent.futures
import csv
import importlib
import math
import os
from array import array
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any, Optional

from zelvora_analytics_utils.cli.bin import InputLines
from zelvora_analytics_utils.cli.common import CommandError, describe, one_line
from zelvora_analytics_utils.cli.report import enum_text

__all__ = [
    "Monitored",
    "Stability",
    "band_of",
    "measure_stability",
    "monitored_attributes",
]

# Rows counted per batch (and per task of the thread pool): Parquet decodes fastest in
# batches of this size; the standard library's CSV reader holds a Python object per field.
PARQUET_BATCH_ROWS = 1 << 18
CSV_BATCH_ROWS = 1 << 16
CSV_BLOCK_BYTES = 4 << 20  # pyarrow's CSV blocks
# At most this many batches are read ahead of the counting.
BATCHES_AHEAD = 2

# The usual reading of a PSI: (band, its range in words).
BANDS = {
    "low": "below 0.1",
    "moderate": "0.1 to 0.25",
    "high": "above 0.25",
}


def band_of(psi: float) -> str:
    return "low" if psi < 0.1 else ("moderate" if psi <= 0.25 else "high")


@dataclass
class Monitored:
    """A monitored attribute: the binning that the monitoring lookups choose for it (its
    last) and the data type its values are read as."""

    attribute: str
    numerical: bool
    binning: Any


@dataclass
class Stability:
    monitored: Monitored
    counts: dict[Optional[str], int] = field(default_factory=dict)
    psi: Optional[float] = None
    problem: Optional[str] = None  # why there is no PSI


def monitored_attributes(tracking: Any) -> list[Monitored]:
    chosen: dict[str, Any] = {}
    for binning in tracking.binning:
        chosen[binning.attribute] = binning  # the lookups take the last binning of a name
    return [
        Monitored(name, enum_text(binning.attribute_data_type) == "NUMERICAL", binning)
        for name, binning in chosen.items()
    ]


def dtype(item: Monitored) -> str:
    return "NUMERICAL" if item.numerical else "CATEGORICAL"


# --- reading -------------------------------------------------------------------------------

Batch = dict[str, Any]  # attribute -> a column of one batch of rows


def is_parquet(path: str) -> bool:
    """Whether the file is Parquet (by its first bytes, whatever its name); CSV otherwise."""
    try:
        if not os.path.isfile(path):  # a FIFO or a device could block or never end
            os.stat(path)
            raise CommandError(f"{path}: not a regular file")
        with open(path, "rb") as file:
            return file.read(4) == b"PAR1"
    except OSError as error:
        raise CommandError(describe(error)) from error


def pyarrow_modules() -> Optional[tuple[Any, Any, Any]]:
    """pyarrow and its csv and parquet modules; None where pyarrow is not installed."""
    try:
        load = importlib.import_module
        return load("pyarrow"), load("pyarrow.csv"), load("pyarrow.parquet")
    except ImportError:
        return None


def parquet_batches(path: str, wanted: list[Monitored]) -> tuple[list[str], Iterator[Batch]]:
    modules = pyarrow_modules()
    if modules is None:
        raise CommandError(
            f"{path}: reading Parquet needs the pyarrow package, which is not installed"
        )
    pa, _, pq = modules
    try:
        file = pq.ParquetFile(path)
        names = file.schema_arrow.names
    except Exception as error:
        raise CommandError(f"{path}: cannot read the Parquet file: {describe(error)}") from error
    present = [m for m in wanted if m.attribute in names]
    categorical = [m.attribute for m in present if not m.numerical]
    if categorical:  # categories read as a dictionary are looked up once each
        file = pq.ParquetFile(path, read_dictionary=categorical)
    types = {m.attribute: m.numerical for m in present}

    def batches() -> Iterator[Batch]:
        try:
            for batch in file.iter_batches(batch_size=PARQUET_BATCH_ROWS, columns=list(types)):
                yield {
                    name: arrow_column(pa, batch.column(name), numerical, path, name)
                    for name, numerical in types.items()
                }
        except CommandError:
            raise
        except Exception as error:
            raise CommandError(
                f"{path}: cannot read the Parquet file: {describe(error)}"
            ) from error

    return list(names), batches()


def arrow_column(pa: Any, column: Any, numerical: bool, path: str, name: str) -> Any:
    """A column as the attribute's lookups read it: numbers for a numerical attribute,
    text for a categorical one."""
    kind = column.type
    if pa.types.is_dictionary(kind):
        kind = kind.value_type
    if numerical and not (
        pa.types.is_floating(kind) or pa.types.is_integer(kind) or pa.types.is_null(kind)
    ):
        try:
            return column.cast(pa.float64())
        except Exception as error:
            raise CommandError(
                f"{path}: column {name!r}: cannot read as numbers: {describe(error)}"
            ) from error
    if not numerical and not (
        pa.types.is_string(kind) or pa.types.is_large_string(kind) or pa.types.is_null(kind)
    ):
        return column.cast(pa.string())
    return column


def csv_header(path: str) -> list[str]:
    with open(path, "rb") as file:
        lines = InputLines(file, path, csv_file=True)
        try:
            return next(csv.reader(lines))
        except StopIteration:
            raise CommandError(f"{path}: empty; expected a header row naming the columns") from None
        except csv.Error as error:
            raise CommandError(f"{path}:{lines.number}: cannot read: {describe(error)}") from error


def arrow_csv_batches(path: str, present: list[Monitored]) -> Iterator[Batch]:
    modules = pyarrow_modules()
    assert modules is not None
    pa, pacsv, _ = modules
    reader = pacsv.open_csv(
        path,
        read_options=pacsv.ReadOptions(block_size=CSV_BLOCK_BYTES),
        parse_options=pacsv.ParseOptions(newlines_in_values=True, ignore_empty_lines=False),
        convert_options=pacsv.ConvertOptions(
            include_columns=[m.attribute for m in present],
            # Categories as a dictionary: bin_counts looks each up once a batch.
            column_types={
                m.attribute: pa.float64() if m.numerical else pa.dictionary(pa.int32(), pa.string())
                for m in present
            },
            null_values=[""],
            strings_can_be_null=True,
        ),
    )
    for batch in reader:
        yield {m.attribute: batch.column(m.attribute) for m in present}


def number_of(text: str) -> float:
    if "_" in text:  # float() takes 1_000; a CSV reader should not
        raise ValueError(text)
    return float(text)


def stdlib_csv_batches(path: str, present: list[Monitored]) -> Iterator[Batch]:
    """Batches read by the standard library's CSV reader: numbers as float64 arrays (NaN for
    an empty field), categories as lists (None for an empty field)."""
    import numpy as np

    with open(path, "rb") as file:
        lines = InputLines(file, path, csv_file=True)
        reader = csv.reader(lines)
        try:
            header = next(reader)
            where = [(m, header.index(m.attribute)) for m in present]
            need = max(index for _, index in where) + 1
            while True:
                numbers = {m.attribute: array("d") for m, _ in where if m.numerical}
                texts: dict[str, list[Optional[str]]] = {
                    m.attribute: [] for m, _ in where if not m.numerical
                }
                count = 0
                for row in reader:
                    lines.record = 0
                    if not row and len(header) == 1:
                        row = [""]
                    if len(row) < need:
                        raise CommandError(
                            f"{path}:{reader.line_num}: {len(row)} field(s); expected {len(header)}"
                        )
                    for item, index in where:
                        value = row[index]
                        if not item.numerical:
                            texts[item.attribute].append(value if value != "" else None)
                            continue
                        try:
                            numbers[item.attribute].append(
                                number_of(value) if value != "" else math.nan
                            )
                        except ValueError:
                            shown = one_line(value)
                            shown = shown if len(shown) <= 40 else shown[:39] + "…"
                            raise CommandError(
                                f"{path}:{reader.line_num}: column {item.attribute!r}: {shown!r} is not a number"
                            ) from None
                    count += 1
                    if count == CSV_BATCH_ROWS:
                        break
                if count:
                    yield {
                        name: np.frombuffer(values, dtype=np.float64)
                        for name, values in numbers.items()
                    } | texts
                if count < CSV_BATCH_ROWS:
                    return
        except csv.Error as error:
            raise CommandError(f"{path}:{lines.number}: cannot read: {describe(error)}") from error


# --- counting ------------------------------------------------------------------------------


def count_all(
    tracking: Any, present: list[Monitored], batches: Iterator[Batch], workers: Optional[int]
) -> dict[str, dict[Optional[str], int]]:
    """The bin counts of every present attribute over all batches; batch columns are
    counted in a thread pool (bin_counts releases the GIL) while the next batch is read."""
    totals: dict[str, list[dict[Optional[str], int]]] = {m.attribute: [] for m in present}

    def count(item: Monitored, column: Any) -> tuple[str, dict[Optional[str], int]]:
        return item.attribute, tracking.bin_counts(item.attribute, dtype(item), column)

    workers = workers or min(len(present), os.cpu_count() or 1) or 1
    with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
        pending: list[list[concurrent.futures.Future[tuple[str, dict[Optional[str], int]]]]] = []

        def settle(
            futures: Sequence[concurrent.futures.Future[tuple[str, dict[Optional[str], int]]]],
        ) -> None:
            for future in futures:
                name, counts = future.result()
                totals[name].append(counts)

        try:
            for batch in batches:
                pending.append(
                    [pool.submit(count, item, batch[item.attribute]) for item in present]
                )
                while len(pending) > BATCHES_AHEAD:
                    settle(pending.pop(0))
            while pending:
                settle(pending.pop(0))
        finally:
            for futures in pending:
                for future in futures:
                    future.cancel()
    add: Callable[..., dict[Optional[str], int]] = type(tracking).add_bin_counts
    return {name: add(*parts) if parts else {} for name, parts in totals.items()}


def measure_stability(
    tracking: Any, path: str, workers: Optional[int] = None
) -> tuple[list[Stability], list[Monitored]]:
    """The stability of every monitored attribute found in the file, largest PSI first, and
    the monitored attributes the file does not hold."""
    monitored = monitored_attributes(tracking)
    parquet = is_parquet(path)
    if parquet:
        names, batches = parquet_batches(path, monitored)
        present = [m for m in monitored if m.attribute in names]
    else:
        names = csv_header(path)
        present = [m for m in monitored if m.attribute in names]
    missing = [m for m in monitored if m.attribute not in names]
    if not present:
        return [], missing
    if parquet:
        counts = count_all(tracking, present, batches, workers)
    else:
        counts = count_csv(tracking, path, present, names, workers)
    results = []
    for item in present:
        result = Stability(item, counts[item.attribute])
        try:
            result.psi = tracking.stability_index(item.attribute, dtype(item), result.counts)
        except ValueError as error:
            result.problem = describe(error)
        results.append(result)
    results.sort(key=lambda r: -r.psi if r.psi is not None else math.inf)
    return results, missing


def count_csv(
    tracking: Any, path: str, present: list[Monitored], header: list[str], workers: Optional[int]
) -> dict[str, dict[Optional[str], int]]:
    # pyarrow reads fast but words its errors its own way and parses a little differently:
    # what it refuses is read again by the standard library, whose reading is the rule.
    if pyarrow_modules() is not None and len(set(header)) == len(header):
        try:
            return count_all(tracking, present, arrow_csv_batches(path, present), workers)
        except Exception as error:
            if type(error).__module__.split(".")[0] != "pyarrow":
                raise
    return count_all(tracking, present, stdlib_csv_batches(path, present), workers)
