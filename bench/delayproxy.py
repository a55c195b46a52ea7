"""A TCP proxy on 127.0.0.1 that delays every chunk a fixed time in each
direction, to stand for a network with a given round trip.

It runs in a process of its own (`delay_proxy()` starts it), so that neither
its CPU time nor the client's hold on the GIL affects the other. One asyncio
loop serves every connection: per direction, a reader stamps each chunk with
the time it is due and a writer sends the chunks in order when they are due.
Chunks in flight overlap, so a stream of chunks is delayed once, not once per
chunk, and no connection waits for another. When the parent closes the
proxy's standard input, the proxy prints how late it sent the chunks (the
time past their due time, a direct gauge of whether it kept up) and its CPU
time, and exits.

Only data is delayed, not the opening of a connection. moto's server closes
every connection after its response, so each request opens one; a server
that keeps connections alive would cost that round trip once per connection,
not per request, and delaying it here would charge a cost real servers do not.
"""

import asyncio
import contextlib
import json
import statistics
import subprocess
import sys
import time

CHUNK = 1 << 16


async def serve(target_port, delay):
    loop = asyncio.get_running_loop()
    lateness = []
    connections = {"open": 0, "peak": 0, "total": 0}

    async def pipe(reader, writer):
        queue = asyncio.Queue()

        async def send():
            while True:
                due, data = await queue.get()
                await asyncio.sleep(due - loop.time())
                lateness.append(loop.time() - due)
                if not data:
                    break
                writer.write(data)
                await writer.drain()
            if writer.can_write_eof():
                writer.write_eof()

        sender = asyncio.create_task(send())
        try:
            while data := await reader.read(CHUNK):
                queue.put_nowait((loop.time() + delay, data))
        finally:
            queue.put_nowait((loop.time() + delay, b""))  # the end of the stream, delayed like the data
            await sender

    async def handle(client_reader, client_writer):
        connections["open"] += 1
        connections["total"] += 1
        connections["peak"] = max(connections["peak"], connections["open"])
        server_writer = None
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port)
            await asyncio.gather(pipe(client_reader, server_writer), pipe(server_reader, client_writer))
        except OSError:
            pass  # a peer reset its end: drop the connection as a network would
        finally:
            connections["open"] -= 1
            for writer in (client_writer, server_writer):
                if writer is not None:
                    writer.close()

    started = loop.time()
    server = await asyncio.start_server(handle, "127.0.0.1", 0)
    print(server.sockets[0].getsockname()[1], flush=True)
    await loop.run_in_executor(None, sys.stdin.read)  # until the parent closes our standard input
    server.close()
    late = sorted(lateness) or [0.0]
    print(json.dumps({"chunks": len(lateness), "late_median": statistics.median(late),
                      "late_p99": late[int(0.99 * (len(late) - 1))], "late_max": late[-1],
                      "peak_connections": connections["peak"], "connections": connections["total"],
                      "cpu": time.process_time(), "wall": loop.time() - started}),
          flush=True)


@contextlib.contextmanager
def delay_proxy(target_port, delay):
    """Runs the proxy to 127.0.0.1:target_port with `delay` seconds each way.

    Yields (port, stats): stats, a dict, is filled with the proxy's figures
    when the block ends."""
    proxy = subprocess.Popen([sys.executable, __file__, str(target_port), str(delay)],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    stats = {}
    try:
        line = proxy.stdout.readline()
        if not line:
            raise RuntimeError("the delay proxy did not start")
        yield int(line), stats
    finally:
        out, _ = proxy.communicate(timeout=30)
        if out.strip():
            stats.update(json.loads(out))


if __name__ == "__main__":
    asyncio.run(serve(int(sys.argv[1]), float(sys.argv[2])))
