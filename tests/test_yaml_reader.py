"""safe_loads_yaml's native reader gives exactly what ruamel.yaml's pure safe loader gives:
equal values of equal types, shared objects for aliases; what it does not cover goes to
ruamel's loader."""

import ast
import datetime
import gc
import math
import pathlib
import re

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from ruamel.yaml import YAML, YAMLError

from zelvora_analytics_utils.utils import dump


def ruamel_load(text):
    reader = YAML(typ="safe", pure=True)
    reader.Constructor = dump.CheckedSafeConstructor
    return reader.load(text)


def assert_same(got, expected):
    assert type(got) is type(expected), (got, expected)
    if isinstance(got, float) and math.isnan(expected):
        assert math.isnan(got)
    elif isinstance(got, float):
        assert got == expected and math.copysign(1, got) == math.copysign(1, expected)
    elif isinstance(got, (list, dict)):
        assert len(got) == len(expected)
        if isinstance(got, dict):
            got, expected = [*got.items()], [*expected.items()]
        for g, e in zip(got, expected):
            assert_same(g, e)
    elif isinstance(got, tuple):  # a mapping's item
        assert_same(list(got), list(expected))
    else:  # datetime's tzinfo, bytes, str, int, bool, None
        assert (got, repr(got)) == (expected, repr(expected))


def check(text):
    """The native reader's answer, when it gives one, is ruamel's; returns whether it did."""
    try:
        expected = ruamel_load(text)
    except Exception as error:
        expected = error
    answered, data = dump._native_loads_yaml(text)
    if answered:
        assert not isinstance(expected, Exception), f"native read {data!r}; ruamel raised {expected!r}"
        assert_same(data, expected)
    return answered


NATIVE = [
    "", "# only a comment\n", "---\n", "a:\n", "- \n", "~", "null\n", "Null", "NULL", "nul", "yes", "no", "on", "y",
    "True", "FALSE", "tRue", "0x1F", "-0x1f", "0o17", "017", "0b101", "+1", "-0", "1_000", "0_", "9" * 18, "9" * 19,
    "-9223372036854775808", "0x" + "f" * 40, "9" * 4000, ".5", "-.5e+3", ".5e3", "1.", "1e3", "1E-3", "1_0.5_",
    "+.inf", "-.INF", ".Inf", ".NaN", ".nan", "-.nan", "1e400", "-1e-400", "2.5e-320", "0.1", "1.2.3", "12:30",
    "2001-12-14", "2001-12-14t21:59:43.10-05:00", "2001-12-14 21:59:43.1234567 Z", "2001-12-14T21:59:43.9999999+1",
    "2001-1-1 1:02:03", "2001-1-1", "<", "<<a", "==", "'12'", '"yes"', '"\\u00e9\\x41\\t\\/\\N\\_\\L\\P"',
    "'it''s'", "a: |+\n  x\n\n", "a: >-\n  folded\n  text\n\n  more\n", "- |2\n   indented\n", "a: plain\n  continued\n",
    "a: 'multi\n\n  line'\n", "\ufeffa: 1\n", "a: 1\r\nb: [2, 3]\r\n", "é: ü\n", "{a: 1, 'b': [c, {d: e}], \"f\": }\n",
    "!!str 1.5", "!!int '12'", "!!int 0b1_0", "!!float 1", "!!float '-.NaN'", "!!bool YES", "!!null x", "!!binary aGVsbG8=",
    "!!timestamp 2001-1-1", "!<tag:yaml.org,2002:int> 5", "!!seq [1]", "!!map {a: 1}", "a: &x [1]\nb: *x\nc: *x\n",
    "&k key: &v 1\nother: *k\n*v : x\n", "1: a\n1.5: b\nfalse: c\nnull: d\n2001-12-14: e\n", "a: '\\ud800'",
]
DEFERRED = [
    "a: 1\na: 2\n", "1: a\n1.0: b\n", "1: a\ntrue: b\n", ".nan: 1\n.NaN: 2\n", "[1]: a\n", "? {a: 1}\n: b\n", "a: &x 1\nb: &x 2\n",
    "[&a a, *a, &a b]", "*x", "<<: {a: 1}\nb: 2\n", "=", "a: <<\n", "%YAML 1.1\n---\nyes\n", "%TAG !e! tag:e,2000:\n---\n!e!x 1\n",
    "a\n---\nb\n", "!!set {a, b}", "!!omap [a: 1]", "!!pairs [a: 1]", "! 12", "!x 12", "!!str [1]", "!!int [1]", "!!seq x",
    "!!int", "!!int _", "!!int 0x", "!!int 1.5", "!!float _", "!!float inf", "!!bool maybe", "!!binary é", "!!binary a",
    "!!timestamp 2001-13-01", "2001-13-01", "2001-12-14 25:00:00", "-_", "0b_", "0x_", "._", "9" * 5000, "a:\tb\n",
    "- |\n  \n    x\n", 's: "\\udc80"\n', "a\x85b", "|-#\nx\n", "--- |\nx\n", "&a: b", "{:a}", '{"a":b}', "[!!binary, d]", "x\n...\n...\n",
    "a: [1\n", "a: 'x\n", "\x00", "!!str\n!!str",
]


@pytest.mark.parametrize(("text", "native"), [(t, True) for t in NATIVE] + [(t, False) for t in DEFERRED])
def test_reads_as_ruamel_safe_loader(text, native):
    assert check(text) is native


def test_aliases_share_one_object_and_gc_tracks_the_result():
    data = dump.safe_loads_yaml("a: &x {k: [1]}\nb: *x\nc: [*x, &s text, *s]\nd: [.nan, .nan]\n")
    assert data["a"] is data["b"] is data["c"][0] and data["c"][1] is data["c"][2]
    assert data["d"][0] is data["d"][1]  # ruamel has one NaN object; keys rely on it
    assert dump._native_loads_yaml("&x [*x]") == (False, None)  # a list holding itself
    assert all(gc.is_tracked(x) for x in (data, data["a"], data["a"]["k"], data["c"], data["d"]))
    data["a"]["self"] = data
    del data
    assert gc.collect() > 0


def test_reading_leaves_nothing_behind(memory_growth):
    texts = [dump.valid_dumps_yaml({"a": [{"x": 1.5, "k": "v" * 80, "n": None}] * 3, "t": "2001-12-14"}),
             "t: 2001-12-14 21:59:43.10 -5\nb: !!binary aGVsbG8=\ni: 0x" + "f" * 40 + "\n.nan: [&a x, *a]\n",
             "a: [1, {b: 2}]\na: 3\n"]  # ruamel answers half-way: its duplicate-key error

    def work():
        for text in texts:
            try:
                dump.safe_loads_yaml(text)
            except YAMLError:
                pass

    assert memory_growth(work, rounds=200) < 10_000


def test_every_text_in_the_test_suite_reads_as_ruamel():
    texts = {node.value for path in pathlib.Path(__file__).parent.glob("test_*.py")
             for node in ast.walk(ast.parse(path.read_text(encoding="utf-8")))
             if isinstance(node, ast.Constant) and isinstance(node.value, str)}
    answered = [check(text) for text in sorted(texts)]
    assert sum(answered) > len(answered) / 2


plain = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text() | st.dates()
    | st.datetimes(timezones=st.none() | st.just(datetime.timezone.utc)),
    lambda children: st.lists(children, max_size=4) | st.dictionaries(st.text(max_size=8), children, max_size=4),
    max_leaves=25,
)


@settings(max_examples=200, deadline=None)
@given(plain, st.booleans())
def test_written_documents_are_read_natively_as_ruamel_reads_them(data, shared):
    if shared or isinstance(data, list):  # the writer gives one anchor to a value held twice
        data = {"x": data, "y": data, "z": [data]} if shared else {"v": data}
    text = dump.valid_dumps_yaml(data)
    # Only documents whose texts hold characters that libyaml and ruamel's scanner may read
    # apart (in some places) go to ruamel.
    assert check(text) or re.search("[\t\x85\u2028\u2029\ufeff:#!&*.]", "".join(texts_of(data)))


def texts_of(value):
    if isinstance(value, str):
        yield value
    elif isinstance(value, (list, dict)):
        for item in value.items() if isinstance(value, dict) else value:
            yield from texts_of(item)
    elif isinstance(value, tuple):
        yield from texts_of(list(value))


SCALARS = NATIVE[:60] + ["plain text", "é ü", "'single'", '"double \\"q\\""', "- x", "a b # c", "''", '""', "x:y"]
TAGS = ["", "", "", "!!str ", "!!int ", "!!float ", "!!bool ", "!!null ", "!!timestamp ", "!!binary ", "&a ", "*a "]


@st.composite
def hand_written(draw, depth=0):
    """A node as (block lines, flow text or None): block and flow collections, comments, tags,
    anchors and aliases, block scalars, multi-line scalars."""
    scalar = draw(st.sampled_from(TAGS)) + draw(st.sampled_from(SCALARS + ["x"] * 10)).replace("\n", " ")
    kind = draw(st.sampled_from(["scalar", "scalar", "block", "flow", "literal", "multi"] if depth < 3 else ["scalar"]))
    if kind == "scalar":
        return [scalar + draw(st.sampled_from(["", "", " # note"]))], scalar
    if kind == "literal":
        body = draw(st.lists(st.sampled_from(["line", "", "  more", "# not a comment"]), min_size=1, max_size=3))
        return [draw(st.sampled_from(["|", ">", "|-", ">+", "|2"]))] + ["  " + b if b else "" for b in body], None
    if kind == "multi":
        return [draw(st.sampled_from(["plain", "'quoted", '"double'])), "  more words" + ("" if depth else ""),
                "", "  end" + draw(st.sampled_from(["", "'", '"']))], None
    keys = draw(st.lists(st.sampled_from(["a", "b", "'c'", '"d"', "1", "1.5", "true", "null", "~", "é", "k y"]),
                         max_size=3, unique=True))
    mapping = draw(st.booleans())
    children = [draw(hand_written(depth + 1)) for _ in keys or range(draw(st.integers(0, 3)))]
    if kind == "flow" or not children:
        items = [(f"{k}: " if mapping and keys else "") + (flow or "x") for k, (_, flow) in zip(keys or [None] * 9, children)]
        text = ("{" if mapping and keys else "[") + ", ".join(items) + ("}" if mapping and keys else "]")
        return [text], text
    lines = []
    for key, (block, _) in zip(keys or [None] * 9, children):
        head = f"{key}:" if mapping and keys else "-"
        nested = len(block) > 1 and not block[0][:1] in "|>"
        lines += [head] + ["  " + b for b in block] if nested else [f"{head} {block[0]}"] + ["  " + b for b in block[1:]]
    return lines, None


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(hand_written(), st.sampled_from(["\n", "\r\n"]), st.sampled_from(["", "\ufeff", "# head\n", "--- "]))
def test_hand_written_documents_read_as_ruamel_reads_them(node, newline, start):
    check(start + newline.join(node[0]) + newline)
