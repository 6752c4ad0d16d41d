"""A headless Chromium driven over the DevTools protocol, for tests that render our pages.

Standard library only: the browser talks JSON over a pair of pipes (--remote-debugging-pipe:
it reads commands on its fd 3 and writes replies and events on its fd 4, each message ended by
a NUL byte), so no websocket client or browser-fetching test framework is needed. Every read
has a deadline; the browser and its profile directory are always removed on close.

    with Browser() as browser:
        page = browser.open(path)          # waits for the load event
        page.evaluate("document.title")
        page.problems                      # console errors/warnings, exceptions, log errors
        page.requests                      # network requests other than file:, data:, about:
        page.screenshot()                  # PNG bytes of the whole page
"""

import base64
import collections
import contextlib
import fcntl
import json
import os
import pathlib
import select
import shutil
import signal
import subprocess
import tempfile
import time

# A sanitized interpreter's environment must not reach the browser: ASan preloaded into
# Chromium aborts it, and PYTHONMALLOC means nothing there.
_STRIPPED_ENVIRONMENT = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "PYTHONMALLOC")

# Quiet, offline and reproducible: no first-run UI, no background fetches, no GPU.
_FLAGS = (
    "--headless",
    "--no-sandbox",
    "--disable-gpu",
    "--remote-debugging-pipe",
    "--no-first-run",
    "--no-default-browser-check",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-default-apps",
    "--disable-extensions",
    "--disable-sync",
    "--disable-dev-shm-usage",
    "--metrics-recording-only",
    "--mute-audio",
    "--hide-scrollbars",
    "--force-color-profile=srgb",
    "--disable-features=Translate,MediaRouter,OptimizationHints",
)

# Schemes a self-contained page may load from; anything else is a network request.
LOCAL_SCHEMES = ("file:", "data:", "about:", "blob:")


class BrowserError(RuntimeError):
    """The browser failed, timed out or answered a command with an error; the message ends
    with the tail of its stderr."""


def find_chromium():
    """The browser's path, or None: $ZELVORA_CHROMIUM, else chromium or chromium-browser on PATH."""
    candidates = [os.environ.get("ZELVORA_CHROMIUM"), "chromium", "chromium-browser"]
    for name in filter(None, candidates):
        found = shutil.which(name)
        if found:
            return found
    return None


def _above_stdio(fd):
    """A close-on-exec duplicate of `fd` numbered 10 or more (the original is closed), so
    that the shell's `3<&N 4>&M` redirections can't clobber one another."""
    moved = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10)
    os.close(fd)
    return moved


class Browser:
    """One headless Chromium process with a throwaway profile."""

    def __init__(self, executable=None, timeout=30.0):
        executable = executable or find_chromium()
        if executable is None:
            raise BrowserError("chromium is not on PATH")
        self.timeout = timeout
        self._buffer = b""
        self._next_id = 0
        self._events = collections.deque()
        self._profile = tempfile.mkdtemp(prefix="zelvora-chromium-")
        self._stderr = tempfile.TemporaryFile()
        self._process = None
        self._to_browser = self._from_browser = None
        command_read, command_write = os.pipe()
        reply_read, reply_write = os.pipe()
        command_read, reply_write = _above_stdio(command_read), _above_stdio(reply_write)
        env = {k: v for k, v in os.environ.items() if k not in _STRIPPED_ENVIRONMENT}
        try:
            self._process = subprocess.Popen(
                [
                    # bash, not sh: dash's redirections take single-digit descriptors only.
                    shutil.which("bash") or "/bin/bash",
                    "-c",
                    f'exec "$@" 3<&{command_read} 4>&{reply_write} {command_read}<&- {reply_write}>&-',
                    "bash",
                    executable,
                    *_FLAGS,
                    f"--user-data-dir={self._profile}",
                    "about:blank",
                ],
                pass_fds=(command_read, reply_write),
                stdin=subprocess.DEVNULL,
                stdout=self._stderr,
                stderr=self._stderr,
                env=env,
                # Its own process group: closing kills the renderers and helpers with it.
                start_new_session=True,
            )
        except BaseException:
            for fd in (command_read, command_write, reply_read, reply_write):
                os.close(fd)
            self._cleanup()
            raise
        os.close(command_read)
        os.close(reply_write)
        self._to_browser, self._from_browser = command_write, reply_read
        self._poll = select.poll()  # not select(): pytest may hold descriptors past 1024
        self._poll.register(reply_read, select.POLLIN)
        try:
            self.version = self.send("Browser.getVersion")["product"]
        except BaseException:
            self.close()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def stderr_tail(self, lines=20):
        self._stderr.seek(0)
        text = self._stderr.read().decode(errors="replace")
        return "\n".join(text.splitlines()[-lines:])

    def _fail(self, message):
        raise BrowserError(f"{message}\n--- chromium stderr (tail) ---\n{self.stderr_tail()}")

    def _read_message(self, deadline):
        while b"\0" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                self._fail(f"no answer from chromium within {self.timeout:g} s")
            if not self._poll.poll(left * 1000):
                continue
            chunk = os.read(self._from_browser, 1 << 20)
            if not chunk:
                self._fail(f"chromium closed its pipe (exit status {self._process.poll()})")
            self._buffer += chunk
        message, _, self._buffer = self._buffer.partition(b"\0")
        return json.loads(message)

    def send(self, method, session=None, **params):
        """Sends a command and waits for its result; events that arrive meanwhile are kept."""
        if self._to_browser is None:
            raise BrowserError("the browser is closed")
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params}
        if session is not None:
            message["sessionId"] = session
        data = json.dumps(message).encode() + b"\0"
        try:
            while data:
                data = data[os.write(self._to_browser, data) :]
        except BrokenPipeError:
            self._fail(f"chromium closed its pipe (exit status {self._process.poll()})")
        deadline = time.monotonic() + self.timeout
        while True:
            reply = self._read_message(deadline)
            if reply.get("id") == self._next_id:
                if "error" in reply:
                    self._fail(f"{method} failed: {reply['error']}")
                return reply.get("result", {})
            if "method" in reply:
                self._events.append(reply)

    def events(self):
        """The events received so far (removed from the queue)."""
        while self._events:
            yield self._events.popleft()

    def wait_for(self, method, session, timeout=None):
        """Waits for event `method` of `session`; returns its params. Other events are kept."""
        deadline = time.monotonic() + (timeout or self.timeout)
        for event in list(self._events):
            if event["method"] == method and event.get("sessionId") == session:
                self._events.remove(event)
                return event["params"]
        while True:
            event = self._read_message(deadline)
            if event.get("method") == method and event.get("sessionId") == session:
                return event["params"]
            if "method" in event:
                self._events.append(event)

    def open(self, path, width=1280, height=900):
        """A new tab showing the file at `path` (or a URL), loaded; see Page."""
        page = Page(self, width, height)
        page.navigate(path if "://" in str(path) else pathlib.Path(path).resolve().as_uri())
        return page

    def close(self):
        """Ends the browser (politely, then its whole process group) and removes the profile."""
        process = self._process
        if process is not None and process.poll() is None:
            with contextlib.suppress(BrowserError, OSError):
                self.timeout = min(self.timeout, 5.0)
                self.send("Browser.close")
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                pass
        if process is not None:
            with contextlib.suppress(ProcessLookupError, PermissionError):
                os.killpg(process.pid, signal.SIGKILL)
            process.wait()
        self._cleanup()

    def _cleanup(self):
        for name in ("_to_browser", "_from_browser"):
            fd = getattr(self, name)
            if fd is not None:
                os.close(fd)
                setattr(self, name, None)
        self._stderr.close()
        # Chromium's helpers may still be writing the profile for a moment after a kill.
        for _ in range(20):
            shutil.rmtree(self._profile, ignore_errors=True)
            if not os.path.exists(self._profile):
                break
            time.sleep(0.05)


class Page:
    """A tab with a flat session: records console messages, exceptions, log entries and
    network requests from the moment it is created."""

    def __init__(self, browser, width, height):
        self.browser = browser
        self.console = []  # (type, text) of every console API call
        self.exceptions = []  # text of every uncaught exception
        self.log = []  # (level, text) of every browser log entry
        self.requests = []  # URLs of requests to anything but LOCAL_SCHEMES
        target = browser.send("Target.createTarget", url="about:blank")["targetId"]
        self.session = browser.send("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        for domain in ("Page", "Runtime", "Log", "Network"):
            self.send(f"{domain}.enable")
        # A page that works offline must not need the network: refuse it outright, so a
        # stray reference fails the same way on every machine.
        self.send("Network.setBlockedURLs", urls=["http://*", "https://*", "ws://*", "wss://*", "ftp://*"])
        self.send(
            "Network.emulateNetworkConditions",
            offline=True,
            latency=0,
            downloadThroughput=-1,
            uploadThroughput=-1,
        )
        self.resize(width, height)

    def send(self, method, **params):
        result = self.browser.send(method, self.session, **params)
        self._take_events()
        return result

    def _take_events(self):
        keep = []
        for event in self.browser.events():
            if event.get("sessionId") != self.session:
                keep.append(event)
                continue
            method, params = event["method"], event["params"]
            if method == "Runtime.consoleAPICalled":
                text = " ".join(str(a.get("value", a.get("description", ""))) for a in params["args"])
                self.console.append((params["type"], text))
            elif method == "Runtime.exceptionThrown":
                details = params["exceptionDetails"]
                self.exceptions.append(details.get("exception", {}).get("description", details["text"]))
            elif method == "Log.entryAdded":
                self.log.append((params["entry"]["level"], params["entry"]["text"]))
            elif method == "Network.requestWillBeSent":
                url = params["request"]["url"]
                if not url.startswith(LOCAL_SCHEMES):
                    self.requests.append(url)
        self.browser._events.extend(keep)

    @property
    def problems(self):
        """Console errors, warnings and failed assertions, uncaught exceptions and browser
        log errors and warnings, as text."""
        return (
            [f"console.{kind}: {text}" for kind, text in self.console if kind in ("error", "warning", "assert")]
            + [f"exception: {text}" for text in self.exceptions]
            + [f"log {level}: {text}" for level, text in self.log if level in ("error", "warning")]
        )

    def resize(self, width, height):
        self.send("Emulation.setDeviceMetricsOverride", width=width, height=height, deviceScaleFactor=1, mobile=False)

    def navigate(self, url):
        result = self.send("Page.navigate", url=url)
        if "errorText" in result:
            self.browser._fail(f"cannot open {url}: {result['errorText']}")
        self.browser.wait_for("Page.loadEventFired", self.session)
        self.evaluate("document.fonts.ready.then(() => true)")
        self._take_events()

    def evaluate(self, expression):
        """The value of a JavaScript expression (promises awaited), as JSON gives it."""
        result = self.send("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            details = result["exceptionDetails"]
            text = details.get("exception", {}).get("description", details["text"])
            raise BrowserError(f"{expression!r} threw: {text}")
        return result["result"].get("value")

    def screenshot(self, clip=None):
        """PNG bytes of the region `clip` of the page ({x, y, width, height} in CSS pixels; the
        whole page when None)."""
        if clip is None:
            size = self.send("Page.getLayoutMetrics")["cssContentSize"]
            clip = {"x": 0, "y": 0, "width": size["width"], "height": size["height"]}
        clip = {**clip, "scale": 1}
        result = self.send("Page.captureScreenshot", format="png", clip=clip, captureBeyondViewport=True)
        return base64.b64decode(result["data"])
