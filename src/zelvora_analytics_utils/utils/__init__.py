"""Shared foundations: the record base and YAML/JSON input and output."""

__all__: list[str] = []
