"""What a caller sees of the package: versions, module documentation, exported names and
the signatures of the public callables."""

import importlib
import importlib.metadata
import inspect
import pkgutil
import pydoc
import re
import typing

import pytest

import zelvora_analytics_utils

MODULES = sorted(
    info.name
    for info in pkgutil.walk_packages(zelvora_analytics_utils.__path__, "zelvora_analytics_utils.")
    if not info.name.rsplit(".", 1)[-1].startswith("_") and "libnanobind" not in info.name
) + ["zelvora_analytics_utils"]


def test_package_version_is_the_installed_distribution():
    assert zelvora_analytics_utils.__version__ == importlib.metadata.version("zelvora_analytics_utils")


@pytest.mark.parametrize("name", MODULES)
def test_every_module_is_documented_and_exports_exactly_its_api(name):
    module = importlib.import_module(name)
    assert (module.__doc__ or "").strip(), f"{name} has no docstring"
    exported = module.__all__
    assert len(exported) == len(set(exported))
    namespace: dict = {}
    exec(f"from {name} import *", namespace)
    assert set(namespace) - {"__builtins__"} == set(exported)
    for public in exported:
        value = getattr(module, public)
        if typing.get_origin(value) is not None:
            continue  # a type alias
        # Own classes and functions (or those of another module of the package, re-exported),
        # never the logger or the library classes a module builds on.
        owner = getattr(value, "__module__", None) or value.__name__
        assert owner.startswith("zelvora_analytics_utils"), f"{name}.{public} comes from {owner}"
    assert "logger" not in exported


def public_callables():
    """Paths (module, name, attribute or None) of every public function and method the
    modules declare; the test looks them up, so no compiled object outlives the session."""
    found = []
    for name in MODULES:
        module = importlib.import_module(name)
        for public in module.__all__:
            value = getattr(module, public)
            if isinstance(value, type):
                if getattr(value, "__module__", None) != name:
                    continue
                for attr, member in vars(value).items():
                    function = getattr(member, "__func__", member)
                    if type(function).__name__ == "compiled_function" and (
                        not attr.startswith("_") or attr == "__init__"
                    ):
                        found.append(pytest.param(name, public, attr, id=f"{name}.{public}.{attr}"))
            elif type(value).__name__ == "compiled_function":
                found.append(pytest.param(name, public, None, id=f"{name}.{public}"))
    return found


@pytest.mark.parametrize(("module", "public", "attr"), public_callables())
def test_public_callables_show_their_parameters_and_types(module, public, attr):
    function = getattr(importlib.import_module(module), public)
    if attr is not None:
        function = getattr(function, attr)
    signature = inspect.signature(function)
    kinds = {p.kind for p in signature.parameters.values()}
    assert kinds != {inspect.Parameter.VAR_POSITIONAL, inspect.Parameter.VAR_KEYWORD}
    for parameter in signature.parameters.values():
        if parameter.name in ("self", "cls"):
            continue
        assert parameter.annotation is not inspect.Parameter.empty, parameter
        assert parameter.annotation is not object, parameter
    assert signature.return_annotation is not inspect.Parameter.empty
    assert function.__doc__ is not None


@pytest.mark.parametrize(
    ("path", "expected"),
    [
        ("zelvora_analytics_utils.utils.dump.valid_dump_yaml", "(data: Any, stream: IO[str], **kwds: Any) -> None"),
        ("zelvora_analytics_utils.utils.dump.safe_dumps_json", "(obj: Any, **kwargs: Any) -> str"),
        (
            "zelvora_analytics_utils.predictive_models.content.AugmentedPredictiveModelContent.save_to_zip",
            "(self, pmml_filename: Optional[str] = None) -> _io.BytesIO",
        ),
        (
            "zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_binning.FeatureBinning"
            ".bin_categoric_attribute",
            "(self, value: Optional[str]) -> Optional[float]",
        ),
        (
            "zelvora_analytics_utils.predictive_models.model_tracking.model_tracking.PredictiveModelTracking"
            ".add_bin_counts",
            "(*counts: dict[str | None, int]) -> dict[str | None, int]",
        ),
    ],
)
def test_signatures_read_as_declared(path, expected):
    parts = path.split(".")
    for split in range(len(parts), 0, -1):
        try:
            target = importlib.import_module(".".join(parts[:split]))
        except ImportError:
            continue
        for attr in parts[split:]:
            target = getattr(target, attr)
        break
    assert str(inspect.signature(target)).replace("typing.", "") == expected


def test_help_shows_the_bundle_constructor_parameters():
    from zelvora_analytics_utils.predictive_models.content import AugmentedPredictiveModelContent

    text = pydoc.render_doc(AugmentedPredictiveModelContent, renderer=pydoc.plaintext)
    # Long signatures wrap over lines (3.13): compare without layout.
    compact = re.sub(r"[\s|]+", "", text)
    assert "__init__(self,augmented_predictive_model_yaml:_io.StringIO," in compact
    assert "load_from_tar(tar_content:typing.BinaryIOstros.PathLike[str],*,max_size:int=536870912)->Self" in compact
    assert ":object" not in compact


def test_a_declared_function_still_checks_and_converts_its_arguments():
    from zelvora_analytics_utils.utils.dump import safe_dumps_json, safe_loads_yaml

    assert safe_loads_yaml("a: 1\n") == {"a": 1}
    assert safe_dumps_json({"b": 1, "a": 2}, sort_keys=True, indent=None) == '{"a": 2, "b": 1}'
    with pytest.raises(TypeError):
        safe_loads_yaml()  # type: ignore[call-arg]
