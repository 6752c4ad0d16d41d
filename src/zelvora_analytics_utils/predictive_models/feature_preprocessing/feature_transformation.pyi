from typing import Any, Optional

from zelvora_analytics_utils.utils.core_model import CoreModel

class FeatureTransformation(CoreModel):
    attribute: str
    transformation: str
    transformed_attribute_name: Optional[str] = None

class FeatureTransformationType:
    attribute: str
    transformation: str
    transformed_attribute_name: Optional[str]
    @classmethod
    def from_pydantic(
        cls, instance: FeatureTransformation, extra: Optional[dict[str, Any]] = None
    ) -> FeatureTransformationType: ...
