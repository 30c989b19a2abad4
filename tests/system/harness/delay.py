#!/usr/bin/python3
"""A TCP relay that holds everything coming back from its target for a fixed
delay, as `tc qdisc ... netem delay` would on the target's interface.

The cluster's slow-node scenario uses it where the kernel has no netem qdisc: the edges
are pointed at this relay in front of one node's front, which makes that
node slower by the delay on every answer, TLS and PROXY header untouched.
Order is kept: each chunk leaves `delay` after it arrived.

Usage: delay.py LISTEN_HOST LISTEN_PORT TARGET_HOST TARGET_PORT DELAY_MS
Runs until SIGTERM.
"""

import asyncio
import sys


async def pipe(reader, writer, delay):
    queue = asyncio.Queue()

    async def send_in_order():
        while True:
            due, chunk = await queue.get()
            await asyncio.sleep(max(due - loop.time(), 0))
            if not chunk:
                break
            writer.write(chunk)
            await writer.drain()
        writer.close()

    loop = asyncio.get_running_loop()
    sender = asyncio.create_task(send_in_order())
    try:
        while True:
            chunk = await reader.read(65536)
            queue.put_nowait((loop.time() + delay, chunk))
            if not chunk:
                break
    except OSError:
        queue.put_nowait((loop.time(), b""))
    await sender


async def relay(client_reader, client_writer, target, delay):
    try:
        server_reader, server_writer = await asyncio.open_connection(*target)
    except OSError:
        client_writer.close()
        return
    await asyncio.gather(pipe(client_reader, server_writer, 0),
                         pipe(server_reader, client_writer, delay),
                         return_exceptions=True)


async def main():
    listen_host, listen_port, target_host, target_port, delay_ms = sys.argv[1:6]
    target = (target_host, int(target_port))
    delay = int(delay_ms) / 1000
    server = await asyncio.start_server(
        lambda r, w: relay(r, w, target, delay), listen_host, int(listen_port))
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main())
