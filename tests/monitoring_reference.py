"""Monitoring figures computed independently with numpy (searchsorted over the edges,
category membership), and a monitored model with production data for the distributed
examples' tests."""

import io
import math
import pathlib
import re
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from zelvora_analytics_utils.predictive_models.content import AugmentedPredictiveModelContent
from zelvora_analytics_utils.predictive_models.model_tracking.model_tracking import PredictiveModelTracking
from zelvora_analytics_utils.utils.dump import valid_dumps_yaml

from builders import INF, binning_data, cat, num

EXAMPLES = pathlib.Path(__file__).parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))  # the examples import their shared module by name


def numpy_stability_index(frequencies, counts):
    shares = [np.asarray(side, dtype=float) for side in (frequencies, counts)]
    expected, actual = (np.where(s == 0, 1e-4, s / s.sum() if s.sum() else s) for s in shares)
    return float(np.sum((actual - expected) * np.log(actual / expected)))


def numpy_bin_counts(binning, values):
    """{bin name: count, None: count} of a binning given as plain data whose numerical bins
    are (lower, upper] intervals in increasing order, a bin named "1_null" taking missing
    values; nothing else takes a value."""
    bins = binning["feature_binning"]
    null = [b["name"] for b in bins if b.get("name") == "1_null"]
    ordinary = [b for b in bins if b.get("name") != "1_null"]
    if binning["attribute_data_type"] == "NUMERICAL":
        x = np.asarray(values, dtype=float)
        missing = np.isnan(x)
        uppers = np.array([b["upper_bound"] for b in ordinary])
        index = np.searchsorted(uppers, x, side="left")
        index[(x <= ordinary[0]["lower_bound"]) | missing] = len(ordinary)
    else:
        x = pd.Series(values, dtype=object)
        missing = x.isna().to_numpy()
        index = np.full(len(x), len(ordinary))
        for k, b in reversed(list(enumerate(ordinary))):  # the first bin holding it wins
            index[x.isin(b["categories"]).to_numpy()] = k
    found = np.bincount(index[~missing], minlength=len(ordinary) + 1)
    counts = {b["name"]: int(found[k]) for k, b in enumerate(ordinary)}
    counts.update({name: int(missing.sum()) for name in null})
    counts[None] = int(found[len(ordinary)]) + (0 if null else int(missing.sum()))
    return counts


def named(bins, *names):
    return [dict(b, name=n) for b, n in zip(bins, names)]


def with_frequencies(bins, *frequencies):
    return [dict(b, frequency=f) for b, f in zip(bins, frequencies)]


AGE = binning_data(
    with_frequencies(
        named([num(2, -INF, 30, 0.1), num(3, 30, 50, 0.2), num(4, 50, INF, 0.3), num(1)],
              "young", "middle", "old", "1_null"),
        0.3, 0.4, 0.25, 0.05,
    ),
    "age",
)
# Values at most 0 or above 10^6 fall into no bin; no frequencies: no PSI.
INCOME = binning_data(named([num(2, 0, 30e3, 0.1), num(3, 30e3, 1e6, 0.2)], "low", "high"), "income")
CITY = binning_data(
    with_frequencies(
        named([cat(2, ["Brno", "Praha"], 0.1), cat(3, ["Ostrava"], 0.2), cat(1)], "big", "east", "1_null"),
        0.6, 0.3, 0.1,
    ),
    "city",
    "CATEGORICAL",
)
SCORE = binning_data(
    with_frequencies(named([num(2, -INF, 0.5, 0.0), num(3, 0.5, INF, 1.0)], "low", "high"), 0.5, 0.5),
    "score",
)
# The last binning of an attribute is the one monitoring uses: the first age binning is not.
BINNINGS = {"age": AGE, "income": INCOME, "city": CITY, "score": SCORE}
MODEL = {
    "attributes": ["age", "income", "city"],
    "predictive_model_type": "LOGISTIC_REGRESSION",
    "target": "default",
    "description": {"predictive_model_name": "monitored scorecard"},
    "monitoring": {
        "binning": [binning_data([num(2, -INF, INF)], "age"), AGE, INCOME, CITY],
        "predictive_model_output_binning": SCORE,
    },
}


def save_bundle(path):
    """The monitored model as a zip bundle at `path`."""
    content = AugmentedPredictiveModelContent(io.StringIO(valid_dumps_yaml(MODEL)))
    path.write_bytes(content.save_to_zip().getvalue())
    return path


def production_data(rows, seed=0):
    """Production values that drifted from the development frequencies, with missing
    values, values in no bin and a column that nothing monitors."""
    rng = np.random.default_rng(seed)
    age = rng.normal(42, 14, rows).round()
    age[rng.random(rows) < 0.03] = math.nan
    income = rng.lognormal(10.3, 0.8, rows)
    income[rng.random(rows) < 0.02] = -1.0
    city = rng.choice(np.array(["Brno", "Praha", "Ostrava", "Plzen", None], dtype=object), rows,
                      p=[0.3, 0.2, 0.3, 0.1, 0.1])  # fmt: skip
    return pd.DataFrame(
        {"age": age, "income": income, "city": city, "score": rng.beta(2, 3, rows), "id": np.arange(rows)}
    )


def write_data(frame, directory, kind, files=4):
    """The frame split over `files` Parquet or CSV files in `directory`; the path to read."""
    directory.mkdir()
    for k, rows in enumerate(np.array_split(np.arange(len(frame)), files)):
        part = frame.iloc[rows]
        if kind == "parquet":
            part.to_parquet(directory / f"part-{k}.parquet", index=False)
        else:
            part.to_csv(directory / f"part-{k}.csv", index=False)
    return str(directory) if kind == "parquet" else str(directory / "*.csv")


@pytest.fixture(scope="module")
def dataset(tmp_path_factory):
    """(bundle path, production frame, {"parquet": path, "csv": glob}); test files import it."""
    root = tmp_path_factory.mktemp("monitoring")
    frame = production_data(20_000)
    paths = {kind: write_data(frame, root / kind, kind) for kind in ("parquet", "csv")}
    return str(save_bundle(root / "model.zip")), frame, paths


def run_example(script, bundle, data, timeout):
    """Runs an example's command line with 2 workers; returns the finished process and the
    columns in the order printed."""
    command = [sys.executable, str(EXAMPLES / script), bundle, data, "--workers", "2"]
    result = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    assert result.returncode == 0, result.stderr
    return result, [line.split(" (")[0] for line in result.stdout.splitlines() if not line.startswith(" ")]


# Python's warnings and tracebacks, nanobind's leak report, log lines of errors.
ALARMING = re.compile(r"traceback|warn|error|leak|exception|critical|fatal", re.IGNORECASE)


def alarming_lines(stderr, allowed=()):
    """The lines of `stderr` that look alarming, but for those holding an `allowed` text."""
    return [line for line in stderr.splitlines() if ALARMING.search(line) and not any(a in line for a in allowed)]


def check_drifts(drifts, frame):
    """Checks an example's figures against bin_counts and stability_index in this process
    and against numpy: every monitored column, largest PSI first, no PSI last."""
    assert [d.attribute for d in drifts[-1:]] == ["income"] and drifts[-1].psi is None
    psis = [d.psi for d in drifts[:-1]]
    assert psis == sorted(psis, reverse=True)
    assert sorted(d.attribute for d in drifts) == sorted(BINNINGS)
    for drift in drifts:
        binning = BINNINGS[drift.attribute]
        values = frame[drift.attribute]
        tracking = PredictiveModelTracking.model_validate({"binning": [binning]})
        counts = tracking.bin_counts(drift.attribute, drift.data_type, values)
        assert drift.counts == counts == numpy_bin_counts(binning, values), drift.attribute
        assert list(drift.counts) == list(counts)
        if drift.psi is not None:
            with_frequency = [b for b in binning["feature_binning"] if b.get("frequency") is not None]
            expected = numpy_stability_index(
                [b["frequency"] for b in with_frequency], [counts[b["name"]] for b in with_frequency]
            )
            assert drift.psi == tracking.stability_index(drift.attribute, drift.data_type, counts)
            assert drift.psi == pytest.approx(expected, rel=1e-12)
