import datetime
from collections.abc import Mapping
from typing import Any, Optional

from zelvora_analytics_utils.predictive_models.model_summary.subset_summary import SampleDescription, SampleDescriptionType
from zelvora_analytics_utils.utils.core_model import CoreModel

class AttachedImage(CoreModel):
    type: str
    filename: str
    image: Optional[bytes] = None

class PredictiveModelSummary(CoreModel):
    predictive_model_name: Optional[str] = None
    predictive_model_created: Optional[datetime.date] = None
    sample_metadata: Optional[list[SampleDescription]] = None
    attribute_description: Optional[dict[str, str]] = None
    hyperparameters: Optional[dict[str, Any]] = None
    number_of_trainable_parameters: Optional[int] = None
    general_notes: Optional[dict[str, str]] = None
    attached_images: Optional[list[AttachedImage]] = None
    def add_general_note(self, note: Mapping[str, str] | str) -> None: ...
    def remove_general_note(self, note_key: str) -> None: ...

class AttachedImageType:
    type: str
    filename: str
    @classmethod
    def from_pydantic(cls, instance: AttachedImage, extra: Optional[dict[str, Any]] = None) -> AttachedImageType: ...

class AttributeDescriptionType:
    attribute_name: str
    description: str
    def __init__(self, *, attribute_name: str, description: str) -> None: ...

class HyperparameterType:
    name: str
    value: str
    def __init__(self, *, name: str, value: str) -> None: ...

class GeneralNoteType:
    title: str
    content: str
    def __init__(self, *, title: str, content: str) -> None: ...

class PredictiveModelSummaryType:
    predictive_model_name: Optional[str]
    predictive_model_created: Optional[datetime.date]
    number_of_trainable_parameters: Optional[int]
    attached_images: Optional[list[AttachedImageType]]
    sample_metadata: Optional[list[SampleDescriptionType]]
    attribute_description: list[AttributeDescriptionType]
    hyperparameters: list[HyperparameterType]
    general_notes: list[GeneralNoteType]
    eval_metric: str
    @classmethod
    def from_pydantic(cls, instance: PredictiveModelSummary, extra: Optional[dict[str, Any]] = None) -> PredictiveModelSummaryType: ...
