"""A TCP proxy on 127.0.0.1 that stands for a network: it can delay every
chunk, cap each connection's rate, reset a seeded share of connections while
a response streams, reset every connection after a fixed number of bytes,
and flip a bit of response bodies.

It runs in a process of its own (`net_proxy()` starts it), so that neither
its CPU time nor the client's hold on the GIL affects the other. It binds and
connects 127.0.0.1 only. One asyncio loop serves every connection; each
direction of a connection is a pipe that reads a chunk, waits for the rate's
turn, and writes it, straight away or, with a delay, through a queue:

- `delay` (seconds, each way): a reader stamps each chunk with the time it is
  due and a writer sends the chunks in order when they are due. Chunks in
  flight overlap, so a stream of chunks is delayed once, not once per chunk,
  and no connection waits for another. Only data is delayed, not the opening
  of a connection: moto's server closes every connection after its response,
  so each request opens one; a server that keeps connections alive would cost
  that round trip once per connection, not per request, and delaying it here
  would charge a cost real servers do not.
- `rate` (bytes per second, per connection and direction): a token bucket
  10 ms deep. A chunk leaves when its bytes' turn comes (each byte takes
  1/rate); chunks are at most 4 ms of the rate (and at most 64 KiB), so the
  pacing is smooth; a late wake-up is made up within the bucket's depth, so
  the rate holds over a long stream; after an idle spell at most 10 ms of the
  rate leaves at once. Reading waits with the writing (up to 1 MiB read
  ahead), so the sender is held back by TCP, not buffered here. On the 2-CPU
  machine of the README, a 64 MiB stream at 16 MiB/s takes 4.00 s for about
  0.3 s of the proxy's CPU, and 8 such streams at once keep 15.4 to 16 MiB/s
  each.
- Faults: `cut_share` of the connections are reset after a number of
  server→client bytes drawn uniformly from [1, `cut_bytes`]; a response that
  ends before that is not cut. The reset is a real TCP RST towards the client
  (SO_LINGER 0, then close), once the bytes before it have been handed to the
  kernel, so the client sees ConnectionResetError while the body streams (it
  gets at most that many bytes: as with any RST, what it has not read yet may
  be lost); the server's side is dropped at the same time. Each connection's
  fate is drawn from a generator seeded with (`seed`, round, request, how many
  times that request was seen in the round): the same in every run, whatever
  the order in which concurrent connections arrive. The request is the
  method and target of the first request line of the connection (a
  kept-alive connection is judged by its first request; ranged GETs of one
  object are one request).
- The bound: one request is cut at most `max_cuts_per_request` times in a
  round (None: no bound), so a client that requests a broken body again a
  few times always gets through and a round stays finite. A round ends, and
  its counts start over, when the parent asks (`NetProxy.new_round()`, one
  line on the proxy's standard input, answered with the cuts made since).
- `cut_after` (bytes; None: off): every connection is reset, as above, once
  it has carried exactly that many server→client bytes (response headers
  included), like a NAT, a proxy or a mobile link that drops each connection
  after a few MiB: a client gets a long body only over several connections.
  A response that ends at or before that count is not cut. These cuts are
  not drawn and not bound by `max_cuts_per_request`; they are counted with
  the others (`cuts`, and the answer to `new_round()`). With `cut_share` as
  well, a connection is reset at whichever of its two cuts comes first.

- `flip_at` (bytes; None: off): the lowest bit of the byte at that offset of
  a response's body is flipped, as a faulty proxy or NIC would, in the first
  response of each connection whose body reaches that far (the body starts
  after the first blank line the server sends); `flips` bounds how many
  responses are flipped in all (None: every one). Counted as `flips`.

When the parent closes the proxy's standard input, the proxy prints its
figures as JSON and exits: with a delay, how late it sent the chunks (the
time past their due time, a direct gauge of whether it kept up); with a rate,
the rate each stream of 1 MiB or more achieved; the cuts made and those the
bound spared; its CPU time.
"""

import asyncio
import collections
import contextlib
import json
import random
import socket
import statistics
import struct
import subprocess
import sys
import time

CHUNK = 1 << 16
PACE_STEP = 0.004  # the longest a chunk takes at the rate, in seconds
BUCKET_DEPTH = 0.01  # seconds of the rate that may leave at once
MEASURED_STREAM = 1 << 20  # streams of at least this many bytes report their rate
REQUEST_LINE_MAX = 8192
PACED_BUFFER = 1 << 20  # what a paced stream reads ahead (asyncio's 64 KiB costs a pause and resume every few chunks)


class Cut(Exception):
    """The connection was reset on purpose."""


class Faults:
    """Which connections are cut, after how many bytes, and the bound."""

    def __init__(self, share, most_bytes, seed, bound):
        self.share, self.most_bytes, self.seed, self.bound = share, most_bytes, seed, bound
        self.round = 0
        self.seen = collections.Counter()  # request -> connections in this round
        self.cuts = collections.Counter()  # request -> cuts in this round
        self.made = self.spared = self.made_in_round = 0

    def plan(self, request):
        """The server→client bytes after which this connection is reset, or None."""
        seen = self.seen[request]
        self.seen[request] += 1
        draw = random.Random(f"{self.seed}/{self.round}/{request}/{seen}")
        if draw.random() < self.share:
            return draw.randint(1, self.most_bytes)
        return None

    def spend(self, request):
        """Whether the planned cut may be made now (the bound)."""
        if self.bound is not None and self.cuts[request] >= self.bound:
            self.spared += 1
            return False
        self.cuts[request] += 1
        self.made += 1
        self.made_in_round += 1
        return True

    def new_round(self):
        made, self.made_in_round = self.made_in_round, 0
        self.round += 1
        self.seen.clear()
        self.cuts.clear()
        return made


async def serve(target_port, options):
    loop = asyncio.get_running_loop()
    delay = options.get("delay", 0.0)
    rate = options.get("rate")
    chunk = CHUNK if not rate else max(1024, min(CHUNK, int(rate * PACE_STEP)))
    buffer = {"limit": PACED_BUFFER} if rate else {}
    faults = None
    cut_after = options.get("cut_after")
    fixed_cuts = {"made": 0, "in_round": 0}  # the cuts of cut_after
    flip_at, flips = options.get("flip_at"), {"made": 0, "most": options.get("flips")}
    if options.get("cut_share"):
        faults = Faults(options["cut_share"], options["cut_bytes"], options.get("seed", 0),
                        options.get("max_cuts_per_request"))
    lateness = []
    rates = []
    connections = {"open": 0, "peak": 0, "total": 0}
    handlers = set()

    class Connection:
        def __init__(self, client_writer):
            self.client_writer, self.server_writer = client_writer, None
            self.head = b""  # the request line, while it arrives
            self.request = None
            self.cut_after = None  # server→client bytes still to pass before the drawn reset
            self.reset_after = cut_after  # the same, before the reset every connection gets
            self.sent = 0  # server→client bytes so far
            self.reply_head = b""  # the response's head, until its blank line
            self.body_at = None  # where the response's body starts

        def flip(self, data):
            """`data` with the bit at flip_at of the response body flipped, when it falls in `data`."""
            start, self.sent = self.sent, self.sent + len(data)
            if self.body_at is None:
                self.reply_head += data
                end = self.reply_head.find(b"\r\n\r\n")
                if end < 0:
                    return data
                self.body_at = end + 4
                self.reply_head = b""
            offset = self.body_at + flip_at - start
            if not 0 <= offset < len(data) or (flips["most"] is not None and flips["made"] >= flips["most"]):
                return data
            flips["made"] += 1
            changed = bytearray(data)
            changed[offset] ^= 1
            return bytes(changed)

        def watch(self, data):
            """Reads the first request line (client→server) and plans the connection's fate."""
            if self.request is not None or faults is None:
                return
            self.head += data
            end = self.head.find(b"\r\n")
            if end < 0:
                if len(self.head) < REQUEST_LINE_MAX:
                    return
                end = len(self.head)
            self.request = " ".join(self.head[:end].decode("latin-1").split()[:2])
            self.head = b""
            self.cut_after = faults.plan(self.request)

        async def reset(self, data):
            """Sends data, then resets the client's connection and drops the server's."""
            client = self.client_writer
            client.write(data)
            client.transport.set_write_buffer_limits(0)
            await client.drain()  # into the kernel, so the client gets the bytes before the reset
            client.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                                       struct.pack("ii", 1, 0))
            client.transport.abort()
            self.server_writer.transport.abort()
            raise Cut

    async def write(writer, data, connection):
        """Writes one chunk; to the client, it may be the chunk the connection is cut in."""
        if connection is not None:
            if flip_at is not None:
                data = connection.flip(data)
            size = len(data)
            fixed = connection.reset_after is not None and size > connection.reset_after
            if connection.cut_after is not None:
                if size <= connection.cut_after:
                    connection.cut_after -= size
                elif not (fixed and connection.reset_after <= connection.cut_after):  # the drawn cut comes first
                    if faults.spend(connection.request):
                        await connection.reset(data[:connection.cut_after])
                    connection.cut_after = None
            if fixed:
                fixed_cuts["made"] += 1
                fixed_cuts["in_round"] += 1
                await connection.reset(data[:connection.reset_after])
            if connection.reset_after is not None:
                connection.reset_after -= size
        writer.write(data)
        await writer.drain()

    class Pacer:
        """Waits for the rate's turn of each chunk of one direction, and measures the rate it kept."""

        def __init__(self):
            self.free = loop.time()  # when the bytes let through so far have all had their turn
            self.bytes = self.last_size = 0
            self.first = self.last = None

        async def wait(self, size):
            """Returns when the chunk of `size` bytes may leave (its start time)."""
            now = loop.time()
            start = max(self.free, now - BUCKET_DEPTH)
            if start > now:
                await asyncio.sleep(start - now)
            self.free = start + size / rate
            self.last = loop.time()
            if self.first is None:
                self.first = self.last
            self.bytes += size
            self.last_size = size
            return start

        def measure(self):
            if self.bytes >= MEASURED_STREAM and self.last > self.first:
                rates.append((self.bytes - self.last_size) / (self.last - self.first))

    async def pipe(reader, writer, watch=None, cut=None):
        """Copies reader to writer; `watch` sees each chunk first; `cut` is the
        connection whose client `writer` is, when the copy runs towards it."""
        pacer = Pacer() if rate else None
        try:
            if delay:
                await delayed_pipe(reader, writer, watch, cut, pacer)
            else:
                while data := await reader.read(chunk):
                    if watch:
                        watch(data)
                    if pacer:
                        await pacer.wait(len(data))
                    await write(writer, data, cut)
                if writer.can_write_eof():
                    writer.write_eof()
        finally:
            if pacer:
                pacer.measure()

    async def delayed_pipe(reader, writer, watch, cut, pacer):
        queue = asyncio.Queue()

        async def send():
            while True:
                due, data = await queue.get()
                await asyncio.sleep(due - loop.time())
                lateness.append(loop.time() - due)
                if not data:
                    break
                await write(writer, data, cut)
            if writer.can_write_eof():
                writer.write_eof()

        sender = asyncio.create_task(send())
        try:
            while data := await reader.read(chunk):
                if watch:
                    watch(data)
                start = await pacer.wait(len(data)) if pacer else loop.time()
                if sender.done():
                    break  # the connection was cut
                queue.put_nowait((start + delay, data))
        finally:
            queue.put_nowait((loop.time() + delay, b""))  # the end of the stream, delayed like the data
            await sender

    async def handle(client_reader, client_writer):
        handlers.add(asyncio.current_task())
        connections["open"] += 1
        connections["total"] += 1
        connections["peak"] = max(connections["peak"], connections["open"])
        connection = Connection(client_writer)
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port, **buffer)
            connection.server_writer = server_writer
            await asyncio.gather(pipe(client_reader, server_writer, watch=connection.watch),
                                 pipe(server_reader, client_writer, cut=connection))
        except (OSError, Cut):
            pass  # a peer reset its end, or the connection was cut: drop it as a network would
        finally:
            handlers.discard(asyncio.current_task())
            connections["open"] -= 1
            for writer in (client_writer, connection.server_writer):
                if writer is not None:
                    writer.close()

    started = loop.time()
    server = await asyncio.start_server(handle, "127.0.0.1", 0, **buffer)
    print(server.sockets[0].getsockname()[1], flush=True)
    # Each line on our standard input ends a round; its end ends the proxy.
    while await loop.run_in_executor(None, sys.stdin.readline):
        made = faults.new_round() if faults else 0
        made, fixed_cuts["in_round"] = made + fixed_cuts["in_round"], 0
        print(json.dumps({"cuts": made}), flush=True)
    server.close()
    if handlers:  # let connections that are closing finish
        await asyncio.wait(handlers, timeout=2)
    late = sorted(lateness) or [0.0]
    figures = {"chunks": len(lateness), "late_median": statistics.median(late),
               "late_p99": late[int(0.99 * (len(late) - 1))], "late_max": late[-1],
               "peak_connections": connections["peak"], "connections": connections["total"],
               "cpu": time.process_time(), "wall": loop.time() - started}
    if rates:
        figures.update(rate_streams=len(rates), rate_median=statistics.median(rates),
                       rate_min=min(rates), rate_max=max(rates))
    if faults or cut_after is not None:
        figures.update(cuts=(faults.made if faults else 0) + fixed_cuts["made"],
                       cuts_spared=faults.spared if faults else 0)
    if flip_at is not None:
        figures.update(flips=flips["made"])
    print(json.dumps(figures), flush=True)


class NetProxy:
    """A running proxy: `port` to connect to; `stats`, the proxy's figures,
    filled when its block ends."""

    def __init__(self, process, port):
        self._process, self.port, self.stats = process, port, {}

    def new_round(self):
        """Starts a new round of faults (every request may be cut again, up to
        the bound); returns the cuts made since the last call."""
        self._process.stdin.write("\n")
        self._process.stdin.flush()
        return json.loads(self._process.stdout.readline())["cuts"]


@contextlib.contextmanager
def net_proxy(target_port, delay=0.0, rate=None, cut_share=0.0, cut_bytes=3 << 20, seed=0,
              max_cuts_per_request=2, cut_after=None, flip_at=None, flips=None):
    """Runs the proxy to 127.0.0.1:target_port and yields its NetProxy.

    delay: seconds each way; rate: bytes per second per connection and
    direction (None: no cap); cut_share: the share of connections reset after
    a uniformly drawn number of server→client bytes in [1, cut_bytes]; seed:
    of those draws; max_cuts_per_request: the most times one request (method
    and target) is cut in a round, None for no bound; cut_after: every
    connection is reset once it has carried that many server→client bytes
    (None: never; not bound by max_cuts_per_request); flip_at: the offset in
    response bodies of a bit flipped, in at most `flips` responses (None:
    every one)."""
    options = {"delay": delay, "rate": rate, "cut_share": cut_share, "cut_bytes": cut_bytes, "seed": seed,
               "max_cuts_per_request": max_cuts_per_request, "cut_after": cut_after, "flip_at": flip_at,
               "flips": flips}
    process = subprocess.Popen([sys.executable, __file__, str(target_port), json.dumps(options)],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        line = process.stdout.readline()
        if not line:
            raise RuntimeError("the network proxy did not start")
        proxy = NetProxy(process, int(line))
        yield proxy
    finally:
        out, _ = process.communicate(timeout=30)
    if out.strip():
        proxy.stats.update(json.loads(out))


if __name__ == "__main__":
    asyncio.run(serve(int(sys.argv[1]), json.loads(sys.argv[2])))
