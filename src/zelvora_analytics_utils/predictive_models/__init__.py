"""Predictive models: the model record, its parts and its bundle of files."""

__all__: list[str] = []
