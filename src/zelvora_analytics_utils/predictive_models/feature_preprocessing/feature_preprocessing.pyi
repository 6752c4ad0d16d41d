from typing import Any, Optional, Union

from zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_binning import (
    FeatureBinning,
    FeatureBinningType,
)
from zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_transformation import (
    FeatureTransformation,
    FeatureTransformationType,
)
from zelvora_analytics_utils.utils.core_model import CoreModel, _PydanticView

__all__ = [
    "PredictiveModelDummyEncodingSingleValue",
    "PredictiveModelDummyEncoding",
    "FeaturePreprocessing",
    "FeaturePreprocessingType",
]

logger: Any

class PredictiveModelDummyEncodingSingleValue(CoreModel):
    value: Union[str, int, float]
    encoded_feature_name: str
    use_for_undefined: bool = False

class PredictiveModelDummyEncoding(CoreModel):
    attribute: str
    encoding: list[PredictiveModelDummyEncodingSingleValue]
    def check_created_attribute_naming(self) -> PredictiveModelDummyEncoding: ...

class FeaturePreprocessing(CoreModel):
    transformations: list[FeatureTransformation] = ...
    binning: list[FeatureBinning] = ...
    dummy_encoding: list[PredictiveModelDummyEncoding] = ...
    def get_transformation_formula(self, attribute: str) -> str: ...
    def add_feature_transformation(self, transformations: list[dict[str, Any]]) -> None: ...
    @classmethod
    def add_feature_binning(cls, attributes_binning: dict[str, dict[str, Any]]) -> list[FeatureBinning]: ...
    def get_feature_binning(self, attribute: str) -> Optional[FeatureBinning]: ...
    def feature_binning_exists(self, attribute: str) -> bool: ...
    def get_all_transformation_attributes(self) -> list[str]: ...
    def get_attributes_created_in_transformations(self) -> list[str]: ...
    def get_all_binning_attributes(self) -> list[str]: ...
    def get_attributes_created_in_binning(self) -> list[str]: ...
    def get_all_dummy_enc_attributes(self) -> list[str]: ...
    def apply_feature_binning(
        self, attribute: str, attribute_value: Union[str, int, float, None]
    ) -> Optional[float]: ...
    def apply_feature_binning_batch(
        self, attribute: str, attribute_values: list[Any]
    ) -> Optional[list[Optional[float]]]: ...
    def apply_feature_binning_frame(
        self, frame: Any, attributes: Optional[list[str]] = None
    ) -> Any: ...
    def apply_dummy_encoding(
        self, attribute: str, attribute_value: Union[str, int, float, None]
    ) -> Optional[dict[str, int]]: ...

class FeaturePreprocessingType(_PydanticView):
    binning: list[FeatureBinningType]
    transformations: list[FeatureTransformationType]
    def __init__(
        self,
        *,
        transformations: list[FeatureTransformationType] = ...,
        binning: list[FeatureBinningType] = ...,
    ) -> None: ...
    @staticmethod
    def from_pydantic(instance: FeaturePreprocessing, extra: Optional[dict[str, Any]] = None) -> FeaturePreprocessingType: ...
    def to_pydantic(self, **kwargs: Any) -> FeaturePreprocessing: ...
