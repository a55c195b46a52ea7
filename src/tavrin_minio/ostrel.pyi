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
    _log: TavrinLog
    # A TavrinVar, or what TavrinSSH.connect() returned when a tunnel is open.
    _config: TavrinVar
    _params_dict: dict[str, _SchemaEntry]
    _default_params: dict[str, None]
    _engine: minio.Minio

    # The configuration mapping: host, port, user, password, secure, the ssh_*
    # keys, the optional timeout, workers, progress (None, a bool, or a
    # callable taking tavrin_minio.Progress records) and skip_unchanged, and
    # any further keys. Missing ssh_* keys are added to it.
    # verify (None, True or False): downloads are checked against the
    # object's ETag unless False; tavrin_minio.IntegrityError when the
    # content keeps arriving corrupted.
    # digest_cache (None, True, False or the path of a file): where the
    # digests of local files are kept by file identity; False for none.
    def __init__(self, config: MutableMapping[str, Any]) -> None: ...
    def _cleanse_params(self, config: MutableMapping[str, Any]) -> None: ...
    def _set_params_dict(self) -> None: ...
    def _set_default_params(self) -> None: ...
    def _connect(self) -> None: ...
    def _create_bucket(self, bucket_name: str, location: str = "cn-north-1", object_lock: bool = False) -> bool: ...
    def _remove_bucket(self, bucket_name: str) -> bool: ...
    def _bucket_list(self) -> list[Bucket]: ...
    def _bucket_list_files(self, bucket_name: str, prefix: str = "") -> list[_ObjectRecord]: ...
    # One level under the prefix ("/" as delimiter): objects as records, and
    # folders as records whose name ends in "/" and whose other values are None.
    def _bucket_policy(self, bucket_name: str) -> str | None: ...
    # data: the path of a local file, bytes, or any value stored by its str().
    def _upload_flow(self, bucket_name: str, object_name: str, data: FileDescriptorOrPath) -> None: ...
    def _upload_file(self, bucket_name: str, object_name: str, file_name: StrPath, parallel: int = 3) -> None: ...
    def _upload_dir(self, bucket_name: str, dir_path: str, parallel: int = 3, base_dir: str | None = None) -> None: ...
    def _download_flow(self, bucket_name: str, object_name: str) -> str: ...
    def _download_file(self, bucket_name: str, object_name: str, file_name: str) -> Literal[True]: ...
    def _download_dir(self, bucket_name: str, object_path: str, dir_path: str) -> None: ...
    def _remove_object(self, bucket_name: str, object_name: str) -> None: ...
    def _remove_objects(self, bucket_name: str, object_list: Iterable[str]) -> None: ...
    def _get_url(self, bucket: str, object_name: str, days: float = 7) -> str: ...
    def _list_folder(
        self, bucket_name: str, prefix: str = "", *, recursive: bool = False, wildcard: bool = False
    ) -> list[_ListedObject | _ListedFolder]: ...
    def _folder_usage(self, bucket_name: str, prefix: str = "", *, wildcard: bool = False) -> _FolderUsage: ...
    def _stat_object(self, bucket_name: str, object_name: str) -> _ObjectStat: ...
    def _copy_object(
        self, source_bucket: str, source_name: str, bucket_name: str, object_name: str, *, move: bool = False
    ) -> int | None: ...
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
    ) -> list[_TransferRecord]: ...
    def _move_file_up(self, bucket_name: str, object_name: str, file_path: StrPath) -> int: ...
    def _move_tree_up(
        self,
        bucket_name: str,
        dir_path: StrPath,
        prefix: str = "",
        *,
        filters: _Filters | None = None,
        report: Callable[[_TransferRecord], object] | None = None,
    ) -> list[_TransferRecord]: ...
    def _move_tree_down(
        self,
        bucket_name: str,
        prefix: str,
        dir_path: StrPath,
        *,
        filters: _Filters | None = None,
        wildcard: bool = False,
        report: Callable[[_TransferRecord], object] | None = None,
    ) -> list[_TransferRecord]: ...
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
    ) -> list[_TransferRecord]: ...
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
    ) -> list[_TransferRecord]: ...
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
    ) -> list[_TransferRecord]: ...
    def _download_stream(self, bucket_name: str, object_name: str, stream: SupportsWrite[bytes]) -> int: ...
    def _upload_stream(self, bucket_name: str, object_name: str, stream: SupportsRead[bytes]) -> int: ...
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
    ) -> list[Any]: ...
    # {folder: (sub-folders by name, objects by name)}, from one recursive listing.
    def _folder_tree(
        self, bucket_name: str, prefix: str = "", root: str = ""
    ) -> dict[str, tuple[dict[str, _TreeFolder], dict[str, _TreeFile]]]: ...
