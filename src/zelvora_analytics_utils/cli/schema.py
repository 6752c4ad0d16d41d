"""The schema command: the GraphQL schema of the views, the JSON Schema of the model
document."""

from __future__ import annotations

import argparse
import json
import pkgutil
import sys
from typing import Any, Optional

from zelvora_analytics_utils.cli.common import EXIT_OK, json_safe

__all__ = ["command_schema", "graphql_schema", "json_schema"]


def json_schema() -> dict[str, Any]:
    """The JSON Schema of the model YAML document."""
    from zelvora_analytics_utils.predictive_models.augmented_predictive_model import (
        AugmentedPredictiveModel,
    )

    # The document is the model's output form: external_model, excluded from it, is
    # left out.
    schema = AugmentedPredictiveModel.model_json_schema(mode="serialization")
    return {
        "$schema": "https://json-schema.org/draft/2020-12/schema",
        "$comment": (
            "The model YAML document (extended_model.yaml of a bundle). Number fields also "
            "take the YAML values .inf, -.inf and .nan; the external model is a file of its "
            "own in the bundle, not a key of the document."
        ),
        **json_safe(schema),
    }


def view_classes() -> list[type]:
    """Every query view the package's modules publish, in module order."""
    import zelvora_analytics_utils

    views: list[type] = []
    prefix = zelvora_analytics_utils.__name__ + "."
    for info in pkgutil.walk_packages(zelvora_analytics_utils.__path__, prefix):
        leaf = info.name.rsplit(".", 1)[-1]
        if leaf.startswith("_") or f"{info.name}.".startswith(f"{__package__}."):  # the CLI
            continue
        try:
            module = __import__(info.name, fromlist=["_"])
        except ImportError as error:
            if "PyInit_" in str(error):  # a shared library beside the modules, not a module
                continue
            raise
        for value in vars(module).values():
            definition: Any = getattr(value, "__strawberry_definition__", None)
            if not isinstance(value, type) or definition is None:
                continue
            # Enumerations come along with the views that use them.
            if hasattr(definition, "fields") and not definition.is_input and value not in views:
                views.append(value)
    return views


def snake_case(name: str) -> str:
    out = []
    for i, char in enumerate(name):
        if char.isupper() and i and not name[i - 1].isupper():
            out.append("_")
        out.append(char.lower())
    return "".join(out)


def graphql_schema() -> str:
    """The SDL of a schema whose query type offers every view."""
    import strawberry

    views = view_classes()
    fields = {}
    annotations = {}
    for view in views:
        definition = view.__strawberry_definition__  # type: ignore[attr-defined]
        name = snake_case(view.__name__.removesuffix("Type"))
        annotations[name] = Optional[view]
        fields[name] = strawberry.field(default=None, description=definition.description)
    query = type("Query", (), {"__annotations__": annotations, **fields})
    query.__doc__ = "Every query view of zelvora_analytics_utils."
    schema = strawberry.Schema(query=strawberry.type(query, description=query.__doc__))
    return schema.as_str() + "\n"


def command_schema(args: argparse.Namespace) -> int:
    """Print the GraphQL schema of the views or the JSON Schema of the model document."""
    if args.graphql:
        sys.stdout.write(graphql_schema())
    else:
        sys.stdout.write(json.dumps(json_schema(), indent=2, allow_nan=False) + "\n")
    return EXIT_OK
