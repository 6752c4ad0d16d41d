"""The description of a model and of the samples it was built and checked on."""

__all__: list[str] = []
