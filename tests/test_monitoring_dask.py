"""examples/monitoring_dask.py on a real two-worker Dask cluster: its counts and PSI against
bin_counts and stability_index in this process and against numpy."""

import pathlib
import subprocess
import sys

import pytest

from monitoring_reference import alarming_lines, check_drifts, make_dataset, write_data

EXAMPLES = pathlib.Path(__file__).parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))  # the examples import their shared module by name

distributed = pytest.importorskip("distributed")
monitoring_dask = pytest.importorskip("monitoring_dask")
import monitoring_common  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address="127.0.0.1:0"
    ) as cluster, distributed.Client(cluster) as client:
        yield client


@pytest.fixture(scope="module")
def dataset(tmp_path_factory):
    return make_dataset(tmp_path_factory.mktemp("monitoring"))


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
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / "monitoring_dask.py"), bundle, paths["parquet"], "--workers", "2"],
        capture_output=True, text=True, timeout=120,
    )  # fmt: skip
    assert result.returncode == 0, result.stderr
    headers = [line.split(" (")[0] for line in result.stdout.splitlines() if not line.startswith(" ")]
    assert headers == ["score", "age", "city", "income"]  # largest PSI first
    assert "income (NUMERICAL): no PSI: no bin has a frequency, 20000 values" in result.stdout
    assert not alarming_lines(result.stderr), result.stderr
