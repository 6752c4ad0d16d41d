"""YAML and JSON output, YAML input: zelvora_analytics_utils.utils.dump."""

import contextlib
import dataclasses
import datetime
import decimal
import enum
import gc
import io
import json
import math
import os
import re
import subprocess
import sys
import types
import unittest.mock
import uuid
import weakref

import pytest
import yaml as pyyaml
from hypothesis import example, given, settings
from hypothesis import strategies as st
from pydantic import Field
from ruamel.yaml import YAML
from ruamel.yaml.constructor import ConstructorError
from ruamel.yaml.error import YAMLError
from ruamel.yaml.representer import RepresenterError

from zelvora_analytics_utils.utils import dump
from zelvora_analytics_utils.utils.core_model import CoreModel


class Color(str, enum.Enum):
    RED = "red"


class Ratio(enum.Enum):
    THIRD = 1 / 3


class Inner(CoreModel):
    x: int = 0
    tags: list[str] = Field(default_factory=list)


class Outer(CoreModel):
    name: str
    inner: Inner = Field(default_factory=Inner)
    ratio: float | None = 0.5
    color: Color = Color.RED


@dataclasses.dataclass
class Point:
    x: float
    label: Color


@dataclasses.dataclass
class Segment:
    start: Point
    points: list


@dataclasses.dataclass
class OwnForm:
    x: int

    def asdict(self):
        return {"own": self.x}


class Anything:
    pass


TZ = datetime.timezone(datetime.timedelta(hours=2))
UID = uuid.UUID("12345678-1234-5678-1234-567812345678")
CIRCULAR = []
CIRCULAR.append(CIRCULAR)


@pytest.mark.parametrize(
    ("data", "text"),
    [
        ({"a": 1, "b": None, "c": [], "d": {}, "e": ""}, "a: 1\ne: ''\n"),
        ({"m": {"x": None}}, "m: {}\n"),
        ({"l": [1, None, []]}, "l:\n- 1\n- null\n- []\n"),
        ({"l": [{"a": 1, "b": None, "c": 2}]}, "l:\n- a: 1\n  c: 2\n"),
        ({"z": 1, "a": 2, "m": 3}, "a: 2\nm: 3\nz: 1\n"),
        ({"f": 0.1 + 0.2, "t": 1 / 3, "i": 3, "d": decimal.Decimal("2.50")},
         "d: 2.5\nf: 0.3\ni: 3\nt: 0.333333333333\n"),
        ({"d": datetime.date(2024, 1, 31)}, "d: '2024-01-31'\n"),
        ({"r": Outer(name="x"), "s": set()}, "r:\n  name: x\ns: []\n"),
        ({"r": Inner()}, "r: {}\n"),
        (Outer(name="x", inner=Inner(tags=["t"]), ratio=0.25), "inner:\n  tags:\n  - t\nname: x\nratio: 0.25\n"),
        # A record's own mapping is not filtered: a field changed to null is written.
        (Outer(name="x", ratio=None), "name: x\nratio: null\n"),
        ({Color.RED: Ratio.THIRD}, "red: 0.3333333333333333\n"),
        ([{"a": 1}, {"b": 2}], "a: 1\n---\nb: 2\n"),
        ([], ""),
        ({"p": float("nan"), "q": float("inf"), "r": -float("inf")}, "p: .nan\nq: .inf\nr: -.inf\n"),
        ({"k": "true", "n": "12", "e": "", "v": True}, "e: ''\nk: 'true'\n'n': '12'\nv: true\n"),
    ],
)
def test_yaml_text(data, text):
    assert dump.valid_dumps_yaml(data) == text


def test_long_text_wraps_at_width_and_reads_back():
    text = " ".join(["word"] * 60)
    written = dump.valid_dumps_yaml({"t": text})
    assert 1 < len(written.splitlines()) and max(map(len, written.splitlines())) <= 121
    assert dump.safe_loads_yaml(written) == {"t": text}


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (Color.RED, "red"),
        (Ratio.THIRD, 1 / 3),
        (decimal.Decimal("0.12345678901234"), 0.123456789012),
        (1 / 3, 0.333333333333),
        (datetime.datetime(2024, 1, 31, 8, 5, 3), "2024-01-31T08:05:03"),
        (datetime.datetime(2024, 1, 31, 8, 5, 3, 7, tzinfo=TZ), "2024-01-31T08:05:03.000007+02:00"),
        (datetime.date(2024, 1, 31), "2024-01-31"),
        (datetime.time(8, 5, 3, 120, tzinfo=TZ), "08:05:03.000120+02:00"),
        (UID, "12345678-1234-5678-1234-567812345678"),
        (Outer(name="n", inner=Inner(x=2)), {"name": "n", "inner": {"x": 2}}),
        ({3, 1}, [1, 3]),
        (Segment(Point(0.5, Color.RED), [Point(1.0, Color.RED)]),
         {"start": {"x": 0.5, "label": Color.RED}, "points": [{"x": 1.0, "label": Color.RED}]}),
        (OwnForm(4), {"own": 4}),
    ],
)
def test_format_output_data_converts(value, expected):
    assert dump.format_output_data(value) == expected
    assert type(dump.format_output_data(value)) is type(expected)


@pytest.mark.parametrize("value", [1, True, "s", None, [1.5], {"a": None}, (), Anything(), Point])
def test_format_output_data_returns_other_values_themselves(value):
    assert dump.format_output_data(obj=value) is value


def test_weak_references_stand_for_their_object():
    target = Point(2.0, Color.RED)
    ref = weakref.ref(target)
    assert dump.format_output_data(ref) == {"x": 2.0, "label": Color.RED}
    del target
    gc.collect()
    assert dump.format_output_data(ref) is None
    assert dump.valid_dumps_yaml({"l": [ref]}) == "l:\n- null\n"


@given(st.floats())
@example(-0.0)
@example(-1e-13)
@example(2**-13)  # an exact tie at the twelfth place: to even
@example(3 * 2**-14)
@example(1e308)
@example(5e-324)
def test_rounding_matches_host_round(x):
    result = dump.format_output_data(x)
    expected = round(x, 12)
    assert math.copysign(1, result) == math.copysign(1, expected)
    assert result == expected or (math.isnan(result) and math.isnan(expected))


@pytest.mark.parametrize(
    ("value", "invalid"),
    [(None, True), ([], True), ({}, True), (types.MappingProxyType({}), True),
     (0, False), (False, False), ("", False), (math.nan, False), ((), False), (set(), False),
     ([None], False), (Inner(), False)],
)
def test_is_invalid(value, invalid):
    assert dump.is_invalid(value) is invalid


def test_filter_data():
    data = [None, []]
    assert dump.filter_data(data) is data
    mapping = {"a": 1}
    assert dump.filter_data(mapping) == mapping and dump.filter_data(mapping) is not mapping
    nested = {"a": None, "b": {"c": None}, "d": [None], "e": 0}
    assert dump.filter_data(data=nested) == {"b": {"c": None}, "d": [None], "e": 0}
    assert dump.filter_data(types.MappingProxyType({"a": {}, "b": 1})) == {"b": 1}


def test_filter_data_stops_when_the_mapping_changes_under_it():
    class Clearing:
        def __eq__(self, other):
            data.clear()
            return False

    data = {"a": Clearing(), "b": 1}
    with pytest.raises(RuntimeError, match="changed size"):
        dump.filter_data(data)


def test_unrepresentable_value_fails_after_writing_earlier_documents():
    stream = io.StringIO()
    with pytest.raises(RepresenterError):
        dump.valid_dump_yaml([{"a": 1}, {"b": Anything()}], stream)
    assert stream.getvalue().startswith("a: 1")


def test_writer_options():
    stream = io.StringIO()
    assert dump.valid_dump_yaml(data={"a": 1}, stream=stream, transform=str.upper) is None
    assert stream.getvalue() == "A: 1\n"
    with pytest.raises(TypeError):
        dump.valid_dumps_yaml({"a": 1}, no_such_option=True)
    with pytest.raises(TypeError):
        dump.valid_dumps_yaml({"a": 1}, stream=io.StringIO())


def test_representer_is_the_library_safe_representer():
    assert issubclass(dump.ValidRepresenter, dump.RuamelSafeRepresenter)
    node = dump.ValidRepresenter().represent_data({"a": None, "b": Color.RED})
    assert [(k.value, v.value) for k, v in node.value] == [("b", "red")]


@pytest.mark.parametrize(
    ("text", "data"),
    [
        ("", None),
        ("  \n", None),
        ("a: 2024-01-31\nb: '2024-01-31'\nc: yes\nd: .inf\n",
         {"a": datetime.date(2024, 1, 31), "b": "2024-01-31", "c": "yes", "d": math.inf}),
        ("- [1, True]\n- {x: null}\n", [[1, True], {"x": None}]),
    ],
)
def test_safe_loads_yaml(text, data):
    assert dump.safe_loads_yaml(content=text) == data


@pytest.mark.parametrize(
    "text",
    ["%YAML 1.1\n---\na: yes\nb: 0o17\nc: 017\nd: 1_000\n",
     "%YAML 1.2\n---\n[on, off, .inf, 0x1f, 1.5e3, ~, 2001-12-14]\n",
     "a: [1, 1.0, '1', true, null]\nb: {c: -.inf}\n"],
)
def test_safe_loads_yaml_reads_as_the_library_safe_reader(text):
    assert dump.safe_loads_yaml(text) == YAML(typ="safe").load(text)


@pytest.mark.parametrize(
    "text",
    ["a: 1\n---\nb: 2\n", "a: 1\na: 2\n", "a: [1\n", "a: 'x\n", "!!python/object/apply:os.system ['true']\n",
     "!!python/object:zelvora_analytics_utils.utils.dump.ValidRepresenter {}\n"],
)
def test_safe_loads_yaml_rejects_malformed_or_unsafe_text(text):
    with pytest.raises(YAMLError):
        dump.safe_loads_yaml(text)


# --- structure bounds: nesting depth and alias expansion ----------------------------------

# shape -> (text of n nested collections, n far past the limit, 0-based line and column of level 101)
DEEP = {
    "flow": (lambda n: "[" * n + "]" * n, 100_000, (0, 100)),
    "flow mapping": (lambda n: "{a: " * n + "1" + "}" * n, 100_000, (0, 400)),
    "block": (lambda n: "- " * n + "x\n", 100_000, (0, 200)),
    # indented: the text grows with the square of the depth
    "mapping": (lambda n: "".join(" " * i + "a:\n" for i in range(n - 1)) + " " * (n - 1) + "a: 1\n", 2_000,
                (100, 100)),
}


def laughs(levels=7):  # 10**levels leaves from about 50 bytes per level
    lines = ["a0: &a0 [x, x, x, x, x, x, x, x, x, x]"]
    lines += [f"a{i}: &a{i} [" + ", ".join([f"*a{i - 1}"] * 10) + "]" for i in range(1, levels)]
    return "\n".join(lines) + "\n"


def merge_bomb(levels=24):  # each level merges the one before twice
    lines = ["m0: &m0 {a: 1}"] + [f"m{i}: &m{i} {{<<: [*m{i - 1}, *m{i - 1}]}}" for i in range(1, levels)]
    return "\n".join(lines) + "\n"


# Loads each text in a fresh interpreter (a crash is an exit status), with ruamel.yaml's C
# extension or without it; "bundle" reads the text as a zip bundle's model document.
LOAD_EACH = """
import io, json, sys, time, zipfile
if sys.argv[1] == "pure":
    sys.modules["_ruamel_yaml"] = None
from zelvora_analytics_utils.utils import dump
from zelvora_analytics_utils.predictive_models.augmented_predictive_model import AugmentedPredictiveModel
from zelvora_analytics_utils.predictive_models.content import AugmentedPredictiveModelContent

def bundle(text):
    archive = io.BytesIO()
    with zipfile.ZipFile(archive, "w") as z:
        z.writestr("m/extended_model.yaml", text)
    content = AugmentedPredictiveModelContent.load_from_zip(archive)
    return AugmentedPredictiveModel.parse_from_content(content).description.hyperparameters

load = bundle if sys.argv[2] == "bundle" else dump.safe_loads_yaml
for text in json.loads(sys.stdin.read()):
    start = time.perf_counter()
    try:
        print(json.dumps(["ok", load(text)]))
    except ValueError as e:
        print(json.dumps([type(e).__name__, str(e), time.perf_counter() - start < 5]))
"""


def load_each(texts, path, how="yaml"):
    done = subprocess.run([sys.executable, "-c", LOAD_EACH, path, how], input=json.dumps(texts),
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    return [json.loads(line) for line in done.stdout.splitlines()]


def too_deep(line, column):
    return ["ValueError", f"YAML document nests deeper than 100 levels (line {line + 1}, column {column + 1})", True]


@pytest.mark.parametrize("path", ["c", "pure"])
def test_structure_bounds_hold_with_and_without_the_c_extension(path):
    if path == "c":
        pytest.importorskip("_ruamel_yaml")
    shapes = list(DEEP.values())
    surrogate = 's: "\\udc80"\n'  # libyaml refuses the escape; the pure parser reads it
    texts = ([make(n) for make, deep, _ in shapes for n in (deep, 101, 100)] + ["[" * 5000]
             + [laughs(), merge_bomb(), surrogate + laughs(), surrogate + "d: " + DEEP["flow"][0](300)]
             + ["a: &a {x: [1]}\nb: *a\nc: [*a, *a]\nd: {<<: *a, y: 2}\n", surrogate + "b: &a [1]\nc: *a\n"])
    outcomes = load_each(texts, path)
    for (make, _, (line, column)), deep in zip(shapes, zip(*[iter(outcomes[:12])] * 3)):
        assert list(deep[:2]) == [too_deep(line, column)] * 2
        assert deep[2] == ["ok", dump.safe_loads_yaml(make(100))]  # the limit itself loads
    assert outcomes[12] == too_deep(0, 100)
    bombs = [(4, 44), (14, 16), (5, 44), (1, 102)]
    assert outcomes[13:17] == [
        ["ValueError", f"YAML aliases expand to more than 100000 nodes (line {line + 1}, column {column + 1})", True]
        for line, column in bombs[:3]] + [too_deep(*bombs[3])]
    assert outcomes[17:] == [["ok", {"a": {"x": [1]}, "b": {"x": [1]}, "c": [{"x": [1]}] * 2, "d": {"x": [1], "y": 2}}],
                             ["ok", {"s": "\udc80", "b": [1], "c": [1]}]]


def test_deep_model_document_in_a_bundle_is_refused_not_a_crash():
    hyperparameters = "description:\n  hyperparameters:\n    h: "
    texts = [hyperparameters + DEEP["flow"][0](n) + "\n" for n in (100_000, 97)]
    outcomes = load_each(texts, "c", "bundle")
    assert outcomes[0] == too_deep(2, 104)
    assert outcomes[1] == ["ok", {"h": dump.safe_loads_yaml(DEEP["flow"][0](97))}]


@pytest.mark.parametrize(
    ("text", "line", "column"),
    [
        ("attribute: age\nfeature_binning:\n- id: !!float \n  value: 0.1\n", 2, 6),
        ("id: !!int\n", 0, 4),
        ("- !!int ''\n", 0, 2),
        ("a: !!float _\n", 0, 3),
        ("a: !!int 0x\n", 0, 3),
        ("a: !!float +\n", 0, 3),
        ("a: !!bool maybe\n", 0, 3),
    ],
)
def test_tagged_scalar_that_cannot_be_read_fails_as_yaml_at_its_place(text, line, column):
    with pytest.raises(ConstructorError, match="failed to construct") as raised:
        dump.safe_loads_yaml(text)
    mark = raised.value.problem_mark
    assert (mark.line, mark.column) == (line, column)  # both from 0


@pytest.mark.parametrize(
    ("text", "data"),
    [("a: !!int '12'\nb: !!float 1_0.5\nc: !!bool yes\nd: !!int -0x1f\n",
      {"a": 12, "b": 10.5, "c": True, "d": -31}), ("!!float .nan", math.nan)],
)  # fmt: skip
def test_tagged_scalars_that_can_be_read_keep_their_value(text, data):
    loaded = dump.safe_loads_yaml(text)
    assert loaded == data or (math.isnan(data) and math.isnan(loaded))


@pytest.mark.parametrize(
    ("content", "kind"),
    [(b"a: 1", "bytes"), (None, "NoneType"), (io.StringIO("a: 1"), "_io.StringIO"), (1, "int")],
)
def test_safe_loads_yaml_needs_text(content, kind):
    expected = f"Argument 'content' has incorrect type (expected str, got {kind})"
    with pytest.raises(TypeError, match=f"^{re.escape(expected)}$"):
        dump.safe_loads_yaml(content)
    if isinstance(content, io.StringIO):
        assert content.tell() == 0


YAML11_LOOKALIKES = ["yes", "No", "on", "OFF", "y", "1:20", "017", "0x1F", "1_000", "0b101", "1e3",
                     ".5", "+1", "-.inf", "~", "=", "<<", "2024-01-31", "2001-12-14 21:59:43.10 -5",
                     "null", "12abc", "0o17", "a: b", "- x", "#c", "ä", " lead", "line\nbreak", "\x85",
                     "a\u2028b", "\u2029 ", "tab\tx\r"]


@pytest.mark.parametrize("value", YAML11_LOOKALIKES + [1e17, -2.5e-5, 1e-5, 1e300, math.inf, 0.1 + 0.2])
def test_written_yaml_reads_back_the_same_with_another_parser(value):
    data = {"v": value, "l": [value], **({value: 1} if isinstance(value, str) else {})}
    written = dump.valid_dumps_yaml(data)
    assert pyyaml.safe_load(written) == dump.safe_loads_yaml(written) == expected_reading(data)


plain = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False)
    | st.text(st.characters(exclude_categories=["Cs"])),
    lambda children: st.lists(children, max_size=4)
    | st.dictionaries(st.text(max_size=8), children, max_size=4),
    max_leaves=20,
)


def expected_reading(value):
    if isinstance(value, dict):
        return {k: expected_reading(v) for k, v in value.items() if v not in (None, [], {})}
    if isinstance(value, list):
        return [expected_reading(v) for v in value]
    return round(value, 12) if isinstance(value, float) else value


@settings(max_examples=150, deadline=None)
@given(st.dictionaries(st.text(max_size=8), plain, max_size=5))
def test_any_plain_mapping_reads_back_with_both_parsers(data):
    written = dump.valid_dumps_yaml(data)
    expected = expected_reading(data)
    assert dump.safe_loads_yaml(written) == expected
    assert pyyaml.safe_load(written) == expected


# Pieces of texts the writer quotes, escapes or folds on purpose.
PIECES = ["'", '"', "\\", "#", ": ", " ", "  ", "\n", "\t", "\r", "\x85", "\u2028", "\u2029", "\ud800",
          "\udfff", "\ufeff", "\x00", "- ", "---", "? ", "word ", "x" * 61, "yes", "No", "~", "null", "0x1F",
          "017", "1:20", "1e5", ".5", "-.inf", "2024-01-31", "2001-12-14 21:59:43.10 -5", "<<", "=", "\u00e9",
          "\U0001F600", "\u00a0"]
texts = st.lists(st.characters(exclude_categories=()) | st.sampled_from(PIECES), max_size=30).map("".join)
numbers = st.integers() | st.integers(-(2**70), 2**70) | st.floats() | st.sampled_from([-0.0, 1e16, 1e17, 1e-5, 5e-324])
documents = st.recursive(
    st.none() | st.booleans() | numbers | texts,
    lambda children: st.lists(children, max_size=4) | st.dictionaries(texts, children, max_size=4),
    max_leaves=25,
)


def ruamel_unused():
    """Fails a write that goes through ruamel.yaml's writer (which the writer's own check
    mode, ZELVORA_YAML_WRITER_CHECK=1, runs for every text)."""
    if os.environ.get("ZELVORA_YAML_WRITER_CHECK") == "1":
        return contextlib.nullcontext()
    return unittest.mock.patch.object(YAML, "dump_all", side_effect=AssertionError("ruamel.yaml wrote it"))


@settings(max_examples=400, deadline=None)
@given(documents)
@example(["a", "b"])
@example({"k": "x " * 70, "q": "it's " * 30, "e": "\u2028" + "a " * 70, "l": [[[]], [{}], "#" * 130]})
def test_native_writer_writes_ruamel_text(data):
    expected = dump._valid_dumps_yaml_ruamel(data)
    with ruamel_unused():
        assert dump.valid_dumps_yaml(data) == expected


SHARED = [1]
NESTED = []
for _ in range(150):
    NESTED = [NESTED, 1]


@pytest.mark.parametrize(
    "data",
    [{"a": SHARED, "b": SHARED}, CIRCULAR, {1: "a", "b": 2}, {Color.RED: 1}, NESTED,
     [{"a": 1}, {"b": SHARED, "c": [SHARED]}]],
)
def test_rare_structures_are_written_by_ruamel(data):
    assert dump.valid_dumps_yaml(data) == dump._valid_dumps_yaml_ruamel(data)


def test_only_the_rare_document_of_a_stream_is_written_by_ruamel():
    stream = [{"a": 1}, "x " * 70, {"b": SHARED, "c": SHARED}, {"d": 1e17}]
    expected = dump._valid_dumps_yaml_ruamel(stream)
    with unittest.mock.patch.object(YAML, "dump_all", autospec=True, side_effect=YAML.dump_all) as dump_all:
        assert dump.valid_dumps_yaml(stream) == expected
    calls = [call.args[1] for call in dump_all.call_args_list]
    assert calls[0] == [None, stream[2], None] and all(c in ([None, stream[2], None], stream) for c in calls)


def test_model_document_is_written_natively():
    record = Outer(name="it's a 'model'", inner=Inner(x=3, tags=["yes", "caf\u00e9", "a\nb", "x " * 80]), ratio=1e17)
    with ruamel_unused():
        text = dump.valid_dumps_yaml([record, {"when": datetime.date(2024, 1, 31), "r": record}])
    assert text == dump._valid_dumps_yaml_ruamel([record, {"when": datetime.date(2024, 1, 31), "r": record}])


@pytest.mark.parametrize("plain_type", [float, dict])
def test_representers_registered_over_the_safe_ones_are_used(plain_type):
    representers = dump.RuamelSafeRepresenter.yaml_representers
    registered = {Anything: lambda r, d: r.represent_str("anything"), plain_type: lambda r, d: r.represent_str("own")}
    saved = {t: representers[t] for t in registered if t in representers}
    representers.update(registered)
    try:
        assert dump.valid_dumps_yaml({"a": Anything(), "f": 0.5}) == ("a: anything\nf: own\n" if plain_type is float else "own\n...\n")
    finally:
        for t in registered:
            representers.pop(t)
        representers.update(saved)


def test_stream_without_encoding_gets_utf8_bytes():
    stream = io.BytesIO()
    dump.valid_dump_yaml({"caf\u00e9": [1.5, None]}, stream)
    assert stream.getvalue() == "caf\u00e9:\n- 1.5\n- null\n".encode()


def test_json_layout_and_defaults():
    assert dump.safe_dumps_json({"a": 1, "b": [1, 2]}) == '{\n  "a": 1,\n  "b": [\n    1,\n    2\n  ]\n}'
    # Nothing is dropped and plain floats keep full precision; converted values nest.
    data = {"f": 0.1 + 0.2, "d": decimal.Decimal("0.12345678901234"), "n": None, "l": [], "m": {},
            "r": Outer(name="x"), "i": Inner(), "p": [Point(1.5, Color.RED)], "u": UID}
    assert json.loads(dump.safe_dumps_json(data)) == {
        "f": 0.30000000000000004, "d": 0.123456789012, "n": None, "l": [], "m": {},
        "r": {"name": "x"}, "i": {}, "p": [{"x": 1.5, "label": "red"}], "u": str(UID)}
    assert dump.safe_dumps_json("é") == '"\\u00e9"'


def test_numpy_values_are_written_as_lists_and_numbers():
    np = pytest.importorskip("numpy")
    data = {"a": np.arange(3), "m": np.zeros((2, 1)), "f": np.float32(0.1), "i": np.int8(4),
            "b": np.bool_(True), "e": np.array([])}
    expected = {"a": [0, 1, 2], "m": [[0.0], [0.0]], "f": 0.10000000149, "i": 4, "b": True}
    assert json.loads(dump.safe_dumps_json(data)) == {**expected, "e": []}
    assert dump.safe_loads_yaml(dump.valid_dumps_yaml(data)) == expected  # empty is left out


def test_json_options():
    assert dump.safe_dumps_json(obj={"a": [1]}, indent=None) == '{"a": [1]}'

    class Upper(json.JSONEncoder):
        def default(self, o):
            return "custom"

    assert dump.safe_dumps_json({"a": UID}, cls=Upper, sort_keys=True) == '{\n  "a": "custom"\n}'
    assert issubclass(dump.ZelvoJSONEncoder, json.JSONEncoder)


@pytest.mark.parametrize(
    ("obj", "error"),
    [(Anything(), TypeError), ({Anything(): 1}, TypeError), (decimal.Decimal("sNaN"), ValueError),
     (CIRCULAR, ValueError)],
)
def test_json_failures(obj, error):
    with pytest.raises(error):
        dump.safe_dumps_json(obj)


def test_interpreter_exit_leaks_nothing():
    script = """
import io, weakref, dataclasses
from zelvora_analytics_utils.utils import dump
@dataclasses.dataclass
class P:
    x: float
p = P(1 / 3)
text = dump.valid_dumps_yaml({"a": [p, {"b": None}], "w": weakref.ref(p)})
assert dump.safe_loads_yaml(text) == {"a": [{"x": 0.333333333333}, {}], "w": {"x": 0.333333333333}}
dump.safe_dumps_json({"p": p})
try:
    dump.safe_loads_yaml(b"x")
except TypeError:
    pass
"""
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert "nanobind: leaked" not in result.stderr
