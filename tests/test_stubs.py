"""The shipped stubs agree with the records and views the modules create at import."""

import ast
import importlib
import pathlib
import subprocess
import sys
import textwrap

import pydantic
import pytest
from strawberry.types.private import is_private

ROOT = pathlib.Path(__file__).resolve().parents[1]
SOURCES = ROOT / "src"
STUBS = sorted(SOURCES.rglob("*.pyi"))

# Required at run time but optional in the stubs: the bins' before-check generates the
# name and fills the kind when the input leaves them out.
COMPLETED_BY_CHECKS = {
    (cls, field)
    for cls in ("AttributeBinNumerical", "AttributeBinCategorical")
    for field in ("name", "type")
}


def module_name(stub):
    return ".".join(stub.relative_to(SOURCES).with_suffix("").parts)


def stub_classes():
    """Every class of every stub: name -> (base names, [(field, has_default)], method names)."""
    classes = {}
    for stub in STUBS:
        for node in ast.parse(stub.read_text()).body:
            if not isinstance(node, ast.ClassDef):
                continue
            fields = [
                (item.target.id, item.value is not None)
                for item in node.body
                if isinstance(item, ast.AnnAssign)
                and isinstance(item.target, ast.Name)
                and "ClassVar" not in ast.unparse(item.annotation)
            ]
            methods = {item.name for item in node.body if isinstance(item, ast.FunctionDef)}
            bases = [ast.unparse(b).rsplit(".", 1)[-1] for b in node.bases]
            classes[(module_name(stub), node.name)] = (bases, fields, methods)
    return classes


CLASSES = stub_classes()


def stub_fields(module, name):
    """Fields of a stub class after its stub bases', a redeclared field keeping its place."""
    key = (module, name)
    if key not in CLASSES:
        key = next((k for k in CLASSES if k[1] == name), None)
        if key is None:
            return {}
    bases, own, _ = CLASSES[key]
    fields = {}
    for base in bases:
        fields.update(stub_fields(key[0], base))
    fields.update(own)
    return fields


def runtime_classes(predicate):
    """(module, class name) of every class a stubbed module creates that passes `predicate`."""
    found = []
    for stub in STUBS:
        module = importlib.import_module(module_name(stub))
        for name, value in vars(module).items():
            if isinstance(value, type) and value.__module__ == module.__name__ and predicate(value):
                found.append(pytest.param(module.__name__, name, id=f"{module.__name__}.{name}"))
    return found


def runtime_class(module, name):
    return getattr(importlib.import_module(module), name)


def is_record(cls):
    return issubclass(cls, pydantic.BaseModel)


def is_view(cls):
    return hasattr(getattr(cls, "__strawberry_definition__", None), "fields")


@pytest.mark.parametrize(("module", "name"), runtime_classes(is_record))
def test_record_fields_match_the_stub(module, name):
    record = runtime_class(module, name)
    assert (module, name) in CLASSES, f"{name} has no stub"
    declared = stub_fields(module, name)
    assert list(declared) == list(record.model_fields)
    for field, info in record.model_fields.items():
        optional_at_run_time = not info.is_required()
        if (name, field) in COMPLETED_BY_CHECKS:
            assert declared[field], f"{name}.{field} may be left out"
        else:
            assert declared[field] == optional_at_run_time, f"{name}.{field}: default differs"


@pytest.mark.parametrize(("module", "name"), runtime_classes(is_view))
def test_view_fields_match_the_stub(module, name):
    view = runtime_class(module, name)
    assert (module, name) in CLASSES, f"{name} has no stub"
    # The schema library orders a view's fields its own way; clients select them by name.
    # A computed field is a method on the class (its resolver), a mirrored one a field.
    definition = view.__strawberry_definition__.fields
    mirrored = {f.python_name for f in definition if f.base_resolver is None}
    computed = {f.python_name for f in definition if f.base_resolver is not None}
    # A private member (kept out of the schema) is an attribute of the stub, no field.
    private = {field for field, hint in view.__annotations__.items() if is_private(hint)}
    assert set(stub_fields(module, name)) - private == mirrored
    assert computed <= stub_methods(module, name)


def stub_methods(module, name):
    """Methods of a stub class and of its stub bases."""
    key = (module, name) if (module, name) in CLASSES else next(k for k in CLASSES if k[1] == name)
    bases, _, methods = CLASSES[key]
    inherited = set().union(*(stub_methods(key[0], b) for b in bases if any(k[1] == b for k in CLASSES)))
    return methods | inherited


def test_stubs_accept_what_the_runtime_accepts(tmp_path):
    pytest.importorskip("mypy")
    code = textwrap.dedent(
        """
        from typing import Optional

        from zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_binning import (
            AttributeBinCategorical,
            AttributeBinNumerical,
            AttributeDataType,
            FeatureBinning,
        )
        from zelvora_analytics_utils.predictive_models.model_tracking.model_tracking import (
            PredictiveModelTracking,
        )

        numerical = AttributeBinNumerical(id=2, lower_bound=0.0, upper_bound=1.0)
        categorical = AttributeBinCategorical(id=2, categories=["a"])
        named = AttributeBinNumerical(id=1, name="1_null", type=AttributeDataType.NUMERICAL)
        text: str = numerical.name + categorical.name + named.name
        numerical.frequency = 1.0
        tracking = PredictiveModelTracking(binning=[FeatureBinning(
            attribute="a", attribute_data_type=AttributeDataType.NUMERICAL, feature_binning=[numerical])])
        counts: dict[Optional[str], int] = tracking.bin_counts("a", "NUMERICAL", (0.5, None))
        total = PredictiveModelTracking.add_bin_counts(counts, {"x": 1})
        psi: float = tracking.stability_index("a", AttributeDataType.NUMERICAL, total)
        missing_id = AttributeBinNumerical(lower_bound=0.0, upper_bound=1.0)  # type: ignore[call-arg]
        """
    )
    checked = tmp_path / "construct.py"
    checked.write_text(code)
    # Run time accepts what the checked file builds (the last line lacks a required field).
    namespace: dict = {}
    exec(compile(code.replace("missing_id = ", "# "), str(checked), "exec"), namespace)
    assert namespace["numerical"].name.startswith("2_") and namespace["categorical"].name == "2_{a}"
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(checked)],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr


ALLOWLIST = pathlib.Path(__file__).with_name("stubtest_allowlist.txt")


def test_stubtest_finds_no_difference(tmp_path):
    pytest.importorskip("mypy")
    # Run from elsewhere than the source tree so that the installed package is checked.
    result = subprocess.run(
        [
            sys.executable, "-m", "mypy.stubtest", "zelvora_analytics_utils",
            "--allowlist", str(ALLOWLIST),
            "--mypy-config-file", str(tmp_path / "none.ini"),
        ],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=900,
    )
    assert result.returncode == 0, result.stdout + result.stderr
