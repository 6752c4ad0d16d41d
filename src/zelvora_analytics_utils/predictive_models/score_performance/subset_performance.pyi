import enum
from typing import Any, Optional

from zelvora_analytics_utils.utils.core_model import CoreModel

class SampleType(str, enum.Enum):
    TRAIN = "TRAIN"
    VALID = "VALID"
    TEST = "TEST"
    OOT = "OOT"
    CV = "CV"

class PerformanceMetrics(str, enum.Enum):
    AUC = "AUC"
    GINI = "GINI"
    LIFT = "LIFT"
    KS = "KS"
    TAU = "TAR"
    RHO = "RHO"
    ACCURACY = "ACCURACY"

class SubsetPerformance(CoreModel):
    sample: SampleType
    target: str
    performance: dict[PerformanceMetrics, float] = ...

class SubsetPerformancePerformanceType:
    metric: PerformanceMetrics
    value: float
    def __init__(self, *, metric: PerformanceMetrics, value: float) -> None: ...

class SubsetPerformanceType:
    sample: SampleType
    target: str
    performance: list[SubsetPerformancePerformanceType]
    @classmethod
    def from_pydantic(
        cls, instance: SubsetPerformance, extra: Optional[dict[str, Any]] = None
    ) -> SubsetPerformanceType: ...
