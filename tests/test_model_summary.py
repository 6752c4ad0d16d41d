import contextlib
import datetime
import io

import pydantic
import pytest
import strawberry
from hypothesis import given
from hypothesis import strategies as st

from zelvora_analytics_utils.predictive_models.model_summary import model_summary as ms
from zelvora_analytics_utils.predictive_models.model_summary.model_summary import (
    AttachedImage,
    AttachedImageType,
    PredictiveModelSummary,
    PredictiveModelSummaryType,
)
from zelvora_analytics_utils.predictive_models.model_summary.subset_summary import SampleDescription
from zelvora_analytics_utils.utils.dump import safe_loads_yaml, valid_dumps_yaml

DUPLICATE = "Note {} already exists. Note not added.\n"


# --- records ---------------------------------------------------------------------------


def test_records_carry_their_documentation_and_fields():
    assert PredictiveModelSummary.__doc__ == (
        "Class for storing descriptive data about models's development sample, attributes and hyperparameters."
    )
    assert list(PredictiveModelSummary.model_fields) == [
        "predictive_model_name",
        "predictive_model_created",
        "sample_metadata",
        "attribute_description",
        "hyperparameters",
        "number_of_trainable_parameters",
        "general_notes",
        "attached_images",
    ]
    assert list(AttachedImage.model_fields) == ["type", "filename", "image"]
    summary = PredictiveModelSummary()
    assert all(getattr(summary, name) is None for name in PredictiveModelSummary.model_fields)
    assert summary.model_dump(exclude_defaults=True) == {}
    assert valid_dumps_yaml(summary) == "{}\n"


def test_summary_validates_its_children():
    summary = PredictiveModelSummary.model_validate(
        {
            "predictive_model_name": "pd",
            "predictive_model_created": "2024-03-01",
            "sample_metadata": [{"sample_type": "TRAIN", "number_of_observations": 10}],
            "hyperparameters": {"max_depth": 6, "eval_metric": ["auc"], "nested": {"a": None}},
            "attached_images": [{"type": "roc", "filename": "roc.png", "image": b"\x89PNG"}],
        }
    )
    assert summary.predictive_model_created == datetime.date(2024, 3, 1)
    assert isinstance(summary.sample_metadata[0], SampleDescription)
    assert summary.hyperparameters["nested"] == {"a": None}
    assert summary.attached_images[0].image == b"\x89PNG"


@pytest.mark.parametrize(
    "data",
    [
        {"unknown": 1},
        {"general_notes": {"a": 1}},
        {"attached_images": [{"type": "roc"}]},
        {"predictive_model_created": "not a date"},
        {"sample_metadata": [{"sample_type": "train"}]},
    ],
)
def test_bad_summaries_fail_validation(data):
    with pytest.raises(pydantic.ValidationError):
        PredictiveModelSummary.model_validate(data)


def test_image_bytes_never_reach_dict_form_or_yaml():
    image = AttachedImage(type="roc", filename="roc.png", image=b"SECRET-BYTES")
    assert image.model_dump() == {"type": "roc", "filename": "roc.png"}
    summary = PredictiveModelSummary(attached_images=[image])
    text = valid_dumps_yaml(summary)
    assert "SECRET" not in text and "image:" not in text
    assert safe_loads_yaml(text) == {"attached_images": [{"filename": "roc.png", "type": "roc"}]}
    assert summary.attached_images[0].image == b"SECRET-BYTES"


def test_yaml_orders_notes_by_key_text():
    summary = PredictiveModelSummary(general_notes={"note_2": "b", "note_10": "c", "note_1": "a"})
    assert valid_dumps_yaml(summary) == "general_notes:\n  note_1: a\n  note_10: c\n  note_2: b\n"


# --- general notes ---------------------------------------------------------------------

# Each case: the notes before, the calls made (("add", note) or ("remove", key)), the keys after.
NUMBERING = [
    pytest.param(None, [("add", "first")], ["note_1"], id="first-text-note"),
    pytest.param(None, [("add", "a"), ("add", "b")], ["note_1", "note_2"], id="second-text-note"),
    pytest.param(["note_1", "note_2", "note_5"], [("add", "x")], ["note_1", "note_2", "note_5", "note_6"], id="above-highest"),
    pytest.param(
        ["note_1", "note_2", "note_5"],
        [("add", "x"), ("remove", "note_6"), ("add", "y")],
        ["note_1", "note_2", "note_5", "note_6"],
        id="highest-number-given-again",
    ),
    pytest.param(
        ["note_1", "note_2", "note_5"],
        [("add", "x"), ("remove", "note_5"), ("remove", "note_6"), ("add", "y")],
        ["note_1", "note_2", "note_3"],
        id="gap-below-not-refilled-until-highest-gone",
    ),
    pytest.param(["note_2"], [("add", "x")], ["note_2", "note_3"], id="gap-below-not-filled"),
    pytest.param(None, [("add", {"note_7": "given"}), ("add", "x")], ["note_7", "note_8"], id="caller-key-counts"),
    pytest.param(["summary", "note7", "note_a", "note_", "Note_4", "xnote_9"], [("add", "x")],
                 ["summary", "note7", "note_a", "note_", "Note_4", "xnote_9", "note_1"], id="other-forms-ignored"),
    pytest.param(["note_007"], [("add", "x")], ["note_007", "note_8"], id="leading-zeros"),
    pytest.param(["note_\u0663"], [("add", "x")], ["note_\u0663", "note_4"], id="non-ascii-decimal-digit"),
    pytest.param(["note_-3", "note_+3", "note_ 3", "note_1_0"], [("add", "x")],
                 ["note_-3", "note_+3", "note_ 3", "note_1_0", "note_1"], id="signs-spaces-underscores-ignored"),
    pytest.param(["note_99999999999999999999999"], [("add", "x")],
                 ["note_99999999999999999999999", "note_100000000000000000000000"], id="beyond-64-bits"),
    pytest.param([], [("remove", "absent")], [], id="remove-absent"),
    pytest.param(["note_1", "note_3"], [("remove", "note_1")], ["note_3"], id="remove-no-renumbering"),
]


@pytest.mark.parametrize(("before", "calls", "after"), NUMBERING)
def test_note_numbering(before, calls, after):
    summary = PredictiveModelSummary(general_notes=None if before is None else {k: k for k in before})
    for operation, argument in calls:
        if operation == "add":
            summary.add_general_note(argument)
        else:
            summary.remove_general_note(argument)
    assert list(summary.general_notes) == after


def next_note_key(keys):
    """The key the next text note takes, read straight from the rule."""
    numbers = [int(k[5:]) for k in keys if isinstance(k, str) and k.startswith("note_") and k[5:] and k[5:].isnumeric()]
    return f"note_{max(numbers) + 1 if numbers else 1}"


NOTE_KEYS = st.one_of(
    st.builds(lambda rest: "note_" + rest, st.text(alphabet="0123456789\u0663\u00bd\u00b2 _-+a", max_size=4)),
    st.sampled_from(["summary", "note7", "Note_1", "note", "note_"]),
    st.text(max_size=6),
)


@given(st.lists(NOTE_KEYS, max_size=6, unique=True))
def test_note_numbering_follows_the_rule(keys):
    summary = PredictiveModelSummary(general_notes={k: "x" for k in keys})
    try:
        expected = next_note_key(keys)
    except ValueError:
        with pytest.raises(ValueError):
            summary.add_general_note("new")
        assert list(summary.general_notes) == keys
        return
    summary.add_general_note("new")
    assert list(summary.general_notes) == keys + [expected]


def test_text_notes_keep_their_text_and_order():
    summary = PredictiveModelSummary()
    summary.add_general_note("first")
    summary.add_general_note("second")
    assert summary.general_notes == {"note_1": "first", "note_2": "second"}


def test_mapping_note_keeps_existing_keys_and_reports_them(capsys):
    summary = PredictiveModelSummary(general_notes={"note_1": "old"})
    summary.add_general_note({"note_1": "new", "extra": "added", "note_9": "nine"})
    assert summary.general_notes == {"note_1": "old", "extra": "added", "note_9": "nine"}
    assert capsys.readouterr().out == DUPLICATE.format("note_1")


def test_duplicate_line_follows_a_redirected_stdout():
    summary = PredictiveModelSummary(general_notes={"a": "1", "b": "2"})
    buffer = io.StringIO()
    with contextlib.redirect_stdout(buffer):
        summary.add_general_note({"b": "x", "c": "3", "a": "y"})
    assert buffer.getvalue() == DUPLICATE.format("b") + DUPLICATE.format("a")
    assert summary.general_notes == {"a": "1", "b": "2", "c": "3"}


def test_no_line_without_duplicates_or_stdout(capsys, monkeypatch):
    summary = PredictiveModelSummary()
    summary.add_general_note({"a": "1"})
    summary.remove_general_note("a")
    summary.remove_general_note("a")
    assert capsys.readouterr().out == ""
    monkeypatch.setattr("sys.stdout", None)
    summary.add_general_note({"a": "1"})
    summary.add_general_note({"a": "2"})
    assert summary.general_notes == {"a": "1"}


@pytest.mark.parametrize("note", [7, None, 1.5, ["a"], b"bytes", ("note_1", "x")])
def test_other_notes_add_nothing_but_create_the_mapping(note):
    summary = PredictiveModelSummary()
    assert summary.add_general_note(note) is None
    assert summary.general_notes == {}


def test_text_note_subclass_and_mapping_subclass_are_accepted():
    class Text(str):
        pass

    import collections

    summary = PredictiveModelSummary()
    summary.add_general_note(Text("t"))
    summary.add_general_note(collections.OrderedDict([("k", "v")]))
    summary.add_general_note(__import__("types").MappingProxyType({"m": "p"}))
    assert summary.general_notes == {"note_1": "t", "k": "v", "m": "p"}


@pytest.mark.parametrize("key", ["note_\u00bd", "note_\u00b2"])
def test_numeric_rest_that_is_not_decimal_fails_and_adds_nothing(key):
    summary = PredictiveModelSummary(general_notes={key: "x"})
    with pytest.raises(ValueError):
        summary.add_general_note("new")
    assert summary.general_notes == {key: "x"}


@pytest.mark.parametrize(("key", "got"), [(1, "int"), (None, "NoneType"), (b"note_1", "bytes")])
def test_remove_needs_a_text_key(key, got):
    summary = PredictiveModelSummary(general_notes={"note_1": "a"})
    with pytest.raises(TypeError) as error:
        summary.remove_general_note(key)
    assert str(error.value) == f"Argument 'note_key' has incorrect type (expected str, got {got})"
    with pytest.raises(TypeError, match="note_key"):
        PredictiveModelSummary().remove_general_note(note_key=3)
    assert summary.general_notes == {"note_1": "a"}


def test_remove_from_null_notes_changes_nothing():
    summary = PredictiveModelSummary()
    summary.remove_general_note(note_key="note_1")
    assert summary.general_notes is None


def test_operations_take_arguments_by_name():
    summary = PredictiveModelSummary()
    summary.add_general_note(note="x")
    summary.remove_general_note(note_key="note_1")
    assert summary.general_notes == {}


# --- query views -----------------------------------------------------------------------

CURRENT: list = []


@strawberry.type
class Query:
    @strawberry.field
    def summary(self) -> PredictiveModelSummaryType:
        return CURRENT[-1]


SCHEMA = strawberry.Schema(query=Query)

ALL_FIELDS = """{ summary {
    predictiveModelName predictiveModelCreated numberOfTrainableParameters
    attachedImages { type filename }
    sampleMetadata { sampleType firstDate lastDate numberOfObservations
                     labelClassFrequency { labelClass numberOfObservations } }
    attributeDescription { attributeName description }
    hyperparameters { name value }
    generalNotes { title content }
    evalMetric
} }"""


def execute_sync(query, summary):
    CURRENT.append(summary)
    return SCHEMA.execute_sync(query)


@pytest.fixture
def query_summary(execute):
    """Queries the view of a summary, synchronously and asynchronously."""

    def run(query, summary):
        CURRENT.append(summary)
        return execute(SCHEMA, query)

    return run


def test_view_shows_the_whole_description(query_summary):
    summary = PredictiveModelSummary.model_validate(
        {
            "predictive_model_name": "pd",
            "predictive_model_created": "2024-03-01",
            "number_of_trainable_parameters": 12,
            "sample_metadata": [
                {
                    "sample_type": "OOT",
                    "first_date": "2024-01-01",
                    "label_class_frequency": [{"label_class": 1, "number_of_observations": 3}],
                }
            ],
            "attribute_description": {"age": "years", "income": "per month"},
            "hyperparameters": {"max_depth": 6, "eta": 0.1, "metrics": ["a", "b"], "flag": True, "eval_metric": "['rmse', 'auc']"},
            "general_notes": {"note_1": "first"},
            "attached_images": [{"type": "roc", "filename": "roc.png", "image": b"bytes"}],
        }
    )
    summary.add_general_note("second")
    result = query_summary(ALL_FIELDS, summary)
    assert result.errors is None, result.errors
    converted = query_summary(ALL_FIELDS, PredictiveModelSummaryType.from_pydantic(summary))
    assert converted.errors is None and converted.data == result.data
    assert result.data == {
        "summary": {
            "predictiveModelName": "pd",
            "predictiveModelCreated": "2024-03-01",
            "numberOfTrainableParameters": 12,
            "attachedImages": [{"type": "roc", "filename": "roc.png"}],
            "sampleMetadata": [
                {
                    "sampleType": "OOT",
                    "firstDate": "2024-01-01",
                    "lastDate": None,
                    "numberOfObservations": None,
                    "labelClassFrequency": [{"labelClass": "1", "numberOfObservations": 3}],
                }
            ],
            "attributeDescription": [
                {"attributeName": "age", "description": "years"},
                {"attributeName": "income", "description": "per month"},
            ],
            "hyperparameters": [
                {"name": "max_depth", "value": "6"},
                {"name": "eta", "value": "0.1"},
                {"name": "metrics", "value": "['a', 'b']"},
                {"name": "flag", "value": "True"},
                {"name": "eval_metric", "value": "['rmse', 'auc']"},
            ],
            "generalNotes": [{"title": "note_1", "content": "first"}, {"title": "note_2", "content": "second"}],
            "evalMetric": "auc",
        }
    }


def test_view_of_an_empty_description(query_summary):
    result = query_summary(ALL_FIELDS, PredictiveModelSummary())
    assert result.errors is None, result.errors
    assert result.data["summary"] == {
        "predictiveModelName": None,
        "predictiveModelCreated": None,
        "numberOfTrainableParameters": None,
        "attachedImages": None,
        "sampleMetadata": None,
        "attributeDescription": [],
        "hyperparameters": [],
        "generalNotes": [],
        "evalMetric": "unknown",
    }


def test_view_computes_from_the_record_on_every_query():
    summary = PredictiveModelSummary()
    assert execute_sync("{ summary { generalNotes { title } } }", summary).data == {"summary": {"generalNotes": []}}
    summary.add_general_note("later")
    assert execute_sync("{ summary { generalNotes { title } } }", summary).data == {
        "summary": {"generalNotes": [{"title": "note_1"}]}
    }


def test_image_data_is_not_part_of_the_schema():
    assert not hasattr(AttachedImageType, "image")
    result = execute_sync("{ summary { attachedImages { image } } }", PredictiveModelSummary())
    assert result.errors and "image" in result.errors[0].message
    sdl = SCHEMA.as_str()
    for name in ("AttributeDescriptionType", "HyperparameterType", "GeneralNoteType", "AttachedImageType"):
        assert f"type {name} " in sdl


# eval_metric: the hyperparameters, then the field's text (or None when the query fails).
EVAL_METRIC = [
    pytest.param(None, "unknown", id="null-hyperparameters"),
    pytest.param({}, "unknown", id="empty-hyperparameters"),
    pytest.param({"max_depth": 6}, "unknown", id="absent"),
    pytest.param({"eval_metric": None}, "unknown", id="null"),
    pytest.param({"eval_metric": "auc"}, "auc", id="bare-word"),
    pytest.param({"eval_metric": "'auc'"}, "auc", id="single-quoted"),
    pytest.param({"eval_metric": '"auc"'}, "auc", id="double-quoted"),
    pytest.param({"eval_metric": "['rmse', 'auc']"}, "auc", id="list-last"),
    pytest.param({"eval_metric": ' [ "rmse" , "logloss", ]'}, "logloss", id="list-spacing-trailing-comma"),
    pytest.param({"eval_metric": "['a\\'b']"}, "a'b", id="escaped-quote"),
    pytest.param({"eval_metric": "ndcg@5"}, "ndcg@5", id="not-a-literal"),
    pytest.param({"eval_metric": ""}, "", id="empty-text"),
    pytest.param({"eval_metric": "[]"}, None, id="empty-list"),
    pytest.param({"eval_metric": "6"}, None, id="number-literal"),
    pytest.param({"eval_metric": "('rmse', 'auc')"}, None, id="tuple-literal"),
    pytest.param({"eval_metric": "{'a': 'b'}"}, None, id="mapping-literal"),
    pytest.param({"eval_metric": "None"}, None, id="null-literal"),
    pytest.param({"eval_metric": "['rmse', 1]"}, None, id="list-ending-in-number"),
    pytest.param({"eval_metric": ["rmse", "auc"]}, None, id="list-object"),
    pytest.param({"eval_metric": 0.5}, None, id="number-object"),
    # Longer than any real metric list: not parsed at all, shown as it is.
    pytest.param({"eval_metric": "['" + "a" * 4092 + "']"}, "a" * 4092, id="longest-parsed"),
    pytest.param({"eval_metric": "['" + "a" * 4093 + "']"}, "['" + "a" * 4093 + "']", id="too-long-to-parse"),
]


@pytest.mark.parametrize(("hyperparameters", "expected"), EVAL_METRIC)
def test_eval_metric(query_summary, hyperparameters, expected):
    result = query_summary("{ summary { evalMetric } }", PredictiveModelSummary(hyperparameters=hyperparameters))
    if expected is None:
        assert result.errors and result.data is None
    else:
        assert result.errors is None, result.errors
        assert result.data == {"summary": {"evalMetric": expected}}


def test_eval_metric_failures_name_their_kind():
    errors = execute_sync("{ summary { evalMetric } }", PredictiveModelSummary(hyperparameters={"eval_metric": "[]"})).errors
    assert errors and "index out of range" in errors[0].message
    errors = execute_sync("{ summary { evalMetric } }", PredictiveModelSummary(hyperparameters={"eval_metric": "7"})).errors
    assert errors and "int" in errors[0].message


HOSTILE = [
    "__import__('pathlib').Path({path!r}).touch()",
    "[__import__('pathlib').Path({path!r}).touch()]",
    "open({path!r}, 'w')",
    "(lambda: open({path!r}, 'w'))()",
    "[x for x in [open({path!r}, 'w')]]",
    "f'{{open({path!r}, \"w\")}}'",
    "exec('open(' + repr({path!r}) + ', \"w\")')",
]


@pytest.mark.parametrize("template", HOSTILE)
def test_eval_metric_never_evaluates_code(query_summary, template, tmp_path):
    path = str(tmp_path / "touched")
    text = template.format(path=path)
    result = query_summary("{ summary { evalMetric } }", PredictiveModelSummary(hyperparameters={"eval_metric": text}))
    assert not (tmp_path / "touched").exists()
    if result.errors is None:
        assert result.data == {"summary": {"evalMetric": text}}


@pytest.mark.parametrize(
    "text",
    ["[" * 100_000, "-" * 100_000 + "1", "(" * 500 + ")" * 500, "9" * 5000, "'a' * 10 ** 9", "{[1]: 'a'}", "'a\x00'"],
    ids=["deep-list", "deep-sign", "deep-tuple", "huge-int", "repeat", "unhashable-key", "nul"],
)
def test_unreadable_literals_are_kept_as_text(text):
    result = execute_sync("{ summary { evalMetric } }", PredictiveModelSummary(hyperparameters={"eval_metric": text}))
    assert result.errors is None, result.errors
    assert result.data == {"summary": {"evalMetric": text}}


def test_module_publishes_its_names():
    for name in ("AttributeDescriptionType", "HyperparameterType", "GeneralNoteType", "AttachedImageType", "PredictiveModelSummaryType"):
        view = getattr(ms, name)
        assert view.__strawberry_definition__.name == name and view.__module__ == ms.__name__
    assert PredictiveModelSummary.__module__ == AttachedImage.__module__ == ms.__name__


def test_no_leak_reported_at_exit(run_python):
    result = run_python(
        """
        import asyncio, strawberry
        from zelvora_analytics_utils.predictive_models.model_summary.model_summary import (
            PredictiveModelSummary, PredictiveModelSummaryType)

        summary = PredictiveModelSummary.model_validate({
            "hyperparameters": {"eval_metric": "['auc']", "depth": 3},
            "sample_metadata": [{"sample_type": "TRAIN", "label_class_frequency": [{"label_class": 1}]}],
            "attached_images": [{"type": "roc", "filename": "roc.png", "image": b"x"}],
        })
        summary.add_general_note({"a": "b"})
        summary.add_general_note({"a": "b"})
        summary.add_general_note("text")
        summary.remove_general_note("a")

        @strawberry.type
        class Query:
            @strawberry.field
            def summary(self) -> PredictiveModelSummaryType:
                return summary

        schema = strawberry.Schema(query=Query)
        query = "{ summary { evalMetric hyperparameters { value } generalNotes { title } attachedImages { type }"
        query += " sampleMetadata { labelClassFrequency { labelClass } } } }"
        assert schema.execute_sync(query).errors is None
        assert asyncio.run(schema.execute(query)).errors is None
        summary.hyperparameters = {"eval_metric": "[]"}
        assert schema.execute_sync(query).errors
        print("done")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip().splitlines()[-1] == "done"
    assert "leaked" not in result.stderr


def test_note_operations_keep_memory_flat(memory_growth):
    def work():
        summary = PredictiveModelSummary(general_notes={"note_7": "x"})
        with contextlib.redirect_stdout(io.StringIO()):
            for _ in range(3):
                summary.add_general_note("text")
                summary.add_general_note({"note_7": "again", "other": "y"})
        summary.remove_general_note("note_8")
        summary.remove_general_note(note_key="absent")
        try:
            summary.remove_general_note(1)
        except TypeError:
            pass
        summary.general_notes = {"note_\u00bd": "x"}
        try:
            summary.add_general_note("text")
        except ValueError:
            pass

    assert memory_growth(work, rounds=100) < 3_000


def test_computed_fields_keep_memory_flat(memory_growth):
    # The resolvers the schema calls, without the schema library's own caches around them.
    resolvers = {f.name: f.base_resolver for f in PredictiveModelSummaryType.__strawberry_definition__.fields if f.base_resolver}
    assert set(resolvers) == {"attribute_description", "hyperparameters", "general_notes", "eval_metric"}
    summaries = [
        PredictiveModelSummary(
            attribute_description={"a": "b"}, hyperparameters={"eval_metric": metric, "d": 3}, general_notes={"n": "t"}
        )
        for metric in ["['rmse', 'auc']", "auc", "'auc'", "[]", "7", ["a"], "[" * 300, "{[1]: 2}"]
    ]

    def work():
        for summary in summaries:
            for resolve in resolvers.values():
                try:
                    resolve(summary)
                except (TypeError, IndexError):
                    pass

    assert memory_growth(work, rounds=20) < 3_000


def test_schema_describes_the_views():
    sdl = SCHEMA.as_str()
    assert '"""The descriptive data of a model."""\ntype PredictiveModelSummaryType' in sdl
    assert '"""One general note: its key and text."""\ntype GeneralNoteType' in sdl
