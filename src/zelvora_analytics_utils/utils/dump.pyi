import json
from typing import IO, Any

from ruamel.yaml.constructor import SafeConstructor
from ruamel.yaml.nodes import Node
from ruamel.yaml.representer import SafeRepresenter as RuamelSafeRepresenter

__all__ = [
    "ValidRepresenter",
    "ZelvoJSONEncoder",
    "CheckedSafeConstructor",
    "format_output_data",
    "is_invalid",
    "filter_data",
    "valid_dump_yaml",
    "valid_dumps_yaml",
    "safe_loads_yaml",
    "safe_dumps_json",
]

def format_output_data(obj: Any) -> Any: ...
def is_invalid(value: Any) -> bool: ...
def filter_data(data: Any) -> Any: ...

class ValidRepresenter(RuamelSafeRepresenter):
    def represent(self, data: Any) -> None: ...
    def represent_data(self, data: Any) -> Node: ...

def valid_dump_yaml(data: Any, stream: IO[str], **kwds: Any) -> None: ...
def valid_dumps_yaml(data: Any, **kwds: Any) -> str: ...

class CheckedSafeConstructor(SafeConstructor): ...

def safe_loads_yaml(content: str) -> Any: ...

class ZelvoJSONEncoder(json.JSONEncoder):
    def default(self, obj: Any) -> Any: ...

def safe_dumps_json(obj: Any, **kwargs: Any) -> str: ...
