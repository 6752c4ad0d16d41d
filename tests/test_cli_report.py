"""`zelvora report`: the HTML page of a realistic 20-attribute model, with and without data,
read back with the standard library's HTML parser."""

import html.parser
import math
import re
import sys

import numpy as np
import pytest

from zelvora_analytics_utils.cli import stability
from zelvora_analytics_utils.cli.bundles import load_model
from zelvora_analytics_utils.utils.dump import valid_dumps_yaml

from builders import (
    REPORT_ATTRIBUTES,
    report_binnings,
    report_data,
    report_model,
    write_report_data,
)
from monitoring_reference import numpy_stability_index
from test_cli import assert_one_line_error, make_content, store, zelvora

VOID = {"meta", "br", "hr", "img", "input", "link", "wbr", "col"}


class Page(html.parser.HTMLParser):
    """The parts of a report page the tests look at; fails on unbalanced tags, which
    an unescaped text from the bundle would cause."""

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.stack, self.figures, self.rows, self.tags, self.row = [], [], [], [], None
        self.feed(text)
        self.close()
        assert self.stack == []

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        self.tags.append((tag, attrs))
        if tag == "figure":
            self.figures.append({**attrs, "svgs": [], "titles": [], "texts": [], "notes": []})
        elif tag == "svg" and "figure" in self.stack:
            self.figures[-1]["svgs"].append(attrs)
        elif tag == "tr" and "data-attribute" in attrs:
            self.rows.append({**attrs, "cells": []})
            self.row = self.rows[-1]
        elif tag in ("td", "th") and self.row is not None:
            self.row["cells"].append("")
        if tag not in VOID:
            self.stack.append(tag)

    def handle_startendtag(self, tag, attrs):
        self.tags.append((tag, dict(attrs)))

    def handle_endtag(self, tag):
        assert self.stack.pop() == tag
        if tag == "tr":
            self.row = None

    def handle_data(self, data):
        if self.row is not None and self.row["cells"]:
            self.row["cells"][-1] += data
        if "figure" in self.stack and self.stack[-1] in ("title", "text", "p"):
            self.figures[-1][{"title": "titles", "text": "texts", "p": "notes"}[self.stack[-1]]].append(data)

    def charts(self, cls, kind=None):
        return {
            f["data-attribute"]: f
            for f in self.figures
            if f["class"] == cls and f.get("data-kind", kind) == kind
        }


def report(*args):
    """The command's result and, on success, the page it wrote to page.html beside the bundle."""
    output = args[0].parent / "page.html"
    result = zelvora("report", *args, "-o", output)
    assert result.returncode == 0, result.stderr
    assert result.stdout == ""
    text = output.read_text(encoding="utf-8")
    return text, Page(text)


@pytest.fixture(scope="module")
def model_path(tmp_path_factory):
    return report_model(tmp_path_factory.mktemp("report") / "model.zip")


def test_page_without_data(model_path):
    text, page = report(model_path)
    assert text.startswith('<!DOCTYPE html>\n<html lang="en">')
    for kind in ("preprocessing", "monitoring"):
        charts = page.charts("binning", kind)
        assert list(charts) == REPORT_ATTRIBUTES
        for chart in charts.values():
            assert [s["role"] for s in chart["svgs"]] == ["img"]
            assert chart["titles"][0].startswith(chart["data-attribute"])
    assert 'id="stability"' not in text and page.rows == []
    age = page.charts("binning", "preprocessing")["age"]
    # Bound order whatever the stored order; the null and catch-all bins apart, named.
    assert [t for t in age["texts"] if t[0].isdigit() and "_" in t] == [
        "2_(18;25)",
        "3_(25;35)",
        "4_(35;45)",
        "5_(45;55)",
        "6_(55;65)",
        "7_(65;inf)",
        "1_null (null bin)",
        "0_default (catch-all bin)",
    ]
    # The value axis names zero; the extremes are the points' own labels, written once.
    assert "0" in age["texts"] and age["texts"].count("1.455") == age["texts"].count("-0.6982") == 1
    months = page.charts("binning", "preprocessing")["months_employed"]  # stored in reverse
    assert [t for t in months["texts"] if t[:2] in ("2_", "6_")] == ["2_(0;6)", "6_(120;inf)"]
    assert (
        "No bin has a development frequency" in page.charts("binning", "preprocessing")["income"]["notes"][0]
    )
    for needed in (
        "LOGISTIC_REGRESSION",
        "-2.6500 + 0.3500 * age_woe",
        "Retail application scorecard",
        "0.7640",
        "<td>184,220</td>",
        "0: 171,324, 1: 12,896",
    ):
        assert needed in text
    assert "<script" not in text
    # Nothing fetched: no URL, no protocol-relative reference, no external resource.
    assert not re.search(r"https?:|(src|href)\s*=\s*[\"']?//|@import|url\((?!#)", text)


def hostile_model(path):
    evil = '</svg><script>alert("x")</script>&amp;\n' + "w" * 500
    categories = [["<img src=//example.invalid/x>", "a&b"], ["\"quoted\"\n'text'", "lone \udc80 surrogate"]]
    binnings = [
        {
            "attribute": evil,
            "attribute_data_type": "CATEGORICAL",
            "feature_binning": [
                {"type": "CATEGORICAL", "id": i + 2, "categories": c, "value": 0.1 * i, "frequency": 0.5}
                for i, c in enumerate(categories)
            ]
            + [{"type": "CATEGORICAL", "id": 9, "name": evil, "value": 1.0}],
        },
        {
            "attribute": "many",
            "attribute_data_type": "NUMERICAL",
            "feature_binning": [
                {
                    "type": "NUMERICAL",
                    "id": i + 2,
                    "lower_bound": i,
                    "upper_bound": i + 1,
                    "value": i % 7,
                    "frequency": 1.0,
                }
                for i in range(100)
            ],
        },
    ]
    document = {
        "attributes": [evil, "many"],
        "predictive_model_type": "LOGISTIC_REGRESSION",
        "feature_preprocessing": {"binning": binnings},
        "description": {"predictive_model_name": evil, "general_notes": {evil: evil}},
    }
    return store(make_content(valid_dumps_yaml(document), {}), path, "zip")


def test_hostile_texts_are_escaped_and_bounded(tmp_path):
    evil = '</svg><script>alert("x")</script>&amp;\n' + "w" * 500
    text, page = report(hostile_model(tmp_path / "model.zip"))
    assert "<script" not in text and "<img" not in text
    chart = page.charts("binning", "preprocessing")[evil]  # the name intact through escaping
    assert evil in chart["titles"]  # the whole name of a bin whose label is cut
    assert max(len(t) for t in chart["texts"]) <= 30 and "\n" not in "".join(chart["texts"])
    many = page.charts("binning", "preprocessing")["many"]
    assert "40 more bins are not drawn" in " ".join(many["notes"])
    assert sum(1 for t in many["texts"] if re.fullmatch(r"\d+_\(\d+;\d+\)", t)) == 60


def numpy_counts(binning, column):
    """Counts of the bins with a frequency, found with numpy: (frequencies, counts)."""
    bins = binning["feature_binning"]
    taken = np.zeros(len(column), dtype=bool)
    counts = {}
    if binning["attribute_data_type"] == "NUMERICAL":
        missing = np.isnan(column)
        tests = {
            b["name"] if "name" in b else b["id"]: (
                lambda b=b: ~missing & (column > b["lower_bound"]) & (column <= b["upper_bound"])
            )
            for b in bins
            if b.get("lower_bound") is not None
        }
    else:
        missing = np.array([v is None for v in column])
        tests = {b["id"]: (lambda b=b: np.isin(column, b["categories"])) for b in bins if b.get("categories")}
    for b in bins:
        key = b.get("name") or b["id"]
        if b.get("name") == "1_null":
            hit = missing
        elif b.get("name") == "0_default":
            hit = ~taken
        else:
            hit = tests[key]()
        counts[key] = int(np.sum(hit & ~taken))
        taken |= hit
    keys = [b.get("name") or b["id"] for b in bins if b.get("frequency") is not None]
    return [b["frequency"] for b in bins if b.get("frequency") is not None], [counts[k] for k in keys]


@pytest.fixture(params=["pyarrow", "standard library"])
def reader(request, monkeypatch):
    """Reads data with pyarrow, or as where it is not installed: reader.hide() then
    hides pyarrow (once the test's data is written)."""

    class Reader:
        name = request.param

        def hide(self):
            if self.name != "pyarrow":
                for module in ("pyarrow", "pyarrow.csv", "pyarrow.parquet"):
                    monkeypatch.setitem(sys.modules, module, None)

    return Reader()


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
def test_stability_of_data(model_path, tmp_path, suffix, reader, monkeypatch):
    for name, small in [("PARQUET_BATCH_ROWS", 1000), ("CSV_BATCH_ROWS", 1000), ("CSV_BLOCK_BYTES", 50_000)]:
        monkeypatch.setattr(stability, name, small)  # counts added over several batches
    columns = report_data(4000, seed=7)
    columns.pop("region")
    data = write_report_data(tmp_path / f"data{suffix}", columns)
    (tmp_path / "model.zip").write_bytes(model_path.read_bytes())
    reader.hide()
    if suffix == ".parquet" and reader.name != "pyarrow":
        result = zelvora("report", tmp_path / "model.zip", "--data", data, "-o", tmp_path / "page.html")
        assert_one_line_error(result, "data.parquet: reading Parquet needs the pyarrow package")
        return
    text, page = report(tmp_path / "model.zip", "--data", data)
    tracking = load_model(str(model_path)).monitoring
    monitoring = dict(zip(REPORT_ATTRIBUTES, report_binnings()[1]))
    psis = {row["data-attribute"]: float(row["data-psi"]) for row in page.rows}
    assert list(psis) == sorted(psis, key=psis.get, reverse=True)
    assert set(psis) == set(REPORT_ATTRIBUTES) - {"region"}
    for attribute, psi in psis.items():
        dtype = monitoring[attribute]["attribute_data_type"]
        counts = tracking.bin_counts(attribute, dtype, columns[attribute])
        assert psi == tracking.stability_index(attribute, dtype, counts)
        assert psi == pytest.approx(
            numpy_stability_index(*numpy_counts(monitoring[attribute], columns[attribute])), rel=1e-9
        )
    bands = {row["data-attribute"]: row["data-band"] for row in page.rows}
    for attribute, psi in psis.items():
        assert bands[attribute] == ("low" if psi < 0.1 else "moderate" if psi <= 0.25 else "high")
    assert set(bands.values()) == {"low", "moderate", "high"}
    assert list(page.charts("stability")) == list(psis)
    # One PSI format, four decimals, in the table, the PSI chart and the captions.
    [summary] = [f for f in page.figures if f["class"] == "psi-summary"]
    for row in page.rows:
        shown = f"{float(row['data-psi']):.4f}"
        assert row["cells"][1] == shown and row["cells"][3] == "4,000", row
        assert f"{shown} {row['data-band']}" in summary["texts"]
        assert f"PSI {shown} (" in page.charts("stability")[row["data-attribute"]]["titles"][0]
    # A bin with no share expected or observed: one label, not two.
    assert "0.0% expected, 0.0% observed" in page.charts("stability")["debt_ratio"]["texts"]
    assert re.search(r"Monitored attributes not in the data: <code>region</code>", text)


@pytest.mark.parametrize(
    "content, counts",
    [  # byte order mark, CRLF, quoting, a value over two lines, empty = missing
        (
            '\ufeffage,city\r\n30,"Brno"\r\n,Prague\r\n"45",""\r\n 70 ,"x\ny"\r\n',
            {"age": [30, None, 45, 70], "city": ["Brno", "Prague", None, "x\ny"]},
        ),
        ("city\n\nBrno\n", {"city": [None, "Brno"]}),  # one column: an empty line is a missing value
    ],
)
def test_csv_is_read_as_the_standard_library_reads_it(model_path, tmp_path, reader, content, counts):
    data = tmp_path / "data.csv"
    data.write_bytes(content.encode("utf-8"))
    (tmp_path / "model.zip").write_bytes(model_path.read_bytes())
    reader.hide()
    _, page = report(tmp_path / "model.zip", "--data", data)
    tracking = load_model(str(model_path)).monitoring
    dtypes = {"age": "NUMERICAL", "city": "CATEGORICAL"}
    expected = {
        a: tracking.stability_index(a, dtypes[a], tracking.bin_counts(a, dtypes[a], v))
        for a, v in counts.items()
    }
    assert {row["data-attribute"]: float(row["data-psi"]) for row in page.rows} == expected


def test_no_rows_no_figure(model_path, tmp_path):
    data = tmp_path / "data.csv"
    data.write_text("age,city\n")
    (tmp_path / "model.zip").write_bytes(model_path.read_bytes())
    text, page = report(tmp_path / "model.zip", "--data", data)
    assert page.rows == [] and page.charts("stability") == {}
    assert "No PSI for: age (the data holds no values); city (the data holds no values)." in text


@pytest.mark.parametrize(
    "content, message",
    [
        ("age,city\n30,Brno\n31,Brno\nabc,Brno\n", "data.csv:4: column 'age': 'abc' is not a number"),
        ("age,city\n30,Brno\n1_000,Brno\n", "data.csv:3: column 'age': '1_000' is not a number"),
        ("age,city\n30,Brno\n31\n", "data.csv:3: 1 field(s); expected 2"),
        ("", "data.csv: empty; expected a header row naming the columns"),
        ("age\n\xff\n", "data.csv:2: cannot read"),
    ],
)
def test_bad_csv_fails_in_one_line_and_leaves_the_page(model_path, tmp_path, reader, content, message):
    data = tmp_path / "data.csv"
    data.write_bytes(content.encode("latin-1"))
    page = tmp_path / "page.html"
    page.write_text("old")
    reader.hide()
    result = zelvora("report", model_path, "--data", data, "-o", page)
    assert_one_line_error(result, message)
    assert page.read_text() == "old"


def test_output_never_replaces_the_data_file(model_path, tmp_path):
    data = tmp_path / "data.csv"
    data.write_text("age\n30\n")
    result = zelvora("report", model_path, "--data", data, "-o", data)
    assert_one_line_error(result, "data.csv: is the data file; not overwritten")
    assert data.read_text() == "age\n30\n"
