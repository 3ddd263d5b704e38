"""A headless Chromium driven through chromedriver's WebDriver HTTP interface, with Python's
standard library only. Used by the viewer's browser test and its screenshot command.

    with Browser() as b:
        b.open("http://127.0.0.1:8090/")
        rows = b.run("return document.querySelectorAll('tr').length")
        b.screenshot("page.png")
"""

import base64
import json
import os
import shutil
import socket
import subprocess
import tempfile
import time
import urllib.error
import urllib.request

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
# Headless, and nothing that reaches out of the machine: no sync, updates, or proxy lookups.
CHROMIUM_ARGS = [
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
    "--disable-component-update", "--disable-sync", "--no-first-run", "--no-proxy-server",
    "--disable-dev-shm-usage", "--hide-scrollbars", "--mute-audio",
    "--autoplay-policy=no-user-gesture-required",
]
START_TIMEOUT_S = 60

# Local addresses only: never through a proxy.
_local = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, cond, timeout_s=30, interval_s=0.05):
    """Polls cond() until it returns a true value, which it returns; raises after timeout_s."""
    deadline = time.monotonic() + timeout_s
    while True:
        value = cond()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TimeoutError(f"no {what} within {timeout_s} s")
        time.sleep(interval_s)


class WebDriverError(RuntimeError):
    pass


class Browser:
    def __init__(self, width=1280, height=900, chromium=CHROMIUM, chromedriver=CHROMEDRIVER):
        self._workdir = tempfile.mkdtemp(prefix="tripviewer-browser-")
        self._driver = None
        self._session = None
        try:
            port = free_port()
            self._base = f"http://127.0.0.1:{port}"
            self._driver_log = open(os.path.join(self._workdir, "chromedriver.log"), "w")
            self._driver = subprocess.Popen([chromedriver, f"--port={port}"], stdout=self._driver_log,
                                            stderr=subprocess.STDOUT)
            wait_for("chromedriver", self._ready, START_TIMEOUT_S)
            args = CHROMIUM_ARGS + [f"--user-data-dir={os.path.join(self._workdir, 'profile')}",
                                    f"--window-size={width},{height}"]
            caps = {"capabilities": {"alwaysMatch": {
                "browserName": "chrome",
                "goog:chromeOptions": {"binary": chromium, "args": args},
            }}}
            self._session = self._call("POST", "/session", caps)["sessionId"]
        except BaseException:
            self.close()
            raise

    def _ready(self):
        if self._driver.poll() is not None:
            raise WebDriverError(f"chromedriver ended with {self._driver.returncode}")
        try:
            with _local.open(self._base + "/status", timeout=2) as r:
                return json.load(r)["value"].get("ready", False)
        except (OSError, ValueError):
            return False

    def _call(self, method, path, body=None, timeout_s=60):
        data = json.dumps(body).encode() if body is not None else None
        req = urllib.request.Request(self._base + path, data=data, method=method,
                                     headers={"Content-Type": "application/json"})
        try:
            with _local.open(req, timeout=timeout_s) as r:
                return json.load(r)["value"]
        except urllib.error.HTTPError as e:
            raise WebDriverError(f"{method} {path}: {e.read().decode(errors='replace')[:2000]}") from None

    def open(self, url):
        self._call("POST", f"/session/{self._session}/url", {"url": url})

    def run(self, script, *args):
        """Runs a function body in the page; a returned promise is awaited."""
        return self._call("POST", f"/session/{self._session}/execute/sync", {"script": script, "args": list(args)})

    def screenshot(self, path):
        png = base64.b64decode(self._call("GET", f"/session/{self._session}/screenshot"))
        with open(path, "wb") as f:
            f.write(png)

    def close(self):
        if self._session:
            try:
                self._call("DELETE", f"/session/{self._session}", timeout_s=30)
            except (OSError, WebDriverError):
                pass
            self._session = None
        if self._driver:
            if self._driver.poll() is None:
                self._driver.terminate()
                try:
                    self._driver.wait(timeout=15)
                except subprocess.TimeoutExpired:
                    self._driver.kill()
                    self._driver.wait()
            self._driver = None
            self._driver_log.close()
        shutil.rmtree(self._workdir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Viewer:
    """tripviewer serving a videos directory on a free port of 127.0.0.1."""

    def __init__(self, program, videos):
        self._out = tempfile.NamedTemporaryFile(prefix="tripviewer-", suffix=".out", delete=False)
        self.proc = subprocess.Popen([program, "--videos", videos, "--port", "0"], stdout=self._out,
                                     stderr=subprocess.STDOUT)
        try:
            line = wait_for("viewer start", self._serving, START_TIMEOUT_S)
            self.url = line[line.index("http://"):].strip()
        except BaseException:
            self.close()
            raise

    def _serving(self):
        if self.proc.poll() is not None:
            raise RuntimeError(f"tripviewer ended with {self.proc.returncode}: {self.output()}")
        for line in self.output().splitlines():
            if " at http://" in line:
                return line
        return None

    def output(self):
        with open(self._out.name, errors="replace") as f:
            return f.read()

    def close(self):
        """Stops the viewer; its exit status (0 when it stopped cleanly)."""
        if self._out.closed:
            return self.proc.returncode
        status = self.proc.poll()
        if status is None:
            self.proc.terminate()
            try:
                status = self.proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                status = self.proc.wait()
        self._out.close()
        os.unlink(self._out.name)
        return status

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
