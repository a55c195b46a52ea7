"""Client for S3-compatible object storage: the TavrinOstrel class."""

import io as io
import os as os
from _typeshed import FileDescriptorOrPath, StrPath, SupportsRead, SupportsWrite
from collections.abc import Callable, Iterable, MutableMapping
from datetime import datetime
from datetime import timedelta as timedelta
from typing import Any, Literal, TypedDict, type_check_only

import minio as minio
from minio.datatypes import Bucket
from minio.deleteobjects import DeleteObject as DeleteObject
from minio.error import S3Error as S3Error
from tavrin_log import TavrinLog as TavrinLog
from tavrin_ssh import TavrinSSH as TavrinSSH
from tavrin_var import TavrinVar as TavrinVar

from .mimora import get_mimora as get_mimora

@type_check_only
class _ObjectRecord(TypedDict):
    """One entry of ``_bucket_list_files``; the values come from the listing as is."""

    bucket_name: str
    object_name: str
    last_modified: str  # "%Y-%m-%d %H:%M:%S.%f"
    etag: str | None
    size: int | None
    mimora: str | None  # the content type, when the listing reports one

@type_check_only
class _ListedObject(TypedDict):
    """An object of ``_list_folder``."""

    key: str
    size: int | None
    etag: str | None
    last_modified: datetime | None

@type_check_only
class _ListedFolder(TypedDict):
    """A sub-folder of ``_list_folder`` (not recursive): its prefix, ending in "/"."""

    prefix: str

@type_check_only
class _FolderUsage(TypedDict):
    """``_folder_usage``: the total size and number of the objects."""

    size: int
    count: int

@type_check_only
class _ObjectStat(TypedDict):
    """``_stat_object``: one object as the server states it."""

    key: str
    size: int | None
    etag: str | None
    content_type: str | None
    last_modified: datetime | None
    metadata: dict[str, str]

# The ordered ("exclude" | "include", pattern) pairs of the tree transfers' `filters`.
_Filters = Iterable[tuple[Literal["exclude", "include"], str]]

@type_check_only
class _TreeFolder(TypedDict):
    """A sub-folder in ``_folder_tree``."""

    name: str
    size: int
    type: Literal["directory"]

# An object in ``_folder_tree``: "name", "size", "type" ("file"), "ETag" and
# "LastModified" (keys that are not identifiers).
_TreeFile = dict[str, Any]

@type_check_only
class _TransferRecord(TypedDict):
    """What a tree transfer did (or, in a dry run, would do) with one file or object.

    Remote sides are ``s3://bucket/key``, local sides the path; ``source`` is
    None for a deletion (also a failed one, action "skip"), ``target`` None for a
    file or object the transfer skipped with a warning.
    """

    action: Literal["upload", "download", "copy", "move", "delete", "skip"]
    source: str | None
    target: str | None
    size: int | None

@type_check_only
class _SchemaEntry(TypedDict, total=False):
    type: bool
    default: bool
    optional: list[bool]

class TavrinOstrel:
    """The client: checks a configuration mapping, opens the SSH tunnel when `ssh` is true, and drives
    the `minio` client library. Every method is called directly on the instance; `_connect()` comes
    first.
    """

    _log: TavrinLog
    # A TavrinVar, or what TavrinSSH.connect() returned when a tunnel is open.
    _config: TavrinVar
    _params_dict: dict[str, _SchemaEntry]
    _default_params: dict[str, None]
    _engine: minio.Minio

    def __init__(self, config: MutableMapping[str, Any]) -> None:
        """The configuration mapping: `host`, `port`, `user`, `password`, `secure`, the `ssh_*` keys, the
        optional `timeout`, `workers`, `tls`, `progress` (None, a bool, or a callable taking
        `tavrin_minio.Progress` records), `skip_unchanged` and `verify` (None, True or False: downloads
        are checked against the object's ETag unless False; `tavrin_minio.IntegrityError` when the
        content keeps arriving corrupted), `digest_cache` (None, True, False or the path of a file: where the
        digests of local files are kept by file identity; False for none), and any further keys. Missing
        `ssh_*` keys are added to it.
        """
    def _cleanse_params(self, config: MutableMapping[str, Any]) -> None: ...
    def _set_params_dict(self) -> None: ...
    def _set_default_params(self) -> None: ...
    def _connect(self) -> None:
        """Creates the storage client (`minio.Minio`) for `host:port`: plain HTTP, or HTTPS with the
        certificate checked when `tls` is set (see TLS).
        """
    def _create_bucket(self, bucket_name: str, location: str = "cn-north-1", object_lock: bool = False) -> bool:
        """`True`; `False` with a warning when it exists."""
    def _remove_bucket(self, bucket_name: str) -> bool:
        """`True`; `False` with a warning when it does not exist."""
    def _bucket_list(self) -> list[Bucket]:
        """The client library's bucket list."""
    def _bucket_list_files(self, bucket_name: str, prefix: str = "") -> list[_ObjectRecord]:
        """Every object under the prefix, at all depths, as dicts with `bucket_name`, `object_name`,
        `last_modified` (text `%Y-%m-%d %H:%M:%S.%f`), `etag`, `size`, `mimora`.
        """
    # One level under the prefix ("/" as delimiter): objects as records, and
    # folders as records whose name ends in "/" and whose other values are None.
    def _bucket_policy(self, bucket_name: str) -> str | None:
        """The policy, or `None` with a warning."""
    # data: the path of a local file, bytes, or any value stored by its str().
    def _upload_flow(self, bucket_name: str, object_name: str, data: FileDescriptorOrPath) -> None:
        """Stores a local file (when `data` names one), `bytes`, or the UTF-8 text of `data`."""
    def _upload_file(self, bucket_name: str, object_name: str, file_name: StrPath, parallel: int = 3) -> None:
        """Stores one file; backslashes in the name become `/`."""
    def _upload_dir(self, bucket_name: str, dir_path: str, parallel: int = 3, base_dir: str | None = None) -> None:
        """Stores a directory tree depth-first under `base_dir` (default: the directory's name)."""
    def _download_flow(self, bucket_name: str, object_name: str) -> str:
        """The object's content decoded as UTF-8."""
    def _download_file(self, bucket_name: str, object_name: str, file_name: str) -> Literal[True]:
        """Writes the object to a local file, `True`."""
    def _download_dir(self, bucket_name: str, object_path: str, dir_path: str) -> None:
        """Writes the objects directly in the folder `object_path` (one level) into `dir_path`."""
    def _remove_object(self, bucket_name: str, object_name: str) -> None:
        """Removes one object."""
    def _remove_objects(self, bucket_name: str, object_list: Iterable[str]) -> None:
        """Removes many; each per-object failure is logged as a warning."""
    def _get_url(self, bucket: str, object_name: str, days: float = 7) -> str:
        """A presigned download URL."""
    def _list_folder(
        self, bucket_name: str, prefix: str = "", *, recursive: bool = False, wildcard: bool = False
    ) -> list[_ListedObject | _ListedFolder]:
        """One level under the folder `prefix` (objects and sub-folders) or, `recursive`, every object at every
        depth, as plain records (see Tree transfers); `wildcard`: the objects the pattern `prefix` selects.
        """
    def _folder_usage(self, bucket_name: str, prefix: str = "", *, wildcard: bool = False) -> _FolderUsage:
        """`{"size", "count"}`: the total size and number of the objects under the folder `prefix` at every
        depth (or that the pattern selects), from one listing.
        """
    def _stat_object(self, bucket_name: str, object_name: str) -> _ObjectStat:
        """`{"key", "size", "etag", "content_type", "last_modified", "metadata"}` of one object (one
        `stat_object` request; `metadata` a `dict` of its headers).
        """
    def _copy_object(
        self, source_bucket: str, source_name: str, bucket_name: str, object_name: str, *, move: bool = False
    ) -> int | None:
        """The server copies one object (never through this process; over 5 GiB in parts, the library's
        `copy_object`); `move`: checks the copy, then removes the source; the size copied.
        """
    def _copy_tree(
        self,
        source_bucket: str,
        source_prefix: str,
        bucket_name: str,
        prefix: str = "",
        *,
        exclude: Iterable[str] | None = None,
        filters: _Filters | None = None,
        wildcard: bool = False,
        skip_unchanged: bool = False,
        delete: bool = False,
        move: bool = False,
        dry_run: bool = False,
        report: Callable[[_TransferRecord], object] | None = None,
    ) -> list[_TransferRecord]:
        """The server copies every object under the folder `source_prefix` (or that the pattern selects) to
        `prefix/<relative path>`, on the pool; the records (`"copy"` or `"move"`).
        """
    def _move_file_up(self, bucket_name: str, object_name: str, file_path: StrPath) -> int:
        """`_upload_file`, then the file removed once the stated object has its size and (an MD5 ETag of either
        form) its content; `IntegrityError`, the file kept, otherwise; the size moved.
        """
    def _move_tree_up(
        self,
        bucket_name: str,
        dir_path: StrPath,
        prefix: str = "",
        *,
        filters: _Filters | None = None,
        report: Callable[[_TransferRecord], object] | None = None,
    ) -> list[_TransferRecord]:
        """`_upload_tree`, then each uploaded file removed once its object has the file's size and (an MD5 ETag
        of either form) its content; a file that does not check out is kept with a warning and a `"skip"`
        record; nothing is removed when the upload fails.
        """
    def _move_tree_down(
        self,
        bucket_name: str,
        prefix: str,
        dir_path: StrPath,
        *,
        filters: _Filters | None = None,
        wildcard: bool = False,
        report: Callable[[_TransferRecord], object] | None = None,
    ) -> list[_TransferRecord]:
        """`_download_tree` (each download checked against the ETag), then the downloaded objects removed by
        batch removal; one that fails to go is warned about and recorded as `"skip"`; nothing is removed
        when the download fails.
        """
    # exclude: patterns matched against the path relative to the folder, "/"-separated.
    def _upload_tree(
        self,
        bucket_name: str,
        dir_path: StrPath,
        prefix: str = "",
        *,
        exclude: Iterable[str] | None = None,
        skip_unchanged: bool | Literal["size"] = False,
        delete: bool = False,
        dry_run: bool = False,
        report: Callable[[_TransferRecord], object] | None = None,
        filters: _Filters | None = None,
    ) -> list[_TransferRecord]:
        """Stores the folder's files at every depth as `prefix/<relative path>`; the records of what it did."""
    def _download_tree(
        self,
        bucket_name: str,
        prefix: str,
        dir_path: StrPath,
        *,
        exclude: Iterable[str] | None = None,
        skip_unchanged: bool | Literal["size"] = False,
        delete: bool = False,
        dry_run: bool = False,
        report: Callable[[_TransferRecord], object] | None = None,
        filters: _Filters | None = None,
        wildcard: bool = False,
    ) -> list[_TransferRecord]:
        """Writes every object under the folder `prefix` (or that the pattern `prefix` selects), at every
        depth, into `dir_path`; the records.
        """
    def _remove_tree(
        self,
        bucket_name: str,
        prefix: str,
        *,
        exclude: Iterable[str] | None = None,
        dry_run: bool = False,
        report: Callable[[_TransferRecord], object] | None = None,
        filters: _Filters | None = None,
        wildcard: bool = False,
    ) -> list[_TransferRecord]:
        """Removes every object under the folder `prefix` (`""`: the whole bucket; or that the pattern selects)
        by batch removal; the records.
        """
    def _download_stream(self, bucket_name: str, object_name: str, stream: SupportsWrite[bytes]) -> int:
        """Writes the object's bytes to a binary stream as they arrive (blocks of 1 MiB; a broken stream goes
        on from the byte reached, by a range with `If-Match` on the first response's ETag, counted as in
        Broken downloads); the byte count.
        """
    def _upload_stream(self, bucket_name: str, object_name: str, stream: SupportsRead[bytes]) -> int:
        """Stores what a binary stream's `read` gives until it ends, of no known length: one `put_object` when
        it ends within 16 MiB, else the parts of one multipart upload (16 MiB each, one in memory), aborted
        when the stream, a part, the completion or Ctrl-C fails, so that the server keeps no part; typed by
        `get_mimora`; the byte count.
        """
    # Objects are "bucket/key"; per action the pairs are (source, target):
    # download (object, local file), upload (local file, object), copy (object,
    # object), read (object, None or (start, end)) -> bytes, size (object, None) -> int.
    def _transfer_many(
        self,
        action: Literal["download", "fetch", "upload", "copy", "read", "size"],
        pairs: Iterable[tuple[Any, Any]],
        *,
        return_exceptions: bool = False,
        report: Callable[[int], object] | None = None,
    ) -> list[Any]:
        """Each `(source, target)` pair (objects named `"bucket/key"`) as one task of the transfer pool, at
        most `workers` at once: `"download"` (object, local file) checked as `_download_file`'s, `"fetch"`
        (object, local file) by one request checked as `_download_stream`'s, into a temporary file beside
        the file (the library's `.part.minio` naming) moved onto it, its folder made, nothing left on
        failure, a folder as the target a `ValueError`, `"upload"` (local file, object) by `_upload_file`,
        `"copy"` (object, object) inside the server, `"read"` (object, `None`: its bytes checked as
        `_download_stream`'s; or `(start, end)`: that range), `"size"` (object, `None`); the results in the
        pairs' order. The first failure stops the rest and the earliest failed pair's exception is raised;
        `return_exceptions`: every pair runs and a failure is its result. `report(index)` as each pair is
        done.
        """
    # {folder: (sub-folders by name, objects by name)}, from one recursive listing.
    def _folder_tree(
        self, bucket_name: str, prefix: str = "", root: str = ""
    ) -> dict[str, tuple[dict[str, _TreeFolder], dict[str, _TreeFile]]]:
        """Every folder under the folder `prefix` from one recursive listing, as `{folder: (folders, files)}`:
        `folder` is `root` (then `/` and the path below `prefix`), `folders` maps sub-folder names to
        `{"name", "size": 0, "type": "directory"}`, `files` object names to `{"name", "size", "type":
        "file", "ETag", "LastModified"}`; a marker object `name/` is its folder and no file; `{}` when
        nothing is there. The file system's `find`, `walk`, `du` and `glob` are built on it.
        """
