"""Big objects downloaded as byte ranges on the transfer threads (`workers`
of 2 or more): the calls made, resumed parts, the failure rules and the
bound on requests, against stand-ins and end to end against moto."""

import hashlib
import io
import os
import threading
import time
import types

import pytest
from conftest import Recorder
from minio.error import S3Error
from urllib3.exceptions import ProtocolError

MiB = 1024 * 1024
BUCKET = "bkt"


class Entry:
    def __init__(self, name, size):
        self.object_name, self.size = name, size


class Storage:
    """Stands in for the storage client with objects in memory; counts the
    requests under way (a response counts until it is released) and breaks
    the streams that `breaks` names: (offset of the request) -> how often.
    With `meet`, the first object request waits (5 s at most) until a second
    one is under way, so a pool that runs two at once shows it on a loaded
    machine too, where its threads may start late."""

    def __init__(self, objects, breaks=None, delay=0.0, meet=False):
        self.objects, self.breaks, self.delay, self.meet = objects, dict(breaks or {}), delay, meet
        self.lock, self.active, self.peak = threading.Lock(), 0, 0
        self.changed = threading.Condition(self.lock)
        self.engine = Recorder(stat_object=self.stat_object, get_object=self.get_object,
                               fget_object=self.fget_object, list_objects=self.list_objects)

    def request(self, change):
        with self.lock:
            self.active += change
            self.peak = max(self.peak, self.active)
            self.changed.notify_all()

    def meeting(self):
        if self.meet:
            with self.lock:
                self.changed.wait_for(lambda: self.peak >= 2, timeout=5)

    def held(self, result):
        self.request(1)
        time.sleep(self.delay)
        self.request(-1)
        return result

    def stat_object(self, bucket, name):
        body = self.objects[name]
        return self.held(types.SimpleNamespace(size=len(body), etag=hashlib.md5(body).hexdigest()))

    def list_objects(self, bucket_name, prefix, recursive):
        return self.held([Entry(name, len(body)) for name, body in self.objects.items()])

    def fget_object(self, bucket, name, path):
        self.request(1)
        self.meeting()
        time.sleep(self.delay)
        self.request(-1)
        with open(path, "wb") as file:
            file.write(self.objects[name])

    def get_object(self, bucket, name, offset, length, request_headers):
        assert request_headers == {"If-Match": f'"{hashlib.md5(self.objects[name]).hexdigest()}"'}
        self.request(1)
        self.meeting()
        cut, part = None, offset // (8 * MiB)
        with self.lock:
            if self.breaks.get(part):  # the first break within the fourth block read, later ones at once
                cut = 3 * MiB + 5 if offset == part * 8 * MiB else 0
                self.breaks[part] -= 1
        return Response(self, self.objects[name][offset:offset + length], cut)


class Response:
    def __init__(self, storage, data, cut):
        self.storage, self.stream, self.cut, self.released = storage, io.BytesIO(data), cut, False

    def read(self, amount):
        time.sleep(self.storage.delay)
        if self.cut is not None and self.stream.tell() + amount > self.cut:
            raise ProtocolError("Connection broken", ConnectionResetError(104, "reset"))
        return self.stream.read(amount)

    def close(self):
        pass

    def release_conn(self):
        if not self.released:
            self.released = True
            self.storage.request(-1)


def client_for(ostrel, storage, workers=2):
    c = ostrel.TavrinOstrel({"host": "h", "port": 1, "user": "u", "password": "p", "workers": workers})
    c._engine = storage.engine
    return c


def files(folder):
    return sorted(os.listdir(folder))


@pytest.mark.parametrize("workers, size, call, names", [
    (None, 16 * MiB, "file", ["fget_object"]),
    (2, 16 * MiB - 1, "file", ["stat_object", "fget_object"]),
    (2, 16 * MiB + 1, "file", ["stat_object"] + ["get_object"] * 3),
    (2, 16 * MiB + 1, "dir", ["list_objects", "fget_object", "stat_object"] + ["get_object"] * 3),
])
def test_the_calls_made(ostrel, tmp_path, workers, size, call, names):
    """Without workers, or below 16 MiB, the client library's file download;
    a big object: one request for its size and ETag, then a ranged GET per
    8 MiB part. A folder's listing gives the sizes, so its small objects
    cost no request more."""
    objects = {"d/big": os.urandom(size), "d/small": b"small"}
    storage = Storage(objects)
    c = client_for(ostrel, storage, workers)
    if call == "dir":
        c._download_dir(BUCKET, "d", str(tmp_path))
    else:
        del objects["d/small"]
        assert c._download_file(BUCKET, "d/big", str(tmp_path / "big")) is True
    assert sorted(storage.engine.names()) == sorted(names)
    ranges = [(kw["offset"], kw["length"]) for name, _, kw in storage.engine.calls if name == "get_object"]
    assert sorted(ranges) == [(0, 8 * MiB), (8 * MiB, 8 * MiB), (16 * MiB, 1)][:len(ranges)]
    assert files(tmp_path) == sorted(name[2:] for name in objects)
    assert all((tmp_path / name[2:]).read_bytes() == body for name, body in objects.items())


@pytest.mark.timeout(20)
@pytest.mark.parametrize("breaks", [1, 6])
def test_a_broken_part_is_resumed_where_it_broke(ostrel, tmp_path, breaks):
    """A part whose stream breaks is asked for again from the byte written
    last. Its first attempt wrote 3 MiB and does not count; five in a row
    that write nothing end the download, which leaves nothing."""
    body = os.urandom(20 * MiB)
    storage = Storage({"o": body}, breaks={0: breaks})
    c = client_for(ostrel, storage)
    target = tmp_path / "o.bin"
    if breaks == 1:
        assert c._download_file(BUCKET, "o", str(target)) is True
        assert target.read_bytes() == body
    else:
        with pytest.raises(ProtocolError):
            c._download_file(BUCKET, "o", str(target))
        assert files(tmp_path) == []
    asked = [(kw["offset"], kw["length"]) for name, _, kw in storage.engine.calls if name == "get_object"]
    first_part = [a for a in asked if a[0] < 8 * MiB]
    assert first_part == [(0, 8 * MiB)] + [(3 * MiB, 5 * MiB)] * min(breaks, 5)


@pytest.mark.timeout(30)
@pytest.mark.parametrize("workers, sizes", [(3, [20, 17, 1, 1, 2, 1, 1]), (2, [20, 24, 17])])
def test_requests_never_outnumber_the_threads(ostrel, tmp_path, workers, sizes):
    """A folder of big and small objects: the parts share the call's pool
    with the other objects, never more requests at once than threads, and
    no thread waits for a part only it could run (no deadlock)."""
    objects = {f"d/{i}": os.urandom(size * MiB) for i, size in enumerate(sizes)}
    storage = Storage(objects, delay=0.002, meet=True)
    c = client_for(ostrel, storage, workers)
    c._download_dir(BUCKET, "d", str(tmp_path))
    assert 2 <= storage.peak <= workers
    assert all((tmp_path / name[2:]).read_bytes() == body for name, body in objects.items())
    assert files(tmp_path) == sorted(name[2:] for name in objects)
    assert [t for t in threading.enumerate() if t.name.startswith("tavrin_minio")] == []


# ========================================================= against the server

@pytest.mark.timeout(60)
def test_ranged_downloads_against_the_server(ostrel, s3_config, tmp_path):
    """Sizes at and around the part boundaries come back whole, directly and
    through a folder download; nothing else is left in the folders."""
    c = ostrel.TavrinOstrel(dict(s3_config, workers=4))
    c._connect()
    c._engine.make_bucket("ranges")
    sizes = {"short": 16 * MiB - 1, "exact": 16 * MiB, "over": 16 * MiB + 1, "small": 5}
    bodies = {name: os.urandom(size) for name, size in sizes.items()}
    for name, body in bodies.items():
        c._engine.put_object("ranges", f"d/{name}", io.BytesIO(body), len(body))
    for name, body in bodies.items():
        assert c._download_file("ranges", f"d/{name}", str(tmp_path / "one" / name)) is True
        assert (tmp_path / "one" / name).read_bytes() == body
    c._download_dir("ranges", "d", str(tmp_path / "dir"))
    assert all((tmp_path / "dir" / name).read_bytes() == body for name, body in bodies.items())
    assert files(tmp_path / "one") == files(tmp_path / "dir") == sorted(bodies)


@pytest.mark.timeout(60)
def test_an_object_replaced_between_parts_fails_and_leaves_the_target(ostrel, s3_config, tmp_path):
    """Parts are asked for with the ETag of the object first seen: once it
    is replaced, the server refuses the next part (412), the error reaches
    the caller, the old target stays as it was and nothing else is left."""
    c = ostrel.TavrinOstrel(dict(s3_config, workers=2))
    c._connect()
    engine = c._engine
    engine.make_bucket("ranges")
    body = os.urandom(24 * MiB + 3)
    engine.put_object("ranges", "o", io.BytesIO(body), len(body))
    replaced = threading.Event()

    class Replacing:
        def __getattr__(self, name):
            return getattr(engine, name)

        def get_object(self, *args, **kwargs):
            response = engine.get_object(*args, **kwargs)
            if not replaced.is_set():
                replaced.set()
                engine.put_object("ranges", "o", io.BytesIO(b"new"), 3)
            return response

    c._engine = Replacing()
    target = tmp_path / "o.bin"
    target.write_bytes(b"old copy")
    with pytest.raises(S3Error) as info:
        c._download_file("ranges", "o", str(target))
    assert info.value.code == "PreconditionFailed"
    assert target.read_bytes() == b"old copy" and files(tmp_path) == ["o.bin"]
