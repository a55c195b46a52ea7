"""TLS to the storage server (the `tls` key): the HTTP client handed to the
client library, the warning about `secure`, and sessions end to end against
moto speaking TLS, directly and through the SSH tunnel. (The refused values
are in test_client_core.py, test_optional_key_refused.)"""

import ssl
import urllib.request
import uuid
import warnings

import certifi
import pytest
import urllib3
from urllib3.util.retry import Retry

from conftest import Recorder
from motoserver import make_certificates, moto_server
from tavrin_var import TavrinVar

BASE = {"host": "127.0.0.1", "port": 9000, "user": "u", "password": "p"}
CREDENTIALS = {"user": "test-access", "password": "test-secret"}
CA = object()  # stands for the path of the test CA in parameters


@pytest.fixture(scope="session")
def pki(tmp_path_factory):
    """A CA and a server certificate naming 127.0.0.1 only (not localhost)."""
    return make_certificates(str(tmp_path_factory.mktemp("tls")), ["127.0.0.1"])


@pytest.fixture(scope="session")
def tls_port(pki):
    """The port of a moto server speaking TLS with the certificate of `pki`."""
    with moto_server(pki, timeout=30) as port:
        yield port


@pytest.fixture
def no_backoff(monkeypatch):
    """The client library's five retries without their sleeps (6 s in all)."""
    monkeypatch.setattr(Retry, "sleep", lambda self, response=None: None)


class FakeTunnel:
    """Stands in for TavrinSSH: returns the configuration tavrin_ssh returns."""

    def __init__(self, config):
        self.config = config

    def connect(self):
        return TavrinVar(**{**self.config, "host": "127.0.0.1", "port": 4242, "target_host": self.config["host"]})


@pytest.mark.parametrize("extra, cert_file, pool_tls", [
    ({"tls": CA}, None, {"ca_certs": CA}),
    ({"tls": CA, "workers": 16, "timeout": 2.5}, None, {"ca_certs": CA}),
    ({"tls": True}, CA, {"ca_certs": CA}),
    ({"tls": True}, "", {"ca_certs": certifi.where()}),
    ({"tls": True}, None, {"ca_certs": certifi.where()}),
    ({"tls": CA, "target_host": "elsewhere"}, None, {"ca_certs": CA}),  # no tunnel: the endpoint's host
    ({"tls": CA, "ssh": True, "host": "storage.example"}, None,
     {"ca_certs": CA, "server_hostname": "storage.example", "assert_hostname": "storage.example"}),
], ids=["path", "path+pool", "True+SSL_CERT_FILE", "True+empty", "True", "own-target", "tunnel"])
def test_client_library_arguments(ostrel, monkeypatch, pki, extra, cert_file, pool_tls):
    """secure=True and the HTTP client of timeout/workers plus the
    certificate check (None and False: see TestConnect.test_minio_arguments)."""
    def ca(value):
        return pki.ca if value is CA else value

    if cert_file is None:
        monkeypatch.delenv("SSL_CERT_FILE", raising=False)
    else:
        monkeypatch.setenv("SSL_CERT_FILE", ca(cert_file))
    monkeypatch.setattr(ostrel, "TavrinSSH", FakeTunnel)
    minio = Recorder(Minio=object())
    monkeypatch.setattr(ostrel, "minio", minio)
    mapping = {**BASE, **{k: ca(v) for k, v in extra.items()}}
    ostrel.TavrinOstrel(mapping)._connect()

    [(name, args, kwargs)] = minio.calls
    endpoint = "127.0.0.1:4242" if mapping.get("ssh") else "127.0.0.1:9000"
    wanted = {"endpoint": endpoint, "access_key": "u", "secret_key": "p", "secure": True}
    pool = kwargs.pop("http_client").connection_pool_kw
    assert (name, args, kwargs) == ("Minio", (), wanted)
    timeouts, retries = pool.pop("timeout"), pool.pop("retries")
    maxsize, seconds = max(10, mapping.get("workers", 1)), mapping.get("timeout", 300)
    assert (pool.pop("maxsize"), timeouts.connect_timeout, timeouts.read_timeout) == (maxsize, seconds, seconds)
    assert (retries.total, retries.backoff_factor, retries.status_forcelist) == (5, 0.2, [500, 502, 503, 504])
    assert pool == {"cert_reqs": "CERT_REQUIRED", **{k: ca(v) for k, v in pool_tls.items()}}


@pytest.mark.parametrize("extra, warned", [
    ({"secure": True}, True),
    ({"secure": 1, "tls": False}, True),
    ({"secure": True, "tls": CA}, False),
    ({"secure": True, "tls": True}, False),
    ({"secure": False}, False),
    ({}, False),
])
def test_secure_without_tls_warns(ostrel, monkeypatch, pki, extra, warned):
    """One UserWarning through the warnings module, pointing at the caller;
    nothing through the logger."""
    monkeypatch.setattr(ostrel, "minio", Recorder())
    obj = ostrel.TavrinOstrel({**BASE, **{k: pki.ca if v is CA else v for k, v in extra.items()}})
    obj._log = Recorder()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        obj._connect()
    assert [w.category for w in caught] == ([UserWarning] if warned else [])
    for w in caught:
        assert w.filename == __file__
        assert "plain HTTP" in str(w.message) and "'tls' key" in str(w.message)
    assert obj._log.calls == [] and ostrel.minio.names() == ["Minio"]


# ------------------------------------------------------- against moto with TLS

@pytest.fixture
def tls_config(tls_port, pki):
    """A configuration for the TLS server, with its CA; the server's state starts empty."""
    context = ssl.create_default_context(cafile=pki.ca)
    request = urllib.request.Request(f"https://127.0.0.1:{tls_port}/moto-api/reset", method="POST")
    urllib.request.urlopen(request, context=context, timeout=10).close()
    return {"host": "127.0.0.1", "port": tls_port, **CREDENTIALS, "tls": pki.ca}


@pytest.mark.timeout(30)
def test_every_operation_over_tls(ostrel, tls_config, pki, tmp_path):
    obj = ostrel.TavrinOstrel(tls_config)
    obj._connect()
    bucket = "secure"
    assert obj._create_bucket(bucket, "us-east-1") is True
    assert [b.name for b in obj._bucket_list()] == [bucket]
    folder = tmp_path / "photos"
    (folder / "2024").mkdir(parents=True)
    (folder / "a.txt").write_text("alpha")
    (folder / "2024" / "b.txt").write_text("beta")
    obj._upload_flow(bucket, "flow.txt", "über TLS")
    obj._upload_file(bucket, "file.txt", str(folder / "a.txt"))
    obj._upload_dir(bucket, str(folder))
    names = ["file.txt", "flow.txt", "photos/2024/b.txt", "photos/a.txt"]
    assert sorted(r["object_name"] for r in obj._bucket_list_files(bucket)) == names

    assert obj._download_flow(bucket, "flow.txt") == "über TLS"
    assert obj._download_file(bucket, "file.txt", str(tmp_path / "file.txt")) is True
    obj._download_dir(bucket, "photos", str(tmp_path / "out"))
    assert (tmp_path / "file.txt").read_text() == (tmp_path / "out" / "a.txt").read_text() == "alpha"

    url = obj._get_url(bucket, "flow.txt", days=1)
    assert url.startswith(f"https://127.0.0.1:{tls_config['port']}/")
    with urllib.request.urlopen(url, context=ssl.create_default_context(cafile=pki.ca), timeout=10) as response:
        assert response.read().decode() == "über TLS"

    obj._remove_object(bucket, "flow.txt")
    obj._remove_objects(bucket, names[:3])
    assert [r["object_name"] for r in obj._bucket_list_files(bucket)] == ["photos/a.txt"]


@pytest.mark.timeout(20)
@pytest.mark.parametrize("tls, reason", [
    (True, urllib3.exceptions.SSLError),  # the default CAs do not know the test CA
    (None, urllib3.exceptions.ProtocolError),  # plain HTTP: the server drops the connection
])
def test_refused_without_the_servers_ca(ostrel, tls_config, no_backoff, tls, reason):
    obj = ostrel.TavrinOstrel({**tls_config, "tls": tls})
    obj._connect()
    with pytest.raises(urllib3.exceptions.MaxRetryError) as info:
        obj._bucket_list()
    assert isinstance(info.value.reason, reason)
    if tls:
        assert "CERTIFICATE_VERIFY_FAILED" in str(info.value.reason)


# ------------------------------------------------------------- through sshd

@pytest.fixture(scope="session")
def localhost_tls(tmp_path_factory):
    """(port, CA) of a moto server speaking TLS with a certificate naming localhost only."""
    certificates = make_certificates(str(tmp_path_factory.mktemp("tls-localhost")), ["localhost"])
    with moto_server(certificates, timeout=30) as port:
        yield port, certificates.ca


@pytest.mark.sshd
@pytest.mark.timeout(30)
@pytest.mark.parametrize("named, works", [("localhost", True), ("127.0.0.1", False)])
def test_tunnel_checks_the_configured_host(ostrel, sshd_server, localhost_tls, tls_port, pki, no_backoff,
                                           named, works):
    """The configured host is localhost; the tunnel's endpoint is 127.0.0.1.
    A certificate naming localhost only passes, one naming 127.0.0.1 only fails."""
    port, ca = localhost_tls if works else (tls_port, pki.ca)
    obj = ostrel.TavrinOstrel(sshd_server.ssh_config("localhost", port, tls=ca, **CREDENTIALS))
    assert (obj._config.host, obj._config.target_host) == ("127.0.0.1", "localhost")
    obj._connect()
    if works:
        name = f"t-{uuid.uuid4().hex[:12]}"
        assert obj._create_bucket(name, "us-east-1") is True
        assert name in [b.name for b in obj._bucket_list()]
    else:
        with pytest.raises(urllib3.exceptions.MaxRetryError) as info:
            obj._bucket_list()
        assert isinstance(info.value.reason, urllib3.exceptions.SSLError)
        assert "localhost" in str(info.value.reason)
