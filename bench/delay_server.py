"""A loopback HTTP server for the fetch benchmarks: every answer waits DELAY_MS first.

usage: delay_server.py PORT DELAY_MS [HOST ...]   (loopback addresses; runs until killed)
The page is about 1 KiB, or PAGE_KIB KiB when that variable is set. With ACCESS_LOG set,
every request appends "CONNECTION PID" to that file, CONNECTION numbering the connections
in the order they were first used, as the benchmarks read nginx's access log.
"""
import asyncio
import itertools
import os
import sys
import weakref

from aiohttp import web

HEAD = ("<html><head><title>Page</title><meta name=\"keywords\" content=\"a,b\">"
        "<meta name=\"description\" content=\"A page.\"></head><body>")
BODY_BYTES = int(os.environ.get("PAGE_KIB", "1")) * 1024 - len(HEAD) - len("</body></html>")
PAGE = (HEAD + ("text " * (BODY_BYTES // 5 + 1))[:max(BODY_BYTES, 0)] + "</body></html>").encode()
LOG = open(os.environ["ACCESS_LOG"], "a", buffering=1) if os.environ.get("ACCESS_LOG") else None
CONNECTIONS = weakref.WeakKeyDictionary()
NUMBERS = itertools.count(1)


async def handle(request):
    if LOG:
        number = CONNECTIONS.get(request.transport)
        if number is None:
            number = CONNECTIONS[request.transport] = next(NUMBERS)
        LOG.write("%d %d\n" % (number, os.getpid()))
    await asyncio.sleep(DELAY)
    return web.Response(body=PAGE, content_type="text/html", charset="utf-8")


if __name__ == "__main__":
    DELAY = int(sys.argv[2]) / 1000.0
    app = web.Application()
    app.router.add_get("/{tail:.*}", handle)
    hosts = sys.argv[3:] or ["127.0.0.1"]
    web.run_app(app, host=hosts, port=int(sys.argv[1]), print=None, access_log=None)
