"""Big files both ways: uploads as the parts of one multipart upload on the
transfer pool (`workers` of 2 or more), and file downloads that go on from
the byte they reached when a connection drops, against stand-ins and end to
end against moto (through the benchmarks' network proxy)."""

import hashlib
import io
import os
import threading
import time

import pytest
from conftest import Recorder
from minio.error import S3Error
from test_progress import Callable, multipart
from test_transfers import net_proxy
from urllib3.exceptions import ProtocolError

MiB = 1024 * 1024
BUCKET = "bkt"


def write(path, size):
    """A file of `size` random bytes; returns them."""
    data = os.urandom(size)
    path.write_bytes(data)
    return data


def connected(ostrel, s3_config, **keys):
    c = ostrel.TavrinOstrel({**s3_config, **keys})
    c._connect()
    return c


class Spy:
    """Wraps methods of a real storage client as instance attributes that
    record each call's arguments; `before[name](args, kwargs)` runs first."""

    def __init__(self, engine, *names, before=None):
        self.calls = {name: [] for name in names}
        for name in names:
            setattr(engine, name, self.wrap(name, getattr(engine, name), (before or {}).get(name)))

    def wrap(self, name, method, before):
        def call(*args, **kwargs):
            self.calls[name].append(args)
            if before is not None:
                before(args, kwargs)
            return method(*args, **kwargs)
        return call


def pending_uploads(client, bucket):
    return client._engine._list_multipart_uploads(bucket).uploads


# ============================================================ big uploads

@pytest.mark.timeout(30)
@pytest.mark.parametrize("call", ["file", "dir"])
def test_big_upload_goes_in_parts(ostrel, s3_config, bucket, tmp_path, call):
    """20 MiB with workers=2: three parts of at most 8 MiB (not the library's
    single call), the multipart ETag, the name's content type."""
    client = connected(ostrel, s3_config, workers=2)
    spy = Spy(client._engine, "_upload_part", "fput_object")
    (tmp_path / "docs").mkdir()
    data = write(tmp_path / "docs" / "r.pdf", 20 * MiB)
    (tmp_path / "docs" / "s.txt").write_text("small")
    if call == "file":
        assert client._upload_file(bucket, "docs\\r.pdf", str(tmp_path / "docs" / "r.pdf")) is None
    else:
        assert client._upload_dir(bucket, str(tmp_path / "docs")) is None
        assert [args[1] for args in spy.calls["fput_object"]] == ["docs/s.txt"]
        assert client._download_flow(bucket, "docs/s.txt") == "small"
    assert sorted(args[5] for args in spy.calls["_upload_part"]) == [1, 2, 3]
    stat = client._engine.stat_object(bucket, "docs/r.pdf")
    assert (stat.etag, stat.content_type, stat.size) == (multipart(8 * MiB)(data), "application/pdf", len(data))


class PartStore:
    """Stands in for the storage client's uploads: the library's single call
    and its multipart calls, each held `delay` seconds; counts the requests
    under way and keeps what completes."""

    def __init__(self, delay=0.0, missing=()):
        self.delay, self.lock, self.active, self.peak = delay, threading.Lock(), 0, 0
        self.objects, self.parts = {}, {}
        calls = {"fput_object": self.fput_object, "_create_multipart_upload": self.create,
                 "_upload_part": self.upload_part, "_complete_multipart_upload": self.complete,
                 "_abort_multipart_upload": self.abort}
        self.engine = Recorder(**{name: call for name, call in calls.items() if name not in missing})
        if missing:  # a client library without these calls
            original = self.engine.__getattr__
            self.engine.__class__ = type("Partial", (Recorder,), {"__getattr__": lambda s, name: (
                original(name) if name not in missing else (_ for _ in ()).throw(AttributeError(name)))})

    def held(self):
        with self.lock:
            self.active += 1
            self.peak = max(self.peak, self.active)
        time.sleep(self.delay)
        with self.lock:
            self.active -= 1

    def fput_object(self, bucket, name, path, content_type=None, num_parallel_uploads=3):
        self.held()
        with open(path, "rb") as file:
            self.objects[name] = file.read()

    def create(self, bucket, name, headers):
        self.held()
        self.parts[name] = {}
        return f"id-{name}"

    def upload_part(self, bucket, name, data, headers, upload_id, number):
        self.held()
        self.parts[name][number] = data
        return hashlib.md5(data).hexdigest()

    def complete(self, bucket, name, upload_id, parts):
        self.held()
        assert [p.part_number for p in parts] == list(range(1, len(parts) + 1))
        stored = self.parts.pop(name)
        self.objects[name] = b"".join(stored[p.part_number] for p in parts)

    def abort(self, bucket, name, upload_id):
        self.parts.pop(name, None)


@pytest.mark.parametrize("workers, size, missing", [
    (None, 20 * MiB, ()), (1, 20 * MiB, ()), (2, 16 * MiB - 1, ()),
    (2, 20 * MiB, ("_upload_part",)),
])
def test_otherwise_the_single_call(ostrel, tmp_path, workers, size, missing):
    """No workers, workers=1, a file under 16 MiB, or a client library
    without the multipart calls: exactly the single call of before."""
    store = PartStore(missing=missing)
    c = ostrel.TavrinOstrel({"host": "h", "port": 1, "user": "u", "password": "p", "workers": workers})
    c._engine = store.engine
    path = tmp_path / "a.txt"
    with open(path, "wb") as file:
        file.truncate(size)
    c._upload_file(BUCKET, "x\\a.txt", str(path), 5)
    assert store.engine.calls == [
        ("fput_object", (BUCKET, "x/a.txt", str(path)), {"content_type": "text/plain", "num_parallel_uploads": 5})]


@pytest.mark.timeout(30)
@pytest.mark.parametrize("workers, sizes", [(2, [17, 24, 16, 0.01, 0.02, 0.5]), (3, [40, 0.1])])
def test_parts_never_outnumber_the_threads(ostrel, tmp_path, workers, sizes):
    """A folder of big and small files: the parts share the call's pool, so
    no more requests than threads are under way, and nothing deadlocks."""
    store = PartStore(delay=0.02)
    c = ostrel.TavrinOstrel({"host": "h", "port": 1, "user": "u", "password": "p", "workers": workers})
    c._engine = store.engine
    files = {f"f{i}.bin": write(tmp_path / f"f{i}.bin", int(size * MiB)) for i, size in enumerate(sizes)}
    c._upload_dir(BUCKET, str(tmp_path), base_dir="k")
    assert store.objects == {f"k/{name}": data for name, data in files.items()}
    assert 1 < store.peak <= workers
    assert sum(name == "_create_multipart_upload" for name in store.engine.names()) == sum(s >= 16 for s in sizes)


class Fail(Exception):
    pass


@pytest.mark.timeout(30)
@pytest.mark.parametrize("fault", ["part", "part-and-abort", "short-file", "progress"])
def test_a_failed_upload_leaves_nothing(ostrel, s3_config, bucket, tmp_path, fault):
    """A part that fails, a file that ends before its size, a progress
    callable that raises: the upload is aborted (no pending upload, no
    object) and that failure is raised, also when the abort fails too."""
    path = tmp_path / "big.bin"
    write(path, 24 * MiB)
    def progress(record):  # raises at the first record after a part was sent
        if record.bytes_done == 0:
            time.sleep(0.2)  # so that the next change is handed over at once
        elif not record.finished:
            raise Fail("progress")

    client = connected(ostrel, s3_config, workers=2, **({"progress": progress} if fault == "progress" else {}))

    def fail_second(args, kwargs):
        if args[5] == 2:
            raise Fail("part 2")

    def fail_abort(args, kwargs):
        raise Fail("abort")

    before = {"part": {"_upload_part": fail_second},
              "part-and-abort": {"_upload_part": fail_second, "_abort_multipart_upload": fail_abort},
              "short-file": {"_create_multipart_upload": lambda args, kwargs: os.truncate(path, 20 * MiB)},
              }.get(fault, {})
    spy = Spy(client._engine, "_upload_part", "_abort_multipart_upload", "_create_multipart_upload", before=before)
    expected = OSError if fault == "short-file" else Fail
    with pytest.raises(expected) as info:
        client._upload_file(bucket, "big.bin", str(path))
    if fault != "short-file":
        assert str(info.value) == ("progress" if fault == "progress" else "part 2")
    assert len(spy.calls["_abort_multipart_upload"]) == 1
    if fault != "part-and-abort":
        assert pending_uploads(client, bucket) == []
    with pytest.raises(S3Error):
        client._engine.stat_object(bucket, "big.bin")


@pytest.mark.timeout(30)
def test_progress_of_a_big_upload(ostrel, s3_config, bucket, tmp_path):
    """The records count each byte once, as the parts are sent, and end at
    the file's size with the file done."""
    sink = Callable()
    client = connected(ostrel, s3_config, workers=3, progress=sink)
    write(tmp_path / "big.bin", 20 * MiB)
    client._upload_file(bucket, "big.bin", str(tmp_path / "big.bin"))
    last = sink.records[-1]
    assert last[:7] == ("upload_file", "big.bin", 1, 1, 20 * MiB, 20 * MiB, 0) and last.finished
    assert all(r.bytes_done <= 20 * MiB for r in sink.records) and sink.overlaps == 0


# ===================================================== resumed downloads

@pytest.mark.timeout(40)
@pytest.mark.parametrize("call", ["file", "dir", "dir-workers"])
def test_download_through_a_link_that_drops_every_connection(ostrel, client, s3_config, tmp_path, call):
    """Each connection is reset after 3 MiB: a 24 MiB object still arrives
    whole, each attempt going on where the last one ended, and nothing but
    the file is left in the folder."""
    client._engine.make_bucket("drops")
    data = os.urandom(24 * MiB)
    client._engine.put_object("drops", "p/big.bin", io.BytesIO(data), len(data))
    out = tmp_path / "out"
    with net_proxy(s3_config["port"], cut_after=3 * MiB) as proxy:
        keys = {"workers": 4} if call == "dir-workers" else {}
        through = connected(ostrel, {**s3_config, "port": proxy.port}, **keys)
        if call == "file":
            assert through._download_file("drops", "p/big.bin", str(out / "big.bin")) is True
        else:
            assert through._download_dir("drops", "p", str(out)) is None
    assert os.listdir(out) == ["big.bin"]
    assert hashlib.sha256((out / "big.bin").read_bytes()).digest() == hashlib.sha256(data).digest()
    assert proxy.stats["cuts"] >= 7


@pytest.mark.timeout(20)
def test_download_that_never_gets_far_fails_soon(ostrel, client, s3_config, tmp_path):
    """Each connection is reset after 4 KiB: five attempts in a row that
    write less than 1 MiB end the download within seconds, leaving nothing."""
    client._engine.make_bucket("drops")
    data = os.urandom(2 * MiB)
    client._engine.put_object("drops", "big.bin", io.BytesIO(data), len(data))
    with net_proxy(s3_config["port"], cut_after=4096) as proxy:
        through = connected(ostrel, {**s3_config, "port": proxy.port})
        start = time.monotonic()
        with pytest.raises(ProtocolError):
            through._download_file("drops", "big.bin", str(tmp_path / "big.bin"))
        assert time.monotonic() - start < 10
    assert os.listdir(tmp_path) == []
    assert proxy.stats["cuts"] == 5


@pytest.mark.timeout(30)
def test_object_replaced_while_resuming(ostrel, client, s3_config, tmp_path):
    """The object is replaced before the download goes on: the request for
    the rest fails (412), and the old target and its folder are as they were."""
    client._engine.make_bucket("drops")
    data = os.urandom(8 * MiB)
    put = client._engine.put_object
    put("drops", "o.bin", io.BytesIO(data), len(data))
    (tmp_path / "o.bin").write_bytes(b"old")
    with net_proxy(s3_config["port"], cut_after=3 * MiB) as proxy:
        through = connected(ostrel, {**s3_config, "port": proxy.port})
        def replace_before_the_rest(args, kwargs):
            if kwargs.get("offset"):
                put("drops", "o.bin", io.BytesIO(b"new"), 3)

        Spy(through._engine, "get_object", before={"get_object": replace_before_the_rest})
        with pytest.raises(S3Error) as info:
            through._download_file("drops", "o.bin", str(tmp_path / "o.bin"))
    assert info.value.code == "PreconditionFailed"
    assert os.listdir(tmp_path) == ["o.bin"] and (tmp_path / "o.bin").read_bytes() == b"old"
