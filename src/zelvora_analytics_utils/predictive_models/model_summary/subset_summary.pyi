import datetime
from typing import Any, Optional

from zelvora_analytics_utils.predictive_models.score_performance.subset_performance import SampleType as SampleType
from zelvora_analytics_utils.utils.core_model import CoreModel

class ClassFrequency(CoreModel):
    label_class: Any
    number_of_observations: Optional[int] = None

class SampleDescription(CoreModel):
    sample_type: Optional[SampleType] = None
    first_date: Optional[datetime.date] = None
    last_date: Optional[datetime.date] = None
    number_of_observations: Optional[int] = None
    label_class_frequency: Optional[list[ClassFrequency]] = None

class ClassFrequencyType:
    number_of_observations: Optional[int]
    label_class: str
    @classmethod
    def from_pydantic(cls, instance: ClassFrequency, extra: Optional[dict[str, Any]] = None) -> ClassFrequencyType: ...

class SampleDescriptionType:
    sample_type: Optional[SampleType]
    first_date: Optional[datetime.date]
    last_date: Optional[datetime.date]
    number_of_observations: Optional[int]
    label_class_frequency: Optional[list[ClassFrequencyType]]
    @classmethod
    def from_pydantic(cls, instance: SampleDescription, extra: Optional[dict[str, Any]] = None) -> SampleDescriptionType: ...
