"""The shared declaration helpers, through the test-only module declared with them."""

import abc
import asyncio
import datetime
import gc
import types

import pydantic
import pytest
import strawberry

from zelvora_analytics_utils.utils.core_model import CoreModel, CyFunctionDetector

testing = pytest.importorskip(
    "zelvora_analytics_utils._testing", reason="built only with ZELVORA_BUILD_TESTING (scripts/test.sh)"
)
Sample, Item, Color = testing.Sample, testing.Item, testing.Color


# --- fields, defaults, exclusion ----------------------------------------------------------


def test_fields_follow_the_table_and_methods_are_never_fields():
    assert list(Sample.model_fields) == ["label", "value", "when", "payload", "extra", "items", "child", "color"]
    assert list(testing.Square.model_fields) == ["name", "side"]
    assert Sample.model_fields["label"].is_required()
    assert not Sample.model_fields["value"].is_required()


def test_default_factories_give_every_record_its_own_value():
    first, second = Sample(label="a"), Sample(label="b")
    first.items.append(Item(size=3))
    first.extra["k"] = 1
    first.child.size = 5
    assert second.items == [] and second.extra == {} and second.child.size == 1
    assert isinstance(second.child, Item)


def test_excluded_field_is_accepted_kept_and_never_dumped():
    record = Sample.model_validate({"label": "a", "payload": b"\x00\xff"})
    assert record.payload == b"\x00\xff"
    assert "payload" not in record.model_dump()
    assert record.model_dump(exclude_defaults=True) == {"label": "a"}
    assert Sample(label="a").model_dump(exclude_defaults=True) == {"label": "a"}


def test_unknown_key_fails_and_assignment_is_not_validated():
    with pytest.raises(pydantic.ValidationError, match="extra"):
        Sample.model_validate({"label": "a", "unknown": 1})
    record = Sample(label="a")
    record.label = 5
    assert record.label == 5


@pytest.mark.parametrize(
    ("given", "kept"),
    [("3", "3"), (3, 3), (3.5, 3.5)],
    ids=["text", "int", "float"],
)
def test_plain_union_keeps_the_kind_of_its_input(given, kept):
    value = Sample(label="a", value=given).value
    assert value == kept and type(value) is type(kept)


@pytest.mark.parametrize(
    ("field", "given", "kept"),
    [
        ("when", "2024-01-02", datetime.date(2024, 1, 2)),
        ("when", datetime.date(2023, 12, 31), datetime.date(2023, 12, 31)),
        ("payload", b"bytes", b"bytes"),
        ("color", "red", Color.RED),
        ("extra", {"any": [1, None, {"x": 2.5}]}, {"any": [1, None, {"x": 2.5}]}),
    ],
)
def test_type_vocabulary_validates(field, given, kept):
    assert getattr(Sample.model_validate({"label": "a", field: given}), field) == kept


@pytest.mark.parametrize(
    ("field", "given"),
    [("when", "not a date"), ("payload", 3), ("color", "RED"), ("value", [1]), ("extra", {1: 2})],
)
def test_type_vocabulary_refuses(field, given):
    with pytest.raises(pydantic.ValidationError):
        Sample.model_validate({"label": "a", field: given})


def test_any_keeps_the_very_object():
    marker = object()
    assert Sample(label="a", extra={"m": marker}).extra["m"] is marker


# --- checks -----------------------------------------------------------------------------


def test_before_check_rewrites_a_copy_of_the_raw_input():
    data = {"title": "from title"}
    assert Sample.model_validate(data).label == "from title"
    assert data == {"title": "from title"}
    assert Sample(title="kw").label == "kw"


@pytest.mark.parametrize(
    ("data", "message"),
    [({"label": "refused-before"}, "refused before validation"), ({"label": ""}, "label must not be empty")],
    ids=["before", "after"],
)
def test_failing_check_surfaces_as_validation_error(data, message):
    with pytest.raises(pydantic.ValidationError, match=message):
        Sample.model_validate(data)
    with pytest.raises(pydantic.ValidationError, match=message):
        Sample(**data)


def test_after_check_runs_for_nested_records_too():
    with pytest.raises(pydantic.ValidationError, match="label must not be empty"):
        testing.SampleWrapperType(sample=Sample.model_validate({"label": ""}))


# --- operations -------------------------------------------------------------------------


def test_instance_class_and_static_operations():
    record = Sample.from_label("made")
    assert type(record) is Sample and record.label == "made"
    assert record.describe() == "made/0"
    assert Sample.twice(21) == 42 and record.twice(1.5) == 3.0


def test_abstract_record_cannot_be_constructed_or_validated():
    assert issubclass(testing.AbstractShape, abc.ABC)
    assert testing.AbstractShape.__abstractmethods__ == frozenset({"area", "_migrate"})
    with pytest.raises(TypeError, match="Can't instantiate abstract class AbstractShape"):
        testing.AbstractShape()
    with pytest.raises(TypeError, match="Can't instantiate abstract class AbstractShape"):
        testing.AbstractShape.model_validate({})
    with pytest.raises(TypeError, match="_migrate"):
        testing.HalfShape()
    assert "area" not in testing.AbstractShape.model_fields
    assert not testing.AbstractShape.__private_attributes__
    assert isinstance(testing.AbstractShape.__dict__["area"], CyFunctionDetector)


def test_derived_record_supplying_every_operation_is_concrete():
    square = testing.Square(side=3)
    assert square.area() == 9.0 and square.summary() == "shape: 9.0"
    assert testing.Square.__abstractmethods__ == frozenset()


def test_abstract_operation_reached_raises_bare_not_implemented():
    square = testing.Square()
    with pytest.raises(NotImplementedError) as raised:
        square.base_area()
    assert raised.value.args == ()
    with pytest.raises(NotImplementedError) as raised:
        testing.AbstractShape._migrate(square)
    assert raised.value.args == () and str(raised.value) == ""


# --- views and plain query types -------------------------------------------------------------


@strawberry.type
class Query:
    @strawberry.field
    def sample(self) -> testing.SampleType:
        return Sample(label="abc", value=2, items=[{"size": 4}], child={"size": 7}, color="blue")

    @strawberry.field
    def wrapper(self) -> testing.SampleWrapperType:
        return testing.SampleWrapperType(sample=Sample(label="wrapped", value="v"))

    @strawberry.field
    def entry(self) -> testing.EntryType:
        return testing.EntryType(key="four", value=None, color=Color.RED)


SCHEMA = strawberry.Schema(query=Query)
FIELDS = "label child { size } items { size } color upperLabel described"


def run(query):
    result = asyncio.run(SCHEMA.execute(query))
    assert result.errors is None, result.errors
    return result.data


def test_view_mirrors_and_computes_by_function_and_method():
    assert run("{ sample { %s } }" % FIELDS)["sample"] == {
        "label": "abc",
        "child": {"size": 7},
        "items": [{"size": 4}],
        "color": "BLUE",
        "upperLabel": "ABC",
        "described": "abc/2",
    }


def test_fields_resolve_under_either_execution(execute):
    result = execute(SCHEMA, "{ sample { %s } wrapper { described } }" % FIELDS)
    assert result.errors is None
    assert result.data["wrapper"] == {"described": "wrapped/v"}


def test_plain_query_type_reads_its_private_member():
    data = run("{ wrapper { described } entry { key value color keyLength } }")
    assert data["wrapper"] == {"described": "wrapped/v"}
    assert data["entry"] == {"key": "four", "value": None, "color": "RED", "keyLength": 4}


def test_schema_shows_declared_fields_only():
    sdl = SCHEMA.as_str()
    wrapper = sdl.split("type SampleWrapperType {")[1].split("}")[0]
    assert "sample" not in wrapper
    assert '"""The label in upper case."""' in sdl and '"""The entry\'s key."""' in sdl
    entry = [f.python_name for f in testing.EntryType.__strawberry_definition__.fields]
    assert entry == ["key", "value", "color", "key_length"]


@pytest.mark.parametrize("name", ["ItemType", "SampleType", "SampleWrapperType", "EntryType"])
def test_views_belong_to_their_module(name):
    view = getattr(testing, name)
    assert view.__module__ == "zelvora_analytics_utils._testing" and view.__qualname__ == name
    assert view.__doc__ and view.__doc__ == view.__strawberry_definition__.description


def test_plain_query_type_constructor():
    record = Sample(label="a")
    assert testing.SampleWrapperType(sample=record).sample is record
    entry = testing.EntryType(key="k", value="v", color=Color.BLUE)
    assert (entry.key, entry.value, entry.color) == ("k", "v", Color.BLUE)
    # By position too: the fields in order, then the private members.
    assert testing.SampleWrapperType(record).sample is record
    assert testing.EntryType("k", "v", Color.BLUE) == entry
    with pytest.raises(TypeError):
        testing.EntryType(value="v", color=Color.BLUE)


def test_resolver_failure_is_reported_for_the_field():
    field, message = "upperLabel", "'int' object has no attribute 'upper'"
    @strawberry.type
    class Broken:
        @strawberry.field
        def sample(self) -> testing.SampleType:
            record = Sample(label="x")
            record.label = 5  # unvalidated assignment
            return record

    result = asyncio.run(strawberry.Schema(query=Broken).execute("{ sample { %s } }" % field))
    assert result.errors[0].path == ["sample", field]
    assert message in result.errors[0].message


# --- error reshaping --------------------------------------------------------------------------


class TwoArgumentError(LookupError):
    def __init__(self, first, second):
        super().__init__(first, second)


def _raise(error):
    def f():
        raise error

    return f


def _validation_error():
    try:
        Sample.model_validate({})
    except pydantic.ValidationError as e:
        return e


def _decode_error():
    try:
        b"\xff".decode("utf-8")
    except UnicodeDecodeError as e:
        return e


@pytest.mark.parametrize(
    ("error", "kind", "message"),
    [
        (ValueError("bad value"), ValueError, "P: bad value"),
        (TypeError("bad kind"), TypeError, "P: bad kind"),
        (IndexError("too far"), IndexError, "P: too far"),
        (KeyError("name"), KeyError, "P: name"),
        (KeyError(3), KeyError, "P: 3"),
        (NotImplementedError(), NotImplementedError, "P: "),
        (TwoArgumentError("a", "b"), LookupError, "P: ('a', 'b')"),
    ],
)
def test_prefixed_error_keeps_kind_and_cause(error, kind, message):
    with pytest.raises(kind) as raised:
        testing.call_with_prefix("P: ", _raise(error))
    assert type(raised.value) is kind
    assert raised.value.args == (message,)
    assert raised.value.__cause__ is error


def test_key_error_keeps_its_own_quoting():
    with pytest.raises(KeyError) as raised:
        testing.call_with_prefix("P: ", _raise(KeyError("name")))
    assert str(raised.value) == "'P: name'"


@pytest.mark.parametrize(
    ("make", "kind"), [(_validation_error, ValueError), (_decode_error, UnicodeError)], ids=["validation", "decode"]
)
def test_errors_not_built_from_one_message_leave_as_their_nearest_base(make, kind):
    error = make()
    with pytest.raises(kind) as raised:
        testing.call_with_prefix("P: ", _raise(error))
    assert type(raised.value) is kind
    assert str(raised.value) == "P: " + str(error)
    assert raised.value.__cause__ is error


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3)])
def test_prefix_leaves_exceptions_that_are_not_errors_alone(error):
    with pytest.raises(type(error)) as raised:
        testing.call_with_prefix("P: ", _raise(error))
    assert raised.value is error


def test_prefix_leaves_results_alone():
    assert testing.call_with_prefix("P: ", lambda: [1, 2]) == [1, 2]


@pytest.mark.parametrize(("kind", "error"), [("key", KeyError), ("index", IndexError), ("type", TypeError)])
def test_prefix_applies_to_errors_thrown_in_cpp(kind, error):
    with pytest.raises(error) as raised:
        testing.raise_builtin_with_prefix("Binning attribute a: ", kind)
    assert raised.value.args[0].startswith("Binning attribute a: ")
    assert type(raised.value.__cause__) is error


@pytest.mark.parametrize(
    ("value", "expected", "message"),
    [
        (0, "float", "Expected float, got int"),
        ([0.5], "float", "Expected float, got list"),
        ((), "list", "Expected list, got tuple"),
        (True, "str", "Expected str, got bool"),
    ],
)
def test_kind_check_refuses(value, expected, message):
    with pytest.raises(TypeError) as raised:
        testing.check_kind(value, expected)
    assert str(raised.value) == message


@pytest.mark.parametrize(("value", "expected"), [(None, "float"), (0.5, "float"), ([], "list"), ("s", "str")])
def test_kind_check_accepts(value, expected):
    assert testing.check_kind(value, expected) is None


# --- plain classes and imports ----------------------------------------------------------------


def test_declared_plain_class():
    counter = testing.Counter()
    counter.increment()
    counter.increment()
    assert counter.count == 2 and testing.Counter(start=5).count == 5
    assert testing.Counter.named() == "Counter" and testing.Counter.unit == "items"
    assert type(testing.Counter) is type and testing.Counter.__module__ == "zelvora_analytics_utils._testing"
    assert testing.Counter.__doc__ == "A plain class declared from a table."


def test_import_class():
    assert testing.import_class("zelvora_analytics_utils.utils.core_model", "CoreModel") is CoreModel
    with pytest.raises(AttributeError):
        testing.import_class("zelvora_analytics_utils.utils.core_model", "Missing")
    with pytest.raises(ModuleNotFoundError):
        testing.import_class("zelvora_analytics_utils.missing", "Missing")


# --- module state ---------------------------------------------------------------------------


def test_module_state_shows_every_held_field_to_the_collector():
    target, first, second = types.ModuleType("target"), object(), []
    testing.hold(target, first, second)
    referents = gc.get_referents(target._held_state)
    assert first in referents and any(r is second for r in referents) and "held" in referents


def test_module_state_with_a_field_not_held_fails_to_build():
    with pytest.raises(RuntimeError, match="must be Held"):
        testing.hold_half(types.ModuleType("target"))
