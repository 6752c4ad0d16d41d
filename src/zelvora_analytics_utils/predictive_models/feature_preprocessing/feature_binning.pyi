import enum
from typing import Annotated, Any, ClassVar, Literal, Optional, Self, Union

import numpy
import pydantic

from zelvora_analytics_utils.utils.core_model import CoreModel, _PydanticView

__all__ = [
    "AttributeDataType",
    "PredictiveModelBinName",
    "AbstractAttributeBin",
    "AttributeBinNumerical",
    "AttributeBinCategorical",
    "AttributeBin",
    "FeatureBinning",
    "AbstractAttributeBinType",
    "AttributeBinNumericalType",
    "AttributeBinCategoricalType",
    "FeatureBinningType",
]

logger: Any

class AttributeDataType(str, enum.Enum):
    __strawberry_definition__: ClassVar[Any]
    def __new__(cls, value: object) -> Self: ...
    CATEGORICAL = "CATEGORICAL"
    NUMERICAL = "NUMERICAL"

class PredictiveModelBinName(str, enum.Enum):
    def __new__(cls, value: object) -> Self: ...
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
    def bin_array(self, values: Any) -> numpy.ndarray[Any, numpy.dtype[numpy.float64]]: ...

class AbstractAttributeBinType(_PydanticView):
    name: str
    value: Optional[float]
    frequency: Optional[float]
    target_rate: Optional[float]
    id: int
    def type(self) -> AttributeDataType: ...
    def __init__(
        self,
        *,
        name: str,
        value: Optional[float] = ...,
        frequency: Optional[float] = ...,
        target_rate: Optional[float] = ...,
        id: int,
    ) -> None: ...
    @staticmethod
    def from_pydantic(instance: AbstractAttributeBin, extra: Optional[dict[str, Any]] = None) -> AbstractAttributeBinType: ...
    def to_pydantic(self, **kwargs: Any) -> AbstractAttributeBin: ...

class AttributeBinCategoricalType(AbstractAttributeBinType):
    categories: Optional[list[str]]
    def __init__(
        self,
        *,
        name: str,
        value: Optional[float] = ...,
        frequency: Optional[float] = ...,
        target_rate: Optional[float] = ...,
        id: int,
        categories: Optional[list[str]] = ...,
    ) -> None: ...
    @staticmethod
    def from_pydantic(  # type: ignore[override]
        instance: AttributeBinCategorical, extra: Optional[dict[str, Any]] = None
    ) -> AttributeBinCategoricalType: ...
    def to_pydantic(self, **kwargs: Any) -> AttributeBinCategorical: ...

class AttributeBinNumericalType(AbstractAttributeBinType):
    def lower_bound(self) -> Optional[float]: ...
    def upper_bound(self) -> Optional[float]: ...
    def formatted_lower_bound(self) -> Optional[str]: ...
    def formatted_upper_bound(self) -> Optional[str]: ...
    def __init__(
        self,
        *,
        name: str,
        value: Optional[float] = ...,
        frequency: Optional[float] = ...,
        target_rate: Optional[float] = ...,
        id: int,
    ) -> None: ...
    @staticmethod
    def from_pydantic(  # type: ignore[override]
        instance: AttributeBinNumerical, extra: Optional[dict[str, Any]] = None
    ) -> AttributeBinNumericalType: ...
    def to_pydantic(self, **kwargs: Any) -> AttributeBinNumerical: ...

class FeatureBinningType(_PydanticView):
    attribute: str
    def feature_binning(self) -> list[Union[AttributeBinNumericalType, AttributeBinCategoricalType]]: ...
    def __init__(self, *, attribute: str) -> None: ...
    @staticmethod
    def from_pydantic(instance: FeatureBinning, extra: Optional[dict[str, Any]] = None) -> FeatureBinningType: ...
    def to_pydantic(self, **kwargs: Any) -> FeatureBinning: ...
