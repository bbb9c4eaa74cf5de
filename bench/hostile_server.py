"""A loopback HTTP server that misbehaves, for measuring what orvanel-extract holds.

  /stall        answers after 20 s
  /big/N        a 60 MiB page (the head at the top)
  /sjis         a 60 MiB page declared shift_jis whose bytes are all invalid there
  /trailers     a chunked page followed by an endless trailer section

usage: hostile_server.py PORT   (127.0.0.1 only; runs until killed)
"""
import socket
import sys
import threading
import time

BIG = b"<html><head><title>Big</title></head><body>" + b"x" * (60 << 20) + b"</body></html>"
SJIS = b"<html><head><title>S</title></head>" + b"\x81\x20" * (30 << 20)


def serve(conn):
    try:
        request = b""
        while b"\r\n\r\n" not in request:
            chunk = conn.recv(4096)
            if not chunk:
                return
            request += chunk
        path = request.split(b" ")[1].decode()
        if path == "/stall":
            time.sleep(20)
            body = b"<title>late</title>"
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
        elif path.startswith("/big/"):
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"
                         b"Content-Length: %d\r\n\r\n" % len(BIG) + BIG)
        elif path == "/sjis":
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=shift_jis\r\n"
                         b"Content-Length: %d\r\n\r\n" % len(SJIS) + SJIS)
        elif path == "/trailers":
            conn.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nTrailer: X-Pad\r\n\r\n"
                         b"10\r\n<title>T</title>\r\n0\r\n")
            line = b"X-Pad: p\r\n"
            deadline = time.time() + 30
            while time.time() < deadline:
                conn.sendall(line * 4096)
    except OSError:
        pass
    finally:
        conn.close()


def main():
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", int(sys.argv[1])))
    server.listen(256)
    while True:
        conn, _ = server.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


if __name__ == "__main__":
    main()
