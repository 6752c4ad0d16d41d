"""Demo: binnings built from plain data, values binned, a query on the binning views, a
binning written as YAML into a zip bundle and loaded back, the preprocessing step
(binnings from a compact specification, a column binned in one call, dummy encoding), a
performance record shown as YAML and through its query view, and a model description with
notes queried through its view."""

import io
import json
import math

import strawberry

from zelvora_analytics_utils.predictive_models.content import AugmentedPredictiveModelContent
from zelvora_analytics_utils.utils.dump import safe_loads_yaml, valid_dumps_yaml

from zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_binning import (
    FeatureBinning,
    FeatureBinningType,
)
from zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_preprocessing import (
    FeaturePreprocessing,
    PredictiveModelDummyEncoding,
)
from zelvora_analytics_utils.predictive_models.model_summary.model_summary import (
    PredictiveModelSummary,
    PredictiveModelSummaryType,
)
from zelvora_analytics_utils.predictive_models.score_performance.score_performance import (
    PredictiveScorePerformance,
    PredictiveScorePerformanceType,
)

AGE = {
    "attribute": "age",
    "attribute_data_type": "NUMERICAL",
    "feature_binning": [
        {"type": "NUMERICAL", "id": 2, "lower_bound": -math.inf, "upper_bound": 25, "value": -0.42},
        {"type": "NUMERICAL", "id": 3, "lower_bound": 25, "upper_bound": 40.5, "value": 0.07},
        {"type": "NUMERICAL", "id": 4, "lower_bound": 40.5, "upper_bound": 65, "value": 0.31},
        {"type": "NUMERICAL", "id": 1, "name": "1_null", "value": -0.1},
        {"type": "NUMERICAL", "id": 0, "name": "0_system_default", "value": 0.0},
    ],
}

REGION = {
    "attribute": "region",
    "attribute_data_type": "CATEGORICAL",
    "feature_binning": [
        {"type": "CATEGORICAL", "id": 2, "categories": ["north", "east"], "value": 0.12},
        {"type": "CATEGORICAL", "id": 3, "categories": ["south", "west"], "value": -0.2},
        {"type": "CATEGORICAL", "id": 1, "name": "1_null", "value": 0.0},
        {"type": "CATEGORICAL", "id": 0, "name": "0_default", "value": 0.0},
    ],
}


def bin_values(age: FeatureBinning, region: FeatureBinning) -> None:
    print("Binning values (a catch-all hit writes a warning):")
    for number in [18, 25, 40.5, 52, None, 80]:
        print(f"  age    {number!r:>8} -> {age.bin_numeric_attribute(number)}")
    for category in ["north", "west", None, "atlantis"]:
        print(f"  region {category!r:>10} -> {region.bin_categoric_attribute(category)}")


def query_views(binnings: dict[str, FeatureBinning]) -> None:
    @strawberry.type
    class Query:
        @strawberry.field
        def binning(self, attribute: str) -> FeatureBinningType:
            return binnings[attribute]  # type: ignore[return-value]  # a view may return its record

    query = """query ($attribute: String!) {
      binning(attribute: $attribute) {
        attribute
        featureBinning {
          __typename
          ... on AttributeBinNumericalType { name type formattedLowerBound formattedUpperBound value }
          ... on AttributeBinCategoricalType { name type categories value }
        }
      }
    }"""
    schema = strawberry.Schema(query=Query)
    for attribute in binnings:
        result = schema.execute_sync(query, variable_values={"attribute": attribute})
        print(f"\nQuery on the binning view of {attribute!r}:")
        print(json.dumps(result.data, indent=2))


def round_trip_through_zip(binning: FeatureBinning) -> None:
    text = valid_dumps_yaml(binning)
    print(f"\nThe binning of {binning.attribute!r} as YAML:\n{text}")
    bundle = AugmentedPredictiveModelContent(augmented_predictive_model_yaml=io.StringIO(text))
    archive = bundle.save_to_zip()
    print(f"Packed into a zip bundle of {len(archive.getvalue())} bytes.")
    loaded = AugmentedPredictiveModelContent.load_from_zip(archive)
    loaded.augmented_predictive_model_yaml.seek(0)
    again = FeatureBinning.model_validate(safe_loads_yaml(loaded.augmented_predictive_model_yaml.read()))
    print("Loaded back from the zip bundle, the same binning:", again == binning)


PERFORMANCE = {
    "performance_metrics": ["auc", "Gini", "lift(10%)", "tar"],
    "subset_performance": [
        {"sample": "TRAIN", "target": "default_12m", "performance": {"AUC": 0.781, "GINI": 0.562, "TAR": 0.31}},
        {"sample": "OOT", "target": "default_12m", "performance": {"AUC": 0.7542, "GINI": 0.5084}},
    ],
}


def show_performance() -> None:
    performance = PredictiveScorePerformance.model_validate(PERFORMANCE)
    print("\nMetric texts read as metrics:", [m.name for m in performance.performance_metrics])
    print(f"The performance record as YAML:\n{valid_dumps_yaml(performance)}")

    @strawberry.type
    class Query:
        @strawberry.field
        def performance(self) -> PredictiveScorePerformanceType:
            return performance  # type: ignore[return-value]  # a view may return its record

    result = strawberry.Schema(query=Query).execute_sync(
        "{ performance { performanceMetrics subsetPerformance { sample target performance { metric value } } } }"
    )
    print("Query on the performance view:")
    print(json.dumps(result.data, indent=2))


DESCRIPTION = {
    "predictive_model_name": "default_12m_scorecard",
    "predictive_model_created": "2024-03-01",
    "sample_metadata": [
        {
            "sample_type": "TRAIN",
            "first_date": "2022-01-01",
            "last_date": "2022-12-31",
            "number_of_observations": 1000,
            "label_class_frequency": [
                {"label_class": 0, "number_of_observations": 940},
                {"label_class": 1, "number_of_observations": 60},
            ],
        }
    ],
    "attribute_description": {"age": "age in years", "region": "region of residence"},
    "hyperparameters": {"max_depth": 3, "eval_metric": "['logloss', 'auc']"},
    "attached_images": [{"type": "roc", "filename": "roc.png", "image": b"\x89PNG..."}],
}


def show_description() -> None:
    description = PredictiveModelSummary.model_validate(DESCRIPTION)
    description.add_general_note("Trained on the 2022 applications.")
    description.add_general_note({"review": "Approved by the model committee."})
    description.add_general_note({"review": "A second review."})  # prints that the key exists
    description.add_general_note("Monitoring starts in April.")
    print(f"\nThe description as YAML (image data stays out):\n{valid_dumps_yaml(description)}")

    @strawberry.type
    class Query:
        @strawberry.field
        def description(self) -> PredictiveModelSummaryType:
            return description  # type: ignore[return-value]  # a view may return its record

    result = strawberry.Schema(query=Query).execute_sync(
        """{ description {
          predictiveModelName evalMetric
          hyperparameters { name value }
          generalNotes { title content }
          sampleMetadata { sampleType numberOfObservations labelClassFrequency { labelClass numberOfObservations } }
          attachedImages { type filename }
        } }"""
    )
    print("Query on the description view:")
    print(json.dumps(result.data, indent=2))
def preprocess() -> None:
    print("\nPreprocessing: binnings built from a compact specification")
    binnings = FeaturePreprocessing.add_feature_binning(
        {
            "income": {
                "dtype": "NUMERICAL",
                "bins": [-math.inf, 1000, 2500, 5000, math.inf],
                "bin_vals": [-0.6, -0.1, 0.2, 0.5],
                "null_val": -0.3,
            },
            "channel": {"dtype": "CATEGORICAL", "bins": [["web", "app"], ["branch"]], "bin_vals": [0.1, -0.1], "default": 0.05},
        }
    )
    prep = FeaturePreprocessing(binning=binnings)
    prep.add_feature_transformation([{"attribute": "income", "transformation": "income / 12", "transformed_attribute_name": "monthly_income"}])
    prep.dummy_encoding.append(
        PredictiveModelDummyEncoding.model_validate(
            {
                "attribute": "segment",
                "encoding": [
                    {"value": "retail", "encoded_feature_name": "segment_retail"},
                    {"value": "sme", "encoded_feature_name": "segment_sme", "use_for_undefined": True},
                ],
            }
        )
    )
    print("  bins of income:", [b.name for b in prep.binning[0].feature_binning])
    column = [800, 1200.5, None, 4999, 12000, "2500"]
    print(f"  income column {column} -> {prep.apply_feature_binning_batch('income', column)} (one batch call)")
    print(f"  channel 'phone' -> {prep.apply_feature_binning('channel', 'phone')} (a defined default: debug record)")
    print("  formula of monthly_income:", prep.get_transformation_formula("monthly_income"))
    for segment in ["retail", "corporate"]:
        print(f"  segment {segment!r} -> {prep.apply_dummy_encoding('segment', segment)}")


def main() -> None:
    age, region = FeatureBinning.model_validate(AGE), FeatureBinning.model_validate(REGION)
    print("Generated bin names:", [b.name for b in age.feature_binning + region.feature_binning])
    bin_values(age, region)
    query_views({"age": age, "region": region})
    round_trip_through_zip(age)
    preprocess()
    show_performance()
    show_description()


if __name__ == "__main__":
    main()
