"""Charts of the report page as inline SVG text, drawn here rather than by a plotting library:
the page must work offline (nothing fetched, nothing to install beside the package), stay
small (a few kB a chart), and come out byte for byte the same for the same model and data,
and the package takes on no new runtime dependency for a picture.

Every text that comes from a bundle or a data file is escaped here; a label too long for its
place is cut visually, with the whole text in a <title> (a tooltip, and what a screen reader
reads). Meaning never rests on colour alone: bins are named, special bins are labelled, and
the two series of a comparison differ in fill (solid against hatched outline).
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from html import escape
from typing import Optional

__all__ = [
    "Bar",
    "Pair",
    "binning_chart",
    "cut",
    "label",
    "psi_chart",
    "stability_chart",
]

# Longest label drawn whole, in characters; longer ones end in "…" (the whole one in <title>).
LABEL_CHARS = 30
# Longest text kept in a tooltip or a chart's description (a name past this is unreadable
# anyway, and each is written once a chart).
TITLE_CHARS = 1000
WIDTH = 760
ROW = 22
TOP = 44
LABEL_RIGHT = 236  # labels end here, right-aligned

# Fill patterns shared by every chart of a page (defined once, in a hidden SVG).
PATTERNS = (
    '<svg width="0" height="0" aria-hidden="true" focusable="false" style="position:absolute">'
    "<defs>"
    '<pattern id="hatch" width="6" height="6" patternUnits="userSpaceOnUse" '
    'patternTransform="rotate(45)"><rect width="6" height="6" fill="#fff"/>'
    '<line x1="0" y1="0" x2="0" y2="6" stroke="#6b6b6b" stroke-width="2.5"/></pattern>'
    '<pattern id="cross" width="6" height="6" patternUnits="userSpaceOnUse">'
    '<rect width="6" height="6" fill="#f3c5bd"/>'
    '<path d="M0 0L6 6M6 0L0 6" stroke="#9b2c1f" stroke-width="1.2"/></pattern>'
    "</defs></svg>"
)


def text(value: object) -> str:
    """Text for an element's content or an attribute value, escaped (quotes too)."""
    return escape(str(value), quote=True)


def label(full: str, limit: int = LABEL_CHARS) -> tuple[str, bool]:
    """A label cut to `limit` characters on one line; whether it was cut."""
    flat = " ".join(full.split()) if any(c.isspace() and c != " " for c in full) else full
    if len(flat) <= limit and flat == full:
        return full, False
    return (flat[: limit - 1] + "…") if len(flat) > limit else flat, True


def cut(full: str, limit: int = TITLE_CHARS) -> str:
    """`full` whole when it has at most `limit` characters, else cut with "…"."""
    return full if len(full) <= limit else full[: limit - 1] + "…"


def text_label(full: str, x: float, y: float, anchor: str = "end", limit: int = LABEL_CHARS) -> str:
    shown, shortened = label(full, limit)
    element = f'<text x="{x:.1f}" y="{y:.1f}" text-anchor="{anchor}">{text(shown)}</text>'
    return f"<g><title>{text(cut(full))}</title>{element}</g>" if shortened else element


def number(value: Optional[float]) -> str:
    if value is None:
        return "none"
    if not math.isfinite(value):
        return "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")
    return f"{value:.4g}"


def percent(share: float) -> str:
    return f"{share:.1%}" if share >= 0.001 or share == 0 else f"{share:.2%}"


@dataclass
class Bar:
    """A bin of a binning chart: its name, role ("bin", "null", "catch-all"), development
    share (None: none) and value."""

    name: str
    role: str
    share: Optional[float]
    value: Optional[float]


@dataclass
class Pair:
    """A bin of a stability chart: expected and observed shares."""

    name: str
    role: str
    expected: float
    observed: float


ROLE_NOTE = {"null": "null bin", "catch-all": "catch-all bin"}


def svg_open(height: float, title: str, desc: str, key: str) -> str:
    return (
        f'<svg role="img" viewBox="0 0 {WIDTH} {height:.0f}" width="{WIDTH}" '
        f'height="{height:.0f}" aria-labelledby="{key}-t {key}-d">'
        f'<title id="{key}-t">{text(cut(title))}</title><desc id="{key}-d">{text(desc)}</desc>'
    )


def rows_with_gap(roles: Sequence[str]) -> tuple[list[float], Optional[float]]:
    """The y of each row's middle, special bins (null, catch-all) set apart after the
    others; the y of the line between them (None when there is no such split)."""
    ys: list[float] = []
    y = TOP
    separator: Optional[float] = None
    for index, role in enumerate(roles):
        if role != "bin" and separator is None and index > 0:
            separator = y + 6
            y += 16
        ys.append(y + ROW / 2)
        y += ROW
    return ys, separator


def binning_chart(bars: Sequence[Bar], title: str, key: str, omitted: int = 0) -> str:
    """Development share of each bin as a bar (left panel) and the bin's value as a point on
    its own axis (right panel), the points of ordinary bins joined by a line; special bins
    below a rule, labelled."""
    ys, separator = rows_with_gap([b.role for b in bars])
    height = (ys[-1] + ROW / 2 if ys else TOP) + 30
    shares = [
        b.share for b in bars if b.share is not None and math.isfinite(b.share) and b.share >= 0
    ]
    top_share = max(shares, default=0.0)
    values = [b.value for b in bars if b.value is not None and math.isfinite(b.value)]
    low, high = min(values + [0.0]), max(values + [0.0])
    if high == low:
        high = low + 1.0
    bar_left, bar_width = LABEL_RIGHT + 8, 250.0
    value_left, value_width = 560.0, 170.0

    def value_x(v: float) -> float:
        return value_left + (v - low) / (high - low) * value_width

    described = "; ".join(
        f"{cut(b.name)}{' (' + ROLE_NOTE[b.role] + ')' if b.role in ROLE_NOTE else ''}: share "
        + (
            "none"
            if b.share is None
            else percent(b.share) if b.share in shares else number(b.share)
        )
        + f", value {number(b.value)}"
        for b in bars
    )
    if omitted:
        described += f"; {omitted} more bins not drawn"
    parts = [
        svg_open(height, title, f"{len(bars)} bins. {described}", key),
        '<g class="axis-titles" font-weight="600">',
        f'<text x="{bar_left}" y="16">Development share</text>',
        f'<text x="{value_left}" y="16">Bin value</text></g>',
        f'<g class="ticks" font-size="11">'
        f'<text x="{value_left}" y="{TOP - 8}" text-anchor="start">{text(number(low))}</text>'
        f'<text x="{value_left + value_width}" y="{TOP - 8}" text-anchor="end">'
        f"{text(number(high))}</text></g>",
        f'<line class="axis" x1="{value_x(0.0):.1f}" y1="{TOP}" x2="{value_x(0.0):.1f}" '
        f'y2="{height - 30:.0f}" stroke="#888" stroke-dasharray="3 3"/>',
    ]
    if separator is not None:
        parts.append(
            f'<line class="separator" x1="8" y1="{separator:.1f}" x2="{WIDTH - 8}" '
            f'y2="{separator:.1f}" stroke="#444" stroke-dasharray="6 3"/>'
        )
    line_points = []
    for bar, y in zip(bars, ys):
        role_text = f" ({ROLE_NOTE[bar.role]})" if bar.role in ROLE_NOTE else ""
        parts.append(f'<g class="bin {bar.role}">')
        parts.append(text_label(bar.name + role_text, LABEL_RIGHT, y + 4))
        if bar.share is None:
            parts.append(
                f'<text x="{bar_left}" y="{y + 4:.1f}" font-style="italic">no frequency</text>'
            )
        elif bar.share in shares:
            width = bar_width * bar.share / top_share if top_share > 0 else 0.0
            fill = "#2f6f9f" if bar.role == "bin" else "url(#hatch)"
            parts.append(
                f'<rect x="{bar_left}" y="{y - 7:.1f}" width="{width:.1f}" height="14" '
                f'fill="{fill}" stroke="#1d4a6b"/>'
                f'<text x="{bar_left + width + 4:.1f}" y="{y + 4:.1f}">{percent(bar.share)}</text>'
            )
        else:  # negative or not a number: shown, not drawn
            parts.append(f'<text x="{bar_left}" y="{y + 4:.1f}">{text(number(bar.share))}</text>')
        if bar.value is not None and math.isfinite(bar.value):
            x = value_x(bar.value)
            marker = (
                f'<circle cx="{x:.1f}" cy="{y:.1f}" r="4.5" fill="#b35900"/>'
                if bar.role == "bin"
                else f'<rect x="{x - 4.5:.1f}" y="{y - 4.5:.1f}" width="9" height="9" fill="#fff" '
                f'stroke="#b35900" stroke-width="2"/>'
            )
            anchor, dx = ("end", -8) if x > value_left + value_width * 0.6 else ("start", 8)
            parts.append(
                marker + f'<text x="{x + dx:.1f}" y="{y + 4:.1f}" text-anchor="{anchor}" '
                f'font-size="11">{text(number(bar.value))}</text>'
            )
            if bar.role == "bin":
                line_points.append(f"{x:.1f},{y:.1f}")
        else:
            parts.append(
                f'<text x="{value_left}" y="{y + 4:.1f}" font-size="11">'
                f"{'no value' if bar.value is None else text(number(bar.value))}</text>"
            )
        parts.append("</g>")
    if len(line_points) > 1:
        parts.append(
            f'<polyline class="value-line" points="{" ".join(line_points)}" fill="none" '
            f'stroke="#b35900" stroke-width="1.5"/>'
        )
    if omitted:
        parts.append(
            f'<text x="8" y="{height - 8:.0f}" font-style="italic">'
            f"{omitted} more bins not drawn</text>"
        )
    parts.append("</svg>")
    return "".join(parts)


def stability_chart(pairs: Sequence[Pair], title: str, key: str, omitted: int = 0) -> str:
    """Expected (hatched outline) and observed (solid) share of each bin, side by side."""
    ys, separator = rows_with_gap([p.role for p in pairs])
    row_gap = 2.0
    height = (ys[-1] + ROW / 2 if ys else TOP) + 30
    top_share = max([p.expected for p in pairs] + [p.observed for p in pairs] + [1e-9])
    left, width = LABEL_RIGHT + 8, 420.0
    described = "; ".join(
        f"{cut(p.name)}: expected {percent(p.expected)}, observed {percent(p.observed)}"
        for p in pairs
    )
    parts = [
        svg_open(
            height, title, described + (f"; {omitted} more bins not drawn" if omitted else ""), key
        ),
        f'<g font-size="12"><rect x="{left}" y="8" width="14" height="10" fill="url(#hatch)" '
        f'stroke="#444"/><text x="{left + 20}" y="17">expected (development)</text>'
        f'<rect x="{left + 190}" y="8" width="14" height="10" fill="#2f6f9f"/>'
        f'<text x="{left + 210}" y="17">observed (data)</text></g>',
    ]
    if separator is not None:
        parts.append(
            f'<line class="separator" x1="8" y1="{separator:.1f}" x2="{WIDTH - 8}" '
            f'y2="{separator:.1f}" stroke="#444" stroke-dasharray="6 3"/>'
        )
    for pair, y in zip(pairs, ys):
        role_text = f" ({ROLE_NOTE[pair.role]})" if pair.role in ROLE_NOTE else ""
        parts.append(f'<g class="bin {pair.role}">')
        parts.append(text_label(pair.name + role_text, LABEL_RIGHT, y + 4))
        for offset, share, fill, kind in (
            (-8.0, pair.expected, "url(#hatch)", "expected"),
            (row_gap, pair.observed, "#2f6f9f", "observed"),
        ):
            w = width * share / top_share
            parts.append(
                f'<rect class="{kind}" x="{left}" y="{y + offset:.1f}" width="{w:.1f}" height="7" '
                f'fill="{fill}" stroke="#444" stroke-width="0.6"/>'
                f'<text x="{left + w + 4:.1f}" y="{y + offset + 7:.1f}" font-size="10">'
                f"{percent(share)}</text>"
            )
        parts.append("</g>")
    if omitted:
        parts.append(
            f'<text x="8" y="{height - 8:.0f}" font-style="italic">'
            f"{omitted} more bins not drawn</text>"
        )
    parts.append("</svg>")
    return "".join(parts)


BAND_FILL = {"low": "#2f6f9f", "moderate": "url(#hatch)", "high": "url(#cross)"}


def psi_chart(rows: Sequence[tuple[str, float, str]], title: str, key: str) -> str:
    """The PSI of each attribute (name, psi, band) as a bar, band limits 0.1 and 0.25 drawn
    and named; each bar's band written beside it and shown by its fill."""
    ys, _ = rows_with_gap(["bin"] * len(rows))
    height = (ys[-1] + ROW / 2 if ys else TOP) + 24
    finite = [psi for _, psi, _ in rows if math.isfinite(psi)]
    top = max(finite + [0.3]) * 1.05
    left, width = LABEL_RIGHT + 8, 380.0

    def x_of(psi: float) -> float:
        return left + width * min(max(psi, 0.0), top) / top

    described = "; ".join(f"{cut(name)}: {number(psi)}, {band}" for name, psi, band in rows)
    parts = [svg_open(height, title, described, key)]
    for limit in (0.1, 0.25):
        x = x_of(limit)
        parts.append(
            f'<line x1="{x:.1f}" y1="{TOP - 14}" x2="{x:.1f}" y2="{height - 20:.0f}" '
            f'stroke="#444" stroke-dasharray="4 3"/>'
            f'<text x="{x:.1f}" y="{TOP - 18}" text-anchor="middle" font-size="11">{limit}</text>'
        )
    for (name, psi, band), y in zip(rows, ys):
        w = x_of(psi) - left if math.isfinite(psi) else 0.0
        parts.append(
            f'<g class="psi {band}">{text_label(name, LABEL_RIGHT, y + 4)}'
            f'<rect x="{left}" y="{y - 7:.1f}" width="{w:.1f}" height="14" '
            f'fill="{BAND_FILL[band]}" stroke="#333"/>'
            f'<text x="{left + w + 4:.1f}" y="{y + 4:.1f}">{text(number(psi))} {band}</text></g>'
        )
    parts.append("</svg>")
    return "".join(parts)
