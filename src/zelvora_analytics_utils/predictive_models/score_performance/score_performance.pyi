from typing import Any, Optional

from zelvora_analytics_utils.predictive_models.score_performance.subset_performance import (
    PerformanceMetrics,
    SubsetPerformance,
    SubsetPerformanceType,
)
from zelvora_analytics_utils.utils.core_model import CoreModel, _PydanticView

__all__ = ["PredictiveScorePerformance", "PredictiveScorePerformanceType"]

class PredictiveScorePerformance(CoreModel):
    subset_performance: list[SubsetPerformance] = ...
    performance_metrics: list[PerformanceMetrics] = ...
    @classmethod
    def validate_performance_metric_str(cls, metric: str) -> PerformanceMetrics: ...
    @classmethod
    def validate_performance_metrics(cls, data: Any) -> Any: ...

class PredictiveScorePerformanceType(_PydanticView):
    subset_performance: list[SubsetPerformanceType]
    performance_metrics: list[PerformanceMetrics]
    def __init__(
        self,
        *,
        subset_performance: list[SubsetPerformanceType] = ...,
        performance_metrics: list[PerformanceMetrics] = ...,
    ) -> None: ...
    @staticmethod
    def from_pydantic(instance: PredictiveScorePerformance, extra: Optional[dict[str, Any]] = None) -> PredictiveScorePerformanceType: ...
    def to_pydantic(self, **kwargs: Any) -> PredictiveScorePerformance: ...
