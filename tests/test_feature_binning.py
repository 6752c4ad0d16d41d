import math

import pydantic
from hypothesis import given
from hypothesis import strategies as st
import pytest
import strawberry
from structlog.testing import capture_logs

from zelvora_analytics_utils.predictive_models.feature_preprocessing import feature_binning as fb
from zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_binning import (
    AttributeBinCategorical,
    AttributeBinNumerical,
    AttributeDataType,
    FeatureBinning,
    FeatureBinningType,
    PredictiveModelBinName,
)

from builders import INF, binning, cat, num

LOGGER = "zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_binning"


def numeric(bins, attribute="age"):
    return binning(bins, attribute)


ORDINARY = [num(2, -INF, 0.5, 1.0), num(3, 0.5, 10, 2.0), num(4, 10, INF, 3.0)]
NULL_BIN = num(1, name="1_null", value=-1.0)


def hit(name, value=0.0):
    return num(0, name=name, value=value)


# --- enumerations and records ---------------------------------------------------------


def test_enumerations_are_text_valued():
    assert [m.value for m in AttributeDataType] == ["CATEGORICAL", "NUMERICAL"]
    assert [(m.name, m.value) for m in PredictiveModelBinName] == [
        ("DEFAULT", "0_default"),
        ("DEFINED_DEFAULT", "0_defined_default"),
        ("SYSTEM_DEFAULT", "0_system_default"),
        ("NULL", "1_null"),
    ]
    assert PredictiveModelBinName.NULL == "1_null" and AttributeDataType.NUMERICAL == "NUMERICAL"


def test_field_order():
    base = ["name", "value", "frequency", "target_rate", "id"]
    assert list(fb.AbstractAttributeBin.model_fields) == base
    assert list(AttributeBinNumerical.model_fields) == base + ["type", "lower_bound", "upper_bound"]
    assert list(AttributeBinCategorical.model_fields) == base + ["type", "categories"]


@pytest.mark.parametrize(
    "lower, upper, id, name",
    [
        (-INF, 0.5, 2, "2_(-inf;0.500)"),
        (0.5, 10, 3, "3_(0.500;10)"),
        (10, INF, 4, "4_(10;inf)"),
        (-2.5, 0.005, 5, "5_(-2.50E+00;5.00E-03)"),
        (0.01, 0.011, 6, "6_(1.00E-02;0.011)"),
    ],
)
def test_numerical_bin_generates_name_and_kind(lower, upper, id, name):
    bin = AttributeBinNumerical(id=id, lower_bound=lower, upper_bound=upper)
    assert bin.name == name and bin.type is AttributeDataType.NUMERICAL


def test_numerical_name_rules():
    with pytest.raises(pydantic.ValidationError, match="name"):
        AttributeBinNumerical(name=None, id=2, lower_bound=1, upper_bound=2)
    with pytest.raises(pydantic.ValidationError, match="name"):
        AttributeBinNumerical(id=2, lower_bound=1)
    with pytest.raises(KeyError, match="id"):
        AttributeBinNumerical(lower_bound=1, upper_bound=2)
    assert AttributeBinNumerical(name="kept", id=2, lower_bound=1, upper_bound=2).name == "kept"


@pytest.mark.parametrize(
    "categories, name",
    [
        (["A", "B"], "2_{A,B}"),
        (None, "2_{None}"),
        ([], "2_{}"),
        (["x" * 50], "2_{" + "x" * 50 + "}"),
        (["x" * 51], "2_{" + "x" * 47 + "...}"),
        (["é" * 60], "2_{" + "é" * 47 + "...}"),
        (["a" * 25, "b" * 25], "2_{" + "a" * 25 + "," + "b" * 21 + "...}"),
    ],
)
def test_categorical_bin_generates_name(categories, name):
    assert AttributeBinCategorical(id=2, categories=categories).name == name
    assert AttributeBinCategorical(id=2, categories=categories, name=None).name == name


def test_categorical_name_rules():
    assert AttributeBinCategorical(id=2, categories=["A"], name="given").name == "given"
    with pytest.raises(KeyError, match="id"):
        AttributeBinCategorical(categories=["A"])
    with pytest.raises(pydantic.ValidationError):
        AttributeBinCategorical(id=2, categories=[1])


def test_kind_fill_overrides_the_callers_type():
    assert AttributeBinNumerical(id=2, name="n", type="CATEGORICAL").type is AttributeDataType.NUMERICAL
    assert AttributeBinCategorical(id=2, type="NUMERICAL").type is AttributeDataType.CATEGORICAL


def test_bin_input_mapping_is_not_changed():
    data = {"id": 2, "lower_bound": 0, "upper_bound": 1}
    AttributeBinNumerical.model_validate(data)
    assert data == {"id": 2, "lower_bound": 0, "upper_bound": 1}


def test_binning_validates_bins_as_tagged_union():
    binning = FeatureBinning.model_validate(
        {
            "attribute": "a",
            "attribute_data_type": "CATEGORICAL",
            "feature_binning": [
                {"type": "CATEGORICAL", "id": 2, "categories": ["A", "B"]},
                {"type": AttributeDataType.NUMERICAL, "id": 3, "lower_bound": 0.5, "upper_bound": 10},
            ],
        }
    )
    assert [type(b) for b in binning.feature_binning] == [AttributeBinCategorical, AttributeBinNumerical]
    assert [b.name for b in binning.feature_binning] == ["2_{A,B}", "3_(0.500;10)"]
    dumped = binning.model_dump()["feature_binning"]
    assert [d["type"] for d in dumped] == ["CATEGORICAL", "NUMERICAL"]


@pytest.mark.parametrize("bad", [{"id": 2, "name": "x"}, {"id": 2, "name": "x", "type": "OTHER"}])
def test_bin_without_usable_type_is_rejected(bad):
    with pytest.raises(pydantic.ValidationError):
        FeatureBinning.model_validate(
            {"attribute": "a", "attribute_data_type": "NUMERICAL", "feature_binning": [bad]}
        )


def test_binnings_do_not_share_lists():
    first = FeatureBinning(attribute="a", attribute_data_type="NUMERICAL")
    second = FeatureBinning(attribute="a", attribute_data_type="NUMERICAL")
    first.feature_binning.append(AttributeBinNumerical(id=1, name="n"))
    assert second.feature_binning == []


@pytest.mark.parametrize(
    "number, text",
    [
        (-INF, "-inf"),
        (INF, "inf"),
        (10.0, "10"),
        (-3.0, "-3"),
        (1e20, "1" + "0" * 20),
        (7, "7"),
        (10**30, "1" + "0" * 30),
        (-0.0, "0"),
        (0.5, "0.500"),
        (0.011, "0.011"),
        (123.25, "123.250"),
        (0.0105, "0.011"),
        (0.005, "5.00E-03"),
        (0.01, "1.00E-02"),
        (-0.5, "-5.00E-01"),
        (-2.5, "-2.50E+00"),
        (1e-300, "1.00E-300"),
        (math.nan, "NAN"),
    ],
)
def test_number_formatting(number, text):
    assert AttributeBinNumerical._get_number_formatting(number) == text


# --- the binning engine --------------------------------------------------------------


@pytest.mark.parametrize(
    "value, expected",
    [
        (0.5, 1.0),
        (0.5000001, 2.0),
        (10, 2.0),
        (10.0001, 3.0),
        (-1e300, 1.0),
        ("2.5", 2.0),
        (None, -1.0),
        (math.nan, -1.0),
        (True, 2.0),
    ],
)
def test_numeric_lookup(value, expected):
    assert numeric(ORDINARY + [NULL_BIN, hit("0_default")]).bin_numeric_attribute(value) == expected


def test_numeric_text_that_is_no_number_fails():
    with pytest.raises(ValueError):
        numeric(ORDINARY).bin_numeric_attribute("abc")


@pytest.mark.parametrize(
    "bins, level",
    [
        ([hit("0_default", 9.0)], "warning"),
        ([hit("0_system_default", 9.0)], "warning"),
        ([hit("0_defined_default", 9.0)], "debug"),
        ([hit("0_defined_default", 9.0), hit("0_system_default", 7.0)], "debug"),
        ([hit("0_system_default", 9.0), hit("0_defined_default", 7.0)], "warning"),
    ],
)
def test_catch_all_hit_is_logged(bins, level):
    binning = numeric([num(2, 0, 1, 1.0)] + bins)
    with capture_logs() as logs:
        assert binning.bin_numeric_attribute(5) == 9.0
    assert logs == [
        {
            "event": "Predictive model hit default value when processing binning of attribute 'age' with value '5.0'.",
            "log_level": level,
        }
    ]


@pytest.mark.parametrize(
    "value, shown",
    [(None, "nan"), (math.nan, "nan"), (1e-05, "1e-05"), (1e16, "1e+16"), (1234.5, "1234.5"), (-INF, "-inf")],
)
def test_missing_value_without_null_bin_goes_to_catch_all(value, shown):
    binning = numeric([num(2, 1e20, 1e21, 1.0), hit("0_default", 9.0)])
    with capture_logs() as logs:
        assert binning.bin_numeric_attribute(value) == 9.0
    assert logs[0]["event"].endswith(f"with value '{shown}'.")


def test_no_catch_all_returns_none_silently():
    with capture_logs() as logs:
        assert numeric([num(2, 0, 1, 1.0)]).bin_numeric_attribute(5) is None
        assert numeric([num(2, 0, 1, 1.0)]).bin_numeric_attribute(None) is None
    assert logs == []


def test_lookup_order_and_reserved_bins():
    overlapping = numeric([num(2, 0, 10, 1.0), num(3, 0, 5, 2.0)])
    assert overlapping.bin_numeric_attribute(3) == 1.0
    reserved = numeric([num(1, -INF, INF, 5.0, name="1_null"), num(0, -INF, INF, 6.0, name="0_default")])
    with capture_logs():
        assert reserved.bin_numeric_attribute(3) == 6.0
    assert reserved.bin_numeric_attribute(None) == 5.0


def test_null_bin_value_may_be_none():
    assert numeric([num(1, name="1_null"), hit("0_default", 9.0)]).bin_numeric_attribute(None) is None


def test_missing_bounds_fail_only_when_reached():
    binning = numeric([num(2, 0, 1, 1.0), num(3, name="broken"), num(4, 5, name="open")])
    assert binning.bin_numeric_attribute(0.5) == 1.0
    with pytest.raises(TypeError, match="'<' not supported"):
        binning.bin_numeric_attribute(3)
    binning.feature_binning[1].lower_bound = 10
    with pytest.raises(TypeError, match="'<=' not supported"):
        binning.bin_numeric_attribute(6)
    assert binning.bin_numeric_attribute(4) is None


def test_numeric_lookup_skips_categorical_bins():
    binning = numeric([cat(2, ["1"], 1.0), num(3, 0, 10, 2.0)])
    assert binning.bin_numeric_attribute(1) == 2.0


def test_lookup_sees_assigned_fields():
    binning = numeric([num(2, 0, 1, 1.0)])
    binning.feature_binning[0].value = 4.0
    binning.feature_binning[0].upper_bound = 100
    assert binning.bin_numeric_attribute(50) == 4.0


def categoric():
    return FeatureBinning.model_validate(
        {
            "attribute": "colour",
            "attribute_data_type": "CATEGORICAL",
            "feature_binning": [
                cat(2, ["red", "blue"], 1.0),
                cat(3, ["NaN", "red"], 2.0),
                num(4, -INF, INF, 7.0),
                cat(1, None, -1.0, name="1_null"),
                cat(0, None, 0.0, name="0_system_default"),
            ],
        }
    )


@pytest.mark.parametrize(
    "value, expected",
    [("red", 1.0), ("blue", 1.0), ("NaN", 2.0), ("nan", -1.0), (None, -1.0), (PredictiveModelBinName.NULL, 0.0)],
)
def test_categoric_lookup(value, expected):
    with capture_logs():
        assert categoric().bin_categoric_attribute(value) == expected


@pytest.mark.parametrize("value, shown", [("Red", "Red"), (" red", " red"), ("Nan", "Nan")])
def test_categoric_unforeseen_value_is_logged(value, shown):
    with capture_logs() as logs:
        assert categoric().bin_categoric_attribute(value) == 0.0
    assert logs == [
        {
            "event": f"Predictive model hit default value when processing binning of attribute 'colour' with value '{shown}'.",
            "log_level": "warning",
        }
    ]


def test_categoric_missing_without_null_bin_shows_none():
    binning = FeatureBinning(
        attribute="c",
        attribute_data_type="CATEGORICAL",
        feature_binning=[AttributeBinCategorical(id=0, name="0_defined_default", value=3.0)],
    )
    with capture_logs() as logs:
        assert binning.bin_categoric_attribute(None) == 3.0
    assert logs[0] == {
        "event": "Predictive model hit default value when processing binning of attribute 'c' with value 'None'.",
        "log_level": "debug",
    }


@pytest.mark.parametrize("value, given", [(5, "int"), (2.5, "float"), (b"red", "bytes"), (["red"], "list")])
def test_categoric_value_must_be_text(value, given):
    with pytest.raises(TypeError) as error:
        categoric().bin_categoric_attribute(value)
    assert str(error.value) == f"Argument 'value' has incorrect type (expected str, got {given})"


def test_categoric_bin_without_categories_fails_when_reached():
    binning = FeatureBinning(
        attribute="c",
        attribute_data_type="CATEGORICAL",
        feature_binning=[AttributeBinCategorical(id=2, categories=["a"], value=1.0), AttributeBinCategorical(id=3)],
    )
    assert binning.bin_categoric_attribute("a") == 1.0
    with pytest.raises(TypeError, match="not iterable"):
        binning.bin_categoric_attribute("b")


def test_lookup_accepts_keyword_argument():
    assert numeric(ORDINARY).bin_numeric_attribute(value=0.1) == 1.0
    assert categoric().bin_categoric_attribute(value="red") == 1.0


# --- query views ---------------------------------------------------------------------


@strawberry.type
class Query:
    @strawberry.field
    def binning(self) -> FeatureBinningType:
        return FeatureBinning.model_validate(
            {
                "attribute": "mixed",
                "attribute_data_type": "NUMERICAL",
                "feature_binning": [
                    num(2, -10, 0.5, 1.0),
                    cat(3, ["A", "B"], 2.0),
                    num(4, 10, 20, 3.0),
                    num(1, name="1_null"),
                ],
            }
        )


SCHEMA = strawberry.Schema(query=Query)
QUERY = """{
  binning {
    attribute
    featureBinning {
      __typename
      ... on AttributeBinNumericalType { name id value type lowerBound upperBound formattedLowerBound formattedUpperBound }
      ... on AttributeBinCategoricalType { name id value type categories frequency targetRate }
    }
  }
}"""


def test_binning_view_shows_each_bin_through_its_own_kind():
    result = SCHEMA.execute_sync(QUERY)
    assert result.errors is None
    bins = result.data["binning"]["featureBinning"]
    assert result.data["binning"]["attribute"] == "mixed"
    assert [b["__typename"] for b in bins] == [
        "AttributeBinNumericalType",
        "AttributeBinCategoricalType",
        "AttributeBinNumericalType",
        "AttributeBinNumericalType",
    ]
    assert bins[0] == {
        "__typename": "AttributeBinNumericalType",
        "name": "2_(-10;0.500)",
        "id": 2,
        "value": 1.0,
        "type": "NUMERICAL",
        "lowerBound": -10.0,
        "upperBound": 0.5,
        "formattedLowerBound": "-10",
        "formattedUpperBound": "0.500",
    }
    assert bins[1]["type"] == "CATEGORICAL" and bins[1]["categories"] == ["A", "B"]
    assert bins[3]["formattedLowerBound"] is None and bins[3]["formattedUpperBound"] is None


def test_schema_publishes_the_views():
    sdl = SCHEMA.as_str()
    # Described by their docs: the enumeration's, and the record's for a view without one.
    assert '"""Kind of an attribute\'s values."""\nenum AttributeDataType {\n  CATEGORICAL\n  NUMERICAL\n}' in sdl
    assert f'"""{FeatureBinning.__doc__}"""\ntype FeatureBinningType {{' in sdl
    assert "PredictiveModelBinName" not in sdl
    binning_type = sdl.split("type FeatureBinningType {")[1].split("}")[0]
    assert "attributeDataType" not in binning_type and "binnedAttributeName" not in binning_type
    assert "featureBinning: [AttributeBinType!]!" in binning_type


def bin_schema(shown):
    """A schema whose field `bin` shows `shown` (a record or a view) as a numerical bin."""

    @strawberry.type
    class BinQuery:
        @strawberry.field
        def bin(self) -> fb.AttributeBinNumericalType:
            return shown

    return strawberry.Schema(query=BinQuery)


def test_view_built_from_record_resolves_computed_fields():
    record = AttributeBinNumerical(id=2, lower_bound=-INF, upper_bound=0.5)
    view = fb.AttributeBinNumericalType.from_pydantic(record)
    result = bin_schema(view).execute_sync("{ bin { name formattedLowerBound type } }")
    assert result.errors is None
    assert result.data["bin"] == {"name": "2_(-inf;0.500)", "formattedLowerBound": "-inf", "type": "NUMERICAL"}


@pytest.mark.parametrize(
    "lower, upper, shown",
    [
        (-INF, 0.5, [None, 0.5, "-inf", "0.500"]),
        (10, INF, [10.0, None, "10", "inf"]),
        (-INF, INF, [None, None, "-inf", "inf"]),
        (math.nan, 1, [None, 1.0, "NAN", "1"]),
    ],
)
def test_infinite_and_nan_bounds_show_as_null(lower, upper, shown, caplog):
    schema = bin_schema(AttributeBinNumerical(id=2, name="b", lower_bound=lower, upper_bound=upper))
    result = schema.execute_sync("{ bin { lowerBound upperBound formattedLowerBound formattedUpperBound } }")
    assert result.errors is None and not caplog.records
    assert list(result.data["bin"].values()) == shown
    assert "lowerBound: Float\n" in schema.as_str() and "null when infinite or NaN" in schema.as_str()


@given(st.floats(allow_nan=False) | st.sampled_from([5.0, 1e-05, 1e16, 1e15 + 0.5, 123456789012345680.0, -0.0]))
def test_log_message_shows_the_host_float_text(x):
    binning = numeric([hit("0_default", 9.0)])
    with capture_logs() as logs:
        binning.bin_numeric_attribute(x)
    assert logs[0]["event"].endswith(f"with value '{x!r}'.")


@given(st.floats(allow_nan=False, allow_infinity=False))
def test_number_formatting_matches_host_rules_for_any_float(x):
    if x.is_integer():
        expected = str(int(x))
    elif x * 100 > 1:
        expected = f"{x:.3f}"
    else:
        expected = f"{x:.2E}"
    assert AttributeBinNumerical._get_number_formatting(x) == expected


@pytest.mark.parametrize(
    "categories, value, found",
    [
        (["é", "ü", "日本"], "日本", True),
        (["é", "ü"], "e", False),
        ([PredictiveModelBinName.DEFAULT, 3, "x"], "0_default", True),
        ([PredictiveModelBinName.DEFAULT, 3, "x"], "x", True),
        ([PredictiveModelBinName.DEFAULT, 3, "x"], "3", False),
        (("a", "b"), "b", True),
        ({"a", "b"}, "a", True),
    ],
)
def test_categories_hold_values_by_text_equality(categories, value, found):
    bin = AttributeBinCategorical(id=2, value=1.0)
    bin.categories = categories
    binning = FeatureBinning(attribute="c", attribute_data_type="CATEGORICAL", feature_binning=[bin])
    assert binning.bin_categoric_attribute(value) == (1.0 if found else None)


def test_module_logger_is_named_after_the_module():
    assert fb.logger._logger_factory_args == (LOGGER,)


# --- JSON through the records' own methods ---------------------------------------------


def test_json_of_the_record_methods_keeps_infinite_bounds_and_nan_values():
    import json

    from zelvora_analytics_utils.utils.dump import safe_dumps_json

    binning = numeric([num(2, -INF, 0.5, math.nan), num(3, 0.5, INF, 2.0), NULL_BIN])
    text = binning.model_dump_json()
    # Written as Python's json module and safe_dumps_json write them.
    bounds_of = lambda document: [(b.get("lower_bound"), b.get("upper_bound")) for b in json.loads(document)["feature_binning"]]  # fmt: skip
    assert bounds_of(text) == bounds_of(safe_dumps_json(binning)) == [(-INF, 0.5), (0.5, INF), (None, None)]
    assert '"lower_bound":-Infinity' in text and '"upper_bound":Infinity' in text and '"value":NaN' in text
    loaded = FeatureBinning.model_validate_json(text)
    bounds = [(b.lower_bound, b.upper_bound) for b in loaded.feature_binning]
    assert bounds == [(-INF, 0.5), (0.5, INF), (None, None)]
    assert math.isnan(loaded.feature_binning[0].value)
    with capture_logs():
        assert loaded.bin_numeric_attribute(100) == 2.0
        assert math.isnan(loaded.bin_numeric_attribute(-100))
    assert loaded.model_dump_json() == text


# --- single lookups follow every change between calls --------------------------------------

NAMES = ["a", "b", "1_null", "0_default", "0_defined_default"]
BOUNDS = [-INF, 0.0, 1.0, 2.0, INF, None, math.nan, 1]
TEXTS = ["x", "y", "z"]
PROBES = [None, math.nan, -1.0, 0.0, 0.5, 1.0, 1.5, 2.0, 3.0, "x", "y", "z", "w", "nan"]

bin_data = st.one_of(
    st.builds(num, st.integers(2, 9), st.sampled_from(BOUNDS), st.sampled_from(BOUNDS), st.floats(0, 9), st.sampled_from(NAMES)),
    st.builds(cat, st.integers(2, 9), st.none() | st.lists(st.sampled_from(TEXTS), max_size=3), st.floats(0, 9), st.sampled_from(NAMES)),
)


def outcome(binning, value):
    """The lookup's result, or its error, for a value of either kind."""
    lookup = binning.bin_numeric_attribute if not isinstance(value, str) else binning.bin_categoric_attribute
    try:
        return lookup(value)
    except TypeError as error:
        return str(error)


def change(data, binning):
    """One change of the binning, its bins or their categories, made between lookups."""
    bins = binning.feature_binning
    new_bin = lambda: binning_of([data.draw(bin_data)]).feature_binning[0]
    target = data.draw(st.sampled_from(bins)) if bins else None
    kind = data.draw(st.sampled_from(["field", "categories", "list", "replace", "reinit"]))
    if kind == "field" and target is not None:
        field = data.draw(st.sampled_from(["name", "value", "lower_bound", "upper_bound", "categories"]))
        pick = {"name": NAMES, "value": [0.5, 7.0], "categories": [None, ["x"], ["y", "z"]]}.get(field, BOUNDS)
        if field in type(target).model_fields:
            setattr(target, field, data.draw(st.sampled_from(pick)))
    elif kind == "categories" and getattr(target, "categories", None) is not None:
        edit = data.draw(st.sampled_from(["append", "set", "clear"]))
        if edit == "append":
            target.categories.append(data.draw(st.sampled_from(TEXTS)))
        elif edit == "set" and target.categories:
            target.categories[0] = data.draw(st.sampled_from(TEXTS))
        else:
            target.categories.clear()
    elif kind == "list":
        if data.draw(st.booleans()) or not bins:
            bins.insert(data.draw(st.integers(0, len(bins))), new_bin())
        else:
            del bins[data.draw(st.integers(0, len(bins) - 1))]
    elif kind == "replace":
        binning.feature_binning = [new_bin() for _ in range(data.draw(st.integers(0, 3)))]
    elif kind == "reinit":  # a new __dict__, set around the assignment count
        fresh = new_bin() if target is None or data.draw(st.booleans()) else target
        if target is not None and type(fresh) is type(target):
            target.__init__(**fresh.model_dump())
        else:
            binning.__init__(**binning.model_dump() | {"feature_binning": [fresh]})


def binning_of(bins):
    return FeatureBinning.model_validate({"attribute": "a", "attribute_data_type": "NUMERICAL", "feature_binning": bins})


@given(st.lists(bin_data, max_size=6), st.data())
def test_single_lookups_follow_every_change(bins, data):
    binning = binning_of(bins)
    with capture_logs():
        for _ in range(6):
            # The reference reads the same bins and keeps nothing (a tuple is never compiled).
            reference = FeatureBinning.model_construct(attribute="a", feature_binning=tuple(binning.feature_binning))
            for value in PROBES:
                assert outcome(binning, value) == outcome(reference, value), value
            change(data, binning)
