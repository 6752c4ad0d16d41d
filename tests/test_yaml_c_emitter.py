"""The written text is the same with and without ruamel.yaml's C extension (once the
writer's C-emitter path), and the package works without the extension."""

import json
import subprocess
import sys
import textwrap

import pytest

# Inputs built the same way in this process and in one without the C extension: texts
# the writer quotes or escapes on purpose, texts that fold at the width, and a model.
INPUTS = textwrap.dedent(
    r'''
    import datetime, enum, math, random
    from zelvora_analytics_utils.predictive_models.augmented_predictive_model import AugmentedPredictiveModel

    TEXTS = ["", "plain", "yes", "No", "on", "OFF", "y", "null", "~", "true", "12", "1.5", "1e5",
             "0x1F", "0o17", "012", "+1", "-.inf", ".nan", "2024-01-31", "2024-01-31T10:00:00",
             "12:30:00", "1_000", "<<", "=", "- a", "a: b", "a:b", "#x", "x #y", " lead", "trail ",
             "@a", "`a", "%a", "!a", "&a", "*a", "|", ">", "?", ":", "-", "[a]", "{a}", "a,b",
             "it's", 'say "hi"', "back\\slash", "tab\there", "line\nbreak", "two\n\nbreaks",
             "nel\x85", "ls\u2028", "ps\u2029", "bom\ufeff", "caf\u00e9", "emoji \U0001F600",
             "nul\x00", "del\x7f", "nbsp\u00a0", "cr\r", "2_(-inf;-6.98E+02)", "50_other",
             "word " * 30, "x" * 130, ("k" * 60 + " ") * 3, "a " * 70]

    def inputs():
        rng = random.Random(5)
        alphabet = [chr(c) for c in range(32, 127)] + ["\u00e9", "\n", "\u2028", "\U0001F600"]
        randoms = ["".join(rng.choice(alphabet) for _ in range(rng.choice([3, 10, 60, 150])))
                   for _ in range(300)]
        documents = [{"k": t, t or "e": [t, {"x": t}], "n": {"m": [[t]]}} for t in TEXTS + randoms]
        documents += [[{"a": 1}, {"b": 2}], [], 0.1 + 0.2, "root text", None,
                      {"f": [1e17, 1e-7, -0.0, math.inf, -math.inf, math.nan, 1 / 3, 2 ** 70]},
                      {"d": datetime.date(2024, 1, 31), "deep": {"a": {"b": {"c": {"d": {"e": {"f": ["x" * 90]}}}}}}}]
        model = AugmentedPredictiveModel.model_validate({
            "attributes": ["age", "region"], "predictive_model_type": "XGB", "target": "y",
            "feature_preprocessing": {"binning": [
                {"attribute": "age", "attribute_data_type": "NUMERICAL", "feature_binning": [
                    {"type": "NUMERICAL", "id": 2, "lower_bound": -math.inf, "upper_bound": 25.5, "value": 1 / 3},
                    {"type": "NUMERICAL", "id": 3, "lower_bound": 25.5, "upper_bound": math.inf, "value": -0.25},
                    {"type": "NUMERICAL", "id": 1, "name": "1_null", "value": 0.0}]},
                {"attribute": "region", "attribute_data_type": "CATEGORICAL", "feature_binning": [
                    {"type": "CATEGORICAL", "id": 2, "categories": ["north", "it's", "yes", "caf\u00e9"], "value": 0.5},
                    {"type": "CATEGORICAL", "id": 1, "name": "1_null", "value": 0.0}]}]},
            "description": {"general_notes": {"note_1": "A long note " * 20}},
        })
        return documents + [model, {"model": model}]
    '''
)

DUMP = INPUTS + textwrap.dedent(
    """
    import json
    from zelvora_analytics_utils.utils.dump import valid_dumps_yaml
    print(json.dumps([valid_dumps_yaml(d) for d in inputs()]))
    """
)

WITHOUT_EXTENSION = "import sys\nsys.modules['_ruamel_yaml'] = None\n"


def run(code):
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_text_is_the_same_with_and_without_the_extension():
    pytest.importorskip("_ruamel_yaml")
    with_extension = json.loads(run(DUMP))
    without_extension = json.loads(run(WITHOUT_EXTENSION + DUMP))
    assert len(with_extension) == len(without_extension)
    for fast, pure in zip(with_extension, without_extension):
        assert fast == pure


def test_package_round_trips_a_model_without_the_extension():
    out = run(
        WITHOUT_EXTENSION
        + INPUTS
        + textwrap.dedent(
            """
            from zelvora_analytics_utils.predictive_models.content import AugmentedPredictiveModelContent
            model = inputs()[-2]
            archive = model.get_content().save_to_zip()
            loaded = type(model).parse_from_content(AugmentedPredictiveModelContent.load_from_zip(archive))
            text = model.get_content().augmented_predictive_model_yaml.getvalue()
            assert sys.modules["_ruamel_yaml"] is None
            print(loaded.get_content().augmented_predictive_model_yaml.getvalue() == text)
            """
        )
    )
    assert out.strip() == "True"
