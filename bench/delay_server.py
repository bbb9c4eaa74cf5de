"""A loopback HTTP server for the fetch benchmarks: every answer waits DELAY_MS first.

usage: delay_server.py PORT DELAY_MS [HOST ...]   (loopback addresses; runs until killed)
"""
import asyncio
import sys

from aiohttp import web

PAGE = ("<html><head><title>Page</title><meta name=\"keywords\" content=\"a,b\">"
        "<meta name=\"description\" content=\"A page.\"></head><body>" + "text " * 200 +
        "</body></html>").encode()


async def handle(request):
    await asyncio.sleep(DELAY)
    return web.Response(body=PAGE, content_type="text/html", charset="utf-8")


if __name__ == "__main__":
    DELAY = int(sys.argv[2]) / 1000.0
    app = web.Application()
    app.router.add_get("/{tail:.*}", handle)
    hosts = sys.argv[3:] or ["127.0.0.1"]
    web.run_app(app, host=hosts, port=int(sys.argv[1]), print=None, access_log=None)
