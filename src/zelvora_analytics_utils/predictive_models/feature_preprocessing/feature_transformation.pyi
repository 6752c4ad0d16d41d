from typing import Any, Optional

from zelvora_analytics_utils.utils.core_model import CoreModel, _PydanticView

__all__ = ["FeatureTransformation", "FeatureTransformationType"]

class FeatureTransformation(CoreModel):
    attribute: str
    transformation: str
    transformed_attribute_name: Optional[str] = None

class FeatureTransformationType(_PydanticView):
    attribute: str
    transformation: str
    transformed_attribute_name: Optional[str]
    def __init__(
        self,
        *,
        attribute: str,
        transformation: str,
        transformed_attribute_name: Optional[str] = ...,
    ) -> None: ...
    @staticmethod
    def from_pydantic(instance: FeatureTransformation, extra: Optional[dict[str, Any]] = None) -> FeatureTransformationType: ...
    def to_pydantic(self, **kwargs: Any) -> FeatureTransformation: ...
