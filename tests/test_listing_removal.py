"""Object listing (_bucket_list_files), object removal (_remove_object,
_remove_objects) and presigned download URLs (_get_url) of TavrinOstrel.

Call shapes are checked against recording stand-ins for the storage client;
behaviour end to end against the moto S3 server on 127.0.0.1."""

import datetime
import hashlib
import inspect
import io
import re
import urllib.error
import urllib.parse
import urllib.request

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from minio.datatypes import Object
from minio.deleteobjects import DeleteError, DeleteObject
from minio.error import S3Error

BUCKET = "bkt"
KEYS = ["bucket_name", "object_name", "last_modified", "etag", "size", "mimora"]
FORMAT = "%Y-%m-%d %H:%M:%S.%f"
UTC = datetime.timezone.utc


def s3_error(code="NoSuchBucket"):
    return S3Error(code, "message", None, None, None, None)


def entry(name, when=datetime.datetime(2023, 5, 6, 7, 8, 9, 500000), **kw):
    values = dict(etag="e-" + name, size=len(name), content_type="text/plain")
    values.update(kw)
    return Object(BUCKET, name, last_modified=when, **values)


def put(client, bucket, name, data=None):
    data = name.encode() if data is None else data
    return client._engine.put_object(bucket, name, io.BytesIO(data), len(data))


def names_in(client, bucket):
    return sorted(o.object_name for o in client._engine.list_objects(bucket, recursive=True))


# ======================================================= _bucket_list_files

@pytest.mark.parametrize("args, kwargs, bucket, prefix", [
    ((BUCKET,), {}, BUCKET, ""),
    ((BUCKET, "photos/"), {}, BUCKET, "photos/"),
    ((), {"bucket_name": "kw", "prefix": "a"}, "kw", "a"),
    (("x",), {"prefix": "deep/er"}, "x", "deep/er"),
])
def test_list_files_call(recorder_client, args, kwargs, bucket, prefix):
    c, engine, log = recorder_client(list_objects=iter(()))
    result = c._bucket_list_files(*args, **kwargs)
    assert type(result) is list and result == []
    assert engine.calls == [("list_objects", (), {"bucket_name": bucket, "prefix": prefix, "recursive": True})]
    assert log.calls == []


@pytest.mark.parametrize("when, text", [
    (datetime.datetime(2023, 5, 6, 7, 8, 9, 500000), "2023-05-06 07:08:09.500000"),
    (datetime.datetime(2023, 5, 6, 7, 8, 9), "2023-05-06 07:08:09.000000"),
    (datetime.datetime(1999, 12, 31, 23, 59, 59, 999999, tzinfo=UTC), "1999-12-31 23:59:59.999999"),
    (datetime.datetime(2024, 2, 29, 0, 0, 0, 1, tzinfo=datetime.timezone(datetime.timedelta(hours=8))),
     "2024-02-29 00:00:00.000001"),
], ids=["half-second", "whole-second", "utc", "plus-eight-not-converted"])
def test_list_files_time_text(recorder_client, when, text):
    c, _, _ = recorder_client(list_objects=[entry("a", when)])
    (record,) = c._bucket_list_files(BUCKET)
    assert record["last_modified"] == text


def test_list_files_uses_the_values_strftime(recorder_client):
    class When:
        def __init__(self):
            self.calls = []

        def strftime(self, *args, **kwargs):
            self.calls.append((args, kwargs))
            return "rendered"

    when = When()
    c, _, _ = recorder_client(list_objects=[entry("a", when)])
    (record,) = c._bucket_list_files(BUCKET)
    assert record["last_modified"] == "rendered"
    assert when.calls == [((FORMAT,), {})]


class Stamp(datetime.datetime):
    def strftime(self, fmt):
        return "stamp " + fmt


class FailingDst(datetime.tzinfo):
    def utcoffset(self, dt):
        return datetime.timedelta(0)

    def dst(self, dt):
        raise LookupError("dst")


MICROSECONDS = st.sampled_from([0, 1, 500000, 999998, 999999]) | st.integers(0, 999999)
OFFSETS = st.timedeltas(-datetime.timedelta(hours=23, minutes=59), datetime.timedelta(hours=23, minutes=59))
ZONES = st.none() | st.just(UTC) | st.builds(datetime.timezone, OFFSETS)
TIMES = st.builds(lambda when, us, zone: when.replace(microsecond=us, tzinfo=zone),
                  st.datetimes(datetime.datetime(1, 1, 1), datetime.datetime(9999, 12, 31, 23, 59, 59)),
                  MICROSECONDS, ZONES)


@settings(max_examples=300, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(TIMES | TIMES.map(lambda t: t.replace(microsecond=0)), min_size=1, max_size=8))
def test_list_files_time_text_is_strftime(recorder_client, times):
    c, _, _ = recorder_client(list_objects=[entry(str(i), when) for i, when in enumerate(times)])
    assert [r["last_modified"] for r in c._bucket_list_files(BUCKET)] == [t.strftime(FORMAT) for t in times]


def test_list_files_time_of_subclasses_and_other_zones(recorder_client):
    c, _, _ = recorder_client(list_objects=[entry("a", Stamp(2023, 5, 6, tzinfo=UTC)), entry("b", Stamp(999, 1, 1))])
    assert [r["last_modified"] for r in c._bucket_list_files(BUCKET)] == ["stamp " + FORMAT] * 2
    c, _, _ = recorder_client(list_objects=[entry("a"), entry("b", datetime.datetime(2023, 1, 1, tzinfo=FailingDst()))])
    with pytest.raises(LookupError, match="dst"):  # strftime asks the zone, as it does itself
        c._bucket_list_files(BUCKET)


@pytest.mark.parametrize("content_type", ["image/jpeg", None])
def test_list_files_records(recorder_client, content_type):
    etag, size = object(), object()  # values are passed on unchanged
    entries = [entry("z/last.txt"), entry("a.txt", etag=etag, size=size, content_type=content_type),
               entry("m/n/o.bin", content_type=content_type)]
    c, _, log = recorder_client(list_objects=lambda **kw: iter(entries))
    records = c._bucket_list_files(BUCKET)
    assert all(type(r) is dict and list(r) == KEYS for r in records)
    assert [r["object_name"] for r in records] == ["z/last.txt", "a.txt", "m/n/o.bin"]  # listing order
    second = records[1]
    assert second["bucket_name"] == BUCKET
    assert second["etag"] is etag and second["size"] is size
    assert second["mimora"] == content_type
    assert records[0] == {"bucket_name": BUCKET, "object_name": "z/last.txt",
                          "last_modified": "2023-05-06 07:08:09.500000",
                          "etag": "e-z/last.txt", "size": 10, "mimora": "text/plain"}
    assert log.calls == []


@pytest.mark.parametrize("position", [0, 1, 2])
def test_list_files_missing_time_ends_the_call(recorder_client, position):
    entries = [entry("a"), entry("b"), entry("c")]
    entries[position] = entry("none", when=None)
    c, _, log = recorder_client(list_objects=entries)
    with pytest.raises(AttributeError, match="strftime"):
        c._bucket_list_files(BUCKET)
    assert log.calls == []


@pytest.mark.parametrize("when", ["immediately", "while-iterating"])
def test_list_files_listing_error_propagates(recorder_client, when):
    error = s3_error()

    def listing(**kwargs):
        if when == "immediately":
            raise error
        yield entry("first")
        raise error

    c, _, log = recorder_client(list_objects=listing)
    with pytest.raises(S3Error) as info:
        c._bucket_list_files(BUCKET, "p")
    assert info.value is error
    assert log.calls == []


def test_list_files_real_server(real):
    client, bucket, log = real
    names = ["top.txt", "a/one.jpg", "a/b/two.pdf", "a/b/c/three", "ab/x.txt"]
    etags = {n: put(client, bucket, n).etag for n in names}
    records = client._bucket_list_files(bucket)
    assert sorted(r["object_name"] for r in records) == sorted(names)
    library = {o.object_name: o for o in client._engine.list_objects(bucket, recursive=True)}
    for r in records:
        name = r["object_name"]
        assert list(r) == KEYS
        assert r["bucket_name"] == bucket
        assert re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}", r["last_modified"])
        assert r["last_modified"] == library[name].last_modified.strftime(FORMAT)
        assert r["last_modified"].endswith(".000000")  # moto keeps whole seconds
        assert r["etag"] == etags[name] == hashlib.md5(name.encode()).hexdigest()
        assert r["size"] == len(name)
        assert r["mimora"] is library[name].content_type
    assert log.calls == []


@pytest.mark.parametrize("prefix, expected", [
    ("a/", ["a/b/c/three", "a/b/two.pdf", "a/one.jpg"]),
    ("a", ["a/b/c/three", "a/b/two.pdf", "a/one.jpg", "ab/x.txt"]),
    ("a/b/", ["a/b/c/three", "a/b/two.pdf"]),
    ("top.txt", ["top.txt"]),
    ("zzz", []),
])
def test_list_files_prefix_real_server(real, prefix, expected):
    client, bucket, _ = real
    for n in ["top.txt", "a/one.jpg", "a/b/two.pdf", "a/b/c/three", "ab/x.txt"]:
        put(client, bucket, n)
    assert sorted(r["object_name"] for r in client._bucket_list_files(bucket, prefix=prefix)) == expected


def test_list_files_empty_and_missing_bucket(real):
    client, bucket, log = real
    assert client._bucket_list_files(bucket) == []
    with pytest.raises(S3Error) as info:
        client._bucket_list_files("no-such-bucket")
    assert info.value.code == "NoSuchBucket"
    assert log.calls == []


# ============================================================ _remove_object

@pytest.mark.parametrize("args, kwargs", [
    ((BUCKET, "a/b.txt"), {}),
    ((), {"bucket_name": BUCKET, "object_name": "a/b.txt"}),
    ((BUCKET,), {"object_name": "a/b.txt"}),
])
def test_remove_object_call(recorder_client, args, kwargs):
    c, engine, log = recorder_client(remove_object="ignored")
    assert c._remove_object(*args, **kwargs) is None
    assert engine.calls == [("remove_object", (BUCKET, "a/b.txt"), {})]
    assert log.calls == []


def test_remove_object_error_propagates(recorder_client):
    error = s3_error("AccessDenied")
    c, _, log = recorder_client(remove_object=error)
    with pytest.raises(S3Error) as info:
        c._remove_object(BUCKET, "x")
    assert info.value is error and log.calls == []


def test_remove_object_real_server(real):
    client, bucket, log = real
    for n in ["keep.txt", "go.txt", "dir/go.txt"]:
        put(client, bucket, n)
    assert client._remove_object(bucket, "go.txt") is None
    assert names_in(client, bucket) == ["dir/go.txt", "keep.txt"]
    assert client._remove_object(bucket, "never-there") is None
    assert names_in(client, bucket) == ["dir/go.txt", "keep.txt"]
    with pytest.raises(S3Error):
        client._remove_object("no-such-bucket", "x")
    assert log.calls == []


# =========================================================== _remove_objects

class Bulk:
    """remove_objects stand-in: remembers what it got and answers with a
    lazy result it can tell was consumed."""

    def __init__(self, errors=(), raise_after=None):
        self.errors, self.raise_after = list(errors), raise_after
        self.received, self.exhausted = None, False

    def __call__(self, bucket_name, objects, *rest, **kwargs):
        assert rest == () and kwargs == {}
        self.iterator_type = type(objects)
        self.is_iterator = iter(objects) is objects
        self.received = list(objects)
        return self.result()

    def result(self):
        yield from self.errors
        if self.raise_after is not None:
            raise self.raise_after
        self.exhausted = True


@pytest.mark.parametrize("object_list", [
    [], ["a.txt"], ["a.txt", "b/c.jpg", "a.txt"], ("t1", "t2"),
], ids=["empty", "one", "many-with-duplicate", "tuple"])
def test_remove_objects_request(recorder_client, object_list):
    bulk = Bulk()
    c, engine, log = recorder_client(remove_objects=bulk)
    assert c._remove_objects(BUCKET, object_list) is None
    assert engine.names() == ["remove_objects"]
    assert engine.calls[0][1][0] == BUCKET and engine.calls[0][2] == {}
    assert bulk.is_iterator and bulk.iterator_type is type(iter([]))
    assert all(type(d) is DeleteObject for d in bulk.received)
    assert [d.name for d in bulk.received] == list(object_list)
    assert all(d.version_id is None for d in bulk.received)
    assert bulk.exhausted
    assert log.calls == []


def test_remove_objects_builds_requests_by_position(ostrel, recorder_client, monkeypatch):
    made = []

    class FakeDelete:
        def __init__(self, *args, **kwargs):
            made.append((args, kwargs))

    monkeypatch.setattr(ostrel, "DeleteObject", FakeDelete)
    bulk = Bulk()
    c, _, _ = recorder_client(remove_objects=bulk)
    c._remove_objects(bucket_name=BUCKET, object_list=["x", "y/z"])
    assert made == [(("x",), {}), (("y/z",), {})]
    assert all(type(d) is FakeDelete for d in bulk.received)


def test_remove_objects_reads_generator_before_the_request(recorder_client):
    consumed = []

    def names():
        for n in ["g1", "g2", "g3"]:
            consumed.append(n)
            yield n

    gen = names()
    state_at_request = []

    def remove_objects(bucket_name, objects):
        state_at_request.append((list(consumed), inspect.getgeneratorstate(gen)))
        return iter(())

    c, _, _ = recorder_client(remove_objects=remove_objects)
    assert c._remove_objects(BUCKET, gen) is None
    assert state_at_request == [(["g1", "g2", "g3"], inspect.GEN_CLOSED)]


def test_remove_objects_bad_name_fails_before_any_request(ostrel, recorder_client, monkeypatch):
    def picky(name):
        if name is None:
            raise ValueError("object name must not be None")
        return DeleteObject(name)

    monkeypatch.setattr(ostrel, "DeleteObject", picky)
    c, engine, log = recorder_client(remove_objects=Bulk())
    with pytest.raises(ValueError, match="must not be None"):
        c._remove_objects(BUCKET, ["ok", None, "later"])
    assert engine.calls == [] and log.calls == []


@pytest.mark.parametrize("count", [0, 1, 2, 3])
def test_remove_objects_logs_each_failure_in_order(recorder_client, count):
    errors = [DeleteError("AccessDenied", "denied %d" % i, "n%d" % i, None) for i in range(count)]
    bulk = Bulk(errors)
    c, _, log = recorder_client(remove_objects=bulk)
    assert c._remove_objects(BUCKET, ["n0", "n1", "n2"]) is None
    assert len(log.calls) == count
    for (name, args, kwargs), err in zip(log.calls, errors):
        assert name == "warning" and kwargs == {} and len(args) == 1 and args[0] is err
    assert bulk.exhausted


def test_remove_objects_error_midway_keeps_earlier_warnings(recorder_client):
    first = DeleteError("AccessDenied", "denied", "a", None)
    error = s3_error("InternalError")
    c, _, log = recorder_client(remove_objects=Bulk([first], raise_after=error))
    with pytest.raises(S3Error) as info:
        c._remove_objects(BUCKET, ["a", "b"])
    assert info.value is error
    assert log.calls == [("warning", (first,), {})]


def test_remove_objects_bulk_call_error_propagates(recorder_client):
    error = s3_error()
    c, engine, log = recorder_client(remove_objects=error)
    with pytest.raises(S3Error) as info:
        c._remove_objects(BUCKET, ["a"])
    assert info.value is error and log.calls == []


def test_remove_objects_real_server(real):
    client, bucket, log = real
    for n in ["a.txt", "b/c.txt", "b/d.txt", "keep.txt"]:
        put(client, bucket, n)
    assert client._remove_objects(bucket, (n for n in ["a.txt", "b/c.txt", "absent", "b/d.txt"])) is None
    assert names_in(client, bucket) == ["keep.txt"]
    assert client._remove_objects(bucket, []) is None
    assert names_in(client, bucket) == ["keep.txt"]
    assert log.calls == []


def test_remove_objects_real_failures_logged(real, ostrel, monkeypatch):
    """Locked versions cannot be removed: the server reports one error per
    object, each logged as it is, in order; other objects are removed."""
    client, _, log = real
    engine = client._engine
    locked = "lock-" + real[1]
    engine.make_bucket(locked, object_lock=True)
    from minio.commonconfig import COMPLIANCE
    from minio.retention import Retention

    until = datetime.datetime.now(UTC) + datetime.timedelta(days=1)
    names = []
    for n in ["p.txt", "q.txt"]:
        version = put(client, locked, n).version_id
        engine.set_object_retention(locked, n, Retention(COMPLIANCE, until), version_id=version)
        names.append(n + "@" + version)
    put(client, locked, "free.txt")
    names.insert(1, "free.txt")
    # name@version selects a version, so that the lock applies
    monkeypatch.setattr(ostrel, "DeleteObject", lambda name: DeleteObject(*name.split("@")))
    assert client._remove_objects(locked, names) is None
    assert [type(args[0]) for _, args, _ in log.calls] == [DeleteError, DeleteError]
    assert [(args[0].code, args[0].name) for _, args, _ in log.calls] == [
        ("AccessDenied", "p.txt"), ("AccessDenied", "q.txt")]
    assert all(name == "warning" and kw == {} and len(args) == 1 for name, args, kw in log.calls)
    assert names_in(client, locked) == ["p.txt", "q.txt"]


# ================================================================= _get_url

@pytest.mark.parametrize("args, kwargs, expires", [
    ((BUCKET, "o.txt"), {}, datetime.timedelta(days=7)),
    ((BUCKET, "o.txt", 1), {}, datetime.timedelta(days=1)),
    ((BUCKET, "o.txt"), {"days": 0.5}, datetime.timedelta(hours=12)),
    ((), {"bucket": BUCKET, "object_name": "o.txt"}, datetime.timedelta(days=7)),
    ((), {"object_name": "o.txt", "days": 3, "bucket": BUCKET}, datetime.timedelta(days=3)),
    ((BUCKET, "o.txt", 0), {}, datetime.timedelta(0)),
    ((BUCKET, "o.txt", 30), {}, datetime.timedelta(days=30)),
], ids=["default", "one-day", "half-day", "keywords", "keywords-days", "zero-unbounded", "month-unbounded"])
def test_get_url_call(recorder_client, args, kwargs, expires):
    url = object()
    c, engine, log = recorder_client(presigned_get_object=url)
    assert c._get_url(*args, **kwargs) is url
    assert engine.calls == [("presigned_get_object", (BUCKET, "o.txt"), {"expires": expires})]
    assert log.calls == []


def test_get_url_builds_timedelta_by_keyword(ostrel, recorder_client, monkeypatch):
    made = []

    def fake_timedelta(*args, **kwargs):
        made.append((args, kwargs))
        return "lifetime"

    monkeypatch.setattr(ostrel, "timedelta", fake_timedelta)
    c, engine, _ = recorder_client()
    c._get_url(BUCKET, "o", 2)
    assert made == [((), {"days": 2})]
    assert engine.calls[0][2] == {"expires": "lifetime"}


@pytest.mark.parametrize("days, error", [("7", TypeError), (None, TypeError), (10**10, OverflowError)])
def test_get_url_bad_days_from_timedelta(recorder_client, days, error):
    c, engine, log = recorder_client()
    with pytest.raises(error):
        c._get_url(BUCKET, "o", days)
    assert engine.calls == [] and log.calls == []


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {"bucket_name": BUCKET, "object_name": "o"}, None),
    ((BUCKET, "o"), {"bucket_name": BUCKET}, "_get_url() got an unexpected keyword argument 'bucket_name'"),
    ((BUCKET, "o"), {"bucket": BUCKET}, "_get_url() got multiple values for keyword argument 'bucket'"),
    ((BUCKET,), {}, "_get_url() takes at least 3 positional arguments (2 given)"),
    ((BUCKET, "o", 1, 2), {}, "_get_url() takes at most 4 positional arguments (5 given)"),
])
def test_get_url_argument_errors(recorder_client, args, kwargs, message):
    c, engine, log = recorder_client()
    with pytest.raises(TypeError) as info:
        c._get_url(*args, **kwargs)
    if message is not None:
        assert str(info.value) == message
    assert engine.calls == [] and log.calls == []


@pytest.mark.parametrize("days, seconds", [((), 604800), ((1,), 86400), ((0.5,), 43200)])
def test_get_url_real_server(real, days, seconds):
    client, bucket, log = real
    body = "presigned ✓ body".encode() + bytes(range(256))
    put(client, bucket, "dir/file name.bin", body)
    url = client._get_url(bucket, "dir/file name.bin", *days)
    assert isinstance(url, str)
    query = urllib.parse.parse_qs(urllib.parse.urlsplit(url).query)
    assert query["X-Amz-Expires"] == [str(seconds)]
    assert urllib.parse.urlsplit(url).hostname == "127.0.0.1"
    with urllib.request.urlopen(url) as response:
        assert response.read() == body
    assert log.calls == []


def test_get_url_missing_object_is_not_checked(real):
    client, bucket, _ = real
    url = client._get_url(bucket=bucket, object_name="never-stored")
    with pytest.raises(urllib.error.HTTPError) as info:
        urllib.request.urlopen(url)
    info.value.close()
    assert info.value.code == 404


@pytest.mark.parametrize("days", [8, 0, -1])
def test_get_url_library_rejects_lifetime(real, days):
    client, bucket, log = real
    with pytest.raises(ValueError):
        client._get_url(bucket, "o", days)
    assert log.calls == []


# ===================================================== argument conventions

@pytest.mark.parametrize("method, args, kwargs, message", [
    ("_bucket_list_files", (), {}, "_bucket_list_files() takes at least 2 positional arguments (1 given)"),
    ("_bucket_list_files", ("b", "p", True), {}, "_bucket_list_files() takes at most 3 positional arguments (4 given)"),
    ("_bucket_list_files", ("b",), {"recursive": False}, "_bucket_list_files() got an unexpected keyword argument 'recursive'"),
    ("_bucket_list_files", ("b", "p"), {"prefix": "q"}, "_bucket_list_files() got multiple values for keyword argument 'prefix'"),
    ("_remove_object", ("b",), {}, "_remove_object() takes exactly 3 positional arguments (2 given)"),
    ("_remove_object", ("b", "o", "v"), {}, "_remove_object() takes exactly 3 positional arguments (4 given)"),
    ("_remove_objects", ("b",), {}, "_remove_objects() takes exactly 3 positional arguments (2 given)"),
    ("_remove_objects", ("b", []), {"version": 1}, "_remove_objects() got an unexpected keyword argument 'version'"),
])
def test_argument_errors_before_any_request(recorder_client, method, args, kwargs, message):
    c, engine, log = recorder_client()
    with pytest.raises(TypeError) as info:
        getattr(c, method)(*args, **kwargs)
    assert str(info.value) == message
    assert engine.calls == [] and log.calls == []
