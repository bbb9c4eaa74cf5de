#!/usr/bin/python3
"""Pages for the runner recipes' tests, served on 127.0.0.1 only.

    pages.py READY_FILE [SLOW_MS]

Paths: /p/N is a page titled "Page N"; /slow/N is the same page after SLOW_MS
milliseconds (default 300); /missing/N answers 404. A second port is bound but never
listens, so that connections to it are refused: a dead host that no other program can
take over while the server runs. Once both are bound, READY_FILE gets "PORT DEAD_PORT"
(written whole, by a rename). The most requests ever served at once are kept in
READY_FILE.peak, and the moment each request came (seconds, a line each) in
READY_FILE.times. Runs until it is sent a signal.
"""
import http.server
import os
import socket
import sys
import threading
import time

ready_file = sys.argv[1]
slow_seconds = (int(sys.argv[2]) if len(sys.argv) > 2 else 300) / 1000.0
lock = threading.Lock()
active = 0
peak = 0
times = open(ready_file + ".times", "w")


def write_whole(path, text):
    with open(path + ".part", "w") as f:
        f.write(text)
    os.replace(path + ".part", path)


class Pages(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def do_GET(self):
        global active, peak
        with lock:
            times.write("%.6f\n" % time.monotonic())
            times.flush()
            active += 1
            if active > peak:
                peak = active
                write_whole(ready_file + ".peak", "%d\n" % peak)
        try:
            self.answer()
        finally:
            with lock:
                active -= 1

    def answer(self):
        parts = self.path.split("/")
        kind, number = (parts[1], parts[2]) if len(parts) == 3 else ("", "")
        if kind == "slow":
            time.sleep(slow_seconds)
        if kind not in ("p", "slow"):
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        body = ('<html><head><title>Page %s</title><meta name="description" content="About %s">'
                '</head><body></body></html>' % (number, number)).encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 512


server = Server(("127.0.0.1", 0), Pages)
dead = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
dead.bind(("127.0.0.1", 0))
write_whole(ready_file, "%d %d\n" % (server.server_address[1], dead.getsockname()[1]))
server.serve_forever()
