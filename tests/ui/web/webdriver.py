"""Headless Chromium through Debian's chromedriver, over the WebDriver
protocol with the standard library only, and a local web server for the
page: what the page's tests (page_test.py) and its benchmark (scripts/bench)
share. localhost is a secure context, so navigator.serial exists there."""

import base64
import contextlib
import functools
import http.server
import json
import os
import socket
import subprocess
import threading
import time
import urllib.error
import urllib.request


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    extensions_map = {
        **http.server.SimpleHTTPRequestHandler.extensions_map,
        ".wasm": "application/wasm",
        ".js": "text/javascript",
        ".json": "application/json",
    }

    def log_message(self, *args):
        pass


@contextlib.contextmanager
def serve(folder):
    """Serves folder on 127.0.0.1; yields the base URL."""
    handler = functools.partial(QuietHandler, directory=folder)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield "http://localhost:%d/" % server.server_address[1]
    finally:
        server.shutdown()
        server.server_close()


class WebDriverError(Exception):
    pass


class Browser:
    """One headless Chromium session. Element references are WebDriver's."""

    def __init__(self, width=900, height=700, download_dir=None):
        self.port = free_port()
        self.driver = subprocess.Popen(
            ["chromedriver", "--port=%d" % self.port],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.base = "http://127.0.0.1:%d" % self.port
        deadline = time.monotonic() + 20
        while True:
            try:
                self._call("GET", "/status")
                break
            except (OSError, WebDriverError):
                if time.monotonic() > deadline:
                    self.driver.kill()
                    raise WebDriverError("chromedriver did not start")
                time.sleep(0.1)
        args = ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=%d,%d" % (width, height), "--force-device-scale-factor=1",
                "--hide-scrollbars"]
        options = {"args": args, "binary": "/usr/bin/chromium"}
        if download_dir:
            options["prefs"] = {"download.default_directory": download_dir,
                                "download.prompt_for_download": False}
        caps = {"capabilities": {"alwaysMatch": {"goog:chromeOptions": options}}}
        try:
            self.session = self._call("POST", "/session", caps)["sessionId"]
        except Exception:
            self.driver.kill()
            raise

    def _call(self, method, path, body=None):
        data = json.dumps(body).encode() if body is not None else None
        request = urllib.request.Request(self.base + path, data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=300) as response:
                return json.loads(response.read() or b"{}").get("value")
        except urllib.error.HTTPError as e:
            raise WebDriverError(e.read().decode(errors="replace")[:2000]) from None

    def _s(self, method, path, body=None):
        return self._call(method, "/session/%s%s" % (self.session, path), body)

    def close(self):
        try:
            self._call("DELETE", "/session/" + self.session)
        finally:
            self.driver.terminate()
            self.driver.wait(10)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def get(self, url):
        self._s("POST", "/url", {"url": url})

    def run(self, script, *args):
        """Runs script (a function body) in the page; returns what it returns."""
        return self._s("POST", "/execute/sync", {"script": script, "args": list(args)})

    def run_async(self, script, *args):
        """Runs script with a callback as its last argument; returns what it is given."""
        return self._s("POST", "/execute/async", {"script": script, "args": list(args)})

    def find(self, css):
        found = self._s("POST", "/element", {"using": "css selector", "value": css})
        return next(iter(found.values()))

    def click(self, css):
        self._s("POST", "/element/%s/click" % self.find(css), {})

    def send_keys(self, css, text):
        self._s("POST", "/element/%s/value" % self.find(css), {"text": text})

    def wait(self, script, timeout=60, what="the page"):
        """Waits until script (a function body) returns something true."""
        deadline = time.monotonic() + timeout
        while True:
            value = self.run(script)
            if value:
                return value
            if time.monotonic() > deadline:
                raise WebDriverError("timed out waiting for %s: %s" % (what, script))
            time.sleep(0.05)

    def cdp(self, command, params=None):
        """A DevTools command, through chromedriver."""
        return self._s("POST", "/goog/cdp/execute", {"cmd": command, "params": params or {}})

    def screenshot(self, path):
        with open(path, "wb") as f:
            f.write(base64.b64decode(self._s("GET", "/screenshot")))

    def log(self):
        try:
            return self._s("POST", "/se/log", {"type": "browser"}) or []
        except WebDriverError:
            return []


def page_dir(build_dir):
    return os.path.join(build_dir, "page")
