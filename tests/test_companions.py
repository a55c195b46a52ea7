"""Tests of the pure-Python companions: tavrin_log, tavrin_var, tavrin_ssh."""

import concurrent.futures
import copy
import gc
import logging
import math
import os
import pickle
import socket
import subprocess
import sys
import threading
import time

import pytest

from sshd import echo_server, free_port, own_sshd, sshd_password_user, sshd_server  # noqa: F401
from tavrin_log import TavrinLog
from tavrin_ssh import TavrinSSH, TavrinSSHError
from tavrin_var import TavrinVar
from urllib3.exceptions import MaxRetryError

SRC = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src")


# ---------------------------------------------------------------- tavrin_log

class BulkError:
    def __str__(self):
        return "DeleteError(code=AccessDenied, name=a.txt)"


@pytest.fixture
def log_handlers(monkeypatch, tmp_path):
    """Run in an empty cwd and drop any handler a test adds to the shared logger."""
    monkeypatch.chdir(tmp_path)
    logger = logging.getLogger("tavrin_minio")
    before = list(logger.handlers)
    yield logger
    for h in logger.handlers[:]:
        if h not in before:
            logger.removeHandler(h)
            h.close()


def test_log_warnings_go_to_logging_only(log_handlers, caplog, tmp_path):
    caplog.set_level(logging.WARNING, logger="tavrin_minio")
    log = TavrinLog()
    log.warning("plain text")
    log.warning(BulkError())
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("tavrin_minio", logging.WARNING, "plain text"),
        ("tavrin_minio", logging.WARNING, "DeleteError(code=AccessDenied, name=a.txt)"),
    ]
    assert list(tmp_path.iterdir()) == []
    assert not any(isinstance(h, logging.FileHandler) for h in log_handlers.handlers)


def test_log_file_written_once_per_path(log_handlers, tmp_path):
    first, second = TavrinLog(file=True), TavrinLog(file=True)
    assert first.path == second.path == str(tmp_path / "tavrin_minio.log")
    first.warning("to the file")
    second.warning(BulkError())
    files = [h for h in log_handlers.handlers if isinstance(h, logging.FileHandler)]
    assert len(files) == 1
    files[0].flush()
    lines = (tmp_path / "tavrin_minio.log").read_text(encoding="utf-8").splitlines()
    assert len(lines) == 2  # one handler: each record written once
    assert lines[0].endswith("WARNING tavrin_minio: to the file")
    assert lines[1].endswith("DeleteError(code=AccessDenied, name=a.txt)")

    TavrinLog(file=tmp_path / "other.log").warning("élan")
    for h in log_handlers.handlers:
        h.flush()
    assert "élan" in (tmp_path / "other.log").read_text(encoding="utf-8")


def test_fresh_interpreter_stays_quiet():
    """Importing tavrin_ssh must not load paramiko; unconfigured logging prints nothing."""
    code = ("import sys, tavrin_ssh, tavrin_log\n"
            "assert 'paramiko' not in sys.modules, 'paramiko imported'\n"
            "tavrin_log.TavrinLog().warning('should stay silent')\n")
    env = dict(os.environ, PYTHONPATH=SRC)
    done = subprocess.run([sys.executable, "-c", code], env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""


# ---------------------------------------------------------------- tavrin_var

def test_var_entries_by_get_set_and_attribute():
    v = TavrinVar(host="h", port=9000)
    assert (v.get("host"), v.port) == ("h", 9000)
    assert v.get("absent") is None and v.absent is None
    v.set("port", 9001)
    v.secure = True
    assert (v.port, v.get("secure")) == (9001, True)
    v._private = object()  # underscore names stay plain attributes
    assert v.todict() == {"host": "h", "port": 9001, "secure": True}


def test_var_methods_win_over_same_named_entries():
    v = TavrinVar(get="g", set="s", todict="t")
    assert callable(v.get) and callable(v.set) and callable(v.todict)
    assert (v.get("get"), v.get("set"), v.get("todict")) == ("g", "s", "t")


def test_var_protocols_and_copies():
    v = TavrinVar(a=[1], b=2)
    assert not hasattr(v, "__len__")
    with pytest.raises(AttributeError):
        v.__custom__
    d = v.todict()
    d["c"] = 3
    assert v.c is None
    shallow = copy.copy(v)
    shallow.set("b", 20)
    assert v.b == 2 and shallow.a is v.a
    deep = copy.deepcopy(v)
    assert deep.todict() == v.todict() and deep.a is not v.a
    assert pickle.loads(pickle.dumps(v)).todict() == {"a": [1], "b": 2}


def test_var_repr_hides_secrets():
    v = TavrinVar(host="h", password="pw1", ssh_password="pw2", ssh_rsa_pwd="pw3",
                  Admin_Password="pw4", ssh_rsa="/keys/id")
    text = repr(v)
    assert not any(f"pw{i}" in text for i in range(1, 5))
    assert text.count("'***'") == 4
    assert "host='h'" in text and "ssh_rsa='/keys/id'" in text


# ---------------------------------------------------------------- tavrin_ssh

def _eventually(condition, wait=5.0):
    deadline = time.monotonic() + wait
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.05)
    return condition()


def _new_threads(before, wait=5.0):
    """Threads started since `before` that are still alive after up to `wait` s."""
    _eventually(lambda: set(threading.enumerate()) <= before, wait)
    return [t for t in threading.enumerate() if t not in before]


def _socket_fds():
    """Open socket descriptors of this process (empty where /proc is missing)."""
    gc.collect()
    fds = set()
    if not os.path.isdir("/proc/self/fd"):
        return fds
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}").startswith("socket:"):
                fds.add(fd)
        except OSError:
            pass
    return fds


def _echo_through(port, payload):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(payload)
        s.shutdown(socket.SHUT_WR)
        received = bytearray()
        while chunk := s.recv(65536):
            received += chunk
    return bytes(received)


def _keepalive(local):  # of the tunnel's current SSH transport
    return local._tunnel._transport.packetizer._Packetizer__keepalive_interval


def _assert_closed(port):
    with pytest.raises(OSError):
        socket.create_connection(("127.0.0.1", port), timeout=2).close()


@pytest.mark.sshd
def test_key_tunnel_round_trips(sshd_server, echo_server):
    cfg = sshd_server.ssh_config(echo_server.host, echo_server.port,
                                 user="access", password="secret")
    before = set(threading.enumerate())
    ssh = TavrinSSH(cfg, known_hosts=sshd_server.known_hosts, unknown_host="reject", keepalive=None)
    local = ssh.connect()
    assert _keepalive(local) == 0
    assert isinstance(local, TavrinVar)
    assert local.host == "127.0.0.1" and isinstance(local.port, int)
    assert local.port != echo_server.port
    assert local.todict() == {**cfg, "host": "127.0.0.1", "port": local.port, "target_host": echo_server.host}

    big = os.urandom(3 * 1024 * 1024 + 7)
    assert _echo_through(local.port, big) == big
    payloads = [bytes([i]) * (100_000 + i) for i in range(8)]
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        assert list(pool.map(lambda p: _echo_through(local.port, p), payloads)) == payloads

    ssh.close()
    _assert_closed(local.port)
    assert _new_threads(before) == []


@pytest.mark.sshd
def test_password_tunnel(sshd_server, sshd_password_user, echo_server):
    cfg = sshd_server.ssh_config(echo_server.host, echo_server.port, ssh_rsa=None,
                                 ssh_rsa_pwd=None, ssh_user=sshd_password_user.name,
                                 ssh_password=sshd_password_user.password)
    local = TavrinSSH(cfg, known_hosts=sshd_server.known_hosts).connect()
    assert _echo_through(local.port, b"hello through ssh") == b"hello through ssh"


@pytest.mark.sshd
def test_unknown_host_key_policies(sshd_server, echo_server, caplog, tmp_path):
    cfg = sshd_server.ssh_config(echo_server.host, echo_server.port)
    caplog.set_level(logging.WARNING, logger="tavrin_minio")
    local = TavrinSSH(cfg).connect()  # default: accept with a warning
    assert any("not in known_hosts" in r.getMessage() and "SHA256:" in r.getMessage()
               for r in caplog.records)
    assert _echo_through(local.port, b"x") == b"x"

    with pytest.raises(TavrinSSHError, match="not in known_hosts"):
        TavrinSSH(cfg, unknown_host="reject").connect()

    # A recorded key that differs is refused whatever the policy.
    subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f",
                    str(tmp_path / "other")], check=True)
    kind, blob = (tmp_path / "other.pub").read_text().split()[:2]
    wrong = tmp_path / "known_hosts"
    wrong.write_text(f"[{sshd_server.host}]:{sshd_server.port} {kind} {blob}\n")
    with pytest.raises(TavrinSSHError, match="BadHostKeyException"):
        TavrinSSH(cfg, known_hosts=str(wrong)).connect()

    for bad in [{"unknown_host": "ask"}, {"keepalive": -1}, {"keepalive": True},
                {"keepalive": "30"}, {"keepalive": math.nan}]:
        with pytest.raises(ValueError, match=next(iter(bad))):
            TavrinSSH(cfg, **bad)


@pytest.mark.sshd
@pytest.mark.parametrize("case, overrides, message", [
    ("wrong password", {}, "AuthenticationException"),
    ("wrong passphrase", {"ssh_rsa_pwd": "not the phrase"}, "SSH login to root@"),
    ("missing key file", {"ssh_rsa": "/nonexistent/key"}, "SSH login to root@"),
    ("ssh port closed", {"ssh_port": "free"}, "SSH login to root@127.0.0.1"),
    ("target refused", {"port": "free"}, r"forward to 127\.0\.0\.1:\d+ through"),
    ("no ssh_host", {"ssh_host": None}, "needs ssh_host"),
    ("no ssh_user", {"ssh_user": ""}, "needs ssh_user"),
    ("no credentials", {"ssh_rsa": None, "ssh_password": None}, "ssh_password or ssh_rsa"),
    ("bad port", {"port": "http"}, "invalid port"),
])
def test_connect_failures_are_clear_and_clean(request, sshd_server, echo_server,
                                              case, overrides, message):
    overrides = {k: free_port() if v == "free" else v for k, v in overrides.items()}
    if case == "wrong password":
        user = request.getfixturevalue("sshd_password_user")
        overrides.update(ssh_rsa=None, ssh_user=user.name, ssh_password="wrong")
    cfg = sshd_server.ssh_config(echo_server.host, echo_server.port, **overrides)
    threads, sockets = set(threading.enumerate()), _socket_fds()

    with pytest.raises(TavrinSSHError, match=message) as info:
        TavrinSSH(cfg, known_hosts=sshd_server.known_hosts, timeout=5).connect()
    if not message.startswith(("needs", "ssh_password", "invalid")):
        assert info.value.__cause__ is not None
    del info
    assert _new_threads(threads) == []
    assert _socket_fds() <= sockets


@pytest.mark.sshd
def test_tunnel_lives_as_long_as_the_result(sshd_server, echo_server):
    cfg = sshd_server.ssh_config(echo_server.host, echo_server.port)
    before = set(threading.enumerate())
    ssh = TavrinSSH(cfg, known_hosts=sshd_server.known_hosts)
    local = ssh.connect()
    port = local.port
    survivor = copy.copy(local)  # copies hold the entries, not the tunnel
    gc.collect()
    assert _echo_through(port, b"still open") == b"still open"

    # A connection left open when the tunnel goes is cut too.
    held = socket.create_connection(("127.0.0.1", port), timeout=10)
    held.sendall(b"ping")
    assert held.recv(4) == b"ping"
    del local
    gc.collect()
    _assert_closed(port)
    assert held.recv(4) == b""
    assert _new_threads(before) == []  # even with the client side still open
    held.close()
    assert survivor.port == port


# A tunnel that outlives its SSH session.

@pytest.mark.sshd
def test_tunnel_outlives_its_ssh_sessions(own_sshd, ostrel, s3_config, caplog):
    """Dropped sessions heal, concurrent connections sharing one new login; an
    impostor with another host key and a stopped sshd make calls fail."""
    caplog.set_level(logging.WARNING, logger="tavrin_minio")
    threads, sockets = set(threading.enumerate()), _socket_fds()
    client = ostrel.TavrinOstrel(own_sshd.server.ssh_config(  # host key accepted by "warn"
        s3_config["host"], s3_config["port"], user=s3_config["user"],
        password=s3_config["password"], timeout=1))  # bounds the client library's retries
    client._connect()
    client._create_bucket("healing", "us-east-1")
    prefix = f"SSH connection to root@127.0.0.1:{own_sshd.port} was lost; "

    def lost():
        found = [r.getMessage().removeprefix(prefix) for r in caplog.records
                 if r.getMessage().startswith(prefix)]
        caplog.clear()
        return found

    names = [f"{drop}-{i}.txt" for drop in range(2) for i in range(4)]
    for drop in range(2):
        assert _keepalive(client._config) == 30  # set on every login
        own_sshd.drop_sessions()
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            list(pool.map(lambda name: client._upload_flow("healing", name, name), names[4 * drop:][:4]))
        assert client._download_flow("healing", names[4 * drop]) == names[4 * drop]
    assert [r["object_name"] for r in client._bucket_list_files("healing")] == names
    assert lost() == ["logged in again"] * 2

    for impostor, reason in [(True, "host key changed: the server offered its ssh-ed25519 key"),
                             (False, "ConnectionRefusedError")]:
        own_sshd.stop()
        if impostor:
            own_sshd.start()  # same port, new host key
        with pytest.raises(MaxRetryError):
            client._upload_flow("healing", "leak.txt", "must not arrive")
        failures = lost()
        assert failures and all(m.startswith("logging in again failed: " + reason) for m in failures)
    with open(own_sshd.server.log_path) as log:
        assert "Accepted publickey" not in log.read()  # the impostor saw no login
    direct = ostrel.TavrinOstrel(dict(s3_config))
    direct._connect()
    assert [r["object_name"] for r in direct._bucket_list_files("healing")] == names

    del client
    gc.collect()  # the tunnel goes with the client's configuration object
    assert _new_threads(threads) == []
    assert _eventually(lambda: _socket_fds() <= sockets)


@pytest.mark.sshd
@pytest.mark.parametrize("failure", [EOFError(), BrokenPipeError(32, "Broken pipe")])
def test_a_write_that_meets_the_end_of_the_session_logs_in_again(sshd_server, echo_server, failure):
    """The session's server is gone, and a channel's request fails to be sent before the
    transport's own reader has seen the end (it still says it is active)."""
    ssh = TavrinSSH(sshd_server.ssh_config(echo_server.host, echo_server.port),
                    known_hosts=sshd_server.known_hosts)
    local = ssh.connect()
    try:
        stale = local._tunnel._transport

        def write_fails(*args, **kwargs):
            raise failure
        stale.open_channel = write_fails
        assert _echo_through(local.port, b"ping") == b"ping"
        assert local._tunnel._transport is not stale and not stale.is_active()
    finally:
        ssh.close()


@pytest.mark.sshd
@pytest.mark.timeout(30)  # the login's own timeout is 60 s: only close() ends it in time
def test_close_ends_a_login_under_way(own_sshd, echo_server):
    cfg = own_sshd.server.ssh_config(echo_server.host, echo_server.port)
    threads, sockets = set(threading.enumerate()), _socket_fds()
    ssh = TavrinSSH(cfg, known_hosts=own_sshd.server.known_hosts, timeout=60)
    local = ssh.connect()
    own_sshd.stop()
    # A server on the SSH port that accepts and never answers: a new login waits for its banner.
    with socket.create_server(("127.0.0.1", own_sshd.port)) as silent:
        silent.settimeout(10)
        trigger = socket.create_connection(("127.0.0.1", local.port), timeout=10)
        held, _ = silent.accept()  # the login is under way
        ssh.close()
        assert trigger.recv(1) == b""  # the connection waiting for the login is closed
        held.settimeout(10)
        while held.recv(4096):  # the client's banner, then the end: the login's connection is closed
            pass
        trigger.close()
        held.close()
    assert _new_threads(threads) == []
    assert _socket_fds() <= sockets
