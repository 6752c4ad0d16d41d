"""`zelvora report --data` against counting alone, side by side: 10^7 rows x 20 monitored
attributes (12 numerical, 8 categorical; the test suite's realistic scorecard), from Parquet
and from CSV.

"Counting alone" is bin_counts over the same columns already in memory, one after the
other: as Arrow columns read from the Parquet file (categories dictionary-encoded, as the
report reads them) and as numpy arrays (float64, object arrays of str). The report reads
only the monitored columns, counts them in a thread pool (bin_counts releases the GIL) while
reading the next batch, and writes the page; its single-thread figure is given too.

Target: the report from Parquet in less than 3x the time of counting alone.

Run: python benchmarks/bench_report.py [rows]   (needs pyarrow; writes its files to a
temporary directory, about 1.5 GB with the CSV)
"""

import functools
import os
import pathlib
import sys
import tempfile
import time

import pyarrow.csv as pacsv
import pyarrow.parquet as pq

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

from builders import REPORT_ATTRIBUTES, report_data, report_model, write_report_data  # noqa: E402

from zelvora_analytics_utils.cli import main as zelvora  # noqa: E402
from zelvora_analytics_utils.cli import page, stability  # noqa: E402
from zelvora_analytics_utils.cli.bundles import load_model  # noqa: E402


def timed(f, runs=3):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        f()
        times.append(time.perf_counter() - start)
    return min(times)


def report(model, data, out, workers=None):
    measure = stability.measure_stability
    if workers is not None:
        page.measure_stability = functools.partial(measure, workers=workers)
    try:
        assert zelvora(["report", str(model), "--data", str(data), "-o", str(out)]) == 0
    finally:
        page.measure_stability = measure


def main():
    rows = next((int(a) for a in sys.argv[1:] if a.isdigit()), 10**7)
    with tempfile.TemporaryDirectory() as directory:
        root = pathlib.Path(directory)
        model = report_model(root / "model.zip")
        tracking = load_model(str(model)).monitoring
        dtypes = {b.attribute: b.attribute_data_type.value for b in tracking.binning}
        columns = report_data(rows, seed=1)
        parquet = write_report_data(root / "data.parquet", columns)
        categorical = [a for a in REPORT_ATTRIBUTES if dtypes[a] == "CATEGORICAL"]
        table = pq.read_table(parquet, read_dictionary=categorical)
        csv = root / "data.csv"
        pacsv.write_csv(table.cast(table.schema), csv)  # the CSV writer decodes dictionaries
        out = root / "report.html"
        print(
            f"{rows} rows x {len(REPORT_ATTRIBUTES)} attributes; {os.cpu_count()} cores; "
            f"Parquet {parquet.stat().st_size >> 20} MiB, CSV {csv.stat().st_size >> 20} MiB"
        )

        def count(source):
            for attribute in REPORT_ATTRIBUTES:
                tracking.bin_counts(attribute, dtypes[attribute], source[attribute])

        arrow = {a: table.column(a) for a in REPORT_ATTRIBUTES}
        figures = {
            "counting alone, Arrow columns in memory": timed(lambda: count(arrow)),
            "counting alone, numpy columns in memory": timed(lambda: count(columns)),
            "report from Parquet": timed(lambda: report(model, parquet, out)),
            "report from Parquet, one counting thread": timed(
                lambda: report(model, parquet, out, 1)
            ),
            "report from CSV (pyarrow)": timed(lambda: report(model, csv, out), runs=1),
            "report from CSV (pyarrow), one counting thread": timed(
                lambda: report(model, csv, out, 1), runs=1
            ),
        }
        base = figures["counting alone, Arrow columns in memory"]
        for name, seconds in figures.items():
            print(f"  {name:<48} {seconds:7.2f} s   {seconds / base:5.2f}x")
        ratio = figures["report from Parquet"] / base
        print(
            f"  report from Parquet / counting alone: {ratio:.2f} (target < 3) {'ok' if ratio < 3 else 'MISSED'}"
        )
        if rows <= 10**6 or "--stdlib-csv" in sys.argv:
            no_arrow = stability.pyarrow_modules
            stability.pyarrow_modules = lambda: None
            try:
                seconds = timed(lambda: report(model, csv, out), runs=1)
            finally:
                stability.pyarrow_modules = no_arrow
            print(
                f"  {'report from CSV (standard library reader)':<48} {seconds:7.2f} s   {seconds / base:5.2f}x"
            )


if __name__ == "__main__":
    main()
