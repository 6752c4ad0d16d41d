import asyncio
import gc
import os
import pathlib
import subprocess
import sys
import textwrap
import tracemalloc

import pytest

# The test files' shared builders (builders.py) import by name: the suite imports its
# files by path, which puts no directory on the import path.
sys.path.insert(0, str(pathlib.Path(__file__).parent))

# nanobind reports objects still alive at interpreter exit only when asked; the suite and
# every interpreter it starts ask, so that a leak shows (scripts/test.sh fails on it).
os.environ.setdefault("ZELVORA_LEAK_WARNINGS", "1")


@pytest.fixture
def run_python():
    """Runs code in a fresh interpreter; returns the finished process."""

    def run(code: str) -> subprocess.CompletedProcess:
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            timeout=120,
        )

    return run


@pytest.fixture(params=["sync", "async"])
def execute(request):
    """Runs a GraphQL query both ways a caller can: execute(schema, query) is
    schema.execute_sync(query) in one run of the test and `await schema.execute(query)` in
    the other; returns the result."""

    def run(schema, query, **options):
        if request.param == "sync":
            return schema.execute_sync(query, **options)
        return asyncio.run(schema.execute(query, **options))

    return run


@pytest.fixture
def memory_growth():
    """Measures what repeated work leaves allocated: memory_growth(work, rounds) -> bytes."""

    def growth(work, rounds):
        """Bytes that `rounds` more calls of `work` leave allocated, once caches have settled.

        Caches fill during the first rounds (ruamel's parsing machinery takes a few hundred
        calls to settle), which run untraced: tracing slows every allocation. A leak grows
        every window, so the smaller growth of two later ones counts."""

        def window():
            for _ in range(rounds):
                work()
            gc.collect()
            return tracemalloc.get_traced_memory()[0]

        for _ in range(max(2 * rounds, 200)):
            work()
        tracemalloc.start()
        try:
            settled = window()
            first = window()
            return min(first - settled, window() - first)
        finally:
            tracemalloc.stop()

    return growth
