"""Client for S3-compatible object storage: the TavrinOstrel class."""

import io as io
import os as os
from _typeshed import FileDescriptorOrPath, StrPath, SupportsWrite
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
class _TransferRecord(TypedDict):
    """What a tree transfer did (or, in a dry run, would do) with one file or object.

    Remote sides are ``s3://bucket/key``, local sides the path; ``source`` is
    None for a deletion (also a failed one, action "skip"), ``target`` None for a
    file or object the transfer skipped with a warning.
    """

    action: Literal["upload", "download", "delete", "skip"]
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
        self, bucket_name: str, prefix: str = "", *, recursive: bool = False
    ) -> list[_ListedObject | _ListedFolder]: ...
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
    ) -> list[_TransferRecord]: ...
    def _remove_tree(
        self,
        bucket_name: str,
        prefix: str,
        *,
        exclude: Iterable[str] | None = None,
        dry_run: bool = False,
        report: Callable[[_TransferRecord], object] | None = None,
    ) -> list[_TransferRecord]: ...
    def _download_stream(self, bucket_name: str, object_name: str, stream: SupportsWrite[bytes]) -> int: ...
