"""Shared fixtures: a real S3 server (moto) on 127.0.0.1, clients connected to
it, and a recording stand-in for the storage client."""

import os
import urllib.request
import uuid

import pytest

from motoserver import cache_moto_module_list, moto_server
from sshd import echo_server, sshd_password_user, sshd_server  # noqa: F401  (fixtures)


@pytest.fixture(scope="session")
def s3_endpoint():
    """(host, port) of an S3 server for the whole test session (under xdist,
    one per worker process): in this process, or with TAVRIN_TEST_S3_PROCESS
    set (the sanitizer run) in a process of its own, without the sanitizers."""
    if os.environ.get("TAVRIN_TEST_S3_PROCESS"):
        with moto_server() as port:
            yield "127.0.0.1", port
        return
    from moto.server import ThreadedMotoServer

    cache_moto_module_list()
    server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    host, port = server.get_host_and_port()
    yield host, port
    server.stop()


@pytest.fixture(autouse=True)
def _own_cache_folder(tmp_path_factory, monkeypatch):
    """Each test's digest cache (and whatever else goes to the user's cache
    folder) in a folder of its own, never the user's, and outside the test's
    tmp_path, whose contents tests compare; the command-line processes a
    test starts inherit it."""
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path_factory.mktemp("cache")))


@pytest.fixture
def s3_config(s3_endpoint):
    """A client configuration for the S3 server, whose state starts empty."""
    host, port = s3_endpoint
    request = urllib.request.Request(f"http://{host}:{port}/moto-api/reset", method="POST")
    urllib.request.urlopen(request).close()
    return {"host": host, "port": port, "user": "test-access", "password": "test-secret"}


@pytest.fixture
def ostrel():
    from tavrin_minio import ostrel

    return ostrel


@pytest.fixture
def client(ostrel, s3_config):
    """A TavrinOstrel connected to the S3 server."""
    c = ostrel.TavrinOstrel(dict(s3_config))
    c._connect()
    return c


@pytest.fixture
def bucket(client):
    """The name of an empty bucket made for the test."""
    name = f"b-{uuid.uuid4().hex[:12]}"
    client._engine.make_bucket(name)
    return name


class Recorder:
    """Stands in for a storage client or logger: records each method call as
    (name, args, kwargs) and answers from `results` (a value, or an exception
    instance to raise, or a callable taking the call's arguments)."""

    def __init__(self, **results):
        self.calls = []
        self._results = results

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)

        def method(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            result = self._results.get(name)
            if isinstance(result, BaseException):
                raise result
            if callable(result):
                return result(*args, **kwargs)
            return result

        return method

    def names(self):
        return [name for name, _, _ in self.calls]


@pytest.fixture
def recorder_client(ostrel):
    """A constructed client whose storage client and logger are Recorders.
    Returns a function: make(**results) -> (client, engine, log)."""

    def make(**results):
        c = ostrel.TavrinOstrel({"host": "h", "port": 1, "user": "u", "password": "p"})
        c._engine = Recorder(**results)
        c._log = Recorder()
        return c, c._engine, c._log

    return make


@pytest.fixture
def real(client, bucket, recorder_client):
    """(client, bucket, log): the real client with its logger replaced by a
    recorder, so warnings can be counted."""
    _, _, log = recorder_client()
    client._log = log
    return client, bucket, log


def pytest_configure(config):
    # Reproducible property tests in CI; the default profile elsewhere.
    import os

    from hypothesis import settings

    settings.register_profile("ci", derandomize=True, deadline=None)
    if os.environ.get("CI"):
        settings.load_profile("ci")
