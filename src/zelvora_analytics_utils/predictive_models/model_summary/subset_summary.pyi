import datetime
from typing import Any, Optional

from zelvora_analytics_utils.predictive_models.score_performance.subset_performance import SampleType as SampleType
from zelvora_analytics_utils.utils.core_model import CoreModel, _PydanticView

__all__ = [
    "SampleType",
    "ClassFrequency",
    "SampleDescription",
    "ClassFrequencyType",
    "SampleDescriptionType",
]

class ClassFrequency(CoreModel):
    label_class: Any
    number_of_observations: Optional[int] = None

class SampleDescription(CoreModel):
    sample_type: Optional[SampleType] = None
    first_date: Optional[datetime.date] = None
    last_date: Optional[datetime.date] = None
    number_of_observations: Optional[int] = None
    label_class_frequency: Optional[list[ClassFrequency]] = None

class ClassFrequencyType(_PydanticView):
    number_of_observations: Optional[int]
    def label_class(self) -> str: ...
    def __init__(self, *, number_of_observations: Optional[int] = ...) -> None: ...
    @staticmethod
    def from_pydantic(instance: ClassFrequency, extra: Optional[dict[str, Any]] = None) -> ClassFrequencyType: ...
    def to_pydantic(self, **kwargs: Any) -> ClassFrequency: ...

class SampleDescriptionType(_PydanticView):
    sample_type: Optional[SampleType]
    first_date: Optional[datetime.date]
    last_date: Optional[datetime.date]
    number_of_observations: Optional[int]
    label_class_frequency: Optional[list[ClassFrequencyType]]
    def __init__(
        self,
        *,
        sample_type: Optional[SampleType] = ...,
        first_date: Optional[datetime.date] = ...,
        last_date: Optional[datetime.date] = ...,
        number_of_observations: Optional[int] = ...,
        label_class_frequency: Optional[list[ClassFrequencyType]] = ...,
    ) -> None: ...
    @staticmethod
    def from_pydantic(instance: SampleDescription, extra: Optional[dict[str, Any]] = None) -> SampleDescriptionType: ...
    def to_pydantic(self, **kwargs: Any) -> SampleDescription: ...
