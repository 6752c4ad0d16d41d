"""The package as installed: its files, its modules found by walking it, its runtime."""

import importlib
import importlib.machinery
import pathlib
import shutil
import subprocess

import pytest

import zelvora_analytics_utils

PACKAGE_DIR = pathlib.Path(zelvora_analytics_utils.__file__).parent


def shared_libraries():
    """Every shared library file installed in the package."""
    return [
        p for p in PACKAGE_DIR.rglob("*")
        if p.is_file() and (p.suffix in {".so", ".dylib", ".dll", ".pyd"} or ".so." in p.name)
    ]  # fmt: skip


def module_name(path):
    """The dotted name of an extension module file; None for any other library."""
    for suffix in importlib.machinery.EXTENSION_SUFFIXES:
        if path.name.endswith(suffix):
            return ".".join(path.relative_to(PACKAGE_DIR.parent).parts)[: -len(suffix)]
    return None


MODULES = sorted(filter(None, map(module_name, shared_libraries())))


def test_walking_the_package_imports_every_module(run_python):
    # A fresh interpreter: walk_packages imports the packages as it goes; every module it
    # reports is then imported by name, as documentation generators do.
    result = run_python(
        """
        import importlib, pkgutil
        import zelvora_analytics_utils as package

        failed = []
        names = [info.name for info in pkgutil.walk_packages(
            package.__path__, package.__name__ + ".", onerror=failed.append)]
        assert not failed, failed
        for name in names:
            importlib.import_module(name)
        print("\\n".join(names))
        """
    )
    assert result.returncode == 0, result.stderr
    names = result.stdout.split()
    assert set(MODULES) <= set(names)
    assert not [name for name in names if "nanobind" in name]


def test_every_shared_library_in_the_package_is_one_of_its_modules():
    libraries = shared_libraries()
    assert "zelvora_analytics_utils.utils.core_model" in MODULES
    for path in libraries:
        name = module_name(path)
        assert name, f"{path.name} is not an extension module"
        assert pathlib.Path(importlib.import_module(name).__file__) == path


STAND_IN = "int stand_in_marker = 1;\n"


@pytest.mark.skipif(shutil.which("cc") is None, reason="needs a C compiler")
def test_a_library_named_like_the_binding_runtime_loaded_first_does_not_break_the_import(
    tmp_path, run_python
):
    # Another package's library that happens to carry the binding library's generic name.
    source = tmp_path / "stand_in.c"
    source.write_text(STAND_IN)
    library = tmp_path / "libnanobind.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-Wl,-soname,libnanobind.so", "-o", str(library), str(source)], check=True)  # fmt: skip
    result = run_python(
        f"""
        import ctypes, importlib, math
        ctypes.CDLL({str(library)!r}, mode=ctypes.RTLD_GLOBAL)
        for name in {MODULES!r}:
            importlib.import_module(name)
        from zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_binning import FeatureBinning
        binning = FeatureBinning.model_validate({{
            "attribute": "a", "attribute_data_type": "NUMERICAL",
            "feature_binning": [{{"type": "NUMERICAL", "id": 1, "lower_bound": -math.inf, "upper_bound": math.inf, "value": 2.0}}]}})
        print(binning.bin_numeric_attribute(3))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "2.0"


def test_modules_share_the_binding_types_that_the_record_base_module_registers():
    from zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_binning import (
        AttributeBinNumericalType,
    )
    from zelvora_analytics_utils.predictive_models.score_performance.score_performance import (
        PredictiveScorePerformance,
    )
    from zelvora_analytics_utils.utils.core_model import compiled_function

    resolver = next(
        f.base_resolver.wrapped_func
        for f in AttributeBinNumericalType.__strawberry_definition__.fields
        if f.name == "formatted_upper_bound"
    )
    validator = PredictiveScorePerformance.__pydantic_decorators__.model_validators[
        "validate_performance_metrics"
    ].func.__func__
    assert type(resolver) is compiled_function
    assert type(validator) is compiled_function
    assert resolver.__module__ != validator.__module__


def test_package_version_and_metadata_come_from_the_installed_distribution():
    from importlib import metadata

    assert zelvora_analytics_utils.__version__ == metadata.version("zelvora_analytics_utils")
    meta = metadata.metadata("zelvora_analytics_utils")
    assert "License :: OSI Approved :: MIT License" in meta.get_all("Classifier")
    assert meta.get_all("Project-URL")
