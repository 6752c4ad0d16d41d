"""Per-call cost of single lookups and field reads, side by side with the same operations
written in plain Python over plain pydantic v2 records, in one process.

    .venv/bin/python benchmarks/bench_lookups.py [--number 200000] [--repeat 7]

Each line gives the minimum and the median over the repeats, in ns per call. The floors
show what the interpreter alone costs: a dict.get, a bisect over a list of floats.
"""

import argparse
import bisect
import math
import statistics
import timeit
from typing import Literal, Optional, Union

from pydantic import BaseModel, Field

from zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_binning import (
    FeatureBinning,
)
from zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_preprocessing import (
    FeaturePreprocessing,
)

RESERVED = frozenset({"0_default", "0_system_default", "0_defined_default", "1_null"})
DEFAULTS = ("0_default", "0_system_default", "0_defined_default")


# --- the pure-Python implementation ------------------------------------------------------


class PlainBin(BaseModel):
    name: str
    value: Optional[float] = None
    id: int


class PlainNumericalBin(PlainBin):
    type: Literal["NUMERICAL"] = "NUMERICAL"
    lower_bound: Optional[float] = None
    upper_bound: Optional[float] = None


class PlainCategoricalBin(PlainBin):
    type: Literal["CATEGORICAL"] = "CATEGORICAL"
    categories: Optional[list[str]] = None


class PlainBinning(BaseModel):
    attribute: str
    attribute_data_type: str
    feature_binning: list[Union[PlainNumericalBin, PlainCategoricalBin]] = Field(default_factory=list)

    def default_value(self):
        for b in self.feature_binning:
            if b.name in DEFAULTS:
                return b.value
        return None

    def null_value(self):
        for b in self.feature_binning:
            if b.name == "1_null":
                return b.value
        return self.default_value()

    def bin_numeric_attribute(self, value):
        x = math.nan if value is None else float(value)
        if x != x:
            return self.null_value()
        for b in self.feature_binning:
            if type(b) is PlainNumericalBin and b.name not in RESERVED and b.lower_bound < x <= b.upper_bound:
                return b.value
        return self.default_value()

    def bin_categoric_attribute(self, value):
        if value is None or value == "nan":
            return self.null_value()
        for b in self.feature_binning:
            if type(b) is PlainCategoricalBin and b.name not in RESERVED and value in b.categories:
                return b.value
        return self.default_value()


class PlainPreprocessing(BaseModel):
    binning: list[PlainBinning] = Field(default_factory=list)

    def apply_feature_binning(self, attribute, value):
        for binning in self.binning:
            if binning.attribute == attribute:
                if binning.attribute_data_type == "NUMERICAL":
                    return binning.bin_numeric_attribute(value)
                return binning.bin_categoric_attribute(value)
        return None


# --- the records ---------------------------------------------------------------------------


def numeric_data(attribute, n_bins=10):
    edges = [-math.inf] + [float(i) for i in range(1, n_bins)] + [math.inf]
    bins = [
        {"type": "NUMERICAL", "id": i + 2, "name": f"{i + 2}_({lo}, {hi}]", "lower_bound": lo,
         "upper_bound": hi, "value": float(i)}
        for i, (lo, hi) in enumerate(zip(edges, edges[1:]))
    ]
    bins += [
        {"type": "NUMERICAL", "id": 1, "name": "1_null", "value": -1.0},
        {"type": "NUMERICAL", "id": 0, "name": "0_defined_default", "value": 0.0},
    ]
    return {"attribute": attribute, "attribute_data_type": "NUMERICAL", "feature_binning": bins}


def categoric_data(attribute, n_bins=10, per_bin=5):
    bins = [
        {"type": "CATEGORICAL", "id": i + 2, "name": f"{i + 2}_c{i}",
         "categories": [f"c{i * per_bin + k}" for k in range(per_bin)], "value": float(i)}
        for i in range(n_bins)
    ]
    bins += [
        {"type": "CATEGORICAL", "id": 1, "name": "1_null", "value": -1.0},
        {"type": "CATEGORICAL", "id": 0, "name": "0_defined_default", "value": 0.0},
    ]
    return {"attribute": attribute, "attribute_data_type": "CATEGORICAL", "feature_binning": bins}


def timings(stmt, names, number, repeat):
    runs = timeit.repeat(stmt, globals=names, number=number, repeat=repeat)
    per_call = sorted(t / number * 1e9 for t in runs)
    return per_call[0], statistics.median(per_call)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--number", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()

    numeric, categoric = numeric_data("x"), categoric_data("c")
    registry = {"binning": [numeric_data(f"a{i}") for i in range(500)]}
    names = {
        "numeric": FeatureBinning.model_validate(numeric),
        "plain_numeric": PlainBinning.model_validate(numeric),
        "categoric": FeatureBinning.model_validate(categoric),
        "plain_categoric": PlainBinning.model_validate(categoric),
        "registry": FeaturePreprocessing.model_validate(registry),
        "plain_registry": PlainPreprocessing.model_validate(registry),
        "edges": [float(i) for i in range(1, 10)],
        "table": {f"c{i}": float(i // 5) for i in range(50)},
        "bisect": bisect.bisect_left,
    }
    cases = [
        ("bin_numeric_attribute, middle of 10 bins", "numeric.bin_numeric_attribute(5.5)",
         "plain_numeric.bin_numeric_attribute(5.5)"),
        ("bin_categoric_attribute, middle of 50 categories", "categoric.bin_categoric_attribute('c27')",
         "plain_categoric.bin_categoric_attribute('c27')"),
        ("apply_feature_binning, 500th of 500 binnings", "registry.apply_feature_binning('a499', 5.5)",
         "plain_registry.apply_feature_binning('a499', 5.5)"),
        ("field read (binning.attribute)", "numeric.attribute", "plain_numeric.attribute"),
    ]
    print(f"{'case':50} {'ours min/median':>17} {'python min/median':>19}")
    for label, ours, python in cases:
        assert eval(ours, names) == eval(python, names), label
        o, p = timings(ours, names, args.number, args.repeat), timings(python, names, args.number, args.repeat)
        print(f"{label:50} {o[0]:8.0f} {o[1]:8.0f} {p[0]:9.0f} {p[1]:9.0f}")
    for label, stmt in [("floor: dict.get", "table.get('c27')"), ("floor: bisect", "bisect(edges, 5.5)")]:
        t = timings(stmt, names, args.number, args.repeat)
        print(f"{label:50} {t[0]:8.0f} {t[1]:8.0f}")


if __name__ == "__main__":
    main()
