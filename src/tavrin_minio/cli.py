"""The ``tavrin-minio`` command: everyday transfers over a profile of the configuration file.

    tavrin-minio [global options] COMMAND [options] ...

Commands: ``ls``, ``mb``, ``rb``, ``cp``, ``sync``, ``rm``, ``cat``, ``url``.
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
import os
import sys
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, NoReturn

if TYPE_CHECKING:
    from .ostrel import TavrinOstrel

__all__ = ["DEFAULT_WORKERS", "main"]

PROG = "tavrin-minio"
# Transfer threads when neither --workers nor the profile gives a number: the
# tree transfers of many small files wait on round trips, not on bandwidth.
DEFAULT_WORKERS = 16
MAX_WORKERS = 256
SCHEME = "s3://"


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
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a number of days, not {text!r}") from None


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
    group.add_argument("--version", action="version", version=f"%(prog)s {_version()}")


def _version() -> str:
    from . import __version__

    return __version__


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Transfers to and from S3-compatible storage, also through an SSH tunnel.",
        epilog="Remote paths are s3://BUCKET or s3://BUCKET/KEY; anything else is a local path. "
               "Exit status: 0 done, 1 a failure, 2 bad usage or configuration, 130 interrupted.")
    _global_options(parser, suppress=False)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, text: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=text, description=text)
        _global_options(sub, suppress=True)
        return sub

    def json_option(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--json", action="store_true", help="one JSON object per line")

    def exclude_option(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--exclude", metavar="PATTERN", action="append", default=[],
                         help="leave out paths matching PATTERN (repeatable): without '/' any file or folder "
                              "name, with '/' the path from the folder; a trailing '/' matches folders only; "
                              "'*' and '?' stay within a name, '**' crosses folders")

    ls = command("ls", "list buckets, or one level under s3://BUCKET[/PREFIX] (-r: every object)")
    ls.add_argument("path", nargs="?", metavar="s3://BUCKET[/PREFIX]")
    ls.add_argument("-r", "--recursive", action="store_true", help="every object at every depth")
    json_option(ls)

    mb = command("mb", "make a bucket")
    mb.add_argument("path", metavar="s3://BUCKET")
    mb.add_argument("--location", help="the bucket's region (default: the client's, cn-north-1)")
    rb = command("rb", "remove an empty bucket")
    rb.add_argument("path", metavar="s3://BUCKET")

    cp = command("cp", "copy a file or (-r) a folder to or from storage")
    cp.add_argument("source", metavar="SOURCE")
    cp.add_argument("target", metavar="TARGET")
    cp.add_argument("-r", "--recursive", action="store_true", help="a folder at every depth")
    exclude_option(cp)
    json_option(cp)

    sync = command("sync", "copy what differs by content between a folder and s3://BUCKET/PREFIX")
    sync.add_argument("source", metavar="SOURCE")
    sync.add_argument("target", metavar="TARGET")
    exclude_option(sync)
    sync.add_argument("--delete", action="store_true",
                      help="remove at the target what the source lacks, once every transfer succeeded")
    sync.add_argument("--dry-run", action="store_true", help="print what would be done, change nothing")
    sync.add_argument("--size-only", action="store_true",
                      help="compare sizes alone, for trees whose modification times are not kept")
    json_option(sync)

    rm = command("rm", "remove an object, or (-r) every object under a folder")
    rm.add_argument("path", metavar="s3://BUCKET/KEY")
    rm.add_argument("-r", "--recursive", action="store_true", help="every object under the folder")
    rm.add_argument("--force", action="store_true", help="allow rm -r of a whole bucket")

    cat = command("cat", "write an object's bytes to standard output")
    cat.add_argument("path", metavar="s3://BUCKET/KEY")

    url = command("url", "print a presigned download URL")
    url.add_argument("path", metavar="s3://BUCKET/KEY")
    url.add_argument("--days", type=_days, default=7.0, help="how long it stays valid (default: 7, at most 7)")
    return parser


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

    def __init__(self, args: argparse.Namespace) -> None:
        self.json = getattr(args, "json", False)
        self.quiet = args.quiet
        self.dry_run = getattr(args, "dry_run", False)
        self.skipped = 0

    def line(self, text: str) -> None:
        sys.stdout.write(text + "\n")

    def record(self, record: Mapping[str, Any]) -> None:
        import json

        self.line(json.dumps({key: _iso(value) for key, value in record.items()}, ensure_ascii=False))

    def transfer(self, record: Mapping[str, Any]) -> None:
        """One record of a transfer (also given to the client as `report`)."""
        if record["action"] == "skip":  # the client warned about it
            self.skipped += 1
            return
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
    for entry in client._list_folder(bucket, prefix, recursive=args.recursive):
        fields: Mapping[str, Any] = entry
        if out.json:
            out.record(fields)
        elif "prefix" in fields:
            out.line(f"{'PRE':>31} {fields['prefix']}")
        else:
            out.line(f"{_iso(fields['last_modified']):>20} {fields['size']:>10} {fields['key']}")
    return 0


def _mb(client: TavrinOstrel, args: argparse.Namespace, out: Output) -> int:
    bucket, _ = _remote_only(args.path, key=False)
    if args.location is None:
        made = client._create_bucket(bucket)
    else:
        made = client._create_bucket(bucket, args.location)
    return 0 if made else 1


def _rb(client: TavrinOstrel, args: argparse.Namespace, out: Output) -> int:
    bucket, _ = _remote_only(args.path, key=False)
    return 0 if client._remove_bucket(bucket) else 1


def _ends(source: str, target: str) -> tuple[tuple[str, str] | None, tuple[str, str] | None]:
    source_remote, target_remote = remote(source), remote(target)
    if (source_remote is None) == (target_remote is None):
        raise UsageError("one of SOURCE and TARGET must be an s3:// path and the other a local path")
    return source_remote, target_remote


def _tree(client: TavrinOstrel, args: argparse.Namespace, out: Output, *, sync: bool) -> int:
    source_remote, target_remote = _ends(args.source, args.target)
    options: dict[str, Any] = {"exclude": args.exclude, "report": out.transfer}
    if sync:
        options.update(skip_unchanged="size" if args.size_only else True, delete=args.delete, dry_run=args.dry_run)
    if target_remote is not None:
        if not os.path.isdir(args.source):
            raise UsageError(f"{args.source!r} is not a folder")
        client._upload_tree(target_remote[0], args.source, target_remote[1], **options)
    else:
        assert source_remote is not None
        client._download_tree(source_remote[0], source_remote[1], args.target, **options)
    return out.status()


def _cp(client: TavrinOstrel, args: argparse.Namespace, out: Output) -> int:
    if args.recursive:
        return _tree(client, args, out, sync=False)
    if args.exclude:
        raise UsageError("--exclude applies to cp -r and sync")
    source_remote, target_remote = _ends(args.source, args.target)
    if target_remote is not None:
        if os.path.isdir(args.source):
            raise UsageError(f"{args.source!r} is a folder: use cp -r")
        bucket, key = target_remote
        if not key or key.endswith("/"):
            key += os.path.basename(args.source)
        size = os.stat(args.source).st_size
        client._upload_file(bucket, key, args.source)
        out.transfer({"action": "upload", "source": args.source, "target": f"{SCHEME}{bucket}/{key}", "size": size})
        return 0
    assert source_remote is not None
    bucket, key = _remote_only(args.source, key=True)
    target = args.target
    if os.path.isdir(target):
        target = os.path.join(target, key.rsplit("/", 1)[-1])
    client._download_file(bucket, key, target)
    out.transfer({"action": "download", "source": args.source, "target": target,
                  "size": os.stat(target).st_size})
    return 0


def _sync(client: TavrinOstrel, args: argparse.Namespace, out: Output) -> int:
    return _tree(client, args, out, sync=True)


def _rm(client: TavrinOstrel, args: argparse.Namespace, out: Output) -> int:
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
    bucket, key = _remote_only(args.path, key=True)
    sys.stdout.flush()
    client._download_stream(bucket, key, sys.stdout.buffer)
    sys.stdout.buffer.flush()
    return 0


def _url(client: TavrinOstrel, args: argparse.Namespace, out: Output) -> int:
    bucket, key = _remote_only(args.path, key=True)
    out.line(client._get_url(bucket, key, days=args.days))
    return 0


COMMANDS = {"ls": _ls, "mb": _mb, "rb": _rb, "cp": _cp, "sync": _sync, "rm": _rm, "cat": _cat, "url": _url}


def _fail(message: str) -> None:
    print(f"{PROG}: {message}", file=sys.stderr)


def _quiet_broken_pipe() -> NoReturn:
    # The reader went away (cat ... | head): no more output, no traceback at exit.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    raise SystemExit(1)


def main(argv: list[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exit_:
        return exit_.code if isinstance(exit_.code, int) else 2
    debug = args.debug
    try:
        # Checked before anything connects: remote paths, the pairing of ends.
        for name in ("path", "source", "target"):
            value = getattr(args, name, None)
            if value is not None:
                remote(value)
        config = _configure(args)
        _setup_logging(debug)
        client = _client(config)
        return COMMANDS[args.command](client, args, Output(args))
    except UsageError as error:
        _fail(str(error))
        return 2
    except KeyboardInterrupt:
        _fail("interrupted")
        return 130
    except BrokenPipeError:
        _quiet_broken_pipe()
    except Exception as error:
        if debug:
            import traceback

            traceback.print_exc()
        text = str(error).strip().splitlines()
        _fail(f"error: {type(error).__name__}: {text[0] if text else ''}".rstrip(": "))
        return 1
