"""A small configuration holder: named entries read by ``get`` or as attributes.

``TavrinVar(host="example", port=9000)`` keeps its entries in an internal
dict.  Reading an absent entry gives None, by ``get`` and by attribute alike;
dunder names (``__foo__``) are the exception and raise AttributeError, so that
``copy``, ``pickle`` and ``hasattr`` probes behave normally.

The methods ``get``, ``set`` and ``todict`` win over entries of the same name
on attribute reads: ``v.get`` is always the method, ``v.get("get")`` the entry.
Assigning a public attribute (``v.port = 9001``) is the same as ``v.set``;
names starting with an underscore are ordinary instance attributes and never
entries (the SSH tunnel hangs its private state there).

Copies and pickles carry the entries only (a fresh dict each), not private
attributes.

``repr`` hides secrets: entries whose key contains "password", and
``ssh_rsa_pwd``, are shown as ``'***'``.
"""

from typing import Any

__all__ = ["TavrinVar"]

_SECRET_KEYS = {"ssh_rsa_pwd"}
_HIDDEN = repr("***")


def _is_secret(key: str) -> bool:
    return "password" in key.lower() or key in _SECRET_KEYS


class TavrinVar:
    """Entries given as keyword arguments; see the module docstring."""

    def __init__(self, **entries: Any) -> None:
        object.__setattr__(self, "_entries", dict(entries))

    def get(self, key: str) -> Any:
        """Value of ``key``, or None when absent."""
        return self._entries.get(key)

    def set(self, key: str, value: Any) -> None:
        """Store ``value`` under ``key``."""
        self._entries[key] = value

    def todict(self) -> dict[str, Any]:
        """A plain dict copy of all entries."""
        return dict(self._entries)

    def __getattr__(self, name: str) -> Any:
        # Only reached when normal lookup fails: methods and private
        # attributes come first.
        if name.startswith("__") and name.endswith("__"):
            raise AttributeError(name)
        return self.__dict__.get("_entries", {}).get(name)

    def __setattr__(self, name: str, value: Any) -> None:
        if name.startswith("_"):
            object.__setattr__(self, name, value)
        else:
            self._entries[name] = value

    def __getstate__(self) -> dict[str, Any]:
        return dict(self._entries)

    def __setstate__(self, state: dict[str, Any]) -> None:
        object.__setattr__(self, "_entries", dict(state))

    def __repr__(self) -> str:
        shown = ", ".join(
            f"{k}={_HIDDEN if isinstance(k, str) and _is_secret(k) else repr(v)}"
            for k, v in self._entries.items())
        return f"{type(self).__name__}({shown})"
