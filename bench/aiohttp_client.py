"""Fetches every address of a list with aiohttp, LIMIT at once, bodies discarded.

usage: aiohttp_client.py LIST LIMIT
"""
import asyncio
import sys

import aiohttp


async def main(path, limit):
    with open(path) as f:
        urls = [line.strip() for line in f if line.strip()]
    gate = asyncio.Semaphore(limit)
    connector = aiohttp.TCPConnector(limit=limit, limit_per_host=limit)
    async with aiohttp.ClientSession(connector=connector) as session:
        async def one(url):
            async with gate:
                async with session.get(url) as response:
                    await response.read()
        await asyncio.gather(*(one(u) for u in urls))


asyncio.run(main(sys.argv[1], int(sys.argv[2])))
