"""The ``tavrin://`` file system for fsspec and the tools built on it.

``TavrinFileSystem`` maps fsspec's calls onto one ``TavrinOstrel`` and the
client library it drives, so pandas, pyarrow, dask, universal-pathlib and the
rest read and write the store by URL, through the client's SSH tunnel too::

    import pandas as pd
    opts = {"config": {"host": "storage.example", "port": 9000,
                       "user": "ACCESS", "password": "SECRET"}}
    frame = pd.read_parquet("tavrin://media/table.parquet", storage_options=opts)

Paths are ``bucket/key`` with or without ``tavrin://``; buckets are the
top-level folders and ``""`` lists them; folders are implied by ``/`` in object
names. The distribution registers the protocol through its ``fsspec.specs``
entry point, so ``fsspec.filesystem("tavrin", ...)`` needs no import of ours.
"""

from __future__ import annotations

import contextlib
import errno
import io
import os
import threading
from collections.abc import Callable, Iterator
from datetime import datetime
from typing import Any, Literal, Union, cast

from fsspec.spec import AbstractBufferedFile, AbstractFileSystem  # type: ignore[import-untyped]

from .ostrel import TavrinOstrel

__all__ = ["TavrinFileSystem", "TavrinFile"]

MiB = 1 << 20
# S3's smallest part but the last: a writer never buffers less.
MIN_PART = 5 * MiB

# The client library's header mappings.
_Headers = dict[str, Union[str, list[str], tuple[str]]]

# What one _transfer_many call does with each of its pairs.
_Action = Literal["download", "fetch", "upload", "copy", "read", "size"]

_MISSING = {"NoSuchKey", "NoSuchBucket", "NoSuchUpload", "ResourceNotFound"}
_DENIED = {"AccessDenied", "AllAccessDisabled", "InvalidAccessKeyId", "SignatureDoesNotMatch"}


@contextlib.contextmanager
def _errors(path: str, exists: str | None = None) -> Iterator[None]:
    """Turns the client library's S3Error into Python's own error, the S3Error
    as its cause: a missing object or bucket into FileNotFoundError, a refused
    request into PermissionError, and (where ``exists`` says so) a failed
    ``If-None-Match`` into FileExistsError. Other errors pass unchanged."""
    from minio.error import S3Error

    try:
        yield
    except S3Error as error:
        if error.code in _MISSING:
            raise FileNotFoundError(errno.ENOENT, f"{error.code}: {error.message}", path) from error
        if error.code in _DENIED:
            raise PermissionError(errno.EACCES, f"{error.code}: {error.message}", path) from error
        if exists is not None and error.code == "PreconditionFailed":
            raise FileExistsError(errno.EEXIST, exists, path) from error
        if error.code == "BucketNotEmpty":
            raise OSError(errno.ENOTEMPTY, f"{error.code}: {error.message}", path) from error
        raise


def _mapped(error: BaseException, path: str) -> BaseException:
    """``error`` as ``_errors`` turns it into Python's own, about ``path``."""
    try:
        with _errors(path):
            raise error
    except BaseException as mapped:  # noqa: BLE001 - handed back, not handled
        return mapped


def _first_failure(results: list[Any]) -> None:
    """Raises the first exception among ``results``, in their order."""
    for result in results:
        if isinstance(result, BaseException):
            raise result


def _folder(name: str) -> dict[str, Any]:
    return {"name": name, "size": 0, "type": "directory"}


def _file(name: str, size: int | None, etag: str | None, modified: datetime | None,
          content_type: str | None = None) -> dict[str, Any]:
    info = {"name": name, "size": size, "type": "file", "ETag": etag, "LastModified": modified}
    if content_type is not None:
        info["ContentType"] = content_type
    return info


class TavrinFileSystem(AbstractFileSystem):  # type: ignore[misc]
    """Buckets and objects of one store as a file system.

    ``config`` is the constructor mapping of ``TavrinOstrel`` (copied, so the
    caller's mapping is left as it was and equal arguments reuse one cached
    instance, one client and one tunnel); or ``profile`` and ``config_file``
    name a profile of the configuration file (``tavrin_minio.profiles``).
    ``location`` is the region new buckets are made in (the client's default
    when ``None``). ``block_size`` is the default of ``open``: the range size
    of reads and the part size of writes (at least 5 MiB for writes).
    """

    protocol = "tavrin"
    root_marker = ""

    def __init__(self, config: dict[str, Any] | None = None, *, profile: str | None = None,
                 config_file: str | os.PathLike[str] | None = None, location: str | None = None,
                 block_size: int | None = None, **storage_options: Any) -> None:
        super().__init__(**storage_options)
        if config is not None and (profile is not None or config_file is not None):
            raise ValueError("give either config or profile/config_file, not both")
        if config is None:
            import logging

            from .profiles import load_profile

            config = load_profile(profile, config_file, warn=logging.getLogger("tavrin_minio").warning)
        config = dict(config)
        if config.get("workers") is None:  # the many-file calls run on the transfer pool
            from .cli import DEFAULT_WORKERS

            config["workers"] = DEFAULT_WORKERS
        self.client = TavrinOstrel(config)
        self.client._connect()
        self._collecting = threading.local()
        self.location = location
        self.block_size = block_size or 5 * MiB

    # Paths

    @classmethod
    def _strip_protocol(cls, path: Any) -> Any:
        if isinstance(path, list):
            return [cls._strip_protocol(p) for p in path]
        path = str(path)
        if path.startswith("tavrin://"):
            path = path[len("tavrin://"):]
        return path.strip("/")

    def split_path(self, path: str) -> tuple[str, str]:
        """(bucket, key) of a path; the key is "" for a bucket or the root."""
        bucket, _, key = self._strip_protocol(path).partition("/")
        return bucket, key

    def unstrip_protocol(self, name: str) -> str:
        return f"tavrin://{name}"

    # Listings and information

    def ls(self, path: str, detail: bool = True, **kwargs: Any) -> list[Any]:
        path = self._strip_protocol(path)
        bucket, key = self.split_path(path)
        if not bucket:
            with _errors(path):
                entries = [_folder(b.name) for b in self.client._bucket_list()]
        else:
            prefix = f"{key}/" if key else ""
            with _errors(path):
                records = self.client._list_folder(bucket, prefix)
            entries = []
            for record in cast("list[dict[str, Any]]", records):
                # A marker object of the folder itself ("key/") is not an entry of it.
                if "prefix" in record:
                    if record["prefix"] != prefix:
                        entries.append(_folder(f"{bucket}/{record['prefix'][:-1]}"))
                elif record["key"] != prefix:
                    entries.append(_file(f"{bucket}/{record['key']}", record["size"], record["etag"],
                                         record["last_modified"]))
            if not records and key:
                info = self.info(path)  # a file lists as itself; nothing at all raises
                entries = [info] if info["type"] == "file" else []
        return entries if detail else [entry["name"] for entry in entries]

    def info(self, path: str, **kwargs: Any) -> dict[str, Any]:
        path = self._strip_protocol(path)
        bucket, key = self.split_path(path)
        if not bucket:
            return _folder("")
        engine = self.client._engine
        if not key:
            with _errors(path):
                if engine.bucket_exists(bucket):
                    return _folder(bucket)
            raise FileNotFoundError(errno.ENOENT, "bucket does not exist", path)
        from minio.error import S3Error

        try:
            stat = engine.stat_object(bucket, key)
            return _file(path, stat.size, stat.etag, stat.last_modified, stat.content_type)
        except S3Error as error:
            if error.code not in _MISSING:
                with _errors(path):
                    raise
            missing = error
        # A folder is a prefix with objects under it; one entry answers that.
        with _errors(path):
            for _ in engine.list_objects(bucket, prefix=f"{key}/", recursive=False):
                return _folder(path)
        raise FileNotFoundError(errno.ENOENT, "no such object or folder", path) from missing

    def isdir(self, path: str) -> bool:
        """A bucket that exists, or a name with objects under ``name/`` (also
        when an object has the name itself): one request."""
        path = self._strip_protocol(path)
        bucket, key = self.split_path(path)
        if not key:
            with _errors(path):
                return not bucket or bool(self.client._engine.bucket_exists(bucket))
        with _errors(path):
            for _ in self.client._engine.list_objects(bucket, prefix=f"{key}/", recursive=False):
                return True
        return False

    def find(self, path: str, maxdepth: int | None = None, withdirs: bool = False, detail: bool = False,
             **kwargs: Any) -> Any:
        """Every object (and with ``withdirs`` every folder) under ``path``, from
        one recursive listing; a path with nothing under it is looked up as
        ``info`` does (an object finds itself)."""
        path = self._strip_protocol(path)
        if maxdepth is not None and maxdepth < 1:
            raise ValueError("maxdepth must be at least 1")
        if not self.split_path(path)[0]:
            return super().find(path, maxdepth=maxdepth, withdirs=withdirs, detail=detail, **kwargs)
        tree = self._tree(path)
        found: dict[str, Any] = {}
        if tree is None:
            with contextlib.suppress(FileNotFoundError):
                info = self.info(path)
                if info["type"] == "file" or withdirs:
                    found[path] = info
        else:
            if withdirs:
                found[path] = _folder(path)
            for folder, (folders, files) in tree.items():
                depth = folder[len(path):].count("/") + 1
                if maxdepth is None or depth <= maxdepth:
                    found.update((info["name"], info) for info in files.values())
                    if withdirs:
                        found.update((info["name"], info) for info in folders.values())
        names = sorted(found)
        return {name: found[name] for name in names} if detail else names

    def du(self, path: str, total: bool = True, maxdepth: int | None = None, withdirs: bool = False,
           **kwargs: Any) -> Any:
        """The sizes of what ``find`` lists (one listing), summed with ``total``."""
        sizes = {name: info["size"] or 0
                 for name, info in self.find(path, maxdepth=maxdepth, withdirs=withdirs, detail=True).items()}
        return sum(sizes.values()) if total else sizes

    def _tree(self, path: str) -> dict[str, tuple[dict[str, Any], dict[str, Any]]] | None:
        """Every folder under ``path`` with its (folders, files) entries, from
        one recursive listing (``_folder_tree``); None when nothing is under it."""
        bucket, key = self.split_path(path)
        with _errors(path):
            tree = self.client._folder_tree(bucket, key, path)
        return tree or None

    def walk(self, path: str, maxdepth: int | None = None, topdown: bool = True, on_error: str = "omit",
             **kwargs: Any) -> Iterator[Any]:
        if maxdepth is not None and maxdepth < 1:
            raise ValueError("maxdepth must be at least 1")
        path = self._strip_protocol(path)
        tree = None
        if self.split_path(path)[0]:
            try:
                tree = self._tree(path)
            except FileNotFoundError as error:
                if callable(on_error):
                    on_error(error)
                elif on_error == "raise":
                    raise
                return
        if tree is None:  # the buckets, a single file, or nothing
            yield from super().walk(path, maxdepth=maxdepth, topdown=topdown, on_error=on_error, **kwargs)
            return
        detail = kwargs.get("detail", False)

        def visit(folder: str, depth: int | None) -> Iterator[Any]:
            folders, files = tree[folder]
            folders, files = dict(folders), dict(files)
            shown: Any = (folders, files) if detail else (list(folders), list(files))
            if topdown:
                yield folder, *shown
            if depth is None or depth > 1:
                # With topdown, the caller may have pruned the folders it was given.
                for name in list(shown[0]):
                    yield from visit(f"{folder}/{name}", None if depth is None else depth - 1)
            if not topdown:
                yield folder, *shown

        yield from visit(path, maxdepth)

    def checksum(self, path: str) -> int:
        from fsspec.utils import tokenize  # type: ignore[import-untyped]

        return int(tokenize(self.ukey(path)), 16)

    def ukey(self, path: str) -> str:
        info = self.info(path)
        if info["type"] != "file":
            raise IsADirectoryError(errno.EISDIR, "not an object", path)
        return str(info["ETag"]).strip('"')

    def modified(self, path: str) -> datetime:
        info = self.info(path)
        if info["type"] != "file":
            raise IsADirectoryError(errno.EISDIR, "a folder has no modification time", path)
        return cast(datetime, info["LastModified"])

    # Reading

    def cat_file(self, path: str, start: int | None = None, end: int | None = None, **kwargs: Any) -> bytes:
        path = self._strip_protocol(path)
        bucket, key = self.split_path(path)
        if (start is not None and start < 0) or (end is not None and end < 0):
            size = self.info(path)["size"]
            start = None if start is None else max(size + start, 0) if start < 0 else start
            end = None if end is None else max(size + end, 0) if end < 0 else end
        return self._get_range(path, start or 0, end)

    def _get_range(self, path: str, start: int, end: int | None, etag: str | None = None) -> bytes:
        """Bytes [start, end) of an object (to its end when ``end`` is None) by
        one get_object; with ``etag``, only from that version of it."""
        from minio.error import S3Error

        if end is not None and end <= start:
            return b""
        bucket, key = self.split_path(path)
        headers: _Headers | None = {"If-Match": etag} if etag else None
        try:
            with _errors(path):
                response = self.client._engine.get_object(bucket, key, offset=start,
                                                          length=0 if end is None else end - start,
                                                          request_headers=headers)
        except S3Error as error:
            if error.code == "InvalidRange":  # starts at or past the end
                return b""
            raise
        try:
            return response.read()
        finally:
            response.close()
            response.release_conn()

    # Many files at once: the pairs fsspec's loops make are collected, then
    # sent as one _transfer_many call on the client's transfer pool.

    def _many(self, action: _Action, pairs: list[tuple[Any, Any]], remote: int = 0,
              report: Callable[[int], object] | None = None) -> list[Any]:
        """The results of ``pairs`` in their order, a failed pair's exception
        (mapped as ``_errors`` maps it, about the pair's ``remote`` side) in
        its place. A side that names a bucket alone fails without a request."""
        results: list[Any] = [None] * len(pairs)
        sent = []
        for index, pair in enumerate(pairs):
            if all(self.split_path(pair[side])[1] for side in ((0, 1) if action == "copy" else (remote,))):
                sent.append(index)
            else:
                results[index] = IsADirectoryError(errno.EISDIR, "a bucket is a folder, not an object",
                                                   pair[remote])
        done = self.client._transfer_many(action, [(self._object(pairs[i], 0, action, remote),
                                                    self._object(pairs[i], 1, action, remote)) for i in sent],
                                          return_exceptions=True,
                                          report=None if report is None else lambda i: report(sent[i]))
        for index, result in zip(sent, done):
            results[index] = _mapped(result, pairs[index][remote]) if isinstance(result, BaseException) else result
        return results

    def _object(self, pair: tuple[Any, Any], side: int, action: str, remote: int) -> Any:
        remote_side = side == remote or action == "copy"
        return self._strip_protocol(pair[side]) if remote_side else pair[side]

    @contextlib.contextmanager
    def _collected(self) -> Iterator[list[tuple[str, str]]]:
        """While it lasts, get_file, put_file and cp_file on this thread add
        their (source, target) pair to the list it gives instead of moving it."""
        pairs: list[tuple[str, str]] = []
        self._collecting.pairs = pairs
        try:
            yield pairs
        finally:
            self._collecting.pairs = None

    def _collect(self, source: str, target: str) -> bool:
        pairs = getattr(self._collecting, "pairs", None)
        if pairs is not None:
            pairs.append((source, target))
        return pairs is not None

    def get(self, rpath: Any, lpath: Any, recursive: bool = False, callback: Any = None,
            maxdepth: int | None = None, **kwargs: Any) -> None:
        """Downloads the objects (a list, a glob, or a folder with ``recursive``)
        on the transfer pool: one object by ``_download_file``, many by one
        request each, checked as ``_download_stream`` checks; every one is
        tried, then the first failure in the order of the paths is raised.
        ``callback`` counts the files."""
        with self._collected() as pairs:
            super().get(rpath, lpath, recursive=recursive, maxdepth=maxdepth, **kwargs)
        # One file: _download_file (ranges for a big object). Many: one
        # checked request each, the pool's threads working on many files.
        results = self._run_collected("download" if len(pairs) == 1 else "fetch", pairs, callback)
        for (source, target), result in zip(pairs, results):
            # A folder of a recursive get: not an object (or, once a file under
            # it made the local folder, not a file to write).
            if isinstance(result, (FileNotFoundError, ValueError)) and self.isdir(source):
                os.makedirs(target, exist_ok=True)
            elif isinstance(result, BaseException):
                raise result

    def put(self, lpath: Any, rpath: Any, recursive: bool = False, callback: Any = None,
            maxdepth: int | None = None, **kwargs: Any) -> None:
        """Uploads the files (a list, a glob, or a folder with ``recursive``)
        on the transfer pool by ``_upload_file``; every one is tried, then the
        first failure in the order of the paths is raised. ``callback`` counts
        the files."""
        with self._collected() as pairs:
            super().put(lpath, rpath, recursive=recursive, maxdepth=maxdepth, **kwargs)
        _first_failure(self._run_collected("upload", pairs, callback, remote=1))

    def _run_collected(self, action: _Action, pairs: list[tuple[str, str]], callback: Any,
                       remote: int = 0) -> list[Any]:
        if callback is None:
            return self._many(action, pairs, remote)
        callback.set_size(len(pairs))
        return self._many(action, pairs, remote, report=lambda _: callback.relative_update(1))

    def copy(self, path1: Any, path2: Any, recursive: bool = False, maxdepth: int | None = None,
             on_error: str | None = None, **kwargs: Any) -> None:
        """Copies inside the server, the objects on the transfer pool. A
        missing source is raised (``on_error="raise"``, the default unless
        ``recursive``) or skipped (``"ignore"``); other failures are raised,
        the first in the order of the paths."""
        on_error = on_error or ("ignore" if recursive else "raise")
        with self._collected() as pairs:
            super().copy(path1, path2, recursive=recursive, maxdepth=maxdepth, on_error=on_error, **kwargs)
        for (source, _), result in zip(pairs, self._many("copy", pairs)):
            if isinstance(result, FileNotFoundError) and (on_error == "ignore" or self.isdir(source)):
                continue  # a folder is copied by copying what is in it
            if isinstance(result, BaseException):
                raise result

    def cat(self, path: Any, recursive: bool = False, on_error: str = "raise", **kwargs: Any) -> Any:
        """The bytes of one object, or {path: bytes} of many, read on the
        transfer pool (whole objects checked as ``_download_stream`` checks).
        ``on_error``: "raise" the first failure in path order, "omit" the
        failed paths, or "return" their exceptions as their values."""
        paths = self.expand_path(path, recursive=recursive)
        if len(paths) == 1 and not isinstance(path, list) and paths[0] == self._strip_protocol(path):
            return self.cat_file(paths[0], **kwargs)
        start, end = kwargs.pop("start", None), kwargs.pop("end", None)
        if start is None and end is None:
            values = self._many("read", [(p, None) for p in paths])
        else:
            values = self.cat_ranges(paths, start, end, on_error="return")
        if on_error == "raise":
            _first_failure(values)
        return {p: v for p, v in zip(paths, values) if on_error == "return" or not isinstance(v, BaseException)}

    def cat_ranges(self, paths: list[str], starts: Any, ends: Any, max_gap: int | None = None,
                   on_error: str = "return", **kwargs: Any) -> list[Any]:
        """The bytes [start, end) of each path, on the transfer pool; a
        negative offset counts from the object's end. With ``on_error="return"``
        a failed range's exception is its value, else the first is raised."""
        if max_gap is not None:
            raise NotImplementedError("max_gap: each range is one request")
        if not isinstance(paths, list):
            raise TypeError("paths must be a list")
        starts = starts if isinstance(starts, list) else [starts] * len(paths)
        ends = ends if isinstance(ends, list) else [ends] * len(paths)
        if len(starts) != len(paths) or len(ends) != len(paths):
            raise ValueError("paths, starts and ends must be of the same length")
        tails = [i for i, (s, e) in enumerate(zip(starts, ends)) if (s or 0) < 0 or (e or 0) < 0]
        sizes = dict(zip(tails, self._many("size", [(paths[i], None) for i in tails])))
        values: list[Any] = [None] * len(paths)
        ranges = []
        for i, (start, end) in enumerate(zip(starts, ends)):
            size = sizes.get(i)
            if isinstance(size, BaseException):
                values[i] = size
                continue
            if size is not None:
                start = None if start is None else max(size + start, 0) if start < 0 else start
                end = None if end is None else max(size + end, 0) if end < 0 else end
            ranges.append((i, (paths[i], (start, end))))
        for (i, _), value in zip(ranges, self._many("read", [pair for _, pair in ranges])):
            values[i] = value
        if on_error != "return":
            _first_failure(values)
        return values

    def sizes(self, paths: list[str]) -> list[int | None]:
        """The size of each object, asked on the transfer pool; the first
        failure in path order is raised."""
        paths = [self._strip_protocol(p) for p in paths]
        values = self._many("size", [(p, None) for p in paths])
        _first_failure(values)
        return values

    # Writing

    def pipe(self, path: Any, value: Any = None, **kwargs: Any) -> None:
        # fsspec's own strips the names first: a trailing "/" must reach pipe_file.
        items = path.items() if isinstance(path, dict) else [(path, value)]
        for name, data in items:
            self.pipe_file(name, data, **kwargs)

    def pipe_file(self, path: str, value: bytes, mode: str = "overwrite", **kwargs: Any) -> None:
        """Stores ``value`` by one PUT; a name ending in "/" is a folder marker
        (its slash kept); inside a transaction, at the transaction's end."""
        marker = str(path).endswith("/")
        path = self._strip_protocol(path)
        bucket, key = self.split_path(path)
        if mode == "create" or self._intrans:
            with self.open(path, "xb" if mode == "create" else "wb") as file:
                file.key += "/" if marker else ""
                file.write(value)
            return
        if marker and key:
            key += "/"
        from .mimora import get_mimora

        with _errors(path):
            self.client._engine.put_object(bucket, key, io.BytesIO(value), len(value),
                                           content_type=get_mimora(key))

    def put_file(self, lpath: str, rpath: str, callback: Any = None, mode: str = "overwrite",
                 **kwargs: Any) -> None:
        rpath = self._strip_protocol(rpath)
        if os.path.isdir(lpath):
            self.makedirs(rpath, exist_ok=True)
            return
        if mode == "create" and self.exists(rpath):
            raise FileExistsError(errno.EEXIST, "object exists", rpath)
        bucket, key = self.split_path(rpath)
        if not key:
            raise IsADirectoryError(errno.EISDIR, "a file needs a name inside the bucket", rpath)
        if self._collect(os.fspath(lpath), rpath):
            return
        size = os.path.getsize(lpath)
        if callback is not None:
            callback.set_size(size)
        with _errors(rpath):
            self.client._upload_file(bucket, key, lpath)
        if callback is not None:
            callback.relative_update(size)

    def get_file(self, rpath: str, lpath: str, callback: Any = None, outfile: Any = None,
                 **kwargs: Any) -> None:
        rpath = self._strip_protocol(rpath)
        bucket, key = self.split_path(rpath)
        if outfile is not None:  # a file object: its bytes by ranges of the read file
            with self.open(rpath, "rb") as source:
                while chunk := source.read(self.block_size):
                    outfile.write(chunk)
            return
        lpath = os.fspath(lpath)
        if os.path.isdir(lpath) and self.isdir(rpath):
            return
        if key and self._collect(rpath, lpath):
            return
        try:
            if not key:
                raise FileNotFoundError(errno.ENOENT, "a bucket is a folder", rpath)
            with _errors(rpath):
                self.client._download_file(bucket, key, lpath)
        except FileNotFoundError:
            if not self.isdir(rpath):
                raise
            os.makedirs(lpath, exist_ok=True)

    def cp_file(self, path1: str, path2: str, **kwargs: Any) -> None:
        from minio.commonconfig import CopySource

        path1, path2 = self._strip_protocol(path1), self._strip_protocol(path2)
        (bucket1, key1), (bucket2, key2) = self.split_path(path1), self.split_path(path2)
        if key1 and key2 and self._collect(path1, path2):
            return
        try:
            if not key1:
                raise FileNotFoundError(errno.ENOENT, "a bucket is a folder", path1)
            # Inside the server; the client library composes parts above 5 GiB.
            with _errors(path1):
                self.client._engine.copy_object(bucket2, key2, CopySource(bucket1, key1))
        except FileNotFoundError:
            if not self.isdir(path1):  # a folder is copied by copying what is in it
                raise

    # Removal and buckets

    def rm_file(self, path: str) -> None:
        path = self._strip_protocol(path)
        bucket, key = self.split_path(path)
        with _errors(path):
            self.client._remove_object(bucket, key)

    def rm(self, path: Any, recursive: bool = False, maxdepth: int | None = None) -> None:
        names = self.expand_path(path, recursive=recursive, maxdepth=maxdepth)
        keys: dict[str, list[str]] = {}
        buckets = []
        for name in names:
            bucket, key = self.split_path(name)
            if not key:
                buckets.append(bucket)
                continue
            keys.setdefault(bucket, []).append(key)
            if recursive:  # a folder's marker object, where another tool made one
                keys[bucket].append(f"{key}/")
        for bucket, batch in keys.items():
            with _errors(bucket):
                self.client._remove_objects(bucket, batch)
        for bucket in buckets if recursive else ():
            self.rmdir(bucket)

    def touch(self, path: str, truncate: bool = True, **kwargs: Any) -> None:
        if str(path).endswith("/"):
            self.pipe_file(path, b"")  # a folder marker
        else:
            super().touch(path, truncate=truncate, **kwargs)

    def mkdir(self, path: str, create_parents: bool = True, **kwargs: Any) -> None:
        marker = str(path).endswith("/")
        path = self._strip_protocol(path)
        bucket, key = self.split_path(path)
        if key:
            if marker:  # "name/" asks for a marker object; else folders are implied
                self.pipe_file(f"{path}/", b"")
            return
        with _errors(path):
            made = (self.client._create_bucket(bucket) if self.location is None
                    else self.client._create_bucket(bucket, self.location))
        if not made:
            raise FileExistsError(errno.EEXIST, "bucket exists", path)

    def makedirs(self, path: str, exist_ok: bool = False) -> None:
        path = self._strip_protocol(path)
        bucket, key = self.split_path(path)
        if key:
            return
        with _errors(path):
            if exist_ok and self.client._engine.bucket_exists(bucket):
                return
        self.mkdir(bucket)

    def rmdir(self, path: str) -> None:
        path = self._strip_protocol(path)
        bucket, key = self.split_path(path)
        if key:
            return  # a folder goes with its last object
        with _errors(path):
            removed = self.client._remove_bucket(bucket)
        if not removed:
            raise FileNotFoundError(errno.ENOENT, "bucket does not exist", path)

    # Files

    def _open(self, path: str, mode: str = "rb", block_size: int | None = None, autocommit: bool = True,
              cache_options: dict[str, Any] | None = None, **kwargs: Any) -> TavrinFile:
        return TavrinFile(self, path, mode, block_size=block_size or self.block_size, autocommit=autocommit,
                          cache_options=cache_options, **kwargs)


class TavrinFile(AbstractBufferedFile):  # type: ignore[misc]
    """An object opened for reading by ranges or writing by parts.

    Reading (``"rb"``) fetches ranges of ``block_size`` with ``If-Match`` on
    the ETag seen at open, so an object replaced meanwhile fails the read
    rather than mixing versions. Writing (``"wb"``, ``"xb"``, ``"ab"``)
    buffers ``block_size`` bytes (at least 5 MiB) and sends each full block as
    a part of one multipart upload; a file that never fills one block is one
    PUT. ``"xb"`` refuses an existing object at open and sends
    ``If-None-Match: *`` with the final write. ``"ab"`` writes after what the
    object holds: an object of 5 MiB or more becomes the first part by a copy
    inside the server, a smaller one is read and sent again ahead of the new
    bytes, and a missing one makes ``"ab"`` a ``"wb"``. An exception inside
    ``with``, ``discard()``, or a file dropped unclosed aborts the upload:
    nothing is stored. Inside a transaction (``autocommit=False``) the final
    write waits for ``commit()``.
    """

    fs: TavrinFileSystem
    buffer: io.BytesIO
    offset: int

    def __init__(self, fs: TavrinFileSystem, path: str, mode: str = "rb", block_size: int = 5 * MiB,
                 **kwargs: Any) -> None:
        path = fs._strip_protocol(path)
        self.bucket, self.key = fs.split_path(path)
        if mode not in ("rb", "wb", "xb", "ab"):
            raise ValueError(f"mode {mode!r} is not supported: objects are read ('rb'), written whole "
                             "('wb', 'xb') or appended to ('ab')")
        if not self.key:
            raise IsADirectoryError(errno.EISDIR, "a bucket is a folder", path)
        if mode != "rb":
            block_size = max(block_size, MIN_PART)
            if mode == "xb" and fs.exists(path):
                raise FileExistsError(errno.EEXIST, "object exists", path)
        self.upload_id: str | None = None
        self.parts: list[Any] = []
        self.deferred: bytes | None = None  # the one PUT a transaction's commit() sends
        self.appended: dict[str, Any] | None = None  # the object "ab" writes after
        super().__init__(fs, path, mode, block_size=block_size, **kwargs)
        if mode == "rb" and self.details.get("type") != "file":
            raise IsADirectoryError(errno.EISDIR, "a folder is not an object", path)
        if mode == "ab":
            self._start_append(path)

    def _start_append(self, path: str) -> None:
        try:
            info = self.fs.info(path)
        except FileNotFoundError:
            return  # nothing to append to: written as "wb"
        if info["type"] != "file":
            raise IsADirectoryError(errno.EISDIR, "a folder is not an object", path)
        if info["size"] >= MIN_PART:
            self.appended = info  # the first part, copied inside the server
        else:
            self.buffer.write(self.fs._get_range(path, 0, None, info["ETag"]))
        self.loc = info["size"]

    def _fetch_range(self, start: int, end: int) -> bytes:
        return self.fs._get_range(self.path, start, end, self.details.get("ETag"))

    def _initiate_upload(self) -> None:
        """Nothing yet: the upload in parts starts with the first full block."""

    def _headers(self, create: bool) -> _Headers:
        from .mimora import get_mimora

        headers: _Headers = {"Content-Type": get_mimora(self.key)}
        if create and self.mode == "xb":
            headers["If-None-Match"] = "*"
        return headers

    def _upload_chunk(self, final: bool = False) -> bool:
        data = self.buffer.getvalue()
        if final and self.upload_id is None and self.appended is None:
            self.deferred = data
            if self.autocommit:
                self.commit()
            return True
        if self.upload_id is None:
            self._create_upload()
        engine = self.fs.client._engine
        from minio.datatypes import Part

        sent = 0
        while len(data) - sent >= self.blocksize or (final and sent < len(data)):
            block = data[sent:sent + self.blocksize] if not final else data[sent:]
            with _errors(self.path):
                etag = engine._upload_part(self.bucket, self.key, block, None, cast(str, self.upload_id),
                                           len(self.parts) + 1)
            self.parts.append(Part(len(self.parts) + 1, etag))
            sent += len(block)
        if final:
            if self.autocommit:
                self.commit()
            return True
        # Keep what did not fill a block for the next call.
        self.buffer = io.BytesIO()
        self.buffer.write(data[sent:])
        self.offset += sent
        return False

    def _create_upload(self) -> None:
        """Starts the upload in parts; an object appended to is its first
        parts, copied inside the server (5 GiB at most a part)."""
        from minio.commonconfig import CopySource
        from minio.datatypes import Part

        engine = self.fs.client._engine
        with _errors(self.path):
            self.upload_id = upload_id = engine._create_multipart_upload(self.bucket, self.key, self._headers(False))
        if self.appended is None:
            return
        size, etag = self.appended["size"], self.appended["ETag"]
        for offset in range(0, size, 5 << 30):
            source = CopySource(self.bucket, self.key, offset=offset, length=min(5 << 30, size - offset),
                                match_etag=etag)
            with _errors(self.path):
                headers: _Headers = dict(source.gen_copy_headers())
                copied, _ = engine._upload_part_copy(self.bucket, self.key, upload_id, len(self.parts) + 1,
                                                     headers)
            self.parts.append(Part(len(self.parts) + 1, copied))

    def commit(self) -> None:
        """Stores what was written: the one PUT, or the completion of the
        upload in parts. Called at close, or by the transaction's end."""
        exists = "object was created meanwhile"
        if self.deferred is not None:
            data, self.deferred = self.deferred, None
            with _errors(self.path, exists):
                self.fs.client._engine._put_object(self.bucket, self.key, data, headers=self._headers(True))
        elif self.upload_id is not None:
            try:
                with _errors(self.path, exists):
                    self._complete()
            except BaseException:
                self.discard()
                raise
            self.upload_id = None

    def _complete(self) -> None:
        engine = self.fs.client._engine
        upload_id = cast(str, self.upload_id)
        if self.mode != "xb":
            engine._complete_multipart_upload(self.bucket, self.key, upload_id, self.parts)
            return
        # The client library's CompleteMultipartUpload request with If-None-Match.
        from minio.helpers import md5sum_hash
        from minio.xml import Element, SubElement, getbytes

        element = Element("CompleteMultipartUpload")
        for part in self.parts:
            tag = SubElement(element, "Part")
            SubElement(tag, "PartNumber", str(part.part_number))
            SubElement(tag, "ETag", f'"{part.etag}"')
        body = getbytes(element)
        headers: _Headers = {"Content-Type": "application/xml", "Content-MD5": cast(str, md5sum_hash(body)),
                             "If-None-Match": "*"}
        engine._execute("POST", self.bucket, self.key, body=body, headers=headers, query_params={"uploadId": upload_id})

    def flush(self, force: bool = False) -> None:
        try:
            super().flush(force)
        except BaseException:
            if self.upload_id is not None and not self.closed:
                self.discard()
            raise

    def discard(self) -> None:
        """Drops what was written: aborts the upload in parts, stores nothing."""
        upload_id, self.upload_id = self.upload_id, None
        self.buffer = io.BytesIO()
        self.deferred = None
        self.closed = True
        if upload_id is not None:
            with _errors(self.path):
                self.fs.client._engine._abort_multipart_upload(self.bucket, self.key, upload_id)

    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        if exc_type is not None and self.mode != "rb" and not self.closed:
            self.discard()
        else:
            self.close()

    def __del__(self) -> None:
        # A writer dropped without close() was not finished: store nothing.
        if not self.closed and self.mode != "rb":
            with contextlib.suppress(Exception):
                self.discard()
        elif not self.closed:
            self.close()
