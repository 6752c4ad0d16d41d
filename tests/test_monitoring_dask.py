"""examples/monitoring_dask.py on a real two-worker Dask cluster: its counts and PSI against
bin_counts and stability_index in this process and against numpy."""

import distributed
import pytest

from monitoring_reference import alarming_lines, check_drifts, dataset, run_example, write_data  # noqa: F401
import monitoring_common  # importable once monitoring_reference put examples/ on the path
import monitoring_dask


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address="127.0.0.1:0"
    ) as cluster, distributed.Client(cluster) as client:
        yield client


@pytest.mark.parametrize("kind", ["parquet", "csv"])
def test_counts_and_psi_match_in_process_and_numpy(client, dataset, kind):
    bundle, frame, paths = dataset
    check_drifts(monitoring_dask.monitor(bundle, paths[kind], client), frame)
    # Each worker loaded the bundle at most once, for all the partitions it counted.
    loads = client.run(lambda: monitoring_common.monitored_columns.cache_info())
    assert len(loads) == 2 and all(info.misses <= 1 for info in loads.values())
    assert sum(info.hits + info.misses for info in loads.values()) >= 4


def test_a_monitored_input_missing_from_the_data_is_named(client, dataset, tmp_path):
    bundle, frame, _ = dataset
    data = write_data(frame.drop(columns=["city", "score"]), tmp_path / "data", "parquet", files=1)
    with pytest.raises(monitoring_common.CommandError, match="the data has no column 'city'"):
        monitoring_dask.monitor(bundle, data, client)


def test_command_line_prints_figures_and_nothing_alarming(dataset):
    bundle, _, paths = dataset
    result, columns = run_example("monitoring_dask.py", bundle, paths["parquet"], timeout=120)
    assert columns == ["score", "age", "city", "income"]  # largest PSI first
    assert "income (NUMERICAL): no PSI: no bin has a frequency, 20000 values" in result.stdout
    assert not alarming_lines(result.stderr), result.stderr
