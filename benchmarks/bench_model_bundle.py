"""Times a model's zip round trip against a straightforward pure-Python path.

The model has 500 numerical binnings of 20 bins each. The package's path is
get_content, save_to_zip, load_from_zip and parse_from_content; the pure path does the
same job with model_dump, ruamel.yaml's pure-Python safe writer (block style, width
120), zipfile, ruamel.yaml's pure-Python safe reader and model_validate. Both run side
by side in one process with the floor (model_dump to JSON data, json.dumps, json.loads,
model_validate); the script prints each step's best time and the ratios. It then
times reading the model document alone, safe_loads_yaml against ruamel.yaml's pure safe
reader, with each reader's peak of traced allocations against the size of the data read
(tracemalloc sees Python's allocations, not the native reader's own buffers).

    .venv/bin/python benchmarks/bench_model_bundle.py [--binnings 500] [--bins 20] [--repeat 3]
    .venv/bin/python benchmarks/bench_model_bundle.py --profile   # cProfile of the package path
    .venv/bin/python benchmarks/bench_model_bundle.py --scaling   # cost per binning, 50 to 2,000
"""

import argparse
import cProfile
import enum
import io
import pstats
import random
import time
import tracemalloc
import zipfile

from ruamel.yaml import YAML
from ruamel.yaml.representer import SafeRepresenter

from zelvora_analytics_utils.predictive_models.augmented_predictive_model import AugmentedPredictiveModel
from zelvora_analytics_utils.predictive_models.content import AugmentedPredictiveModelContent
from zelvora_analytics_utils.utils.dump import safe_loads_yaml


def build_model(binnings, bins, seed=7):
    rng = random.Random(seed)
    attributes = [f"attribute_{i:03d}" for i in range(binnings)]
    binning_data = []
    for attribute in attributes:
        edges = sorted(round(rng.uniform(-1000, 1000), 3) for _ in range(bins - 2))
        bounds = list(zip([float("-inf"), *edges], [*edges, float("inf")]))
        feature_bins = [
            {"type": "NUMERICAL", "id": i + 2, "lower_bound": lo, "upper_bound": hi,
             "value": round(rng.gauss(0, 1), 9), "frequency": round(rng.random(), 9),
             "target_rate": round(rng.random() / 3, 9)}
            for i, (lo, hi) in enumerate(bounds)
        ]
        feature_bins.append({"type": "NUMERICAL", "id": 1, "name": "1_null", "value": 0.0})
        binning_data.append({"attribute": attribute, "attribute_data_type": "NUMERICAL",
                             "feature_binning": feature_bins})
    return AugmentedPredictiveModel.model_validate({
        "attributes": attributes,
        "predictive_model_type": "LOGISTIC_REGRESSION",
        "target": "default",
        "directory_name": "benchmark_model",
        "description": {"predictive_model_name": "benchmark_model"},
        "feature_preprocessing": {"binning": binning_data},
        "external_model": {"intercept": -1.5, "feature_names": attributes,
                           "model": {"coef_": [[rng.gauss(0, 1) for _ in attributes]]}},
    })


class PlainRepresenter(SafeRepresenter):
    """The safe representer, writing enumeration members as their values."""


PlainRepresenter.add_multi_representer(
    enum.Enum, lambda r, data: r.represent_data(data.value))


def pure_round_trip(model):
    import json

    writer = YAML(typ="safe", pure=True)
    writer.default_flow_style = False
    writer.width = 120
    writer.Representer = PlainRepresenter
    text = io.StringIO()
    writer.dump(model.model_dump(exclude_defaults=True), text)
    archive = io.BytesIO()
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("extended_model.yaml", text.getvalue().encode())
        z.writestr("external_model.json", json.dumps(model.external_model, indent=2).encode())
    archive.seek(0)
    with zipfile.ZipFile(archive) as z:
        document = z.read("extended_model.yaml").decode()
        external = json.loads(z.read("external_model.json").decode())
    data = YAML(typ="safe", pure=True).load(document)
    data["external_model"] = external
    return AugmentedPredictiveModel.model_validate(data)


def floor_round_trip(model):
    import json

    text = json.dumps(model.model_dump(mode="json", exclude_defaults=True))
    return AugmentedPredictiveModel.model_validate(json.loads(text))


def package_round_trip(model):
    archive = model.get_content().save_to_zip()
    return AugmentedPredictiveModel.parse_from_content(
        AugmentedPredictiveModelContent.load_from_zip(archive))


def package_steps(model):
    times = {}
    t = time.perf_counter()
    content = model.get_content()
    times["get_content"] = time.perf_counter() - t
    t = time.perf_counter()
    archive = content.save_to_zip()
    times["save_to_zip"] = time.perf_counter() - t
    t = time.perf_counter()
    loaded = AugmentedPredictiveModelContent.load_from_zip(archive)
    times["load_from_zip"] = time.perf_counter() - t
    t = time.perf_counter()
    AugmentedPredictiveModel.parse_from_content(loaded)
    times["parse_from_content"] = time.perf_counter() - t
    return times


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def pure_safe_load(text):
    return YAML(typ="safe", pure=True).load(text)


def traced_peak(read, text):
    """(peak traced bytes while reading, traced bytes the result keeps)."""
    tracemalloc.start()
    try:
        data = read(text)
        kept, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert data
    return peak, kept


def report_yaml_read(document, repeat):
    native = best(lambda: safe_loads_yaml(document), repeat)
    pure = best(lambda: pure_safe_load(document), max(1, repeat // 2))
    assert safe_loads_yaml(document) == pure_safe_load(document)
    print(f"reading the model document ({len(document) / 1e6:.2f} MB):")
    print(f"  safe_loads_yaml        {native * 1e3:8.1f} ms")
    print(f"  ruamel pure safe load  {pure * 1e3:8.1f} ms")
    print(f"  speed-up               {pure / native:8.1f}x (target: at least 20x)")
    for name, read in (("safe_loads_yaml", safe_loads_yaml), ("ruamel pure safe load", pure_safe_load)):
        peak, kept = traced_peak(read, document)
        print(f"  {name:<22} peak {peak / 1e6:6.1f} MB for {kept / 1e6:5.1f} MB of data ({peak / kept:.1f}x)")


def report_load_memory(model):
    """Peak traced allocations of loading the model from its zip, against what it keeps."""
    archive = model.get_content().save_to_zip()
    tracemalloc.start()
    try:
        loaded = AugmentedPredictiveModel.parse_from_content(
            AugmentedPredictiveModelContent.load_from_zip(archive))
        kept, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert loaded == model
    print(f"loading from zip: peak {peak / 1e6:.1f} MB for a model keeping {kept / 1e6:.1f} MB "
          f"({peak / kept:.2f}x, target: at most 2x)")


def report_scaling(bins, repeat):
    print(f"round trip per binning ({bins} bins each):")
    for binnings in (50, 200, 500, 2000):
        model = build_model(binnings, bins)
        package = best(lambda: package_round_trip(model), repeat)
        print(f"  {binnings:5d} binnings  {package * 1e3:8.1f} ms  {package / binnings * 1e6:7.1f} us per binning")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binnings", type=int, default=500)
    parser.add_argument("--bins", type=int, default=20)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--profile", action="store_true")
    parser.add_argument("--scaling", action="store_true")
    args = parser.parse_args()
    if args.scaling:
        report_scaling(args.bins, args.repeat)
        return

    model = build_model(args.binnings, args.bins)
    assert package_round_trip(model) == pure_round_trip(model) == model
    assert floor_round_trip(model).model_dump() == model.model_dump()
    if args.profile:
        profile = cProfile.Profile()
        profile.runcall(package_round_trip, model)
        pstats.Stats(profile).sort_stats("cumulative").print_stats(25)
        return

    steps = {}
    for _ in range(args.repeat):
        for name, value in package_steps(model).items():
            steps[name] = min(value, steps.get(name, value))
    pure = best(lambda: pure_round_trip(model), args.repeat)
    package = best(lambda: package_round_trip(model), args.repeat)
    floor = best(lambda: floor_round_trip(model), args.repeat)
    document = model.get_content().augmented_predictive_model_yaml.getvalue()
    print(f"model: {args.binnings} binnings x {args.bins} bins, document {len(document) / 1e6:.2f} MB")
    for name, value in steps.items():
        print(f"  {name:<20} {value * 1e3:8.1f} ms")
    print(f"package path     {package * 1e3:8.1f} ms")
    print(f"pure-Python path {pure * 1e3:8.1f} ms")
    print(f"floor (JSON)     {floor * 1e3:8.1f} ms")
    print(f"speed-up         {pure / package:8.2f}x (target: at least 25x)")
    print(f"against floor    {package / floor:8.2f}x (target: at most 3x)")
    report_yaml_read(document, args.repeat)
    report_load_memory(model)


if __name__ == "__main__":
    main()
