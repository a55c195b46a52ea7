"""The moto S3 server in a process of its own, for the benchmarks that talk
to a real endpoint: its CPU time and memory are then not the client's."""

import contextlib
import socket
import subprocess
import sys
import time
import urllib.request

CONFIG = {"user": "bench-access", "password": "bench-secret"}


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@contextlib.contextmanager
def moto_server(timeout=60.0):
    """Runs `python -m moto.server` on 127.0.0.1; yields a TavrinOstrel configuration for it."""
    port = _free_port()
    server = subprocess.Popen([sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", str(port)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + timeout
        while True:
            try:
                urllib.request.urlopen(f"http://127.0.0.1:{port}/moto-api/", timeout=1).close()
                break
            except OSError:
                if server.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("the moto server did not start") from None
                time.sleep(0.1)
        yield {"host": "127.0.0.1", "port": port, **CONFIG}
    finally:
        server.terminate()
        server.wait()
