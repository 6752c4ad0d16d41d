"""PredictiveModelTracking.bin_counts against FeatureBinning.bin_array on the same column:
10^7 float64 values, 10 bins + null + catch-all, 1% NaN; min and median of runs.

Target: bin_counts at most 1.5x the time of bin_array (it bins as bin_array does, then
counts without a Python object per value).

Run: python benchmarks/bench_monitoring.py [values]
"""

import math
import statistics
import sys
import time

import numpy as np

from zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_binning import FeatureBinning
from zelvora_analytics_utils.predictive_models.model_tracking.model_tracking import PredictiveModelTracking

EDGES = [-math.inf, *range(1, 10), math.inf]


def timed(f, runs=7):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        f()
        times.append(time.perf_counter() - start)
    return min(times), statistics.median(times)


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 10**7
    bins = [
        {"type": "NUMERICAL", "id": k + 2, "lower_bound": lo, "upper_bound": hi, "value": k / 10, "frequency": 0.1}
        for k, (lo, hi) in enumerate(zip(EDGES, EDGES[1:]))
    ]
    bins += [{"type": "NUMERICAL", "id": 1, "name": "1_null", "value": 0.0}]
    bins += [{"type": "NUMERICAL", "id": 0, "name": "0_default", "value": 0.0}]
    binning = FeatureBinning.model_validate(
        {"attribute": "x", "attribute_data_type": "NUMERICAL", "feature_binning": bins}
    )
    tracking = PredictiveModelTracking(binning=[binning])
    values = np.random.default_rng(0).uniform(-1, 11, n)
    values[::100] = np.nan

    print(f"{n} float64 values, {len(bins)} bins")
    results = {}
    for name, f in [
        ("FeatureBinning.bin_array", lambda: binning.bin_array(values)),
        ("PredictiveModelTracking.bin_counts", lambda: tracking.bin_counts("x", "NUMERICAL", values)),
    ]:
        low, mid = timed(f)
        results[name] = low
        print(f"  {name:<36} min {low * 1e3:8.1f} ms   median {mid * 1e3:8.1f} ms")
    counts = tracking.bin_counts("x", "NUMERICAL", values)
    low, mid = timed(lambda: tracking.stability_index("x", "NUMERICAL", counts))
    print(f"  {'stability_index of the counts':<36} min {low * 1e6:8.1f} us   median {mid * 1e6:8.1f} us")
    ratio = results["PredictiveModelTracking.bin_counts"] / results["FeatureBinning.bin_array"]
    print(f"  bin_counts / bin_array: {ratio:.2f} (target <= 1.5) {'ok' if ratio <= 1.5 else 'MISSED'}")


if __name__ == "__main__":
    main()
