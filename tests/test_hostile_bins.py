"""Lookups and bin construction against hostile input: Python code that edits the bin list
during a lookup, one-shot iterables, lone surrogates, values that cannot form a name."""

import math

import pydantic
import pytest
from structlog.testing import capture_logs

from zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_binning import (
    AttributeBinCategorical,
    AttributeBinNumerical,
    FeatureBinning,
)
from zelvora_analytics_utils.utils import dump

# --- Python code that edits the bin list while a lookup reads it ---------------------------

# Builds `binning` whose second bin runs `edit()` when the lookup reads its field `field`.
# The bins live only in the list, so a lookup reading a dropped slot reads freed memory.
HOSTILE_BINNING = """
import math, sys, threading
from zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_binning import (
    AttributeBinCategorical, AttributeBinNumerical, FeatureBinning)

KIND, STYLE, FIELD = {kind!r}, {style!r}, {field!r}
NUMERICAL = KIND == "NUMERICAL"
Record = AttributeBinNumerical if NUMERICAL else AttributeBinCategorical
binning = FeatureBinning(attribute="a", attribute_data_type=KIND)

def edit():
    binning.feature_binning.clear()

if STYLE == "subclass":
    class Hostile(Record):
        pass
else:
    class Hostile:
        __slots__ = ("name", "value", "id", "lower_bound", "upper_bound", "categories")

def hostile_read(self):
    edit()
    return self._fields[FIELD]

def make_hostile(**fields):
    if STYLE == "subclass":
        bin = Hostile(**fields)
        del bin.__dict__[FIELD]
    else:
        bin = Hostile()
        for key in Hostile.__slots__:
            if key != FIELD:
                setattr(bin, key, fields.get(key))
    Hostile._fields = dict(fields)
    return bin

setattr(Hostile, FIELD, property(hostile_read))

def ordinary(id, value):
    if NUMERICAL:
        return Record(id=id, lower_bound=10 * id, upper_bound=10 * id + 5, value=value)
    return Record(id=id, categories=[str(id)], value=value)

def fill():
    if NUMERICAL:
        hostile = make_hostile(id=1, name="1_(0;5)", lower_bound=0.0, upper_bound=5.0, value=1.0)
    else:
        hostile = make_hostile(id=1, name="1_{{1}}", categories=["1"], value=1.0)
    binning.feature_binning = [ordinary(0, 0.0), hostile] + [ordinary(i, float(i)) for i in range(2, 40)]

def lookup(probe):
    if NUMERICAL:
        return binning.bin_numeric_attribute(probe)
    return binning.bin_categoric_attribute(probe)
"""


@pytest.mark.parametrize("kind", ["NUMERICAL", "CATEGORICAL"])
@pytest.mark.parametrize("style, field", [("subclass", "name"), ("subclass", "bound"), ("slots", "name")])
def test_field_read_that_clears_the_list(run_python, kind, style, field):
    field = {"name": "name", "bound": "lower_bound" if kind == "NUMERICAL" else "categories"}[field]
    code = HOSTILE_BINNING.format(kind=kind, style=style, field=field) + """
results = []
for probe in (255.0, 1000.0) if NUMERICAL else ("25", "none"):
    fill()
    results.append(lookup(probe))
    assert binning.feature_binning == [], binning.feature_binning
print(results)
"""
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    # The lookup runs over the bins as they were when it started.
    assert result.stdout.strip() == "[25.0, None]"


@pytest.mark.parametrize("kind", ["NUMERICAL", "CATEGORICAL"])
def test_second_thread_editing_the_list_during_lookups(run_python, kind):
    code = HOSTILE_BINNING.format(kind=kind, style="subclass", field="name") + """
def edit():
    pass  # the hostile bin only hands the GIL over; the other thread does the editing

sys.setswitchinterval(1e-6)
fill()
bins = binning.feature_binning
shapes = [list(bins), list(reversed(bins)), bins[:3], [], bins[1:2] * 5]
stop = False

def editor():
    k = 0
    while not stop:
        k += 1
        bins[:] = shapes[k % len(shapes)]
        if k % 3 == 0:
            bins.pop() if bins else bins.append(shapes[0][1])
        if k % 7 == 0:
            bins.clear()

thread = threading.Thread(target=editor)
thread.start()
seen = set()
try:
    for n in range(100_000):
        seen.add(lookup(255.0 if NUMERICAL else "25"))
        seen.add(lookup(2.0 if NUMERICAL else "1"))
finally:
    stop = True
    thread.join()
assert seen <= {None, 0.0, 1.0, 25.0}, seen
print(sorted(seen, key=str))
"""
    result = run_python(code)
    assert result.returncode == 0, result.stderr


# --- categories read once -------------------------------------------------------------------


@pytest.mark.parametrize(
    "make",
    [
        lambda: (c for c in ["A", "B"]),
        lambda: iter(["A", "B"]),
        lambda: map(str.upper, ["a", "b"]),
        lambda: ("A", "B"),
    ],
    ids=["generator", "iterator", "map", "tuple"],
)
def test_categories_from_an_iterable_form_name_and_field(make):
    bin = AttributeBinCategorical(id=2, categories=make(), value=1.0)
    assert (bin.name, bin.categories) == ("2_{A,B}", ["A", "B"])
    binning = FeatureBinning.model_validate(
        {
            "attribute": "a",
            "attribute_data_type": "CATEGORICAL",
            "feature_binning": [{"type": "CATEGORICAL", "id": 2, "categories": make(), "value": 1.0}],
        }
    )
    assert (binning.feature_binning[0].name, binning.feature_binning[0].categories) == ("2_{A,B}", ["A", "B"])
    assert binning.bin_categoric_attribute("B") == 1.0


# --- lone surrogates are texts like any other -----------------------------------------------

LONE = "\udc80"


def categoric_binning(attribute="a", categories=("x" + LONE,), name=None):
    return FeatureBinning(
        attribute=attribute,
        attribute_data_type="CATEGORICAL",
        feature_binning=[
            AttributeBinCategorical(id=1, categories=list(categories), value=1.0, name=name),
            AttributeBinCategorical(id=0, name="0_default", value=0.0),
        ],
    )


def test_lone_surrogate_everywhere():
    """One text per place; each place takes it as it takes any other text."""
    # category lookup, found and not found
    assert categoric_binning().bin_categoric_attribute("x" + LONE) == 1.0
    assert categoric_binning().bin_categoric_attribute("n" + LONE) == 0.0
    # a bin named with a surrogate is an ordinary bin
    assert categoric_binning(name=LONE).bin_categoric_attribute("x" + LONE) == 1.0
    # generated name
    assert categoric_binning().feature_binning[0].name == "1_{x" + LONE + "}"
    assert AttributeBinCategorical(id=1, categories=[LONE * 60]).name == "1_{" + LONE * 47 + "...}"
    # catch-all log records, in the value and the attribute
    with capture_logs() as logs:
        categoric_binning(attribute="t" + LONE).bin_categoric_attribute("y" + LONE)
    assert logs[0]["event"] == (
        "Predictive model hit default value when processing binning of attribute 't"
        + LONE
        + "' with value 'y"
        + LONE
        + "'."
    )


@pytest.mark.parametrize("first", list("yntfoYNTFOa1-"))
def test_lone_surrogate_in_yaml_text(first):
    text = first + LONE
    out = dump.valid_dumps_yaml({"k": text, text: [text]})
    assert dump.safe_loads_yaml(out) == {"k": text, text: [text]}


# --- values that cannot form a name are validation errors -----------------------------------


@pytest.mark.parametrize(
    "fields",
    [
        {"lower_bound": [1.0], "upper_bound": 2.0},
        {"lower_bound": 0.0, "upper_bound": {"a": 1}},
        {"lower_bound": 1j, "upper_bound": 2.0},
        {"lower_bound": "low", "upper_bound": 2.0},
        {"lower_bound": 0.0, "upper_bound": object()},
    ],
)
def test_numerical_bound_that_cannot_form_a_name(fields):
    data = {"type": "NUMERICAL", "id": 2, **fields}
    with pytest.raises(pydantic.ValidationError):
        AttributeBinNumerical(**data)
    with pytest.raises(pydantic.ValidationError):
        FeatureBinning.model_validate({"attribute": "a", "attribute_data_type": "NUMERICAL", "feature_binning": [data]})


@pytest.mark.parametrize("categories", [5, 2.5, True, object(), [["A"]], ["A", 1j]])
def test_categories_that_cannot_form_a_name(categories):
    with pytest.raises(pydantic.ValidationError):
        AttributeBinCategorical(id=2, categories=categories)
    with pytest.raises(pydantic.ValidationError):
        FeatureBinning.model_validate(
            {
                "attribute": "a",
                "attribute_data_type": "CATEGORICAL",
                "feature_binning": [{"type": "CATEGORICAL", "id": 2, "categories": categories}],
            }
        )


@pytest.mark.parametrize(
    "record, fields",
    [
        (AttributeBinNumerical, {"lower_bound": [1.0], "upper_bound": 2.0}),
        (AttributeBinCategorical, {"categories": 5}),
    ],
)
def test_missing_id_stays_a_key_error(record, fields):
    with pytest.raises(KeyError, match="id"):
        record(**fields)


def test_numerical_names_from_numeric_texts_and_infinities():
    assert AttributeBinNumerical(id=2, lower_bound="-inf", upper_bound="0.5").name == "2_(-inf;0.500)"
    assert AttributeBinNumerical(id=4, lower_bound=10, upper_bound=math.inf).name == "4_(10;inf)"
