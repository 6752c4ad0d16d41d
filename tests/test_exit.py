"""Interpreter exit: daemon threads inside the package, atexit handlers, leak report."""

import os
import subprocess
import sys
import textwrap

import pytest

PRELUDE = """
import io, math, sys, threading, time
from zelvora_analytics_utils.utils.dump import valid_dumps_yaml, safe_loads_yaml, safe_dumps_json
from zelvora_analytics_utils.predictive_models.content import AugmentedPredictiveModelContent as Content
from zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_binning import FeatureBinning
DATA = {"attribute": "a", "attribute_data_type": "NUMERICAL", "feature_binning": [
    {"type": "NUMERICAL", "id": 2, "lower_bound": -math.inf, "upper_bound": 1, "value": 1.0},
    {"type": "CATEGORICAL", "id": 3, "categories": ["x"], "value": 2.0},
    {"type": "NUMERICAL", "id": 1, "name": "1_null", "value": 0.5}]}
"""

OPERATIONS = {
    "valid_dumps_yaml": "valid_dumps_yaml(DATA)",
    "model_validate": "FeatureBinning.model_validate(DATA)",
    "safe_loads_yaml": "safe_loads_yaml('a: [1, 2.5, x]\\nb: {c: null}\\n')",
    "safe_dumps_json": "safe_dumps_json(DATA)",
    "zip_round_trip": "Content.load_from_zip(Content(io.StringIO('a: 1')).save_to_zip())",
    "tar_round_trip": "Content.load_from_tar(Content(io.StringIO('a: 1')).save_to_tar())",
    "lookup": "BINNING.bin_numeric_attribute(0.5); BINNING.bin_numeric_attribute(None)",
    "record_to_yaml": "valid_dumps_yaml(BINNING)",
}


def run(code, leak_warnings=True):
    env = dict(os.environ)
    env.pop("ZELVORA_LEAK_WARNINGS", None)
    if leak_warnings:
        env["ZELVORA_LEAK_WARNINGS"] = "1"
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120, env=env)  # fmt: skip


@pytest.mark.parametrize("operation", OPERATIONS)
def test_daemon_threads_inside_the_package_while_main_exits(operation):
    result = run(
        PRELUDE
        + f"""
BINNING = FeatureBinning.model_validate(DATA)
def loop():
    while True:
        {OPERATIONS[operation]}
threads = [threading.Thread(target=loop, daemon=True) for _ in range(4)]
for t in threads:
    t.start()
time.sleep(0.3)
print("exit")
"""
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "exit\n"


USE_EVERYTHING = """
    binning = FeatureBinning.model_validate(DATA)
    text = valid_dumps_yaml(binning)
    loaded = Content.load_from_zip(Content(io.StringIO(text)).save_to_zip())
    again = FeatureBinning.model_validate(safe_loads_yaml(loaded.augmented_predictive_model_yaml.getvalue()))
    print(again == binning, binning.bin_numeric_attribute(0.5), binning.bin_categoric_attribute("x"),
          safe_dumps_json({"v": binning.bin_numeric_attribute(None)}).replace("\\n", ""))
"""


@pytest.mark.parametrize("first_import", ["before exit", "in the handler"])
def test_atexit_handler_registered_before_the_first_import_uses_the_package(first_import):
    imports = textwrap.indent(PRELUDE, "    ")
    code = f"""
import atexit
def at_exit():
{imports if first_import == "in the handler" else ""}
{USE_EVERYTHING}
atexit.register(at_exit)
{PRELUDE if first_import == "before exit" else ""}
print("main done")
"""
    result = run(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout == 'main done\nTrue 1.0 2.0 {  "v": 0.5}\n'
    assert result.stderr == ""


def test_state_gone_with_its_module_raises_instead_of_crashing():
    result = run(
        """
        import gc
        from zelvora_analytics_utils.utils import dump
        valid_dumps_yaml = dump.valid_dumps_yaml
        del dump._zelvora_state
        gc.collect()
        try:
            valid_dumps_yaml({"a": 1})
        except RuntimeError as e:
            print(e)
        """
    )
    assert result.returncode == 0, result.stderr
    assert "module state is gone" in result.stdout


# Records hold no nanobind instances, so a record a daemon thread still holds at exit leaves
# nothing to report, with leak warnings asked for or not.
HELD_AT_EXIT = PRELUDE + """
kept = FeatureBinning.model_validate(DATA)
kept.bin_numeric_attribute(0.5)
def hold(binning):
    threading.Event().wait()
threading.Thread(target=hold, args=(kept,), daemon=True).start()
print("exit")
"""


@pytest.mark.parametrize("leak_warnings", [False, True])
def test_records_still_held_at_exit_leave_a_quiet_exit(leak_warnings):
    result = run(HELD_AT_EXIT, leak_warnings=leak_warnings)
    assert (result.returncode, result.stdout, result.stderr) == (0, "exit\n", "")
