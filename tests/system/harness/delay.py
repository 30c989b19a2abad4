#!/usr/bin/python3
"""A TCP relay that holds everything coming back from its target for a fixed
delay, as `tc qdisc ... netem delay` would on the target's interface, for
kernels without netem: the edges are pointed at it in front of one node's
front, which makes that node slower by the delay on every answer, TLS and
PROXY header untouched. Order is kept: each chunk leaves `delay` after it
arrived. Runs until SIGTERM.

Usage: delay.py LISTEN_HOST LISTEN_PORT TARGET_HOST TARGET_PORT DELAY_MS
"""

import asyncio
import sys


async def pipe(reader, writer, delay):
    loop, queue = asyncio.get_running_loop(), asyncio.Queue()

    async def send_in_order():
        while True:
            due, chunk = await queue.get()
            await asyncio.sleep(max(due - loop.time(), 0))
            if not chunk:
                break
            writer.write(chunk)
            await writer.drain()
        writer.close()

    sender = asyncio.create_task(send_in_order())
    try:
        while chunk := await reader.read(65536):
            queue.put_nowait((loop.time() + delay, chunk))
    except OSError:
        pass
    queue.put_nowait((loop.time() + delay, b""))
    await sender


async def relay(client_reader, client_writer, target, delay):
    try:
        server_reader, server_writer = await asyncio.open_connection(*target)
    except OSError:
        client_writer.close()
        return
    await asyncio.gather(pipe(client_reader, server_writer, 0),
                         pipe(server_reader, client_writer, delay), return_exceptions=True)


async def main(listen_host, listen_port, target_host, target_port, delay_ms):
    server = await asyncio.start_server(
        lambda r, w: relay(r, w, (target_host, int(target_port)), int(delay_ms) / 1000),
        listen_host, int(listen_port))
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main(*sys.argv[1:6]))
