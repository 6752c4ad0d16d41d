"""Cost of loading a large bundle (bounded, chunked reading) against reading the same
archive whole with the standard library, texts decoded into text streams as a load does.

Run: python benchmarks/bench_content_load.py
"""

import io
import json
import tarfile
import time
import zipfile

from zelvora_analytics_utils.predictive_models.content import AugmentedPredictiveModelContent

SIZE_MB = 64


def large_bundle():
    text = json.dumps({"trees": ["split_%d" % i for i in range(SIZE_MB * 1024 * 1024 // 12)]})
    image = bytes(range(256)) * (SIZE_MB * 4096 // 4)
    return AugmentedPredictiveModelContent(
        io.StringIO("m: 1"), io.StringIO(text), None, {"chart.png": io.BytesIO(image)}
    )


def best_of(function, repeat=5):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)


def as_part(name, data):
    if name.endswith((".json", ".yaml", ".pmml")):
        return io.StringIO(data.decode("utf-8"), newline="\n")
    return io.BytesIO(data)


def plain_tar(data):
    with tarfile.open(fileobj=io.BytesIO(data), mode="r:*") as archive:
        return [as_part(m.name, archive.extractfile(m).read()) for m in archive if m.isreg()]


def plain_zip(data):
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        return [as_part(i.filename, archive.read(i)) for i in archive.infolist()]


def main():
    content = large_bundle()
    tar_data = content.save_to_tar().getvalue()
    zip_data = content.save_to_zip().getvalue()
    load = AugmentedPredictiveModelContent
    rows = [
        ("tar", lambda: load.load_from_tar(io.BytesIO(tar_data)), lambda: plain_tar(tar_data)),
        ("zip", lambda: load.load_from_zip(io.BytesIO(zip_data)), lambda: plain_zip(zip_data)),
    ]
    size = (len(content.external_model_json.getvalue()) + SIZE_MB * 1024 * 1024) / 2**20
    print(f"bundle of {size:.0f} MiB expanded")
    for name, ours, plain in rows:
        ours_s, plain_s = best_of(ours), best_of(plain)
        print(f"{name}: load {ours_s * 1000:.0f} ms, whole read {plain_s * 1000:.0f} ms, "
              f"ratio {ours_s / plain_s:.2f}")


if __name__ == "__main__":
    main()
