"""The model report as a reader sees it: `zelvora report` pages of a 20-binning model, without
and with production data, rendered by headless Chromium (tests/browser.py), offline."""

import os

import pytest
from browser import Browser, find_chromium
from builders import REPORT_ATTRIBUTES, report_binnings, report_data, report_model, write_report_data

from zelvora_analytics_utils.cli import main


@pytest.fixture(scope="module")
def browser():
    if find_chromium() is None:
        if os.environ.get("CI") == "true":
            pytest.fail("chromium is not on PATH: CI installs it (.ci/run) and must not pass by skipping")
        pytest.skip("chromium is not on PATH (Debian: apt-get install chromium)")
    with Browser() as browser:
        yield browser
    assert browser._process.returncode is not None
    assert not os.path.exists(browser._profile)


@pytest.fixture(scope="module")
def pages(browser, tmp_path_factory):
    """{"plain": the page without data, "data": the page with a CSV of drifted data}."""
    folder = tmp_path_factory.mktemp("report")
    bundle = report_model(folder / "model.zip")
    csv = write_report_data(folder / "production.csv", report_data(4000, seed=1))
    for name, extra in [("plain", []), ("data", ["--data", str(csv)])]:
        assert main(["report", str(bundle), "-o", str(folder / f"{name}.html"), *extra]) == 0
    return {name: browser.open(folder / f"{name}.html") for name in ("plain", "data")}


# Each chart figure as drawn: its data attributes, its SVG's rendered size and accessible
# name, its bins (row groups) by role, text boxes that overlap, leave the SVG or are crossed
# by a band limit or rule, and its smallest text in screen pixels.
FIGURES = """[...document.querySelectorAll("figure.binning, figure.stability, figure.psi-summary")].map(figure => {
    const svg = figure.querySelector("svg[role=img]"), box = svg.getBoundingClientRect();
    const rows = role => [...svg.querySelectorAll("g.bin" + role)].map(g => g.getBoundingClientRect());
    const texts = [...svg.querySelectorAll("text")].map(t => [t.textContent, t.getBoundingClientRect()]);
    const cross = (a, b) => Math.min(a.right, b.right) - Math.max(a.left, b.left) > 1
        && Math.min(a.bottom, b.bottom) - Math.max(a.top, b.top) > 1;
    const lines = [...svg.querySelectorAll("line:not(.axis)")].map(l => l.getBoundingClientRect());
    const through = (r, l) => l.left < r.right - 1 && l.right > r.left + 1 && l.top < r.bottom - 1 && l.bottom > r.top + 1;
    const m = svg.getScreenCTM(), segments = [...svg.querySelectorAll("polyline")].flatMap(p => {
        const points = [...p.points].map(q => new DOMPoint(q.x, q.y).matrixTransform(m));
        return points.slice(1).map((q, i) => [points[i], q]);
    });
    const traced = (r, [a, b]) => [...Array(51).keys()].map(i => i / 50).some(t => through(r, DOMRect.fromRect(
        {x: a.x + (b.x - a.x) * t, y: a.y + (b.y - a.y) * t, width: 0, height: 0})));
    return {
        chart: figure.className, kind: figure.dataset.kind || "", attribute: figure.dataset.attribute,
        svgs: figure.querySelectorAll("svg").length, width: box.width, height: box.height,
        name: (svg.getAttribute("aria-labelledby") || "").split(" ")
            .map(id => document.getElementById(id)?.textContent || "").join(" "),
        bins: rows("").length,
        ordinaryBottom: Math.max(...rows(":not(.null):not(.catch-all)").map(r => r.bottom)),
        specialTops: [...rows(".null"), ...rows(".catch-all")].map(r => r.top),
        rule: svg.querySelector("line.separator")?.getBoundingClientRect().top ?? null,
        overlapping: texts.flatMap(([a, ra], i) => texts.slice(i + 1)
            .filter(([, rb]) => cross(ra, rb)).map(([b]) => [a, b])),
        outside: texts.filter(([, r]) => !(r.left >= box.left - 1 && r.right <= box.right + 1
            && r.top >= box.top - 1 && r.bottom <= box.bottom + 1)).map(([t]) => t),
        crossed: texts.filter(([, r]) => lines.some(l => through(r, l)) || segments.some(s => traced(r, s)))
            .map(([t]) => t),
        smallest: Math.min(...[...svg.querySelectorAll("text")].map(t => parseFloat(getComputedStyle(t).fontSize)))
            * box.width / svg.viewBox.baseVal.width,
    };
})"""


def bins_of(kind):
    preprocessing, monitoring = report_binnings()
    binnings = preprocessing if kind == "preprocessing" else monitoring
    return {b["attribute"]: len(b["feature_binning"]) for b in binnings}


def check_drawn(figures, chart, kind):
    """Every attribute has one drawn, named chart of `chart` class with a row per bin, the
    null and catch-all bins below a rule under the others, and every label inside it, clear of the others."""
    figures = [f for f in figures if f["chart"] == chart and f["kind"] == kind]
    bins = bins_of(kind or "monitoring")
    assert sorted(f["attribute"] for f in figures) == sorted(REPORT_ATTRIBUTES)
    for f in figures:
        assert f["svgs"] == 1 and f["width"] > 0 and f["height"] > 0, f
        assert f["attribute"] in f["name"], f
        assert f["bins"] == bins[f["attribute"]], f
        assert len(f["specialTops"]) == 2 and f["ordinaryBottom"] <= f["rule"] <= min(f["specialTops"]), f
        assert f["overlapping"] == [] and f["outside"] == [] and f["crossed"] == [], f
        assert f["smallest"] >= 12, f


@pytest.mark.parametrize("name", ["plain", "data"])
def test_the_page_renders_without_complaints_or_network(pages, name):
    page = pages[name]
    assert page.problems == []
    assert page.requests == []


@pytest.mark.parametrize("name", ["plain", "data"])
@pytest.mark.parametrize("kind", ["preprocessing", "monitoring"])
def test_every_binning_has_its_chart_drawn(pages, name, kind):
    check_drawn(pages[name].evaluate(FIGURES), "binning", kind)


def test_stability_rows_sorted_by_psi_with_their_bands_and_charts(pages):
    page = pages["data"]
    rows = page.evaluate(
        """[...document.querySelectorAll("#stability tr[data-attribute]")].map(row =>
            ({attribute: row.dataset.attribute, psi: Number(row.dataset.psi), band: row.dataset.band,
              text: row.textContent}))"""
    )
    assert {row["attribute"] for row in rows} == set(REPORT_ATTRIBUTES)
    psis = [row["psi"] for row in rows]
    assert psis == sorted(psis, reverse=True)
    for row in rows:
        band = "low" if row["psi"] < 0.1 else "moderate" if row["psi"] <= 0.25 else "high"
        assert row["band"] == band and band in row["text"], row
    assert {row["band"] for row in rows} == {"low", "moderate", "high"}
    figures = page.evaluate(FIGURES)
    check_drawn(figures, "stability", "")
    [summary] = [f for f in figures if f["chart"] == "psi-summary"]
    assert summary["overlapping"] == summary["outside"] == summary["crossed"] == [], summary
    assert summary["smallest"] >= 12, summary


def test_the_harness_catches_what_a_broken_page_does(browser, tmp_path):
    broken = tmp_path / "broken.html"
    broken.write_text(
        "<!doctype html><title>broken</title><img src='https://example.com/logo.png'>"
        "<script>console.warn('careful'); console.error('bad');</script>"
        "<script>null.x</script>"
    )
    page = browser.open(broken)
    assert page.requests == ["https://example.com/logo.png"]
    assert [p.split(":")[0] for p in page.problems] == ["console.warning", "console.error", "exception"]
