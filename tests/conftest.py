import os
import subprocess
import sys
import textwrap

import pytest

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
