"""Downloads checked against the object's ETag (`verify`): content that a
faulty link corrupted is thrown away and fetched again on every path,
IntegrityError when it keeps arriving corrupted, objects of unequal parts and
encrypted objects without false failures; the guards of the resumed path,
and no wait after an attempt that made progress. End to end against moto
through a proxy that flips a bit of response bodies (bench/netproxy.py), and
against stand-ins."""

import hashlib
import io
import os
import time
import types

import pytest
from minio.datatypes import Part
from minio.error import S3Error
from test_bigfiles import Spy, connected
from test_progress import Callable, multipart
from test_transfers import net_proxy
from urllib3 import HTTPHeaderDict
from urllib3.exceptions import ProtocolError

import tavrin_minio

MiB = 1024 * 1024
BUCKET = "verify"


def put_parts(engine, name, parts):
    """A multipart upload of `parts` (bytes each), as any S3 client may make it."""
    upload_id = engine._create_multipart_upload(BUCKET, name, {"Content-Type": "application/octet-stream"})
    etags = [engine._upload_part(BUCKET, name, data, None, upload_id, number)
             for number, data in enumerate(parts, 1)]
    engine._complete_multipart_upload(BUCKET, name, upload_id,
                                      [Part(number, etag) for number, etag in enumerate(etags, 1)])


def stored(ostrel, s3_config, tmp_path, kind, size, path):
    """Puts an object of `size` random bytes (text, for the in-memory
    download) whose ETag is of `kind`: "plain" (one request), "5MiB" (the
    client library's parts), "8MiB" (ours); returns its name, as `path`
    downloads it, and content."""
    name = "d/o.bin" if path in ("dir", "tree") else "o.bin"
    data = os.urandom(size // 2).hex().encode() if path == "flow" else os.urandom(size)
    uploader = connected(ostrel, s3_config, **({"workers": 2} if kind == "8MiB" else {}))
    uploader._engine.make_bucket(BUCKET)
    if kind == "plain":
        uploader._engine.put_object(BUCKET, name, io.BytesIO(data), size, part_size=64 * MiB)  # one request
        assert uploader._engine.stat_object(BUCKET, name).etag == hashlib.md5(data).hexdigest()
    else:
        source = tmp_path / "source.bin"
        source.write_bytes(data)
        if kind == "8MiB":
            uploader._upload_file(BUCKET, name, str(source))
        else:
            uploader._engine.fput_object(BUCKET, name, str(source))
        source.unlink()
        expected = multipart(8 * MiB if kind == "8MiB" else 5 * MiB)(data)
        assert uploader._engine.stat_object(BUCKET, name).etag == expected
    return name, data


def download(through, path, name, target):
    """The download of object `name` by `path` into `target`; returns what arrived."""
    if path == "flow":
        return through._download_flow(BUCKET, name).encode()
    if path == "dir":
        assert through._download_dir(BUCKET, "d", str(target.parent)) is None
    elif path == "tree":
        through._download_tree(BUCKET, "d", str(target.parent))
    else:
        assert through._download_file(BUCKET, name, str(target)) is True
    return target.read_bytes()


@pytest.mark.timeout(60)
@pytest.mark.parametrize("path, kind, size, keys", [
    ("file", "plain", 4 * MiB, {}),
    ("file", "8MiB", 20 * MiB, {}),
    ("resumed", "plain", 8 * MiB, {}),
    ("ranged", "8MiB", 20 * MiB, {"workers": 4}),
    ("ranged", "plain", 20 * MiB, {"workers": 4}),
    ("dir", "5MiB", 20 * MiB, {"workers": 2}),
    ("tree", "5MiB", 12 * MiB, {"workers": 2}),
    ("flow", "plain", 3 * MiB, {}),
])
def test_a_flipped_bit_heals(ostrel, s3_config, tmp_path, path, kind, size, keys):
    """One bit of the first response body that reaches 1 MiB is flipped: the
    download is made again and ends whole, with nothing else left; progress
    counts the bytes thrown away once, as those of a broken attempt."""
    name, data = stored(ostrel, s3_config, tmp_path, kind, size, path)
    options = {"cut_after": 3 * MiB} if path == "resumed" else {}
    out = tmp_path / "out"
    out.mkdir()
    sink = Callable()
    with net_proxy(s3_config["port"], flip_at=MiB, flips=1, **options) as proxy:
        through = connected(ostrel, {**s3_config, "port": proxy.port}, **keys,
                            **({} if path == "flow" else {"progress": sink}))
        arrived = download(through, path, name, out / "o.bin")
    assert hashlib.sha256(arrived).digest() == hashlib.sha256(data).digest()
    assert os.listdir(out) == ([] if path == "flow" else ["o.bin"])
    if path != "flow":
        assert sink.records[-1].finished and sink.records[-1].bytes_done == size
        assert all(record.bytes_done <= size for record in sink.records)
    assert proxy.stats["flips"] == 1


@pytest.mark.timeout(60)
@pytest.mark.parametrize("path, kind, size, keys, responses", [
    ("file", "plain", 4 * MiB, {}, 1),
    ("file", "5MiB", 12 * MiB, {}, 1),
    ("ranged", "8MiB", 20 * MiB, {"workers": 4}, 3),
    ("ranged", "plain", 18 * MiB, {"workers": 2}, 3),
    ("tree", "plain", 4 * MiB, {}, 1),
    ("flow", "plain", 2 * MiB, {}, 1),
])
def test_every_response_flipped(ostrel, client, s3_config, tmp_path, path, kind, size, keys, responses):
    """Every response is corrupted: IntegrityError after five attempts, which
    names the object, both digests and the way out; no file under the
    target's name (the ranged path leaves the old target as it was) nor any
    temporary."""
    name, _ = stored(ostrel, s3_config, tmp_path, kind, size, path)
    etag = client._engine.stat_object(BUCKET, name).etag
    target = tmp_path / ("o.bin" if path == "tree" else name)
    if path == "ranged":
        target.write_bytes(b"old")
    with net_proxy(s3_config["port"], flip_at=MiB) as proxy:
        through = connected(ostrel, {**s3_config, "port": proxy.port}, **keys)
        with pytest.raises(tavrin_minio.IntegrityError) as info:
            download(through, path, name, target)
    assert isinstance(info.value, OSError)
    message = str(info.value)
    assert f"{BUCKET}/{name}" in message and etag in message and "verify: False" in message
    assert os.listdir(tmp_path) == (["o.bin"] if path == "ranged" else [])
    if path == "ranged":
        assert target.read_bytes() == b"old"
    assert proxy.stats["flips"] == 5 * responses


@pytest.mark.timeout(60)
@pytest.mark.parametrize("kind, size, flip", [
    ("plain", 3 * MiB, False), ("plain", 3 * MiB, True), ("5MiB", 12 * MiB, True), ("8MiB", 20 * MiB, True),
])
def test_a_streamed_download_is_checked(ostrel, s3_config, tmp_path, kind, size, flip):
    """The bytes of a streamed download are out before they can be judged: a
    mismatch raises IntegrityError once all are written, and nothing is
    fetched twice."""
    name, data = stored(ostrel, s3_config, tmp_path, kind, size, "stream")
    sink = io.BytesIO()
    with net_proxy(s3_config["port"], **({"flip_at": MiB} if flip else {})) as proxy:
        through = connected(ostrel, {**s3_config, "port": proxy.port})
        if flip:
            with pytest.raises(tavrin_minio.IntegrityError, match="verify: False"):
                through._download_stream(BUCKET, name, sink)
        else:
            assert through._download_stream(BUCKET, name, sink) == size
    assert len(sink.getvalue()) == size and (sink.getvalue() == data) is not flip
    assert proxy.stats.get("flips", 0) == int(flip)


def partnumber_questions(spy):
    return [args for args, kwargs in spy.calls["stat_object"] if "partNumber" in (kwargs.get("extra_query_params") or {})]


class KeywordSpy(Spy):
    """Spy that keeps the keywords too: calls[name] holds (args, kwargs)."""

    def wrap(self, name, method, before):
        def call(*args, **kwargs):
            self.calls[name].append((args, dict(kwargs)))
            if before is not None:
                before(args, kwargs)
            return method(*args, **kwargs)
        return call


@pytest.mark.timeout(60)
@pytest.mark.parametrize("parts, server, questions", [
    ((9, 6, 2), "answers", 3),  # no size fits: every part's size asked for
    ((7, 7, 3), "answers", 1),  # part 1's size fits the others
    ((9, 6, 2), "ignores", 1),  # a server that ignores partNumber: not checked
    ((9, 6, 2), "refuses", 1),  # one that refuses it (S3Error): not checked
])
@pytest.mark.parametrize("path", ["file", "ranged", "stream"])
def test_unequal_parts_are_no_false_failure(ostrel, client, s3_config, tmp_path, parts, server, questions, path):
    """An object uploaded in parts of unequal sizes (MiB): the server is asked
    for the parts' sizes only when no known part size matches, and the
    download ends whole. The stream, whose bytes are out before they can be
    judged, asks for every part's size (none of the known sizes) and stands
    unchecked."""
    client._engine.make_bucket(BUCKET)
    data = [os.urandom(size * MiB) for size in parts]
    put_parts(client._engine, "o.bin", data)
    through = connected(ostrel, s3_config, **({"workers": 4} if path == "ranged" else {}))
    original = through._engine.stat_object

    def stat_object(*args, extra_query_params=None, **kwargs):
        if extra_query_params and server == "refuses":
            raise S3Error("InvalidArgument", "partNumber", "r", "q", "h", None)
        return original(*args, **kwargs, **({"extra_query_params": extra_query_params} if server == "answers" else {}))

    through._engine.stat_object = stat_object
    spy = KeywordSpy(through._engine, "stat_object")
    if path == "stream":
        sink = io.BytesIO()
        assert through._download_stream(BUCKET, "o.bin", sink) == sum(parts) * MiB
        assert sink.getvalue() == b"".join(data)
        assert len(partnumber_questions(spy)) == (len(parts) if server == "answers" else 1)
    else:
        assert through._download_file(BUCKET, "o.bin", str(tmp_path / "o.bin")) is True
        assert (tmp_path / "o.bin").read_bytes() == b"".join(data)
        assert len(partnumber_questions(spy)) == questions
    assert all(args[:2] == (BUCKET, "o.bin") for args, _ in spy.calls["stat_object"])


def fget_writing(content, etag, metadata):
    """The client library's file download, writing `content` and answering
    with a stat of `etag` and `metadata`."""
    def fget_object(bucket, name, path):
        with open(path, "wb") as file:
            file.write(content)
        return types.SimpleNamespace(etag=etag, size=len(content), metadata=metadata)
    return fget_object


WRONG = hashlib.md5(b"other").hexdigest()


@pytest.mark.timeout(30)
@pytest.mark.parametrize("metadata, checked", [
    ({"x-amz-server-side-encryption": "aws:kms"}, False),
    ({"x-amz-server-side-encryption-customer-algorithm": "AES256"}, False),
    ({"x-amz-server-side-encryption": "AES256"}, True),
    (None, True),
])
def test_encrypted_objects_are_not_checked(recorder_client, tmp_path, metadata, checked):
    """An object whose headers show KMS or SSE-C has an ETag that is no digest
    of its content: the download stands as written."""
    client, engine, _ = recorder_client(fget_object=fget_writing(b"content", WRONG, metadata))
    target = tmp_path / "o.bin"
    if checked:
        with pytest.raises(tavrin_minio.IntegrityError):
            client._download_file(BUCKET, "o.bin", str(target))
        assert engine.names() == ["fget_object"] * 5 and not target.exists()
    else:
        assert client._download_file(BUCKET, "o.bin", str(target)) is True
        assert engine.names() == ["fget_object"] and target.read_bytes() == b"content"


def test_a_check_that_fails_leaves_no_file(recorder_client, tmp_path):
    """The question about part 1 fails: that error ends the call, and the
    unchecked file is not left under the target's name."""
    client, engine, _ = recorder_client(fget_object=fget_writing(b"content", f"{WRONG}-3", {}),
                                        stat_object=ConnectionError("down"))
    with pytest.raises(ConnectionError):
        client._download_file(BUCKET, "o.bin", str(tmp_path / "o.bin"))
    assert engine.names() == ["fget_object", "stat_object"] and os.listdir(tmp_path) == []


class Body:
    """A response of the client library's in-memory download."""

    def __init__(self, data, headers):
        self.data, self.headers = data, headers

    def close(self):
        pass

    def release_conn(self):
        pass


@pytest.mark.parametrize("verify, calls", [
    (False, {"file": ["fget_object"], "flow": ["get_object"]}),
    (True, {"file": ["fget_object", "stat_object"], "flow": ["get_object", "stat_object"]}),
])
@pytest.mark.parametrize("path", ["file", "flow"])
def test_verify_false_makes_todays_calls(recorder_client, tmp_path, verify, calls, path):
    """A multipart ETag of no known part size: with verify: False exactly the
    one call of before is made and its content stands; checking asks for
    part 1 (this server names no parts count: not checked)."""
    etag = f"{WRONG}-3"
    client, engine, _ = recorder_client(
        fget_object=fget_writing(b"content", etag, {}),
        get_object=lambda *args: Body(b"content", HTTPHeaderDict({"ETag": f'"{etag}"'})),
        stat_object=types.SimpleNamespace(size=7, metadata={}))
    client._config.set("verify", verify)
    if path == "file":
        assert client._download_file(BUCKET, "o.bin", str(tmp_path / "o.bin")) is True
        assert (tmp_path / "o.bin").read_bytes() == b"content"
    else:
        assert client._download_flow(BUCKET, "o.bin") == "content"
    assert engine.names() == calls[path]
    if verify:
        assert engine.calls[-1][2] == {"extra_query_params": {"partNumber": "1"}}


# ================================================ guards of the resumed path

class Rest(Body):
    """The answer to the request for the rest: `status`, the Content-Range of
    the object's whole size, and `body`, which ends cleanly."""

    def __init__(self, status, offset, size, body):
        super().__init__(None, {"Content-Range": f"bytes {offset}-{size - 1}/{size}"} if status == 206 else {})
        self.status, self.chunks = status, [body[i:i + MiB] for i in range(0, len(body), MiB)][::-1]

    def read(self, amount):
        return self.chunks.pop() if self.chunks else b""


@pytest.mark.timeout(20)
@pytest.mark.parametrize("answer", ["short-206", "whole-200"])
def test_resumed_download_guards(recorder_client, tmp_path, answer):
    """The first attempt breaks after 2 MiB. A continuation answered with a
    short 206 (the stream ends cleanly before the Content-Range total) is not
    taken as whole: it goes on again from where it ended. A server that ignores
    the range and answers 200 with the whole object gets the part file
    restarted from byte 0, not appended to. Checked without verify, which
    would otherwise catch either."""
    data = os.urandom(6 * MiB)
    etag = hashlib.md5(data).hexdigest()

    def fget_object(bucket, name, path):
        with open(f"{path}.{etag}.part.minio", "wb") as part:
            part.write(data[:2 * MiB])
        raise ProtocolError("Connection broken")

    def get_object(bucket, name, offset, length, request_headers):
        if answer == "whole-200":
            return Rest(200, 0, len(data), data)
        end = len(data) if offset > 2 * MiB else 3 * MiB  # the first continuation stops short
        return Rest(206, offset, len(data), data[offset:end])

    client, engine, _ = recorder_client(fget_object=fget_object, get_object=get_object)
    client._config.set("verify", False)
    target = tmp_path / "o.bin"
    assert client._download_file(BUCKET, "o.bin", str(target)) is True
    assert target.read_bytes() == data and os.listdir(tmp_path) == ["o.bin"]
    offsets = [kwargs["offset"] for name, _, kwargs in engine.calls if name == "get_object"]
    assert offsets == ([2 * MiB] if answer == "whole-200" else [2 * MiB, 3 * MiB])


def flipped_once(data, at):
    """A stand-in get_object serving `data`, one bit flipped in the first
    response that holds byte `at`."""
    flips = []

    def get_object(bucket, name, offset, length, request_headers):
        body = data[offset:offset + length]
        if not flips and offset <= at < offset + length:
            flips.append(offset)
            body = body[:at - offset] + bytes([body[at - offset] ^ 1]) + body[at - offset + 1:]
        return Rest(206, offset, len(data), body)
    return get_object


def parts_stat(data, sizes):
    """A stand-in stat_object for an object uploaded in parts of `sizes`
    (bytes): the whole object's, or that of part partNumber."""
    def stat_object(bucket, name, extra_query_params=None):
        metadata = {"x-amz-mp-parts-count": str(len(sizes))}
        if extra_query_params:
            return types.SimpleNamespace(size=sizes[int(extra_query_params["partNumber"]) - 1], metadata=metadata)
        etag = hashlib.md5(b"".join(hashlib.md5(data[sum(sizes[:k]):sum(sizes[:k + 1])]).digest()
                                    for k in range(len(sizes)))).hexdigest()
        return types.SimpleNamespace(size=len(data), etag=f"{etag}-{len(sizes)}", metadata=metadata)
    return stat_object


@pytest.mark.timeout(30)
@pytest.mark.parametrize("parts", [
    [5] * 8,          # the client library's parts: ranges span parts
    [8] * 5,          # ours: a range is a part
    [16, 16, 8],      # parts span ranges
    [9, 6, 9, 6, 5],  # unequal: the server names the sizes
    [40],             # a plain ETag
])
def test_checks_keep_the_unchecked_ranges(recorder_client, tmp_path, parts):
    """With `workers`, a checked download asks for the very ranges of an
    unchecked one whatever the object's parts (MiB); a bit flipped in one
    range makes the checked one fetch every range again, once, and it
    arrives whole."""
    sizes = [size * MiB for size in parts]
    data = os.urandom(sum(sizes))
    stat = parts_stat(data, sizes)
    if len(parts) == 1:
        stat = types.SimpleNamespace(size=len(data), etag=hashlib.md5(data).hexdigest(), metadata={})
    asked = {}
    for verify in (False, True):
        client, engine, _ = recorder_client(stat_object=stat, get_object=flipped_once(data, 17 * MiB + 3))
        client._config.set("workers", 4)
        client._config.set("verify", verify)
        client._config.set("digest_cache", False)
        target = tmp_path / f"{verify}.bin"
        assert client._download_file(BUCKET, "o.bin", str(target)) is True
        assert (target.read_bytes() == data) is verify
        asked[verify] = sorted(kwargs["offset"] // MiB for name, _, kwargs in engine.calls if name == "get_object")
    assert asked[False] == [0, 8, 16, 24, 32]
    assert asked[True] == sorted(asked[False] * 2)


class Breaking(Rest):
    """A continuation whose connection breaks once its body is read, unless it is the last."""

    breaks = True

    def read(self, amount):
        if not self.chunks and self.breaks:
            raise ProtocolError("Connection broken", ConnectionResetError(104, "reset"))
        return super().read(amount)


@pytest.mark.serial  # its bound is a time: measured alone, not beside other workers
@pytest.mark.timeout(20)
def test_an_attempt_that_made_progress_is_followed_at_once(recorder_client, tmp_path):
    """Every continuation but the last breaks after 1 MiB: each one goes on
    from where the last ended with no wait (six waits of 0.2 s would take
    1.2 s), and the file arrives whole."""
    data = os.urandom(8 * MiB)
    etag = hashlib.md5(data).hexdigest()

    def fget_object(bucket, name, path):
        with open(f"{path}.{etag}.part.minio", "wb") as part:
            part.write(data[:MiB])
        raise ProtocolError("Connection broken")

    def get_object(bucket, name, offset, length, request_headers):
        last = offset >= 7 * MiB
        rest = Breaking(206, offset, len(data), data[offset:] if last else data[offset:offset + MiB])
        rest.breaks = not last
        return rest

    client, engine, _ = recorder_client(fget_object=fget_object, get_object=get_object)
    start = time.monotonic()
    assert client._download_file(BUCKET, "o.bin", str(tmp_path / "o.bin")) is True
    assert time.monotonic() - start < 0.6
    assert (tmp_path / "o.bin").read_bytes() == data
    assert [kwargs["offset"] // MiB for name, _, kwargs in engine.calls if name == "get_object"] == [1, 2, 3, 4, 5, 6, 7]
