"""Hostile servers for bench/attack_bench.sh, each on 127.0.0.1:PORT until killed.

usage: attack_servers.py MODE PORT [ARG ...]

  zstd FILE         every path: the bytes of FILE, sent with Content-Encoding: zstd
  h2flood CERT KEY  TLS + HTTP/2: every stream gets its headers, then endless empty DATA
                    frames (for 60 s)
  slow SECONDS      every path: a small page after SECONDS
  stall FIRST BYTES the path /first hangs for FIRST seconds; every other path: BYTES of
                    page; each request's path is counted in PORT.log at exit
  trickle BYTES     a page of BYTES, sent one byte at a time, each on its own
  blackhole         a listener whose queue is full: connections time out
"""
import collections
import signal
import socket
import ssl
import struct
import sys
import threading
import time

mode, port = sys.argv[1], int(sys.argv[2])
args = sys.argv[3:]
counts = collections.Counter()


def listener(backlog=512):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", port))
    s.listen(backlog)
    return s


def read_request(c):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = c.recv(65536)
        if not chunk:
            return None
        data += chunk
    return data.split(b" ", 2)[1].decode()


def frame(kind, flags, stream, payload=b""):
    return struct.pack(">I", len(payload))[1:] + bytes([kind, flags]) + struct.pack(">I", stream) + payload


def h2flood(c, ctx):
    s = ctx.wrap_socket(c, server_side=True)
    preface = b""
    while len(preface) < 24:
        preface += s.recv(24 - len(preface))
    s.sendall(frame(4, 0, 0))
    buffer, stream = b"", 0
    while not stream:
        data = s.recv(65536)
        if not data:
            return
        buffer += data
        while len(buffer) >= 9:
            length = int.from_bytes(buffer[:3], "big")
            if len(buffer) < 9 + length:
                break
            kind, flags = buffer[3], buffer[4]
            sid = int.from_bytes(buffer[5:9], "big") & 0x7FFFFFFF
            buffer = buffer[9 + length:]
            if kind == 4 and not flags & 1:
                s.sendall(frame(4, 1, 0))
            if kind == 1:
                stream = sid
    s.sendall(frame(1, 4, stream, b"\x88"))  # :status 200
    blob = frame(0, 0, stream) * 20000
    end = time.time() + 60
    while time.time() < end:
        s.sendall(blob)


def serve(c):
    try:
        if mode == "h2flood":
            return h2flood(c, tls)
        path = read_request(c)
        if path is None:
            return
        counts[path] += 1
        if mode == "zstd":
            c.sendall(b"HTTP/1.1 200 OK\r\nContent-Encoding: zstd\r\nContent-Length: %d\r\n"
                      b"Connection: close\r\n\r\n" % len(body) + body)
        elif mode == "slow":
            time.sleep(float(args[0]))
            page = b"<title>slow but fine</title>"
            c.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % len(page) + page)
        elif mode == "stall":
            if path.startswith("/first"):
                time.sleep(float(args[0]))
            page = b"<title>t</title>" + b"x" * int(args[1])
            c.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % len(page) + page)
        elif mode == "trickle":
            page = b"<html><head><title>t</title>" + b"x" * int(args[0])
            c.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            c.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % len(page))
            for i in range(len(page)):
                c.send(page[i:i + 1])
                time.sleep(0.00002)  # each byte its own segment, read on its own
    except OSError:
        pass
    finally:
        c.close()


def finish(*_):
    with open("%d.log" % port, "w") as log:
        for path, n in sorted(counts.items()):
            log.write("%d %s\n" % (n, path))
    sys.exit(0)


signal.signal(signal.SIGTERM, finish)
if mode == "zstd":
    body = open(args[0], "rb").read()
if mode == "h2flood":
    tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    tls.load_cert_chain(args[0], args[1])
    tls.set_alpn_protocols(["h2"])
if mode == "blackhole":
    s = listener(0)
    fillers = []
    for _ in range(4):
        f = socket.socket()
        f.setblocking(False)
        try:
            f.connect(("127.0.0.1", port))
        except BlockingIOError:
            pass
        fillers.append(f)
    signal.pause()
s = listener()
while True:
    c, _ = s.accept()
    threading.Thread(target=serve, args=(c,), daemon=True).start()
