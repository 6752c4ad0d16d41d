"""The model record: enumerations, readers of the external model, consistency check,
coefficient lookup, content round trip, migration and query views."""

import copy
import io
import json
import pathlib
import tarfile
import zipfile

import pydantic
import pytest
import strawberry

from zelvora_analytics_utils.predictive_models.augmented_predictive_model import (
    AbstractAugmentedPredictiveModel,
    AugmentedPredictiveModel,
    AugmentedPredictiveModelType,
    ExternalPredictiveModelType,
    PredictiveModelCategory,
    PredictiveModelType,
)
from zelvora_analytics_utils.predictive_models.content import AugmentedPredictiveModelContent
from zelvora_analytics_utils.predictive_models.model_summary.model_summary import (
    AttachedImage,
)
from zelvora_analytics_utils.utils.dump import safe_loads_yaml

from builders import INF, binning_data, num

FIXTURES = pathlib.Path(__file__).parent / "fixtures" / "external_models"
XGB_FIXTURES = ["xgb1_binary", "xgb1_multiclass", "xgb3_binary", "xgb3_multiclass"]


def fixture(name):
    return json.loads((FIXTURES / name).read_text())


def xgb_model(name):
    expected = fixture(f"{name}.expected.json")
    return AugmentedPredictiveModel(
        attributes=expected["feature_names"],
        predictive_model_type="XGB",
        target="default",
        directory_name=name,
        external_model={
            "xgb_model": fixture(f"{name}.json"),
            "feature_names": expected["feature_names"],
        },
    )


def logreg_model():
    params = fixture("logreg_params.json")
    return AugmentedPredictiveModel(
        attributes=params["feature_names"],
        predictive_model_type="LOGISTIC_REGRESSION",
        external_model=params,
    )


def pmml_model():
    return AugmentedPredictiveModel(
        attributes=["age", "income", "tenure", "balance"],
        predictive_model_type="PMML",
        external_model={"pmml_model": (FIXTURES / "logreg.pmml").read_text()},
    )


# --- record and enumerations -------------------------------------------------------------


def test_enumerations_are_texts_in_declaration_order():
    assert [m.value for m in PredictiveModelType] == [
        "LOGISTIC_REGRESSION",
        "PMML",
        "XGB",
        "EXPERT_SCORE",
        "RANDOM_FOREST",
        "COX_PH_FITTER",
    ]
    assert [m.value for m in PredictiveModelCategory] == ["STATIC", "HORIZON", "NONE"]
    assert PredictiveModelType.XGB == "XGB" and isinstance(PredictiveModelType.XGB, str)


def test_default_model_is_empty_and_writes_an_empty_document():
    model = AugmentedPredictiveModel()
    assert model.attributes == [] and model.external_model == {}
    assert model.predictive_model_type is None and model.directory_name is None
    assert model.model_dump(exclude_defaults=True) == {}
    assert model.get_content().augmented_predictive_model_yaml.getvalue() == "{}\n"
    assert list(AugmentedPredictiveModel.model_fields) == [
        "attributes",
        "predictive_model_type",
        "target",
        "target_class",
        "feature_preprocessing",
        "description",
        "performance",
        "monitoring",
        "directory_name",
        "external_model",
    ]


def test_defaults_are_fresh_per_record():
    a, b = AugmentedPredictiveModel(), AugmentedPredictiveModel()
    for field in ("attributes", "external_model", "feature_preprocessing", "description",
                  "performance", "monitoring"):
        assert getattr(a, field) is not getattr(b, field), field
    a.attributes.append("x")
    a.external_model["k"] = 1
    assert b.attributes == [] and b.external_model == {}


def test_abstract_record_cannot_be_built_and_its_operations_raise_bare():
    with pytest.raises(TypeError, match="abstract"):
        AbstractAugmentedPredictiveModel()
    model = AugmentedPredictiveModel()
    with pytest.raises(NotImplementedError) as raised:
        AbstractAugmentedPredictiveModel.get_external_model_intercept(model)
    assert raised.value.args == ()


def test_model_type_text_is_matched_exactly():
    assert AugmentedPredictiveModel(predictive_model_type="COX_PH_FITTER").predictive_model_type \
        is PredictiveModelType.COX_PH_FITTER
    with pytest.raises(pydantic.ValidationError):
        AugmentedPredictiveModel(predictive_model_type="cox_ph_fitter")
    with pytest.raises(pydantic.ValidationError):
        AugmentedPredictiveModel.model_validate({"unknown": 1})


def test_external_model_is_accepted_but_never_written():
    model = AugmentedPredictiveModel.model_validate({"external_model": {"intercept": 0.5}})
    assert model.external_model == {"intercept": 0.5}
    assert "external_model" not in model.model_dump()
    assert "external_model" not in model.get_content().augmented_predictive_model_yaml.getvalue()


# --- external model readers ---------------------------------------------------------------

READERS = {
    "feature_names": "get_external_model_feature_names",
    "intercept": "get_external_model_intercept",
    "intercept_name": "get_external_model_intercept_name",
    "coefficients": "get_external_model_coefficients",
}


@pytest.mark.parametrize(
    "external, reader, expected",
    [
        ({}, "intercept", None),
        ({"intercept": 0.5, "model": {"intercept_": [1.5]}}, "intercept", 0.5),
        ({"intercept": None, "model": {"intercept_": [1.5]}}, "intercept", None),
        ({"model": {"intercept_": [1.5]}}, "intercept", 1.5),
        ({"model": {}, "logreg_model_params": {"intercept_": [2.5]}}, "intercept", 2.5),
        ({"model": {"intercept_": {"a": 1}}}, "intercept", None),  # key 0 missing: next path
        ({"model": {"coef_": [[0.1, -0.2]]}}, "coefficients", [0.1, -0.2]),
        ({"logreg_model_params": {"coef_": [[0.3]]}}, "coefficients", [0.3]),
        ({"feature_names": ["b", "a"]}, "feature_names", ["b", "a"]),
        ({"intercept_name": "const"}, "intercept_name", "const"),
        ({}, "feature_names", None),
        ({}, "coefficients", None),
    ],
)
def test_readers_follow_paths_and_turn_missing_keys_into_null(external, reader, expected):
    model = AugmentedPredictiveModel(external_model=external)
    assert getattr(model, READERS[reader])() == expected


@pytest.mark.parametrize(
    "external, reader, error, message",
    [
        ({"intercept": 0}, "intercept", TypeError, "Expected float, got int"),
        ({"model": {"intercept_": ["1.5"]}}, "intercept", TypeError, "Expected float, got str"),
        ({"feature_names": "age"}, "feature_names", TypeError, "Expected list, got str"),
        ({"intercept_name": 1}, "intercept_name", TypeError, "Expected str, got int"),
        ({"model": {"coef_": [{"a": 1}]}}, "coefficients", TypeError, "Expected list, got dict"),
        ({"model": {"intercept_": []}}, "intercept", IndexError, ""),
        ({"model": {"coef_": []}}, "coefficients", IndexError, ""),
        ({"model": [1, 2]}, "intercept", TypeError, ""),
    ],
)
def test_readers_let_kind_index_and_type_errors_through(external, reader, error, message):
    model = AugmentedPredictiveModel(external_model=external)
    with pytest.raises(error) as raised:
        getattr(model, READERS[reader])()
    if message:
        assert str(raised.value) == message


def xgb_figures(model):
    return (
        model.get_external_model_best_iteration(),
        model.get_external_model_best_eval_metric(),
        model.get_external_model_number_of_trees(),
        model.get_external_model_number_of_attributes(),
    )


def learner(best_iteration="41", best_score="0.8125", num_trees="100", num_feature="7"):
    return {
        "xgb_model": {
            "learner": {
                "attributes": {"best_iteration": best_iteration, "best_score": best_score},
                "gradient_booster": {"model": {"gbtree_model_param": {"num_trees": num_trees}}},
                "learner_model_param": {"num_feature": num_feature},
            }
        }
    }


def test_tree_figures_convert_texts_and_count_the_best_round():
    model = AugmentedPredictiveModel(predictive_model_type="XGB", external_model=learner())
    assert xgb_figures(model) == (42, 0.8125, 100, 7)
    assert [type(v) for v in xgb_figures(model)] == [int, float, int, int]
    model.external_model = learner(best_iteration=" -3 ", best_score="-Infinity", num_trees=12.9,
                                   num_feature=5)
    assert xgb_figures(model) == (-2, float("-inf"), 12, 5)


@pytest.mark.parametrize("model_type", [None, "RANDOM_FOREST", "LOGISTIC_REGRESSION"])
def test_tree_figures_are_null_for_other_types(model_type):
    model = AugmentedPredictiveModel(predictive_model_type=model_type, external_model=learner())
    assert xgb_figures(model) == (None, None, None, None)


@pytest.mark.parametrize(
    "figures, error",
    [
        ({"best_iteration": "41.0"}, ValueError),
        ({"best_score": "high"}, ValueError),
        ({"num_trees": None}, TypeError),
        ({"num_feature": [4]}, TypeError),
    ],
)
def test_tree_figure_conversion_failures_pass(figures, error):
    model = AugmentedPredictiveModel(predictive_model_type="XGB", external_model=learner(**figures))
    with pytest.raises(error):
        xgb_figures(model)


def test_xgb_model_without_learner_keys_gives_null_figures():
    model = AugmentedPredictiveModel(predictive_model_type="XGB", external_model={"xgb_model": {}})
    assert xgb_figures(model) == (None, None, None, None)


@pytest.mark.parametrize("name", XGB_FIXTURES)
def test_tree_figures_of_real_models_match_the_library(name):
    expected = fixture(f"{name}.expected.json")
    best_iteration, best_score, trees, features = xgb_figures(xgb_model(name))
    # The library counts the best round from 0; the model reports the rounds up to it.
    assert best_iteration == expected["best_iteration"] + 1
    assert best_score == pytest.approx(expected["best_score"], rel=1e-12)
    assert trees == expected["number_of_trees"]
    assert features == expected["number_of_features"]


def test_real_logistic_regression_parameters():
    expected = fixture("logreg_params.expected.json")
    model = logreg_model()
    assert model.get_external_model_intercept() == expected["intercept"]
    assert model.get_external_model_coefficients() == expected["coefficients"]
    assert model.get_coefficient("balance") == expected["coefficients"][3]


@pytest.mark.parametrize(
    "model_type, category",
    [(None, "NONE"), ("COX_PH_FITTER", "HORIZON")]
    + [(t, "STATIC") for t in ("LOGISTIC_REGRESSION", "PMML", "XGB", "EXPERT_SCORE", "RANDOM_FOREST")],
)
def test_category(model_type, category):
    result = AugmentedPredictiveModel(predictive_model_type=model_type).get_external_model_category()
    assert result is PredictiveModelCategory[category]


def test_external_model_stream():
    model = AugmentedPredictiveModel(external_model={"b": 1, "a": [0.5, None]})
    stream = model.get_external_model_stringio()
    assert stream.tell() == 0 and stream.read() == '{\n  "b": 1,\n  "a": [\n    0.5,\n    null\n  ]\n}'
    assert AugmentedPredictiveModel().get_external_model_stringio().getvalue() == "{}"
    with pytest.raises(KeyError, match="pmml_model"):
        AugmentedPredictiveModel(predictive_model_type="PMML").get_external_model_stringio()


# --- consistency check and coefficient lookup ---------------------------------------------


def transformation(attribute, created, formula="log(x)"):
    return {"attribute": attribute, "transformation": formula, "transformed_attribute_name": created}


def numeric_binning(attribute):
    return binning_data([num(2, -INF, 1, -0.5), num(3, 1, INF, 0.5), num(1, value=0.0, name="1_null")], attribute)


def test_consistency_check_accepts_known_and_created_attributes():
    AugmentedPredictiveModel(attributes=["a", "b"])
    model = AugmentedPredictiveModel.model_validate(
        {
            "attributes": ["a"],
            "feature_preprocessing": {
                "transformations": [transformation("a", "log_a")],
                "binning": [numeric_binning("log_a"), numeric_binning("a")],
            },
        }
    )
    assert model.preprocess_attributes() is model


@pytest.mark.parametrize(
    "attributes, preprocessing, message",
    [
        (
            ["a"],
            {"transformations": [transformation("x", "log_x")]},
            "Transformation defined for unknown attributes: {'x'}. Model attributes are {'a'}.",
        ),
        (
            ["a"],
            {"transformations": [transformation("a", "log_a")], "binning": [numeric_binning("z")]},
            "Binning defined for unknown attributes: {'z'}. Model attributes are {'a'}.",
        ),
        (
            [],
            {"binning": [numeric_binning("z")]},
            "Binning defined for unknown attributes: {'z'}. Model attributes are set().",
        ),
    ],
)
def test_consistency_check_messages(attributes, preprocessing, message):
    data = {"attributes": attributes, "feature_preprocessing": preprocessing}
    with pytest.raises(pydantic.ValidationError) as raised:
        AugmentedPredictiveModel.model_validate(data)
    assert message in str(raised.value)


@pytest.mark.parametrize(
    "external, attributes, attribute, expected",
    [
        ({"feature_names": ["b", "a"], "model": {"coef_": [[0.5, -1.25]]}}, ["a", "b"], "a", -1.25),
        ({"model": {"coef_": [[0.5, -1.25]]}}, ["a", "b"], "a", 0.5),
        ({"feature_names": [], "model": {"coef_": [[0.5, -1.25]]}}, ["a", "b"], "b", -1.25),
        ({"feature_names": ["a", "a"], "model": {"coef_": [[0.5, -1.25]]}}, ["a"], "a", 0.5),
        ({"model": {"coef_": [[0.5]]}}, ["a"], "zz", None),
        ({}, ["a"], "a", None),
    ],
)
def test_get_coefficient(external, attributes, attribute, expected):
    model = AugmentedPredictiveModel(attributes=attributes, external_model=external)
    assert model.get_coefficient(attribute) == expected


def test_get_coefficient_past_the_coefficients_fails():
    model = AugmentedPredictiveModel(attributes=["a", "b"], external_model={"model": {"coef_": [[0.5]]}})
    with pytest.raises(IndexError):
        model.get_coefficient("b")


# --- content round trip -------------------------------------------------------------------


def with_images(model):
    model.description.predictive_model_name = "scorecard"
    model.description.attached_images = [
        AttachedImage(type="png", filename="roc.png", image=b"\x89PNG roc"),
        AttachedImage(type="png", filename="lift.png", image=b"\x89PNG lift"),
    ]
    return model


def through(kind, content, tmp_path):
    if kind == "directory":
        content.save_to_directory(tmp_path / "bundle")
        return AugmentedPredictiveModelContent.load_from_directory(tmp_path / "bundle")
    if kind == "tar":
        return AugmentedPredictiveModelContent.load_from_tar(content.save_to_tar())
    return AugmentedPredictiveModelContent.load_from_zip(content.save_to_zip())


BUILDERS = {name: (lambda n=name: xgb_model(n)) for name in XGB_FIXTURES}
BUILDERS["logreg_params"] = logreg_model
BUILDERS["logreg.pmml"] = pmml_model


@pytest.mark.parametrize("kind", ["directory", "tar", "zip"])
@pytest.mark.parametrize("name", sorted(BUILDERS))
def test_real_models_round_trip_through_every_bundle(name, kind, tmp_path):
    model = with_images(BUILDERS[name]())
    loaded = AugmentedPredictiveModel.parse_from_content(through(kind, model.get_content(), tmp_path))
    if model.predictive_model_type == "PMML":
        model.external_model = {"type": PredictiveModelType.PMML,
                                "pmml_model": model.external_model["pmml_model"]}
    assert loaded == model
    assert loaded.description.attached_images[1].image == b"\x89PNG lift"
    assert xgb_figures(loaded) == xgb_figures(model)


def test_json_part_keeps_key_order_and_number_kinds():
    external = {"z": 1, "a": 1.0, "m": [2, 2.5, {"y": 0, "b": True}], "n": None}
    model = AugmentedPredictiveModel(external_model=external)
    loaded = AugmentedPredictiveModel.parse_from_content(model.get_content())
    assert list(loaded.external_model) == ["z", "a", "m", "n"]
    assert list(loaded.external_model["m"][2]) == ["y", "b"]
    assert [type(v) for v in (loaded.external_model["z"], loaded.external_model["a"])] == [int, float]
    assert json.dumps(loaded.external_model) == json.dumps(external)


def test_pmml_round_trip_replaces_the_external_model():
    model = pmml_model()
    model.external_model["extra"] = 1
    content = model.get_content()
    assert content.external_model_json is None
    assert content.external_model_pmml.getvalue() == model.external_model["pmml_model"]
    loaded = AugmentedPredictiveModel.parse_from_content(content)
    assert loaded.external_model == {"type": PredictiveModelType.PMML,
                                     "pmml_model": model.external_model["pmml_model"]}


def test_json_part_wins_over_pmml_and_streams_are_rewound():
    content = AugmentedPredictiveModelContent(
        io.StringIO("predictive_model_type: XGB\n"),
        external_model_json=io.StringIO('{"intercept": 0.25}'),
        external_model_pmml=io.StringIO("<PMML/>"),
    )
    for stream in (content.augmented_predictive_model_yaml, content.external_model_json):
        stream.read()
    loaded = AugmentedPredictiveModel.parse_from_content(content)
    assert loaded.external_model == {"intercept": 0.25}


def test_images_without_bytes_are_left_out_and_a_repeated_name_keeps_the_last_bytes():
    model = AugmentedPredictiveModel()
    model.description.attached_images = [
        AttachedImage(type="png", filename="a.png", image=b"1"),
        AttachedImage(type="png", filename="b.png"),
        AttachedImage(type="png", filename="a.png", image=b"2"),
    ]
    images = model.get_content().attached_images
    assert list(images) == ["a.png"] and images["a.png"].getvalue() == b"2"


@pytest.mark.parametrize(
    "model_type, external, feature_names",
    [
        ("EXPERT_SCORE", {}, ["a", "b"]),
        ("EXPERT_SCORE", {"feature_names": []}, ["a", "b"]),
        ("EXPERT_SCORE", {"feature_names": ["x"]}, ["x"]),
        ("XGB", {}, None),
    ],
)
def test_migration_fills_feature_names_and_model_name(model_type, external, feature_names):
    model = AugmentedPredictiveModel(
        attributes=["a", "b"], predictive_model_type=model_type, directory_name="m1",
        external_model=external,
    )
    loaded = AugmentedPredictiveModel.parse_from_content(model.get_content())
    assert loaded.external_model.get("feature_names") == feature_names
    assert loaded.description.predictive_model_name == "m1"
    if feature_names == ["a", "b"]:
        assert loaded.external_model["feature_names"] is not loaded.attributes


def test_migration_keeps_an_existing_model_name():
    model = AugmentedPredictiveModel(directory_name="dir")
    model.description.predictive_model_name = "named"
    model._migrate()
    assert model.description.predictive_model_name == "named"


def bundle(yaml="attributes:\n- a\n", json_text=None, images=None):
    return AugmentedPredictiveModelContent(
        io.StringIO(yaml),
        external_model_json=None if json_text is None else io.StringIO(json_text),
        attached_images=images or {},
    )


@pytest.mark.parametrize(
    "content, error",
    [
        (lambda: bundle(yaml="attributes: [a\n"), Exception),
        (lambda: bundle(json_text="{'bad': json}"), json.JSONDecodeError),
        (lambda: bundle(yaml="- a\n", json_text="{}"), TypeError),
        (lambda: bundle(yaml="unknown_key: 1\n"), pydantic.ValidationError),
        (
            lambda: bundle(yaml="attributes: [a]\nfeature_preprocessing:\n  transformations:\n"
                           "  - {attribute: q, transformation: log(q)}\n"),
            pydantic.ValidationError,
        ),
        (
            lambda: bundle(yaml="description:\n  attached_images:\n  - {type: png, filename: x.png}\n"),
            KeyError,
        ),
    ],
)
def test_bad_bundles_raise_and_return_no_model(content, error):
    with pytest.raises(error):
        AugmentedPredictiveModel.parse_from_content(content())


@pytest.mark.parametrize("yaml, got", [("- a\n", "list"), ("", "an empty document"), ("text\n", "str"), ("7\n", "int")])
@pytest.mark.parametrize("json_text, error", [("{}", TypeError), (None, pydantic.ValidationError)])
def test_model_document_that_is_not_a_mapping(yaml, got, json_text, error):
    with pytest.raises(error, match=f"The model document must be a mapping, got {got}"):
        AugmentedPredictiveModel.parse_from_content(bundle(yaml=yaml, json_text=json_text))


def test_bad_yaml_raises_the_libraries_error():
    from ruamel.yaml.error import YAMLError

    with pytest.raises(YAMLError):
        AugmentedPredictiveModel.parse_from_content(bundle(yaml="a: b: c\n"))


def test_failed_content_of_a_pmml_model_without_text_writes_nothing(tmp_path):
    model = AugmentedPredictiveModel(predictive_model_type="PMML")
    with pytest.raises(KeyError):
        model.get_content().save_to_directory(tmp_path / "out")
    assert not (tmp_path / "out").exists()


def test_document_lists_fields_alphabetically():
    model = xgb_model("xgb3_binary")
    text = model.get_content().augmented_predictive_model_yaml.getvalue()
    keys = [line.split(":")[0] for line in text.splitlines() if line and not line[0] in " -"]
    assert keys == sorted(keys) == ["attributes", "directory_name", "predictive_model_type", "target"]
    assert safe_loads_yaml(text)["predictive_model_type"] == "XGB"


# --- query views --------------------------------------------------------------------------


@strawberry.type
class Query:
    @strawberry.field
    def model(self, info: strawberry.Info) -> AugmentedPredictiveModelType:
        return info.context["model"]


SCHEMA = strawberry.Schema(query=Query)

QUERY = """{ model { attributes predictiveModelType formula category
  externalModel { coefficients intercept interceptName bestEvalMetric bestIteration
                  numberOfAttributes numberOfTrees } } }"""


def query(model, text=QUERY):
    result = SCHEMA.execute_sync(text, context_value={"model": model})
    assert result.errors is None, result.errors
    return result.data["model"]


def linear(intercept, names, coefficients, attributes=None, **kw):
    external = {"model": {"coef_": [coefficients]}}
    if intercept is not None:
        external["intercept"] = intercept
    if names is not None:
        external["feature_names"] = names
    return AugmentedPredictiveModel(
        attributes=attributes if attributes is not None else (names or []),
        predictive_model_type="LOGISTIC_REGRESSION", external_model=external, **kw,
    )


@pytest.mark.parametrize(
    "build, formula",
    [
        (lambda: linear(-2.5, ["age", "income_binned"], [0.031, -0.75]),
         "-2.5000 + 0.0310 * age - 0.7500 * income_binned"),
        (lambda: linear(None, None, [], attributes=[]), "0.0000"),
        (lambda: linear(0.0, ["a", "b"], [0, -0.00004]), "0.0000 + 0.0000 * a - 0.0000 * b"),
        (lambda: linear(1.23456, ["b", "a"], [1.0, 2.0], attributes=["a", "b"]),
         "1.2346 + 1.0000 * b + 2.0000 * a"),
        (lambda: linear(-0.0, ["a"], [-0.0]), "0.0000 + 0.0000 * a"),
        (lambda: AugmentedPredictiveModel(attributes=["a", "c"], predictive_model_type="LOGISTIC_REGRESSION",
                                  external_model={"intercept": 1.0}), "1.0000 + a + c"),
        (lambda: AugmentedPredictiveModel(predictive_model_type="XGB"), None),
        (lambda: AugmentedPredictiveModel(), None),
    ],
)
def test_formula(build, formula):
    model = build()
    assert model.formula() == formula
    assert query(model)["formula"] == formula


def test_formula_writes_a_created_attribute_as_its_transformation():
    model = linear(0.5, ["a", "log_a"], [1.0, -2.0], attributes=["a"])
    model.feature_preprocessing.transformations = type(model.feature_preprocessing)(
        transformations=[transformation("a", "log_a", "log(a + 1)")]).transformations
    assert query(model)["formula"] == "0.5000 + 1.0000 * a - 2.0000 * (log(a + 1))"


def test_view_of_real_models():
    data = query(xgb_model("xgb3_multiclass"))
    assert data["predictiveModelType"] == "XGB" and data["category"] == "STATIC"
    assert data["externalModel"]["bestIteration"] == 42
    assert data["externalModel"]["numberOfTrees"] == 141
    assert data["externalModel"]["numberOfAttributes"] == 4
    assert data["externalModel"]["coefficients"] is None
    forest = xgb_model("xgb3_binary")
    forest.predictive_model_type = PredictiveModelType.RANDOM_FOREST
    forest.external_model["intercept"] = 0.5
    external = query(forest)["externalModel"]
    assert external["intercept"] == 0.5 and external["bestIteration"] is None
    assert query(AugmentedPredictiveModel(predictive_model_type="COX_PH_FITTER"))["category"] == "HORIZON"


def test_field_failure_is_reported_for_that_field():
    model = AugmentedPredictiveModel(external_model={"intercept": 0})
    result = SCHEMA.execute_sync("{ model { attributes externalModel { intercept } } }",
                                 context_value={"model": model})
    assert result.errors and "Expected float, got int" in result.errors[0].message


def test_external_view_keeps_its_model_privately():
    model = logreg_model()
    view = ExternalPredictiveModelType(extended_model=model)
    assert view.extended_model is model
    assert ExternalPredictiveModelType(model).extended_model is model
    schema_type = SCHEMA.get_type_by_name("ExternalPredictiveModelType")
    assert [f.name for f in schema_type.fields] == [
        "coefficients", "intercept", "intercept_name", "best_eval_metric", "best_iteration",
        "number_of_attributes", "number_of_trees",
    ]
    model_type = SCHEMA.get_type_by_name("AugmentedPredictiveModelType")
    assert {f.name for f in model_type.fields} == {
        "directory_name", "attributes", "predictive_model_type", "target", "target_class",
        "feature_preprocessing", "description", "performance", "monitoring", "formula",
        "external_model", "category",
    }
    assert SCHEMA.get_type_by_name("PredictiveModelCategory") is not None


# --- numpy values in the external model -----------------------------------------------------


def test_numpy_external_model_becomes_plain_data_and_round_trips():
    np = pytest.importorskip("numpy")
    external = {"model": {"coef_": np.array([[0.5, -1.25]]), "intercept_": np.float32(0.25)},
                "sizes": [np.int64(3), (np.bool_(True), np.array([], dtype=object))]}
    model = AugmentedPredictiveModel(attributes=["a", "b"], predictive_model_type="LOGISTIC_REGRESSION",
                                     external_model=external)
    plain = {"model": {"coef_": [[0.5, -1.25]], "intercept_": 0.25}, "sizes": [3, (True, [])]}
    assert model.external_model == plain and type(model.get_external_model_coefficients()[0]) is float
    assert isinstance(external["model"]["coef_"], np.ndarray)  # the caller's mapping stays
    loaded = AugmentedPredictiveModel.parse_from_content(
        AugmentedPredictiveModelContent.load_from_zip(model.get_content().save_to_zip()))
    assert loaded.external_model == {**plain, "sizes": [3, [True, []]]}


def test_external_model_nesting_is_bounded():
    deep = 1
    for _ in range(999):  # with the external model itself, 1000 levels
        deep = [deep]
    AugmentedPredictiveModel(external_model={"deep": deep})
    with pytest.raises(pydantic.ValidationError, match="external_model nests deeper than 1000 levels"):
        AugmentedPredictiveModel(external_model={"deep": [deep]})
