"""Connection profiles from a TOML file, shared by the command line and the file system.

The file is found by, in this order: an explicit path, the environment variable
``TAVRIN_MINIO_CONFIG``, else ``config.toml`` in the user's configuration folder
(``$XDG_CONFIG_HOME/tavrin_minio`` or ``~/.config/tavrin_minio`` on Linux and
macOS, ``%APPDATA%\\tavrin_minio`` on Windows). Each top-level table is a profile
named by its key and holds the constructor mapping of ``TavrinOstrel``; the
profile is an explicit name, else ``TAVRIN_MINIO_PROFILE``, else ``default``.
"""

from __future__ import annotations

import os
import sys
import tomllib
from typing import Any, Callable

__all__ = ["ProfileError", "config_path", "load_profile"]

CONFIG_ENV = "TAVRIN_MINIO_CONFIG"
PROFILE_ENV = "TAVRIN_MINIO_PROFILE"
DEFAULT_PROFILE = "default"


class ProfileError(Exception):
    """The configuration file or the profile cannot be used; the text says why."""


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
    or a profile that is absent or not a table. On POSIX, a file that the group
    or others may read calls ``warn`` with a line saying so, since it holds
    secrets. The keys themselves are checked by the constructor.
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
    return dict(table)
