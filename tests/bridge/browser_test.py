#!/usr/bin/python3
"""corvane bridge and corvane.js in a real browser (Debian's headless Chromium).

A page served from loopback drives a component through `corvane bridge`
against the sandbox back end, and its log of callbacks is compared with the
same session run by `corvane session` (the in-process component's own
order and texts). Then the refusals a browser can show (a page origin that is
not allowed; a server that is not allowed), the bridge going away while a
page is connected (onclose, then a reconnect), Corvane.status and each
CorvaneError code, corvane.js's own reconnection (the new component gets the
page's settings and callbacks), and Chromium's local network access: a page
of a public address space (an https page of public.test, mapped to loopback
and declared public with --ip-address-space-overrides) is denied the bridge
until the permission is granted (DevTools) or a policy allows its origin
(given through the fresh profile's Local State, never through /etc).

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
import json
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse

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
    """The test's pages, and /report: what a page without WebDriver posts."""
    reports = []
    reported = threading.Event()

    def log_message(self, *args):
        pass

    def do_POST(self):
        if self.path != "/report":
            self.send_error(404)
            return
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        QuietHandler.reports.append(json.loads(body))
        QuietHandler.reported.set()
        self.send_response(204)
        self.end_headers()


CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                  "--no-first-run", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync"]


def chromium(profile, extra=()):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in CHROMIUM_FLAGS + ["--user-data-dir=" + profile] + list(extra):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_script_timeout(30)
    return driver


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class BridgeInBrowser(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        handler = functools.partial(QuietHandler, directory=ARGS.source_dir)
        cls.http = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        cls.http_port = cls.http.server_address[1]
        threading.Thread(target=cls.http.serve_forever, daemon=True).start()
        cls.origin = "http://127.0.0.1:%d" % cls.http_port
        # The same pages over https, for a site named public.test (a
        # throwaway self-signed certificate; Chromium is told to accept it).
        cls.tls_dir = tempfile.mkdtemp(prefix="corvane-tls-")
        key, cert = (os.path.join(cls.tls_dir, n) for n in ("key.pem", "cert.pem"))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=public.test", "-addext", "subjectAltName=DNS:public.test",
                        "-keyout", key, "-out", cert], check=True, capture_output=True)
        cls.https = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        cls.https.socket = context.wrap_socket(cls.https.socket, server_side=True)
        cls.https_port = cls.https.server_address[1]
        threading.Thread(target=cls.https.serve_forever, daemon=True).start()
        cls.public_origin = "https://public.test:%d" % cls.https_port
        with open(os.path.join(ARGS.source_dir, "package.json")) as f:
            cls.version = json.load(f)["version"]

        cls.iport = cls.bport = 0
        cls.start_backend()
        cls.bridge = None
        cls.bridge_port = 0
        cls.start_bridge()

        cls.profile = tempfile.mkdtemp(prefix="corvane-chromium-")
        cls.driver = chromium(cls.profile)

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        shutil.rmtree(cls.profile, ignore_errors=True)
        if cls.bridge:
            stop(cls.bridge)
        stop(cls.backend)
        cls.http.shutdown()
        cls.https.shutdown()
        shutil.rmtree(cls.tls_dir, ignore_errors=True)

    @classmethod
    def start_backend(cls):
        """A fresh back end (its feed state starts over) on the same ports."""
        cls.backend, (cls.iport, cls.bport) = start_listener(
            [ARGS.backend, "--interactive-port", str(cls.iport),
             "--broadcast-port", str(cls.bport), "--count", "20", "--rate", "0"], "ports")

    @classmethod
    def start_bridge(cls):
        args = ["bridge", "--port", str(cls.bridge_port), "--allow-origin", cls.origin,
                "--allow-origin", cls.public_origin,
                "--allow-server", "127.0.0.1:%d" % cls.iport,
                "--allow-server", "127.0.0.1:%d" % cls.bport]
        if ARGS.bridge_exe:
            cls.bridge = WineBridge(args)
            cls.bridge_port = cls.bridge.port
        else:
            cls.bridge, (cls.bridge_port,) = start_listener([ARGS.corvane] + args, "listening")
        cls.url = "ws://127.0.0.1:%d/" % cls.bridge_port

    def open_page(self, host="127.0.0.1", driver=None, site=None):
        driver = driver or self.driver
        driver.get((site or "http://%s:%d" % (host, self.http_port)) +
                   "/tests/bridge/bridge_page.html")
        for _ in range(100):
            if driver.execute_script("return window.pageReady === true"):
                return
            time.sleep(0.05)
        self.fail("the test page did not load")

    def call(self, function, *args, driver=None):
        """Runs window.FUNCTION(args...) in the page and returns what it resolves to."""
        return (driver or self.driver).execute_async_script(
            "const done = arguments[arguments.length - 1];"
            "window[arguments[0]](...Array.from(arguments).slice(1, -1))"
            ".then(done, (e) => done('exception ' + e.message));", function, *args)

    def reference_session(self):
        """The session's log as `corvane session` prints it, each against a fresh back end."""
        stop(type(self).backend)
        type(self).start_backend()
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
        return expected

    def session_parameters(self):
        return {"url": self.url, "host": "127.0.0.1", "port": self.iport, "bport": self.bport,
                "multi": True, "compression": False, "encryption": False, "reconnectCount": 0,
                "sends": SESSION_REQUESTS, "sendIntervalMs": 500, "durationMs": 2500}

    def test_1_session_matches_corvane_session(self):
        expected = self.reference_session()
        self.open_page()
        got = self.call("runSession", self.session_parameters())
        self.maxDiff = None
        self.assertEqual(mask_clock(got), mask_clock(expected))

    def firefox(self, query, prefs=()):
        """Opens bridge_page.html?QUERY in headless Firefox; what the page reports."""
        profile = tempfile.mkdtemp(prefix="corvane-firefox-")
        with open(os.path.join(profile, "user.js"), "w") as f:
            for pref, value in [("browser.shell.checkDefaultBrowser", False),
                                ("datareporting.policy.dataSubmissionEnabled", False),
                                ("toolkit.telemetry.reportingpolicy.firstRun", False),
                                ("browser.aboutwelcome.enabled", False),
                                ("app.update.disabledForTesting", True),
                                ("network.captive-portal-service.enabled", False),
                                ("network.connectivity-service.enabled", False)] + list(prefs):
                f.write("user_pref(%s, %s);\n" % (json.dumps(pref), json.dumps(value)))
        page = "http://127.0.0.1:%d/tests/bridge/bridge_page.html?%s" % (
            self.http_port, urllib.parse.urlencode(query))
        QuietHandler.reports.clear()
        QuietHandler.reported.clear()
        firefox = subprocess.Popen(
            ["firefox-esr", "--headless", "--no-remote", "--profile", profile, page],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env=dict(os.environ, MOZ_CRASHREPORTER_DISABLE="1"))
        try:
            self.assertTrue(QuietHandler.reported.wait(60), "Firefox reported nothing")
        finally:
            firefox.terminate()
            try:
                firefox.wait(timeout=20)
            except subprocess.TimeoutExpired:
                firefox.kill()
                firefox.wait()
            shutil.rmtree(profile, ignore_errors=True)
        return QuietHandler.reports[0]

    @unittest.skipIf("--bridge-exe" in sys.argv, "the browser's part, the same with any bridge")
    def test_8_firefox(self):
        """The same session in headless Firefox, which reports its log to /report."""
        expected = self.reference_session()
        got = self.firefox({"session": json.dumps(self.session_parameters())})
        self.maxDiff = None
        self.assertEqual(mask_clock(got), mask_clock(expected))
        # Firefox's local network access, WebSockets included, with the page
        # declared public: blocked once its prompt times out (its Permissions
        # API says "prompt" throughout, so the page learns only that the
        # bridge is unreachable), allowed by the default permission.
        lna = [("network.lna.enabled", True), ("network.lna.blocking", True),
               ("network.lna.websocket.enabled", True), ("network.lna.prompt.timeout", 1000),
               ("network.lna.address_space.public.override", "127.0.0.1:%d" % self.http_port)]
        for what, prefs, expected in [
                ("blocked", lna, "ERR_BRIDGE_UNREACHABLE"),
                ("allowed", lna + [("permissions.default.loopback-network", 1)], "open 0")]:
            with self.subTest(what):
                self.assertEqual(self.firefox({"try": self.url}, prefs), [expected])

    def test_2_refusals(self):
        # (page host, call, arguments, expected outcome)
        cases = [
            ("localhost", "tryConnect", [], "ERR_ORIGIN_REFUSED"),
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
        self.assertEqual(self.call("tryConnect", self.url), "ERR_BRIDGE_UNREACHABLE")
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
        status = lambda: self.driver.execute_script(
            "return document.getElementById('bridge-status').textContent")
        # The status line: what the user should do while no bridge answers,
        # then that the bridge is ready.
        self.driver.execute_script(
            "document.getElementById('bridge').value = arguments[0]; checkBridge();",
            "ws://127.0.0.1:%d/" % free_port())
        for _ in range(100):
            if "not running" in status():
                break
            time.sleep(0.05)
        self.assertIn("Install it, or start it", status())
        self.driver.execute_script(
            "document.getElementById('bridge').value = arguments[0]; checkBridge();", self.url)
        for _ in range(100):
            if "ready" in status():
                break
            time.sleep(0.05)
        self.assertEqual(status(), "Corvane bridge %s is ready." % self.version)
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

    def test_5_status_and_error_codes(self):
        status = {"bridge": self.version, "component": self.version,
                  "protocol": {"min": 1, "max": 2}, "originAllowed": True}
        refused = dict(status, originAllowed=False)
        nothing = "ws://127.0.0.1:%d/" % free_port()
        hello = {"hello": {"protocol": 2, "bridge": self.version, "component": self.version}}
        # (page host, call, arguments, expected outcome)
        cases = [
            ("127.0.0.1", "tryStatus", [self.url], status),
            ("localhost", "tryStatus", [self.url], refused),
            ("localhost", "tryConnect", [self.url], "ERR_ORIGIN_REFUSED"),
            ("127.0.0.1", "tryStatus", [nothing], "ERR_BRIDGE_UNREACHABLE"),
            ("127.0.0.1", "tryConnect", [nothing], "ERR_BRIDGE_UNREACHABLE"),
            # A server without the status answer (as a bridge before it).
            ("localhost", "tryStatus", ["ws://127.0.0.1:%d/" % self.http_port],
             "ERR_VERSION_MISMATCH"),
            ("127.0.0.1", "tryConnect", [self.url, {"requireProtocol": 2}], "open 0"),
            ("127.0.0.1", "tryConnect", [self.url, {"requireProtocol": 3}],
             "ERR_VERSION_MISMATCH"),
            ("127.0.0.1", "rawHello", [self.url, 2], hello),
            ("127.0.0.1", "rawHello", [self.url, 0],
             "close 4000 protocol level 0 is not supported: this bridge speaks 1 to 2"),
        ]
        for host, function, args, expected in cases:
            with self.subTest(host=host, function=function, args=args):
                self.open_page(host)
                self.assertEqual(self.call(function, *args), expected)
        self.open_page()
        self.assertEqual(self.driver.execute_script(
            "return import('/examples/corvane.js').then((m) => m.VERSION)"), self.version)

    def test_6_reconnection_applies_settings_and_callbacks(self):
        stop(type(self).backend)
        type(self).start_backend()
        self.open_page()
        self.assertEqual(self.call("startReconnecting", {
            "url": self.url, "host": "127.0.0.1", "port": self.iport, "bport": self.bport,
            "logon": SESSION_REQUESTS[0]}), "open")
        session = ["connect true", "connect true", "authentication true|10000|Logon success"]
        log = lambda: self.driver.execute_script("return window.reconnectLog")
        for _ in range(200):
            if len(log()) >= 3:
                break
            time.sleep(0.05)
        self.assertEqual(log()[:3], session)
        stop(type(self).bridge)
        type(self).bridge = None
        stop(type(self).backend)
        type(self).start_backend()
        type(self).start_bridge()
        # setMultiOC(1) and the callbacks made once reach the new component:
        # both connections come up again and their events reach the page.
        # (What the old component saw of its servers' end in between varies.)
        renewed = lambda: log()[log().index("new component 2") + 1:] \
            if "new component 2" in log() else []
        for _ in range(1200):
            if len(renewed()) >= 3:
                break
            time.sleep(0.05)
        self.assertIn("close 1001", log())
        self.assertEqual(renewed()[:3], session, log())
        self.open_page()  # the old page goes, and its component with it

    def test_9_batches_and_conflation_through_corvane_js(self):
        """A slow page: events come in arrays, in order, `this` the component;
        conflated, every instrument ends at its last value, each in order."""
        def feed(conflate):
            stop(type(self).backend)
            type(self).backend, (type(self).iport, type(self).bport) = start_listener(
                [ARGS.backend, "--interactive-port", str(self.iport), "--broadcast-port",
                 str(self.bport), "--count", "2000", "--rate", "0"], "ports")
            return self.call("runFeed", {"url": self.url, "host": "127.0.0.1", "port": self.iport,
                                         "bport": self.bport, "logon": SESSION_REQUESTS[0],
                                         "costMs": 0.5, "conflate": conflate})
        self.open_page()
        exact = feed(False)
        numbers = [n for n, _ in exact["seen"]]
        self.assertTrue(exact["logon"])
        self.assertEqual(numbers, list(range(2000)))
        self.assertEqual((exact["wrongThis"], exact["conflated"]), (0, 0))
        self.assertGreater(exact["arrays"], 0)
        key_of = {n: key for n, key in exact["seen"]}
        newest = {key: n for n, key in exact["seen"]}

        merged = feed(True)
        self.assertEqual(merged["wrongThis"], 0)
        self.assertEqual(len(merged["seen"]) + merged["conflated"], 2000)
        self.assertGreater(merged["conflated"], 0)
        by_key = {}
        for n, key in merged["seen"]:
            self.assertEqual(key_of[n], key)
            self.assertGreater(n, by_key.get(key, -1), "instrument %s went back" % key)
            by_key[key] = n
        self.assertEqual(by_key, newest)
        stop(type(self).backend)
        type(self).start_backend()

    @unittest.skipIf("--bridge-exe" in sys.argv, "the browser's part, the same with any bridge")
    def test_7_local_network_access(self):
        """A public https page reaches the bridge only with the permission."""
        public = "127.0.0.1:%d=public,127.0.0.1:%d=public" % (self.https_port, self.http_port)
        flags = ["--host-resolver-rules=MAP public.test 127.0.0.1",
                 "--ignore-certificate-errors", "--ip-address-space-overrides=" + public]
        plain = "http://public.test:%d" % self.http_port
        # Chromium's local test policies (those of chrome://policy/test): a
        # list of mandatory (level 1) user (scope 0) policies.
        policy = lambda name: {"local_test_policies_for_next_startup": json.dumps(
            [{"level": 1, "scope": 0, "source": 0, "name": name, "value": [self.public_origin]}])}
        # (what, page's site, Local State, grant with DevTools, expected)
        cases = [
            ("not granted", self.public_origin, None, False, "ERR_PERMISSION_DENIED"),
            ("plain http", plain, None, False, "ERR_INSECURE_CONTEXT"),
            ("granted", self.public_origin, None, True, "open 0"),
            ("LoopbackNetworkAllowedForUrls", self.public_origin,
             policy("LoopbackNetworkAllowedForUrls"), False, "open 0"),
            ("LocalNetworkAccessAllowedForUrls", self.public_origin,
             policy("LocalNetworkAccessAllowedForUrls"), False, "open 0"),
        ]
        for what, site, local_state, grant, expected in cases:
            with self.subTest(what):
                profile = tempfile.mkdtemp(prefix="corvane-chromium-")
                if local_state:
                    with open(os.path.join(profile, "Local State"), "w") as f:
                        json.dump(local_state, f)
                driver = chromium(profile, flags)
                try:
                    if grant:
                        driver.execute_cdp_cmd("Browser.setPermission", {
                            "permission": {"name": "loopback-network"}, "setting": "granted",
                            "origin": site})
                    self.open_page(driver=driver, site=site)
                    self.assertEqual(self.call("tryConnect", self.url, driver=driver), expected)
                    status = self.call("tryStatus", self.url, driver=driver)
                    if expected.startswith("open"):
                        self.assertTrue(status["originAllowed"], status)
                    else:
                        self.assertEqual(status, expected)
                finally:
                    driver.quit()
                    shutil.rmtree(profile, ignore_errors=True)


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
