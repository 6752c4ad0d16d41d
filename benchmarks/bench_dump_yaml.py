"""Times YAML output of a large model-like document against ruamel.yaml's plain writer.

Writes the same plain data (about 10,000 bin mappings in nested lists and mappings,
with floats: 500 binnings of 20 bins) with `valid_dumps_yaml` (the native writer), with
the module's ruamel.yaml path (`_valid_dumps_yaml_ruamel`: the same text, through
ruamel's pure-Python emitter), with ruamel.yaml's own `SafeRepresenter` under the same
writer settings (block style, width 120) and, when its extension is installed, with
ruamel's C emitter; prints the times and ratios, then times reading the written text
back with `safe_loads_yaml`.

    .venv/bin/python benchmarks/bench_dump_yaml.py [--bins 10000] [--repeat 3]
"""

import argparse
import io
import random
import time

from ruamel.yaml import YAML
from ruamel.yaml.representer import SafeRepresenter

from zelvora_analytics_utils.utils.dump import (
    ValidRepresenter,
    _valid_dumps_yaml_ruamel,
    safe_loads_yaml,
    valid_dumps_yaml,
)

BINS_PER_ATTRIBUTE = 20


def numerical_bins(rng, attribute):
    edges = sorted(rng.uniform(-1000, 1000) for _ in range(BINS_PER_ATTRIBUTE - 1))
    bounds = list(zip([None, *edges], [*edges, None]))
    return [
        {
            "id": i,
            "name": f"{attribute}_{i}",
            "type": "NUMERICAL",
            "lower_bound": lower,
            "upper_bound": upper,
            "value": rng.gauss(0, 1),
            "frequency": rng.random(),
            "target_rate": rng.random() / 3,
        }
        for i, (lower, upper) in enumerate(bounds)
    ]


def categorical_bins(rng, attribute):
    return [
        {
            "id": i,
            "name": f"{attribute}_{i}",
            "type": "CATEGORICAL",
            "categories": [f"cat_{i}_{j}" for j in range(rng.randint(1, 4))],
            "value": rng.gauss(0, 1),
            "frequency": rng.random(),
            "target_rate": None,
        }
        for i in range(BINS_PER_ATTRIBUTE)
    ]


def model_document(bins, seed=7):
    rng = random.Random(seed)
    binnings = []
    for a in range(bins // BINS_PER_ATTRIBUTE):
        attribute = f"attribute_{a}"
        numerical = a % 3 != 0
        binnings.append(
            {
                "attribute": attribute,
                "attribute_data_type": "NUMERICAL" if numerical else "CATEGORICAL",
                "binned_attribute_name": f"{attribute}_binned",
                "feature_binning": (numerical_bins if numerical else categorical_bins)(rng, attribute),
            }
        )
    return {
        "name": "benchmark model",
        "model_type": "LOGISTIC_REGRESSION",
        "feature_preprocessing": {"feature_binning": binnings, "feature_transformation": []},
        "model_summary": {
            "hyperparameters": {"C": 0.1, "max_iter": 1000, "penalty": "l2"},
            "subsets": [
                {"name": s, "size": rng.randint(1000, 100000), "metrics": {"gini": rng.random(), "ks": rng.random()}}
                for s in ("train", "test", "oot")
            ],
        },
        "coefficients": {f"attribute_{a}_binned": rng.gauss(0, 1) for a in range(bins // BINS_PER_ATTRIBUTE)},
    }


def plain_library_dumps(data):
    writer = YAML()
    writer.default_flow_style = False
    writer.width = 120
    writer.Representer = SafeRepresenter
    stream = io.StringIO()
    writer.dump_all([data], stream=stream)
    return stream.getvalue()


def c_emitter_dumps(data):
    """ruamel.yaml's C emitter, or None without its extension."""
    writer = YAML(typ="safe")
    if writer.Emitter.__module__.startswith("ruamel.yaml.emitter"):
        return None
    writer.default_flow_style = False
    writer.width = 120
    stream = io.StringIO()
    writer.dump_all([data], stream=stream)
    return stream.getvalue()


def node_tree_builder(representer_class):
    """Node tree building alone, without serializer and emitter: the per-node path."""

    def build(data):
        return representer_class().represent_data(data)

    return build


def best_time(fn, data, repeat):
    best, result = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn(data)
        best = min(best, time.perf_counter() - start)
    return best, result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bins", type=int, default=10_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument(
        "--same-text",
        action="store_true",
        help="write data that has nothing to drop or round, so both writers write the same text",
    )
    args = parser.parse_args()

    data = model_document(args.bins)
    if args.same_text:
        data = safe_loads_yaml(valid_dumps_yaml(data))
    # Alternate the writers so that both see the same machine load.
    ours, plain = float("inf"), float("inf")
    for _ in range(args.repeat):
        t, ours_text = best_time(valid_dumps_yaml, data, 1)
        ours = min(ours, t)
        t, plain_text = best_time(plain_library_dumps, data, 1)
        plain = min(plain, t)
    pure, pure_text = best_time(_valid_dumps_yaml_ruamel, data, 1)
    assert pure_text == ours_text
    c_time, c_text = best_time(c_emitter_dumps, data, args.repeat)
    ours_nodes, _ = best_time(node_tree_builder(ValidRepresenter), data, args.repeat)
    plain_nodes, _ = best_time(node_tree_builder(SafeRepresenter), data, args.repeat)
    read, loaded = best_time(safe_loads_yaml, ours_text, 1)

    print(f"document: {args.bins} bins, best of {args.repeat} runs")
    print(f"valid_dumps_yaml          {ours:8.3f} s  ({len(ours_text) / 1e6:.2f} MB of text)")
    print(f"plain SafeRepresenter     {plain:8.3f} s  ({len(plain_text) / 1e6:.2f} MB of text)")
    print(f"ratio ours / plain        {ours / plain:8.3f}")
    print(f"ruamel path (pure emitter){pure:8.3f} s  native writer {pure / ours:.1f}x faster, same text")
    if c_text is not None:
        print(f"ruamel C emitter          {c_time:8.3f} s  native writer {c_time / ours:.1f}x faster")
    print(f"node trees only: ours {ours_nodes:.3f} s, plain {plain_nodes:.3f} s, "
          f"ratio {ours_nodes / plain_nodes:.3f}")
    print(f"safe_loads_yaml (read)    {read:8.3f} s")
    assert len(loaded["feature_preprocessing"]["feature_binning"]) == args.bins // BINS_PER_ATTRIBUTE


if __name__ == "__main__":
    main()
