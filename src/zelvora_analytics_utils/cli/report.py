"""The validate and inspect commands: a model's report, as text or JSON."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Iterable, Sequence
from typing import Any, Optional

from zelvora_analytics_utils.cli.bundles import load_content, load_model, parse_model
from zelvora_analytics_utils.cli.common import (
    EXIT_FAILURE,
    EXIT_OK,
    PROG,
    CommandError,
    InvalidModel,
    describe,
    one_line,
    print_json,
)

__all__ = ["command_inspect", "command_validate", "enum_text", "formula_of", "model_report"]


def enum_text(value: Any) -> Optional[str]:
    return None if value is None else getattr(value, "value", str(value))


def formula_of(model: Any) -> Optional[str]:
    """The model's linear predictor as text, None when the model has none."""
    try:
        return model.formula()  # type: ignore[no-any-return]
    except Exception as error:  # a broken record the validator let through
        raise CommandError(f"cannot build the formula: {one_line(str(error))}") from error


def bin_rows(binning: Any) -> list[dict[str, Any]]:
    rows = []
    for item in binning.feature_binning:
        row = {
            "id": item.id,
            "name": item.name,
            "value": item.value,
            "frequency": item.frequency,
            "target_rate": item.target_rate,
        }
        if hasattr(item, "categories"):
            row["categories"] = item.categories
        else:
            row["lower_bound"] = item.lower_bound
            row["upper_bound"] = item.upper_bound
        rows.append(row)
    return rows


def model_report(model: Any, path: str) -> dict[str, Any]:
    try:
        tree = {
            "number_of_trees": model.get_external_model_number_of_trees(),
            "best_iteration": model.get_external_model_best_iteration(),
            "number_of_attributes": model.get_external_model_number_of_attributes(),
            "best_eval_metric": model.get_external_model_best_eval_metric(),
        }
        category = model.get_external_model_category()
    except Exception as error:  # a malformed external model
        raise CommandError(f"{path}: cannot read the external model: {describe(error)}") from error
    return {
        "bundle": path,
        "name": model.description.predictive_model_name,
        "type": enum_text(model.predictive_model_type),
        "category": enum_text(category),
        "target": model.target,
        "target_class": model.target_class,
        "attributes": list(model.attributes),
        "formula": formula_of(model),
        "trees": tree,
        "binnings": [binning_report(binning) for binning in model.feature_preprocessing.binning],
        "monitoring_binnings": monitoring_binnings(model.monitoring),
    }


def binning_report(binning: Any) -> dict[str, Any]:
    return {
        "attribute": binning.attribute,
        "data_type": enum_text(binning.attribute_data_type),
        "binned_attribute_name": binning.binned_attribute_name,
        "bins": bin_rows(binning),
    }


def monitoring_binnings(tracking: Any) -> list[dict[str, Any]]:
    """The binnings that monitoring looks observed values up in; the model output's last."""
    binnings = [dict(binning_report(b), model_output=False) for b in tracking.binning]
    output = tracking.predictive_model_output_binning
    if output is not None:
        binnings.append(dict(binning_report(output), model_output=True))
    return binnings


def cell(value: Any) -> str:
    if value is None:
        return "-"
    if isinstance(value, float):
        return f"{value:.6g}"
    if isinstance(value, list):
        return ", ".join(str(v) for v in value)
    return str(value)


def table(headers: Sequence[str], rows: Iterable[Sequence[Any]]) -> list[str]:
    cells = [list(headers)] + [[cell(v) for v in row] for row in rows]
    widths = [max(len(row[i]) for row in cells) for i in range(len(headers))]
    return ["  ".join(text.ljust(width) for text, width in zip(row, widths)).rstrip() for row in cells]


def print_report(report: dict[str, Any]) -> None:
    lines = [
        f"bundle:      {report['bundle']}",
        f"name:        {cell(report['name'])}",
        f"type:        {cell(report['type'])}",
        f"category:    {report['category']}",
        f"target:      {cell(report['target'])}"
        + (f" (class {report['target_class']})" if report["target_class"] else ""),
        f"attributes:  {len(report['attributes'])}: {cell(report['attributes'])}",
        f"formula:     {cell(report['formula'])}",
    ]
    tree = report["trees"]
    if any(v is not None for v in tree.values()):
        lines.append(
            "trees:       "
            + ", ".join(f"{k.replace('_', ' ')} {cell(v)}" for k, v in tree.items())
        )
    for binning in report["binnings"] + report["monitoring_binnings"]:
        renamed = binning["binned_attribute_name"]
        if "model_output" not in binning:
            kind = "binning of "
        elif binning["model_output"]:
            kind = "monitoring binning of model output "
        else:
            kind = "monitoring binning of "
        lines.append("")
        lines.append(
            f"{kind}{binning['attribute']} ({cell(binning['data_type'])})"
            + (f" -> {renamed}" if renamed else "")
        )
        headers = ("id", "name", "value", "frequency", "target rate")
        rows = [
            (b["id"], b["name"], b["value"], b["frequency"], b["target_rate"])
            for b in binning["bins"]
        ]
        lines.extend("  " + line for line in table(headers, rows))
    sys.stdout.write("\n".join(lines) + "\n")



def command_validate(args: argparse.Namespace) -> int:
    """Check that a bundle loads and its model validates."""
    content = load_content(args.bundle)
    try:
        parse_model(content, args.bundle)
        errors: list[tuple[str, str]] = []
    except InvalidModel as invalid:
        errors = invalid.errors
    if args.json:
        print_json(
            {
                "bundle": args.bundle,
                "valid": not errors,
                "errors": [{"location": loc, "message": msg} for loc, msg in errors],
            }
        )
    elif not errors:
        sys.stdout.write(f"{args.bundle}: valid\n")
    else:
        sys.stdout.write("".join(f"{loc}: {msg}\n" for loc, msg in errors))
    if errors:
        sys.stderr.write(f"{PROG} validate: {args.bundle}: invalid model, {len(errors)} error(s)\n")
        return EXIT_FAILURE
    return EXIT_OK


def command_inspect(args: argparse.Namespace) -> int:
    """Show a model: type, category, attributes, formula, tree figures, binnings."""
    report = model_report(load_model(args.bundle), args.bundle)
    if args.json:
        print_json(report)
    else:
        print_report(report)
    return EXIT_OK

