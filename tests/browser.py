"""Headless Chromium (Debian's ``chromium``) driven over the DevTools
protocol, for the tests that look at a page as a person would.

A few protocol calls over one WebSocket (websocket-client) are all the tests
need: open a file, collect console errors, uncaught exceptions and every
request, evaluate expressions, take a screenshot. Playwright and pyppeteer
would each bring (or download) a browser build of their own.
"""
import base64
import itertools
import json
import os
import shutil
import subprocess
import tempfile
import time
import urllib.request

import websocket

CANDIDATES = ("chromium", "chromium-browser", "google-chrome")


def find_chromium():
    for name in CANDIDATES:
        path = shutil.which(name)
        if path:
            return path
    return None


class Page:
    """One tab of a fresh headless browser; use as a context manager."""

    def __init__(self, width=1280, height=1800, timeout=60):
        self.timeout = timeout
        self.profile = tempfile.mkdtemp(prefix="chromium-")
        binary = find_chromium()
        if binary is None:
            raise RuntimeError("no chromium on PATH (scripts/test.sh installs Debian's chromium)")
        arguments = [binary, "--headless", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
                     "--no-default-browser-check", "--disable-extensions", "--hide-scrollbars",
                     "--remote-debugging-port=0", "--user-data-dir=" + self.profile,
                     "--window-size=%d,%d" % (width, height), "about:blank"]
        if os.geteuid() == 0:
            arguments.insert(1, "--no-sandbox")  # Chromium refuses to run its sandbox as root
        # The sanitizer pass preloads its runtime into the interpreter: not into the browser.
        environment = {name: value for name, value in os.environ.items()
                       if name not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}
        # Its messages go to a file: a pipe nobody reads could fill and stall it.
        self.log = open(os.path.join(self.profile, "stderr.txt"), "w+b")
        self.process = subprocess.Popen(arguments, stdout=subprocess.DEVNULL, stderr=self.log, env=environment)
        self.events = []
        self._ids = itertools.count(1)
        try:
            self.socket = websocket.create_connection(self._page_url(), timeout=timeout)
            for domain in ("Page", "Runtime", "Log", "Network"):
                self.call(domain + ".enable")
        except BaseException:
            self.close()
            raise

    def _page_url(self):
        port_file = os.path.join(self.profile, "DevToolsActivePort")
        deadline = time.monotonic() + self.timeout
        while not os.path.exists(port_file) or not open(port_file).read().strip():
            if self.process.poll() is not None:
                self.log.seek(0)
                raise RuntimeError("chromium exited: " + self.log.read().decode("utf-8", "replace")[-4000:])
            if time.monotonic() > deadline:
                raise RuntimeError("chromium did not open its DevTools port")
            time.sleep(0.05)
        port = int(open(port_file).read().split()[0])
        with urllib.request.urlopen("http://127.0.0.1:%d/json/list" % port, timeout=self.timeout) as answer:
            targets = json.load(answer)
        return next(target["webSocketDebuggerUrl"] for target in targets if target["type"] == "page")

    def call(self, method, **params):
        """Send one command and return its result; events that arrive
        meanwhile are kept in ``events``."""
        number = next(self._ids)
        self.socket.send(json.dumps({"id": number, "method": method, "params": params}))
        while True:
            message = json.loads(self.socket.recv())
            if message.get("id") == number:
                if "error" in message:
                    raise RuntimeError("%s: %s" % (method, message["error"]))
                return message.get("result", {})
            self.events.append(message)

    def wait_for(self, method):
        for event in self.events:
            if event.get("method") == method:
                return event
        deadline = time.monotonic() + self.timeout
        while time.monotonic() < deadline:
            message = json.loads(self.socket.recv())
            self.events.append(message)
            if message.get("method") == method:
                return message
        raise TimeoutError(method)

    def open(self, path):
        self.call("Page.navigate", url="file://" + os.path.abspath(path))
        self.wait_for("Page.loadEventFired")

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            raise RuntimeError("%s: %s" % (expression, result["exceptionDetails"]))
        return result["result"].get("value")

    def errors(self):
        """Console errors, uncaught exceptions and error log entries so far."""
        found = []
        for event in self.events:
            method, params = event.get("method"), event.get("params", {})
            if method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
                found.append(" ".join(str(arg.get("value", arg.get("description"))) for arg in params["args"]))
            elif method == "Runtime.exceptionThrown":
                found.append(json.dumps(params["exceptionDetails"])[:2000])
            elif method == "Log.entryAdded" and params["entry"].get("level") == "error":
                found.append(params["entry"].get("text", ""))
        return found

    def requests(self):
        return [event["params"]["request"]["url"] for event in self.events
                if event.get("method") == "Network.requestWillBeSent"]

    def screenshot(self):
        return base64.b64decode(self.call("Page.captureScreenshot", format="png")["data"])

    def close(self):
        try:
            if getattr(self, "socket", None) is not None:
                self.socket.close()
        finally:
            self.process.kill()
            self.process.wait()
            self.log.close()
            shutil.rmtree(self.profile, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
