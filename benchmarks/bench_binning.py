"""Per-call cost of the binning lookups against a plain Python lookup over the same record.

Run: python benchmarks/bench_binning.py
"""

import math
import timeit

from zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_binning import (
    AttributeBinCategorical,
    AttributeBinNumerical,
    FeatureBinning,
)

RESERVED = {"0_default", "0_system_default", "0_defined_default", "1_null"}
DEFAULTS = ("0_default", "0_system_default", "0_defined_default")


def python_numeric(binning, value):
    x = math.nan if value is None else float(value)
    bins = binning.feature_binning
    if math.isnan(x):
        for b in bins:
            if b.name == "1_null":
                return b.value
    else:
        for b in bins:
            if isinstance(b, AttributeBinNumerical) and b.name not in RESERVED and b.lower_bound < x <= b.upper_bound:
                return b.value
    for b in bins:
        if b.name in DEFAULTS:
            return b.value
    return None


def python_categoric(binning, value):
    if value is not None and not isinstance(value, str):
        raise TypeError(f"Argument 'value' has incorrect type (expected str, got {type(value).__name__})")
    bins = binning.feature_binning
    if value is None or value == "nan":
        for b in bins:
            if b.name == "1_null":
                return b.value
    else:
        for b in bins:
            if isinstance(b, AttributeBinCategorical) and b.name not in RESERVED and value in b.categories:
                return b.value
    for b in bins:
        if b.name in DEFAULTS:
            return b.value
    return None


def numeric_binning():
    edges = [-math.inf] + [float(i) for i in range(1, 10)] + [math.inf]
    bins = [
        {"type": "NUMERICAL", "id": i + 2, "lower_bound": lo, "upper_bound": hi, "value": float(i)}
        for i, (lo, hi) in enumerate(zip(edges, edges[1:]))
    ]
    bins += [
        {"type": "NUMERICAL", "id": 1, "name": "1_null", "value": -1.0},
        {"type": "NUMERICAL", "id": 0, "name": "0_defined_default", "value": 0.0},
    ]
    return FeatureBinning.model_validate({"attribute": "x", "attribute_data_type": "NUMERICAL", "feature_binning": bins})


def categoric_binning():
    bins = [
        {"type": "CATEGORICAL", "id": i + 2, "categories": [f"c{i}a", f"c{i}b", f"c{i}c"], "value": float(i)}
        for i in range(10)
    ]
    bins += [
        {"type": "CATEGORICAL", "id": 1, "name": "1_null", "value": -1.0},
        {"type": "CATEGORICAL", "id": 0, "name": "0_defined_default", "value": 0.0},
    ]
    return FeatureBinning.model_validate({"attribute": "c", "attribute_data_type": "CATEGORICAL", "feature_binning": bins})


def per_call_ns(fn, arg, number=200_000, repeat=5):
    return min(timeit.repeat(lambda: fn(arg), number=number, repeat=repeat)) / number * 1e9


def main():
    numeric, categoric = numeric_binning(), categoric_binning()
    cases = [
        ("numeric, middle bin (5.5)", numeric.bin_numeric_attribute, lambda v: python_numeric(numeric, v), 5.5),
        ("numeric, missing (None)", numeric.bin_numeric_attribute, lambda v: python_numeric(numeric, v), None),
        ("categoric, middle bin", categoric.bin_categoric_attribute, lambda v: python_categoric(categoric, v), "c5b"),
        ("categoric, missing (None)", categoric.bin_categoric_attribute, lambda v: python_categoric(categoric, v), None),
    ]
    print(f"{'case':32} {'compiled ns':>12} {'python ns':>12} {'speed-up':>9}")
    for label, compiled, python, value in cases:
        assert compiled(value) == python(value)
        c, p = per_call_ns(compiled, value), per_call_ns(python, value)
        print(f"{label:32} {c:12.0f} {p:12.0f} {p / c:8.2f}x")


if __name__ == "__main__":
    main()
