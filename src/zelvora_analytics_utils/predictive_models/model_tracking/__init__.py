"""The tracking of a model in production."""

__all__: list[str] = []
