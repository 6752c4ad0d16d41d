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
    "count",
    "cut",
    "label",
    "psi_chart",
    "psi_text",
    "stability_chart",
]

# Longest label drawn whole, in characters; longer ones end in "…" (the whole one in <title>).
LABEL_CHARS = 30
# Longest text kept in a tooltip or a chart's description (a name past this is unreadable
# anyway, and each is written once a chart).
TITLE_CHARS = 1000
WIDTH = 760
ROW = 22
STABILITY_ROW = 34  # two bars a row, each with its own 12 px label
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


def psi_text(psi: float) -> str:
    """A PSI as the page writes it everywhere: four decimals, never an exponent."""
    if not math.isfinite(psi):
        return number(psi)
    shown = f"{psi:.4f}"
    return "0.0000" if shown == "-0.0000" else shown


def count(n: int) -> str:
    return f"{n:,}"


def percent(share: float) -> str:
    return f"{share:.1%}" if share >= 0.001 or share == 0 else f"{share:.2%}"


# A white outline under a text's glyphs: a line passing behind the text stops short of it.
HALO = 'paint-order="stroke" stroke="#fff" stroke-width="3" stroke-linejoin="round"'
# Widest glyph of a number at 12 px (digits, "-", "."), to keep a label inside its panel.
DIGIT_WIDTH = 7.6


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


def rows_with_gap(roles: Sequence[str], row: float = ROW) -> tuple[list[float], Optional[float]]:
    """The y of each row's middle, special bins (null, catch-all) set apart after the
    others; the y of the line between them (None when there is no such split)."""
    ys: list[float] = []
    y: float = TOP
    separator: Optional[float] = None
    for index, role in enumerate(roles):
        if role != "bin" and separator is None and index > 0:
            separator = y + 6
            y += 16
        ys.append(y + row / 2)
        y += row
    return ys, separator


def separator_line(y: Optional[float]) -> str:
    """The dashed rule above the special bins (nothing when there is none)."""
    if y is None:
        return ""
    return (
        f'<line class="separator" x1="8" y1="{y:.1f}" x2="{WIDTH - 8}" y2="{y:.1f}" '
        f'stroke="#444" stroke-dasharray="6 3"/>'
    )


def bin_row(name: str, role: str, y: float) -> str:
    """The opening of a bin's row group, with its label (special bins named as such)."""
    role_text = f" ({ROLE_NOTE[role]})" if role in ROLE_NOTE else ""
    return f'<g class="bin {role}">' + text_label(name + role_text, LABEL_RIGHT, y + 4)


def omitted_note(omitted: int, height: float) -> str:
    if not omitted:
        return ""
    return (
        f'<text x="8" y="{height - 8:.0f}" font-style="italic">{count(omitted)} more bins not drawn'
        "</text>"
    )


def value_label_offsets(
    x: float, y: float, neighbours: Sequence[tuple[float, float]]
) -> tuple[float, float]:
    """Offsets of a value label from its point (negative: to the left) that clear the line
    to its neighbours within the label's height, the side the line reaches least first."""
    reach = {1: 0.0, -1: 0.0}
    for nx, ny in neighbours:
        # The label's box spans 7 px above and below the point's y.
        part = (nx - x) * 7.0 / abs(ny - y) if ny != y else nx - x
        if part:
            side = 1 if part > 0 else -1
            reach[side] = max(reach[side], abs(part))
    side = 1 if reach[1] <= reach[-1] else -1
    return side * (8.0 + reach[side]), -side * (8.0 + reach[-side])


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
    bar_left, bar_width = LABEL_RIGHT + 8, 240.0
    value_left, value_width = 560.0, 170.0
    # Value labels stay right of the share labels ("100.0%" ends before this).
    value_floor = value_left - 16

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
        described += f"; {count(omitted)} more bins not drawn"
    parts = [
        svg_open(height, title, f"{len(bars)} bins. {described}", key),
        '<g class="axis-titles" font-weight="600">',
        f'<text x="{bar_left}" y="16">Development share</text>',
        f'<text x="{value_left}" y="16">Bin value</text></g>',
    ]
    if values:  # each point labels its own value: the only tick the axis needs is zero
        zero = value_x(0.0)
        parts.append(
            f'<text class="zero" x="{zero:.1f}" y="{TOP - 8}" text-anchor="middle">0</text>'
            f'<line class="axis" x1="{zero:.1f}" y1="{TOP - 4}" x2="{zero:.1f}" '
            f'y2="{height - 30:.0f}" stroke="#888" stroke-dasharray="3 3"/>'
        )
    parts.append(separator_line(separator))
    points = [
        (value_x(b.value), y)
        for b, y in zip(bars, ys)
        if b.role == "bin" and b.value is not None and math.isfinite(b.value)
    ]
    if len(points) > 1:  # behind the points and their labels
        joined = " ".join(f"{x:.1f},{y:.1f}" for x, y in points)
        parts.append(
            f'<polyline class="value-line" points="{joined}" fill="none" stroke="#b35900" '
            'stroke-width="1.5"/>'
        )
    index = 0
    for bar, y in zip(bars, ys):
        parts.append(bin_row(bar.name, bar.role, y))
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
            shown = number(bar.value)
            if bar.role == "bin":
                marker = f'<circle cx="{x:.1f}" cy="{y:.1f}" r="4.5" fill="#b35900"/>'
                neighbours = points[max(index - 1, 0) : index] + points[index + 1 : index + 2]
                index += 1
            else:
                marker = (
                    f'<rect x="{x - 4.5:.1f}" y="{y - 4.5:.1f}" width="9" height="9" fill="#fff" '
                    f'stroke="#b35900" stroke-width="2"/>'
                )
                neighbours = []
            wide = len(shown) * DIGIT_WIDTH
            offsets = value_label_offsets(x, y, neighbours)
            fitting = [
                d
                for d in offsets
                if (x + d - wide >= value_floor if d < 0 else x + d + wide <= WIDTH - 2)
            ]
            dx = fitting[0] if fitting else offsets[0]
            parts.append(
                marker + f'<text x="{x + dx:.1f}" y="{y + 4:.1f}" '
                f'text-anchor="{"start" if dx > 0 else "end"}" {HALO}>{text(shown)}</text>'
            )
        else:
            parts.append(
                f'<text x="{value_left}" y="{y + 4:.1f}" {HALO}>'
                f"{'no value' if bar.value is None else text(number(bar.value))}</text>"
            )
        parts.append("</g>")
    parts.append(omitted_note(omitted, height) + "</svg>")
    return "".join(parts)


def stability_chart(pairs: Sequence[Pair], title: str, key: str, omitted: int = 0) -> str:
    """Expected (hatched outline) and observed (solid) share of each bin, side by side."""
    ys, separator = rows_with_gap([p.role for p in pairs], STABILITY_ROW)
    height = (ys[-1] + STABILITY_ROW / 2 if ys else TOP) + 30
    top_share = max([p.expected for p in pairs] + [p.observed for p in pairs] + [1e-9])
    left, width = LABEL_RIGHT + 8, 420.0
    described = "; ".join(
        f"{cut(p.name)}: expected {percent(p.expected)}, observed {percent(p.observed)}"
        for p in pairs
    )
    if omitted:
        described += f"; {count(omitted)} more bins not drawn"
    parts = [
        svg_open(height, title, described, key),
        f'<g><rect x="{left}" y="8" width="14" height="10" fill="url(#hatch)" '
        f'stroke="#444"/><text x="{left + 20}" y="17">expected (development)</text>'
        f'<rect x="{left + 190}" y="8" width="14" height="10" fill="#2f6f9f"/>'
        f'<text x="{left + 210}" y="17">observed (data)</text></g>',
    ]
    parts.append(separator_line(separator))
    for pair, y in zip(pairs, ys):
        parts.append(bin_row(pair.name, pair.role, y))
        if pair.expected == 0 and pair.observed == 0:  # no bars: one label says both
            parts.append(
                f'<text x="{left}" y="{y + 4:.1f}">{percent(0.0)} expected, '
                f"{percent(0.0)} observed</text></g>"
            )
            continue
        # Bars 12 px high, 2 px apart, each label centred on its bar.
        for top, share, fill, kind in (
            (y - 13.0, pair.expected, "url(#hatch)", "expected"),
            (y + 1.0, pair.observed, "#2f6f9f", "observed"),
        ):
            w = width * share / top_share
            parts.append(
                f'<rect class="{kind}" x="{left}" y="{top:.1f}" width="{w:.1f}" height="12" '
                f'fill="{fill}" stroke="#444" stroke-width="0.6"/>'
                f'<text x="{left + w + 4:.1f}" y="{top + 10.5:.1f}">{percent(share)}</text>'
            )
        parts.append("</g>")
    parts.append(omitted_note(omitted, height) + "</svg>")
    return "".join(parts)


BAND_FILL = {"low": "#2f6f9f", "moderate": "url(#hatch)", "high": "url(#cross)"}
BAND_LIMITS = (0.1, 0.25)


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

    described = "; ".join(f"{cut(name)}: {psi_text(psi)}, {band}" for name, psi, band in rows)
    parts = [svg_open(height, title, described, key)]
    for limit in BAND_LIMITS:
        x = x_of(limit)
        parts.append(
            f'<line class="band-limit" x1="{x:.1f}" y1="{TOP - 14}" x2="{x:.1f}" '
            f'y2="{height - 20:.0f}" stroke="#444" stroke-dasharray="4 3"/>'
            f'<text x="{x:.1f}" y="{TOP - 18}" text-anchor="middle">{limit}</text>'
        )
    # A label starts past the bar and past the last band line, which would cross it.
    clear = x_of(BAND_LIMITS[-1]) + 4
    for (name, psi, band), y in zip(rows, ys):
        w = x_of(psi) - left if math.isfinite(psi) else 0.0
        parts.append(
            f'<g class="psi {band}">{text_label(name, LABEL_RIGHT, y + 4)}'
            f'<rect x="{left}" y="{y - 7:.1f}" width="{w:.1f}" height="14" '
            f'fill="{BAND_FILL[band]}" stroke="#333"/>'
            f'<text x="{max(left + w + 4, clear):.1f}" y="{y + 4:.1f}">'
            f"{text(psi_text(psi))} {band}</text></g>"
        )
    parts.append("</svg>")
    return "".join(parts)
