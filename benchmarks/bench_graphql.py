"""Times a GraphQL query of every bin of a model of 500 numerical binnings x 20 bins.

    .venv/bin/python benchmarks/bench_graphql.py [--binnings 500] [--bins 20] [--repeat 5]
"""

import argparse
import time

import strawberry

from bench_model_bundle import build_model
from zelvora_analytics_utils.predictive_models.augmented_predictive_model import (
    AugmentedPredictiveModelType,
)

QUERY = """{ model { featurePreprocessing { binning { attribute featureBinning {
  ... on AttributeBinNumericalType {
    name value frequency lowerBound upperBound formattedLowerBound formattedUpperBound } } } } } }"""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binnings", type=int, default=500)
    parser.add_argument("--bins", type=int, default=20)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    model = build_model(args.binnings, args.bins)

    @strawberry.type
    class Query:
        @strawberry.field
        def model(self) -> AugmentedPredictiveModelType:
            return model

    schema = strawberry.Schema(query=Query)
    result = schema.execute_sync(QUERY)
    assert not result.errors, result.errors
    times = []
    for _ in range(args.repeat):
        start = time.perf_counter()
        schema.execute_sync(QUERY)
        times.append(time.perf_counter() - start)
    times.sort()
    print(f"query of every bin, {args.binnings} x {args.bins}: "
          f"best {times[0] * 1e3:.0f} ms, median {times[len(times) // 2] * 1e3:.0f} ms")


if __name__ == "__main__":
    main()
