"""A proxy that asks for Negotiate with a 407 whose body is delimited one of
three ways, takes any token, then opens the tunnel and relays; or one that
runs NTLM's three messages and opens the tunnel only when the last one comes
on the connection that got the challenge.

    fake_negotiate_proxy.py PORT_FILE BODY

BODY: length (Content-Length, connection kept), chunked (connection kept),
close (no length, "Connection: close": the client comes back on a new
connection), or ntlm. Each CONNECT is logged on standard output as
"connect N auth SCHEME[+token]" (NTLM: "NTLM+1", "NTLM+3", the message's
type), N numbering the connections.
"""
import base64
import os
import socket
import struct
import sys
import threading
import time

port_file, body_kind = sys.argv[1], sys.argv[2]
PAGE = b"<html>Proxy authentication required</html>\n" * 20


def challenge():
    head = b"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Negotiate\r\n"
    if body_kind == "length":
        return head + b"Content-Length: %d\r\n\r\n" % len(PAGE) + PAGE
    if body_kind == "chunked":
        chunks = b"".join(b"%x;x=y\r\n%s\r\n" % (len(PAGE[i:i + 100]), PAGE[i:i + 100])
                          for i in range(0, len(PAGE), 100))
        return head + b"Transfer-Encoding: chunked\r\n\r\n" + chunks + b"0\r\nX-End: 1\r\n\r\n"
    return head + b"Connection: close\r\n\r\n" + PAGE


def ntlm_challenge():
    """A well-formed NTLM CHALLENGE_MESSAGE (MS-NLMP 2.2.1.2) with target
    information, for NTLMv2."""
    def utf16(text):
        return text.encode("utf-16-le")

    info = b""
    for av_id, value in ((2, utf16("CORVANE")), (1, utf16("PROXY")),
                         (7, struct.pack("<Q", int((time.time() + 11644473600) * 10000000)))):
        info += struct.pack("<HH", av_id, len(value)) + value
    info += struct.pack("<HH", 0, 0)
    target = utf16("CORVANE")
    flags = 0x00000001 | 0x00000004 | 0x00000200 | 0x00008000 | 0x00010000 | 0x00080000 | \
        0x00800000 | 0x20000000 | 0x80000000
    offset = 48
    message = b"NTLMSSP\0" + struct.pack("<I", 2)
    message += struct.pack("<HHI", len(target), len(target), offset)
    message += struct.pack("<I", flags) + os.urandom(8) + b"\0" * 8
    message += struct.pack("<HHI", len(info), len(info), offset + len(target))
    return message + target + info


def read_header(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        byte = conn.recv(1)
        if not byte:
            return None
        data += byte
    return data.decode("latin-1")


def relay(a, b):
    try:
        while True:
            data = a.recv(65536)
            if not data:
                break
            b.sendall(data)
    except OSError:
        pass
    for s in (a, b):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def serve(conn, number):
    challenged = False
    while True:
        header = read_header(conn)
        if header is None:
            conn.close()
            return
        auth = "none"
        for line in header.split("\r\n"):
            if line.lower().startswith("proxy-authorization:"):
                value = line.split(":", 1)[1].split()
                auth = value[0] + ("+token" if len(value) > 1 else "")
                if value[0] == "NTLM" and len(value) > 1:
                    token = base64.b64decode(value[1])
                    auth = "NTLM+%d" % (struct.unpack("<I", token[8:12])[0]
                                        if token[:8] == b"NTLMSSP\0" else 0)
        print("connect %d auth %s" % (number, auth), flush=True)
        if body_kind == "ntlm":
            if auth == "NTLM+1":
                challenged = True
                message = base64.b64encode(ntlm_challenge())
                conn.sendall(b"HTTP/1.1 407 Proxy Authentication Required\r\n"
                             b"Proxy-Authenticate: NTLM " + message + b"\r\n"
                             b"Content-Length: 0\r\n\r\n")
                continue
            if auth != "NTLM+3" or not challenged:
                conn.sendall(b"HTTP/1.1 407 Proxy Authentication Required\r\n"
                             b"Proxy-Authenticate: NTLM\r\nContent-Length: 0\r\n\r\n")
                continue
        elif not auth.startswith("Negotiate+"):
            conn.sendall(challenge())
            if body_kind == "close":
                conn.close()
                return
            continue
        target = header.split()[1].rsplit(":", 1)
        upstream = socket.create_connection((target[0], int(target[1])))
        conn.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
        threading.Thread(target=relay, args=(upstream, conn), daemon=True).start()
        relay(conn, upstream)
        return


listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", 0))
listener.listen(16)
with open(port_file + ".tmp", "w") as f:
    f.write(str(listener.getsockname()[1]))
os.rename(port_file + ".tmp", port_file)
count = 0
while True:
    conn, _ = listener.accept()
    count += 1
    threading.Thread(target=serve, args=(conn, count), daemon=True).start()
