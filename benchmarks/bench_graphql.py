"""Times a GraphQL query of every bin of a model of 500 numerical binnings x 20 bins,
against the same query over plain pydantic v2 records and strawberry's pydantic types.

    .venv/bin/python benchmarks/bench_graphql.py [--binnings 500] [--bins 20] [--repeat 5]
"""

import argparse
import time
from typing import Annotated, Literal, Optional, Union

import pydantic
import strawberry
import strawberry.experimental.pydantic

from bench_model_bundle import build_model
from zelvora_analytics_utils.predictive_models.augmented_predictive_model import (
    AugmentedPredictiveModelType,
)

QUERY = """{ model { featurePreprocessing { binning { attribute featureBinning {
  ... on AttributeBinNumericalType {
    name value frequency lowerBound upperBound formattedLowerBound formattedUpperBound } } } } } }"""


# --- the pure-Python views -------------------------------------------------------------------


class PlainNumericalBin(pydantic.BaseModel):
    type: Literal["NUMERICAL"] = "NUMERICAL"
    name: str
    id: int
    value: Optional[float] = None
    frequency: Optional[float] = None
    target_rate: Optional[float] = None
    lower_bound: Optional[float] = None
    upper_bound: Optional[float] = None


class PlainCategoricalBin(pydantic.BaseModel):
    type: Literal["CATEGORICAL"] = "CATEGORICAL"
    name: str
    id: int
    value: Optional[float] = None
    categories: Optional[list[str]] = None


class PlainBinning(pydantic.BaseModel):
    attribute: str
    feature_binning: list[Union[PlainNumericalBin, PlainCategoricalBin]]


class PlainPreprocessing(pydantic.BaseModel):
    binning: list[PlainBinning]


class PlainModel(pydantic.BaseModel):
    feature_preprocessing: PlainPreprocessing


def finite(x):
    return x if x is None or abs(x) != float("inf") else None


@strawberry.experimental.pydantic.type(model=PlainNumericalBin, name="AttributeBinNumericalType")
class PlainNumericalBinType:
    name: strawberry.auto
    value: strawberry.auto
    frequency: strawberry.auto

    @strawberry.field
    def lower_bound(self) -> Optional[float]:
        return finite(self.lower_bound)

    @strawberry.field
    def upper_bound(self) -> Optional[float]:
        return finite(self.upper_bound)

    @strawberry.field
    def formatted_lower_bound(self) -> Optional[str]:
        return None if self.lower_bound is None else repr(self.lower_bound)

    @strawberry.field
    def formatted_upper_bound(self) -> Optional[str]:
        return None if self.upper_bound is None else repr(self.upper_bound)


@strawberry.experimental.pydantic.type(model=PlainCategoricalBin, name="AttributeBinCategoricalType")
class PlainCategoricalBinType:
    name: strawberry.auto
    categories: strawberry.auto


PlainBinType = Annotated[Union[PlainNumericalBinType, PlainCategoricalBinType], strawberry.union("AttributeBinType")]


@strawberry.experimental.pydantic.type(model=PlainBinning, name="FeatureBinningType")
class PlainBinningType:
    attribute: strawberry.auto

    @strawberry.field
    def feature_binning(self) -> list[PlainBinType]:
        return self.feature_binning


@strawberry.experimental.pydantic.type(model=PlainPreprocessing, name="FeaturePreprocessingType")
class PlainPreprocessingType:
    binning: list[PlainBinningType]


@strawberry.experimental.pydantic.type(model=PlainModel, name="AugmentedPredictiveModelType")
class PlainModelType:
    feature_preprocessing: PlainPreprocessingType


def timed(schema, repeat):
    result = schema.execute_sync(QUERY)
    assert not result.errors, result.errors
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        schema.execute_sync(QUERY)
        times.append(time.perf_counter() - start)
    times.sort()
    return result.data, times[0], times[len(times) // 2]


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

    plain = PlainModel.model_validate(
        {"feature_preprocessing": model.feature_preprocessing.model_dump(include={"binning"})})

    @strawberry.type(name="Query")
    class PlainQuery:
        @strawberry.field
        def model(self) -> PlainModelType:
            return plain

    ours, best, median = timed(strawberry.Schema(query=Query), args.repeat)
    theirs, plain_best, plain_median = timed(strawberry.Schema(query=PlainQuery), args.repeat)
    bins = lambda data: [b["name"] for f in data["model"]["featurePreprocessing"]["binning"] for b in f["featureBinning"]]
    assert bins(ours) == bins(theirs)
    print(f"query of every bin, {args.binnings} x {args.bins}: "
          f"best {best * 1e3:.0f} ms, median {median * 1e3:.0f} ms; "
          f"plain pydantic + strawberry: best {plain_best * 1e3:.0f} ms, median {plain_median * 1e3:.0f} ms")


if __name__ == "__main__":
    main()
