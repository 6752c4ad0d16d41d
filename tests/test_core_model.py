import sys

import pytest

from zelvora_analytics_utils.utils.core_model import CoreModel, CyFunctionDetector
from zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_binning import (
    AttributeBinNumerical,
    FeatureBinning,
)


def test_configuration():
    config = CoreModel.model_config
    assert config["arbitrary_types_allowed"] is True
    assert config["extra"] == "forbid"
    assert config["populate_by_name"] is True
    assert config["ignored_types"] == (CyFunctionDetector,)
    assert CoreModel.model_fields == {}


def test_methods_are_never_fields():
    assert "bin_numeric_attribute" not in FeatureBinning.model_fields
    assert "_get_number_formatting" not in AttributeBinNumerical.model_fields
    dumped = FeatureBinning(attribute="a", attribute_data_type="NUMERICAL").model_dump()
    assert list(dumped) == ["attribute", "attribute_data_type", "feature_binning", "binned_attribute_name"]


def test_compiled_function_detection():
    compiled = [
        FeatureBinning.__dict__["bin_numeric_attribute"],
        FeatureBinning.bin_numeric_attribute,
        AttributeBinNumerical._get_number_formatting,
    ]
    assert all(isinstance(f, CyFunctionDetector) for f in compiled)

    def plain():
        pass

    class NamedLikeNothing:
        pass

    others = ["text", 3, 2.5, None, plain, len, FeatureBinning(attribute="a", attribute_data_type="NUMERICAL"), NamedLikeNothing()]
    assert not any(isinstance(v, CyFunctionDetector) for v in others)


def test_detector_compares_own_class_name_only():
    compiled_type = type(FeatureBinning.__dict__["bin_numeric_attribute"])
    impostor = type("impostor", (), {})
    renamed = type("renamed", (impostor,), {})
    assert compiled_type.__name__ != "renamed"
    assert not isinstance(renamed(), CyFunctionDetector)
    assert type(CyFunctionDetector).__name__ == "_CyFunctionDetectorMeta"
    assert issubclass(type(CyFunctionDetector), type)


def test_record_class_may_hold_compiled_functions_without_annotation():
    namespace = {"probe": FeatureBinning.__dict__["bin_numeric_attribute"], "__module__": __name__}
    record = type(CoreModel)("Probe", (CoreModel,), namespace)
    assert record.model_fields == {}


def test_compiled_method_binds_like_a_function():
    binning = FeatureBinning.model_validate(
        {
            "attribute": "x",
            "attribute_data_type": "NUMERICAL",
            "feature_binning": [
                {"type": "NUMERICAL", "id": 2, "lower_bound": 0.0, "upper_bound": 10.0, "value": 7.0},
                {"type": "NUMERICAL", "id": 1, "name": "1_null", "value": -1.0},
            ],
        }
    )
    function = FeatureBinning.__dict__["bin_numeric_attribute"]
    assert FeatureBinning.bin_numeric_attribute is function
    assert function.__get__(None, FeatureBinning) is function
    bound = binning.bin_numeric_attribute
    assert bound.__self__ is binning and bound.__func__ is function
    assert bound(5.5) == bound(value=5.5) == function(binning, 5.5) == 7.0
    assert bound(None) == -1.0
    with pytest.raises(TypeError):
        bound()
    with pytest.raises(TypeError):
        function()


@pytest.mark.parametrize(
    "record, field, value",
    [
        (FeatureBinning(attribute="a", attribute_data_type="NUMERICAL"), "attribute", "b"),
        (AttributeBinNumerical(id=2, lower_bound=0, upper_bound=1), "id", 5),
    ],
)
def test_records_keep_interned_field_names_and_plain_attribute_behaviour(record, field, value):
    assert all(sys.intern(key) is key for key in vars(record))
    with pytest.raises(AttributeError, match=f"^'{type(record).__name__}' object has no attribute 'missing'$"):
        record.missing
    with pytest.raises(ValueError, match=f'^"{type(record).__name__}" object has no field "missing"$'):
        record.missing = 1
    setattr(record, field, value)
    assert getattr(record, field) == value
    delattr(record, field)
    assert field not in vars(record)
