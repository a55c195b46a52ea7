"""The moto S3 server in a process of its own, for the benchmarks that talk
to a real endpoint: its CPU time and memory are then not the client's."""

import contextlib
import os
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
from motoserver import make_certificates  # noqa: E402
from motoserver import moto_server as _moto_server  # noqa: E402

CONFIG = {"user": "bench-access", "password": "bench-secret"}


@contextlib.contextmanager
def moto_server(timeout=60.0, tls=False):
    """Runs `python -m moto.server` on 127.0.0.1; yields a TavrinOstrel configuration for it.
    With `tls`, the server speaks TLS with a certificate for 127.0.0.1 from a CA
    of its own, and the configuration's `tls` names that CA's certificate."""
    with contextlib.ExitStack() as stack:
        certificates, extra = None, {}
        if tls:
            folder = stack.enter_context(tempfile.TemporaryDirectory())
            certificates = make_certificates(folder, ["127.0.0.1"])
            extra = {"tls": certificates.ca}
        port = stack.enter_context(_moto_server(certificates, timeout))
        yield {"host": "127.0.0.1", "port": port, **CONFIG, **extra}
