import enum
from typing import Annotated, Any, Literal, Optional, Union

import pydantic

from zelvora_analytics_utils.utils.core_model import CoreModel

logger: Any

class AttributeDataType(str, enum.Enum):
    CATEGORICAL = "CATEGORICAL"
    NUMERICAL = "NUMERICAL"

class PredictiveModelBinName(str, enum.Enum):
    DEFAULT = "0_default"
    DEFINED_DEFAULT = "0_defined_default"
    SYSTEM_DEFAULT = "0_system_default"
    NULL = "1_null"

class AbstractAttributeBin(CoreModel):
    name: str
    value: Optional[float] = None
    frequency: Optional[float] = None
    target_rate: Optional[float] = None
    id: int

# A bin's `name` and `type` may be left out: the bin generates its name from its id and
# bounds or categories, and fills its kind.
class AttributeBinNumerical(AbstractAttributeBin):
    name: str = ...
    type: Literal[AttributeDataType.NUMERICAL] = AttributeDataType.NUMERICAL
    lower_bound: Optional[float] = None
    upper_bound: Optional[float] = None
    @staticmethod
    def _get_number_formatting(number: float) -> str: ...

class AttributeBinCategorical(AbstractAttributeBin):
    name: str = ...
    type: Literal[AttributeDataType.CATEGORICAL] = AttributeDataType.CATEGORICAL
    categories: Optional[list[str]] = None

AttributeBin = Annotated[Union[AttributeBinNumerical, AttributeBinCategorical], pydantic.Field(discriminator="type")]

class FeatureBinning(CoreModel):
    attribute: str
    attribute_data_type: AttributeDataType
    feature_binning: list[AttributeBin] = ...
    binned_attribute_name: Optional[str] = None
    def bin_numeric_attribute(self, value: Any) -> Optional[float]: ...
    def bin_categoric_attribute(self, value: Optional[str]) -> Optional[float]: ...

class AbstractAttributeBinType:
    name: str
    value: Optional[float]
    frequency: Optional[float]
    target_rate: Optional[float]
    id: int
    type: AttributeDataType
    @classmethod
    def from_pydantic(cls, instance: Any, extra: Optional[dict[str, Any]] = None) -> Any: ...

class AttributeBinCategoricalType(AbstractAttributeBinType):
    categories: Optional[list[str]]

class AttributeBinNumericalType(AbstractAttributeBinType):
    lower_bound: Optional[float]
    upper_bound: Optional[float]
    formatted_lower_bound: Optional[str]
    formatted_upper_bound: Optional[str]

class FeatureBinningType:
    attribute: str
    feature_binning: list[Union[AttributeBinNumericalType, AttributeBinCategoricalType]]
    @classmethod
    def from_pydantic(cls, instance: FeatureBinning, extra: Optional[dict[str, Any]] = None) -> FeatureBinningType: ...
