"""Demo, the main job on built-in sample data: a logistic regression scorecard is built from
plain data and a compact binning specification, saved to a zip bundle, loaded back,
used to score attribute values through its preprocessing, and shown as its formula and
through a GraphQL query of the model view."""

import json
from typing import Any

import strawberry

from zelvora_analytics_utils.predictive_models.augmented_predictive_model import (
    AugmentedPredictiveModel,
    AugmentedPredictiveModelType,
)
from zelvora_analytics_utils.predictive_models.content import AugmentedPredictiveModelContent
from zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_preprocessing import (
    FeaturePreprocessing,
)

# The compact binning specification: edges (numerical) or category lists (categorical),
# one value per bin, the value of missing values and of everything else.
BINNING_SPECIFICATION: dict[str, dict[str, Any]] = {
    "age": {"dtype": "NUMERICAL", "bins": [18, 25, 40.5, 65], "bin_vals": [-0.42, 0.07, 0.31],
            "null_val": -0.1, "default": 0.0, "binned_attribute_name": "age_woe"},
    "region": {"dtype": "CATEGORICAL", "bins": [["north", "east"], ["south", "west"]],
               "bin_vals": [0.12, -0.2], "default": 0.0, "binned_attribute_name": "region_woe"},
    "log_income": {"dtype": "NUMERICAL", "bins": [0, 9.5, 11, 20], "bin_vals": [-0.5, 0.1, 0.45],
                   "binned_attribute_name": "log_income_woe"},
}

MODEL: dict[str, Any] = {
    "attributes": ["age", "region", "income"],
    "predictive_model_type": "LOGISTIC_REGRESSION",
    "target": "default_12m",
    "target_class": "1",
    "directory_name": "retail_scorecard",
    "feature_preprocessing": {
        "transformations": [{"attribute": "income", "transformation": "log(income + 1)",
                             "transformed_attribute_name": "log_income"}],
        "dummy_encoding": [{"attribute": "region", "encoding": [
            {"value": "north", "encoded_feature_name": "region_north"},
            {"value": "south", "encoded_feature_name": "region_south"},
            {"value": "other", "encoded_feature_name": "region_other", "use_for_undefined": True}]}],
    },
    "description": {
        "predictive_model_created": "2024-05-31",
        "hyperparameters": {"C": 0.5, "penalty": "l2", "eval_metric": "auc"},
        "general_notes": {"note_1": "Scorecard built on the retail sample."},
    },
    "performance": {
        "performance_metrics": ["auc", "Gini"],
        "subset_performance": [
            {"sample": "TRAIN", "target": "default_12m", "performance": {"AUC": 0.781, "GINI": 0.562}},
            {"sample": "OOT", "target": "default_12m", "performance": {"AUC": 0.7542, "GINI": 0.5084}},
        ],
    },
    # The external model file: the fitted regression's parameters.
    "external_model": {
        "feature_names": ["age_woe", "region_woe", "log_income_woe"],
        "model": {"coef_": [[0.91, 1.12, -0.75]], "intercept_": [-2.5]},
    },
}

QUERY = """{
  model {
    directoryName predictiveModelType target category formula
    externalModel { intercept coefficients }
    featurePreprocessing { binning { attribute featureBinning {
      ... on AttributeBinNumericalType { name value }
      ... on AttributeBinCategoricalType { name value } } } }
    description { predictiveModelName hyperparameters { name value } }
    performance { subsetPerformance { sample performance { metric value } } }
  }
}"""


def build_model() -> AugmentedPredictiveModel:
    data = dict(MODEL)
    binnings = FeaturePreprocessing.add_feature_binning(BINNING_SPECIFICATION)
    data["feature_preprocessing"] = {**MODEL["feature_preprocessing"], "binning": binnings}
    model = AugmentedPredictiveModel.model_validate(data)
    print("Built a model of", len(binnings), "binnings with bins",
          [b.name for b in binnings[0].feature_binning])
    return model


def save_and_load(model: AugmentedPredictiveModel) -> AugmentedPredictiveModel:
    archive = model.get_content().save_to_zip()
    print(f"\nSaved to a zip bundle of {len(archive.getvalue())} bytes.")
    loaded = AugmentedPredictiveModel.parse_from_content(
        AugmentedPredictiveModelContent.load_from_zip(archive))
    print("Loaded back; model name taken from the directory:",
          loaded.description.predictive_model_name)
    return loaded


def score(model: AugmentedPredictiveModel) -> None:
    print("\nScoring values through the loaded model's preprocessing:")
    preprocessing = model.feature_preprocessing
    samples: list[tuple[str, list[Any]]] = [
        ("age", [21, 40.5, None, 90]), ("region", ["east", "west", "moon"]), ("log_income", [10.2, 12.0])]
    for attribute, values in samples:
        for value in values:
            print(f"  {attribute:<10} {value!r:>7} -> {preprocessing.apply_feature_binning(attribute, value)}")
    column = [17, 30, 50, None]
    print(f"  age column {column} -> {preprocessing.apply_feature_binning_batch('age', column)} (one call)")
    for region in ("north", "moon"):
        print(f"  region {region!r} dummy-encoded -> {preprocessing.apply_dummy_encoding('region', region)}")


def query(model: AugmentedPredictiveModel) -> dict[str, Any]:
    @strawberry.type
    class Query:
        @strawberry.field
        def model(self) -> AugmentedPredictiveModelType:
            return model  # type: ignore[return-value]  # a view may return its record

    result = strawberry.Schema(query=Query).execute_sync(QUERY)
    if result.errors:
        raise RuntimeError(result.errors)
    assert result.data is not None
    return result.data


def main() -> None:
    model = build_model()
    loaded = save_and_load(model)
    score(loaded)
    data = query(loaded)
    print("\nFormula:", data["model"]["formula"])
    print("\nGraphQL query of the model view:")
    print(json.dumps(data, indent=2))


if __name__ == "__main__":
    main()
