"""``UPath("tavrin://bucket/key")`` for universal-pathlib.

The distribution names ``TavrinPath`` in its ``universal_pathlib.implementations``
entry point, so a process whose first act is ``UPath("tavrin://...")`` gets this
class, parsed as ``s3://`` paths are: the bucket is the anchor (``"bucket/"``),
``parent`` and ``parents`` end there, and names come from the key alone. Cloud
paths have no working folder, so a relative target of ``rename`` raises as it
does for ``s3://``. Importing ``tavrin_minio`` imports neither this module nor
universal-pathlib.
"""

from __future__ import annotations

from typing import Any

from fsspec.registry import register_implementation  # type: ignore[import-untyped]
from upath._flavour import WrappedFileSystemFlavour
from upath.implementations.cloud import CloudPath

from .fs import TavrinFileSystem

__all__ = ["TavrinPath"]


def _parse_as_buckets() -> None:
    """Makes universal-pathlib parse ``tavrin://`` by this file system's class
    with the bucket as the anchor. Its parsers are chosen by protocol name
    (and cached), not by the path class, so the name joins those of the
    bucket stores."""
    register_implementation(TavrinFileSystem.protocol, TavrinFileSystem, clobber=True)
    config = WrappedFileSystemFlavour.protocol_config
    config["netloc_is_anchor"].add(TavrinFileSystem.protocol)
    config["supports_empty_parts"].add(TavrinFileSystem.protocol)
    WrappedFileSystemFlavour.__dict__["from_protocol"].__func__.cache_clear()


_parse_as_buckets()


class TavrinPath(CloudPath):
    """A bucket or object of a ``tavrin://`` store as a path.

    ``mkdir`` of a folder inside a bucket writes its marker object
    (``key/``, and with ``parents`` those of the missing folders above it),
    so the folder exists before anything is put in it; the bucket itself is
    made as ``TavrinFileSystem.mkdir`` makes it.
    """

    __slots__ = ()

    def mkdir(self, mode: int = 0o777, parents: bool = False, exist_ok: bool = False, **kwargs: Any) -> None:
        if not self.key:
            super().mkdir(mode=mode, parents=parents, exist_ok=exist_ok, **kwargs)
            return
        if self.exists():
            if exist_ok and self.is_dir():
                return
            raise FileExistsError(str(self))
        if not self.parent.exists():
            if not parents:
                raise FileNotFoundError(str(self.parent))
            self.parent.mkdir(parents=True, exist_ok=True)
        self.fs.mkdir(f"{self.path.rstrip('/')}/")

    @property
    def key(self) -> str:
        """The object name inside the bucket ("" for the bucket)."""
        return str(self.fs.split_path(self.path)[1]) if self.drive else ""
