"""Reach an object storage server through an SSH local port forward.

``TavrinSSH(config).connect()`` logs in to ``ssh_host:ssh_port`` (port 22 when
not given) as ``ssh_user``, listens on ``127.0.0.1:<ephemeral port>`` and
forwards every connection made there to ``(host, port)`` as seen from the SSH
server.  It returns a ``TavrinVar`` copy of the configuration whose ``host``
is ``"127.0.0.1"`` and ``port`` the local port, and whose ``target_host`` keeps
the configured ``host``: the forward carries bytes only, so a TLS session runs
end to end between the client and that server, and the client checks the
server's certificate against ``target_host`` (a caller's ``target_host`` entry is
replaced).  The tunnel lives as long as
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

Once logged in, the tunnel pins the host key the server presented: a later
login (see below) accepts that key only, whether known_hosts or ``"warn"``
vouched for it at first.  Any other key is refused as a changed known_hosts key
is, with a warning saying that the host key changed, and no data passes.

Keepalive: after ``keepalive`` seconds without traffic (default 30; ``None`` or
0 for none) the SSH transport sends a keepalive, so that idle sessions are not
dropped by firewalls and a dead server is noticed.

Healing: when a connection arrives on the local port and the SSH session is no
longer active, or opening its channel fails because the session has ended, the
tunnel logs in again with the same settings (password or key passphrase kept in
memory, never written anywhere) and serves that connection on the new session;
the old client is closed and the warning "SSH connection to user@host:port was
lost; logged in again" is logged.  One login runs at a time: connections that
arrive meanwhile wait for it, at most ``timeout`` seconds, and share its
outcome.  When the login fails, the connection is closed with one warning
naming the server and the reason, and the next connection tries again.  The
local port and the returned object stay the same, and closing the tunnel also
ends a login under way.

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
import math
import socket
import threading
import time
import weakref
from collections.abc import Callable, Mapping
from typing import TYPE_CHECKING, Any, Protocol, cast

from tavrin_var import TavrinVar

if TYPE_CHECKING:
    import paramiko

__all__ = ["TavrinSSH", "TavrinSSHError"]

_log = logging.getLogger("tavrin_minio")
_BUFSIZE = 32768
_ACCEPT_POLL = 0.2


class TavrinSSHError(Exception):
    """The SSH tunnel could not be set up."""


class _Closed(Exception):
    """The tunnel was closed while a connection waited for it."""


class _Closable(Protocol):
    def close(self) -> None: ...


def _fingerprint(key: "paramiko.PKey") -> str:
    digest = hashlib.sha256(key.asbytes()).digest()
    return "SHA256:" + base64.b64encode(digest).decode().rstrip("=")


def _describe(key: "paramiko.PKey") -> str:
    return f"{key.get_name()} key {_fingerprint(key)}"


class _WarnPolicy:
    def missing_host_key(self, client: "paramiko.SSHClient", hostname: str, key: "paramiko.PKey") -> None:
        _log.warning("SSH server %s is not in known_hosts; accepting its %s key %s",
                     hostname, key.get_name(), _fingerprint(key))


class _RejectPolicy:
    def missing_host_key(self, client: "paramiko.SSHClient", hostname: str, key: "paramiko.PKey") -> None:
        raise TavrinSSHError(f"SSH server {hostname} is not in known_hosts ({_describe(key)})")


_POLICIES: dict[str, type[_WarnPolicy | _RejectPolicy]] = {"warn": _WarnPolicy, "reject": _RejectPolicy}


def _reason(exc: BaseException) -> str:
    return str(exc) if isinstance(exc, TavrinSSHError) else f"{type(exc).__name__}: {exc}"


def _channel_failure(exc: BaseException) -> str:
    """What a refused channel means: the SSH server could not reach the target."""
    import paramiko

    if isinstance(exc, paramiko.ChannelException):
        return f"the SSH server cannot reach it ({exc.text or f'channel refused, code {exc.code}'})"
    return f"cannot open a channel: {_reason(exc)}"


def _close_quietly(obj: _Closable) -> None:
    if isinstance(obj, socket.socket):
        try:
            obj.shutdown(socket.SHUT_RDWR)  # wakes a thread blocked in recv or connect
        except OSError:
            pass
    try:
        obj.close()
    except Exception:
        pass


def _close_client(client: "paramiko.SSHClient", wait: float) -> None:
    """Close an SSH client and wait up to `wait` s for its transport thread to end."""
    transport = client.get_transport()
    _close_quietly(client)
    if transport is not None and transport is not threading.current_thread():
        transport.join(wait)


def _dial(host: str, port: int, timeout: float, track: Callable[[_Closable], bool]) -> socket.socket:
    """A TCP connection to (host, port); closing the tracked socket aborts the connect."""
    error = OSError(f"cannot resolve {host}")
    for family, kind, proto, _, address in socket.getaddrinfo(host, port, type=socket.SOCK_STREAM):
        sock = socket.socket(family, kind, proto)
        if not track(sock):
            raise _Closed()
        try:
            sock.settimeout(timeout)
            sock.connect(address)
            return sock
        except OSError as exc:
            _close_quietly(sock)
            error = exc
    raise error


def _pump(recv: Callable[[int], bytes], send: Callable[[bytes], object], eof: Callable[[], object]) -> None:
    try:
        while data := recv(_BUFSIZE):
            send(data)
        eof()
    except Exception:
        pass  # either side went away; the caller closes both


class _Login:
    """One tunnel's SSH login, repeatable with the same settings.

    The first login checks the server's host key against known_hosts and the
    ``unknown_host`` policy and pins the key it accepted; every later login
    accepts that key only.  Credentials stay in memory.
    """

    def __init__(self, ssh: "TavrinSSH", ssh_port: int) -> None:
        cfg = ssh.config
        self.host: str = cfg["ssh_host"]
        self.port = ssh_port
        self.server = f"{cfg['ssh_user']}@{self.host}:{ssh_port}"
        self._user: str = cfg["ssh_user"]
        self._password: str | None = cfg.get("ssh_password") or None
        self._key_file: str | None = cfg.get("ssh_rsa") or None
        self._passphrase: str | None = cfg.get("ssh_rsa_pwd") or None
        self._unknown_host = ssh.unknown_host
        self._known_hosts = ssh.known_hosts
        self._timeout = ssh.timeout
        self._keepalive = ssh.keepalive or 0
        self._pinned: "paramiko.PKey | None" = None
        self._key: "paramiko.PKey | None" = None  # read from the key file at the first login

    def _read_key(self) -> "paramiko.PKey | None":
        """The private key of ``ssh_rsa``, unlocked with ``ssh_rsa_pwd``; a file
        that cannot be used raises ``TavrinSSHError`` naming it and the server."""
        import paramiko

        if self._key_file is None or self._key is not None:
            return self._key
        where = f"SSH login to {self.server}: key file {self._key_file}"
        failure: Exception | None = None
        for kind in (paramiko.Ed25519Key, paramiko.ECDSAKey, paramiko.RSAKey):
            try:
                self._key = kind.from_private_key_file(self._key_file, password=self._passphrase)
                return self._key
            except paramiko.PasswordRequiredException as exc:
                raise TavrinSSHError(f"{where} is encrypted and ssh_rsa_pwd is not set") from exc
            except OSError as exc:
                raise TavrinSSHError(f"{where} cannot be read: {exc.strerror or exc}") from exc
            except (paramiko.SSHException, ValueError) as exc:
                failure = exc
        raise TavrinSSHError(f"{where} cannot be used: a wrong passphrase (ssh_rsa_pwd), "
                             "or not a private key") from failure

    def __call__(self, track: Callable[[_Closable], bool]) -> "tuple[paramiko.SSHClient, paramiko.Transport]":
        """Log in; `track` is shown each socket and client first, and returns
        False to stop the login (it then closes what it was shown)."""
        import paramiko

        client = paramiko.SSHClient()
        sock: socket.socket | None = None
        try:
            if not track(client):
                raise _Closed()
            pinned = self._pinned
            if pinned is None:
                client.load_system_host_keys()
                if self._known_hosts:
                    client.load_host_keys(self._known_hosts)
                policy = cast("paramiko.MissingHostKeyPolicy", _POLICIES[self._unknown_host]())
                client.set_missing_host_key_policy(policy)
            else:  # the only key known for the server; paramiko refuses any other
                name = self.host if self.port == 22 else f"[{self.host}]:{self.port}"
                client.get_host_keys().add(name, pinned.get_name(), pinned)
            sock = _dial(self.host, self.port, self._timeout, track)
            try:
                client.connect(
                    self.host, self.port, username=self._user, password=self._password,
                    pkey=self._read_key(),
                    look_for_keys=False, allow_agent=False, sock=sock, timeout=self._timeout,
                    banner_timeout=self._timeout, auth_timeout=self._timeout,
                    channel_timeout=self._timeout)
            except paramiko.BadHostKeyException as exc:
                if pinned is None:
                    raise
                raise TavrinSSHError(
                    f"host key changed: the server offered its {_describe(exc.key)}, not the "
                    f"{_describe(pinned)} accepted at the first login; refused") from exc
            transport = client.get_transport()
            if transport is None:
                raise paramiko.SSHException("no transport after login")
            transport.set_keepalive(self._keepalive)
            if pinned is None:
                self._pinned = transport.get_remote_server_key()
            return client, transport
        except BaseException:
            _close_quietly(client)
            if sock is not None:
                _close_quietly(sock)
            raise


class _Tunnel:
    """Listening socket on 127.0.0.1 forwarding each connection over SSH,
    logging in again when the SSH session is gone."""

    def __init__(self, login: _Login, client: "paramiko.SSHClient", transport: "paramiko.Transport",
                 target: tuple[str, int], timeout: float) -> None:
        self._login = login
        self._client = client
        self._transport = transport
        self._target = target
        self._timeout = timeout
        self._cond = threading.Condition()  # guards everything below
        self._open: set[_Closable] = set()  # accepted sockets, their channels, a login under way
        self._threads: set[threading.Thread] = set()  # per-connection threads
        self._logging_in = False
        self._logins = 0  # login attempts finished
        self._failure = ""  # why the last attempt failed; "" after a success
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
            thread = threading.Thread(target=self._serve, args=(sock, peer), daemon=True,
                                      name=f"tavrin-ssh-conn-{self.port}")
            with self._cond:
                closing = self._closing.is_set()
                if not closing:
                    self._threads.add(thread)
            if closing:
                _close_quietly(sock)
                break
            thread.start()

    def _track(self, obj: _Closable) -> bool:
        with self._cond:
            if not self._closing.is_set():
                self._open.add(obj)
                return True
        _close_quietly(obj)
        return False

    def _release(self, *objs: _Closable) -> None:
        with self._cond:
            self._open.difference_update(objs)
        for obj in objs:
            _close_quietly(obj)

    def _serve(self, sock: socket.socket, peer: tuple[str, int]) -> None:
        try:
            self._forward(sock, peer)
        finally:
            with self._cond:
                self._threads.discard(threading.current_thread())

    def _forward(self, sock: socket.socket, peer: tuple[str, int]) -> None:
        sock.settimeout(None)
        if not self._track(sock):
            return
        try:
            chan = self._channel(peer)
        except Exception as exc:
            if not self._closing.is_set():
                _log.warning("%s", exc)
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

    def _channel(self, peer: tuple[str, int]) -> "paramiko.Channel":
        """A channel to the target, on a new session if the current one is gone."""
        with self._cond:
            transport = self._transport
        if transport.is_active():
            try:
                return self._open_channel(transport, peer)
            except TavrinSSHError as exc:
                # A write to a session whose server has gone fails (EOFError, OSError) before the
                # transport's reader has seen the end: that session is lost all the same.
                if transport.is_active() and not isinstance(exc.__cause__, (EOFError, OSError)):
                    raise
        return self._open_channel(self._relogin(transport), peer)

    def _open_channel(self, transport: "paramiko.Transport", peer: tuple[str, int]) -> "paramiko.Channel":
        try:
            return transport.open_channel("direct-tcpip", self._target, peer, timeout=self._timeout)
        except Exception as exc:
            raise TavrinSSHError(f"SSH tunnel to {self._target[0]}:{self._target[1]} through "
                                 f"{self._login.server}: {_channel_failure(exc)}") from exc

    def _relogin(self, stale: "paramiko.Transport") -> "paramiko.Transport":
        """Replace the session `stale` by a new login, or wait for the one under way."""
        lost = f"SSH connection to {self._login.server} was lost"
        with self._cond:
            seen = self._logins
            done = self._cond.wait_for(lambda: not self._logging_in or self._closing.is_set(),
                                       self._timeout)
            if self._closing.is_set():
                raise _Closed()
            if not done:
                raise TavrinSSHError(f"{lost}; logging in again took more than {self._timeout} s")
            if self._transport is not stale and self._transport.is_active():
                return self._transport  # another connection logged in meanwhile
            if self._logins != seen and self._failure:
                raise TavrinSSHError(self._failure)  # the login this one waited for failed
            self._logging_in = True

        tracked: list[_Closable] = []

        def track(obj: _Closable) -> bool:
            tracked.append(obj)
            return self._track(obj)

        failure = f"{lost}; logging in again failed: the tunnel is closing"
        fresh: "tuple[paramiko.SSHClient, paramiko.Transport] | None" = None
        old: "paramiko.SSHClient | None" = None
        try:
            fresh = self._login(track)
        except Exception as exc:
            failure = f"{lost}; logging in again failed: {_reason(exc)}"
            raise TavrinSSHError(failure) from exc
        finally:
            with self._cond:
                self._open.difference_update(tracked)
                self._logging_in = False
                self._logins += 1
                self._cond.notify_all()
                if fresh is not None and not self._closing.is_set():
                    old = self._client
                    self._client, self._transport = fresh
                    self._failure = ""
                else:
                    self._failure = failure
        if fresh is None or old is None:  # closed while logging in
            if fresh is not None:
                _close_client(fresh[0], self._timeout)
            raise _Closed()
        _close_client(old, self._timeout)
        _log.warning("%s; logged in again", lost)
        return fresh[1]

    def close(self) -> None:
        with self._cond:
            if self._closing.is_set():
                return
            self._closing.set()
            pending, self._open = list(self._open), set()
            threads, client = list(self._threads), self._client
            self._cond.notify_all()  # wakes connections waiting for a login
        deadline = time.monotonic() + self._timeout
        if self._thread is not threading.current_thread():
            self._thread.join()
        self._listener.close()
        for obj in pending:  # also ends a login under way
            _close_quietly(obj)
        _close_client(client, self._timeout)
        for thread in threads:
            if thread is not threading.current_thread():
                thread.join(max(0.0, deadline - time.monotonic()))


class TavrinSSH:
    """SSH local port forward for a tavrin_minio configuration.

    ``unknown_host`` is ``"warn"`` or ``"reject"`` and ``known_hosts`` an extra
    OpenSSH known_hosts file (see the module docstring); ``timeout`` bounds, in
    seconds, the TCP connect, banner, login and each channel opening, and how
    long a connection waits for a login under way; ``keepalive`` is the idle
    time in seconds after which an SSH keepalive is sent (``None`` or 0: none).
    """

    def __init__(self, config: Mapping[str, Any] | TavrinVar, *, unknown_host: str = "warn",
                 known_hosts: str | None = None, timeout: float = 10.0,
                 keepalive: float | None = 30) -> None:
        if unknown_host not in _POLICIES:
            raise ValueError(f"unknown_host must be one of {sorted(_POLICIES)}, "
                             f"not {unknown_host!r}")
        if keepalive is not None and (isinstance(keepalive, bool)
                                      or not isinstance(keepalive, (int, float))
                                      or not 0 <= keepalive < math.inf):
            raise ValueError(f"keepalive must be a number of seconds >= 0 or None, "
                             f"not {keepalive!r}")
        self.config = config.todict() if isinstance(config, TavrinVar) else dict(config)
        self.unknown_host = unknown_host
        self.known_hosts = known_hosts
        self.timeout = timeout
        self.keepalive = keepalive
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
        import paramiko

        port, ssh_port = self._settings()
        cfg = self.config
        target = (cfg["host"], port)
        login = _Login(self, ssh_port)
        stage = f"SSH login to {login.server}"
        client = None
        try:
            client, transport = login(lambda obj: True)
            stage = f"forward to {target[0]}:{target[1]} through {login.server}"
            try:
                transport.open_channel(
                    "direct-tcpip", target, ("127.0.0.1", 0), timeout=self.timeout).close()
            except paramiko.ChannelException as exc:
                raise TavrinSSHError(f"{stage} failed: {_channel_failure(exc)}") from exc
            tunnel = _Tunnel(login, client, transport, target, self.timeout)
        except BaseException as exc:
            if client is not None:
                _close_client(client, self.timeout)
            if isinstance(exc, TavrinSSHError) or not isinstance(exc, Exception):
                raise
            raise TavrinSSHError(f"{stage} failed: {_reason(exc)}") from exc

        result = TavrinVar(**{**cfg, "host": "127.0.0.1", "port": tunnel.port, "target_host": cfg["host"]})
        result._tunnel = tunnel
        self._finalizers.append(weakref.finalize(result, tunnel.close))
        return result

    def close(self) -> None:
        """Close every tunnel this object opened."""
        for finalizer in self._finalizers:
            finalizer()
        self._finalizers.clear()
