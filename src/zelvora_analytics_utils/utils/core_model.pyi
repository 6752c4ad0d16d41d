from typing import Any, ClassVar

import pydantic

class _CyFunctionDetectorMeta(type):
    def __instancecheck__(cls, instance: Any) -> bool: ...

class CyFunctionDetector(metaclass=_CyFunctionDetectorMeta): ...

class CoreModel(pydantic.BaseModel):
    model_config: ClassVar[pydantic.ConfigDict]

class compiled_function:
    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...
