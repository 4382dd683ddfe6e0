#!/usr/bin/python3
"""corvane bridge and corvane.js in a real browser (Debian's headless Chromium).

A page served from loopback drives a component through `corvane bridge`
against the sandbox back end, and its log of callbacks is compared with the
same session run by `corvane session` (the in-process component's own
order and texts). Then the refusals a browser can show (a page origin that is
not allowed; a server that is not allowed) and the bridge going away while a
page is connected (onclose, then a reconnect).

  browser_test.py --corvane BUILD/tools/corvane/corvane \
                  --backend BUILD/tools/backend/corvane-backend --source-dir SRC \
                  [--bridge-exe MINGW_BUILD/tools/corvane/corvane.exe --wine-run scripts/wine-run]

With --bridge-exe the bridge is the Windows build's, run under Wine (its
output into files, as Wine wants; stopped by closing its standard input), and
--corvane serves only for the reference session.
"""
import argparse
import functools
import http.server
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

ARGS = None
SESSION_REQUESTS = ["1=logon|2=demo|3=secret", "1=quote|55=DEMO"]


def start_listener(command, word):
    """Starts a tool that prints "WORD PORT" lines; returns it and the ports."""
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    ports = []
    for _ in range(2 if word == "ports" else 1):
        line = proc.stdout.readline()
        if not line:
            raise RuntimeError("%s printed no port: %s" % (command[0], proc.stderr.read()))
        ports.append(int(line.split()[1]))
    return proc, ports


class WineBridge:
    """corvane.exe bridge under Wine: output into files, stdin a pipe."""

    def __init__(self, args):
        self.out = tempfile.TemporaryFile(mode="w+")
        self.err = tempfile.TemporaryFile(mode="w+")
        env = dict(os.environ, CORVANE_WINE_DIRECT="1")
        self.proc = subprocess.Popen(
            [ARGS.wine_run, ARGS.bridge_exe] + args + ["--stop-on-stdin-eof"],
            stdin=subprocess.PIPE, stdout=self.out, stderr=self.err, env=env)
        deadline = time.time() + 60
        self.port = 0
        while time.time() < deadline and self.proc.poll() is None:
            self.out.seek(0)
            match = re.search(r"^listening (\d+)$", self.out.read(), re.M)
            if match:
                self.port = int(match.group(1))
                return
            time.sleep(0.1)
        raise RuntimeError("corvane.exe bridge printed no port: " + self.stop())

    def stop(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()  # the bridge stops as on SIGTERM
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.err.seek(0)
        log = self.err.read()
        self.out.close()
        self.err.close()
        return log


def stop(proc):
    if isinstance(proc, WineBridge):
        return proc.stop()
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    log = proc.stderr.read()
    proc.stdout.close()
    proc.stderr.close()
    return log


def mask_clock(lines):
    """Tag 60 holds the back end's clock when it made the message."""
    return [re.sub(r"(^|\|)60=\d+", r"\g<1>60=T", line) for line in lines]


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


class BridgeInBrowser(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        handler = functools.partial(QuietHandler, directory=ARGS.source_dir)
        cls.http = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        cls.http_port = cls.http.server_address[1]
        threading.Thread(target=cls.http.serve_forever, daemon=True).start()
        cls.origin = "http://127.0.0.1:%d" % cls.http_port

        cls.iport = cls.bport = 0
        cls.start_backend()
        cls.bridge = None
        cls.bridge_port = 0
        cls.start_bridge()

        cls.profile = tempfile.mkdtemp(prefix="corvane-chromium-")
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync",
                     "--user-data-dir=" + cls.profile]:
            options.add_argument(flag)
        cls.driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        cls.driver.set_script_timeout(30)

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        shutil.rmtree(cls.profile, ignore_errors=True)
        if cls.bridge:
            stop(cls.bridge)
        stop(cls.backend)
        cls.http.shutdown()

    @classmethod
    def start_backend(cls):
        """A fresh back end (its feed state starts over) on the same ports."""
        cls.backend, (cls.iport, cls.bport) = start_listener(
            [ARGS.backend, "--interactive-port", str(cls.iport),
             "--broadcast-port", str(cls.bport), "--count", "20", "--rate", "0"], "ports")

    @classmethod
    def start_bridge(cls):
        args = ["bridge", "--port", str(cls.bridge_port), "--allow-origin", cls.origin,
                "--allow-server", "127.0.0.1:%d" % cls.iport,
                "--allow-server", "127.0.0.1:%d" % cls.bport]
        if ARGS.bridge_exe:
            cls.bridge = WineBridge(args)
            cls.bridge_port = cls.bridge.port
        else:
            cls.bridge, (cls.bridge_port,) = start_listener([ARGS.corvane] + args, "listening")
        cls.url = "ws://127.0.0.1:%d/" % cls.bridge_port

    def open_page(self, host="127.0.0.1"):
        self.driver.get("http://%s:%d/tests/bridge/bridge_page.html" % (host, self.http_port))
        for _ in range(100):
            if self.driver.execute_script("return window.pageReady === true"):
                return
            time.sleep(0.05)
        self.fail("the test page did not load")

    def call(self, function, *args):
        """Runs window.FUNCTION(args...) in the page and returns what it resolves to."""
        return self.driver.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            "window[arguments[0]](...Array.from(arguments).slice(1, -1))"
            ".then(done, (e) => done('exception ' + e.message));", function, *args)

    def test_1_session_matches_corvane_session(self):
        command = [ARGS.corvane, "session", "--server", "127.0.0.1:%d" % self.iport,
                   "--broadcast", "127.0.0.1:%d" % self.bport, "--multi",
                   "--compression", "off", "--encryption", "off",
                   "--send-interval", "500", "--duration", "2500"]
        for request in SESSION_REQUESTS:
            command += ["--send", request]
        expected = subprocess.run(command, capture_output=True, text=True, timeout=30,
                                  check=True).stdout.splitlines()
        self.assertIn("authentication true|10000|Logon success", expected)
        self.assertGreaterEqual(sum(1 for l in expected if l.startswith("data ")), 20)
        stop(type(self).backend)
        type(self).start_backend()

        self.open_page()
        got = self.call("runSession", {
            "url": self.url, "host": "127.0.0.1", "port": self.iport, "bport": self.bport,
            "multi": True, "compression": False, "encryption": False, "reconnectCount": 0,
            "sends": SESSION_REQUESTS, "sendIntervalMs": 500, "durationMs": 2500})
        self.maxDiff = None
        self.assertEqual(mask_clock(got), mask_clock(expected))

    def test_2_refusals(self):
        # (page host, call, arguments, expected outcome)
        cases = [
            ("localhost", "tryConnect", [], "refused"),  # origin not allowed
            ("127.0.0.1", "tryConnect", [], "open 0"),
            ("127.0.0.1", "connectTo", ["127.0.0.1", 1],
             ["error SetServerDetails: server 127.0.0.1:1 is not an allowed server"]),
            ("127.0.0.1", "connectTo", ["localhost", self.iport],
             ["error SetServerDetails: server localhost:%d is not an allowed server"
              % self.iport]),
        ]
        for host, function, args, expected in cases:
            with self.subTest(host=host, function=function, args=args):
                self.open_page(host)
                self.assertEqual(self.call(function, self.url, *args), expected)

    def test_3_bridge_going_away_then_reconnect(self):
        self.open_page()
        self.assertEqual(self.call("watchClose", self.url), "open")
        log = stop(type(self).bridge)
        type(self).bridge = None
        for _ in range(100):
            if self.driver.execute_script("return window.closeEvents.length") > 0:
                break
            time.sleep(0.05)
        self.assertEqual(self.driver.execute_script("return window.closeEvents"), [1001])
        self.assertIn("refused a connection: origin http://localhost:%d" % self.http_port, log)
        self.assertIn("refused SetServerDetails: server 127.0.0.1:1", log)
        self.assertEqual(self.call("tryConnect", self.url), "refused")
        type(self).start_bridge()
        self.assertEqual(self.call("tryConnect", self.url), "open 0")

    def test_4_page_modern_example(self):
        """examples/page-modern.html, driven through its own buttons."""
        stop(type(self).backend)
        type(self).start_backend()
        self.driver.get("http://127.0.0.1:%d/examples/page-modern.html" % self.http_port)
        for _ in range(100):
            if self.driver.execute_script("return typeof window.connect === 'function'"):
                break
            time.sleep(0.05)
        self.driver.execute_script(
            "document.getElementById('bridge').value = arguments[0];"
            "document.getElementById('iport').value = arguments[1];"
            "document.getElementById('bport').value = arguments[2];"
            "connect();", self.url, str(self.iport), str(self.bport))
        log = lambda: self.driver.execute_script("return document.getElementById('log').textContent")
        for _ in range(100):
            if log().count("connected: true") == 2:
                break
            time.sleep(0.05)
        self.driver.execute_script("send();")
        for _ in range(100):
            if "logon 10000: Logon success" in log() and "sent (0)" in log():
                break
            time.sleep(0.05)
        self.assertTrue(log().startswith("connected: true\nconnected: true\n"), log())
        self.assertIn("logon 10000: Logon success", log())
        self.assertIn("sent (0), requests so far: 1", log())


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--corvane", required=True)
    parser.add_argument("--backend", required=True)
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--bridge-exe", help="corvane.exe of the Windows build, run under Wine")
    parser.add_argument("--wine-run", help="scripts/wine-run (with --bridge-exe)")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
