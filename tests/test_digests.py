"""The digest cache (`digest_cache`): re-runs that read nothing after a
transfer, what it must still catch (a rewrite that keeps size and mtime, a
file changed in its entry's tick), pruning, a cache that fails, and two
processes sharing one; against the S3 server."""

import hashlib
import os
import sqlite3
import subprocess
import sys
import time

import pytest
from conftest import Recorder

FILES = {"a.bin": b"a" * 3000, "sub/b.bin": b"b" * 5000}


def write_tree(root, files):
    for name, data in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)


@pytest.fixture
def cached(ostrel, s3_config, bucket, tmp_path):
    """make(digest_cache=<the test's own file>) -> a connected client whose
    logger is a Recorder."""
    def make(**keys):
        config = {**s3_config, "digest_cache": str(tmp_path / "cache" / "digests.db"), **keys}
        client = ostrel.TavrinOstrel(config)
        client._connect()
        client._log = Recorder()
        return client
    return make


@pytest.fixture
def reads(ostrel, monkeypatch):
    """The local files the content comparisons open, as a list of paths (a
    download's own part files left out)."""
    opened = []

    def counting(path, *args, **kwargs):
        if not os.fspath(path).endswith((".part.minio", ".ranges")):
            opened.append(os.fspath(path))
        return open(path, *args, **kwargs)

    monkeypatch.setattr(ostrel, "open", counting, raising=False)
    return opened


def sync(client, bucket, root, direction):
    """One skip_unchanged tree transfer: {action: [local paths]}."""
    if direction == "upload":
        records = client._upload_tree(bucket, str(root), "t", skip_unchanged=True)
        local = [r["source"] for r in records]
    else:
        records = client._download_tree(bucket, "t", str(root), skip_unchanged=True)
        local = [r["target"] for r in records]
    return sorted(os.path.relpath(path, root).replace(os.sep, "/") for path in local)


@pytest.mark.parametrize("direction", ["upload", "download"])
def test_rerun_after_a_transfer_reads_nothing_and_a_same_size_same_mtime_rewrite_is_sent(
        cached, bucket, tmp_path, reads, direction):
    client = cached()
    root = tmp_path / "tree"
    if direction == "upload":
        write_tree(root, FILES)
        time.sleep(0.05)  # past the files' timestamp tick, so the upload may keep their digests
    else:
        write_tree(tmp_path / "src", FILES)
        client._upload_tree(bucket, str(tmp_path / "src"), "t")
    assert sync(client, bucket, root, direction) == sorted(FILES)
    reads.clear()  # the transfers' own reads
    assert sync(client, bucket, root, direction) == []
    assert reads == []

    path = root / "a.bin"
    before = path.stat()
    path.write_bytes(b"z" * 3000)
    os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))
    assert sync(client, bucket, root, direction) == ["a.bin"]
    assert reads == [str(path)]
    assert path.read_bytes() == (b"z" if direction == "upload" else b"a") * 3000
    assert client._log.calls == []


@pytest.mark.timeout(120)
@pytest.mark.parametrize("direction", ["upload", "download"])
def test_parts_on_the_pool_keep_their_digests(cached, bucket, tmp_path, reads, direction):
    # Uploaded as one multipart upload, downloaded by ranges.
    client = cached(workers=4)
    big = {"big.bin": os.urandom(17 * 1024 * 1024)}
    root = tmp_path / "tree"
    if direction == "upload":
        write_tree(root, big)
        time.sleep(0.05)
    else:
        write_tree(tmp_path / "src", big)
        client._upload_tree(bucket, str(tmp_path / "src"), "t")
    assert sync(client, bucket, root, direction) == ["big.bin"]
    reads.clear()  # the transfers' own reads
    assert sync(client, bucket, root, direction) == []
    assert reads == []


def test_a_single_file_download_keeps_its_digest(cached, bucket, tmp_path, reads):
    # The client library's file download, checked: the tree's re-run then
    # fetches only what is missing and reads nothing.
    client = cached()
    write_tree(tmp_path / "src", FILES)
    client._upload_tree(bucket, str(tmp_path / "src"), "t")
    root = tmp_path / "tree"
    assert client._download_file(bucket, "t/a.bin", str(root / "a.bin")) is True
    reads.clear()  # the download's own check
    assert sync(client, bucket, root, "download") == ["sub/b.bin"]
    assert reads == []


@pytest.mark.parametrize("written_after, uploaded", [(0.005, True), (1.0, False)])
def test_an_entry_written_in_the_files_tick_is_not_trusted(cached, bucket, tmp_path, written_after, uploaded):
    # The entry claims the file holds the stored object; it does not. Written
    # within the tick of the file's last change, the file may have changed
    # after it without a new identity: the file is read, and sent.
    client = cached()
    root = tmp_path / "tree"
    write_tree(root, {"a.bin": b"old" * 100})
    client._upload_tree(bucket, str(root), "t")
    etag = hashlib.md5(b"old" * 100).hexdigest()
    (root / "a.bin").write_bytes(b"new" * 100)
    info = os.stat(root / "a.bin")
    recorded = max(info.st_mtime_ns, info.st_ctime_ns) + int(written_after * 1e9)
    with sqlite3.connect(tmp_path / "cache" / "digests.db") as db:
        db.execute("INSERT OR REPLACE INTO digests VALUES (?, ?, ?, ?, ?, -1, ?, ?, ?)",
                   (str(info.st_dev), str(info.st_ino), info.st_size, info.st_mtime_ns, info.st_ctime_ns, etag,
                    recorded, recorded))
    assert sync(client, bucket, root, "upload") == (["a.bin"] if uploaded else [])


DAY_NS = 24 * 3600 * 10**9


def test_entries_of_files_not_seen_for_long_are_pruned(cached, bucket, tmp_path):
    # Rows of files gone or untouched: one last seen 100 days ago goes when
    # the next transfer writes, one seen yesterday stays.
    client = cached()
    root = tmp_path / "tree"
    write_tree(root, FILES)
    time.sleep(0.05)
    sync(client, bucket, root, "upload")
    now = time.time_ns()
    with sqlite3.connect(tmp_path / "cache" / "digests.db") as db:
        for ino, seen in (("1", now - 100 * DAY_NS), ("2", now - DAY_NS)):
            db.execute("INSERT INTO digests VALUES ('0', ?, 1, 1, 1, 0, 'x', ?, ?)", (ino, seen, seen))
    (root / "a.bin").write_bytes(b"c" * 3000)
    time.sleep(0.05)
    assert sync(client, bucket, root, "upload") == ["a.bin"]
    with sqlite3.connect(tmp_path / "cache" / "digests.db") as db:
        assert db.execute("SELECT ino FROM digests WHERE dev = '0'").fetchall() == [("2",)]
        assert db.execute("SELECT count(DISTINCT ino) FROM digests WHERE dev != '0'").fetchone()[0] == len(FILES)


@pytest.mark.parametrize("last_seen_days, refreshed", [(0.1, False), (2, True)])
def test_an_unchanged_rerun_writes_only_last_seen_times_over_a_day_old(cached, bucket, tmp_path, last_seen_days,
                                                                        refreshed):
    client = cached()
    root = tmp_path / "tree"
    write_tree(root, FILES)
    time.sleep(0.05)
    sync(client, bucket, root, "upload")
    then = time.time_ns() - int(last_seen_days * DAY_NS)
    with sqlite3.connect(tmp_path / "cache" / "digests.db") as db:
        db.execute("UPDATE digests SET seen = ?", (then,))
    assert sync(client, bucket, root, "upload") == []
    with sqlite3.connect(tmp_path / "cache" / "digests.db") as db:
        seen = {row[0] for row in db.execute("SELECT seen FROM digests")}
    assert (min(seen) > then) if refreshed else (seen == {then})


def corrupt(path, monkeypatch):
    path.parent.mkdir(parents=True)
    path.write_bytes(b"not a database " * 100)


def locked(path, monkeypatch):
    path.parent.mkdir(parents=True)
    holder = sqlite3.connect(path, isolation_level=None)
    holder.execute("BEGIN EXCLUSIVE")
    return holder


def unopenable(path, monkeypatch):
    path.parent.parent.mkdir(parents=True, exist_ok=True)
    path.parent.write_bytes(b"a file where the cache's folder would be")


def read_only(path, monkeypatch):
    # As on a read-only disk (file modes do not stop root): SQLite opens
    # the file read-only, and every write is refused.
    path.parent.mkdir(parents=True)
    sqlite3.connect(path, isolation_level=None).execute("PRAGMA journal_mode=WAL").connection.close()
    connect = sqlite3.connect
    monkeypatch.setattr(sqlite3, "connect", lambda database, **keys: connect(f"file:{database}?mode=ro", uri=True, **keys))


@pytest.mark.timeout(60)
@pytest.mark.parametrize("spoil", [corrupt, locked, unopenable, read_only])
def test_a_failing_cache_warns_once_and_transfers_as_without_it(cached, bucket, tmp_path, reads, monkeypatch, spoil):
    holder = spoil(tmp_path / "cache" / "digests.db", monkeypatch)
    client = cached()
    root = tmp_path / "tree"
    write_tree(root, FILES)
    assert sync(client, bucket, root, "upload") == sorted(FILES)
    assert sync(client, bucket, root, "upload") == []
    (root / "a.bin").write_bytes(b"c" * 3000)
    assert sync(client, bucket, root, "upload") == ["a.bin"]
    assert len(reads) == 2 * len(FILES)  # every comparison hashed the file
    warnings = [args[0] for name, args, _ in client._log.calls]
    assert len(warnings) == 1 and warnings[0].startswith("摘要缓存不可用"), warnings
    if holder is not None:
        holder.close()


def test_size_only_reads_nothing_and_refuses_other_texts(cached, bucket, tmp_path, reads):
    client = cached(digest_cache=False)
    root = tmp_path / "tree"
    write_tree(root, FILES)
    client._upload_tree(bucket, str(root), "t")
    (root / "a.bin").write_bytes(b"z" * 3000)
    (root / "sub/b.bin").write_bytes(b"z" * 5001)
    records = client._upload_tree(bucket, str(root), "t", skip_unchanged="size")
    assert [r["source"] for r in records] == [str(root / "sub/b.bin")]
    assert reads == []
    with pytest.raises(ValueError, match="skip_unchanged must be True, False, None or 'size', not 'sizes'"):
        client._upload_tree(bucket, str(root), "t", skip_unchanged="sizes")


@pytest.mark.parametrize("value", ["", 1, b"x"])
def test_digest_cache_refuses_other_values(ostrel, s3_config, value):
    with pytest.raises(ValueError, match="digest_cache must be True, False, None or the path of a file"):
        ostrel.TavrinOstrel({**s3_config, "digest_cache": value})


@pytest.mark.skipif(os.name != "posix", reason="file modes")
@pytest.mark.parametrize("keys, kept", [({}, True), ({"digest_cache": True}, True), ({"digest_cache": False}, False)])
def test_default_cache_is_the_users_cache_folder_owner_only(ostrel, s3_config, bucket, tmp_path, monkeypatch,
                                                            keys, kept):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "xdg"))
    client = ostrel.TavrinOstrel({**s3_config, **keys})
    client._connect()
    root = tmp_path / "tree"
    write_tree(root, FILES)
    time.sleep(0.05)
    sync(client, bucket, root, "upload")
    folder = tmp_path / "xdg" / "tavrin_minio"
    assert folder.exists() == kept
    if kept:
        assert folder.stat().st_mode & 0o777 == 0o700
        assert (folder / "digests.sqlite3").stat().st_mode & 0o777 == 0o600
        with sqlite3.connect(folder / "digests.sqlite3") as db:
            assert db.execute("SELECT count(*) FROM digests").fetchone()[0] == len(FILES)


SHARER = """
import os, sys, time
from tavrin_minio import ostrel
host, port, bucket, root, cache, name = sys.argv[1:]
client = ostrel.TavrinOstrel({"host": host, "port": int(port), "user": "test-access", "password": "test-secret",
                              "digest_cache": cache, "workers": 4})
client._connect()
warnings = []
client._log = type("Log", (), {"warning": lambda self, m: warnings.append(m)})()
for i in range(3):
    records = client._upload_tree(bucket, root, name, skip_unchanged=True)
print(len(records), len(warnings))
"""


@pytest.mark.timeout(120)
def test_two_processes_share_one_cache(s3_config, bucket, tmp_path):
    cache = str(tmp_path / "cache.db")
    processes = []
    for name in ("p", "q"):
        root = tmp_path / name
        write_tree(root, {f"f{i}.bin": bytes([i]) * 2000 for i in range(30)})
        processes.append(subprocess.Popen(
            [sys.executable, "-c", SHARER, s3_config["host"], str(s3_config["port"]), bucket, str(root), cache, name],
            stdout=subprocess.PIPE, text=True))
    outputs = [process.communicate(timeout=100)[0].split() for process in processes]
    assert outputs == [["0", "0"], ["0", "0"]]
    with sqlite3.connect(cache) as db:
        assert db.execute("SELECT count(DISTINCT ino) FROM digests").fetchone()[0] == 60
