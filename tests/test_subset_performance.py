"""Sample types, performance metrics and per-sample metric values: subset_performance."""

import math
import re

import pydantic
import pytest
import strawberry

from zelvora_analytics_utils.predictive_models.score_performance import subset_performance as sp
from zelvora_analytics_utils.predictive_models.score_performance.subset_performance import (
    PerformanceMetrics,
    SampleType,
    SubsetPerformance,
    SubsetPerformancePerformanceType,
    SubsetPerformanceType,
)
from zelvora_analytics_utils.utils.core_model import CoreModel
from zelvora_analytics_utils.utils.dump import safe_loads_yaml, valid_dumps_yaml


# --- enumerations ----------------------------------------------------------------------


def test_enumerations_members_in_order():
    assert [(m.name, m.value) for m in SampleType] == [(n, n) for n in ["TRAIN", "VALID", "TEST", "OOT", "CV"]]
    assert [(m.name, m.value) for m in PerformanceMetrics] == [
        ("AUC", "AUC"),
        ("GINI", "GINI"),
        ("LIFT", "LIFT"),
        ("KS", "KS"),
        ("TAU", "TAR"),
        ("RHO", "RHO"),
        ("ACCURACY", "ACCURACY"),
    ]


def test_metrics_are_found_by_value():
    assert PerformanceMetrics("TAR") is PerformanceMetrics.TAU
    assert PerformanceMetrics.TAU == "TAR" and SampleType.OOT == "OOT"
    with pytest.raises(ValueError, match="'TAU' is not a valid PerformanceMetrics"):
        PerformanceMetrics("TAU")


# --- the record ------------------------------------------------------------------------


def test_record_shape():
    assert issubclass(SubsetPerformance, CoreModel)
    assert list(SubsetPerformance.model_fields) == ["sample", "target", "performance"]
    assert SubsetPerformance.__doc__ == (
        "Object containing information about performance metrics on given sample (train/valid/test/...)"
    )


def test_record_from_mapping_holds_members():
    record = SubsetPerformance.model_validate(
        {"sample": "OOT", "target": "default_12m", "performance": {"GINI": 0.45, "TAR": 0.3}}
    )
    assert record.sample is SampleType.OOT
    assert list(record.performance) == [PerformanceMetrics.GINI, PerformanceMetrics.TAU]
    assert all(type(key) is PerformanceMetrics for key in record.performance)
    assert record.performance[PerformanceMetrics.TAU] == 0.3


def test_members_are_accepted_as_well_as_value_texts():
    record = SubsetPerformance(sample=SampleType.CV, target="t", performance={PerformanceMetrics.KS: 1})
    assert record.performance == {PerformanceMetrics.KS: 1.0}
    assert type(record.performance[PerformanceMetrics.KS]) is float


@pytest.mark.parametrize(
    "data",
    [
        {"sample": "OOT", "target": "t", "performance": {"TAU": 0.3}},
        {"sample": "OOT", "target": "t", "performance": {"tau": 0.3}},
        {"sample": "OOT", "target": "t", "performance": {"gini": 0.3}},
        {"sample": "OOT", "target": "t", "performance": {"LIFT(10)": 0.3}},
        {"sample": "OOT", "target": "t", "performance": {"AUC": "high"}},
        {"sample": "oot", "target": "t"},
        {"sample": "TRAIN"},
        {"target": "t"},
        {"sample": "TRAIN", "target": "t", "weight": 1},
        {"sample": "TRAIN", "target": None},
    ],
    ids=[
        "TAU-is-a-name-not-a-value",
        "no-case-folding",
        "lower-case-key",
        "lift-form-not-a-key",
        "value-not-a-number",
        "lower-case-sample",
        "no-target",
        "no-sample",
        "unknown-key",
        "null-target",
    ],
)
def test_invalid_input_fails_validation(data):
    with pytest.raises(pydantic.ValidationError):
        SubsetPerformance.model_validate(data)


def test_performance_defaults_to_a_fresh_empty_mapping():
    a, b = SubsetPerformance(sample="TRAIN", target="t"), SubsetPerformance(sample="TRAIN", target="t")
    a.performance[PerformanceMetrics.AUC] = 0.7
    assert b.performance == {}
    assert b.model_dump(exclude_defaults=True) == {"sample": SampleType.TRAIN, "target": "t"}


# --- YAML output -----------------------------------------------------------------------


def test_yaml_output_sorts_keys_by_value_text_and_rounds():
    record = SubsetPerformance.model_validate(
        {
            "sample": "VALID",
            "target": "bad",
            "performance": {"RHO": 0.1 + 0.2, "TAR": 1 / 3, "AUC": 0.8, "KS": math.inf},
        }
    )
    assert valid_dumps_yaml(record) == (
        "performance:\n  AUC: 0.8\n  KS: .inf\n  RHO: 0.3\n  TAR: 0.333333333333\nsample: VALID\ntarget: bad\n"
    )


def test_yaml_output_leaves_out_empty_performance_and_reads_back():
    record = SubsetPerformance(sample="TEST", target="true")
    text = valid_dumps_yaml(record)
    assert text == "sample: TEST\ntarget: 'true'\n"
    assert SubsetPerformance.model_validate(safe_loads_yaml(text)) == record


# --- query views ------------------------------------------------------------------------

SAMPLES = [
    SubsetPerformance.model_validate(
        {"sample": "OOT", "target": "bad", "performance": {"GINI": 0.45, "TAR": 0.3, "AUC": 0.725}}
    ),
    SubsetPerformance(sample="TRAIN", target="bad"),
]


@strawberry.type
class Query:
    @strawberry.field
    def samples(self) -> list[SubsetPerformanceType]:
        return SAMPLES

    @strawberry.field
    def built_view(self) -> SubsetPerformanceType:
        return SubsetPerformanceType.from_pydantic(SAMPLES[0])


SCHEMA = strawberry.Schema(query=Query)
QUERY = "{ samples { sample target performance { metric value } } }"
EXPECTED = {
    "samples": [
        {
            "sample": "OOT",
            "target": "bad",
            "performance": [
                {"metric": "GINI", "value": 0.45},
                {"metric": "TAU", "value": 0.3},
                {"metric": "AUC", "value": 0.725},
            ],
        },
        {"sample": "TRAIN", "target": "bad", "performance": []},
    ]
}


def test_performance_entries_through_a_query(execute):
    result = execute(SCHEMA, QUERY)
    assert result.errors is None
    assert result.data == EXPECTED


def test_view_built_from_a_record_computes_its_entries():
    result = SCHEMA.execute_sync("{ builtView { sample performance { metric } } }")
    assert result.errors is None
    assert result.data["builtView"] == {
        "sample": "OOT",
        "performance": [{"metric": "GINI"}, {"metric": "TAU"}, {"metric": "AUC"}],
    }


def test_schema_types():
    sdl = SCHEMA.as_str()
    assert "enum SampleType {\n  TRAIN\n  VALID\n  TEST\n  OOT\n  CV\n}" in sdl
    assert "enum PerformanceMetrics {\n  AUC\n  GINI\n  LIFT\n  KS\n  TAU\n  RHO\n  ACCURACY\n}" in sdl
    entry = sdl.split("type SubsetPerformancePerformanceType {")[1].split("}")[0]
    assert sorted(re.findall(r"(\w+): (\S+)", entry)) == [("metric", "PerformanceMetrics!"), ("value", "Float!")]
    view = sdl.split("type SubsetPerformanceType {")[1].split("}")[0]
    assert sorted(re.findall(r"(\w+): (\S+)", view)) == [
        ("performance", "[SubsetPerformancePerformanceType!]!"),
        ("sample", "SampleType!"),
        ("target", "String!"),
    ]


def test_performance_entry_is_a_plain_query_type():
    entry = SubsetPerformancePerformanceType(metric=PerformanceMetrics.KS, value=0.5)
    assert (entry.metric, entry.value) == (PerformanceMetrics.KS, 0.5)
    assert not hasattr(SubsetPerformancePerformanceType, "from_pydantic")


def test_module_publishes_its_names():
    for name in [
        "SampleType",
        "PerformanceMetrics",
        "SubsetPerformance",
        "SubsetPerformancePerformanceType",
        "SubsetPerformanceType",
    ]:
        assert getattr(sp, name).__module__ == sp.__name__


def test_schema_describes_the_view_and_its_computed_field():
    sdl = SCHEMA.as_str()
    assert '"""The metric values measured on one sample for one target."""\ntype SubsetPerformanceType' in sdl
    assert '"""The metric values, one entry per metric."""\n  performance:' in sdl
