#!/usr/bin/python3
"""The bridge in a real browser: how fast a page takes a saturating feed.

  bench/bridge_bench.py [BUILD_DIR] [--count N]

Headless Chromium loads bench/bridge/bench_page.html from loopback. Through
`corvane bridge`, the sandbox back end streams N feed messages as fast as they
are read (--rate 0) into the page's handleData; then the same N event frames
go through a plain WebSocket echo server (corvane-bridge-echo, Beast, the
same write path) into a callback of the same page. Both are events per
second between the first and the last callback, and the ratio is the figure
to compare. Latency: from the back end's clock when it made a message (tag
60) to the page's callback, p50 and p99, for the saturating feed and for a
paced one (--rate 2000, where queues stay short).

Batching: the same saturating feed through the bridge's sessions at protocol
level 2 (corvane-bridge-level2: events that wait go out in arrays), against
the echo server sent the same events 64 to a frame. Conflation: a page that
computes --work square roots for every event takes C events/s (measured first, at level
2); a feed at 2 C then runs through it with conflation on tag 55 off and on,
latency p50 and p99, and whether the last value of every instrument arrived.

  --wine-bridge MINGW_BUILD/tools/corvane/corvane.exe

also measures the Windows build's bridge under Wine (scripts/wine-run) with
the same feeds in the same run, beside the native one.
"""
import argparse
import functools
import http.server
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def listener(command, lines=1):
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    ports = []
    while len(ports) < lines:
        words = proc.stdout.readline().split()
        if len(words) == 2 and words[0] in ("listening", "interactive", "broadcast"):
            ports.append(int(words[1]))
    return proc, ports


def stop(proc):
    proc.send_signal(signal.SIGTERM)
    proc.wait(timeout=10)


class WineBridge:
    """corvane.exe bridge under Wine: output into a file (as Wine wants),
    stopped by closing its standard input."""

    def __init__(self, exe, args):
        self.out = tempfile.TemporaryFile(mode="w+")
        env = dict(os.environ, CORVANE_WINE_DIRECT="1")
        self.proc = subprocess.Popen(
            [os.path.join(SOURCE, "scripts", "wine-run"), exe] + args + ["--stop-on-stdin-eof"],
            stdin=subprocess.PIPE, stdout=self.out, stderr=subprocess.DEVNULL, env=env)
        for _ in range(600):
            self.out.seek(0)
            words = self.out.read().split()
            if len(words) >= 2 and words[0] == "listening":
                self.port = int(words[1])
                return
            time.sleep(0.1)
        raise SystemExit("corvane.exe bridge printed no port")

    def stop(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=30)
        self.out.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default=os.path.join(SOURCE, "build", "native"))
    parser.add_argument("--count", type=int, default=50000)
    parser.add_argument("--wine-bridge", help="corvane.exe of the Windows build, run under Wine")
    parser.add_argument("--work", type=int, default=20000,
                        help="the slow page's cost per event, in square roots")
    parser.add_argument("--write-queue-bytes", type=int, default=0,
                        help="the level-2 bridge's bound on what waits for a page (default 1 MiB)")
    args = parser.parse_args()
    corvane = os.path.join(args.build, "tools", "corvane", "corvane")
    backend_bin = os.path.join(args.build, "tools", "backend", "corvane-backend")
    echo_bin = os.path.join(args.build, "tools", "bridge", "bench", "corvane-bridge-echo")
    level_bin = os.path.join(args.build, "tools", "bridge", "bench", "corvane-bridge-level2")

    httpd = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(Quiet, directory=SOURCE))
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    origin = "http://127.0.0.1:%d" % httpd.server_address[1]
    profile = tempfile.mkdtemp(prefix="corvane-bench-chromium-")
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", "--user-data-dir=" + profile]:
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_script_timeout(300)
    driver.get(origin + "/bench/bridge/bench_page.html")
    while not driver.execute_script("return window.pageReady === true"):
        time.sleep(0.05)

    def call(function, params):
        return driver.execute_async_script(
            "const done = arguments[2];"
            "window[arguments[0]](arguments[1]).then(done, (e) => done({error: e.message}));",
            function, params)

    def feed(rate, wine=False, level=0, count=None, work=0, conflate=False):
        count = count or args.count
        backend, (iport, bport) = listener(
            [backend_bin, "--interactive-port", "0", "--broadcast-port", "0", "--rate", str(rate),
             "--count", str(count), "--feed-start", "connect", "--feed-logon"], 2)
        servers = ["127.0.0.1:%d" % iport, "127.0.0.1:%d" % bport]
        bridge_args = ["bridge", "--port", "0", "--allow-origin", origin,
                       "--allow-server", servers[0], "--allow-server", servers[1]]
        if wine:
            bridge = WineBridge(args.wine_bridge, bridge_args)
            port = bridge.port
        elif level:
            extra = (["--write-queue-bytes=%d" % args.write_queue_bytes]
                     if args.write_queue_bytes else [])
            bridge, (port,) = listener([level_bin, str(level), origin] + extra + servers)
        else:
            bridge, (port,) = listener([corvane] + bridge_args)
        try:
            return call("bridgeFeed", {
                "url": "ws://127.0.0.1:%d/" % port, "host": "127.0.0.1", "iport": iport,
                "bport": bport, "count": count, "work": work, "conflate": conflate,
                "offsetNs": time.time_ns() - time.monotonic_ns()})
        finally:
            bridge.stop() if wine else stop(bridge)
            stop(backend)

    paced = feed(2000)
    saturated = feed(0)
    batched = feed(0, level=2)
    # The slow page's capacity, then a feed at twice that, without and with
    # conflation (about 3 s of feed).
    capacity = feed(0, level=2, work=args.work)
    page_rate = capacity["events"] / capacity["seconds"]
    over = int(2 * page_rate)
    slow = {name: feed(over, level=2, count=3 * over, work=args.work, conflate=on)
            for name, on in (("off", False), ("on", True))}
    wine = {}
    if args.wine_bridge:
        wine = {"paced": feed(2000, True), "saturated": feed(0, True)}
    echo, (echo_port,) = listener([echo_bin])
    try:
        reference = call("echoFeed", {"url": "ws://127.0.0.1:%d/" % echo_port})
        reference64 = call("echoFeed", {"url": "ws://127.0.0.1:%d/" % echo_port, "perFrame": 64})
    finally:
        stop(echo)
    driver.quit()
    shutil.rmtree(profile, ignore_errors=True)
    httpd.shutdown()

    runs = [("paced", paced), ("saturated", saturated), ("echo", reference),
            ("batched", batched), ("echo 64", reference64), ("capacity", capacity),
            ("conflation off", slow["off"]), ("conflation on", slow["on"])]
    runs += [("wine " + name, r) for name, r in wine.items()]
    for name, r in runs:
        if "error" in r:
            raise SystemExit("%s: %s" % (name, r["error"]))
    bridge_rate = saturated["events"] / saturated["seconds"]
    echo_rate = reference["events"] / reference["seconds"]
    print("messages: %d (64-byte feed messages)" % args.count)
    print("bridge, saturating feed: %.0f events/s into the callback" % bridge_rate)
    print("plain WebSocket echo:    %.0f events/s into the callback (round trip %.2f s)"
          % (echo_rate, reference["roundTripSeconds"]))
    print("ratio bridge/echo:       %.2f" % (bridge_rate / echo_rate))
    print("latency back end -> callback, saturating feed: p50 %.1f ms, p99 %.1f ms"
          % (saturated["p50"], saturated["p99"]))
    print("latency back end -> callback, 2000 msg/s:      p50 %.1f ms, p99 %.1f ms"
          % (paced["p50"], paced["p99"]))
    batched_rate = batched["events"] / batched["seconds"]
    echo64_rate = reference64["events"] / reference64["seconds"]
    print("bridge at protocol level 2 (events in arrays): %.0f events/s" % batched_rate)
    print("plain WebSocket echo, 64 events a frame:       %.0f events/s" % echo64_rate)
    print("ratio level-2 bridge/echo 64 a frame:  %.2f" % (batched_rate / echo64_rate))
    print("ratio level-2 bridge/echo 1 a frame:   %.2f" % (batched_rate / echo_rate))
    print("ratio level-1 bridge/echo 64 a frame:  %.2f" % (bridge_rate / echo64_rate))
    print("slow page (%d square roots an event): %.0f events/s; feed at %d msg/s, %d messages"
          % (args.work, page_rate, over, 3 * over))
    for name in ("off", "on"):
        r = slow[name]
        latest = sum(1 for v in r["keys"].values() if v >= 3 * over - 8)
        print("  conflation %-3s: p50 %.1f ms, p99 %.1f ms; %d delivered (%.0f/s), %d replaced; "
              "instruments at their last value: %d of %d"
              % (name, r["p50"], r["p99"], r["events"], r["events"] / r["seconds"],
                 r["conflated"], latest, len(r["keys"])))
    if wine:
        wine_rate = wine["saturated"]["events"] / wine["saturated"]["seconds"]
        print("Windows bridge under Wine, saturating feed: %.0f events/s" % wine_rate)
        print("ratio Windows bridge/echo:   %.2f" % (wine_rate / echo_rate))
        print("ratio Windows/native bridge: %.2f" % (wine_rate / bridge_rate))
        print("Windows bridge latency, saturating feed: p50 %.1f ms, p99 %.1f ms"
              % (wine["saturated"]["p50"], wine["saturated"]["p99"]))
        print("Windows bridge latency, 2000 msg/s:      p50 %.1f ms, p99 %.1f ms"
              % (wine["paced"]["p50"], wine["paced"]["p99"]))


if __name__ == "__main__":
    main()
