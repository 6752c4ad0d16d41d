import enum
from typing import Any, ClassVar, Optional, Self

from zelvora_analytics_utils.utils.core_model import CoreModel, _PydanticView, _QueryType

__all__ = [
    "SampleType",
    "PerformanceMetrics",
    "SubsetPerformance",
    "SubsetPerformancePerformanceType",
    "SubsetPerformanceType",
]

class SampleType(str, enum.Enum):
    __strawberry_definition__: ClassVar[Any]
    def __new__(cls, value: object) -> Self: ...
    TRAIN = "TRAIN"
    VALID = "VALID"
    TEST = "TEST"
    OOT = "OOT"
    CV = "CV"

class PerformanceMetrics(str, enum.Enum):
    __strawberry_definition__: ClassVar[Any]
    def __new__(cls, value: object) -> Self: ...
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

class SubsetPerformancePerformanceType(_QueryType):
    metric: PerformanceMetrics
    value: float
    def __init__(self, metric: PerformanceMetrics, value: float) -> None: ...

class SubsetPerformanceType(_PydanticView):
    sample: SampleType
    target: str
    def performance(self) -> list[SubsetPerformancePerformanceType]: ...
    def __init__(self, *, sample: SampleType, target: str) -> None: ...
    @staticmethod
    def from_pydantic(instance: SubsetPerformance, extra: Optional[dict[str, Any]] = None) -> SubsetPerformanceType: ...
    def to_pydantic(self, **kwargs: Any) -> SubsetPerformance: ...
