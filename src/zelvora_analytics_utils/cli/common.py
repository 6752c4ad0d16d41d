"""What every command shares: errors, stop signals, messages and JSON output."""

from __future__ import annotations

import contextlib
import json
import math
import signal
import sys
import threading
from collections.abc import Iterator
from typing import Any

__all__ = [
    "CommandError",
    "InvalidModel",
    "Stopped",
    "describe",
    "json_safe",
    "one_line",
    "print_json",
    "stop_signals_handled",
    "stop_signals_held",
]

PROG = "zelvora"
EXIT_OK, EXIT_FAILURE = 0, 1  # argparse exits with 2 on a usage error


class CommandError(Exception):
    """A failure reported as one line on standard error."""


class InvalidModel(CommandError):
    """A bundle whose model document does not validate; `errors` are (location, message)."""

    def __init__(self, path: str, errors: list[tuple[str, str]]) -> None:
        self.path = path
        self.errors = errors
        location, message = errors[0]
        more = f" (and {len(errors) - 1} more; see 'zelvora validate')" if len(errors) > 1 else ""
        super().__init__(f"{path}: invalid model: {location}: {message}{more}")


# --- signals -------------------------------------------------------------------------------

# Each ends the command the way Ctrl-C does: cleanups run, exit status 128 + signal number.
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class Stopped(BaseException):
    """A stop signal, raised where the program is so that every cleanup on the way out runs."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def stop(signum: int, frame: Any) -> None:
    # A second signal must not cut the cleanup of the first short.
    for other in STOP_SIGNALS:
        signal.signal(other, signal.SIG_IGN)
    raise Stopped(signum)


@contextlib.contextmanager
def stop_signals_handled() -> Iterator[None]:
    """Stop signals raise Stopped within the block; signals ignored on entry (nohup, a
    background job) stay ignored. Only the main thread may set handlers."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = {number: signal.getsignal(number) for number in STOP_SIGNALS}
    for number, handler in previous.items():
        if handler is not signal.SIG_IGN:
            signal.signal(number, stop)
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler if handler is not None else signal.SIG_DFL)


@contextlib.contextmanager
def stop_signals_held() -> Iterator[None]:
    """Holds stop signals back while a temporary is created and its name stored: a signal
    in between would leave a file that no cleanup knows of."""
    held = signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, held)


# --- messages ------------------------------------------------------------------------------


def one_line(text: str) -> str:
    return " ".join(str(text).split())


def describe(error: BaseException) -> str:
    """An error as one line, without the Python type names a user need not know."""
    if isinstance(error, OSError) and error.strerror:
        name = error.filename
        return f"{name}: {error.strerror}" if name is not None else error.strerror
    if isinstance(error, KeyError) and len(error.args) == 1:
        return f"missing {error.args[0]!r}"
    text = one_line(str(error))
    return text or type(error).__name__


def json_safe(value: Any) -> Any:
    """Plain data as strict JSON can hold it: non-finite floats become "inf", "-inf", "nan"."""
    if isinstance(value, float) and not math.isfinite(value):
        return "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")
    if isinstance(value, dict):
        return {str(k): json_safe(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [json_safe(v) for v in value]
    if hasattr(value, "value") and isinstance(getattr(value, "value"), str):  # text enumerations
        return value.value
    return value


def print_json(value: Any) -> None:
    sys.stdout.write(json.dumps(json_safe(value), indent=2, allow_nan=False) + "\n")

