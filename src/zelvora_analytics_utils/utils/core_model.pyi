"""The record base of every record."""

import sys
from typing import Any, ClassVar, Self

import pydantic

__all__ = ["CyFunctionDetector", "CoreModel"]

class _CyFunctionDetectorMeta(type):
    def __instancecheck__(cls, instance: Any) -> bool: ...

class CyFunctionDetector(metaclass=_CyFunctionDetectorMeta): ...

class CoreModel(pydantic.BaseModel):
    model_config: ClassVar[pydantic.ConfigDict]

# Stub-only bases of what the modules declare (absent at run time).

class _QueryType:
    """A query type: constructed by keyword, its computed fields resolved as methods."""

    __strawberry_definition__: ClassVar[Any]
    __match_args__: ClassVar[tuple[str, ...]]
    if sys.version_info >= (3, 13):
        def __replace__(self, /, **changes: Any) -> Self: ...

class _PydanticView(_QueryType):
    """A view of a record."""

    @classmethod
    def is_type_of(cls, obj: Any, _info: Any) -> bool: ...
    def to_pydantic(self, **kwargs: Any) -> Any: ...
