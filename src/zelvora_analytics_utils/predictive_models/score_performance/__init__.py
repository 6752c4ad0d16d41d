"""The performance of a model's score, overall and by sample subset."""

__all__: list[str] = []
