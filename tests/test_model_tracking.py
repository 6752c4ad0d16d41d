from collections import Counter
import math

from hypothesis import given, settings
from hypothesis import strategies as st
import pydantic
import pytest
import strawberry
from structlog.testing import capture_logs

from zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_binning import (
    AttributeBinCategorical,
    AttributeBinNumerical,
    AttributeDataType,
    FeatureBinning,
)
from zelvora_analytics_utils.predictive_models.model_tracking import model_tracking as mt
from zelvora_analytics_utils.predictive_models.model_tracking.model_tracking import (
    PredictiveModelTracking,
    PredictiveModelTrackingType,
)
from zelvora_analytics_utils.utils.core_model import CoreModel
from zelvora_analytics_utils.utils.dump import safe_loads_yaml, valid_dumps_yaml

from builders import INF, binning, cat, num, numpy_stability_index

NAN = math.nan


def name_of(bin):
    return None if bin is None else bin.name


INTERVALS = [num(2, -INF, 0.5), num(3, 0.5, 10), num(4, 10, INF)]
NULL = num(1, name="1_null")
DEFAULT = num(0, name="0_default")
NUMERIC = binning(INTERVALS + [NULL, DEFAULT])


def numerical_bin(binning, value):
    return name_of(PredictiveModelTracking._get_numerical_bin(binning=binning, value=value))


def categorical_bin(binning, value):
    return name_of(PredictiveModelTracking._get_categorical_bin(binning=binning, value=value))


# --- record and view -----------------------------------------------------------------


def test_record_declaration():
    assert issubclass(PredictiveModelTracking, CoreModel)
    assert PredictiveModelTracking.__doc__ == "Object holding data needed for models monitoring."
    assert list(PredictiveModelTracking.model_fields) == ["binning", "predictive_model_output_binning"]
    first, second = PredictiveModelTracking(), PredictiveModelTracking()
    first.binning.append(NUMERIC)
    assert second.binning == [] and second.predictive_model_output_binning is None
    assert PredictiveModelTracking().model_dump(exclude_defaults=True) == {}


def test_plain_data_and_yaml_round_trip():
    data = {
        "binning": [
            {"attribute": "age", "attribute_data_type": "NUMERICAL", "feature_binning": [num(2, -INF, 3.5), NULL]},
            {"attribute": "region", "attribute_data_type": "CATEGORICAL", "feature_binning": [cat(2, ["n", "s"])]},
        ],
        "predictive_model_output_binning": {"attribute": "score", "attribute_data_type": "NUMERICAL"},
    }
    tracking = PredictiveModelTracking.model_validate(data)
    assert [b.name for b in tracking.binning[0].feature_binning] == ["2_(-inf;3.500)", "1_null"]
    assert tracking.binning[1].feature_binning[0].name == "2_{n,s}"
    assert isinstance(tracking.predictive_model_output_binning, FeatureBinning)
    assert PredictiveModelTracking.model_validate(safe_loads_yaml(valid_dumps_yaml(tracking))) == tracking


@pytest.mark.parametrize(
    "data",
    [{"binnings": []}, {"binning": {"attribute": "a"}}, {"binning": [{"attribute": "a"}]}, {"predictive_model_output_binning": 3}],
)
def test_invalid_plain_data_is_rejected(data):
    with pytest.raises(pydantic.ValidationError):
        PredictiveModelTracking.model_validate(data)


@strawberry.type
class Query:
    @strawberry.field
    def tracking(self) -> PredictiveModelTrackingType:
        return PredictiveModelTracking(
            binning=[NUMERIC, binning([cat(2, ["x"])], attribute="c", data_type="CATEGORICAL")],
            predictive_model_output_binning=binning([num(2, 0, 1)], attribute="score"),
        )

    @strawberry.field
    def built(self) -> PredictiveModelTrackingType:
        return PredictiveModelTrackingType.from_pydantic(PredictiveModelTracking(binning=[NUMERIC]))

    @strawberry.field
    def empty(self) -> PredictiveModelTrackingType:
        return PredictiveModelTracking()


SCHEMA = strawberry.Schema(query=Query)


def test_view_shows_binnings_through_the_binning_view():
    result = SCHEMA.execute_sync(
        """{
          tracking {
            binning { attribute featureBinning { __typename ... on AttributeBinNumericalType { name formattedUpperBound } } }
            predictiveModelOutputBinning { attribute featureBinning { ... on AttributeBinNumericalType { name } } }
          }
          built { binning { featureBinning { ... on AttributeBinNumericalType { name } } } }
          empty { binning { attribute } predictiveModelOutputBinning { attribute } }
        }"""
    )
    assert result.errors is None, result.errors
    tracking = result.data["tracking"]
    assert [b["attribute"] for b in tracking["binning"]] == ["a", "c"]
    assert [b.get("name") for b in tracking["binning"][0]["featureBinning"]] == [
        "2_(-inf;0.500)", "3_(0.500;10)", "4_(10;inf)", "1_null", "0_default"]
    assert tracking["binning"][0]["featureBinning"][1]["formattedUpperBound"] == "10"
    assert tracking["binning"][1]["featureBinning"] == [{"__typename": "AttributeBinCategoricalType"}]
    assert tracking["predictiveModelOutputBinning"] == {"attribute": "score", "featureBinning": [{"name": "2_(0;1)"}]}
    assert len(result.data["built"]["binning"][0]["featureBinning"]) == 5
    assert result.data["empty"] == {"binning": [], "predictiveModelOutputBinning": None}


def test_view_schema():
    view = SCHEMA.as_str().split("type PredictiveModelTrackingType {")[1].split("}")[0]
    assert view.split() == ["binning:", "[FeatureBinningType!]!", "predictiveModelOutputBinning:", "FeatureBinningType"]


# --- numerical lookup ------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, expected",
    [
        (0.5, "2_(-inf;0.500)"),
        (0.5000001, "3_(0.500;10)"),
        (10.0, "3_(0.500;10)"),
        (10.0001, "4_(10;inf)"),
        (INF, "4_(10;inf)"),
        (-1e300, "2_(-inf;0.500)"),
        (-INF, "0_default"),
        (None, "1_null"),
        (NAN, "1_null"),
    ],
)
def test_numerical_lookup(value, expected):
    assert numerical_bin(NUMERIC, value) == expected


@pytest.mark.parametrize(
    "bins, expected",
    [
        (INTERVALS + [DEFAULT], "0_default"),
        (INTERVALS + [num(0, name="0_system_default"), DEFAULT], "0_system_default"),
        (INTERVALS + [num(0, name="0_defined_default"), DEFAULT], "0_defined_default"),
        (INTERVALS + [cat(0, name="0_default")], "0_default"),
        (INTERVALS, None),
    ],
)
def test_missing_value_without_null_bin(bins, expected):
    for value in (None, NAN):
        assert numerical_bin(binning(bins), value) == expected


@pytest.mark.parametrize(
    "bins, value, expected",
    [
        # a bin lacking a bound is skipped, never an error
        ([num(2, 0, None, name="open"), num(3, 0, 10)], 5.0, "3_(0;10)"),
        ([num(2, None, 10, name="open"), num(3, 0, 10)], 5.0, "3_(0;10)"),
        ([num(2, None, None, name="open"), DEFAULT], 5.0, "0_default"),
        # reserved names take part in the interval test, first in list order wins
        ([num(1, 0, 10, name="1_null"), num(3, 0, 10)], 5.0, "1_null"),
        ([num(0, 0, 10, name="0_default"), num(3, 0, 10)], 5.0, "0_default"),
        ([num(2, 0, 10), num(3, 5, 10)], 7.0, "2_(0;10)"),
        # categorical bins never match by interval; a catch-all of either kind does
        ([cat(2, ["5.0"]), cat(0, name="0_defined_default")], 5.0, "0_defined_default"),
        ([cat(1, name="1_null"), DEFAULT], None, "1_null"),
        ([], 1.0, None),
        ([], None, None),
    ],
)
def test_numerical_lookup_policy(bins, value, expected):
    assert numerical_bin(binning(bins), value) == expected


@pytest.mark.parametrize("value, given", [(1, "int"), (True, "bool"), ("2.5", "str"), ([1.0], "list")])
def test_numerical_value_must_be_float(value, given):
    with pytest.raises(TypeError, match=rf"^Argument 'value' has incorrect type \(expected float, got {given}\)$"):
        PredictiveModelTracking._get_numerical_bin(binning=NUMERIC, value=value)


class Measured(float):
    pass


@pytest.mark.parametrize("value, expected", [(Measured(3.0), "3_(0.500;10)"), (Measured("nan"), "1_null")])
def test_numerical_value_may_be_a_float_subclass(value, expected):
    assert numerical_bin(NUMERIC, value) == expected


# --- categorical lookup ----------------------------------------------------------------

CATEGORIC = binning(
    [cat(2, ["A", "B"]), cat(3, ["C", "A"]), cat(1, name="1_null"), cat(0, name="0_defined_default")],
    data_type="CATEGORICAL",
)


@pytest.mark.parametrize(
    "value, expected",
    [
        ("C", "3_{C,A}"),
        ("A", "2_{A,B}"),
        ("Z", "0_defined_default"),
        ("nan", "1_null"),
        (NAN, "1_null"),
        (None, "1_null"),
        ("NaN", "0_defined_default"),
        ("a", "0_defined_default"),
        ("A ", "0_defined_default"),
        (2.5, "0_defined_default"),
        (5, "0_defined_default"),
    ],
)
def test_categorical_lookup(value, expected):
    assert categorical_bin(CATEGORIC, value) == expected


@pytest.mark.parametrize(
    "bins, value, expected",
    [
        ([cat(2, None), cat(3, []), cat(4, ["x"])], "x", "4_{x}"),
        ([cat(2, ["5"]), DEFAULT], 5, "0_default"),
        ([cat(2, ["5"]), DEFAULT], 5.0, "0_default"),
        ([cat(0, ["x"], name="0_default"), cat(2, ["x"])], "x", "0_default"),
        ([cat(1, ["x"], name="1_null"), cat(2, ["x"])], "x", "1_null"),
        ([num(2, 0, 10, name="x"), cat(3, ["y"]), num(0, name="0_system_default")], "x", "0_system_default"),
        ([num(1, name="1_null")], "nan", "1_null"),
        ([cat(2, ["A"])], None, None),
        ([cat(2, ["A"])], "B", None),
    ],
)
def test_categorical_lookup_policy(bins, value, expected):
    assert categorical_bin(binning(bins, data_type="CATEGORICAL"), value) == expected


def test_lookups_log_nothing():
    with capture_logs() as logs:
        assert numerical_bin(NUMERIC, -INF) == "0_default"
        assert categorical_bin(CATEGORIC, "Z") == "0_defined_default"
    assert logs == []


def test_lookup_returns_the_bin_held_in_the_binning():
    bin = PredictiveModelTracking._get_numerical_bin(binning=NUMERIC, value=3.0)
    assert bin is NUMERIC.feature_binning[1] and isinstance(bin, AttributeBinNumerical)
    bin = PredictiveModelTracking._get_categorical_bin(binning=CATEGORIC, value="B")
    assert bin is CATEGORIC.feature_binning[0] and isinstance(bin, AttributeBinCategorical)


def test_lookup_sees_fields_assigned_after_validation():
    tracked = binning([num(2, 0, 10), num(3, 10, 20)])
    tracked.feature_binning[0].upper_bound = 5
    tracked.feature_binning[1].name = "1_null"
    assert numerical_bin(tracked, 7.0) is None
    assert numerical_bin(tracked, None) == "1_null"


@pytest.mark.parametrize("lookup", ["_get_numerical_bin", "_get_categorical_bin"])
def test_binning_argument_must_be_a_binning(lookup):
    with pytest.raises(TypeError, match=r"^Argument 'binning' has incorrect type \(expected FeatureBinning, got dict\)$"):
        getattr(PredictiveModelTracking, lookup)(binning={"feature_binning": []}, value=None)


# --- through the record ----------------------------------------------------------------


def tracking_of(*binnings, output=None):
    return PredictiveModelTracking(binning=list(binnings), predictive_model_output_binning=output)


def test_several_binnings_of_one_attribute():
    first = binning([num(2, 0, 10)], attribute="age")
    other = binning([num(2, 0, 10)], attribute="income")
    later = binning([num(7, 0, 10)], attribute="age")
    tracking = tracking_of(first, other, later)
    assert tracking.feature_binning_exists("age") and tracking.feature_binning_exists("income")
    assert name_of(tracking.get_feature_binning("age", AttributeDataType.NUMERICAL, 5.0)) == "7_(0;10)"
    binnings = tracking.binning
    tracking.remove_feature_binning("age")
    assert tracking.binning is binnings and binnings == [other]
    assert not tracking.feature_binning_exists("age")
    assert tracking.get_feature_binning("age", "NUMERICAL", 5.0) is None


@pytest.mark.parametrize("attribute", ["Age", "age ", "", "score"])
def test_unknown_attribute(attribute):
    output = binning([num(2, 0, 10)], attribute="score")
    tracking = tracking_of(binning([num(2, 0, 10)], attribute="age"), output=output)
    before = list(tracking.binning)
    assert not tracking.feature_binning_exists(attribute)
    assert tracking.get_feature_binning(attribute, "NUMERICAL", 5.0) is None
    assert tracking.get_feature_binning(attribute, "NUMERICAL", 5) is None
    tracking.remove_feature_binning(attribute)
    assert tracking.binning == before and tracking.predictive_model_output_binning is output


def test_removing_the_output_attribute_leaves_the_output_binning():
    output = binning([], attribute="score")
    tracking = tracking_of(binning([], attribute="score"), output=output)
    tracking.remove_feature_binning("score")
    assert tracking.binning == [] and tracking.predictive_model_output_binning is output


@pytest.mark.parametrize(
    "data_type, value, expected",
    [
        (AttributeDataType.NUMERICAL, 3.0, "3_(0.500;10)"),
        ("NUMERICAL", None, "1_null"),
        (AttributeDataType.CATEGORICAL, "x", "0_default"),
        ("CATEGORICAL", "nan", "1_null"),
        ("numerical", 3.0, None),
        (None, 3.0, None),
        (1, 3.0, None),
    ],
)
def test_data_type_comes_from_the_caller(data_type, value, expected):
    # the binning says CATEGORICAL; the caller's data type chooses the lookup
    mislabelled = binning(INTERVALS + [NULL, DEFAULT], data_type="CATEGORICAL")
    tracking = tracking_of(mislabelled)
    found = tracking.get_feature_binning("a", data_type, value)
    assert name_of(found) == expected
    if found is not None:
        assert any(found is bin for bin in mislabelled.feature_binning)


def test_integer_value_of_a_numerical_attribute_is_a_type_error():
    tracking = tracking_of(NUMERIC)
    with pytest.raises(TypeError, match=r"^Argument 'value' has incorrect type \(expected float, got int\)$"):
        tracking.get_feature_binning("a", "NUMERICAL", 3)
    assert name_of(tracking.get_feature_binning("a", "CATEGORICAL", 3)) == "0_default"


@pytest.mark.parametrize(
    "call",
    [
        lambda t, a: t.feature_binning_exists(a),
        lambda t, a: t.remove_feature_binning(a),
        lambda t, a: t.get_feature_binning(a, "NUMERICAL", 1.0),
        lambda t, a: t.get_feature_binning(attribute=a, attribute_dtype="NUMERICAL", attribute_value=1.0),
    ],
    ids=["exists", "remove", "get", "get by keywords"],
)
@pytest.mark.parametrize("attribute, given", [(1, "int"), (None, "NoneType"), (b"a", "bytes")])
def test_attribute_must_be_text(call, attribute, given):
    tracking = tracking_of(NUMERIC)
    with pytest.raises(TypeError, match=rf"^Argument 'attribute' has incorrect type \(expected str, got {given}\)$"):
        call(tracking, attribute)
    assert tracking.binning == [NUMERIC]


@pytest.mark.parametrize(
    "data_type, lookup", [("NUMERICAL", "_get_numerical_bin"), ("CATEGORICAL", "_get_categorical_bin")]
)
def test_get_feature_binning_calls_the_class_lookup_by_keywords(monkeypatch, data_type, lookup):
    calls = []

    def spy(cls, *args, **kwargs):
        calls.append((cls, args, kwargs))
        return "found"

    monkeypatch.setattr(PredictiveModelTracking, lookup, classmethod(spy))
    tracking = tracking_of(NUMERIC)
    assert tracking.get_feature_binning("a", data_type, "v") == "found"
    assert calls == [(PredictiveModelTracking, (), {"binning": NUMERIC, "value": "v"})]


# --- Python code running during a lookup -------------------------------------------------


def test_bins_replaced_while_a_lookup_reads_them(run_python):
    # A bin's name (a property here) and a value's == run Python code that empties the
    # lists the lookup walks; the lookup must not read freed bins or categories.
    result = run_python(
        """
        from zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_binning import FeatureBinning
        from zelvora_analytics_utils.predictive_models.model_tracking.model_tracking import PredictiveModelTracking as T

        def binning(bins, kind):
            return FeatureBinning.model_validate({"attribute": "a", "attribute_data_type": kind, "feature_binning": bins})

        class Emptying:
            @property
            def name(self):
                target.feature_binning.clear()
                return "0_default"

        for kind, lookup, bins, value in [
            ("NUMERICAL", T._get_numerical_bin, [{"type": "NUMERICAL", "id": i, "lower_bound": 0, "upper_bound": 1}
                                                 for i in range(2, 50)], None),
            ("CATEGORICAL", T._get_categorical_bin, [{"type": "CATEGORICAL", "id": i, "categories": [str(i)]}
                                                     for i in range(2, 50)], "nan"),
        ]:
            target = binning(bins, kind)
            target.feature_binning.insert(0, Emptying())
            print(type(lookup(binning=target, value=value)).__name__)

        class Clearing(str):
            def __eq__(self, other):
                categories.clear()
                return False
            __hash__ = str.__hash__

        target = binning([{"type": "CATEGORICAL", "id": 2, "categories": ["x"] * 40}], "CATEGORICAL")
        categories = target.feature_binning[0].categories
        print(T._get_categorical_bin(binning=target, value=Clearing("y")))
        """
    )
    assert result.returncode == 0, result.stderr
    # the lookups read the bin list as it was when they were called
    assert result.stdout.split() == ["Emptying", "Emptying", "None"]
    assert "leaked" not in result.stderr


def test_views_and_lookups_leave_no_leak_at_exit(run_python):
    result = run_python(
        """
        import strawberry
        from zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_transformation import (
            FeatureTransformation, FeatureTransformationType)
        from zelvora_analytics_utils.predictive_models.model_tracking.model_tracking import (
            PredictiveModelTracking, PredictiveModelTrackingType)


        tracking = PredictiveModelTracking.model_validate({"binning": [{
            "attribute": "a", "attribute_data_type": "NUMERICAL",
            "feature_binning": [{"type": "NUMERICAL", "id": 2, "lower_bound": 0, "upper_bound": 1}]}]})
        assert tracking.get_feature_binning("a", "NUMERICAL", 0.5).id == 2

        @strawberry.type
        class Query:
            @strawberry.field
            def tracking(self) -> PredictiveModelTrackingType:
                return tracking

            @strawberry.field
            def transformation(self) -> FeatureTransformationType:
                return FeatureTransformation(attribute="a", transformation="a + 1")

        result = strawberry.Schema(query=Query).execute_sync(
            "{ tracking { binning { featureBinning { ... on AttributeBinNumericalType { formattedLowerBound } } } }"
            " transformation { transformation } }")
        assert result.errors is None, result.errors
        print(result.data["transformation"]["transformation"])
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "a + 1"
    assert "leaked" not in result.stderr


# --- monitoring whole columns ----------------------------------------------------------

np = pytest.importorskip("numpy")
RESERVED = ["1_null", "0_default", "0_defined_default", "b"]  # "b": a name two bins may share


@st.composite
def monitored_binnings(draw, data_type):
    bins = []
    for id in range(draw(st.integers(0, 6))):
        name = draw(st.none() | st.sampled_from(RESERVED))
        if data_type == "NUMERICAL":
            lower, upper = sorted(draw(st.lists(st.integers(-5, 5), min_size=2, max_size=2)))
            lower = draw(st.sampled_from([lower, -INF, None]))
            bins.append(num(id, lower, upper, name=name or (None if lower is not None else "open")))
        else:
            bins.append(cat(id, draw(st.none() | st.lists(st.sampled_from(["A", "B", "nan", "2.0"]))), name=name))
    return binning(bins, data_type=data_type)


NUMBERS = st.floats(-7, 7, width=16) | st.sampled_from([NAN, INF, -INF])
CATEGORIES = st.none() | st.sampled_from(["A", "B", "C", "nan", "é", NAN, 2.0])


def counted_one_by_one(tracking, data_type, values):
    counts = {bin.name: 0 for bin in tracking.binning[-1].feature_binning} | {None: 0}
    for value in values:
        counts[name_of(tracking.get_feature_binning("a", data_type, value))] += 1
    return counts


@pytest.mark.parametrize("data_type", ["NUMERICAL", "CATEGORICAL"])
@pytest.mark.parametrize("as_array", [False, True], ids=["list", "numpy"])
@settings(max_examples=80, deadline=None)
@given(data=st.data())
def test_bin_counts_count_what_get_feature_binning_finds(data, data_type, as_array):
    tracked = data.draw(monitored_binnings(data_type))
    tracking = tracking_of(binning([num(9, 0, 1)]), tracked)
    values = data.draw(st.lists(NUMBERS if data_type == "NUMERICAL" else CATEGORIES, max_size=30))
    column = np.array(values, dtype=float if data_type == "NUMERICAL" else object) if as_array else values
    counts = tracking.bin_counts("a", data_type, column)
    assert counts == counted_one_by_one(tracking, data_type, values)
    assert list(counts) == list(dict.fromkeys([b.name for b in tracked.feature_binning] + [None]))


def column_kinds():
    pd, pa, pl = (pytest.importorskip(name) for name in ("pandas", "pyarrow", "polars"))
    return [tuple, np.array, pd.Series, pa.array, pl.Series, lambda v: pa.chunked_array([v[:2], v[2:]])]


@pytest.mark.parametrize(
    "data_type, values",
    [("NUMERICAL", [3.0, None, 20.0, -1.0, 3.5]), ("CATEGORICAL", ["C", None, "Z", "A", "nan"])],
)
def test_bin_counts_take_every_column_kind(data_type, values):
    tracking = tracking_of(NUMERIC if data_type == "NUMERICAL" else CATEGORIC)
    expected = counted_one_by_one(tracking, data_type, values)
    for kind in column_kinds():
        assert tracking.bin_counts("a", data_type, kind(values)) == expected, kind


@pytest.mark.parametrize(
    "attribute, data_type, expected",
    [
        ("other", "NUMERICAL", {None: 3}),
        ("a", "numerical", {name: 0 for name in ("2_(-inf;0.500)", "3_(0.500;10)", "4_(10;inf)", "1_null", "0_default")}
         | {None: 3}),
        ("a", "NUMERICAL", {"2_(-inf;0.500)": 1, "3_(0.500;10)": 0, "4_(10;inf)": 1, "1_null": 1, "0_default": 0, None: 0}),
    ],
)
def test_bin_counts_without_a_lookup(attribute, data_type, expected):
    with capture_logs() as logs:
        assert tracking_of(NUMERIC).bin_counts(attribute, data_type, np.array([0.0, np.nan, 11])) == expected
    assert logs == []


@pytest.mark.parametrize(
    "values, error, message",
    [
        ("3.0", TypeError, r"Argument 'values' has incorrect type \(expected array, got str\)"),
        (["3.0"], TypeError, r"Argument 'values' has incorrect type \(expected float, got str\)"),
        (np.zeros((2, 2)), ValueError, "bin_counts takes a one-dimensional array, not 2 dimensions"),
    ],
)
def test_bin_counts_refuse_what_is_no_column_of_numbers(values, error, message):
    with pytest.raises(error, match=message):
        tracking_of(NUMERIC).bin_counts("a", "NUMERICAL", values)


def with_frequencies(*frequencies, names=None):
    names = names or [f"b{k}" for k in range(len(frequencies))]
    return binning([num(k, k, k + 1, name=n) | {"frequency": f} for k, (n, f) in enumerate(zip(names, frequencies))])


@pytest.mark.parametrize(
    "frequencies, counts, expected_shares, actual_counts",
    [
        ([0.2, 0.3, 0.5], {"b0": 20, "b1": 30, "b2": 50}, [0.2, 0.3, 0.5], [20, 30, 50]),
        ([0.2, 0.3, 0.5], {"b0": 70, "b2": 5, None: 900, "x": 4}, [0.2, 0.3, 0.5], [70, 0, 5]),
        ([1, 0, None, 3], {"b0": 0, "b1": 8, "b2": 99, "b3": 2}, [1, 0, 3], [0, 8, 2]),
        ([0.5, 0.5], {}, [0.5, 0.5], [0, 0]),
        ([0.1, 0.2, 0.7], Counter(b0=np.int64(3), b1=5, b2=1), [0.1, 0.2, 0.7], [3, 5, 1]),
    ],
)
def test_stability_index_against_numpy(frequencies, counts, expected_shares, actual_counts):
    tracking = tracking_of(with_frequencies(*frequencies))
    psi = tracking.stability_index("a", "NUMERICAL", counts)
    assert psi == pytest.approx(numpy_stability_index(expected_shares, actual_counts), rel=1e-12)


def test_stability_index_of_bins_with_equal_names_adds_their_frequencies():
    tracking = tracking_of(with_frequencies(0.1, 0.3, 0.6, names=["b", "c", "b"]))
    values = np.array([0.5, 1.5, 2.5, 2.5])
    counts = tracking.bin_counts("a", "NUMERICAL", values)
    assert counts == {"b": 3, "c": 1, None: 0}
    psi = tracking.stability_index("a", "NUMERICAL", counts)
    assert psi == pytest.approx(numpy_stability_index([0.7, 0.3], [3, 1]))


@pytest.mark.parametrize(
    "tracking, counts, error, message",
    [
        (tracking_of(NUMERIC), {}, ValueError, "no bin of attribute 'a' has a frequency"),
        (tracking_of(), {}, ValueError, "no binning of attribute 'a'"),
        (tracking_of(with_frequencies(1.0)), {"b0": -1}, ValueError, "the count of 'b0' is negative: -1"),
        (tracking_of(with_frequencies(1.0)), {"b0": 1.0}, TypeError, "the count of 'b0' must be an int, not float"),
        (tracking_of(with_frequencies(1.0)), {None: True}, TypeError, "the count of None must be an int, not bool"),
        (tracking_of(with_frequencies(1.0)), [("b0", 1)], TypeError, r"Argument 'counts' has incorrect type"),
        (tracking_of(with_frequencies(-1.0, 2.0)), {}, ValueError, "frequencies of attribute 'a' must be finite"),
    ],
)
def test_stability_index_errors(tracking, counts, error, message):
    with pytest.raises(error, match=message):
        tracking.stability_index("a", "NUMERICAL", counts)


def test_partition_counts_add_up_to_the_whole():
    tracking = tracking_of(with_frequencies(0.2, 0.8))
    values = np.linspace(-1, 3, 1001)
    parts = [tracking.bin_counts("a", "NUMERICAL", part) for part in np.array_split(values, 4)]
    total = PredictiveModelTracking.add_bin_counts(*parts)
    assert total == tracking.bin_counts("a", "NUMERICAL", values) and list(total) == ["b0", "b1", None]
    assert PredictiveModelTracking.add_bin_counts({"b1": 0}, {"x": 2, "b1": np.int64(1)}) == {"b1": 1, "x": 2}
    assert PredictiveModelTracking.add_bin_counts() == {}
    with pytest.raises(ValueError, match="the count of 'x' is negative"):
        PredictiveModelTracking.add_bin_counts({"x": 1}, {"x": -1})
