"""Monitoring with Dask: the bin counts and the population stability index (PSI) of every
monitored column of a model, over a Parquet or CSV dataset, on a local cluster of worker
processes.

Each partition is counted on a worker (the worker loads the bundle from its path once),
the partitions' counts are added, and the PSI is computed once from the totals.

Run:  python examples/monitoring_dask.py BUNDLE DATA [--workers 2]
Needs dask[dataframe,distributed] and pyarrow (for Parquet).
"""

from __future__ import annotations

import dask
import dask.dataframe as dd
from distributed import Client, LocalCluster

import monitoring_common as common


def read(bundle: str, data: str) -> dd.DataFrame:
    """The dataset as a Dask DataFrame: one partition per Parquet file (or row group), or
    per block of CSV."""
    if common.is_csv(data):
        # CSV holds text: categories stay text, numbers are read as floats.
        types = {
            column: "float64" if m.data_type == "NUMERICAL" else "string"
            for column, m in common.monitored_columns(bundle).items()
        }
        return dd.read_csv(data, dtype=types, blocksize="64MB")
    return dd.read_parquet(data)


def monitor_frame(bundle: str, frame: dd.DataFrame, client: Client) -> list[common.Drift]:
    """The counts and PSI of every monitored column of a Dask DataFrame (read from files,
    or already in the workers' memory), computed on `client`'s cluster; largest PSI first."""
    columns = common.columns_to_count(bundle, frame.columns)
    if columns != list(frame.columns):  # leave the other columns unread
        frame = frame[columns]
    # One task per partition; only the bundle's path and the column names travel with it.
    count = dask.delayed(common.count_partition, pure=True)
    parts = [count(bundle, partition, columns) for partition in frame.to_delayed()]
    totals = dask.delayed(common.add_partitions)(parts)
    return common.drifts(bundle, client.compute(totals).result())


def monitor(bundle: str, data: str, client: Client) -> list[common.Drift]:
    """The counts and PSI of every monitored column of the dataset at `data`."""
    return monitor_frame(bundle, read(bundle, data), client)


def monitor_on_local_cluster(bundle: str, data: str, workers: int = 2) -> list[common.Drift]:
    # One thread per worker: bin_counts runs at native speed, so processes bring the
    # parallelism. The dashboard on a free port: 8787 may be another cluster's.
    with LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, dashboard_address="127.0.0.1:0"
    ) as cluster, Client(cluster) as client:
        return monitor(bundle, data, client)


if __name__ == "__main__":
    raise SystemExit(common.main(__doc__.split("\n")[0], monitor_on_local_cluster))
