"""The report command: a model as one self-contained HTML page (inline SVG charts, no
script, nothing fetched), with the population stability of a data file when one is given.

Page structure that tools may rely on: each binning chart is a
``<figure class="binning" data-attribute=... data-kind="preprocessing|monitoring">``
holding one ``<svg role="img">``; with data, ``<section id="stability">`` holds one
``<tr data-attribute=... data-psi=... data-band="low|moderate|high">`` per attribute and a
``<figure class="stability" data-attribute=...>`` chart per attribute.
"""

from __future__ import annotations

import argparse
import math
import os
from collections.abc import Iterable, Sequence
from html import escape
from typing import Any, Optional

from zelvora_analytics_utils.cli.bundles import load_model, open_output
from zelvora_analytics_utils.cli.common import EXIT_OK, PROG, CommandError, describe
from zelvora_analytics_utils.cli.report import enum_text, model_report
from zelvora_analytics_utils.cli.svg import (
    PATTERNS,
    Bar,
    Pair,
    binning_chart,
    count,
    cut,
    psi_chart,
    psi_text,
    stability_chart,
)
from zelvora_analytics_utils.cli.stability import (
    BANDS,
    Monitored,
    Stability,
    band_of,
    measure_stability,
)

__all__ = ["command_report", "render_page"]

# Bins drawn per chart, and charts per kind of binning; the rest is counted in a note.
MAX_BINS = 60
MAX_CHARTS = 1000

STYLE = """
body{margin:0;color:#1b1b1b;background:#fff;line-height:1.45;
font-family:system-ui,-apple-system,"Segoe UI",Roboto,"Helvetica Neue",Arial,sans-serif}
header,main{max-width:62rem;margin:0 auto;padding:0 1rem}
h1{font-size:1.6rem;margin:1.2rem 0 .3rem;overflow-wrap:anywhere}h2{margin-top:2.2rem;border-bottom:2px solid #ccc}
table{border-collapse:collapse;margin:.4rem 0 1rem}caption{text-align:left;font-weight:600}
th,td{border-bottom:1px solid #ddd;padding:.25rem .6rem;text-align:left;vertical-align:top}
td.num{text-align:right;font-variant-numeric:tabular-nums}
td,th,figcaption,code{overflow-wrap:anywhere}th{min-width:5em}.facts th{white-space:nowrap}
figure{margin:1rem 0 2rem;overflow-x:auto}figcaption{font-weight:600;margin-bottom:.3rem}
svg{max-width:100%;height:auto;font-family:inherit;font-size:12px}
.note{color:#444;font-style:italic;margin:.2rem 0}
.band{font-weight:600;white-space:nowrap}.band-high{color:#9b2c1f}.band-moderate{color:#7a5200}
"""

BAND_MARK = {"low": "○", "moderate": "◐", "high": "●"}
NULL_NAMES = {"1_null"}
CATCH_ALL_NAMES = {"0_default", "0_defined_default", "0_system_default"}


def h(value: Any) -> str:
    return escape(str(value), quote=True)


def number(value: Any, digits: int = 4) -> str:
    if value is None:
        return "–"
    if isinstance(value, float):
        if not math.isfinite(value):
            return "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")
        return f"{value:.{digits}f}"
    if isinstance(value, int) and not isinstance(value, bool):
        return count(value)
    return str(value)


# --- bins ----------------------------------------------------------------------------------


def role_of(name: str) -> str:
    """How the lookups treat a bin, by its name: the null bin, a catch-all bin, or a bin."""
    if name in NULL_NAMES:
        return "null"
    return "catch-all" if name in CATCH_ALL_NAMES else "bin"


def bound_key(row: dict[str, Any]) -> tuple[int, float, float]:
    lower, upper = row.get("lower_bound"), row.get("upper_bound")
    if (
        lower is None
        and upper is None
        or any(v is not None and math.isnan(v) for v in (lower, upper))
    ):
        return (1, 0.0, 0.0)  # incomplete: after the others, in list order
    return (0, -math.inf if lower is None else lower, math.inf if upper is None else upper)


def ordered(rows: Sequence[dict[str, Any]], numerical: bool) -> list[dict[str, Any]]:
    """Bins as charts show them: numerical bins by their bounds, others in list order;
    then the null bins, then the catch-all bins."""
    ordinary = [r for r in rows if role_of(r["name"]) == "bin"]
    if numerical:
        ordinary.sort(key=bound_key)  # stable: equal bounds stay in list order
    return (
        ordinary
        + [r for r in rows if role_of(r["name"]) == "null"]
        + [r for r in rows if role_of(r["name"]) == "catch-all"]
    )


def shares_of(rows: Sequence[dict[str, Any]]) -> list[Optional[float]]:
    """Frequencies as shares of their total (a frequency that cannot be a share as it is)."""
    usable = [
        f for f in (r["frequency"] for r in rows) if f is not None and math.isfinite(f) and f >= 0
    ]
    total = sum(usable)
    return [
        f / total if total > 0 and f is not None and math.isfinite(f) and f >= 0 else f
        for f in (r["frequency"] for r in rows)
    ]


# --- sections ------------------------------------------------------------------------------


def table(
    caption: Optional[str],
    headers: Sequence[str],
    rows: Iterable[Sequence[str]],
    row_headers: bool = True,
) -> str:
    """A table of escaped texts; the first cell of a row is its header when `row_headers`."""
    head = "".join(f'<th scope="col">{h(x)}</th>' for x in headers)
    body = []
    for row in rows:
        cells = [
            f'<th scope="row">{h(c)}</th>' if i == 0 and row_headers else f"<td>{h(c)}</td>"
            for i, c in enumerate(row)
        ]
        body.append("<tr>" + "".join(cells) + "</tr>")
    caption_html = f"<caption>{h(caption)}</caption>" if caption else ""
    return (
        f"<table>{caption_html}<thead><tr>{head}</tr></thead><tbody>{''.join(body)}</tbody></table>"
    )


def facts(rows: Iterable[tuple[str, str]], code: Sequence[str] = ()) -> str:
    """A two-column table of named facts; values of the names in `code` as code."""
    body = "".join(
        f'<tr><th scope="row">{h(k)}</th><td>{f"<code>{h(v)}</code>" if k in code else h(v)}</td></tr>'
        for k, v in rows
    )
    return f'<table class="facts"><tbody>{body}</tbody></table>'


def model_section(report: dict[str, Any]) -> str:
    attributes = report["attributes"]
    rows = [
        ("Type", report["type"] or "–"),
        ("Category", report["category"] or "–"),
        (
            "Target",
            (report["target"] or "–")
            + (f" (class {report['target_class']})" if report["target_class"] else ""),
        ),
        ("Attributes", f"{len(attributes)}: " + ", ".join(attributes)),
    ]
    if report["formula"]:
        rows.append(("Formula", report["formula"]))
    trees = report["trees"]
    if any(v is not None for v in trees.values()):
        rows.append(
            ("Trees", ", ".join(f"{k.replace('_', ' ')} {number(v)}" for k, v in trees.items()))
        )
    return (
        '<section id="model" aria-labelledby="model-h"><h2 id="model-h">Model</h2>'
        + facts(rows, code=("Formula",))
        + "</section>"
    )


def description_section(description: Any) -> str:
    parts = [
        '<section id="description" aria-labelledby="description-h"><h2 id="description-h">Description</h2>'
    ]
    general = [
        ("Name", description.predictive_model_name),
        ("Created", description.predictive_model_created),
        ("Trainable parameters", description.number_of_trainable_parameters),
    ]
    shown = [(k, number(v)) for k, v in general if v is not None]
    if shown:
        parts.append(facts(shown))
    samples = description.sample_metadata or []
    if samples:
        parts.append(
            table(
                "Samples",
                ["Sample", "First date", "Last date", "Observations", "Observations by class"],
                [
                    [
                        enum_text(s.sample_type) or "–",
                        number(s.first_date),
                        number(s.last_date),
                        number(s.number_of_observations),
                        ", ".join(
                            f"{c.label_class}: {number(c.number_of_observations)}"
                            for c in s.label_class_frequency or []
                        )
                        or "–",
                    ]
                    for s in samples
                ],
            )
        )
    for caption, mapping, headers in (
        ("Attributes", description.attribute_description, ["Attribute", "Description"]),
        ("Hyperparameters", description.hyperparameters, ["Name", "Value"]),
        ("Notes", description.general_notes, ["Note", "Text"]),
    ):
        if mapping:
            parts.append(table(caption, headers, [[str(k), str(v)] for k, v in mapping.items()]))
    images = description.attached_images or []
    if images:
        parts.append(
            table(
                "Attached images (in the bundle)",
                ["File", "Type"],
                [[i.filename, i.type] for i in images],
            )
        )
    if len(parts) == 1:
        parts.append('<p class="note">The model has no description.</p>')
    parts.append("</section>")
    return "".join(parts)


def performance_section(performance: Any) -> str:
    subsets = performance.subset_performance
    parts = [
        '<section id="performance" aria-labelledby="performance-h"><h2 id="performance-h">Performance</h2>'
    ]
    if not subsets:
        parts.append('<p class="note">The model records no performance.</p>')
    else:
        metrics: dict[str, None] = {}
        for metric in list(performance.performance_metrics) + [
            m for s in subsets for m in s.performance
        ]:
            metrics[enum_text(metric) or ""] = None
        values = [{enum_text(m): v for m, v in s.performance.items()} for s in subsets]
        parts.append(
            table(
                "Metrics by sample",
                ["Sample", "Target", *metrics],
                [
                    [enum_text(s.sample) or "–", s.target, *(number(v.get(m)) for m in metrics)]
                    for s, v in zip(subsets, values)
                ],
            )
        )
    parts.append("</section>")
    return "".join(parts)


class Keys:
    """Unique ids for the charts of a page."""

    def __init__(self) -> None:
        self.count = 0

    def __call__(self) -> str:
        self.count += 1
        return f"c{self.count}"


def binning_figure(binning: dict[str, Any], kind: str, caption: str, keys: Keys) -> str:
    numerical = binning["data_type"] == "NUMERICAL"
    rows = ordered(binning["bins"], numerical)
    drawn, omitted = rows[:MAX_BINS], max(len(rows) - MAX_BINS, 0)
    shares = shares_of(rows)[:MAX_BINS]
    bars = [Bar(r["name"], role_of(r["name"]), s, r["value"]) for r, s in zip(drawn, shares)]
    notes = []
    if not rows:
        notes.append("The binning has no bins.")
    elif all(r["frequency"] is None for r in rows):
        notes.append("No bin has a development frequency: only the bin values are drawn.")
    if omitted:
        notes.append(f"{count(omitted)} more bins are not drawn (at most {MAX_BINS} a chart).")
    chart = binning_chart(bars, f"{binning['attribute']}: {caption}", keys(), omitted)
    return (
        f'<figure class="binning" data-attribute="{h(binning["attribute"])}" data-kind="{kind}">'
        f"<figcaption>{h(binning['attribute'])} <span class=\"kind\">({h(caption)})</span></figcaption>"
        + chart
        + "".join(f'<p class="note">{h(n)}</p>' for n in notes)
        + "</figure>"
    )


def binning_caption(binning: dict[str, Any], kind: str) -> str:
    data_type = (binning["data_type"] or "").lower()
    renamed = binning["binned_attribute_name"]
    if kind == "preprocessing":
        text = f"{data_type} preprocessing binning" + (f" into {renamed}" if renamed else "")
    elif binning.get("model_output"):
        text = f"{data_type} monitoring binning of the model output"
    else:
        text = f"{data_type} monitoring binning"
    bins = len(binning["bins"])
    return f"{text}, {bins} bin{'s' if bins != 1 else ''}"


def binnings_section(report: dict[str, Any], keys: Keys) -> str:
    parts = [
        '<section id="binnings" aria-labelledby="binnings-h"><h2 id="binnings-h">Binnings</h2>',
        "<p>Each chart shows the development share of every bin as a bar and the bin's value as a "
        "point on its own axis (circles joined by a line for ordinary bins, squares for the null "
        "and catch-all bins). Numerical bins are in the order of their bounds; the null bin and "
        "the catch-all bin are drawn apart, below a dashed rule, and named.</p>",
    ]
    for kind, title, binnings in (
        ("preprocessing", "Preprocessing binnings", report["binnings"]),
        ("monitoring", "Monitoring binnings", report["monitoring_binnings"]),
    ):
        parts.append(f'<h3 id="{kind}-h">{title}</h3>')
        if not binnings:
            parts.append(f'<p class="note">The model has no {kind} binnings.</p>')
        for binning in binnings[:MAX_CHARTS]:
            parts.append(binning_figure(binning, kind, binning_caption(binning, kind), keys))
        if len(binnings) > MAX_CHARTS:
            parts.append(
                f'<p class="note">{count(len(binnings) - MAX_CHARTS)} more {kind} binnings are not drawn.</p>'
            )
    parts.append("</section>")
    return "".join(parts)


def stability_pairs(result: Stability) -> list[Pair]:
    """Expected and observed shares of the bins with a frequency, one per name, as
    stability_index takes them."""
    item = result.monitored
    rows = ordered(
        [
            {
                "name": b.name,
                "frequency": b.frequency,
                "lower_bound": getattr(b, "lower_bound", None),
                "upper_bound": getattr(b, "upper_bound", None),
            }
            for b in item.binning.feature_binning
        ],
        item.numerical,
    )
    expected: dict[str, float] = {}
    for row in rows:
        if row["frequency"] is not None:
            expected[row["name"]] = expected.get(row["name"], 0.0) + row["frequency"]
    observed = {name: float(result.counts.get(name, 0)) for name in expected}
    total_expected, total_observed = sum(expected.values()), sum(observed.values())
    return [
        Pair(
            name,
            role_of(name),
            expected[name] / total_expected if total_expected else 0.0,
            observed[name] / total_observed if total_observed else 0.0,
        )
        for name in expected
    ]


def band_text(band: str) -> str:
    return f'<span class="band band-{band}">{BAND_MARK[band]} {band}</span> ({BANDS[band]})'


def stability_section(
    results: list[Stability], missing: list[Monitored], data_name: str, keys: Keys
) -> str:
    measured = [
        (r, r.monitored.attribute, r.psi, band_of(r.psi)) for r in results if r.psi is not None
    ]
    parts = [
        '<section id="stability" aria-labelledby="stability-h"><h2 id="stability-h">Population stability</h2>',
        f"<p>Data: <code>{h(data_name)}</code>. The population stability index (PSI) of each "
        "monitored attribute compares the shares of the data's values in the bins of its "
        "monitoring binning with the bins' development frequencies: PSI = Σ (observed − "
        "expected) × ln(observed / expected), a share of 0 counted as 0.0001. Bands: "
        + "; ".join(band_text(b) for b in BANDS)
        + ". Attributes are listed by PSI, largest first.</p>",
    ]
    if measured:
        rows = [
            f'<tr data-attribute="{h(name)}" data-psi="{psi!r}" data-band="{band}">'
            f'<th scope="row">{h(name)}</th><td class="num">{psi_text(psi)}</td><td>{band_text(band)}</td>'
            f'<td class="num">{count(sum(r.counts.values()))}</td>'
            f'<td class="num">{count(r.counts.get(None, 0))}</td></tr>'
            for r, name, psi, band in measured
        ]
        parts.append(
            "<table><caption>Attributes by PSI</caption><thead><tr>"
            '<th scope="col">Attribute</th><th scope="col">PSI</th><th scope="col">Band</th>'
            '<th scope="col">Values</th><th scope="col">Values in no bin</th></tr></thead>'
            f"<tbody>{''.join(rows)}</tbody></table>"
        )
        parts.append(
            '<figure class="psi-summary"><figcaption>PSI by attribute</figcaption>'
            + psi_chart(
                [(name, psi, band) for _, name, psi, band in measured[:MAX_CHARTS]],
                "PSI by attribute, with the band limits 0.1 and 0.25",
                keys(),
            )
            + "</figure>"
        )
    unmeasured = [r for r in results if r.psi is None]
    if unmeasured:
        parts.append(
            '<p class="unmeasured">No PSI for: '
            + "; ".join(f"{h(r.monitored.attribute)} ({h(r.problem)})" for r in unmeasured)
            + ".</p>"
        )
    if missing:
        parts.append(
            '<p class="missing">Monitored attributes not in the data: '
            + ", ".join(f"<code>{h(m.attribute)}</code>" for m in missing)
            + ".</p>"
        )
    if not results and not missing:
        parts.append('<p class="note">The model has no monitoring binnings.</p>')
    for r, name, psi, band in measured[:MAX_CHARTS]:
        pairs = stability_pairs(r)
        drawn, omitted = pairs[:MAX_BINS], max(len(pairs) - MAX_BINS, 0)
        title = f"{name}: expected and observed shares, PSI {psi_text(psi)} ({band})"
        parts.append(
            f'<figure class="stability" data-attribute="{h(name)}">'
            f"<figcaption>{h(name)}: PSI {psi_text(psi)}, {band_text(band)}</figcaption>"
            + stability_chart(drawn, title, keys(), omitted)
            + "</figure>"
        )
    if len(measured) > MAX_CHARTS:
        parts.append(
            f'<p class="note">{count(len(measured) - MAX_CHARTS)} more attributes are not drawn.</p>'
        )
    parts.append("</section>")
    return "".join(parts)


def render_page(
    model: Any,
    report: dict[str, Any],
    stability: Optional[tuple[list[Stability], list[Monitored]]] = None,
    data_name: str = "",
) -> str:
    keys = Keys()
    name = (
        report["name"] or os.path.basename(os.path.normpath(report["bundle"])) or report["bundle"]
    )
    body = [
        f"<header><h1>Model report: {h(name)}</h1>",
        f'<p>Bundle <code>{h(report["bundle"])}</code>, written by <code>{PROG} report</code>.</p></header>',
        "<main>",
        model_section(report),
        description_section(model.description),
        performance_section(model.performance),
    ]
    if stability is not None:
        body.append(stability_section(*stability, data_name, keys))
    body.append(binnings_section(report, keys))
    body.append("</main>")
    page = (
        '<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
        '<meta name="viewport" content="width=device-width, initial-scale=1">'
        f"<title>Model report: {h(cut(name, 200))}</title><style>{STYLE}</style></head><body>"
        + PATTERNS
        + "".join(body)
        + "</body></html>\n"
    )
    # Texts read from YAML may hold lone surrogates, which UTF-8 cannot carry.
    return page.encode("utf-8", "replace").decode("utf-8")


def command_report(args: argparse.Namespace) -> int:
    """Write a model's report page."""
    model = load_model(args.bundle)
    report = model_report(model, args.bundle)
    try:
        protected = [("bundle", os.stat(args.bundle))]
        if args.data is not None:
            protected.append(("data file", os.stat(args.data)))
    except OSError as error:
        raise CommandError(describe(error)) from error
    stability = measure_stability(model.monitoring, args.data) if args.data is not None else None
    page = render_page(model, report, stability, args.data or "")
    directory = args.bundle if os.path.isdir(args.bundle) else None
    with open_output(args.output, protected, directory) as target:
        target.write(page)
    return EXIT_OK
