"""How long a directory save and load of a large bundle stall another Python thread.

A background thread wakes every millisecond and records the longest gap between its
wake-ups while the main thread runs one operation: save_to_directory of a bundle holding
one large image, load_from_directory of it, and side by side Python's own open/write/
os.fsync/os.replace of the same bytes and open().read() of the file. Each operation runs
--repeat times; the lowest of its longest gaps is printed (the machine is shared, so the
lowest is the least disturbed), with its ratio to Python's own.

    .venv/bin/python benchmarks/bench_gil_stall.py [--megabytes 128] [--repeat 3]
"""

import argparse
import io
import os
import tempfile
import threading
import time

from zelvora_analytics_utils.predictive_models.content import AugmentedPredictiveModelContent


def longest_stall(operation):
    """The longest gap, in seconds, a 1 ms ticker thread saw while `operation` ran."""
    running = threading.Event()
    done = threading.Event()
    longest = 0.0

    def tick():
        nonlocal longest
        last = time.perf_counter()
        running.set()
        while not done.is_set():
            time.sleep(0.001)
            now = time.perf_counter()
            longest = max(longest, now - last)
            last = now

    ticker = threading.Thread(target=tick)
    ticker.start()
    running.wait()
    time.sleep(0.02)
    longest = 0.0  # the thread's start-up is not the operation's stall
    operation()
    done.set()
    ticker.join()
    return longest


def lowest_stall(operation, repeat):
    return min(longest_stall(operation) for _ in range(repeat))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megabytes", type=int, default=128)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    data = os.urandom(args.megabytes * 1024 * 1024)
    with tempfile.TemporaryDirectory() as root:
        bundle_dir = os.path.join(root, "bundle")
        plain = os.path.join(root, "plain.bin")
        bundle = AugmentedPredictiveModelContent(
            io.StringIO("m: 1\n"), None, None, {"image.bin": io.BytesIO(data)}
        )

        def python_write():
            temporary = plain + ".tmp"
            with open(temporary, "wb") as file:
                file.write(data)
                file.flush()
                os.fsync(file.fileno())
            os.replace(temporary, plain)

        def python_read():
            with open(plain, "rb") as file:
                file.read()

        def save():
            bundle.save_to_directory(bundle_dir)

        def load():
            AugmentedPredictiveModelContent.load_from_directory(bundle_dir)

        rows = [
            ("save_to_directory", save, "Python write+fsync+replace", python_write),
            ("load_from_directory", load, "Python open().read()", python_read),
        ]
        print(f"longest stall of a 1 ms ticker thread, {args.megabytes} MiB, "
              f"lowest of {args.repeat} runs")
        for name, operation, baseline_name, baseline in rows:
            baseline()
            operation()  # both files exist before anything is timed
            ours = lowest_stall(operation, args.repeat)
            theirs = lowest_stall(baseline, args.repeat)
            print(f"  {name:<22} {ours * 1000:8.1f} ms   {baseline_name:<28} "
                  f"{theirs * 1000:8.1f} ms   ratio {ours / theirs:6.1f}")


if __name__ == "__main__":
    main()
