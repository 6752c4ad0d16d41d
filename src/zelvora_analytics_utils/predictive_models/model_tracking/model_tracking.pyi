from typing import Any, Optional, Union

from zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_binning import (
    AttributeBinCategorical,
    AttributeBinNumerical,
    AttributeDataType,
    FeatureBinning,
    FeatureBinningType,
)
from zelvora_analytics_utils.utils.core_model import CoreModel, _PydanticView

__all__ = ["PredictiveModelTracking", "PredictiveModelTrackingType"]

class PredictiveModelTracking(CoreModel):
    binning: list[FeatureBinning] = ...
    predictive_model_output_binning: Optional[FeatureBinning] = None
    def remove_feature_binning(self, attribute: str) -> None: ...
    def feature_binning_exists(self, attribute: str) -> bool: ...
    def get_feature_binning(
        self,
        attribute: str,
        attribute_dtype: Union[AttributeDataType, str],
        attribute_value: Union[str, float, None],
    ) -> Union[AttributeBinNumerical, AttributeBinCategorical, None]: ...
    def bin_counts(
        self, attribute: str, attribute_dtype: Union[AttributeDataType, str], values: Any
    ) -> dict[Optional[str], int]: ...
    def stability_index(
        self,
        attribute: str,
        attribute_dtype: Union[AttributeDataType, str],
        counts: dict[Optional[str], int],
    ) -> float: ...
    @staticmethod
    def add_bin_counts(*counts: dict[Optional[str], int]) -> dict[Optional[str], int]: ...
    @classmethod
    def _get_numerical_bin(
        cls, binning: FeatureBinning, value: Optional[float]
    ) -> Union[AttributeBinNumerical, AttributeBinCategorical, None]: ...
    @classmethod
    def _get_categorical_bin(
        cls, binning: FeatureBinning, value: Union[str, float, None]
    ) -> Union[AttributeBinNumerical, AttributeBinCategorical, None]: ...

class PredictiveModelTrackingType(_PydanticView):
    binning: list[FeatureBinningType]
    predictive_model_output_binning: Optional[FeatureBinningType]
    def __init__(
        self,
        *,
        binning: list[FeatureBinningType] = ...,
        predictive_model_output_binning: Optional[FeatureBinningType] = ...,
    ) -> None: ...
    @staticmethod
    def from_pydantic(instance: PredictiveModelTracking, extra: Optional[dict[str, Any]] = None) -> PredictiveModelTrackingType: ...
    def to_pydantic(self, **kwargs: Any) -> PredictiveModelTracking: ...
