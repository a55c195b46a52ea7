"""The tavrin:// file system (tavrin_minio.fs) against moto: fsspec's own
abstract suites, the calls behind the methods, ranged reads, writes in parts
that fail cleanly, and pandas/pyarrow round trips, one through the tunnel."""

import contextlib
import datetime
import io
import os
import subprocess
import sys
import uuid
from types import SimpleNamespace

import fsspec
import pytest
from fsspec.tests.abstract import (AbstractCopyTests, AbstractFixtures, AbstractGetTests, AbstractOpenTests,
                                   AbstractPipeTests, AbstractPutTests)
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from minio.error import S3Error

from tavrin_minio.fs import TavrinFileSystem
from tavrin_minio.mimora import get_mimora

MiB = 1 << 20


def new_bucket(fs):
    name = f"f-{uuid.uuid4().hex[:12]}"
    fs.client._engine.make_bucket(name)  # us-east-1, so that the bucket listing shows it
    return name


@pytest.fixture
def tfs(s3_config):
    return TavrinFileSystem(config=s3_config, skip_instance_cache=True)


@pytest.fixture
def tb(tfs):
    return new_bucket(tfs)


def pending_uploads(fs, bucket):
    return fs.client._engine._list_multipart_uploads(bucket).uploads


class TavrinFixtures(AbstractFixtures):
    @pytest.fixture
    def fs(self, tfs):
        return tfs

    @pytest.fixture
    def fs_join(self):
        return lambda *parts: "/".join(parts)

    @pytest.fixture
    def fs_path(self, fs):
        return new_bucket(fs)

    @pytest.fixture
    def supports_empty_directories(self):
        return False  # folders exist only through the objects in them


class TestCopy(AbstractCopyTests, TavrinFixtures):
    pass


class TestGet(AbstractGetTests, TavrinFixtures):
    pass


class TestPut(AbstractPutTests, TavrinFixtures):
    pass


class TestOpen(AbstractOpenTests, TavrinFixtures):
    pass


class TestPipe(AbstractPipeTests, TavrinFixtures):
    pass


@pytest.mark.parametrize("args, prefix", [(("b",), ""), (("b", "p/"), "p/"), (("b", "p"), "p/")])
def test_list_folder_call(recorder_client, args, prefix):
    """One listing with "/" as delimiter; a common prefix is a record of its prefix only."""
    when = datetime.datetime(2024, 1, 2, 3, 4, 5, tzinfo=datetime.timezone.utc)
    entries = [SimpleNamespace(bucket_name="b", object_name="p/x", last_modified=when, etag="e", size=1,
                               content_type=None, is_dir=False),
               SimpleNamespace(bucket_name="b", object_name="p/d/", last_modified=None, etag=None, size=None,
                               content_type=None, is_dir=True)]
    c, engine, log = recorder_client(list_objects=lambda **kw: iter(entries))
    assert c._list_folder(*args) == [{"key": "p/x", "size": 1, "etag": "e", "last_modified": when},
                                     {"prefix": "p/d/"}]
    assert engine.calls == [("list_objects", (), {"bucket_name": "b", "prefix": prefix, "recursive": False})]


def test_folder_tree_call(recorder_client):
    """One recursive listing; folders derived from the names, markers and
    names with an empty part make no file."""
    when = datetime.datetime(2024, 1, 2, 3, 4, 5, tzinfo=datetime.timezone.utc)
    names = ["p/a/b.txt", "p/a/c", "p/d/", "p/", "p/e//x", "p/top"]
    entries = [SimpleNamespace(object_name=n, last_modified=when, etag="e", size=1) for n in names]
    c, engine, _ = recorder_client(list_objects=lambda **kw: iter(entries))

    def file(name):
        return {"name": name, "size": 1, "type": "file", "ETag": "e", "LastModified": when}

    def folder(name):
        return {"name": name, "size": 0, "type": "directory"}

    assert c._folder_tree("b", "p", "b/p") == {
        "b/p": ({"a": folder("b/p/a"), "d": folder("b/p/d"), "e": folder("b/p/e")}, {"top": file("b/p/top")}),
        "b/p/a": ({}, {"b.txt": file("b/p/a/b.txt"), "c": file("b/p/a/c")}),
        "b/p/d": ({}, {}), "b/p/e": ({}, {})}
    assert engine.calls == [("list_objects", (), {"bucket_name": "b", "prefix": "p/", "recursive": True})]
    entries.clear()
    assert c._folder_tree("b") == {}


def test_import_leaves_fsspec_alone():
    code = ("import sys, tavrin_minio, tavrin_minio.ostrel, tavrin_minio.mimora; "
            "sys.exit('fsspec' in sys.modules or 'upath' in sys.modules)")
    assert subprocess.run([sys.executable, "-c", code]).returncode == 0


def test_registered_and_cached_per_arguments(s3_config):
    """The entry point finds the class; equal storage options give one instance
    (one client, one tunnel), and the caller's mapping is not changed."""
    config = dict(s3_config)
    first = fsspec.filesystem("tavrin", config=config)
    assert isinstance(first, TavrinFileSystem) and config == s3_config
    assert fsspec.filesystem("tavrin", config=config) is first
    assert fsspec.filesystem("tavrin", config=config, block_size=6 * MiB) is not first


def test_profile_from_config_file(s3_config, tmp_path):
    path = tmp_path / "config.toml"
    path.write_text("[store]\n" + "".join(f"{k} = {v!r}\n" for k, v in s3_config.items()).replace("'", '"'))
    path.chmod(0o600)
    fs = TavrinFileSystem(profile="store", config_file=path, skip_instance_cache=True)
    bucket = new_bucket(fs)
    fs.pipe(f"{bucket}/k", b"v")
    assert fs.cat(f"tavrin://{bucket}/k") == b"v"
    with pytest.raises(ValueError, match="either config or profile"):
        TavrinFileSystem(config=s3_config, profile="store", skip_instance_cache=True)


def test_listings_and_info(tfs, tb, monkeypatch):
    for key in ("a/b/c.txt", "a/d.csv", "top", "a/b/deep/e"):
        tfs.pipe(f"{tb}/{key}", b"x" * len(key))
    tfs.client._engine.put_object(tb, "m/", io.BytesIO(b""), 0)  # a folder marker another tool made
    calls = []
    listing = tfs.client._engine.list_objects
    monkeypatch.setattr(tfs.client._engine, "list_objects",
                        lambda *a, **kw: calls.append(kw["recursive"]) or listing(*a, **kw))

    assert tb in tfs.ls("", detail=False)
    assert sorted(tfs.ls(f"tavrin://{tb}", detail=False)) == [f"{tb}/a", f"{tb}/m", f"{tb}/top"]
    entries = {e["name"]: e for e in tfs.ls(f"{tb}/a/")}
    assert entries[f"{tb}/a/b"] == {"name": f"{tb}/a/b", "size": 0, "type": "directory"}
    d = entries[f"{tb}/a/d.csv"]
    assert (d["type"], d["size"], len(d["ETag"]), d["LastModified"].tzinfo is not None) == ("file", 7, 32, True)
    assert tfs.ls(f"{tb}/m") == [] and tfs.ls(f"{tb}/top", detail=False) == [f"{tb}/top"]
    assert calls == [False, False, False, False], "one delimiter listing per ls"

    requests = []
    execute = tfs.client._engine._execute
    monkeypatch.setattr(tfs.client._engine, "_execute", lambda *a, **kw: requests.append(a[0]) or execute(*a, **kw))

    def one_request(value):
        assert requests == ["GET"], "one listing, nothing else"
        requests.clear()
        return value

    assert one_request(tfs.find(tb)) == sorted(f"{tb}/{k}" for k in ("a/b/c.txt", "a/d.csv", "top", "a/b/deep/e"))
    assert one_request(tfs.find(f"{tb}/a", maxdepth=1, withdirs=True)) == [f"{tb}/a", f"{tb}/a/b", f"{tb}/a/d.csv"]
    assert one_request(tfs.glob(f"{tb}/a/*/*")) == [f"{tb}/a/b/c.txt", f"{tb}/a/b/deep"]
    assert one_request(tfs.du(f"{tb}/a")) == 9 + 7 + 10
    assert one_request(tfs.expand_path(f"{tb}/a/b", recursive=True)) == [
        f"{tb}/a/b", f"{tb}/a/b/c.txt", f"{tb}/a/b/deep", f"{tb}/a/b/deep/e"]
    assert one_request([(root, sorted(dirs), files) for root, dirs, files in tfs.walk(f"{tb}/a")]) == [
        (f"{tb}/a", ["b"], ["d.csv"]), (f"{tb}/a/b", ["deep"], ["c.txt"]), (f"{tb}/a/b/deep", [], ["e"])]
    assert one_request(tfs.isdir(f"{tb}/a/b"))
    assert calls.count(True) == 6, "each a recursive listing, never one per folder"
    monkeypatch.undo()

    assert [tfs.isdir(f"{tb}/a/b"), tfs.isfile(f"{tb}/a/b"), tfs.isfile(f"{tb}/top"), tfs.isdir(tb)] == [
        True, False, True, True]
    assert tfs.info(f"{tb}/a/d.csv")["ContentType"] == get_mimora("d.csv")
    assert tfs.sizes([f"{tb}/top", f"{tb}/a/d.csv"]) == [3, 7]
    assert tfs.ukey(f"{tb}/top") == tfs.info(f"{tb}/top")["ETag"] and isinstance(tfs.checksum(f"{tb}/top"), int)
    assert tfs.modified(f"{tb}/top") == tfs.info(f"{tb}/top")["LastModified"]


@pytest.mark.parametrize("call", ["ls", "info", "cat_file", "open", "get_file", "cp_file", "rmdir"])
@pytest.mark.parametrize("where", ["missing-key", "missing-bucket"])
def test_missing_is_file_not_found(tfs, tb, tmp_path, call, where):
    path = f"{tb}/no/such" if where == "missing-key" else "no-such-bucket-here/x"
    args = {"get_file": (path, str(tmp_path / "x")), "cp_file": (path, f"{tb}/copy"),
            "rmdir": (path.split("/")[0] + ("-gone" if where == "missing-key" else ""),)}.get(call, (path,))
    with pytest.raises(FileNotFoundError) as info:
        getattr(tfs, call)(*args)
    if call in ("cat_file", "get_file") or where == "missing-bucket" and call != "rmdir":
        assert isinstance(info.value.__cause__, S3Error)
    assert not tfs.exists(path)
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("code, error", [("AccessDenied", PermissionError), ("NoSuchKey", FileNotFoundError),
                                         ("NoSuchBucket", FileNotFoundError), ("BucketNotEmpty", OSError),
                                         ("SlowDown", S3Error)])
def test_errors_map_to_python(tfs, tb, monkeypatch, code, error):
    failure = S3Error(None, code, "message", f"/{tb}/k", "r", "h")

    def refuse(*args, **kwargs):
        raise failure

    monkeypatch.setattr(tfs.client._engine, "get_object", refuse)
    with pytest.raises(error) as info:
        tfs.cat_file(f"{tb}/k", 0, 10)
    assert info.value is failure or info.value.__cause__ is failure


def test_buckets_as_folders(tfs):
    name = f"f-{uuid.uuid4().hex[:12]}"
    fs = tfs
    fs.mkdir(name)
    assert fs.isdir(name)
    fs.mkdir(f"{name}/implied/folder")  # nothing to make
    assert fs.find(name) == []
    with pytest.raises(FileExistsError):
        fs.mkdir(name)
    fs.makedirs(name, exist_ok=True)
    fs.pipe(f"{name}/k", b"v")
    with pytest.raises(OSError):
        fs.rmdir(name)  # not empty
    fs.rm(name, recursive=True)
    assert not fs.exists(name)


def test_put_and_get_go_through_the_client(tfs, tb, tmp_path, monkeypatch):
    """put and get, of one file too, are the class's own batch of transfers on
    its pool (workers: the command line's default unless the config names one)."""
    from tavrin_minio.cli import DEFAULT_WORKERS

    seen = []
    many = tfs.client._transfer_many
    monkeypatch.setattr(tfs.client, "_transfer_many", lambda action, pairs, **kw: seen.append((action, pairs))
                        or many(action, pairs, **kw))
    source = tmp_path / "in.txt"
    source.write_bytes(b"text")
    tfs.put(str(source), f"tavrin://{tb}/dir/in.txt")
    tfs.get(f"{tb}/dir/in.txt", str(tmp_path / "out.txt"))
    assert (tmp_path / "out.txt").read_bytes() == b"text"
    assert seen == [("upload", [(str(source), f"{tb}/dir/in.txt")]),
                    ("download", [(f"{tb}/dir/in.txt", str(tmp_path / "out.txt"))])]
    assert tfs.info(f"{tb}/dir/in.txt")["ContentType"] == "text/plain"
    assert tfs.client._config.workers == DEFAULT_WORKERS


@pytest.fixture
def counted(s3_config, monkeypatch):
    """A file system on 3 workers whose storage calls count how many are under
    way at once (a call the client library makes inside another is not counted)."""
    import threading
    import time

    fs = TavrinFileSystem(config={**s3_config, "workers": 3}, skip_instance_cache=True)
    lock, local, counts = threading.Lock(), threading.local(), {"now": 0, "most": 0}

    def counting(method):
        def call(*args, **kwargs):
            if getattr(local, "inside", False):
                return method(*args, **kwargs)
            local.inside = True
            with lock:
                counts["now"] += 1
                counts["most"] = max(counts["most"], counts["now"])
            try:
                time.sleep(0.01)
                return method(*args, **kwargs)
            finally:
                with lock:
                    counts["now"] -= 1
                local.inside = False
        return call

    engine = fs.client._engine
    for name in ("fget_object", "get_object", "fput_object", "put_object", "stat_object", "copy_object"):
        monkeypatch.setattr(engine, name, counting(getattr(engine, name)))
    fs.counts = counts
    return fs


@pytest.mark.timeout(60)
def test_many_files_on_the_pool(counted, tmp_path):
    fs = counted
    bucket = new_bucket(fs)
    local = tmp_path / "up"
    for i in range(12):
        (local / f"d{i % 3}").mkdir(parents=True, exist_ok=True)
        (local / f"d{i % 3}" / f"f{i}.txt").write_bytes(b"%d" % i)
    fs.put(str(local), f"{bucket}/t", recursive=True)
    names = sorted(f"{bucket}/t/d{i % 3}/f{i}.txt" for i in range(12))
    assert fs.find(f"{bucket}/t") == names
    fs.get(f"{bucket}/t", str(tmp_path / "down"), recursive=True)
    assert sorted(p.read_bytes() for p in (tmp_path / "down").rglob("*.txt")) == sorted(b"%d" % i for i in range(12))
    assert fs.cat(names) == {n: n.rsplit("f", 1)[1][:-4].encode() for n in names}
    assert fs.cat_ranges(names[:2] + names[:1], [0, 0, -1], [1, None, None]) == [b"0", b"3", b"0"]
    assert fs.sizes(names) == [len(n.rsplit("f", 1)[1]) - 4 for n in names]
    fs.copy(names, [f"{bucket}/c/{i}" for i in range(12)])
    assert fs.cat(f"{bucket}/c/11") == fs.cat(names[11])
    assert 1 < fs.counts["most"] <= 3, fs.counts


@pytest.mark.parametrize("call", ["get", "put", "cat", "sizes", "copy"])
def test_many_files_raise_the_earliest_failure(tfs, tb, tmp_path, call):
    """Every path is tried; the first failing one in the call's order is
    raised, as fsspec's own error; a failed download leaves no file behind."""
    names = [f"{tb}/k{i}" for i in range(6)]
    for name in names[::2]:
        tfs.pipe(name, b"v")
    for i in range(6):
        (tmp_path / f"l{i}").write_bytes(b"v") if i % 2 == 0 else None
    locals_ = [str(tmp_path / f"l{i}") for i in range(6)]
    (tmp_path / "out").mkdir()
    run = {"get": lambda: tfs.get(names, [str(tmp_path / "out" / f"{i}") for i in range(6)]),
           "put": lambda: tfs.put(locals_, [f"{tb}/up{i}" for i in range(6)]),
           "cat": lambda: tfs.cat(names), "sizes": lambda: tfs.sizes(names),
           "copy": lambda: tfs.copy(names, [f"{tb}/c{i}" for i in range(6)])}[call]
    with pytest.raises(FileNotFoundError) as info:
        run()
    assert info.value.filename == (locals_[1] if call == "put" else names[1])
    if call == "get":  # many files: each by one request ("fetch"), no temporary file left
        assert sorted(os.listdir(tmp_path / "out")) == ["0", "2", "4"]
        with pytest.raises(ValueError, match="folder"):
            tfs.client._transfer_many("fetch", [(names[0], str(tmp_path / "out"))])
        assert sorted(os.listdir(tmp_path / "out")) == ["0", "2", "4"]
    assert pending_uploads(tfs, tb) == []


def test_cat_on_error(tfs, tb):
    tfs.pipe(f"{tb}/a", b"A")
    paths = [f"{tb}/a", f"{tb}/missing"]
    assert tfs.cat(paths, on_error="omit") == {f"{tb}/a": b"A"}
    returned = tfs.cat(paths, on_error="return")
    assert returned[f"{tb}/a"] == b"A" and isinstance(returned[f"{tb}/missing"], FileNotFoundError)
    ranges = tfs.cat_ranges(paths, 0, 1)
    assert ranges[0] == b"A" and isinstance(ranges[1], FileNotFoundError)
    with pytest.raises(FileNotFoundError):
        tfs.cat_ranges(paths, 0, 1, on_error="raise")


PAYLOAD = os.urandom(300_000)


@pytest.fixture
def ranged(tfs, tb):
    """A file system and the path of PAYLOAD."""
    tfs.pipe(f"{tb}/payload.bin", PAYLOAD)
    return tfs, f"{tb}/payload.bin"


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(reads=st.lists(st.tuples(st.integers(-1000, len(PAYLOAD) + 1000), st.integers(0, 40_000)),
                      min_size=1, max_size=6))
def test_random_ranged_reads(ranged, reads):
    fs, path = ranged
    fetched = []
    with fs.open(path, "rb", block_size=16 * 1024) as file:
        fetch = file._fetch_range
        file._fetch_range = lambda start, end: fetched.append(end - start) or fetch(start, end)
        for start, length in reads:
            position = max(start, 0)
            file.seek(position)
            if length % 2:
                buffer = bytearray(length)
                got = bytes(buffer[:file.readinto(buffer)])
            else:
                got = file.read(length)
            assert got == PAYLOAD[position:position + length]
            assert file.tell() == min(position + length, len(PAYLOAD)) or position > len(PAYLOAD)
            assert fs.cat_file(path, start, start + length) == PAYLOAD[start:start + length]
    assert all(size <= 40_000 + 2 * 16 * 1024 for size in fetched), "never the whole object for part of it"


def write_big(file, size):
    for _ in range(size // MiB):
        file.write(b"x" * MiB)


@pytest.mark.parametrize("size", [MiB, 12 * MiB], ids=["one-put", "in-parts"])
@pytest.mark.parametrize("how", ["exception", "discard", "dropped", "send-fails"])
def test_failed_write_stores_nothing(tfs, tb, monkeypatch, size, how):
    path = f"{tb}/failed.bin"
    if how == "send-fails":  # the single PUT, or the second part
        def fail(*args, **kwargs):
            raise OSError("link down")

        monkeypatch.setattr(tfs.client._engine, "_put_object", fail)
        parts = tfs.client._engine._upload_part
        monkeypatch.setattr(tfs.client._engine, "_upload_part", lambda *a: parts(*a) if a[-1] == 1 else fail())
        with pytest.raises(OSError, match="link down"):
            with tfs.open(path, "wb") as file:
                write_big(file, size)
        monkeypatch.undo()
    elif how == "exception":
        with pytest.raises(KeyError):
            with tfs.open(path, "wb") as file:
                write_big(file, size)
                raise KeyError("stop")
    else:
        file = tfs.open(path, "wb")
        write_big(file, size)
        file.discard() if how == "discard" else file.__del__()
        assert file.closed
    assert not tfs.exists(path)
    assert pending_uploads(tfs, tb) == []


@pytest.mark.parametrize("size", [MiB, 12 * MiB], ids=["one-put", "in-parts"])
def test_write_in_parts_and_exclusive_creation(tfs, tb, size):
    path = f"{tb}/data.csv"
    with tfs.open(path, "wb", block_size=MiB) as file:  # raised to 5 MiB
        assert file.blocksize == 5 * MiB
        write_big(file, size)
    info = tfs.info(path)
    assert (info["size"], info["ContentType"], info["ETag"].endswith("-3")) == (size, get_mimora(path), size > 5 * MiB)
    with pytest.raises(FileExistsError):
        tfs.open(path, "xb")
    # A writer that raced us: the final write refuses to replace its object.
    racing = tfs.open(f"{tb}/race.bin", "xb")
    write_big(racing, size)
    tfs.pipe(f"{tb}/race.bin", b"first")
    with pytest.raises(FileExistsError):
        racing.close()
    assert tfs.cat(f"{tb}/race.bin") == b"first" and pending_uploads(tfs, tb) == []


@pytest.mark.sshd
def test_pandas_csv_through_the_tunnel(s3_config, sshd_server):
    import pandas as pd

    config = sshd_server.ssh_config(s3_config["host"], s3_config["port"], user=s3_config["user"],
                                    password=s3_config["password"])
    options = {"config": config, "skip_instance_cache": True}
    fs = TavrinFileSystem(**options)
    assert fs.client._config.host == "127.0.0.1" and fs.client._config.port != s3_config["port"]
    bucket = new_bucket(fs)
    frame = pd.DataFrame({"name": ["a", "b", "c"], "value": [1.5, 2.0, -3.25]})
    frame.to_csv(f"tavrin://{bucket}/t.csv", index=False, storage_options=options)
    back = pd.read_csv(f"tavrin://{bucket}/t.csv", storage_options=options)
    pd.testing.assert_frame_equal(back, frame)


def test_pyarrow_parquet_and_upath(tfs, tb, s3_config):
    import pyarrow as pa
    import pyarrow.parquet as pq
    from upath import UPath

    table = pa.table({"n": list(range(50_000)), "s": [str(i) for i in range(50_000)]})
    pq.write_table(table, f"{tb}/t.parquet", filesystem=tfs, row_group_size=10_000)
    assert pq.read_table(f"{tb}/t.parquet", filesystem=tfs).equals(table)
    assert pq.ParquetFile(tfs.open(f"{tb}/t.parquet")).read_row_group(3).column("n")[0].as_py() == 30_000
    path = UPath(f"tavrin://{tb}/t.parquet", config=s3_config)
    assert path.exists() and path.stat().st_size == tfs.size(f"{tb}/t.parquet")
    assert [p.name for p in path.parent.iterdir()] == ["t.parquet"]


def test_object_replaced_while_open_fails_the_read(ranged):
    """Each range asks for the version seen at open: the server's own
    PreconditionFailed, never a mixture of versions."""
    fs, path = ranged
    with fs.open(path, "rb", block_size=1024) as file:
        assert file.read(10) == PAYLOAD[:10]
        fs.pipe(path, b"new" * 100_000)
        with pytest.raises(S3Error) as info:
            file.read(4096)
    assert info.value.code == "PreconditionFailed"


@pytest.mark.parametrize("action, pairs, error", [
    ("move", [("b/k", None)], ValueError), ("read", [("b/k", None, 1)], ValueError),
    ("read", [("b", None)], ValueError), ("size", [(1, None)], TypeError), ("copy", [("b/k", "b/")], ValueError),
    ("read", [("b/k", (1,))], TypeError), ("read", [("b/k", (-1, 2))], ValueError)])
def test_transfer_many_refuses_bad_pairs(tfs, action, pairs, error):
    """Bad pairs are refused before anything is sent (or as that pair's failure)."""
    with pytest.raises(error):
        tfs.client._transfer_many(action, pairs)


@pytest.mark.parametrize("size", [MiB, 12 * MiB], ids=["one-put", "in-parts"])
@pytest.mark.parametrize("ends", ["committed", "exception"])
def test_transaction_stores_at_the_end(tfs, tb, size, ends):
    paths = [f"{tb}/t/written.bin", f"{tb}/t/piped.txt"]
    with pytest.raises(KeyError) if ends == "exception" else contextlib.nullcontext():
        with tfs.transaction:
            with tfs.open(paths[0], "wb") as file:
                write_big(file, size)
            tfs.pipe({paths[1]: b"piped", f"{tb}/t/marker/": b""})
            assert tfs.find(tb, withdirs=True) == [tb], "nothing before the block ends"
            if ends == "exception":
                raise KeyError("stop")
    assert [tfs.exists(p) for p in [*paths, f"{tb}/t/marker"]] == [ends == "committed"] * 3
    if ends == "committed":
        assert tfs.size(paths[0]) == size and tfs.cat(paths[1]) == b"piped"
    assert pending_uploads(tfs, tb) == []
    tfs.start_transaction()
    tfs.pipe(paths[1], b"again")
    tfs.end_transaction()
    assert tfs.cat(paths[1]) == b"again"


@pytest.mark.parametrize("size", [0, 1000, 6 * MiB], ids=["missing", "small", "copied-in-server"])
def test_append(tfs, tb, size, monkeypatch):
    path = f"{tb}/log.csv"
    old = os.urandom(size)
    if size:
        tfs.pipe(path, old)
    read = []
    get_object = tfs.client._engine.get_object
    monkeypatch.setattr(tfs.client._engine, "get_object", lambda *a, **kw: read.append(a) or get_object(*a, **kw))
    with tfs.open(path, "ab") as file:
        assert file.tell() == size
        file.write(b"new,line\n")
    assert tfs.cat(path) == old + b"new,line\n"
    assert len(read) == (size == 1000) + 1, "a big object is not fetched to be appended to"
    assert pending_uploads(tfs, tb) == []
    with pytest.raises(ValueError, match="not supported"):
        tfs.open(path, "r+b")


def test_dask_to_csv_single_file(tfs, tb, s3_config):
    pd = pytest.importorskip("pandas")
    dd = pytest.importorskip("dask.dataframe")
    frame = pd.DataFrame({"n": range(100), "s": [f"r{i}" for i in range(100)]})
    options = {"config": s3_config, "skip_instance_cache": True}
    dd.from_pandas(frame, npartitions=4).to_csv(f"tavrin://{tb}/all.csv", single_file=True, index=False,
                                                storage_options=options)
    back = pd.read_csv(io.BytesIO(tfs.cat(f"{tb}/all.csv")))
    pd.testing.assert_frame_equal(back, frame)


def test_folder_markers_and_collisions(tfs, tb):
    tfs.pipe(f"{tb}/dir/", b"")
    tfs.touch(f"tavrin://{tb}/touched/")
    tfs.mkdir(f"{tb}/made/")
    tfs.mkdir(f"{tb}/implied")  # no slash: nothing to make
    engine = tfs.client._engine
    assert sorted(o.object_name for o in engine.list_objects(tb, recursive=True)) == ["dir/", "made/", "touched/"]
    for name in ("dir", "made", "touched"):
        assert tfs.info(f"{tb}/{name}")["type"] == "directory" and tfs.isdir(f"{tb}/{name}")
        assert tfs.ls(f"{tb}/{name}") == []
    assert sorted(tfs.ls(tb, detail=False)) == [f"{tb}/dir", f"{tb}/made", f"{tb}/touched"]
    assert tfs.find(tb) == [] and [root for root, _, _ in tfs.walk(tb)] == [tb, f"{tb}/dir", f"{tb}/made",
                                                                            f"{tb}/touched"]
    # "both": an object and a prefix of others: a folder, as s3fs treats it.
    tfs.pipe({f"{tb}/both": b"object", f"{tb}/both/inner": b"x"})
    assert tfs.isdir(f"{tb}/both") and tfs.ls(f"{tb}/both", detail=False) == [f"{tb}/both/inner"]
