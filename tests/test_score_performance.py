"""Model performance, the metric text rule and the raw-input check: score_performance."""

import types

import pydantic
import pytest
import strawberry
from hypothesis import example, given
from hypothesis import strategies as st

from zelvora_analytics_utils.predictive_models.score_performance import score_performance as sc
from zelvora_analytics_utils.predictive_models.score_performance.score_performance import (
    PredictiveScorePerformance,
    PredictiveScorePerformanceType,
)
from zelvora_analytics_utils.predictive_models.score_performance.subset_performance import (
    PerformanceMetrics,
    SampleType,
    SubsetPerformance,
)
from zelvora_analytics_utils.utils.core_model import CoreModel
from zelvora_analytics_utils.utils.dump import safe_loads_yaml, valid_dumps_yaml

M = PerformanceMetrics
rule = PredictiveScorePerformance.validate_performance_metric_str


# --- the metric text rule --------------------------------------------------------------

RULE_CASES = [
    ("auc", M.AUC),
    ("Auc", M.AUC),
    ("AUC", M.AUC),
    ("gini", M.GINI),
    ("lift", M.LIFT),
    ("LIFT(10)", M.LIFT),
    ("lift(5%)", M.LIFT),
    ("Lift(", M.LIFT),
    ("lift(x) trailing text", M.LIFT),
    ("ks", M.KS),
    ("tar", M.TAU),
    ("TAR", M.TAU),
    ("rho", M.RHO),
    ("accuracy", M.ACCURACY),
    ("l\u0131ft(3)", M.LIFT),  # dotless i upper-cases to I
    ("g\u0131n\u0131", M.GINI),
    ("tau", ValueError),
    ("TAU", ValueError),
    ("LIFT 10", ValueError),
    ("LIFT (10)", ValueError),
    ("LIFT10", ValueError),
    (" auc", ValueError),
    ("auc ", ValueError),
    ("", ValueError),
    ("(LIFT(", ValueError),
    ("AUC_", ValueError),
    (5, TypeError),
    (0.5, TypeError),
    (None, TypeError),
    (b"AUC", TypeError),
    (SampleType.TRAIN, TypeError),
    (["auc"], TypeError),
    (M.TAU, M.TAU),
]


class Text(str):
    pass



def reference_rule(metric):
    """An independent reading of the rule."""
    if not isinstance(metric, str) or (isinstance(metric, SampleType)):
        raise TypeError
    upper = metric.upper()
    if upper.startswith("LIFT("):
        return M.LIFT
    for member in M:
        if member.value == upper:
            return member
    raise ValueError


@pytest.mark.parametrize("metric, expected", RULE_CASES, ids=[repr(c[0]) for c in RULE_CASES])
def test_metric_text_rule(metric, expected):
    if isinstance(expected, type):
        with pytest.raises(expected):
            rule(metric)
    else:
        assert rule(metric) is expected


@pytest.mark.parametrize("metric", ["tau", "LIFT10", ""])
def test_unknown_text_is_the_enumeration_value_error(metric):
    with pytest.raises(ValueError, match=f"^'{metric.upper()}' is not a valid PerformanceMetrics$"):
        rule(metric)


@pytest.mark.parametrize("metric, got", [(5, "int"), (None, "NoneType"), (SampleType.OOT, "SampleType")])
def test_non_text_is_the_argument_type_error(metric, got):
    with pytest.raises(TypeError) as error:
        rule(metric)
    assert str(error.value) == f"Argument 'metric' has incorrect type (expected str, got {got})"


def test_rule_by_name_and_on_own_members():
    assert rule(metric="tar") is M.TAU
    assert sc.PredictiveScorePerformance.validate_performance_metric_str("Gini") is M.GINI
    assert [rule(member) for member in M] == list(M)
    assert rule(Text("Lift(20)")) is M.LIFT


@given(st.text(alphabet=st.sampled_from("aucginlftkrhoyAUCGINLFTKRHOY()%1 \u0131\u00df"), max_size=9))
@example("lift(")
@example("accuracy")
def test_rule_matches_an_independent_reading(metric):
    try:
        expected = reference_rule(metric)
    except ValueError:
        with pytest.raises(ValueError):
            rule(metric)
    else:
        assert rule(metric) is expected


# --- the raw-input check and the record ------------------------------------------------


def test_record_shape():
    assert issubclass(PredictiveScorePerformance, CoreModel)
    assert list(PredictiveScorePerformance.model_fields) == ["subset_performance", "performance_metrics"]
    assert PredictiveScorePerformance.__doc__ == (
        "Object to store information about models performance on development sample."
    )


def test_texts_become_members_and_caller_mapping_is_converted_in_place():
    original = ["auc", M.KS, "gini", "Lift(10%)", "auc", M.KS]
    data = {"performance_metrics": original}
    record = PredictiveScorePerformance.model_validate(data)
    expected = [M.AUC, M.KS, M.GINI, M.LIFT, M.AUC, M.KS]
    assert record.performance_metrics == expected
    assert all(type(m) is M for m in record.performance_metrics)
    assert data["performance_metrics"] == expected and type(data["performance_metrics"][0]) is M
    assert original == ["auc", M.KS, "gini", "Lift(10%)", "auc", M.KS]  # a new list is stored


def test_check_is_a_class_level_operation_returning_the_same_input():
    data = {"performance_metrics": ("tar",), "subset_performance": []}
    assert PredictiveScorePerformance.validate_performance_metrics(data) is data
    assert data == {"performance_metrics": [M.TAU], "subset_performance": []}


def test_input_without_metrics_is_untouched():
    data = {"subset_performance": [{"sample": "TRAIN", "target": "t"}]}
    record = PredictiveScorePerformance.model_validate(data)
    assert record.performance_metrics == []
    assert data == {"subset_performance": [{"sample": "TRAIN", "target": "t"}]}


def test_construction_by_field_names_converts_texts():
    assert PredictiveScorePerformance(performance_metrics=["tar"]).performance_metrics == [M.TAU]


@pytest.mark.parametrize("metrics", [["tau"], ["auc", "LIFT 10", "gini"], "auc"])
def test_unknown_text_is_a_validation_error_and_input_keeps_its_list(metrics):
    data = {"performance_metrics": metrics}
    with pytest.raises(pydantic.ValidationError, match="is not a valid PerformanceMetrics") as error:
        PredictiveScorePerformance.model_validate(data)
    assert error.value.title == "PredictiveScorePerformance"
    assert data["performance_metrics"] is metrics


@pytest.mark.parametrize(
    "metrics, message",
    [
        (["auc", 5], "Argument 'metric' has incorrect type"),
        ([None], "Argument 'metric' has incorrect type"),
        (5, "not iterable"),
        (None, "not iterable"),
    ],
)
def test_non_text_items_and_non_lists_reach_the_caller_as_type_errors(metrics, message):
    data = {"performance_metrics": metrics}
    with pytest.raises(TypeError, match=message):
        PredictiveScorePerformance.model_validate(data)
    assert data["performance_metrics"] is metrics


@pytest.mark.parametrize("data", [None, 5, "performance_metrics", ["performance_metrics"]])
def test_input_that_is_no_mapping_is_a_validation_error(data):
    with pytest.raises(pydantic.ValidationError):
        PredictiveScorePerformance.model_validate(data)


def test_read_only_mapping_is_validated_through_a_converted_copy():
    data = types.MappingProxyType({"performance_metrics": ["rho"]})
    assert PredictiveScorePerformance.model_validate(data).performance_metrics == [M.RHO]
    assert data["performance_metrics"] == ["rho"]


def test_lift_form_is_not_accepted_as_a_subset_performance_key():
    with pytest.raises(pydantic.ValidationError):
        PredictiveScorePerformance.model_validate(
            {"subset_performance": [{"sample": "TEST", "target": "t", "performance": {"lift(10)": 1.2}}]}
        )


def test_defaults_are_fresh_empty_lists():
    a, b = PredictiveScorePerformance(), PredictiveScorePerformance()
    a.performance_metrics.append(M.AUC)
    assert b.performance_metrics == [] and b.subset_performance == []


# --- YAML output -----------------------------------------------------------------------


def test_yaml_output_writes_metric_values_and_drops_the_lift_depth():
    record = PredictiveScorePerformance.model_validate(
        {
            "performance_metrics": ["auc", "gini", "Lift(10%)", "tar"],
            "subset_performance": [
                {"sample": "TRAIN", "target": "bad", "performance": {"GINI": 0.5, "AUC": 0.75}},
                {"sample": "OOT", "target": "bad"},
            ],
        }
    )
    text = valid_dumps_yaml(record)
    assert text == (
        "performance_metrics:\n"
        "- AUC\n"
        "- GINI\n"
        "- LIFT\n"
        "- TAR\n"
        "subset_performance:\n"
        "- performance:\n"
        "    AUC: 0.75\n"
        "    GINI: 0.5\n"
        "  sample: TRAIN\n"
        "  target: bad\n"
        "- sample: OOT\n"
        "  target: bad\n"
    )
    assert PredictiveScorePerformance.model_validate(safe_loads_yaml(text)) == record


def test_yaml_output_of_an_empty_record_is_an_empty_mapping():
    assert valid_dumps_yaml(PredictiveScorePerformance()) == "{}\n"


# --- query views ------------------------------------------------------------------------

RECORD = PredictiveScorePerformance.model_validate(
    {
        "performance_metrics": ["tar", "auc", "tar"],
        "subset_performance": [
            {"sample": "OOT", "target": "bad_90", "performance": {"TAR": 0.3, "GINI": 0.45}},
            {"sample": "CV", "target": "bad_90"},
        ],
    }
)


@strawberry.type
class Query:
    @strawberry.field
    def performance(self) -> PredictiveScorePerformanceType:
        return RECORD


SCHEMA = strawberry.Schema(query=Query)
QUERY = "{ performance { performanceMetrics subsetPerformance { sample target performance { metric value } } } }"
EXPECTED = {
    "performance": {
        "performanceMetrics": ["TAU", "AUC", "TAU"],
        "subsetPerformance": [
            {
                "sample": "OOT",
                "target": "bad_90",
                "performance": [{"metric": "TAU", "value": 0.3}, {"metric": "GINI", "value": 0.45}],
            },
            {"sample": "CV", "target": "bad_90", "performance": []},
        ],
    }
}


def test_view_through_a_query(execute):
    result = execute(SCHEMA, QUERY)
    assert result.errors is None
    assert result.data == EXPECTED


def test_view_is_published_with_mirrored_fields():
    sdl = SCHEMA.as_str()
    view = sdl.split("type PredictiveScorePerformanceType {")[1].split("}")[0]
    assert "subsetPerformance: [SubsetPerformanceType!]!" in view
    assert "performanceMetrics: [PerformanceMetrics!]!" in view
    assert PredictiveScorePerformanceType.__module__ == sc.__name__


def test_view_reflects_later_changes_to_the_record():
    record = PredictiveScorePerformance(subset_performance=[SubsetPerformance(sample="TEST", target="t")])

    @strawberry.type
    class ChangedQuery:
        @strawberry.field
        def performance(self) -> PredictiveScorePerformanceType:
            return record

    schema = strawberry.Schema(query=ChangedQuery)
    record.subset_performance[0].performance[M.KS] = 0.25
    result = schema.execute_sync("{ performance { subsetPerformance { performance { metric value } } } }")
    assert result.errors is None
    assert result.data["performance"]["subsetPerformance"][0]["performance"] == [{"metric": "KS", "value": 0.25}]


def test_no_leak_reported_at_exit(run_python):
    result = run_python(
        """
        import asyncio, strawberry
        from zelvora_analytics_utils.predictive_models.score_performance import score_performance as sc

        record = sc.PredictiveScorePerformance.model_validate({
            "performance_metrics": ["auc", "lift(5)"],
            "subset_performance": [{"sample": "TEST", "target": "t", "performance": {"KS": 0.4}}],
        })

        @strawberry.type
        class Query:
            @strawberry.field
            def performance(self) -> sc.PredictiveScorePerformanceType:
                return record

        schema = strawberry.Schema(query=Query)
        query = "{ performance { performanceMetrics subsetPerformance { performance { metric value } } } }"
        assert schema.execute_sync(query).errors is None
        assert asyncio.run(schema.execute(query)).errors is None
        try:
            sc.PredictiveScorePerformance.model_validate({"performance_metrics": ["tau"]})
        except ValueError:
            pass
        print("done")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "done\n"
    assert "leaked" not in result.stderr


def test_validation_error_kept_until_exit_is_released(run_python):
    # The error traces through the caller's frame, which holds the error: a cycle that
    # only a collector seeing into the error can free.
    result = run_python(
        """
        import pydantic
        from zelvora_analytics_utils.predictive_models.score_performance import score_performance as sc

        try:
            sc.PredictiveScorePerformance.model_validate({"performance_metrics": ["tau"]})
        except pydantic.ValidationError as error:
            kept = error
        print(kept.errors()[0]["type"])
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "value_error\n"
    assert "leaked" not in result.stderr
