"""Fetches every address of a list with aiohttp, LIMIT at once, bodies discarded.

usage: aiohttp_client.py LIST LIMIT [PER_HOST [CA_FILE]]
Host names ending in .bench.test are resolved to 127.0.0.1 without asking a name server;
with CA_FILE, certificates are checked against it.
"""
import asyncio
import socket
import ssl
import sys

import aiohttp
from aiohttp.abc import AbstractResolver
from aiohttp.resolver import DefaultResolver


class BenchResolver(AbstractResolver):
    def __init__(self):
        self._default = DefaultResolver()

    async def resolve(self, host, port=0, family=socket.AF_INET):
        if host.endswith(".bench.test"):
            return [{"hostname": host, "host": "127.0.0.1", "port": port, "family": socket.AF_INET,
                     "proto": 0, "flags": socket.AI_NUMERICHOST}]
        return await self._default.resolve(host, port, family)

    async def close(self):
        await self._default.close()


async def main(path, limit, per_host, ca_file):
    with open(path) as f:
        urls = [line.strip() for line in f if line.strip()]
    gate = asyncio.Semaphore(limit)
    context = ssl.create_default_context(cafile=ca_file) if ca_file else None
    connector = aiohttp.TCPConnector(limit=limit, limit_per_host=per_host, resolver=BenchResolver(),
                                     ssl=context if context else True)
    async with aiohttp.ClientSession(connector=connector) as session:
        async def one(url):
            async with gate:
                async with session.get(url) as response:
                    await response.read()
        await asyncio.gather(*(one(u) for u in urls))


limit = int(sys.argv[2])
asyncio.run(main(sys.argv[1], limit, int(sys.argv[3]) if len(sys.argv) > 3 else limit,
                 sys.argv[4] if len(sys.argv) > 4 else None))
