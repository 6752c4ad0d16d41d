"""Preparation of a model's input attributes: binning."""

__all__: list[str] = []
