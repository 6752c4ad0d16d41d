"""FeatureBinning.bin_array over every column kind, value by value against the single-value
operations; catch-all hits logged once per call; malformed input refused."""

import ctypes
import math

from hypothesis import given, settings
from hypothesis import strategies as st
import pytest
from structlog.testing import capture_logs

from zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_binning import (
    FeatureBinning,
)

np = pytest.importorskip("numpy")

INF = math.inf
NAMES = ["1_null", "0_default", "0_defined_default", "0_system_default", None]


def binning(kind, bins):
    return FeatureBinning.model_validate(
        {"attribute": "x", "attribute_data_type": kind, "feature_binning": bins}
    )


def reserved(draw, kind, id):
    name = draw(st.sampled_from(NAMES[:-1]))
    return {"type": kind, "id": id, "name": name, "value": draw(st.none() | st.floats(-9, 9))}


@st.composite
def numeric_binnings(draw):
    edges = sorted(draw(st.lists(st.integers(-50, 50), min_size=2, max_size=7, unique=True)))
    edges[0] = draw(st.sampled_from([edges[0], -INF]))
    bins = [
        {"type": "NUMERICAL", "id": k + 2, "lower_bound": lo, "upper_bound": hi,
         "value": draw(st.none() | st.floats(-9, 9))}
        for k, (lo, hi) in enumerate(zip(edges, edges[1:]))
    ]
    bins += [reserved(draw, "NUMERICAL", k) for k in range(draw(st.integers(0, 3)))]
    return binning("NUMERICAL", draw(st.permutations(bins)))


TEXTS = ["a", "b", "c", "", "nan", "é", "a b", "zz"]


@st.composite
def categoric_binnings(draw):
    groups = draw(st.lists(st.lists(st.sampled_from(TEXTS[:-1]), max_size=3), max_size=4))
    bins = [
        {"type": "CATEGORICAL", "id": k + 2, "categories": g,
         "value": draw(st.none() | st.floats(-9, 9))}
        for k, g in enumerate(groups)
    ]
    bins += [reserved(draw, "CATEGORICAL", k) for k in range(draw(st.integers(0, 3)))]
    return binning("CATEGORICAL", draw(st.permutations(bins)))


def as_result(value):
    return math.nan if value is None else value


def expected(single, values):
    """The single-value results and the number of catch-all hits they log."""
    with capture_logs() as logs:
        results = [as_result(single(v)) for v in values]
    return results, len(logs)


def check(binning_, single, column, values):
    want, hits = expected(single, values)
    with capture_logs() as logs:
        got = binning_.bin_array(column)
    assert got.dtype == np.float64 and got.shape == (len(values),)
    np.testing.assert_array_equal(got, np.array(want, dtype=np.float64))
    assert len(logs) == (1 if hits else 0)
    if hits:
        assert f"value {hits} time" in logs[0]["event"]


class Capsules:
    """Only the Arrow PyCapsule interface of a pyarrow array."""

    def __init__(self, array):
        self.array = array

    def __arrow_c_array__(self, requested_schema=None):
        return self.array.__arrow_c_array__()


def number_kinds():
    """name -> values (None or float) -> (column, the values as the column holds them)."""
    kinds = {
        "list": lambda v: (v, v),
        "tuple": lambda v: (tuple(v), v),
        "numpy": lambda v: (np.array([math.nan if x is None else x for x in v]), v),
        "numpy strided": lambda v: (np.repeat([math.nan if x is None else x for x in v], 2)[::2], v),
        "numpy float32": lambda v: (
            a := np.array([math.nan if x is None else x for x in v], np.float32), a.tolist()),
        "numpy int64": lambda v: (
            a := np.array([int(x) for x in v if x is not None and math.isfinite(x)], np.int64),
            a.tolist()),
        "numpy bool": lambda v: (a := np.array([x is not None and x > 0 for x in v]), a.tolist()),
    }
    if pd := _optional("pandas"):
        kinds["pandas"] = lambda v: (pd.Series(v, dtype=float), v)
        kinds["pandas Float64"] = lambda v: (pd.Series(v, dtype="Float64"), v)
        kinds["pandas Int64"] = lambda v: (
            pd.Series(w := [None if x is None or not math.isfinite(x) else int(x) for x in v],
                      dtype="Int64"), w)
        kinds["pandas boolean"] = lambda v: (
            pd.Series(w := [None if x is None else x > 0 for x in v], dtype="boolean"), w)
    if pa := _optional("pyarrow"):
        kinds["arrow"] = lambda v: (pa.array(v, pa.float64()), v)
        kinds["arrow int32"] = lambda v: (
            pa.array(w := [None if x is None or not math.isfinite(x) else int(x) for x in v],
                     pa.int32()), w)
        kinds["arrow float16"] = lambda v: (
            a := pa.array(np.array([math.nan if x is None else x for x in v], np.float16)),
            a.to_pylist())
        kinds["arrow chunked"] = lambda v: (pa.chunked_array([v[:3], v[3:]], pa.float64()), v)
        kinds["arrow sliced"] = lambda v: (pa.array([1.0] + v, pa.float64())[1:], v)
        kinds["capsules"] = lambda v: (Capsules(pa.array(v, pa.float64())), v)
        kinds["arrow dictionary"] = lambda v: (
            pa.array(v, pa.float64()).dictionary_encode(), v)
    if pl := _optional("polars"):
        kinds["polars"] = lambda v: (pl.Series(v, dtype=pl.Float64), v)
    return kinds


def text_kinds():
    kinds = {
        "list": lambda v: (v, v),
        "tuple": lambda v: (tuple(v), v),
        "numpy object": lambda v: (np.array(v, dtype=object), v),
        "numpy str": lambda v: (a := np.array([x for x in v if x is not None]), a.tolist()),
    }
    if pd := _optional("pandas"):
        kinds["pandas object"] = lambda v: (pd.Series(v, dtype=object), v)
        kinds["pandas string"] = lambda v: (pd.Series(v, dtype="string"), v)
        kinds["pandas category"] = lambda v: (pd.Series(v, dtype="category"), v)
        kinds["pandas NaN"] = lambda v: (pd.Series([math.nan if x is None else x for x in v]), v)
        kinds["pandas Index"] = lambda v: (pd.Index(v, dtype=object), v)
    if pa := _optional("pyarrow"):
        for name, type_ in [("string", pa.string()), ("large_string", pa.large_string()),
                            ("string_view", pa.string_view())]:
            kinds["arrow " + name] = lambda v, t=type_: (pa.array(v, t), v)
        kinds["arrow dictionary"] = lambda v: (pa.array(v).dictionary_encode(), v)
        kinds["arrow chunked"] = lambda v: (pa.chunked_array([v[:2], v[2:]], pa.string()), v)
    if pl := _optional("polars"):
        kinds["polars"] = lambda v: (pl.Series(v, dtype=pl.String), v)
        kinds["polars categorical"] = lambda v: (pl.Series(v, dtype=pl.Categorical), v)
    return kinds


def _optional(name):
    try:
        return __import__(name)
    except ImportError:
        return None


NUMBER_KINDS = number_kinds()
TEXT_KINDS = text_kinds()
numbers = st.lists(
    st.none()
    | st.floats(-1e4, 1e4)
    | st.sampled_from([INF, -INF, math.nan])
    | st.integers(-60, 60).map(float),
    max_size=12,
)


@pytest.mark.parametrize("kind", NUMBER_KINDS)
@settings(max_examples=60, deadline=None)
@given(numeric_binnings(), numbers)
def test_numbers_get_the_single_value_bin(kind, binning_, values):
    column, held = NUMBER_KINDS[kind](values)
    check(binning_, binning_.bin_numeric_attribute, column, held)


@pytest.mark.parametrize("kind", TEXT_KINDS)
@settings(max_examples=60, deadline=None)
@given(categoric_binnings(), st.lists(st.none() | st.sampled_from(TEXTS), max_size=12))
def test_texts_get_the_single_value_bin(kind, binning_, values):
    column, held = TEXT_KINDS[kind](values)
    check(binning_, binning_.bin_categoric_attribute, column, held)


SCORECARD = [
    {"type": "NUMERICAL", "id": 2, "lower_bound": -INF, "upper_bound": 0, "value": 1.0},
    {"type": "NUMERICAL", "id": 3, "lower_bound": 0, "upper_bound": 10, "value": 2.0},
    {"type": "NUMERICAL", "id": 0, "name": "0_default", "value": 9.0},
]


def test_catch_all_hits_are_logged_once_per_call_with_five_examples():
    with capture_logs() as logs:
        result = binning("NUMERICAL", SCORECARD).bin_array([11, 12, 12, 13, 14, 15, 16, 5])
    assert result.tolist() == [9.0] * 7 + [2.0]
    assert logs == [{
        "event": "Predictive model hit default value 7 times when processing binning of "
                 "attribute 'x' with values '11.0', '12.0', '13.0', '14.0', '15.0', ....",
        "log_level": "warning",
    }]


def categories(values):
    """A pandas category column whose categories include 20.0 whether or not used."""
    pd = pytest.importorskip("pandas")
    return pd.Series(pd.Categorical(values, categories=[-1.0, 0.5, 20.0]))


@pytest.mark.parametrize("container", [list, np.array, categories])
def test_an_incomplete_bin_raises_as_the_single_value_operation(container):
    open_bin = {"type": "NUMERICAL", "id": 3, "name": "open", "lower_bound": 10, "value": 2.0}
    b = binning("NUMERICAL", [SCORECARD[0], open_bin, SCORECARD[2]])
    with pytest.raises(TypeError) as single:
        b.bin_numeric_attribute(20.0)
    with pytest.raises(TypeError) as batch:
        b.bin_array(container([0.5, 20.0]))
    assert str(batch.value) == str(single.value)
    assert b.bin_array(container([-1.0, 0.5])).tolist() == [1.0, 9.0]


@pytest.mark.parametrize(
    "values, error, message",
    [
        ("abc", TypeError, r"Argument 'values' has incorrect type \(expected array, got str\)"),
        ({"a": 1}, TypeError, r"expected array, got dict"),
        (np.zeros((2, 2)), ValueError, "one-dimensional"),
    ],
)
def test_bad_input_is_refused(values, error, message):
    with pytest.raises(error, match=message):
        binning("NUMERICAL", SCORECARD).bin_array(values)


def test_unsupported_arrow_formats_are_named():
    pa = pytest.importorskip("pyarrow")
    with pytest.raises(ValueError, match="unsupported Arrow format 'z'"):
        binning("NUMERICAL", SCORECARD).bin_array(pa.array([b"x"]))


# --- malformed capsules ------------------------------------------------------------------


class ArrowSchema(ctypes.Structure):
    pass


class ArrowArray(ctypes.Structure):
    pass


SchemaRelease = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))
ArrayRelease = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))
ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p),
    ("flags", ctypes.c_int64), ("n_children", ctypes.c_int64), ("children", ctypes.c_void_p),
    ("dictionary", ctypes.c_void_p), ("release", SchemaRelease), ("private_data", ctypes.c_void_p),
]
ArrowArray._fields_ = [
    ("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64),
    ("buffers", ctypes.POINTER(ctypes.c_void_p)), ("children", ctypes.c_void_p),
    ("dictionary", ctypes.c_void_p), ("release", ArrayRelease), ("private_data", ctypes.c_void_p),
]
RELEASED = []  # what the release callbacks saw
release_schema = SchemaRelease(lambda s: RELEASED.append("schema") or setattr(s[0], "release", SchemaRelease()))
release_array = ArrayRelease(lambda a: RELEASED.append("array") or setattr(a[0], "release", ArrayRelease()))
capsule_new = ctypes.pythonapi.PyCapsule_New
capsule_new.restype = ctypes.py_object
capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]


class Handmade:
    def __init__(self, schema_name=b"arrow_schema", **array):
        self.data = (ctypes.c_double * 2)(1.0, 2.0)
        self.buffers = (ctypes.c_void_p * 2)(None, ctypes.addressof(self.data))
        self.schema = ArrowSchema(format=b"g", release=release_schema)
        fields = {"length": 2, "n_buffers": 2, "buffers": self.buffers, "release": release_array}
        self.array = ArrowArray(**{**fields, **array})
        self.schema_name = schema_name

    def __arrow_c_array__(self, requested_schema=None):
        return (capsule_new(ctypes.addressof(self.schema), self.schema_name, None),
                capsule_new(ctypes.addressof(self.array), b"arrow_array", None))


@pytest.mark.parametrize(
    "fields, message",
    [
        ({}, None),
        ({"release": ArrayRelease()}, "already released"),
        ({"length": -1}, "negative"),
        ({"offset": -1}, "negative"),
        ({"n_buffers": 1}, "too few buffers"),
        ({"buffers": None}, "without buffers"),
        ({"null_count": 1}, "no validity buffer"),
        ({"schema_name": b"other"}, "PyCapsule named 'arrow_schema'"),
    ],
)
def test_malformed_capsules_are_refused_and_every_struct_released(fields, message):
    RELEASED.clear()
    column = Handmade(**fields)
    b = binning("NUMERICAL", SCORECARD)
    if message is None:
        assert b.bin_array(column).tolist() == [2.0, 2.0]
    else:
        with pytest.raises(ValueError, match=message):
            b.bin_array(column)
    # A capsule of the wrong name is not consumed (nor the array after it); a released
    # struct is not released again.
    released = [] if "schema_name" in fields else ["schema"] if "release" in fields else [
        "schema", "array"]
    assert sorted(RELEASED) == sorted(released)


# --- frames ------------------------------------------------------------------------------


def preprocessing():
    from zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_preprocessing import (
        FeaturePreprocessing,
    )

    return FeaturePreprocessing(binning=FeaturePreprocessing.add_feature_binning({
        "age": {"dtype": "NUMERICAL", "bins": [-INF, 30, INF], "bin_vals": [-0.4, 0.3],
                "binned_attribute_name": "age_woe"},
        "city": {"dtype": "CATEGORICAL", "bins": [["A"], ["B"]], "bin_vals": [0.1, -0.2]},
        "absent": {"dtype": "NUMERICAL", "bins": [0, 1], "bin_vals": [1.0]},
    }))


COLUMNS = {"age": [25.0, 40.0, None], "city": ["A", None, "B"], "other": [1, 2, 3]}
BINNED = {"age_woe": [-0.4, 0.3, 0.0], "city": [0.1, 0.0, -0.2]}


def read_pandas(result):
    assert result.index.tolist() == [7, 8, 9]  # the input's index
    return result.to_dict("list")


def frame_kinds():
    kinds = {"mapping": (lambda c: c, lambda r: {k: v.tolist() for k, v in r.items()})}
    if pd := _optional("pandas"):
        kinds["pandas"] = (lambda c: pd.DataFrame(c, index=[7, 8, 9]), read_pandas)
    if pl := _optional("polars"):
        kinds["polars"] = (pl.DataFrame, lambda r: r.to_dict(as_series=False))
    if pa := _optional("pyarrow"):
        kinds["pyarrow"] = (pa.table, lambda r: r.to_pydict())
    return kinds


FRAME_KINDS = frame_kinds()


@pytest.mark.parametrize("kind", FRAME_KINDS)
@pytest.mark.parametrize("attributes, expected", [
    (None, BINNED), (["city"], {"city": BINNED["city"]}), (("age",), {"age_woe": BINNED["age_woe"]}),
])
def test_frames_give_the_binned_columns_in_their_own_kind(kind, attributes, expected):
    make, read = FRAME_KINDS[kind]
    result = preprocessing().apply_feature_binning_frame(make(COLUMNS), attributes)
    assert read(result) == expected


@pytest.mark.parametrize("frame, attributes, error, message", [
    (COLUMNS, ["absent"], KeyError, "'absent'"),
    (COLUMNS, ["other"], KeyError, "'other'"),
    ({"age": ["x"]}, None, ValueError, "Binning attribute age: could not convert string"),
    ([1, 2], None, TypeError, r"Argument 'frame' has incorrect type"),
    (COLUMNS, "age", TypeError, r"Argument 'attributes' has incorrect type"),
])
def test_frame_errors_name_the_attribute(frame, attributes, error, message):
    with pytest.raises(error, match=message):
        preprocessing().apply_feature_binning_frame(frame, attributes)
