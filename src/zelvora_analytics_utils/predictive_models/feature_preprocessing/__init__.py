"""Preparation of a model's input attributes: binning and formula transformations."""

__all__: list[str] = []
