import json

import pydantic
import pytest
import strawberry

from zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_transformation import (
    FeatureTransformation,
    FeatureTransformationType,
)
from zelvora_analytics_utils.utils.core_model import CoreModel
from zelvora_analytics_utils.utils.dump import safe_dumps_json, safe_loads_yaml, valid_dumps_yaml

LOG_INCOME = {"attribute": "income", "transformation": "log(income + 1)", "transformed_attribute_name": "log_income"}


def test_record_fields_and_defaults():
    assert issubclass(FeatureTransformation, CoreModel)
    assert list(FeatureTransformation.model_fields) == ["attribute", "transformation", "transformed_attribute_name"]
    record = FeatureTransformation(attribute="income", transformation="log(income)")
    assert record.transformed_attribute_name is None
    assert record.model_dump() == {"attribute": "income", "transformation": "log(income)", "transformed_attribute_name": None}
    assert record.model_dump(exclude_defaults=True) == {"attribute": "income", "transformation": "log(income)"}


@pytest.mark.parametrize(
    "data",
    [
        {"attribute": "income", "transformation": "log(income)"},
        LOG_INCOME,
        {"attribute": "x", "transformation": "x * 2", "transformed_attribute_name": "x"},
        {"attribute": "x", "transformation": "this is not ( a formula"},
    ],
)
def test_yaml_and_json_round_trip(data):
    record = FeatureTransformation.model_validate(data)
    text = valid_dumps_yaml(record)
    if record.transformed_attribute_name is None:
        assert "transformed_attribute_name" not in text
    assert FeatureTransformation.model_validate(safe_loads_yaml(text)) == record
    assert FeatureTransformation.model_validate(json.loads(safe_dumps_json(record.model_dump()))) == record


@pytest.mark.parametrize(
    "data",
    [
        {**LOG_INCOME, "transformed_attribute": "log_income"},
        {"attribute": "income"},
        {"transformation": "log(income)"},
        {"attribute": None, "transformation": "log(income)"},
        {"attribute": "income", "transformation": ["log", "income"]},
        {"attribute": "income", "transformation": "log(income)", "transformed_attribute_name": 3},
    ],
    ids=["misspelt key", "no transformation", "no attribute", "null attribute", "list formula", "number name"],
)
def test_invalid_input_is_rejected(data):
    with pytest.raises(pydantic.ValidationError):
        FeatureTransformation.model_validate(data)


@strawberry.type
class Query:
    @strawberry.field
    def transformations(self) -> list[FeatureTransformationType]:
        return [
            FeatureTransformation.model_validate(LOG_INCOME),
            FeatureTransformation(attribute="age", transformation="age / 12"),
        ]

    @strawberry.field
    def built(self) -> FeatureTransformationType:
        return FeatureTransformationType.from_pydantic(FeatureTransformation.model_validate(LOG_INCOME))


SCHEMA = strawberry.Schema(query=Query)


def test_view_mirrors_the_record():
    result = SCHEMA.execute_sync(
        "{ transformations { attribute transformation transformedAttributeName } built { transformedAttributeName } }"
    )
    assert result.errors is None, result.errors
    assert result.data == {
        "transformations": [
            {"attribute": "income", "transformation": "log(income + 1)", "transformedAttributeName": "log_income"},
            {"attribute": "age", "transformation": "age / 12", "transformedAttributeName": None},
        ],
        "built": {"transformedAttributeName": "log_income"},
    }


def test_view_schema():
    sdl = SCHEMA.as_str()
    view = sdl.split("type FeatureTransformationType {")[1].split("}")[0]
    fields = [line.split() for line in view.splitlines() if line.strip() and '"""' not in line]
    assert fields == [["attribute:", "String!"], ["transformation:", "String!"], ["transformedAttributeName:", "String"]]


def test_introspection_shows_the_record_and_field_descriptions():
    result = SCHEMA.execute_sync('{ __type(name: "FeatureTransformationType") { description fields { name description } } }')
    assert result.errors is None, result.errors
    view = result.data["__type"]
    assert view["description"] == FeatureTransformation.__doc__
    assert {f["name"]: f["description"] for f in view["fields"]} == {
        "attribute": "The attribute the formula transforms.",
        "transformation": "The formula computing the transformed value.",
        "transformedAttributeName": "The name of the attribute the formula creates, if any.",
    }
