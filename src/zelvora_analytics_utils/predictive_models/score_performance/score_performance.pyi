from typing import Any, Optional

from zelvora_analytics_utils.predictive_models.score_performance.subset_performance import (
    PerformanceMetrics,
    SubsetPerformance,
    SubsetPerformanceType,
)
from zelvora_analytics_utils.utils.core_model import CoreModel

class PredictiveScorePerformance(CoreModel):
    subset_performance: list[SubsetPerformance] = ...
    performance_metrics: list[PerformanceMetrics] = ...
    @classmethod
    def validate_performance_metric_str(cls, metric: str) -> PerformanceMetrics: ...
    @classmethod
    def validate_performance_metrics(cls, data: Any) -> Any: ...

class PredictiveScorePerformanceType:
    subset_performance: list[SubsetPerformanceType]
    performance_metrics: list[PerformanceMetrics]
    @classmethod
    def from_pydantic(
        cls, instance: PredictiveScorePerformance, extra: Optional[dict[str, Any]] = None
    ) -> PredictiveScorePerformanceType: ...
