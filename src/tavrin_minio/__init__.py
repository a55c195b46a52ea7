"""Client for S3-compatible object storage.

Modules:

- ``tavrin_minio.ostrel``: the client class ``TavrinOstrel``.
- ``tavrin_minio.mimora``: ``get_mimora(name)``, the MIME type of a file or
  object name by its last suffix.

``tavrin_minio.IntegrityError`` is raised by a download whose content does
not match the object's ETag, attempt after attempt.

``tavrin_minio.Progress`` is the record a ``progress`` callable receives. It
is loaded on first use, so that importing the client costs nothing for it.
"""

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from ._progress import Progress as Progress

__version__ = "0.1.0"
__all__ = ["IntegrityError", "Progress"]


class IntegrityError(OSError):
    """A download's content did not match the object's ETag in five attempts
    in a row; nothing is left under the target's name. For a server whose
    ETags are not MD5 digests of the content, set the key ``verify`` to False."""


def __getattr__(name: str) -> Any:
    if name == "Progress":
        from ._progress import Progress

        return Progress
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
