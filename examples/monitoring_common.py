"""What the distributed monitoring examples (monitoring_dask.py, monitoring_spark.py) share.

A monitoring job over a large dataset has three steps:
  1. each partition is counted into the monitoring bins of every monitored column
     (PredictiveModelTracking.bin_counts), on the workers;
  2. the counts of all partitions are added (PredictiveModelTracking.add_bin_counts);
  3. the population stability index (PSI) of each column is computed once from the totals
     (PredictiveModelTracking.stability_index).
Workers receive the bundle's PATH and load the model themselves, once per process: records
are not shipped with every task.
"""

from __future__ import annotations

import argparse
import functools
import glob
import sys
from collections.abc import Callable, Iterable, Mapping
from typing import Any, NamedTuple, Optional

from zelvora_analytics_utils.cli.bundles import load_model
from zelvora_analytics_utils.cli.common import CommandError, describe
from zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_binning import FeatureBinning
from zelvora_analytics_utils.predictive_models.model_tracking.model_tracking import PredictiveModelTracking

Counts = dict[Optional[str], int]  # bin name (None: no bin) -> number of values


class Monitored(NamedTuple):
    """A monitored column: the tracking record to count it with, and its binning."""

    tracking: PredictiveModelTracking
    binning: FeatureBinning
    model_output: bool  # the model's output (its score), rather than one of its inputs

    @property
    def data_type(self) -> str:
        return self.binning.attribute_data_type.value


class Drift(NamedTuple):
    """The figures of one monitored column."""

    attribute: str
    data_type: str
    counts: Counts
    psi: Optional[float]  # None when no bin of the column has a development frequency


@functools.cache  # one load per process, however many partitions it counts
def monitored_columns(bundle: str) -> dict[str, Monitored]:
    """The monitored columns of the model stored at `bundle` (a directory, zip or tar)."""
    tracking = load_model(bundle).monitoring
    columns = {}
    for binning in tracking.binning:
        # Monitoring uses the last binning of an attribute: so does this dict.
        columns[binning.attribute] = Monitored(tracking, binning, model_output=False)
    output = tracking.predictive_model_output_binning
    if output is not None and output.attribute not in columns:
        # bin_counts looks in `binning` only: the output's binning gets a record of its own.
        columns[output.attribute] = Monitored(
            PredictiveModelTracking(binning=[output]), output, model_output=True
        )
    return columns


def columns_to_count(bundle: str, available: Iterable[str]) -> list[str]:
    """The monitored columns that the data holds; every monitored input must be there, the
    model's output is counted when the data has it (scored data)."""
    available = set(available)
    columns = monitored_columns(bundle)
    missing = [c for c, m in columns.items() if not m.model_output and c not in available]
    if missing:
        raise CommandError(f"the data has no column {', '.join(map(repr, missing))}")
    return [c for c in columns if c in available]


def count_partition(bundle: str, frame: Any, columns: list[str]) -> dict[str, Counts]:
    """The bin counts of each column of one partition: a pandas DataFrame or an Arrow
    RecordBatch (bin_counts reads either's columns as they are, without copying)."""
    monitored = monitored_columns(bundle)
    return {
        c: monitored[c].tracking.bin_counts(c, monitored[c].data_type, frame[c]) for c in columns
    }


def add_partitions(parts: Iterable[Mapping[str, Counts]]) -> dict[str, Counts]:
    """The counts of all partitions, added column by column."""
    parts = list(parts)
    columns = dict.fromkeys(c for part in parts for c in part)
    return {
        c: PredictiveModelTracking.add_bin_counts(*(p[c] for p in parts if c in p)) for c in columns
    }


def drifts(bundle: str, totals: Mapping[str, Counts]) -> list[Drift]:
    """The PSI of each column's total counts, largest first; columns whose bins carry no
    development frequency come last, without a PSI."""
    monitored = monitored_columns(bundle)
    result = []
    for column, counts in totals.items():
        m = monitored[column]
        with_frequency = any(b.frequency is not None for b in m.binning.feature_binning)
        psi = m.tracking.stability_index(column, m.data_type, counts) if with_frequency else None
        result.append(Drift(column, m.data_type, counts, psi))
    return sorted(result, key=lambda d: (d.psi is None, -(d.psi or 0.0)))


def band(psi: float) -> str:
    """The usual reading of a PSI."""
    return "stable" if psi < 0.1 else "moderate shift" if psi <= 0.25 else "significant shift"


def print_drifts(result: list[Drift]) -> None:
    for drift in result:
        total = sum(drift.counts.values())
        if drift.psi is None:
            psi = "no PSI: no bin has a frequency"
        else:
            psi = f"PSI {drift.psi:.4f} ({band(drift.psi)})"
        print(f"{drift.attribute} ({drift.data_type}): {psi}, {total} values")
        width = max(len(str(name)) for name in drift.counts)
        for name, count in drift.counts.items():
            share = count / total if total else 0.0
            label = "(no bin)" if name is None else name
            print(f"  {label:<{max(width, 8)}}  {count:>12}  {share:7.2%}")


def main(description: str, monitor: Callable[[str, str, int], list[Drift]]) -> int:
    """The examples' command line: `monitor(bundle, data, workers)` does the counting."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("bundle", help="model bundle: a directory, a zip or a tar archive")
    parser.add_argument("data", help="Parquet file or directory, or CSV file(s) (*.csv; a glob)")
    parser.add_argument("--workers", type=int, default=2, help="worker processes (default 2)")
    args = parser.parse_args()
    if args.workers < 1:
        parser.error("--workers must be at least 1")
    try:
        if not glob.glob(args.data):
            raise CommandError(f"{args.data}: no such file or directory")
        print_drifts(monitor(args.bundle, args.data, args.workers))
    except (CommandError, OSError) as error:
        print(f"{parser.prog}: {describe(error)}", file=sys.stderr)
        return 1
    return 0


def is_csv(data: str) -> bool:
    return data.lower().endswith((".csv", ".csv.gz"))
