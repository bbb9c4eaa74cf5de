"""A loopback HTTP server for the fetch benchmarks: every answer waits DELAY_MS first.

usage: delay_server.py PORT DELAY_MS [HOST ...]   (loopback addresses; runs until killed)
The page is about 1 KiB, or PAGE_KIB KiB when that variable is set.
"""
import asyncio
import os
import sys

from aiohttp import web

HEAD = ("<html><head><title>Page</title><meta name=\"keywords\" content=\"a,b\">"
        "<meta name=\"description\" content=\"A page.\"></head><body>")
BODY_BYTES = int(os.environ.get("PAGE_KIB", "1")) * 1024 - len(HEAD) - len("</body></html>")
PAGE = (HEAD + ("text " * (BODY_BYTES // 5 + 1))[:max(BODY_BYTES, 0)] + "</body></html>").encode()


async def handle(request):
    await asyncio.sleep(DELAY)
    return web.Response(body=PAGE, content_type="text/html", charset="utf-8")


if __name__ == "__main__":
    DELAY = int(sys.argv[2]) / 1000.0
    app = web.Application()
    app.router.add_get("/{tail:.*}", handle)
    hosts = sys.argv[3:] or ["127.0.0.1"]
    web.run_app(app, host=hosts, port=int(sys.argv[1]), print=None, access_log=None)
