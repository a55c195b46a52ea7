"""The ``tavrin-minio`` command: everyday transfers over a profile of the configuration file.

    tavrin-minio [global options] COMMAND [options] ...

Commands: ``ls``, ``mb``, ``rb``, ``cp``, ``mv``, ``sync``, ``rm``, ``cat``, ``url``,
``stat``, ``du``.
The connection comes from a profile of a TOML file (``tavrin_minio.profiles``);
secrets never go on the command line. This module parses, maps each command
to one call of ``TavrinOstrel`` and prints: the walks, listings, comparison,
selection and deletion run in the native client. ``--help`` and ``--version``
import nothing of the client (nor ``minio``).

Exit status: 0 done; 1 an operation failed, or an object or file could not be
transferred; 2 bad usage or configuration; 130 interrupted (Ctrl-C).
"""

from __future__ import annotations

import argparse
import gc
import math
import os
import sys
import time
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, Callable, NoReturn

if TYPE_CHECKING:
    from .ostrel import TavrinOstrel

__all__ = ["DEFAULT_WORKERS", "main", "run"]

PROG = "tavrin-minio"
# Transfer threads when neither --workers nor the profile gives a number: the
# tree transfers of many small files wait on round trips, not on bandwidth.
DEFAULT_WORKERS = 16
MAX_WORKERS = 256
SCHEME = "s3://"
STREAM = "-"  # cp's standard input or output


class UsageError(Exception):
    """Bad usage or configuration: exit status 2."""


class Failed(Exception):
    """An operation failed in a way already reported: exit status 1."""


def _workers(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if not 1 <= value <= MAX_WORKERS:
        raise argparse.ArgumentTypeError(f"must be an integer from 1 to {MAX_WORKERS}, not {text!r}")
    return value


def _days(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0 < value <= 7:
        raise argparse.ArgumentTypeError(f"must be a number of days above 0 and at most 7, not {text!r}")
    return value


def _global_options(parser: argparse.ArgumentParser, suppress: bool) -> None:
    """The options accepted before or after the command. On a sub-command's
    parser their defaults are suppressed, so a value given before the command
    is not overwritten."""

    def default(value: Any) -> Any:
        return argparse.SUPPRESS if suppress else value

    group = parser.add_argument_group("global options")
    group.add_argument("--config", metavar="PATH", default=default(None),
                       help="the configuration file (default: $TAVRIN_MINIO_CONFIG, else config.toml "
                            "in the user's configuration folder)")
    group.add_argument("--profile", metavar="NAME", default=default(None),
                       help="the profile, a table of the file (default: $TAVRIN_MINIO_PROFILE, else 'default')")
    group.add_argument("--workers", metavar="N", type=_workers, default=default(None),
                       help=f"transfer threads (default: the profile's, else {DEFAULT_WORKERS})")
    group.add_argument("--quiet", action="store_true", default=default(False),
                       help="no progress bar and no line per transferred file")
    group.add_argument("--progress", action="store_true", default=default(False),
                       help="a progress bar on standard error even when it is not a terminal")
    group.add_argument("--debug", action="store_true", default=default(False),
                       help="a traceback with each error")
    if not suppress:  # the commands that print records take it after the command too
        group.add_argument("--json", action="store_true", default=False,
                           help="one JSON object per line (ls, cp, sync)")
    group.add_argument("--version", action="version", version=f"%(prog)s {_version()}")


def _version() -> str:
    from . import __version__

    return __version__


def _json_option(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("--json", action="store_true", default=argparse.SUPPRESS, help="one JSON object per line")


def _exclude_option(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("--exclude", metavar="PATTERN", dest="filters", action="append", type=_rule("exclude"),
                     default=[],
                     help="leave out paths matching PATTERN (repeatable): without '/' any file or folder "
                          "name, with '/' the path from the folder; a trailing '/' matches folders only; "
                          "'*' and '?' stay within a name, '**' crosses folders")
    sub.add_argument("--include", metavar="PATTERN", dest="filters", action="append", type=_rule("include"),
                     help="take paths matching PATTERN back in (repeatable): the last --exclude or "
                          "--include that matches a file decides, by its whole path")


def _dry_run_option(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("--dry-run", action="store_true", help="print what would be done, change nothing")


def _ls_arguments(ls: argparse.ArgumentParser) -> None:
    ls.add_argument("path", nargs="?", metavar="s3://BUCKET[/PREFIX]")
    ls.add_argument("-r", "--recursive", action="store_true", help="every object at every depth")
    ls.add_argument("-H", "--human-readable", dest="human", action="store_true", help="sizes in KiB, MiB, GiB...")
    ls.add_argument("--summarize", action="store_true", help="a last line with the number of objects and their total")
    _json_option(ls)


def _mb_arguments(mb: argparse.ArgumentParser) -> None:
    mb.add_argument("path", metavar="s3://BUCKET")
    mb.add_argument("--location", help="the bucket's region (default: the client's, cn-north-1)")
    _dry_run_option(mb)


def _rb_arguments(rb: argparse.ArgumentParser) -> None:
    rb.add_argument("path", metavar="s3://BUCKET")
    rb.add_argument("--force", action="store_true", help="remove every object of the bucket, then the bucket")
    _dry_run_option(rb)


def _copy_arguments(move: argparse.ArgumentParser) -> None:
    move.add_argument("source", metavar="SOURCE")
    move.add_argument("target", metavar="TARGET")
    move.add_argument("-r", "--recursive", action="store_true", help="a folder at every depth")
    _exclude_option(move)
    _dry_run_option(move)
    _json_option(move)


def _sync_arguments(sync: argparse.ArgumentParser) -> None:
    sync.add_argument("source", metavar="SOURCE")
    sync.add_argument("target", metavar="TARGET")
    _exclude_option(sync)
    sync.add_argument("--delete", action="store_true",
                      help="remove at the target what the source lacks, once every transfer succeeded")
    _dry_run_option(sync)
    sync.add_argument("--size-only", action="store_true",
                      help="compare sizes alone, for trees whose modification times are not kept")
    _json_option(sync)


def _rm_arguments(rm: argparse.ArgumentParser) -> None:
    rm.add_argument("path", metavar="s3://BUCKET/KEY")
    rm.add_argument("-r", "--recursive", action="store_true", help="every object under the folder")
    rm.add_argument("--force", action="store_true", help="allow rm -r of a whole bucket")
    _dry_run_option(rm)


def _cat_arguments(cat: argparse.ArgumentParser) -> None:
    cat.add_argument("path", metavar="s3://BUCKET/KEY")


def _url_arguments(url: argparse.ArgumentParser) -> None:
    url.add_argument("path", metavar="s3://BUCKET/KEY")
    url.add_argument("--days", type=_days, default=7.0, help="how long it stays valid (default: 7, at most 7)")


def _stat_arguments(stat: argparse.ArgumentParser) -> None:
    stat.add_argument("path", metavar="s3://BUCKET/KEY")
    _json_option(stat)


def _du_arguments(du: argparse.ArgumentParser) -> None:
    du.add_argument("path", metavar="s3://BUCKET[/PREFIX]")
    du.add_argument("-H", "--human-readable", dest="human", action="store_true", help="the size in KiB, MiB, GiB...")
    _json_option(du)


_PATTERN_SOURCES = ("; a SOURCE s3://BUCKET/PATTERN with '*', '?' or '[...]' takes every object it matches")
# Each command: its line of help and what adds its arguments.
COMMAND_PARSERS: dict[str, tuple[str, Callable[[argparse.ArgumentParser], None]]] = {
    "ls": ("list buckets, or one level under s3://BUCKET[/PREFIX] (-r: every object)", _ls_arguments),
    "mb": ("make a bucket", _mb_arguments),
    "rb": ("remove an empty bucket (--force: remove every object first)", _rb_arguments),
    "cp": ("copy a file or (-r) a folder to, from or within storage" + _PATTERN_SOURCES, _copy_arguments),
    "mv": ("move a file or (-r) a folder: the copy, checked, then the source removed" + _PATTERN_SOURCES,
           _copy_arguments),
    "sync": ("copy what differs by content between a folder and s3://BUCKET/PREFIX", _sync_arguments),
    "rm": ("remove an object, or (-r) every object under a folder", _rm_arguments),
    "cat": ("write an object's bytes to standard output", _cat_arguments),
    "url": ("print a presigned download URL", _url_arguments),
    "stat": ("an object's size, ETag, type, last modification and metadata", _stat_arguments),
    "du": ("the total size and number of the objects under s3://BUCKET[/PREFIX]", _du_arguments),
}


def build_parser(command: str | None = None) -> argparse.ArgumentParser:
    """The command line's parser. Given a `command`, only that command's
    parser takes its arguments (the others keep their line of help): the
    parser of every command is a few milliseconds of each run's start-up."""
    parser = argparse.ArgumentParser(
        prog=PROG, description="Transfers to and from S3-compatible storage, also through an SSH tunnel.",
        epilog="Remote paths are s3://BUCKET or s3://BUCKET/KEY; anything else is a local path. "
               "Exit status: 0 done, 1 a failure, 2 bad usage or configuration, 130 interrupted.")
    _global_options(parser, suppress=False)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for name, (text, arguments) in COMMAND_PARSERS.items():
        sub = commands.add_parser(name, help=text, description=text)
        if command is None or name == command:
            _global_options(sub, suppress=True)
            arguments(sub)
    return parser


def _command_of(argv: list[str]) -> str | None:
    """The command `argv` names, as the full parser would find it, or None
    when that is not plain (then every command's parser is built)."""
    finder = argparse.ArgumentParser(add_help=False, exit_on_error=False)
    for option in ("--config", "--profile", "--workers"):  # the global options that take a value
        finder.add_argument(option)
    finder.add_argument("command", nargs="?")
    finder.add_argument("rest", nargs=argparse.REMAINDER)
    try:
        found, _ = finder.parse_known_args(argv)
    except (argparse.ArgumentError, SystemExit):
        return None
    return found.command if found.command in COMMAND_PARSERS else None


def _rule(kind: str) -> Any:
    def rule(pattern: str) -> tuple[str, str]:
        if not pattern.strip("/"):
            raise argparse.ArgumentTypeError(f"an empty pattern matches nothing: {pattern!r}")
        return kind, pattern
    return rule


def remote(text: str) -> tuple[str, str] | None:
    """(bucket, key) of an s3:// path, or None for a local path."""
    if not text.startswith(SCHEME):
        return None
    bucket, _, key = text[len(SCHEME):].partition("/")
    if not bucket:
        raise UsageError(f"malformed path {text!r}: expected s3://BUCKET or s3://BUCKET/KEY")
    return bucket, key


def _remote_only(text: str, *, key: bool | None) -> tuple[str, str]:
    """An s3:// path; `key` True: it must name an object, False: a bucket alone."""
    found = remote(text)
    if found is None:
        raise UsageError(f"expected an s3:// path, not {text!r}")
    if key is True and (not found[1] or found[1].endswith("/")):
        raise UsageError(f"{text!r} names no object: expected s3://BUCKET/KEY")
    if key is False and found[1].strip("/"):
        raise UsageError(f"expected s3://BUCKET alone, not {text!r}")
    return found


def _iso(value: Any) -> Any:
    """A datetime as ISO 8601 UTC text ("...Z"); anything else as it is."""
    from datetime import datetime, timezone

    if isinstance(value, datetime):
        if value.tzinfo is None:
            value = value.replace(tzinfo=timezone.utc)
        return value.astimezone(timezone.utc).isoformat().replace("+00:00", "Z")
    return value


class Output:
    """Prints results: text lines, or JSON records with --json."""

    def __init__(self, args: argparse.Namespace, bars: bool = False) -> None:
        self.json = getattr(args, "json", False)
        self.quiet = args.quiet
        self.dry_run = getattr(args, "dry_run", False)
        self.moving = args.command == "mv"
        self.bars = bars  # progress bars on standard error: lines go through tqdm's writer
        self.skipped = 0
        self.done: list[Mapping[str, Any]] = []  # the transfers made so far
        self.finished = False  # the command's work is complete

    def line(self, text: str) -> None:
        if self.bars:
            from ._progress import write_line

            write_line(text, sys.stdout)
        else:
            sys.stdout.write(text + "\n")

    def record(self, record: Mapping[str, Any]) -> None:
        import json

        self.line(json.dumps({key: _iso(value) for key, value in record.items()}, ensure_ascii=False))

    def transfer(self, record: Mapping[str, Any]) -> None:
        """One record of a transfer (also given to the client as `report`)."""
        if record["action"] == "skip":  # the client warned about it
            self.skipped += 1
            return
        self.done.append(record)
        if self.moving and record["action"] in ("upload", "download", "copy"):
            record = {**record, "action": "move"}
        if self.json:
            self.record(record)
        elif not self.quiet:
            prefix = "(dry run) " if self.dry_run else ""
            if record["source"] is None:
                self.line(f"{prefix}{record['action']}: {record['target']}")
            else:
                self.line(f"{prefix}{record['action']}: {record['source']} -> {record['target']}")

    def status(self) -> int:
        return 1 if self.skipped else 0


def _configure(args: argparse.Namespace) -> dict[str, Any]:
    from .profiles import ProfileError, load_profile

    try:
        config = load_profile(args.profile, args.config,
                              warn=lambda message: print(f"{PROG}: warning: {message}", file=sys.stderr))
    except ProfileError as error:
        raise UsageError(str(error)) from None
    if args.workers is not None:
        config["workers"] = args.workers
    elif config.get("workers") is None:
        config["workers"] = DEFAULT_WORKERS
    if args.quiet:
        config["progress"] = False
    elif args.progress:
        config["progress"] = True
    elif sys.stderr.isatty():
        import importlib.util

        config["progress"] = importlib.util.find_spec("tqdm") is not None
    return config


def _client(config: dict[str, Any]) -> TavrinOstrel:
    from .ostrel import TavrinOstrel

    try:
        client = TavrinOstrel(config)
    except (TypeError, ValueError) as error:
        raise UsageError(str(error)) from None
    except Exception as error:
        if type(error) is Exception:  # the constructor's check of the mapping
            raise UsageError(str(error)) from None
        raise
    client._connect()
    return client


def _setup_logging(debug: bool) -> None:
    import logging

    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter(f"{PROG}: warning: %(message)s"))
    logger = logging.getLogger("tavrin_minio")
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG if debug else logging.WARNING)
    if not debug:  # paramiko's own lines (a refused channel) are bare; the tunnel's error says what failed
        logging.getLogger("paramiko").addHandler(logging.NullHandler())


def _ls(client: TavrinOstrel, args: argparse.Namespace, out: Output) -> int:
    if args.path is None:
        if args.recursive:
            raise UsageError("ls -r needs an s3:// path")
        for found in client._bucket_list():
            if out.json:
                out.record({"name": found.name, "created": found.creation_date})
            else:
                out.line(found.name)
        return 0
    bucket, prefix = _remote_only(args.path, key=None)
    if _wildcard(prefix):
        return _ls_matching(client, args, out, bucket, prefix)
    entries: list[Mapping[str, Any]] = list(client._list_folder(bucket, prefix, recursive=args.recursive))
    if not entries and prefix.strip("/"):
        the_object = None if prefix.endswith("/") else _find_object(client, bucket, prefix)
        if the_object is None:  # scripts test for existence this way
            _fail(f"{args.path}: no such object or folder")
            return 1
        entries = [the_object]
    total = Total()
    for fields in entries:
        total.add(fields)
        if out.json:
            out.record(fields)
        elif "prefix" in fields:
            out.line(f"{'PRE':>31} {fields['prefix']}")
        else:
            out.line(f"{_iso(fields['last_modified']):>20} {_size(fields['size'], args.human):>10} {fields['key']}")
    total.summarize(args, out)
    return 0


def _mb(client: TavrinOstrel, args: argparse.Namespace, out: Output) -> int:
    bucket, _ = _remote_only(args.path, key=False)
    if args.dry_run:
        return _would(out, "make_bucket", args.path)
    if args.location is None:
        made = client._create_bucket(bucket)
    else:
        made = client._create_bucket(bucket, args.location)
    return 0 if made else 1


def _rb(client: TavrinOstrel, args: argparse.Namespace, out: Output) -> int:
    bucket, _ = _remote_only(args.path, key=False)
    if args.force or args.dry_run:
        return _rb_force(client, args, out, bucket)
    return 0 if client._remove_bucket(bucket) else 1


def _find_object(client: TavrinOstrel, bucket: str, key: str) -> dict[str, Any] | None:
    """The object `key` as _list_folder lists one, or None when there is none."""
    from minio.error import S3Error

    try:
        found = client._stat_object(bucket, key)
    except S3Error as error:
        if error.code in ("NoSuchKey", "NotFound"):
            return None
        raise
    return {field: found[field] for field in ("key", "size", "etag", "last_modified")}


def _into(target: str, key: str) -> str:
    """The local file a download of `key` writes: inside `target` under the
    key's last name when `target` is a folder or ends in a separator."""
    if target.endswith(("/", os.sep)) or os.path.isdir(target):
        return os.path.join(target, key.rsplit("/", 1)[-1])
    return target


def _ends(source: str, target: str) -> tuple[tuple[str, str] | None, tuple[str, str] | None]:
    source_remote, target_remote = remote(source), remote(target)
    if (source_remote is None) == (target_remote is None):
        raise UsageError("one of SOURCE and TARGET must be an s3:// path and the other a local path")
    return source_remote, target_remote


def _tree(client: TavrinOstrel, args: argparse.Namespace, out: Output, *, sync: bool) -> int:
    source_remote, target_remote = _ends(args.source, args.target)
    options: dict[str, Any] = {"filters": args.filters, "report": out.transfer, "dry_run": args.dry_run}
    if sync:
        options.update(skip_unchanged="size" if args.size_only else True, delete=args.delete)
    if target_remote is not None:
        if not os.path.isdir(args.source):
            raise UsageError(f"{args.source!r} is not a folder")
        client._upload_tree(target_remote[0], args.source, target_remote[1], **options)
    else:
        assert source_remote is not None
        bucket, prefix = source_remote
        existed = os.path.lexists(args.target)
        done = client._download_tree(bucket, prefix, args.target, **options)
        if not done and not sync and prefix.strip("/") and not client._list_folder(bucket, prefix):
            return _object_as_folder(client, bucket, prefix, args.target, existed, out)
    return out.status()


def _object_as_folder(client: TavrinOstrel, bucket: str, prefix: str, target: str, existed: bool,
                      out: Output) -> int:
    """cp -r of a name with nothing under it: the object of that name lands in
    the target folder; with no such object either, a line and exit 1, and the
    folder the download made is removed (never an empty folder and exit 0)."""
    found = None if prefix.endswith("/") else _find_object(client, bucket, prefix)
    if found is None:
        if not existed and os.path.isdir(target):
            os.rmdir(target)  # made by the download, left empty
        _fail(f"{SCHEME}{bucket}/{prefix}: no such object or folder")
        return 1
    path = os.path.join(target, prefix.rsplit("/", 1)[-1])
    if out.dry_run:
        out.transfer({"action": "download", "source": f"{SCHEME}{bucket}/{prefix}", "target": path,
                      "size": found["size"]})
    else:
        _download_one(client, bucket, prefix, path, out)
    return out.status()


def _cp(client: TavrinOstrel, args: argparse.Namespace, out: Output) -> int:
    if _in_store(args) or (args.dry_run and not args.recursive):
        return _copy(client, args, out)
    if args.recursive:
        return _tree(client, args, out, sync=False)
    if args.filters:
        raise UsageError("--exclude and --include apply to cp -r, wildcard sources and sync")
    source_remote, target_remote = _ends(args.source, args.target)
    if target_remote is not None:
        if os.path.isdir(args.source):
            raise UsageError(f"{args.source!r} is a folder: use cp -r")
        bucket, key = target_remote
        if not key or key.endswith("/"):
            if args.source == STREAM:
                raise UsageError(f"cp - needs the object's key: s3://{bucket}/{key}NAME")
            key += os.path.basename(args.source)
        _upload_one(client, bucket, key, args.source, out)
        return 0
    assert source_remote is not None
    bucket, key = _remote_only(args.source, key=True)
    if args.target == STREAM:  # the bytes alone, as cat writes them
        return _cat(client, args, out)
    _download_one(client, bucket, key, _into(args.target, key), out)
    return 0


def _upload_one(client: TavrinOstrel, bucket: str, key: str, source: str, out: Output) -> None:
    """One file, or standard input (`-`) or another source that is not a
    regular file (a pipe, /dev/stdin), streamed, as the object `key`."""
    target = f"{SCHEME}{bucket}/{key}"
    if source == STREAM or (os.path.exists(source) and not os.path.isfile(source)):
        if source == STREAM:
            size = client._upload_stream(bucket, key, sys.stdin.buffer)
        else:
            with open(source, "rb") as stream:
                size = client._upload_stream(bucket, key, stream)
        out.transfer({"action": "upload", "source": source, "target": target, "size": size})
        return
    size = os.stat(source).st_size
    started = time.time()
    try:
        client._upload_file(bucket, key, source)
    except KeyboardInterrupt:
        # Ctrl-C as the upload ended: done if the object is there whole, from this upload.
        found = _find_object(client, bucket, key)
        if found is None or found["size"] != size or found["last_modified"].timestamp() < started - 1:
            raise
    out.transfer({"action": "upload", "source": source, "target": target, "size": size})


def _download_one(client: TavrinOstrel, bucket: str, key: str, target: str, out: Output) -> None:
    started = time.time()
    try:
        client._download_file(bucket, key, target)
    except KeyboardInterrupt:
        # Ctrl-C as the download ended: the file appears whole or not at all.
        if not os.path.isfile(target) or os.stat(target).st_mtime < started - 0.01:
            raise
    out.transfer({"action": "download", "source": f"{SCHEME}{bucket}/{key}", "target": target,
                  "size": os.stat(target).st_size})


def _sync(client: TavrinOstrel, args: argparse.Namespace, out: Output) -> int:
    if _in_store(args):
        return _copy(client, args, out, sync=True)
    return _tree(client, args, out, sync=True)


def _rm(client: TavrinOstrel, args: argparse.Namespace, out: Output) -> int:
    if args.dry_run or _wildcard(_remote_only(args.path, key=None)[1]):
        return _rm_selected(client, args, out)
    if not args.recursive:
        bucket, key = _remote_only(args.path, key=True)
        client._remove_object(bucket, key)
        out.transfer({"action": "delete", "source": None, "target": args.path, "size": None})
        return 0
    bucket, prefix = _remote_only(args.path, key=None)
    if not prefix.strip("/") and not args.force:
        raise UsageError(f"rm -r {args.path} removes every object of the bucket: add --force")
    client._remove_tree(bucket, prefix, report=out.transfer)
    return out.status()


def _cat(client: TavrinOstrel, args: argparse.Namespace, out: Output) -> int:
    bucket, key = _remote_only(getattr(args, "path", None) or args.source, key=True)
    sys.stdout.flush()
    client._download_stream(bucket, key, sys.stdout.buffer)
    sys.stdout.buffer.flush()
    return 0


def _url(client: TavrinOstrel, args: argparse.Namespace, out: Output) -> int:
    bucket, key = _remote_only(args.path, key=True)
    out.line(client._get_url(bucket, key, days=args.days))
    return 0


def _wildcard(key: str) -> bool:
    """True when an object path is a pattern: "*", "?" or "[" in it."""
    return any(c in key for c in "*?[")


def _in_store(args: argparse.Namespace) -> bool:
    """True when a cp, mv or sync runs inside the store: both ends remote,
    or a remote wildcard source."""
    source = remote(args.source)
    return source is not None and (remote(args.target) is not None or _wildcard(source[1]))


UNITS = ("B", "KiB", "MiB", "GiB", "TiB", "PiB")


def _size(size: Any, human: bool) -> str:
    """A size in bytes, or with -H in the largest unit that keeps it at 1 or more."""
    if not human or not isinstance(size, int):
        return str(size)
    value, unit = float(size), 0
    while value >= 1024 and unit < len(UNITS) - 1:
        value, unit = value / 1024, unit + 1
    return f"{size} B" if unit == 0 else f"{value:.1f} {UNITS[unit]}"


class Total:
    """The count and total size of the objects an ls printed (--summarize)."""

    def __init__(self) -> None:
        self.count = 0
        self.size = 0

    def add(self, fields: Mapping[str, Any]) -> None:
        if "key" in fields:
            self.count += 1
            self.size += fields["size"] or 0

    def summarize(self, args: argparse.Namespace, out: Output) -> None:
        if not args.summarize:
            return
        if out.json:
            out.record({"count": self.count, "size": self.size})
        else:
            out.line(f"Total Objects: {self.count}")
            out.line(f"   Total Size: {_size(self.size, args.human)}")


def _ls_matching(client: TavrinOstrel, args: argparse.Namespace, out: Output, bucket: str, pattern: str) -> int:
    total = Total()
    for entry in client._list_folder(bucket, pattern, wildcard=True):
        fields: Mapping[str, Any] = entry
        total.add(fields)
        if out.json:
            out.record(fields)
        else:
            out.line(f"{_iso(fields['last_modified']):>20} {_size(fields['size'], args.human):>10} {fields['key']}")
    total.summarize(args, out)
    if not total.count:
        _fail(f"no object matches {args.path}")
        return 1
    return 0


def _would(out: Output, action: str, target: str) -> int:
    """The record of what a dry run would do."""
    out.transfer({"action": action, "source": None, "target": target, "size": None})
    return 0


def _rb_force(client: TavrinOstrel, args: argparse.Namespace, out: Output, bucket: str) -> int:
    if args.force:
        client._remove_tree(bucket, "", dry_run=args.dry_run, report=out.transfer)
        if out.skipped:
            _fail(f"{args.path} keeps objects that could not be removed")
            return 1
    if args.dry_run:
        return _would(out, "remove_bucket", args.path)
    return 0 if client._remove_bucket(bucket) else 1


def _rm_selected(client: TavrinOstrel, args: argparse.Namespace, out: Output) -> int:
    """rm of a wildcard's objects, or any rm as a dry run."""
    bucket, key = _remote_only(args.path, key=None)
    if _wildcard(key) or args.recursive:
        if not _wildcard(key) and not key.strip("/") and not args.force:
            raise UsageError(f"rm -r {args.path} removes every object of the bucket: add --force")
        client._remove_tree(bucket, key, wildcard=_wildcard(key), dry_run=args.dry_run, report=out.transfer)
        return out.status()
    _remote_only(args.path, key=True)
    return _would(out, "delete", args.path)


def _copy(client: TavrinOstrel, args: argparse.Namespace, out: Output, *, move: bool = False,
          sync: bool = False) -> int:
    """cp, mv and sync inside the store, from a wildcard source, and the dry run of any cp."""
    source_remote, target_remote = remote(args.source), remote(args.target)
    if source_remote is None or target_remote is None:
        if source_remote is None or not _wildcard(source_remote[1]):
            return _copy_dry_run(args, out, move=move)
        if move and not args.dry_run:
            client._move_tree_down(source_remote[0], source_remote[1], args.target, filters=args.filters,
                                   wildcard=True, report=out.transfer)
        else:
            client._download_tree(source_remote[0], source_remote[1], args.target, filters=args.filters,
                                  wildcard=True, dry_run=args.dry_run, report=out.transfer)
        return out.status()
    (source_bucket, source_key), (bucket, key) = source_remote, target_remote
    if sync or args.recursive or _wildcard(source_key):
        client._copy_tree(source_bucket, source_key, bucket, key, filters=args.filters,
                          wildcard=_wildcard(source_key), skip_unchanged=sync, delete=sync and args.delete,
                          move=move, dry_run=args.dry_run, report=out.transfer)
        return out.status()
    if args.filters:
        raise UsageError("--exclude and --include apply to -r, wildcard sources and sync")
    _remote_only(args.source, key=True)
    if not key or key.endswith("/"):
        key += source_key.rsplit("/", 1)[-1]
    size = None if args.dry_run else client._copy_object(source_bucket, source_key, bucket, key, move=move)
    out.transfer({"action": "copy", "source": args.source, "target": f"{SCHEME}{bucket}/{key}", "size": size})
    return 0


def _copy_dry_run(args: argparse.Namespace, out: Output, *, move: bool) -> int:
    """What a cp or mv between a local path and the store would do."""
    source_remote, target_remote = _ends(args.source, args.target)
    if source_remote is None and os.path.isdir(args.source):
        raise UsageError(f"{args.source!r} is a folder: use -r")
    target = args.target
    if target_remote is not None and (not target_remote[1] or target.endswith("/")):
        target = target.rstrip("/") + "/" + os.path.basename(args.source)
    elif source_remote is not None and os.path.isdir(target):
        target = os.path.join(target, source_remote[1].rsplit("/", 1)[-1])
    size = os.stat(args.source).st_size if source_remote is None else None
    action = "upload" if source_remote is None else "download"
    out.transfer({"action": action, "source": args.source, "target": target, "size": size})
    return 0


def _mv(client: TavrinOstrel, args: argparse.Namespace, out: Output) -> int:
    if _in_store(args) or (args.dry_run and not args.recursive):
        return _copy(client, args, out, move=True)
    if args.dry_run:
        return _tree(client, args, out, sync=False)
    source_remote, target_remote = _ends(args.source, args.target)
    if target_remote is not None:
        return _move_up(client, args, out, *target_remote)
    assert source_remote is not None
    bucket, key = source_remote
    if args.recursive:
        client._move_tree_down(bucket, key, args.target, filters=args.filters, report=out.transfer)
        return out.status()
    bucket, key = _remote_only(args.source, key=True)
    target = args.target
    if os.path.isdir(target):
        target = os.path.join(target, key.rsplit("/", 1)[-1])
    client._download_file(bucket, key, target)  # checked against the object's ETag
    size = os.stat(target).st_size
    client._remove_object(bucket, key)
    out.transfer({"action": "download", "source": args.source, "target": target, "size": size})
    return 0


def _move_up(client: TavrinOstrel, args: argparse.Namespace, out: Output, bucket: str, key: str) -> int:
    """mv of local files to the store: each file removed once its object checks out."""
    if args.recursive:
        if not os.path.isdir(args.source):
            raise UsageError(f"{args.source!r} is not a folder")
        client._move_tree_up(bucket, args.source, key, filters=args.filters, report=out.transfer)
        return out.status()
    if os.path.isdir(args.source):
        raise UsageError(f"{args.source!r} is a folder: use mv -r")
    if not key or key.endswith("/"):
        key += os.path.basename(args.source)
    size = client._move_file_up(bucket, key, args.source)
    out.transfer({"action": "upload", "source": args.source, "target": f"{SCHEME}{bucket}/{key}", "size": size})
    return 0


def _stat(client: TavrinOstrel, args: argparse.Namespace, out: Output) -> int:
    bucket, key = _remote_only(args.path, key=True)
    fields = client._stat_object(bucket, key)
    if out.json:
        out.record(fields)
        return 0
    out.line(f"Name:          {SCHEME}{bucket}/{key}")
    out.line(f"Size:          {fields['size']}")
    out.line(f"ETag:          {fields['etag']}")
    out.line(f"Content-Type:  {fields['content_type']}")
    out.line(f"Last-Modified: {_iso(fields['last_modified'])}")
    for name, value in sorted(fields["metadata"].items()):
        out.line(f"Metadata:      {name}: {value}")
    return 0


def _du(client: TavrinOstrel, args: argparse.Namespace, out: Output) -> int:
    bucket, prefix = _remote_only(args.path, key=None)
    usage = client._folder_usage(bucket, prefix, wildcard=_wildcard(prefix))
    if out.json:
        out.record({"path": args.path, **usage})
    else:
        size = _size(usage["size"], True) if args.human else f"{usage['size']} bytes"
        out.line(f"{size} in {usage['count']} objects: {args.path}")
    return 0


COMMANDS = {"ls": _ls, "mb": _mb, "rb": _rb, "cp": _cp, "mv": _mv, "sync": _sync, "rm": _rm, "cat": _cat,
            "url": _url, "stat": _stat, "du": _du}


def _fail(message: str) -> None:
    print(f"{PROG}: {message}", file=sys.stderr)


def _interrupted(out: Output | None) -> int:
    """Ctrl-C: the command's own status when its work was complete, else 130
    with what was transferred before it came."""
    if out is not None and out.finished:
        return out.status()
    if out is not None and out.done:
        _fail(f"interrupted: {len(out.done)} transfers complete before it, the rest not done")
    else:
        _fail("interrupted: nothing done")
    return 130


def _quiet_broken_pipe() -> NoReturn:
    # The reader went away (cat ... | head): no more output, no traceback at exit.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    raise SystemExit(1)


def run() -> int:
    """The ``tavrin-minio`` command (and ``python -m tavrin_minio``): `main` on
    the process's arguments, for a process that ends when it returns. Every
    file is closed and the output flushed by then, so the objects made are
    left out of the collections that interpreter shutdown runs: they would
    walk every object of the client library's modules, a tenth of a short
    command's time."""
    status = main()
    gc.freeze()
    return status


def main(argv: list[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    if argv is None:
        argv = sys.argv[1:]
    parser = build_parser(_command_of(argv))
    try:
        args = parser.parse_args(argv)
    except SystemExit as exit_:
        return exit_.code if isinstance(exit_.code, int) else 2
    debug = args.debug
    out: Output | None = None
    try:
        # Checked before anything connects: remote paths, the pairing of ends.
        for name in ("path", "source", "target"):
            value = getattr(args, name, None)
            if value is not None:
                remote(value)
        config = _configure(args)
        if args.command == "url" and config.get("ssh"):
            raise UsageError("url: this profile reaches the storage through an SSH tunnel, and a presigned URL "
                             "would point at the tunnel's local end, which closes when the command exits")
        _setup_logging(debug)
        out = Output(args, bars=bool(config.get("progress")))
        client = _client(config)
        status = COMMANDS[args.command](client, args, out)
        out.finished = True
        return status
    except UsageError as error:
        _fail(str(error))
        return 2
    except KeyboardInterrupt:
        return _interrupted(out)
    except BrokenPipeError:
        _quiet_broken_pipe()
    except Exception as error:
        if debug:
            import traceback

            traceback.print_exc()
        text = str(error).strip().splitlines()
        _fail(f"error: {type(error).__name__}: {text[0] if text else ''}".rstrip(": "))
        return 1
