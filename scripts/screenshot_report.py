"""Renders the model report of the tests' 20-binning model, with drifted production data, in
headless Chromium at a laptop's width and writes excerpts of it, stacked, as docs/report.png
(the README shows it): the whole page is some twenty screens long. Run from a clone with the
package installed:

    .venv/bin/python scripts/screenshot_report.py [-o docs/report.png] [--width 1280]
"""

import argparse
import contextlib
import json
import pathlib
import struct
import sys
import tempfile
import zlib

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

from browser import Browser  # noqa: E402
from builders import report_data, report_model, write_report_data  # noqa: E402

from zelvora_analytics_utils.cli import main as zelvora  # noqa: E402


def recompressed(png):
    """The PNG with its image data deflated at the highest level: Chromium favours speed."""
    chunks, position = [], 8
    while position < len(png):
        (length,) = struct.unpack(">I", png[position : position + 4])
        kind = png[position + 4 : position + 8]
        chunks.append((kind, png[position + 8 : position + 8 + length]))
        position += 12 + length
    image = zlib.compress(zlib.decompress(b"".join(data for kind, data in chunks if kind == b"IDAT")), 9)
    out = [png[:8]]
    for kind, data in chunks:
        if kind == b"IDAT":
            if image is None:
                continue
            data, image = image, None
        out.append(struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data)))
    return b"".join(out)


# The excerpts shown, each from the top of its first element to the bottom of its second:
# the header with the model table, the stability table with the PSI chart and the chart of
# the most drifted attribute, and the first binning chart (null and catch-all bins apart).
EXCERPTS = [
    ("header", "#model"),
    ("#stability", "#stability figure.stability"),
    ("#binnings", "#binnings figure.binning"),
]

REGION = """(([first, last]) => {
    const top = document.querySelector(first).getBoundingClientRect().top + scrollY;
    const bottom = document.querySelector(last).getBoundingClientRect().bottom + scrollY;
    const main = document.querySelector("main").getBoundingClientRect();
    return {x: main.left, y: top, width: main.width, height: bottom - top + 8};
})"""

# The excerpts stacked, a grey band between them, drawn by the browser itself (it decodes
# and encodes the PNGs, so this needs nothing beyond the standard library).
COLLAGE = """<!doctype html><meta charset="utf-8"><title>excerpts</title>
<style>body{{margin:0;background:#fff}}img{{display:block}}
.cut{{background:#e4e4e4;height:10px}}</style>{images}"""


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-o", "--output", type=pathlib.Path, default=ROOT / "docs" / "report.png")
    parser.add_argument("--width", type=int, default=1280, help="viewport width in CSS pixels")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as folder, contextlib.chdir(folder):
        # Relative paths: the page names its bundle and data file as given.
        bundle = report_model(pathlib.Path("retail_scorecard.zip"))
        data = write_report_data(pathlib.Path("production.csv"), report_data(20_000, seed=1))
        if zelvora(["report", str(bundle), "-o", "report.html", "--data", str(data)]) != 0:
            return 1
        with Browser() as browser:
            tab = browser.open("report.html", width=args.width)
            if tab.problems or tab.requests:
                print("the page complains:", *tab.problems, *tab.requests, sep="\n  ", file=sys.stderr)
                return 1
            images = []
            for k, excerpt in enumerate(EXCERPTS):
                clip = tab.evaluate(f"{REGION}({json.dumps(excerpt)})")
                pathlib.Path(f"excerpt{k}.png").write_bytes(tab.screenshot(clip))
                images.append(f'<img src="excerpt{k}.png" width="{clip["width"]:.0f}">')
            pathlib.Path("collage.html").write_text(COLLAGE.format(images='<div class="cut"></div>'.join(images)))
            collage = browser.open("collage.html", width=round(clip["width"]))
            png = recompressed(collage.screenshot())
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_bytes(png)
    print(f"{args.output}: {len(png) // 1024} kB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
