"""Connection profiles from a TOML file, shared by the command line and the file system.

The file is found by, in this order: an explicit path, the environment variable
``TAVRIN_MINIO_CONFIG``, else ``config.toml`` in the user's configuration folder
(``$XDG_CONFIG_HOME/tavrin_minio`` or ``~/.config/tavrin_minio`` on Linux and
macOS, ``%APPDATA%\\tavrin_minio`` on Windows). Each top-level table is a profile
named by its key and holds the constructor mapping of ``TavrinOstrel``; the
profile is an explicit name, else ``TAVRIN_MINIO_PROFILE``, else ``default``.
"""

from __future__ import annotations

import math
import os
import sys
import tomllib
from typing import Any, Callable

__all__ = ["PROFILE_KEYS", "ProfileError", "check_profile", "config_path", "load_profile"]

CONFIG_ENV = "TAVRIN_MINIO_CONFIG"
PROFILE_ENV = "TAVRIN_MINIO_PROFILE"
DEFAULT_PROFILE = "default"


class ProfileError(Exception):
    """The configuration file or the profile cannot be used; the text says why."""


def _text(value: Any) -> bool:
    return isinstance(value, str)


def _host(value: Any) -> bool:
    # A ":" only in an IPv6 address, which has two or more.
    return (isinstance(value, str) and bool(value) and not any(mark in value for mark in "/@ \t")
            and value.count(":") != 1)


def _port(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and 1 <= value <= 65535


def _flag(value: Any) -> bool:
    return isinstance(value, bool)


def _seconds(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool) and 0 < value < math.inf


def _workers(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and 1 <= value <= 256


# The keys a profile may hold, each with its check and what it must be.
# A new key of the constructor mapping is one line here.
PROFILE_KEYS: dict[str, tuple[Callable[[Any], bool], str]] = {
    "host": (_host, "a host name or IP address, without a port or scheme"),
    "port": (_port, "an integer from 1 to 65535"),
    "user": (_text, "a string (the access key)"),
    "password": (_text, "a string (the secret key)"),
    "secure": (_flag, "true or false"),
    "tls": (lambda value: isinstance(value, (bool, str)), "true, false or the path of a CA bundle"),
    "timeout": (_seconds, "a number of seconds above 0"),
    "workers": (_workers, "an integer from 1 to 256"),
    "verify": (_flag, "true or false"),
    "progress": (_flag, "true or false"),
    "skip_unchanged": (_flag, "true or false"),
    "digest_cache": (lambda value: isinstance(value, bool) or (isinstance(value, str) and bool(value)),
                     "true, false or the path of a cache file"),
    "ssh": (_flag, "true or false"),
    "ssh_host": (_host, "a host name or IP address, without a port"),
    "ssh_port": (_port, "an integer from 1 to 65535"),
    "ssh_user": (_text, "a string"),
    "ssh_password": (_text, "a string"),
    "ssh_rsa": (_text, "the path of a private key file"),
    "ssh_rsa_pwd": (_text, "a string (the key file's passphrase)"),
}

# Keys whose values no message shows.
SECRET_KEYS = frozenset({"password", "ssh_password", "ssh_rsa_pwd"})
_TOML_TYPES = {str: "a string", int: "an integer", float: "a number", bool: "a boolean", dict: "a table",
               list: "an array"}


def check_profile(table: dict[str, Any], where: str) -> None:
    """Raises ``ProfileError`` for the first key of `table` that is unknown
    (suggesting the nearest known key) or whose value is not what the key
    takes; `where` names the profile in the message. The value of a secret
    key is never shown, only its type."""
    for key, value in table.items():
        known = PROFILE_KEYS.get(key)
        if known is None:
            import difflib  # only for the message: every command's start-up reads this module

            nearest = difflib.get_close_matches(key, PROFILE_KEYS, n=1)
            hint = f"; did you mean {nearest[0]!r}?" if nearest else f" (known keys: {', '.join(PROFILE_KEYS)})"
            raise ProfileError(f"{where}: unknown key {key!r}{hint}")
        check, wanted = known
        if not check(value):
            found = _TOML_TYPES.get(type(value), "a date or time") if key in SECRET_KEYS else repr(value)
            raise ProfileError(f"{where}: {key} must be {wanted}, not {found}")
    if table.get("ssh"):
        for key, wanted in (("ssh_host", "the SSH server to go through"), ("ssh_user", "the SSH login")):
            if not table.get(key):
                raise ProfileError(f"{where}: ssh = true needs {key}, {wanted}")
        if not table.get("ssh_password") and not table.get("ssh_rsa"):
            raise ProfileError(f"{where}: ssh = true needs ssh_password or ssh_rsa to log in")


def config_path(config_file: str | os.PathLike[str] | None = None) -> str:
    """The configuration file's path, by the order in the module's text."""
    if config_file is not None:
        return os.fspath(config_file)
    named = os.environ.get(CONFIG_ENV)
    if named:
        return named
    if sys.platform == "win32":
        base = os.environ.get("APPDATA") or os.path.join(os.path.expanduser("~"), "AppData", "Roaming")
    else:
        base = os.environ.get("XDG_CONFIG_HOME") or os.path.join(os.path.expanduser("~"), ".config")
    return os.path.join(base, "tavrin_minio", "config.toml")


def _warn_stderr(message: str) -> None:
    print(f"warning: {message}", file=sys.stderr)


def load_profile(profile: str | None = None,
                 config_file: str | os.PathLike[str] | None = None,
                 *, warn: Callable[[str], None] = _warn_stderr) -> dict[str, Any]:
    """A fresh dict with the profile's keys, ready for ``TavrinOstrel``.

    Raises ``ProfileError`` for a missing or unreadable file, malformed TOML,
    or a profile that is absent or not a table, or whose keys ``check_profile``
    refuses. On POSIX, a file that the group or others may read calls ``warn``
    with a line saying so, since it holds secrets.
    """
    path = config_path(config_file)
    name = profile if profile is not None else (os.environ.get(PROFILE_ENV) or DEFAULT_PROFILE)
    try:
        with open(path, "rb") as file:
            mode = os.fstat(file.fileno()).st_mode
            data = tomllib.load(file)
    except FileNotFoundError:
        raise ProfileError(f"configuration file {path} not found") from None
    except tomllib.TOMLDecodeError as error:
        raise ProfileError(f"configuration file {path} is not valid TOML: {error}") from None
    except OSError as error:
        raise ProfileError(f"configuration file {path} cannot be read: {error.strerror or error}") from None
    if os.name == "posix" and mode & 0o077:
        warn(f"configuration file {path} is accessible by others (mode {mode & 0o777:03o}); "
             f"it holds secrets: chmod 600 it")
    table = data.get(name)
    if table is None:
        known = ", ".join(sorted(key for key, value in data.items() if isinstance(value, dict))) or "none"
        raise ProfileError(f"profile {name!r} not found in {path} (profiles: {known})")
    if not isinstance(table, dict):
        raise ProfileError(f"profile {name!r} in {path} is not a table")
    check_profile(table, f"profile {name!r} in {path}")
    return dict(table)
