"""Integrated proxy authentication against real peers: a private MIT Kerberos
realm with squid and negotiate_kerberos_auth, squid with ntlm_fake_auth
(scripts/krb5-proxy, started by the fixture), and a proxy that delimits its
407's body each way (fake_negotiate_proxy.py). curl --proxy-negotiate is the
oracle: where it opens the tunnel, `corvane session` must log on and get its
feed through it; where it is refused, so is the component, with the reason
in the trace.

    proxy_auth_test.py --corvane CORVANE --backend BACKEND --state STATE
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

parser = argparse.ArgumentParser()
parser.add_argument("--corvane", required=True)
parser.add_argument("--backend", required=True)
parser.add_argument("--state", required=True)
args = parser.parse_args()
here = os.path.dirname(os.path.abspath(__file__))

env_file = os.path.join(args.state, "kerberos.env")
for _ in range(200):
    if os.path.exists(env_file):
        break
    time.sleep(0.05)
realm = dict(line.strip().split("=", 1) for line in open(env_file) if "=" in line)
base = dict(os.environ)
for name in ("http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"):
    base.pop(name, None)
base.update(KRB5_CONFIG=realm["KRB5_CONFIG"], KRB5CCNAME=realm["KRB5CCNAME"], CORVANE_TRACE="1")

work = tempfile.mkdtemp(prefix="proxy-auth.", dir=args.state)
backend_out = open(os.path.join(work, "backend.out"), "w+")
backend = subprocess.Popen(
    [args.backend, "--interactive-port", "0", "--broadcast-port", "0", "--rate", "20",
     "--feed-start", "logon", "--duration-ms", "600000"],
    stdout=backend_out, stderr=subprocess.DEVNULL)
ports = {}
for _ in range(200):
    backend_out.seek(0)
    ports = dict(line.split()[:2] for line in backend_out if len(line.split()) >= 2)
    if "interactive" in ports and "broadcast" in ports:
        break
    time.sleep(0.05)
interactive, broadcast = ports["interactive"], ports["broadcast"]

failures = []


def check(what, condition, detail=""):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)
        if detail:
            print(detail, flush=True)


def oracle(proxy_port, env):
    """curl's answer to the CONNECT through the proxy: its status, 0 for none."""
    result = subprocess.run(
        ["curl", "-sS", "-o", "/dev/null", "-w", "%{http_connect}", "-p", "--proxy-negotiate",
         "-U", ":", "-x", "http://localhost:%s" % proxy_port, "--max-time", "10",
         "http://127.0.0.1:%s/" % interactive], env=env, capture_output=True, text=True)
    return result.stdout.strip()


def session(proxy_port, env, user_password=("", "")):
    env = dict(env, http_proxy="http://localhost:%s" % proxy_port)
    command = [args.corvane, "session", "--server", "127.0.0.1:%s" % interactive,
               "--broadcast", "127.0.0.1:%s" % broadcast, "--multi", "--compression", "off",
               "--encryption", "off", "--send", "1=LOGON|553=trader|554=x", "--duration", "1500"]
    if user_password is not None:
        command += ["--proxy-user", user_password[0], "--proxy-password", user_password[1]]
    result = subprocess.run(command, env=env, capture_output=True, text=True, timeout=120)
    # Under the sanitizer builds: not one report, however the session ended.
    if "Sanitizer" in result.stderr or result.returncode < 0:
        check("session without a sanitizer report or a signal", False, result.stderr)
    return result.stdout, result.stderr


def logged_on(out):
    lines = out.splitlines()
    return (lines.count("connect true") == 2 and
            any(line.startswith("authentication true|10000") for line in lines) and
            any(line.startswith("data ") for line in lines))


negotiate = realm["NEGOTIATE_PROXY"]
state = args.state

# Kerberos: curl and the component agree, for the user squid accepts and
# for every way of being refused.
cases = [
    ("a ticket", {}, "200", None),
    ("no ticket", {"KRB5CCNAME": "FILE:" + os.path.join(work, "no-ccache")}, "407",
     "no token for the proxy, Negotiate"),
    ("a wrong realm", {"KRB5_CONFIG": os.path.join(state, "krb5-wrong.conf")}, "407",
     "no token for the proxy, Negotiate"),
    ("a user squid refuses", {"KRB5CCNAME": "FILE:" + os.path.join(state, "refused.ccache")},
     "407", "the proxy rejected the token, Negotiate"),
]
for what, change, status, traced in cases:
    env = dict(base, **change)
    check("curl with %s: CONNECT answered %s" % (what, status), oracle(negotiate, env) == status)
    out, err = session(negotiate, env)
    if traced is None:
        check("session with %s: logon and feed through the tunnel" % what, logged_on(out), out + err)
        check("session with %s: no token in the trace" % what, "Negotiate YII" not in err, err)
    else:
        check("session with %s: both connections fail" % what,
              "connect true" not in out and "connection-failure 1" in out, out + err)
        check("session with %s: the trace says why" % what, traced in err, err)

# The administrator's switch: no integrated authentication, the tunnel is
# refused even with a ticket.
out, err = session(negotiate, dict(base, CORVANE_DISABLE_INTEGRATED_PROXY_AUTH="1"))
check("policy off: refused, no Negotiate round", "connect true" not in out and
      "no scheme the component can answer" in err, out + err)
# Without the script's credentials no tunnel is asked for at all (the proxy
# itself then refuses the requests it gets).
out, err = session(negotiate, base, user_password=None)
check("no script credentials: no CONNECT, no logon", "authentication true" not in out, out)
# Real credentials of the script go by Basic only: this proxy offers none,
# so Negotiate answers its 407 after the Basic line was refused.
out, err = session(negotiate, base, user_password=("someone", "pw"))
check("script credentials, Negotiate-only proxy: Negotiate opens the tunnel", logged_on(out),
      out + err)

# NTLM's shape, as curl runs it through squid's ntlm_fake_auth: three
# messages, the tunnel after the third. gss-ntlmssp refuses that helper's
# challenge (its target name's offset is garbage), so the component's NTLM
# (gss-ntlmssp with its user file) runs against a proxy whose challenge is
# well-formed and which opens the tunnel only when the third message comes
# on the connection that got the challenge.
result = subprocess.run(
    ["curl", "-sS", "-o", "/dev/null", "-w", "%{http_connect}", "-p", "--proxy-ntlm", "-U",
     "trader:x", "-x", "http://localhost:%s" % realm["NTLM_PROXY"], "--max-time", "10",
     "http://127.0.0.1:%s/" % interactive], env=base, capture_output=True, text=True)
check("curl: NTLM through squid", result.stdout.strip() == "200", result.stderr)

# The 407's body delimited by Content-Length, chunks, or the connection's end;
# NTLM's rounds on one connection.
ntlm_env = dict(base, NTLM_USER_FILE=os.path.join(state, "ntlm.users"))
if "ASAN_OPTIONS" in ntlm_env:
    # gss-ntlmssp's own leak (lsan.supp) is found only in a full stack: its
    # allocations are made inside libcrypto, which keeps no frame pointers.
    ntlm_env["ASAN_OPTIONS"] += ":fast_unwind_on_malloc=0"
for body, connections in (("length", 1), ("chunked", 1), ("close", 2), ("ntlm", 1)):
    port_file = os.path.join(work, "fake-%s.port" % body)
    log = open(os.path.join(work, "fake-%s.log" % body), "w+")
    fake = subprocess.Popen([sys.executable, os.path.join(here, "fake_negotiate_proxy.py"),
                             port_file, body], stdout=log, stderr=subprocess.STDOUT)
    for _ in range(200):
        if os.path.exists(port_file):
            break
        time.sleep(0.05)
    out, err = session(open(port_file).read().strip(), ntlm_env if body == "ntlm" else base)
    fake.terminate()
    fake.wait()
    log.seek(0)
    rounds = [line.split() for line in log if line.startswith("connect ")]
    if body == "ntlm":
        first = [r[3] for r in rounds[:3]]
        check("NTLM: logon through the tunnel", logged_on(out), out + err)
        check("NTLM: none, then messages 1 and 3 on one connection",
              first == ["none", "NTLM+1", "NTLM+3"] and rounds[0][1] == rounds[2][1], str(rounds))
        continue
    # The interactive connection's rounds (its own, then the broadcast's).
    first = rounds[:2]
    check("407 body by %s: logon through the tunnel" % body, logged_on(out), out + err)
    check("407 body by %s: the second round on %s" %
          (body, "the same connection" if connections == 1 else "a new connection"),
          len(first) == 2 and first[1][3].startswith("Negotiate") and
          (first[0][1] == first[1][1]) == (connections == 1), str(rounds))

backend.terminate()
backend.wait()
print("%d failed" % len(failures))
sys.exit(1 if failures else 0)
