"""Batch binning by attribute name against a loop of single-value calls and against the
floor of reading every number and building a list of the same length.

Targets: numeric batch at least 20x faster than the loop and within 3x of the floor;
categorical batch at least 10x faster than the loop; over 50 known categories, about 15 ns
a value (about 25 ns for a copy per value, whose text is compared). A batch of one value over 80,000 nested
bins (compiling dominates) costs about what one single-value call does, not seconds.

Run: python benchmarks/bench_preprocessing.py [values]
"""

import logging
import math
import random
import sys
import time

import structlog

from zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_preprocessing import (
    FeaturePreprocessing,
)


# Short and long ASCII texts and some that are not ASCII.
FIFTY = [f"k{i}" for i in range(20)] + [f"category number {i} of the long kind" for i in range(20)] + [f"kat\u00e9gorie {i}" for i in range(10)]


def preprocessing():
    binnings = FeaturePreprocessing.add_feature_binning(
        {
            # 10 ordinary bins, then the null bin and the catch-all bin.
            "x": {
                "dtype": "NUMERICAL",
                "bins": [-math.inf, *range(1, 10), math.inf],
                "bin_vals": [i / 10 for i in range(10)],
                "null_val": -1.0,
            },
            "c": {
                "dtype": "CATEGORICAL",
                "bins": [[f"c{i}a", f"c{i}b", f"c{i}c"] for i in range(10)],
                "bin_vals": [i / 10 for i in range(10)],
                "null_val": -1.0,
                "default": 9.9,
            },
            # 50 categories of mixed kinds of text, 10 per bin.
            "k": {
                "dtype": "CATEGORICAL",
                "bins": [FIFTY[i : i + 10] for i in range(0, 50, 10)],
                "bin_vals": [i / 10 for i in range(5)],
            },
        }
    )
    return FeaturePreprocessing(binning=binnings)


def nested_preprocessing(count):
    # Bin i is (-i-1, i+1]: every bin covers all the pieces of the ones before it.
    bins = [
        {"type": "NUMERICAL", "id": i + 2, "name": f"b{i}", "lower_bound": -i - 1.0, "upper_bound": i + 1.0, "value": float(i)}
        for i in range(count)
    ]
    binning = {"attribute": "n", "attribute_data_type": "NUMERICAL", "feature_binning": bins}
    return FeaturePreprocessing.model_validate({"binning": [binning]})


def numbers(count, rng):
    return [None if rng.random() < 0.01 else rng.uniform(-1.0, 11.0) for _ in range(count)]


def texts(count, rng):
    known = [f"c{i}{s}" for i in range(10) for s in "abc"]
    # About 1% missing and 1% unforeseen (each unforeseen text writes a debug record).
    return [None if r < 0.01 else "other" if r < 0.02 else rng.choice(known) for r in (rng.random() for _ in range(count))]


def best_of(repeat, fn):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    # Log calls are made but filtered out, so that rendering does not dominate.
    structlog.configure(wrapper_class=structlog.make_filtering_bound_logger(logging.CRITICAL))
    rng = random.Random(7)
    prep = preprocessing()

    values = numbers(count, rng)
    filled = [0.0 if v is None else v for v in values]
    assert prep.apply_feature_binning_batch("x", values) == [prep.apply_feature_binning("x", v) for v in values]
    loop = best_of(1, lambda: [prep.apply_feature_binning("x", v) for v in values])
    batch = best_of(5, lambda: prep.apply_feature_binning_batch("x", values))
    floor = best_of(5, lambda: (sum(filled), list(values)))
    print(f"numeric, {count:,} values (10 bins + null + catch-all, ~1% missing)")
    print(f"  loop of apply_feature_binning  {loop * 1e3:9.1f} ms")
    print(f"  apply_feature_binning_batch    {batch * 1e3:9.1f} ms   {loop / batch:6.1f}x faster than the loop")
    print(f"  floor: sum(values) + list()    {floor * 1e3:9.1f} ms   batch = {batch / floor:4.2f}x the floor")

    categories = texts(count, rng)
    assert prep.apply_feature_binning_batch("c", categories) == [prep.apply_feature_binning("c", v) for v in categories]
    loop = best_of(1, lambda: [prep.apply_feature_binning("c", v) for v in categories])
    batch = best_of(5, lambda: prep.apply_feature_binning_batch("c", categories))
    print(f"categorical, {count:,} texts (10 bins of 3 texts, ~1% missing, ~1% unforeseen)")
    print(f"  loop of apply_feature_binning  {loop * 1e3:9.1f} ms")
    print(f"  apply_feature_binning_batch    {batch * 1e3:9.1f} ms   {loop / batch:6.1f}x faster than the loop")

    fifty = [rng.choice(FIFTY) for _ in range(count)]
    assert prep.apply_feature_binning_batch("k", fifty) == [prep.apply_feature_binning("k", v) for v in fifty]
    # Equal copies of the categories, one object per value, as a parser makes them.
    parsed = [text.encode().decode() for text in fifty]
    batch = best_of(5, lambda: prep.apply_feature_binning_batch("k", fifty))
    copies = best_of(5, lambda: prep.apply_feature_binning_batch("k", parsed))
    print(f"categorical, {count:,} texts from 50 categories (5 bins of 10, all known)")
    print(f"  apply_feature_binning_batch    {batch * 1e3:9.1f} ms   the category objects")
    print(f"  apply_feature_binning_batch    {copies * 1e3:9.1f} ms   a copy per value")

    nested = nested_preprocessing(80_000)
    assert nested.apply_feature_binning_batch("n", [0.5]) == [nested.apply_feature_binning("n", 0.5)]
    single = best_of(3, lambda: nested.apply_feature_binning("n", 0.5))
    batch = best_of(3, lambda: nested.apply_feature_binning_batch("n", [0.5]))
    print("numeric, 80,000 nested bins, one value")
    print(f"  apply_feature_binning          {single * 1e3:9.1f} ms")
    print(f"  apply_feature_binning_batch    {batch * 1e3:9.1f} ms   (compiles the binning)")


if __name__ == "__main__":
    main()
