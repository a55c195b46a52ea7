"""Reach an object storage server through an SSH local port forward.

``TavrinSSH(config).connect()`` logs in to ``ssh_host:ssh_port`` (port 22 when
not given) as ``ssh_user``, listens on ``127.0.0.1:<ephemeral port>`` and
forwards every connection made there to ``(host, port)`` as seen from the SSH
server.  It returns a ``TavrinVar`` copy of the configuration whose ``host``
is ``"127.0.0.1"`` and ``port`` the local port.  The tunnel lives as long as
that object: it is closed when the object is garbage-collected, at interpreter
exit, or by ``TavrinSSH.close()``.  Copies of the returned object carry the
entries only and do not keep the tunnel open.

Configuration keys (a plain dict or a ``TavrinVar``; any may be None): ``host``, ``port`` (the
target), ``ssh_host``, ``ssh_port``, ``ssh_user``, and for logging in
``ssh_password`` and/or ``ssh_rsa``, the path of a private key file of any
type paramiko reads (RSA, ECDSA, Ed25519), unlocked with ``ssh_rsa_pwd``.
Agent keys and ``~/.ssh/id_*`` are not tried.  The ``ssh`` flag is left to the
caller: ``connect()`` always opens a tunnel.

Host keys: keys in the user's ``~/.ssh/known_hosts`` and in the optional
``known_hosts`` file are trusted, and a server whose key differs from a
recorded one is always refused.  A server with no recorded key is handled by
``unknown_host``:

* ``"warn"`` (the default): the key is accepted for this connection only and a
  warning with its SHA256 fingerprint goes to the ``"tavrin_minio"`` logger.
  This keeps working with servers nobody has recorded yet, at the price of no
  protection against an impostor on first contact; record the key in
  known_hosts, or use ``"reject"``, where that matters.
* ``"reject"``: the connection is refused.

Every failure of ``connect()`` (bad configuration, SSH server unreachable,
login refused, host key refused, target not reachable from the SSH server)
raises ``TavrinSSHError`` with the underlying error chained, and leaves no
thread or socket behind.  The target is probed once during ``connect()`` so
that a refused target shows there rather than on first use.

paramiko is imported only when ``connect()`` runs.
"""

import base64
import hashlib
import logging
import socket
import threading
import weakref
from collections.abc import Callable, Mapping
from typing import TYPE_CHECKING, Any, cast

from tavrin_var import TavrinVar

if TYPE_CHECKING:
    import paramiko

__all__ = ["TavrinSSH", "TavrinSSHError"]

_log = logging.getLogger("tavrin_minio")
_BUFSIZE = 32768
_ACCEPT_POLL = 0.2


class TavrinSSHError(Exception):
    """The SSH tunnel could not be set up."""


def _fingerprint(key: "paramiko.PKey") -> str:
    digest = hashlib.sha256(key.asbytes()).digest()
    return "SHA256:" + base64.b64encode(digest).decode().rstrip("=")


class _WarnPolicy:
    def missing_host_key(self, client: "paramiko.SSHClient", hostname: str, key: "paramiko.PKey") -> None:
        _log.warning("SSH server %s is not in known_hosts; accepting its %s key %s",
                     hostname, key.get_name(), _fingerprint(key))


class _RejectPolicy:
    def missing_host_key(self, client: "paramiko.SSHClient", hostname: str, key: "paramiko.PKey") -> None:
        raise TavrinSSHError(f"SSH server {hostname} is not in known_hosts "
                             f"({key.get_name()} key {_fingerprint(key)})")


_POLICIES: dict[str, type[_WarnPolicy | _RejectPolicy]] = {"warn": _WarnPolicy, "reject": _RejectPolicy}


def _close_quietly(obj: "socket.socket | paramiko.Channel") -> None:
    if isinstance(obj, socket.socket):
        try:
            obj.shutdown(socket.SHUT_RDWR)  # wakes a thread blocked in recv
        except OSError:
            pass
    try:
        obj.close()
    except Exception:
        pass


def _pump(recv: Callable[[int], bytes], send: Callable[[bytes], object], eof: Callable[[], object]) -> None:
    try:
        while data := recv(_BUFSIZE):
            send(data)
        eof()
    except Exception:
        pass  # either side went away; the caller closes both


class _Tunnel:
    """Listening socket on 127.0.0.1 forwarding each connection over SSH."""

    def __init__(self, client: "paramiko.SSHClient", transport: "paramiko.Transport",
                 target: tuple[str, int], timeout: float) -> None:
        self._client = client
        self._transport = transport
        self._target = target
        self._timeout = timeout
        self._lock = threading.Lock()
        self._open: "set[socket.socket | paramiko.Channel]" = set()  # accepted sockets and their channels
        self._closing = threading.Event()
        self._listener = socket.create_server(("127.0.0.1", 0))
        self._listener.settimeout(_ACCEPT_POLL)
        self.port = self._listener.getsockname()[1]
        self._thread = threading.Thread(target=self._accept_loop, daemon=True,
                                        name=f"tavrin-ssh-accept-{self.port}")
        self._thread.start()

    def _accept_loop(self) -> None:
        while not self._closing.is_set():
            try:
                sock, peer = self._listener.accept()
            except TimeoutError:
                continue
            except OSError:
                break
            threading.Thread(target=self._serve, args=(sock, peer), daemon=True,
                             name=f"tavrin-ssh-conn-{self.port}").start()

    def _track(self, obj: "socket.socket | paramiko.Channel") -> bool:
        with self._lock:
            if not self._closing.is_set():
                self._open.add(obj)
                return True
        _close_quietly(obj)
        return False

    def _release(self, *objs: "socket.socket | paramiko.Channel") -> None:
        with self._lock:
            self._open.difference_update(objs)
        for obj in objs:
            _close_quietly(obj)

    def _serve(self, sock: socket.socket, peer: tuple[str, int]) -> None:
        sock.settimeout(None)
        if not self._track(sock):
            return
        try:
            chan = self._transport.open_channel("direct-tcpip", self._target, peer,
                                                timeout=self._timeout)
        except Exception as exc:
            _log.warning("SSH tunnel to %s:%s: cannot open a channel: %s",
                         *self._target, exc)
            self._release(sock)
            return
        if not self._track(chan):
            self._release(sock)
            return
        upstream = threading.Thread(
            target=_pump, args=(sock.recv, chan.sendall, chan.shutdown_write),
            daemon=True, name=f"tavrin-ssh-pump-{self.port}")
        upstream.start()
        _pump(chan.recv, sock.sendall, lambda: sock.shutdown(socket.SHUT_WR))
        upstream.join()
        self._release(chan, sock)

    def close(self) -> None:
        with self._lock:
            if self._closing.is_set():
                return
            self._closing.set()
            pending, self._open = list(self._open), set()
        if self._thread is not threading.current_thread():
            self._thread.join()
        self._listener.close()
        for obj in pending:
            _close_quietly(obj)
        self._client.close()


class TavrinSSH:
    """SSH local port forward for a tavrin_minio configuration.

    ``unknown_host`` is ``"warn"`` or ``"reject"`` and ``known_hosts`` an extra
    OpenSSH known_hosts file (see the module docstring); ``timeout`` bounds, in
    seconds, the TCP connect, banner, login and each channel opening.
    """

    def __init__(self, config: Mapping[str, Any] | TavrinVar, *, unknown_host: str = "warn",
                 known_hosts: str | None = None, timeout: float = 10.0) -> None:
        if unknown_host not in _POLICIES:
            raise ValueError(f"unknown_host must be one of {sorted(_POLICIES)}, "
                             f"not {unknown_host!r}")
        self.config = config.todict() if isinstance(config, TavrinVar) else dict(config)
        self.unknown_host = unknown_host
        self.known_hosts = known_hosts
        self.timeout = timeout
        self._finalizers: "list[weakref.finalize[[], TavrinVar]]" = []

    def _settings(self) -> tuple[int, int]:
        cfg = self.config
        missing = [k for k in ("host", "port", "ssh_host", "ssh_user") if not cfg.get(k)]
        if missing:
            raise TavrinSSHError(f"SSH tunnel needs {', '.join(missing)} in the configuration")
        if not cfg.get("ssh_password") and not cfg.get("ssh_rsa"):
            raise TavrinSSHError("SSH tunnel needs ssh_password or ssh_rsa to log in")
        try:
            return int(cfg["port"]), int(cfg.get("ssh_port") or 22)
        except (TypeError, ValueError) as exc:
            raise TavrinSSHError(f"invalid port in the configuration: {exc}") from exc

    def connect(self) -> TavrinVar:
        """Open the tunnel; return the configuration pointing at it (see module docstring)."""
        port, ssh_port = self._settings()
        import paramiko

        cfg = self.config
        target = (cfg["host"], port)
        server = f"{cfg['ssh_user']}@{cfg['ssh_host']}:{ssh_port}"
        client = paramiko.SSHClient()
        stage = f"SSH login to {server}"
        try:
            client.load_system_host_keys()
            if self.known_hosts:
                client.load_host_keys(self.known_hosts)
            policy = cast("paramiko.MissingHostKeyPolicy", _POLICIES[self.unknown_host]())
            client.set_missing_host_key_policy(policy)
            client.connect(
                cfg["ssh_host"], ssh_port, username=cfg["ssh_user"],
                password=cfg.get("ssh_password") or None,
                key_filename=cfg.get("ssh_rsa") or None,
                passphrase=cfg.get("ssh_rsa_pwd") or None,
                look_for_keys=False, allow_agent=False, timeout=self.timeout,
                banner_timeout=self.timeout, auth_timeout=self.timeout,
                channel_timeout=self.timeout)
            stage = f"forward to {target[0]}:{target[1]} through {server}"
            transport = client.get_transport()
            if transport is None:
                raise paramiko.SSHException("no transport after login")
            transport.open_channel(
                "direct-tcpip", target, ("127.0.0.1", 0), timeout=self.timeout).close()
            tunnel = _Tunnel(client, transport, target, self.timeout)
        except BaseException as exc:
            client.close()
            if isinstance(exc, TavrinSSHError) or not isinstance(exc, Exception):
                raise
            raise TavrinSSHError(f"{stage} failed: {type(exc).__name__}: {exc}") from exc

        result = TavrinVar(**{**cfg, "host": "127.0.0.1", "port": tunnel.port})
        result._tunnel = tunnel
        self._finalizers.append(weakref.finalize(result, tunnel.close))
        return result

    def close(self) -> None:
        """Close every tunnel this object opened."""
        for finalizer in self._finalizers:
            finalizer()
        self._finalizers.clear()
