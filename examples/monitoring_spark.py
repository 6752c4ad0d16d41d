"""Monitoring with PySpark: the bin counts and the population stability index (PSI) of
every monitored column of a model, over a Parquet or CSV dataset, on Spark in local mode.

Each partition is counted by a Python worker from Arrow record batches (mapInArrow; the
worker loads the bundle from its path once), the partitions' counts are added on the
driver, and the PSI is computed once from the totals.

Run:  python examples/monitoring_spark.py BUNDLE DATA [--workers 2]
Needs pyspark (4.0 or later) and Java 17 or later.
"""

from __future__ import annotations

import os
import sys
import warnings
from collections.abc import Iterator

import pyarrow as pa
from pyspark.sql import DataFrame, SparkSession
from pyspark.sql import functions as F

import monitoring_common as common

# The pandas-based parts of pyspark warn about pandas 3; this job goes through Arrow only.
warnings.filterwarnings("ignore", "PySpark does not yet fully support pandas", FutureWarning)

# What each partition sends back: one row per column and bin (bin null: no bin).
COUNTS_SCHEMA = "attribute string, bin string, count long"
ARROW_SCHEMA = pa.schema([("attribute", pa.string()), ("bin", pa.string()), ("count", pa.int64())])


def read(spark: SparkSession, bundle: str, data: str) -> DataFrame:
    """The monitored columns of the dataset."""
    if common.is_csv(data):
        # CSV holds text: categories stay text, numbers are cast to doubles (empty: null).
        frame = spark.read.csv(data, header=True)
        monitored = common.monitored_columns(bundle).items()
        numerical = {c for c, m in monitored if m.data_type == "NUMERICAL"}
        frame = frame.select(
            *(F.col(c).cast("double") if c in numerical else F.col(c) for c in frame.columns)
        )
    else:
        frame = spark.read.parquet(data)
    return frame.select(*common.columns_to_count(bundle, frame.columns))


def monitor(bundle: str, data: str, spark: SparkSession) -> list[common.Drift]:
    """The counts and PSI of every monitored column of `data`, computed on `spark`;
    largest PSI first."""
    frame = read(spark, bundle, data)
    columns = frame.columns
    # The Python workers import the shared helpers from the file the driver uses.
    spark.sparkContext.addPyFile(common.__file__)

    def count(batches: Iterator[pa.RecordBatch]) -> Iterator[pa.RecordBatch]:
        # Runs on a worker, once per partition; only `bundle` and `columns` are shipped.
        totals = common.add_partitions(common.count_partition(bundle, b, columns) for b in batches)
        rows = [
            {"attribute": c, "bin": name, "count": n}
            for c, counts in totals.items()
            for name, n in counts.items()
        ]
        yield pa.RecordBatch.from_pylist(rows, schema=ARROW_SCHEMA)

    rows = frame.mapInArrow(count, COUNTS_SCHEMA).collect()
    # Zero counts first: every bin is listed, in the binning's order, even for empty data.
    empty = common.count_partition(bundle, dict.fromkeys(columns, []), columns)
    parts = [empty] + [{row.attribute: {row.bin: row["count"]}} for row in rows]
    return common.drifts(bundle, common.add_partitions(parts))


def local_session(workers: int = 2) -> SparkSession:
    """Spark in local mode with `workers` cores; Python workers run this interpreter."""
    os.environ["PYSPARK_PYTHON"] = sys.executable
    os.environ.setdefault("SPARK_LOCAL_IP", "127.0.0.1")  # local mode: loopback only
    spark = (
        SparkSession.builder.master(f"local[{workers}]")
        .appName("zelvora monitoring")
        .config("spark.ui.enabled", "false")
        .config("spark.ui.showConsoleProgress", "false")
        .getOrCreate()
    )
    spark.sparkContext.setLogLevel("ERROR")
    return spark


def monitor_on_local_spark(bundle: str, data: str, workers: int = 2) -> list[common.Drift]:
    spark = local_session(workers)
    try:
        return monitor(bundle, data, spark)
    finally:
        spark.stop()


if __name__ == "__main__":
    raise SystemExit(common.main(__doc__.split("\n")[0], monitor_on_local_spark))
