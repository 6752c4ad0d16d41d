import datetime
from collections.abc import Mapping
from typing import Any, Optional

from zelvora_analytics_utils.predictive_models.model_summary.subset_summary import SampleDescription, SampleDescriptionType
from zelvora_analytics_utils.utils.core_model import CoreModel, _PydanticView, _QueryType

__all__ = [
    "AttachedImage",
    "PredictiveModelSummary",
    "AttributeDescriptionType",
    "HyperparameterType",
    "GeneralNoteType",
    "AttachedImageType",
    "PredictiveModelSummaryType",
]

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

class AttachedImageType(_PydanticView):
    type: str
    filename: str
    def __init__(self, *, type: str, filename: str) -> None: ...
    @staticmethod
    def from_pydantic(instance: AttachedImage, extra: Optional[dict[str, Any]] = None) -> AttachedImageType: ...
    def to_pydantic(self, **kwargs: Any) -> AttachedImage: ...

class AttributeDescriptionType(_QueryType):
    attribute_name: str
    description: str
    def __init__(self, attribute_name: str, description: str) -> None: ...

class HyperparameterType(_QueryType):
    name: str
    value: str
    def __init__(self, name: str, value: str) -> None: ...

class GeneralNoteType(_QueryType):
    title: str
    content: str
    def __init__(self, title: str, content: str) -> None: ...

class PredictiveModelSummaryType(_PydanticView):
    predictive_model_name: Optional[str]
    predictive_model_created: Optional[datetime.date]
    number_of_trainable_parameters: Optional[int]
    attached_images: Optional[list[AttachedImageType]]
    sample_metadata: Optional[list[SampleDescriptionType]]
    def attribute_description(self) -> list[AttributeDescriptionType]: ...
    def hyperparameters(self) -> list[HyperparameterType]: ...
    def general_notes(self) -> list[GeneralNoteType]: ...
    def eval_metric(self) -> str: ...
    def __init__(
        self,
        *,
        predictive_model_name: Optional[str] = ...,
        predictive_model_created: Optional[datetime.date] = ...,
        sample_metadata: Optional[list[SampleDescriptionType]] = ...,
        number_of_trainable_parameters: Optional[int] = ...,
        attached_images: Optional[list[AttachedImageType]] = ...,
    ) -> None: ...
    @staticmethod
    def from_pydantic(instance: PredictiveModelSummary, extra: Optional[dict[str, Any]] = None) -> PredictiveModelSummaryType: ...
    def to_pydantic(self, **kwargs: Any) -> PredictiveModelSummary: ...
