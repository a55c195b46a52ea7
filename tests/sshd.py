"""Test servers for the SSH tunnel: a real OpenSSH sshd and a TCP echo server.

Import the fixtures into a test module or conftest.py:

    from sshd import sshd_server, sshd_password_user, echo_server, own_sshd

``sshd_server`` starts ``/usr/sbin/sshd`` on 127.0.0.1 with a fresh host key
and a passphrase-protected client key for root.  It needs root (sshd's
privilege separation, logging in as root) and is skipped otherwise.
``sshd_password_user`` creates a throwaway system account with a password and
removes it afterwards.  ``own_sshd`` is an ``SSHDaemon`` a test may drop, restart or stop.
"""

import dataclasses
import os
import secrets
import shutil
import signal
import socket
import subprocess
import threading
import time

import pytest

from motoserver import plain_env

SSHD = "/usr/sbin/sshd"
CLIENT_PASSPHRASE = "secret phrase"

_CONFIG = """\
ListenAddress 127.0.0.1
Port {port}
HostKey {dir}/hostkey
PidFile {dir}/sshd.pid
AuthorizedKeysFile {dir}/authorized_keys
StrictModes no
UsePAM no
PubkeyAuthentication yes
PasswordAuthentication yes
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
AllowTcpForwarding yes
PermitOpen any
"""


# One KDF round for the passphrase: each login decrypts the client key, 16 rounds cost 0.12 s of CPU.
_KEYGEN = ["ssh-keygen", "-q", "-t", "ed25519", "-a", "1", "-C", "tavrin-test"]


def free_port():
    """A TCP port on 127.0.0.1 that nothing listens on (at the time of the call)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@dataclasses.dataclass
class SSHServer:
    host: str
    port: int
    user: str              # "root", logging in with key_path
    key_path: str          # private Ed25519 key, encrypted with passphrase
    passphrase: str
    known_hosts: str       # known_hosts file recording this server's host key
    log_path: str          # sshd's own log (-e), handy when a test fails

    def ssh_config(self, host, port, /, **overrides):
        """A tavrin_ssh configuration reaching (host, port) through this server as root."""
        cfg = dict(host=host, port=port, user=None, password=None, ssh=True,
                   ssh_host=self.host, ssh_port=self.port, ssh_user=self.user,
                   ssh_password=None, ssh_rsa=self.key_path,
                   ssh_rsa_pwd=self.passphrase)
        cfg.update(overrides)
        return cfg


@dataclasses.dataclass
class PasswordUser:
    name: str
    password: str


@dataclasses.dataclass
class EchoServer:
    host: str
    port: int


def _require_root_and_sshd():
    if not os.path.exists(SSHD):
        pytest.skip(f"{SSHD} is not installed (Debian package openssh-server)")
    if getattr(os, "geteuid", lambda: -1)() != 0:
        pytest.skip("the sshd fixture needs root")


def _wait_listening(proc, log_path, port, deadline):
    ready = f"Server listening on 127.0.0.1 port {port}."
    while time.monotonic() < deadline:
        with open(log_path, errors="replace") as f:
            if ready in f.read():
                return True
        if proc.poll() is not None:
            return False
        time.sleep(0.05)
    return False


def _stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def _descendants(pid):
    """Every process below `pid`, children first (Linux /proc)."""
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            children = [int(c) for c in f.read().split()]
    except OSError:
        return []
    return [p for c in children for p in [c, *_descendants(c)]]


class SSHDaemon:
    """An sshd on 127.0.0.1 with its keys, config and log in folder `d`; `server` once started."""

    def __init__(self, d):
        self.dir, self.port = d, None
        subprocess.run(_KEYGEN + ["-N", CLIENT_PASSPHRASE, "-f", str(d / "client_key")], check=True, env=plain_env())
        shutil.copy(d / "client_key.pub", d / "authorized_keys")

    def start(self):
        """Start sshd with a new host key on the port of its previous run, or else a free port."""
        d, log_path = self.dir, self.dir / "sshd.log"
        for name in ("hostkey", "hostkey.pub"):
            (d / name).unlink(missing_ok=True)
        subprocess.run(_KEYGEN + ["-N", "", "-f", str(d / "hostkey")], check=True, env=plain_env())
        os.makedirs("/run/sshd", mode=0o755, exist_ok=True)
        for _ in range(3 if self.port is None else 1):  # a free port may be taken before sshd binds it
            port = self.port or free_port()
            cfg = d / "sshd_config"
            cfg.write_text(_CONFIG.format(port=port, dir=d))
            with open(log_path, "wb") as log:
                self.proc = subprocess.Popen([SSHD, "-D", "-e", "-f", str(cfg)], env=plain_env(),
                                             stdin=subprocess.DEVNULL, stdout=log, stderr=log)
            if _wait_listening(self.proc, log_path, port, time.monotonic() + 10):
                self.port = port
                break
            _stop(self.proc)
        else:
            pytest.fail(f"sshd did not start:\n{log_path.read_text(errors='replace')}")
        kind, blob = (d / "hostkey.pub").read_text().split()[:2]
        (d / "known_hosts").write_text(f"[127.0.0.1]:{port} {kind} {blob}\n")
        self.server = SSHServer("127.0.0.1", port, "root", str(d / "client_key"),
                                CLIENT_PASSPHRASE, str(d / "known_hosts"), str(log_path))

    def drop_sessions(self):
        """Kill every process below the listening sshd (OpenSSH 10 runs a chain
        of them per session); the listener keeps running."""
        for pid in _descendants(self.proc.pid):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

    def stop(self):
        """Drop the sessions and stop the listener."""
        self.drop_sessions()
        _stop(self.proc)


@pytest.fixture(scope="session")
def sshd_server(tmp_path_factory):
    """A running sshd on 127.0.0.1; yields an SSHServer."""
    _require_root_and_sshd()
    daemon = SSHDaemon(tmp_path_factory.mktemp("sshd"))
    daemon.start()
    try:
        yield daemon.server
    finally:
        daemon.stop()


@pytest.fixture
def own_sshd(tmp_path):
    """An sshd for this test alone, to drop, restart or stop; yields an SSHDaemon."""
    _require_root_and_sshd()
    daemon = SSHDaemon(tmp_path)
    daemon.start()
    try:
        yield daemon
    finally:
        daemon.stop()


@pytest.fixture(scope="session")
def sshd_password_user(sshd_server):
    """A throwaway account with a password, for password logins; yields a PasswordUser."""
    name = "tavrin_test_" + secrets.token_hex(4)
    password = secrets.token_urlsafe(16)
    subprocess.run(["useradd", "-M", "-s", "/bin/sh", name], check=True)
    try:
        subprocess.run(["chpasswd"], input=f"{name}:{password}\n", text=True, check=True)
        yield PasswordUser(name, password)
    finally:
        _remove_user(name)


def _remove_user(name):
    # userdel refuses while a process of the user runs: sshd's per-connection
    # child may take a moment to exit after the last tunnel closed.
    for _ in range(50):
        if subprocess.run(["userdel", name], capture_output=True).returncode == 0:
            return
        time.sleep(0.1)
    subprocess.run(["userdel", "-f", name], check=False)


def _echo(conn):
    with conn:
        try:
            while data := conn.recv(65536):
                conn.sendall(data)
        except OSError:
            pass


@pytest.fixture(scope="session")
def echo_server():
    """A TCP server on 127.0.0.1 that sends back what it receives; yields an EchoServer."""
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(0.2)
    stop = threading.Event()

    def serve():
        while not stop.is_set():
            try:
                conn, _ = listener.accept()
            except TimeoutError:
                continue
            conn.settimeout(None)
            threading.Thread(target=_echo, args=(conn,), daemon=True).start()

    thread = threading.Thread(target=serve, daemon=True, name="echo-server")
    thread.start()
    try:
        yield EchoServer("127.0.0.1", listener.getsockname()[1])
    finally:
        stop.set()
        thread.join()
        listener.close()
