"""The `progress` and `skip_unchanged` keys: the records a progress callable
gets, the tqdm bar, and the files a re-run leaves alone; against stand-ins
that report as the client library does, and end to end against moto."""

import contextlib
import hashlib
import os
import pathlib
import sys
import threading
import time
import types

import pytest
import tavrin_minio
from conftest import Recorder
from test_ranges import Storage
from urllib3.exceptions import ProtocolError

MiB = 1024 * 1024
BUCKET = "bkt"
BASE = {"host": "h", "port": 1, "user": "u", "password": "p"}


def md5(data):
    return hashlib.md5(data).hexdigest()


def multipart(part_size):
    """The ETag of a multipart upload in parts of `part_size`."""
    def etag(data):
        parts = [hashlib.md5(data[i:i + part_size]).digest() for i in range(0, len(data), part_size)]
        return f"{hashlib.md5(b''.join(parts)).hexdigest()}-{len(parts)}"
    return etag


class Failed(Exception):
    pass


class Store(Storage):
    """The ranged downloads' stand-in for the storage client, which also
    stores uploads, lists a folder with sizes and ETags (`etag(data)`), and
    reports to a `progress` object in 1 KiB steps as the client library
    does. `fail` names an object whose transfer fails; `broken` objects
    break once after reporting 3 KiB, as a stream that broke."""

    def __init__(self, objects=None, etag=md5, fail=None, broken=(), delay=0.0):
        super().__init__(dict(objects or {}), delay=delay)
        self.etag, self.fail, self.broken = etag, fail, set(broken)
        self.engine = Recorder(stat_object=self.stat_object, get_object=self.get_object, fget_object=self.fget_object,
                               fput_object=self.fput_object, list_objects=self.list_objects)

    def report(self, progress, name, data):
        time.sleep(self.delay)
        if progress is not None:
            progress.set_meta(object_name=name, total_length=len(data))
            for offset in range(0, len(data), 1024):
                progress.update(len(data[offset:offset + 1024]))
                if name in self.broken and offset == 2048:
                    self.broken.discard(name)
                    raise ProtocolError("Connection broken")
        if name == self.fail:
            raise Failed(name)

    def fput_object(self, bucket, name, path, content_type=None, num_parallel_uploads=3, progress=None):
        data = pathlib.Path(path).read_bytes()
        self.report(progress, name, data)
        self.objects[name] = data

    def fget_object(self, bucket, name, path, progress=None):
        self.report(progress, name, self.objects[name])
        pathlib.Path(f"{path}.part").write_bytes(self.objects[name])
        os.replace(f"{path}.part", path)

    def list_objects(self, bucket_name, prefix, recursive):
        return [types.SimpleNamespace(object_name=name, size=len(data), etag=self.etag(data))
                for name, data in sorted(self.objects.items())
                if name.startswith(prefix) and "/" not in name[len(prefix):]]

    def calls(self, method):
        return [args[1] for name, args, _ in self.engine.calls if name == method]


def client_for(ostrel, store, **keys):
    c = ostrel.TavrinOstrel({**BASE, **keys})
    c._engine, c._log = store.engine, Recorder()
    return c


def write_tree(root, files):
    """files: {relative path: bytes}; returns the root as text."""
    for rel, data in files.items():
        path = pathlib.Path(root, rel)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    return str(root)


class Callable:
    """A progress callable that keeps its records and counts the calls made
    while another was under way; the second record takes 0.15 s (longer than
    the interval between records); raises Stop at record `raise_at`. With
    `engine`, it notes how many calls the engine had got at each record."""

    def __init__(self, raise_at=None, engine=None):
        self.records, self.raise_at, self.active, self.overlaps = [], raise_at, 0, 0
        self.engine, self.engine_calls = engine, []
        self.lock = threading.Lock()

    def __call__(self, record):
        if self.engine is not None:
            self.engine_calls.append(len(self.engine.calls))
        with self.lock:
            self.active += 1
            self.overlaps += self.active > 1
        time.sleep(0.15 if len(self.records) == 1 else 0.002)
        self.records.append(record)
        with self.lock:
            self.active -= 1
        if len(self.records) == self.raise_at:
            raise Stop(record)


class Stop(Exception):
    pass


def check_records(records, files, size):
    """First record: all zero done, totals known; none goes down; only the
    last is finished."""
    assert isinstance(records[0], tavrin_minio.Progress) and records[0].name == ""
    assert records[0][2:] == (0, files, 0, size, 0, False)
    assert [r.finished for r in records] == [False] * (len(records) - 1) + [True]
    for before, after in zip(records, records[1:]):
        assert after.files_done >= before.files_done and after.bytes_done >= before.bytes_done
        assert (after.files_total, after.bytes_total) == (files, size)


# ================================================================ the keys

@pytest.mark.parametrize("key, value, accepted", [
    *[("progress", v, True) for v in [None, False, True, print, Callable()]],
    *[("progress", v, False) for v in [1, 0, "yes", [print]]],
    *[("skip_unchanged", v, True) for v in [None, False, True]],
    *[("skip_unchanged", v, False) for v in [1, 0, "yes"]],
])
def test_key_values(ostrel, key, value, accepted):
    mapping = {**BASE, key: value}
    if accepted:
        ostrel.TavrinOstrel(mapping)
        return
    with pytest.raises(ValueError, match=f"^{key} must be True, False"):
        ostrel.TavrinOstrel(mapping)
    assert "ssh" not in mapping  # refused before the defaults are added


def test_bar_without_tqdm_is_refused(ostrel, monkeypatch):
    monkeypatch.setitem(sys.modules, "tqdm", None)
    with pytest.raises(ValueError, match="^progress=True .* pip install tqdm$"):
        ostrel.TavrinOstrel({**BASE, "progress": True})


# ============================================================= the records

TREE = {f"{folder}f{i:02d}.bin": bytes([i]) * (1000 + 37 * i) for folder in ("", "sub/", "sub/deep/") for i in range(16)}
FOLDER = {f"t/f{i:02d}.bin": bytes([i]) * (1000 + 37 * i) for i in range(47)} | {"t/big.bin": b"b" * (16 * MiB + 1)}


@pytest.mark.timeout(20)
@pytest.mark.parametrize("outcome", ["returns", "transfer-fails", "callable-raises"])
@pytest.mark.parametrize("kind", ["upload", "download"])
def test_records_of_a_folder_transfer(ostrel, tmp_path, kind, outcome):
    """workers=8: the first record before any transfer with the totals (a
    nested folder counted by the upload's scan; a folder download's from its
    listing, a ranged object included), none going down, never two calls at
    once, about ten a second, the finished one last also when the call
    raises; a callable's exception stops the transfer and reaches the caller."""
    files = TREE if kind == "upload" else FOLDER
    store = Store({} if kind == "upload" else files, delay=0.08,
                  fail="t/sub/f03.bin" if kind == "upload" else "t/f03.bin")
    if outcome != "transfer-fails":
        store.fail = None
    sink = Callable(raise_at=2 if outcome == "callable-raises" else None, engine=store.engine)
    client = client_for(ostrel, store, workers=8, progress=sink)
    start = time.monotonic()
    with pytest.raises(Failed if outcome == "transfer-fails" else Stop) if outcome != "returns" else contextlib.nullcontext():
        if kind == "upload":
            client._upload_dir(BUCKET, write_tree(tmp_path / "t", files))
        else:
            client._download_dir(BUCKET, "t", str(tmp_path / "out"))
    elapsed = time.monotonic() - start
    records = sink.records
    check_records(records, len(files), sum(map(len, files.values())))
    assert records[0].operation == f"{kind}_dir" and sink.engine_calls[0] == (0 if kind == "upload" else 1)
    assert sink.overlaps == 0 and len(records) <= 3 + 10 * elapsed
    last = records[-1]
    if outcome == "returns":
        assert (last.files_done, last.bytes_done) == (len(files), sum(map(len, files.values())))
        assert len(records) >= 4  # some between the first and the last
    else:
        assert last.files_done < len(files)


@pytest.mark.timeout(20)
@pytest.mark.parametrize("call", ["upload_file", "download_file", "download_file-broken", "download_file-ranged"])
def test_records_of_one_object(ostrel, tmp_path, call):
    """A single-object call: the first record once the library gives the
    length, the last when done. A download whose stream broke starts over:
    its bytes are counted once."""
    data = b"x" * (16 * MiB + 1 if call.endswith("ranged") else 5000)
    store = Store({"o.bin": data}, broken=["o.bin"] if call.endswith("broken") else ())
    sink = Callable()
    client = client_for(ostrel, store, progress=sink, workers=2 if call.endswith("ranged") else None)
    local = tmp_path / "o.bin"
    if call == "upload_file":
        local.write_bytes(data)
        client._upload_file(BUCKET, "o.bin", str(local))
    else:
        client._download_file(BUCKET, "o.bin", str(local))
        assert local.read_bytes() == data
    check_records(sink.records, 1, len(data))
    assert sink.records[-1][:7] == (call.split("-")[0], "o.bin", 1, 1, len(data), len(data), 0)


def test_bar(ostrel, tmp_path, capsys):
    """progress=True: one tqdm bar on stderr, described by the operation and
    the folder, files done of the total beside it, closed at the end."""
    tqdm = pytest.importorskip("tqdm")
    client = client_for(ostrel, Store(), progress=True)
    root = write_tree(tmp_path / "photos", {"a": b"a" * 3000, "b/c": b"c" * 2000})
    client._upload_dir(BUCKET, root)
    shown = capsys.readouterr().err
    assert f"upload {root}" in shown and "2/2 files" in shown and "4.88k/4.88k" in shown
    assert shown.endswith("\n") and not tqdm.tqdm._instances


# ========================================================= skip_unchanged

@pytest.mark.timeout(20)
@pytest.mark.parametrize("workers", [None, 4])
def test_upload_rerun_sends_only_what_differs(ostrel, tmp_path, monkeypatch, workers):
    """A re-run lists each directory the walk enters once and uploads the
    changed (same size or not) and the new files only; the local files are
    read on the transfer threads."""
    store = Store()
    client = client_for(ostrel, store, skip_unchanged=True, workers=workers)
    files = {"a": b"1" * 10, "b": b"2" * 10, "c": b"3" * 10, "sub/d": b"4", "sub/deep/e": b"5"}
    root = write_tree(tmp_path / "t", files)
    client._upload_dir(BUCKET, root)
    assert sorted(store.calls("fput_object")) == sorted(f"t/{name}" for name in files)
    write_tree(root, {"b": b"X" * 10, "c": b"3" * 11, "sub/new": b"6"})
    readers = []
    real_open = open
    monkeypatch.setattr(ostrel, "open", lambda *a: readers.append(threading.current_thread().name) or real_open(*a),
                        raising=False)
    store.engine.calls.clear()
    client._upload_dir(BUCKET, root)
    assert sorted(store.calls("fput_object")) == ["t/b", "t/c", "t/sub/new"]
    listings = [kw for name, _, kw in store.engine.calls if name == "list_objects"]
    assert listings == [{"bucket_name": BUCKET, "prefix": p, "recursive": False} for p in ("t/", "t/sub/", "t/sub/deep/")]
    assert len(readers) == 4 and all(name.startswith("tavrin_minio_") == bool(workers) for name in readers)


@pytest.fixture(scope="module")
def big_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("big") / "f"
    path.write_bytes(os.urandom(17 * MiB + 3))
    return path


@pytest.mark.parametrize("etag, skipped", [
    (md5, True),
    (lambda data: f'"{md5(data)}"', True),
    (multipart(5 * MiB), True),  # the client library's part size for this length
    (multipart(8 * MiB), True),
    (multipart(16 * MiB), True),
    (multipart(6 * MiB), False),  # three parts, but not of a size that is tried
    (lambda data: md5(data + b"!"), False),  # an MD5-like ETag of other content (server-side encryption)
    (lambda data: md5(data)[:31] + "g", False),
    (lambda data: multipart(5 * MiB)(data) + "0", False),
    (lambda data: None, False),
])
def test_content_match_by_etag(ostrel, big_file, etag, skipped):
    store = Store({"f/f": big_file.read_bytes()}, etag=etag)
    client_for(ostrel, store, skip_unchanged=True)._upload_dir(BUCKET, str(big_file.parent), base_dir="f")
    assert store.calls("fput_object") == ([] if skipped else ["f/f"])


@pytest.mark.timeout(20)
@pytest.mark.parametrize("workers", [None, 4])
def test_download_rerun_skips_only_exact_copies(ostrel, tmp_path, workers):
    """Only an existing regular file of the object's size and content is left
    alone: not one of other content or size, nor a link to an exact copy
    (though the link itself has the object's size)."""
    copy = tmp_path / "copy"
    objects = {f"t/{name}": name.encode() * 100 for name in ("same", "other", "longer", "missing")}
    objects["t/link"] = b"k" * len(os.fsencode(copy))
    store = Store(objects)
    out = tmp_path / "out"
    write_tree(out, {"same": b"same" * 100, "other": b"OTHE" * 100, "longer": b"longer" * 101})
    copy.write_bytes(objects["t/link"])
    (out / "link").symlink_to(copy)
    client_for(ostrel, store, skip_unchanged=True, workers=workers)._download_dir(BUCKET, "t", str(out))
    assert sorted(store.calls("fget_object")) == ["t/link", "t/longer", "t/missing", "t/other"]
    assert all((out / name[2:]).read_bytes() == data for name, data in objects.items())
    assert not (out / "link").is_symlink()


# ============================================================= end to end

@pytest.mark.timeout(20)
def test_both_keys_against_the_server(ostrel, s3_config, bucket, tmp_path):
    """workers=4: the first run moves everything, a re-run nothing (a
    multipart object included), a change just that file; the same for the
    folder download."""
    sink = Callable()
    client = ostrel.TavrinOstrel({**s3_config, "workers": 4, "progress": sink, "skip_unchanged": True})
    client._connect()
    files = {"a.txt": b"a" * 100, "big.bin": os.urandom(6 * MiB), "sub/b.txt": b"b" * 200}
    root = write_tree(tmp_path / "t", files)

    def skipped(count, call, *args):
        sink.records.clear()
        call(bucket, *args)
        last = sink.records[-1]
        assert (last.files_done, last.files_total, last.finished) == (count, count, True)
        return last.skipped

    assert [skipped(3, client._upload_dir, root) for _ in range(2)] == [0, 3]
    write_tree(root, {"a.txt": b"A" * 100})
    assert skipped(3, client._upload_dir, root) == 2
    out = tmp_path / "out"
    assert [skipped(2, client._download_dir, "t", str(out)) for _ in range(2)] == [0, 2]
    assert (out / "big.bin").read_bytes() == files["big.bin"]
