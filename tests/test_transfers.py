"""Uploads (in-memory data, files, directory trees) and downloads (to memory,
to a file, one folder level to a directory) of TavrinOstrel.

Call shapes are checked against recording stand-ins for the storage client;
behaviour end to end against the moto S3 server on 127.0.0.1."""

import builtins
import functools
import gc
import hashlib
import importlib.util
import io
import logging
import ntpath
import os
import pathlib
import signal
import threading
import types
import warnings
import weakref

import pytest
from minio.error import S3Error

WARNING_TEXT = "data 必须为 文件 / bytes / 可直接转化为字符串的对象"
BUCKET = "bkt"


# ------------------------------------------------------------------ helpers

def stored(client, bucket):
    """{name: bytes} of every object in the bucket."""
    engine = client._engine
    out = {}
    for obj in engine.list_objects(bucket, recursive=True):
        response = engine.get_object(bucket, obj.object_name)
        try:
            out[obj.object_name] = response.read()
        finally:
            response.close()
            response.release_conn()
    return out


def content_type(client, bucket, name):
    return client._engine.stat_object(bucket, name).content_type


def resource_warnings(caught):
    return [w for w in caught if issubclass(w.category, ResourceWarning)]


def write(path, data=b""):
    path = pathlib.Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data if isinstance(data, bytes) else data.encode())
    return path


class Data(os.PathLike):
    """A path-like value (so the path test accepts it) whose text differs
    from its path."""

    def __init__(self, path, text=None, error=None):
        self._path, self._text, self._error = path, text, error

    def __fspath__(self):
        return self._path

    def __str__(self):
        if self._error is not None:
            raise self._error
        return self._text


class OtherText(str):
    def __str__(self):
        return "converted by str()"


def spy_class(ostrel, calls, fail_on=None, file_result=None):
    """A subclass recording the walk's calls of _upload_dir/_upload_file and
    the download's calls of _bucket_list_files/_download_file."""

    class Spy(ostrel.TavrinOstrel):
        listing = []

        def _upload_dir(self, *args, **kwargs):
            calls.append(("_upload_dir", args, kwargs))
            return super()._upload_dir(*args, **kwargs)

        def _upload_file(self, *args, **kwargs):
            calls.append(("_upload_file", args, kwargs))
            if fail_on is not None and args[1] == fail_on:
                raise OSError("cannot read " + args[1])
            return super()._upload_file(*args, **kwargs)

        def _bucket_list_files(self, *args, **kwargs):
            calls.append(("_bucket_list_files", args, kwargs))
            return list(self.listing)

        def _download_file(self, *args, **kwargs):
            calls.append(("_download_file", args, kwargs))
            if fail_on is not None and args[1] == fail_on:
                raise OSError("cannot write " + args[2])
            return file_result

    return Spy


def make_spy(ostrel, recorder_client, calls, **kw):
    template, engine, log = recorder_client()
    spy = spy_class(ostrel, calls, **kw)({"host": "h", "port": 1, "user": "u", "password": "p"})
    spy._engine, spy._log = engine, log
    return spy, engine, log


# ======================================================== _upload_flow (calls)

@pytest.fixture
def capture_put(recorder_client):
    """A recorder client whose put_object reads the stream it is given."""
    seen = {}

    def put_object(bucket, name, stream, length, **kwargs):
        seen["stream"] = stream
        seen["content"] = stream.read()
        return "etag-result"

    c, engine, log = recorder_client(put_object=put_object)
    return c, engine, log, seen


@pytest.mark.parametrize(
    "object_name, data, content, ctype",
    [
        ("a.txt", b"abc", b"abc", "text/plain"),
        ("photo.jpg", b"", b"", "image/jpeg"),
        ("a.txt", type("B", (bytes,), {})(b"sub"), b"sub", "text/plain"),
        ("note.txt", "hello", b"hello", "text/plain"),
        ("note.txt", "中文", "中文".encode(), "text/plain"),
        ("empty.pdf", "", b"", "application/pdf"),
        ("blob", "x", b"x", "application/octet-stream"),
        # text naming no existing file is stored as its own text
        ("typo.txt", "/no/such/dir/report.pdf", b"/no/such/dir/report.pdf", "text/plain"),
        ("p.txt", pathlib.Path("/no/such/file.pdf"), b"/no/such/file.pdf", "text/plain"),
        # anything but an exact str goes through str()
        ("p.txt", Data("/no/such/x.pdf", text="über"), "über".encode(), "text/plain"),
        ("p.txt", OtherText("/no/such/y.pdf"), b"converted by str()", "text/plain"),
    ],
    ids=["bytes", "empty-bytes", "bytes-subclass", "text", "non-ascii", "empty-text",
         "unknown-suffix", "missing-path", "path-object", "pathlike-str", "str-subclass"],
)
def test_upload_flow_memory_kinds(capture_put, object_name, data, content, ctype):
    c, engine, log, seen = capture_put
    assert c._upload_flow(BUCKET, object_name, data) is None
    assert len(engine.calls) == 1
    name, args, kwargs = engine.calls[0]
    assert name == "put_object"
    assert args[:2] == (BUCKET, object_name) and args[3] == len(content)
    assert type(args[3]) is int
    assert isinstance(args[2], io.BytesIO)
    assert kwargs == {"content_type": ctype}
    assert seen["content"] == content
    assert log.calls == []


def test_upload_flow_directory_path_is_stored_as_text(capture_put, tmp_path):
    c, engine, log, seen = capture_put
    c._upload_flow(BUCKET, "dir.txt", str(tmp_path))
    assert seen["content"] == str(tmp_path).encode()
    assert engine.calls[0][2] == {"content_type": "text/plain"}
    assert log.calls == []


def test_upload_flow_local_file_typed_by_path(capture_put, tmp_path):
    c, engine, log, seen = capture_put
    path = write(tmp_path / "report.pdf", b"%PDF-1.4 body")
    assert c._upload_flow(BUCKET, "data.bin", str(path)) is None
    (name, args, kwargs), = engine.calls
    assert (name, args[0], args[1], args[3]) == ("put_object", BUCKET, "data.bin", 13)
    assert kwargs == {"content_type": "application/pdf"}
    assert seen["content"] == b"%PDF-1.4 body"
    assert seen["stream"].name == str(path) and seen["stream"].mode == "rb"
    assert log.calls == []


def test_upload_flow_content_type_source(ostrel, recorder_client, monkeypatch, tmp_path):
    """get_mimora gets the local path for a file, the object name otherwise,
    and its answer is handed on unchanged."""
    asked = []

    def fake(name):
        asked.append(name)
        return "x/answer-%d" % len(asked)

    monkeypatch.setattr(ostrel, "get_mimora", fake)
    c, engine, _ = recorder_client()
    path = str(write(tmp_path / "f.pdf", b"1"))
    c._upload_flow(BUCKET, "obj-a", path)
    c._upload_flow(BUCKET, "obj-b", b"2")
    c._upload_flow(BUCKET, "obj-c", "3")
    assert asked == [path, "obj-b", "obj-c"]
    assert [kw["content_type"] for _, _, kw in engine.calls] == ["x/answer-1", "x/answer-2", "x/answer-3"]


@pytest.mark.parametrize(
    "data",
    ["\ud800", "ok \udfff tail", Data("/no/such", error=ValueError("no text")),
     Data("/no/such", error=RuntimeError("broken __str__"))],
    ids=["lone-surrogate", "embedded-surrogate", "str-raises-valueerror", "str-raises-runtimeerror"],
)
def test_upload_flow_unconvertible_text_warns_once(recorder_client, data):
    c, engine, log = recorder_client()
    assert c._upload_flow(BUCKET, "x.txt", data) is None
    assert engine.calls == []
    assert log.calls == [("warning", (WARNING_TEXT,), {})]


def test_upload_flow_interrupt_in_conversion_passes_through(recorder_client):
    c, engine, log = recorder_client()
    with pytest.raises(KeyboardInterrupt):
        c._upload_flow(BUCKET, "x.txt", Data("/no/such", error=KeyboardInterrupt()))
    assert engine.calls == [] and log.calls == []


@pytest.mark.parametrize(
    "data, error",
    [(None, TypeError), (1.5, TypeError), (object(), TypeError),
     (io.BytesIO(b"abc"), TypeError)],
    ids=["None", "float", "object", "file-object"],
)
def test_upload_flow_path_test_refuses(ostrel, recorder_client, monkeypatch, data, error):
    """Values the path test refuses end the call there: no MIME lookup, no
    warning, no upload."""
    asked = []
    monkeypatch.setattr(ostrel, "get_mimora", lambda n: asked.append(n) or "t/t")
    c, engine, log = recorder_client()
    with pytest.raises(error):
        c._upload_flow(BUCKET, "x.txt", data)
    assert asked == [] and engine.calls == [] and log.calls == []


@pytest.mark.parametrize("as_type, error", [(os.fsencode, TypeError), (pathlib.Path, AttributeError)],
                         ids=["bytes-path", "path-object"])
def test_upload_flow_existing_file_by_non_text_path_fails_in_lookup(
        recorder_client, tmp_path, as_type, error):
    path = write(tmp_path / "exists.pdf", b"x")
    c, engine, log = recorder_client()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(error):
            c._upload_flow(BUCKET, "x.txt", as_type(str(path)))
        gc.collect()
    assert engine.calls == [] and log.calls == []
    assert resource_warnings(caught) == []


@pytest.mark.parametrize("outcome", ["success", "put-raises", "not-connected"])
def test_upload_flow_closes_local_file(ostrel, recorder_client, monkeypatch, tmp_path, outcome):
    """The file opened for the local-file kind is closed when the call ends,
    whether the upload succeeded or raised; nothing is left to the GC."""
    opened = []

    def tracking_open(*args, **kwargs):
        f = builtins.open(*args, **kwargs)
        opened.append((args, kwargs, f))
        return f

    monkeypatch.setattr(ostrel, "open", tracking_open, raising=False)
    boom = S3Error("NoSuchBucket", "gone", None, None, None, None)
    c, engine, log = recorder_client(put_object=boom if outcome == "put-raises" else None)
    if outcome == "not-connected":
        del c._engine
    path = str(write(tmp_path / "f.txt", b"file body"))
    if outcome == "success":
        assert c._upload_flow(BUCKET, "o.txt", path) is None
    else:
        with pytest.raises(S3Error if outcome == "put-raises" else AttributeError):
            c._upload_flow(BUCKET, "o.txt", path)
    ((args, kwargs, f),) = opened
    assert args == (path, "rb") and kwargs == {}
    assert f.closed
    if outcome != "not-connected":
        (_, put_args, _), = engine.calls
        assert put_args[2] is f
    assert log.calls == []


@pytest.mark.parametrize("fails", [False, True], ids=["success", "put-raises"])
def test_upload_flow_local_file_leaves_no_resource_warning(recorder_client, tmp_path, fails):
    refs = []

    def put_object(bucket, name, stream, length, **kwargs):
        refs.append(weakref.ref(stream))
        if fails:
            raise ConnectionError("network down")

    c, engine, log = recorder_client(put_object=put_object)
    path = str(write(tmp_path / "f.bin", b"\x00" * 100))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if fails:
            with pytest.raises(ConnectionError):
                c._upload_flow(BUCKET, "o", path)
        else:
            c._upload_flow(BUCKET, "o", path)
        engine.calls.clear()  # the recorder's own reference to the stream
        gc.collect()
    assert resource_warnings(caught) == []
    assert refs and refs[0]() is None
    assert log.calls == []


def test_upload_flow_put_errors_propagate_unlogged(recorder_client):
    error = S3Error("AccessDenied", "denied", None, None, None, None)
    c, engine, log = recorder_client(put_object=error)
    with pytest.raises(S3Error) as info:
        c._upload_flow(BUCKET, "x.txt", b"data")
    assert info.value is error
    assert engine.names() == ["put_object"] and log.calls == []


# ============================================================ _upload_file

@pytest.mark.parametrize(
    "object_name, parallel, sent_name, ctype",
    [
        ("docs\\report.pdf", None, "docs/report.pdf", "application/pdf"),
        ("a\\b\\c.txt", 1, "a/b/c.txt", "text/plain"),
        ("folder/", 8, "folder/", "application/octet-stream"),
        ("x\\", 2, "x/", "application/octet-stream"),
        ("plain.jpg", "unchecked", "plain.jpg", "image/jpeg"),
    ],
)
def test_upload_file_call(recorder_client, object_name, parallel, sent_name, ctype):
    c, engine, log = recorder_client(fput_object="ignored result")
    if parallel is None:
        result = c._upload_file(BUCKET, object_name, "/local/file.bin")
        parallel = 3
    else:
        result = c._upload_file(BUCKET, object_name, "/local/file.bin", parallel)
    assert result is None
    assert engine.calls == [
        ("fput_object", (BUCKET, sent_name, "/local/file.bin"),
         {"content_type": ctype, "num_parallel_uploads": parallel}),
    ]
    assert log.calls == []


def test_upload_file_types_by_original_object_name(ostrel, recorder_client, monkeypatch):
    asked = []
    monkeypatch.setattr(ostrel, "get_mimora", lambda n: asked.append(n) or "a/b")
    c, engine, _ = recorder_client()
    c._upload_file(bucket_name=BUCKET, object_name="d\\e.pdf", file_name="f.txt", parallel=4)
    assert asked == ["d\\e.pdf"]
    assert engine.calls[0][2] == {"content_type": "a/b", "num_parallel_uploads": 4}


@pytest.mark.parametrize("object_name, error", [(5, AttributeError), (None, AttributeError),
                                                (b"a.txt", TypeError)])
def test_upload_file_non_text_name_fails_before_upload(recorder_client, object_name, error):
    c, engine, log = recorder_client()
    with pytest.raises(error):
        c._upload_file(BUCKET, object_name, "/f")
    assert engine.calls == [] and log.calls == []


def test_upload_file_errors_propagate(recorder_client):
    error = FileNotFoundError("no such file")
    c, engine, log = recorder_client(fput_object=error)
    with pytest.raises(FileNotFoundError) as info:
        c._upload_file(BUCKET, "a.txt", "/missing")
    assert info.value is error and log.calls == []


# ====================================================== _upload_dir (calls)

def tree(root, files):
    """Create files (relative paths, "" content) and empty dirs (ending "/")."""
    root = pathlib.Path(root)
    root.mkdir(parents=True, exist_ok=True)
    for rel in files:
        if rel.endswith("/"):
            (root / rel).mkdir(parents=True, exist_ok=True)
        else:
            write(root / rel, rel)
    return root


def uploaded(engine):
    """{object name: local path} of the fput_object calls, checking each."""
    out = {}
    for name, args, kwargs in engine.calls:
        assert name == "fput_object"
        assert set(kwargs) == {"content_type", "num_parallel_uploads"}
        out[args[1]] = args[2]
    return out


@pytest.mark.parametrize(
    "suffix, base_dir, names",
    [
        ("", None, ["photos/a.txt", "photos/sub/b.txt"]),
        ("/", None, ["a.txt", "sub/b.txt"]),
        ("", "backup/2024", ["backup/2024/a.txt", "backup/2024/sub/b.txt"]),
        ("", "backup/", ["backup/a.txt", "backup/sub/b.txt"]),
        ("", "", ["photos/a.txt", "photos/sub/b.txt"]),
        ("/", "kept", ["kept/a.txt", "kept/sub/b.txt"]),
    ],
    ids=["plain", "trailing-slash", "base", "base-with-slash", "empty-base", "trailing-with-base"],
)
def test_upload_dir_object_names(recorder_client, tmp_path, suffix, base_dir, names):
    photos = tree(tmp_path / "srv" / "photos", ["a.txt", "sub/b.txt"])
    c, engine, log = recorder_client()
    dir_path = str(photos) + suffix
    if base_dir is None:
        assert c._upload_dir(BUCKET, dir_path) is None
    else:
        assert c._upload_dir(BUCKET, dir_path, 3, base_dir) is None
    got = uploaded(engine)
    assert sorted(got) == names
    # local paths are plain joins of dir_path and the entry names
    assert sorted(got.values()) == sorted([os.path.join(dir_path, "a.txt"),
                                           os.path.join(dir_path, "sub", "b.txt")])
    assert log.calls == []


@pytest.mark.parametrize(
    "dir_name, names",
    [("C:\\data\\photos", ["photos/a.txt", "photos/sub/b.txt"]),
     ("C:\\data\\photos\\", ["a.txt", "sub/b.txt"])],
    ids=["backslashes", "trailing-backslash"],
)
def test_upload_dir_backslash_dir_path(recorder_client, tmp_path, monkeypatch, dir_name, names):
    """A directory path written with backslashes gives the same prefix rule
    as one written with "/" (here the backslashes are part of one name)."""
    monkeypatch.chdir(tmp_path)
    tree(tmp_path / dir_name, ["a.txt", "sub/b.txt"])
    c, engine, _ = recorder_client()
    c._upload_dir(BUCKET, dir_name)
    got = uploaded(engine)
    assert sorted(got) == names
    assert got[names[0]] == os.path.join(dir_name, "a.txt")


def test_upload_dir_backslash_in_entry_names(recorder_client, tmp_path):
    photos = tree(tmp_path / "photos", ["x\\y.txt", "d\\e/f\\g.pdf"])
    c, engine, _ = recorder_client()
    c._upload_dir(BUCKET, str(photos))
    got = uploaded(engine)
    assert got == {
        "photos/x/y.txt": os.path.join(str(photos), "x\\y.txt"),
        "photos/d/e/f/g.pdf": os.path.join(str(photos), "d\\e", "f\\g.pdf"),
    }
    types_ = {args[1]: kw["content_type"] for _, args, kw in engine.calls}
    assert types_ == {"photos/x/y.txt": "text/plain", "photos/d/e/f/g.pdf": "application/pdf"}


def test_upload_dir_nested_hidden_and_empty(recorder_client, tmp_path):
    photos = tree(tmp_path / "photos",
                  ["x/y/z.txt", ".hidden", "x/.git/config", "empty/", "x/y/deeper/", "top.jpg"])
    c, engine, log = recorder_client()
    c._upload_dir(BUCKET, str(photos), 7)
    assert sorted(uploaded(engine)) == ["photos/.hidden", "photos/top.jpg",
                                        "photos/x/.git/config", "photos/x/y/z.txt"]
    assert {kw["num_parallel_uploads"] for _, _, kw in engine.calls} == {7}
    assert log.calls == []


@pytest.mark.parametrize("layout", [[], ["empty/", "also/empty/"]], ids=["empty", "only-empty-dirs"])
def test_upload_dir_nothing_to_store(recorder_client, tmp_path, layout):
    root = tree(tmp_path / "d", layout)
    c, engine, log = recorder_client()
    assert c._upload_dir(BUCKET, str(root)) is None
    assert engine.calls == [] and log.calls == []


@pytest.mark.parametrize("make, error", [
    (lambda p: p / "missing", FileNotFoundError),
    (lambda p: write(p / "file.txt", b"x"), NotADirectoryError),
], ids=["missing", "a-file"])
def test_upload_dir_bad_dir_path_raises_before_anything(recorder_client, tmp_path, make, error):
    c, engine, log = recorder_client()
    with pytest.raises(error):
        c._upload_dir(BUCKET, str(make(tmp_path)))
    assert engine.calls == [] and log.calls == []


def test_upload_dir_walk_call_shapes(ostrel, recorder_client, tmp_path, monkeypatch):
    """Depth-first, in listing order (not sorted), with the nested calls made
    positionally through the instance and parallel passed on."""
    photos = tree(tmp_path / "photos", ["b.txt", "sub/z.txt", "sub/inner/y.txt", "a.txt"])
    order = {str(photos): ["b.txt", "sub", "a.txt"],
             os.path.join(str(photos), "sub"): ["z.txt", "inner"],
             os.path.join(str(photos), "sub", "inner"): ["y.txt"]}
    listed = []

    def listdir(path):
        listed.append(path)
        return list(order[path])

    monkeypatch.setattr(ostrel, "os", types.SimpleNamespace(listdir=listdir, path=os.path, stat=os.stat))
    calls = []
    spy, engine, log = make_spy(ostrel, recorder_client, calls)
    p = str(photos)
    sub, inner = os.path.join(p, "sub"), os.path.join(p, "sub", "inner")
    assert spy._upload_dir(BUCKET, p, parallel=5) is None
    assert calls == [
        ("_upload_dir", (BUCKET, p), {"parallel": 5}),
        ("_upload_file", (BUCKET, "photos/b.txt", os.path.join(p, "b.txt")), {"parallel": 5}),
        ("_upload_dir", (BUCKET, sub, 5, "photos/sub"), {}),
        ("_upload_file", (BUCKET, "photos/sub/z.txt", os.path.join(sub, "z.txt")), {"parallel": 5}),
        ("_upload_dir", (BUCKET, inner, 5, "photos/sub/inner"), {}),
        ("_upload_file", (BUCKET, "photos/sub/inner/y.txt", os.path.join(inner, "y.txt")), {"parallel": 5}),
        ("_upload_file", (BUCKET, "photos/a.txt", os.path.join(p, "a.txt")), {"parallel": 5}),
    ]
    assert listed == [p, sub, inner]
    assert [args[1] for _, args, _ in engine.calls] == [
        "photos/b.txt", "photos/sub/z.txt", "photos/sub/inner/y.txt", "photos/a.txt"]


def test_upload_dir_overrides_steer_the_walk(ostrel, recorder_client, tmp_path):
    """A subclass's _upload_file replaces the per-file upload entirely, and
    its result is discarded."""
    photos = tree(tmp_path / "photos", ["a.txt", "s/b.txt"])
    seen = []

    class Own(ostrel.TavrinOstrel):
        def _upload_file(self, bucket_name, object_name, file_name, parallel=3):
            seen.append((bucket_name, object_name, file_name, parallel))
            return "ignored"

    c, engine, _ = recorder_client()
    own = Own({"host": "h", "port": 1, "user": "u", "password": "p"})
    own._engine = engine
    assert own._upload_dir(BUCKET, str(photos), 2, "pre") is None
    assert sorted(seen) == [(BUCKET, "pre/a.txt", os.path.join(str(photos), "a.txt"), 2),
                            (BUCKET, "pre/s/b.txt", os.path.join(str(photos), "s", "b.txt"), 2)]
    assert engine.calls == []


def test_upload_dir_links_and_special_entries(recorder_client, tmp_path):
    """A link to a directory is walked, a link to a file uploaded; a pipe is
    handed to the file upload like a file; a dangling link is skipped with a
    warning."""
    elsewhere = tree(tmp_path / "elsewhere", ["inner.txt", "deep/more.pdf"])
    real_file = write(tmp_path / "real.pdf", b"pdf")
    photos = tree(tmp_path / "photos", ["plain.txt"])
    os.symlink(elsewhere, photos / "linkdir")
    os.symlink(real_file, photos / "linkfile.pdf")
    os.symlink(tmp_path / "nowhere", photos / "dangling")
    os.mkfifo(photos / "pipe")
    c, engine, log = recorder_client()
    c._upload_dir(BUCKET, str(photos))
    p = str(photos)
    assert uploaded(engine) == {
        "photos/plain.txt": os.path.join(p, "plain.txt"),
        "photos/linkdir/inner.txt": os.path.join(p, "linkdir", "inner.txt"),
        "photos/linkdir/deep/more.pdf": os.path.join(p, "linkdir", "deep", "more.pdf"),
        "photos/linkfile.pdf": os.path.join(p, "linkfile.pdf"),
        "photos/pipe": os.path.join(p, "pipe"),
    }
    assert log.calls == [("warning", ("链接目标不存在，已跳过：" + os.path.join(p, "dangling"),), {})]


CYCLE_TEXT = "目录链接成环，已跳过："


def test_upload_dir_link_cycles_end(recorder_client, tmp_path):
    """A link back to the walk's top and one to a parent are each reported
    once and not walked again; links to folders off the walk path are walked
    under every name that leads to them."""
    photos = tree(tmp_path / "photos", ["a.txt", "sub/b.txt", "sub/deeper/c.txt", "shared/s.txt"])
    sub = photos / "sub"
    os.symlink(photos, sub / "top")
    os.symlink(sub, sub / "deeper" / "parent")
    os.symlink(photos / "shared", photos / "again")
    c, engine, log = recorder_client()
    assert c._upload_dir(BUCKET, str(photos)) is None
    assert sorted(uploaded(engine)) == ["photos/a.txt", "photos/again/s.txt", "photos/shared/s.txt",
                                        "photos/sub/b.txt", "photos/sub/deeper/c.txt"]
    assert sorted(log.calls) == [("warning", (CYCLE_TEXT + str(sub / "deeper" / "parent"),), {}),
                                 ("warning", (CYCLE_TEXT + str(sub / "top"),), {})]


def test_upload_dir_walk_path_is_per_walk_and_per_thread(ostrel, recorder_client, tmp_path):
    """A walk that failed deep inside leaves nothing behind for the next walk
    on its thread, and a walk paused on one thread does not affect another."""
    photos = tree(tmp_path / "photos", ["sub/b.txt"])
    calls = []
    spy, _, _ = make_spy(ostrel, recorder_client, calls, fail_on="photos/sub/b.txt")
    with pytest.raises(OSError):
        spy._upload_dir(BUCKET, str(photos))

    paused, resume = threading.Event(), threading.Event()

    class Pausing(ostrel.TavrinOstrel):
        def _upload_file(self, *args, **kwargs):
            paused.set()
            assert resume.wait(10)
            return super()._upload_file(*args, **kwargs)

    first, first_engine, first_log = recorder_client()
    blocked = Pausing({"host": "h", "port": 1, "user": "u", "password": "p"})
    blocked._engine, blocked._log = first_engine, first_log
    worker = threading.Thread(target=blocked._upload_dir, args=(BUCKET, str(photos)))
    worker.start()
    try:
        assert paused.wait(10)
        c, engine, log = recorder_client()
        c._upload_dir(BUCKET, str(photos))
    finally:
        resume.set()
        worker.join()
    assert list(uploaded(engine)) == list(uploaded(first_engine)) == ["photos/sub/b.txt"]
    assert log.calls == first_log.calls == []


@pytest.mark.parametrize("fail_on, done", [
    ("photos/b.txt", ["photos/b.txt"]),
    ("photos/sub/z.txt", ["photos/b.txt", "photos/sub/z.txt"]),
    ("photos/a.txt", ["photos/b.txt", "photos/sub/z.txt", "photos/sub/y.txt", "photos/a.txt"]),
], ids=["first", "nested", "last"])
def test_upload_dir_first_failure_ends_walk(ostrel, recorder_client, tmp_path, monkeypatch, fail_on, done):
    photos = tree(tmp_path / "photos", ["b.txt", "sub/z.txt", "sub/y.txt", "a.txt"])
    order = {str(photos): ["b.txt", "sub", "a.txt"], os.path.join(str(photos), "sub"): ["z.txt", "y.txt"]}
    monkeypatch.setattr(ostrel, "os", types.SimpleNamespace(
        listdir=lambda path: list(order[path]), path=os.path, stat=os.stat))
    calls = []
    spy, engine, log = make_spy(ostrel, recorder_client, calls, fail_on=fail_on)
    with pytest.raises(OSError, match="cannot read " + fail_on):
        spy._upload_dir(BUCKET, str(photos))
    assert [args[1] for name, args, _ in calls if name == "_upload_file"] == done
    assert [args[1] for _, args, _ in engine.calls] == done[:-1]
    assert log.calls == []


# ================================================================ downloads

class Response:
    def __init__(self, data=None, error=None):
        self._data, self._error, self.closed = data, error, 0

    @property
    def data(self):
        if self._error is not None:
            raise self._error
        return self._data

    def close(self, *args, **kwargs):
        assert args == () and kwargs == {}
        self.closed += 1


class DecodeSpy:
    def __init__(self):
        self.calls = []

    def decode(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return "decoded text"


@pytest.mark.parametrize("data, text", [
    (b"plain", "plain"), (b"", ""), ("中文 ✓".encode(), "中文 ✓"), (b"a\x00b", "a\x00b"),
], ids=["ascii", "empty", "non-ascii", "nul"])
def test_download_flow_returns_text_and_closes(recorder_client, data, text):
    response = Response(data)
    c, engine, log = recorder_client(get_object=response)
    result = c._download_flow(BUCKET, "o.txt")
    assert type(result) is str and result == text
    assert engine.calls == [("get_object", (BUCKET, "o.txt"), {})]
    assert response.closed == 1
    assert log.calls == []


def test_download_flow_decodes_utf8_strictly(recorder_client):
    data = DecodeSpy()
    response = Response(data)
    c, _, _ = recorder_client(get_object=response)
    assert c._download_flow(bucket_name=BUCKET, object_name="o") == "decoded text"
    assert data.calls == [(("utf-8",), {})]
    assert response.closed == 1


@pytest.mark.parametrize("response, error", [
    (Response(b"\xff\xfe bad"), UnicodeDecodeError),
    (Response(b"ok then \xc3"), UnicodeDecodeError),
    (Response(error=ConnectionResetError("reset while reading")), ConnectionResetError),
], ids=["invalid-start", "truncated-sequence", "read-fails"])
def test_download_flow_failure_still_closes(recorder_client, response, error):
    c, _, log = recorder_client(get_object=response)
    with pytest.raises(error):
        c._download_flow(BUCKET, "o")
    assert response.closed == 1
    assert log.calls == []


def test_download_flow_get_error_propagates(recorder_client):
    error = S3Error("NoSuchKey", "missing", None, None, None, None)
    c, engine, log = recorder_client(get_object=error)
    with pytest.raises(S3Error) as info:
        c._download_flow(BUCKET, "o")
    assert info.value is error and log.calls == []


@pytest.mark.parametrize("library_result", [None, False, "anything"])
def test_download_file_returns_true(recorder_client, library_result):
    c, engine, log = recorder_client(fget_object=library_result)
    assert c._download_file(BUCKET, "a/b.txt", "/tmp/x") is True
    assert engine.calls == [("fget_object", (BUCKET, "a/b.txt", "/tmp/x"), {})]
    assert log.calls == []


def test_download_file_error_propagates(recorder_client):
    error = PermissionError("read-only")
    c, _, log = recorder_client(fget_object=error)
    with pytest.raises(PermissionError) as info:
        c._download_file(BUCKET, "o", "/ro/x")
    assert info.value is error and log.calls == []


def broken_stream(kind):
    from urllib3.exceptions import ProtocolError, ReadTimeoutError

    if kind == "reset":
        return ProtocolError("Connection broken", ConnectionResetError(104, "reset"))
    return ReadTimeoutError(None, "/o", "Read timed out.")


@pytest.mark.timeout(20)
@pytest.mark.parametrize("failures, error, calls", [
    (1, "reset", 2), (4, "stall", 5), (5, "reset", 5),
    (1, S3Error("NoSuchKey", "gone", None, None, None, None), 1), (1, PermissionError("read-only"), 1),
])
def test_download_file_makes_a_broken_stream_again(recorder_client, tmp_path, failures, error, calls):
    """A broken stream makes the same call again, up to five in all; other
    errors end it at once. Each failed call's part file is removed; one that
    was there before the call (a leftover of an earlier run) stays."""
    target, leftover = tmp_path / "o.bin", tmp_path / "o.bin.old-etag.part.minio"
    write(leftover, b"earlier")
    os.utime(leftover, (0, 0))
    raised = [broken_stream(error) if isinstance(error, str) else error for _ in range(failures)]

    def fget_object(bucket, name, path):
        part = pathlib.Path(f"{path}.etag.part.minio")
        write(part, b"partial")
        if len(engine.calls) <= failures:
            raise raised[len(engine.calls) - 1]
        part.replace(path)

    c, engine, _ = recorder_client(fget_object=fget_object)
    if calls > failures:
        assert c._download_file(BUCKET, "o", str(target)) is True
    else:
        with pytest.raises(BaseException) as info:
            c._download_file(BUCKET, "o", str(target))
        assert info.value is raised[-1]
    assert engine.calls == [("fget_object", (BUCKET, "o", str(target)), {})] * calls
    left = {leftover.name} | ({target.name} if calls > failures else set())
    assert {p.name for p in tmp_path.iterdir()} == left and leftover.read_bytes() == b"earlier"


def test_download_flow_reads_a_broken_stream_again(recorder_client):
    responses = [Response(error=broken_stream("reset")), Response("中文".encode())]
    c, engine, _ = recorder_client(get_object=lambda *args: responses[len(engine.calls) - 1])
    assert c._download_flow(BUCKET, "o") == "中文"
    assert engine.calls == [("get_object", (BUCKET, "o"), {})] * 2
    assert [r.closed for r in responses] == [1, 1]


# ------------------------------------------------------ _download_dir (calls)

TABLE_OBJECTS = ["photos/a.jpg", "photos/2024/b.jpg", "archive/photos/c.jpg",
                 "oldphotos/d.jpg", "photos/photos/e.jpg", "f.jpg", "photos/"]
TABLE_SELECTED = [("photos/a.jpg", "a.jpg")]
UNSAFE_NAME_TEXT = "对象名不能用作本地文件名，已跳过："


def run_download_dir(ostrel, recorder_client, objects, *args, **kwargs):
    calls = []
    spy, engine, log = make_spy(ostrel, recorder_client, calls, file_result="ignored")
    spy.listing = [{"object_name": name} for name in objects]
    result = spy._download_dir(*args, **kwargs)
    assert result is None
    assert engine.calls == [] and log.calls == []
    return calls


@pytest.mark.parametrize("prefix", ["photos", "photos/"])
@pytest.mark.parametrize("out", ["/tmp/out", "/tmp/out/"])
def test_download_dir_selection_table(ostrel, recorder_client, prefix, out):
    calls = run_download_dir(ostrel, recorder_client, TABLE_OBJECTS, BUCKET, prefix, out)
    assert calls == [("_bucket_list_files", (BUCKET,), {})] + [
        ("_download_file", (BUCKET, name, "/tmp/out/" + file_name), {})
        for name, file_name in TABLE_SELECTED
    ]


@pytest.mark.parametrize("prefix, objects, selected", [
    ("/photos", ["photos/a.jpg", "x/photos/b.jpg", "/photos/c.jpg", "/photos/d/e.jpg", "/photos/"],
     [("/photos/c.jpg", "c.jpg")]),
    ("/", ["top.jpg", "photos/a.jpg", "/lead", "/a/b", "/"], [("/lead", "lead")]),
    ("photos", [], []),
    ("nothing", TABLE_OBJECTS, []),
    ("d", ["d/x", "a/d/y", "d/d/z", "dd/w", "d/", "d/d/", "d/.x"], [("d/x", "x"), ("d/.x", ".x")]),
], ids=["leading-slash", "root-slash", "empty-bucket", "no-match", "repeated"])
def test_download_dir_prefix_rule(ostrel, recorder_client, prefix, objects, selected):
    calls = run_download_dir(ostrel, recorder_client, objects, BUCKET, prefix, "/out")
    assert calls[1:] == [("_download_file", (BUCKET, name, os.path.join("/out/", f)), {})
                         for name, f in selected]


HOSTILE_NAMES = ["p/.", "p/..", "p/..\\x", "p/a\\b", "p/c:d", "p/C:", "p/...", "p/.. ", "p/NUL", "p/ok"]


@pytest.mark.parametrize("windows, refused", [
    (False, ["p/.", "p/.."]),
    # device names are known to os.path.isreserved, which Python 3.13 added
    (True, HOSTILE_NAMES[:8] + (["p/NUL"] if hasattr(ntpath, "isreserved") else [])),
], ids=["posix", "windows"])
def test_download_dir_refuses_names_outside_the_target(ostrel, recorder_client, monkeypatch, windows, refused):
    """Names that would not land inside dir_path as themselves are skipped,
    each with one warning naming the object; the rest still download,
    inside dir_path."""
    path = ntpath if windows else os.path
    if windows:
        monkeypatch.setattr(ostrel, "os", types.SimpleNamespace(sep="\\", altsep="/", name="nt", path=ntpath))
    names = HOSTILE_NAMES
    calls = []
    spy, _, log = make_spy(ostrel, recorder_client, calls)
    spy.listing = [{"object_name": n} for n in names]
    assert spy._download_dir(BUCKET, "p", "/o") is None
    downloads = [args for name, args, _ in calls if name == "_download_file"]
    assert [args[1] for args in downloads] == [n for n in names if n not in refused]
    assert all(path.dirname(path.normpath(args[2])) == path.normpath("/o") for args in downloads)
    assert log.calls == [("warning", (UNSAFE_NAME_TEXT + n,), {}) for n in refused]


@pytest.mark.parametrize("dir_path, target", [
    ("C:\\out", "C:\\out/a.jpg"),
    ("C:\\out\\", "C:\\out\\/a.jpg"),
    ("rel", "rel/a.jpg"),
    ("/", "/a.jpg"),
])
def test_download_dir_local_directory_normalisation(ostrel, recorder_client, dir_path, target):
    calls = run_download_dir(ostrel, recorder_client, ["photos/a.jpg"],
                             bucket_name=BUCKET, object_path="photos", dir_path=dir_path)
    assert calls[1:] == [("_download_file", (BUCKET, "photos/a.jpg", target), {})]


def test_download_dir_reads_records_with_get_only(ostrel, recorder_client):
    class Record:
        def __init__(self, name):
            self.name = name

        def get(self, key, *default):
            assert key == "object_name" and default == ()
            return self.name

    calls = []
    spy, _, _ = make_spy(ostrel, recorder_client, calls)
    spy.listing = [Record("p/a"), Record("p/b/c")]
    spy._download_dir(BUCKET, "p", "/o")
    assert calls[1:] == [("_download_file", (BUCKET, "p/a", "/o/a"), {})]


@pytest.mark.parametrize("object_path, dir_path", [("", "/out"), ("photos", ""), ("", "")])
def test_download_dir_empty_path_raises_before_any_request(ostrel, recorder_client, object_path, dir_path):
    calls = []
    spy, engine, log = make_spy(ostrel, recorder_client, calls)
    with pytest.raises(IndexError):
        spy._download_dir(BUCKET, object_path, dir_path)
    assert calls == [] and engine.calls == [] and log.calls == []
    c, engine, _ = recorder_client()
    with pytest.raises(IndexError):
        c._download_dir(BUCKET, object_path, dir_path)
    assert engine.calls == []


def test_download_dir_first_failure_stops(ostrel, recorder_client):
    calls = []
    spy, _, log = make_spy(ostrel, recorder_client, calls, fail_on="p/2")
    spy.listing = [{"object_name": n} for n in ["p/1", "p/2", "p/3"]]
    with pytest.raises(OSError, match="cannot write /o/2"):
        spy._download_dir(BUCKET, "p", "/o")
    assert [args[1] for name, args, _ in calls if name == "_download_file"] == ["p/1", "p/2"]
    assert log.calls == []


def test_download_dir_listing_error_propagates(ostrel, recorder_client):
    error = S3Error("NoSuchBucket", "gone", None, None, None, None)
    c, engine, log = recorder_client(list_objects=error)
    with pytest.raises(S3Error) as info:
        c._download_dir(BUCKET, "p", "/o")
    assert info.value is error
    assert engine.calls == [("list_objects", (), {"bucket_name": BUCKET, "prefix": "p/", "recursive": False})]
    assert log.calls == []


# ------------------------------------------- _download_dir: what is listed

def entries(*names):
    return [types.SimpleNamespace(object_name=name) for name in names]


@pytest.mark.parametrize("prefix", ["photos", "photos/"])
def test_download_dir_lists_only_the_folder(recorder_client, prefix):
    listed = entries("photos/", "photos/a.jpg", "photos/2024/", "photos/b c.txt")
    c, engine, log = recorder_client(list_objects=lambda **kw: iter(listed))
    assert c._download_dir(BUCKET, prefix, "/out") is None
    assert engine.calls == [
        ("list_objects", (), {"bucket_name": BUCKET, "prefix": "photos/", "recursive": False}),
        ("fget_object", (BUCKET, "photos/a.jpg", "/out/a.jpg"), {}),
        ("fget_object", (BUCKET, "photos/b c.txt", "/out/b c.txt"), {}),
    ]
    assert log.calls == []


@pytest.mark.parametrize("case", ["instance-attribute", "other-clients-method", "prefix-not-text"])
def test_download_dir_otherwise_lists_the_whole_bucket(recorder_client, case):
    """As a subclass's listing does (see the selection table)."""
    c, engine, _ = recorder_client(list_objects=lambda **kw: [])
    other, other_engine, _ = recorder_client(list_objects=lambda **kw: [])
    prefix, target = "p", engine
    if case == "instance-attribute":
        c._bucket_list_files = functools.partial(type(c)._bucket_list_files, c)
    elif case == "other-clients-method":
        c._bucket_list_files, target = other._bucket_list_files, other_engine
    else:
        prefix = ["p", "/"]  # ends in "/", so it is kept as it is
    c._download_dir(BUCKET, prefix, "/out")
    assert target.calls == [("list_objects", (), {"bucket_name": BUCKET, "prefix": "", "recursive": True})]
    assert len(engine.calls + other_engine.calls) == 1


def interrupt(*args):
    raise KeyboardInterrupt


def test_upload_dir_failing_stat_is_no_identity(ostrel, recorder_client, tmp_path, monkeypatch):
    """os.listdir(None) lists the working directory, os.stat(None) fails: the
    walk ends as it did before it compared directories. Ctrl-C is no failure."""
    monkeypatch.chdir(tmp_path)
    c, engine, log = recorder_client()
    assert c._upload_dir(BUCKET, None, 3, "base") is None
    monkeypatch.setattr(ostrel, "os", types.SimpleNamespace(listdir=os.listdir, path=os.path, stat=interrupt))
    with pytest.raises(KeyboardInterrupt):
        c._upload_dir(BUCKET, str(tmp_path))
    assert engine.calls == [] and log.calls == []


# ================================================ transfers on a pool of threads

def pool_threads():
    return [t for t in threading.enumerate() if t.name.startswith("tavrin_minio")]


def pooled(ostrel, recorder_client, workers, act=lambda number, args: None):
    """A client with `workers` whose _upload_file and _download_file record
    (thread, args, kwargs), then run act(call number, args)."""
    calls, lock = [], threading.Lock()

    def transfer(self, *args, **kwargs):
        with lock:
            calls.append((threading.get_ident(), args, kwargs))
            number = len(calls) - 1
        act(number, args)

    pooled_class = type("Pooled", (ostrel.TavrinOstrel,), {"_upload_file": transfer, "_download_file": transfer})
    c = pooled_class({"host": "h", "port": 1, "user": "u", "password": "p", "workers": workers})
    _, c._engine, c._log = recorder_client()
    return c, calls


def listing(count, at=lambda i: None):
    """A _bucket_list_files of `count` objects that calls at(i) before the i-th."""
    def records(bucket_name):
        for i in range(count):
            at(i)
            yield {"object_name": f"p/{i}"}
    return records


@pytest.mark.timeout(20)
@pytest.mark.parametrize("kind", ["upload", "download"])
@pytest.mark.parametrize("workers", [1, 4])
def test_pool_makes_the_serial_calls_on_its_threads(ostrel, recorder_client, tmp_path, kind, workers):
    """The calls made without workers: with 1 in order on the caller's thread;
    with 4 on four threads but the caller's, four at a time (a barrier lets
    none go on alone), and no thread is left afterwards."""
    root = tree(tmp_path / "t", [f"d{i % 3}/f{i}.txt" for i in range(12)])
    barrier, made = threading.Barrier(workers, timeout=10), []
    for count, act in [(None, lambda *_: None), (workers, lambda n, args: n < workers and barrier.wait())]:
        client, calls = pooled(ostrel, recorder_client, count, act)
        client._bucket_list_files = listing(12)
        client._upload_dir(BUCKET, str(root)) if kind == "upload" else client._download_dir(BUCKET, "p", str(root))
        made.append(calls)
    (expected, calls), threads = made, {t for t, _, _ in made[1]}
    assert pool_threads() == []
    if workers == 1:
        assert calls == expected and threads == {threading.get_ident()}
    else:
        assert sorted(c[1:] for c in calls) == sorted(c[1:] for c in expected)
        assert len(threads) == workers and threading.get_ident() not in threads


@pytest.mark.timeout(20)
def test_pool_hands_out_at_most_twice_its_threads(ostrel, recorder_client, tmp_path):
    """With every transfer held, 2 x 2 are handed out before the listing
    waits; it is asked for more only as transfers finish."""
    held, finished, seen = threading.Event(), [], []
    client, _ = pooled(ostrel, recorder_client, 2, lambda n, a: held.wait(10) and finished.append(n))
    timer = threading.Timer(0.3, held.set)

    def at(i):
        seen.append((i, len(finished)))
        if i == 4:
            timer.start()

    client._bucket_list_files = listing(10, at)
    client._download_dir(BUCKET, "p", str(tmp_path))
    timer.join()
    assert len(finished) == 10 and seen[4] == (4, 0)  # four handed out, none finished
    assert all(i - done <= 4 for i, done in seen)


class Failed(Exception):
    pass


@pytest.mark.timeout(20)
@pytest.mark.parametrize("case", ["transfers-out-of-order", "transfers-in-order", "walk", "transfer-after-walk",
                                  "interrupt-waiting"])
def test_pool_failure_rule(ostrel, recorder_client, tmp_path, case):
    """No transfer starts after a failure, running ones finish, and the call
    raises the failure of the transfer handed out first (with its own
    traceback), else the walk's exception, Ctrl-C while waiting included."""
    import _thread

    events = {name: threading.Event() for name in ("failed", "started", "walk", "waiting", "interrupted")}
    errors = [Failed("handed out first"), Failed("handed out second"), OSError("listing broke")]

    def act(number, args):
        handed_out = int(args[1].rsplit("/", 1)[1])  # listing order, not arrival order
        if case.startswith("transfers-") and handed_out < 2:
            # Both are under way before either fails (a failure stops calls not
            # yet started); `last` fails once the other's failure is recorded.
            last = 0 if case == "transfers-out-of-order" else 1
            if handed_out == last:
                events["started"].set()
                assert events["failed"].wait(10)
                threading.Event().wait(0.2)
            else:
                assert events["started"].wait(10)
            events["failed"].set()
            raise errors[handed_out]
        if case == "transfer-after-walk" and number == 0:
            events["started"].set()
            assert events["walk"].wait(10)
            raise errors[0]
        if case == "interrupt-waiting":  # all held until the listing waits, then Ctrl-C
            assert events["waiting"].wait(10)
            if number == 0:
                _thread.interrupt_main()
                events["interrupted"].set()
            assert events["interrupted"].wait(10)

    def at(i):
        if case in ("walk", "transfer-after-walk") and i == 3:
            if case == "transfer-after-walk":  # a transfer is under way when the walk fails
                assert events["started"].wait(10)
            events["walk"].set()
            raise errors[2]
        if case == "interrupt-waiting" and i == 4:
            events["waiting"].set()  # four handed out: the fifth waits for a place

    client, calls = pooled(ostrel, recorder_client, 2, act)
    client._bucket_list_files = listing(12, at)
    # interrupt_main() does nothing where SIGINT is ignored (a process started in the background)
    handler = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        with pytest.raises(BaseException) as info:
            client._download_dir(BUCKET, "p", str(tmp_path))
    finally:
        signal.signal(signal.SIGINT, handler)
    assert pool_threads() == []
    if case == "interrupt-waiting":
        assert info.type is KeyboardInterrupt
    else:
        assert info.value is (errors[2] if case == "walk" else errors[0])
    if info.value is errors[0]:
        assert info.traceback[-1].name == "act" and len(info.traceback) <= 4
    assert len(calls) <= (2 if case.startswith("transfers-") else 4)


# ========================================================= against the server

@pytest.mark.parametrize("object_name, data, expected, ctype", [
    ("t/cn.txt", "中文 and ✓", "中文 and ✓".encode(), "text/plain"),
    ("t/empty.txt", "", b"", "text/plain"),
    ("b/empty.pdf", b"", b"", "application/pdf"),
    ("b/raw.jpg", bytes(range(256)), bytes(range(256)), "image/jpeg"),
    ("no-suffix", "x", b"x", "application/octet-stream"),
])
def test_upload_flow_round_trip(real, object_name, data, expected, ctype):
    client, bucket, log = real
    assert client._upload_flow(bucket, object_name, data) is None
    assert stored(client, bucket) == {object_name: expected}
    assert content_type(client, bucket, object_name) == ctype
    if isinstance(data, str):
        assert client._download_flow(bucket, object_name) == data
    assert log.calls == []


def test_upload_flow_local_file_round_trip(real, tmp_path):
    client, bucket, log = real
    body = "report ✓\n".encode() * 1000
    path = write(tmp_path / "report.pdf", body)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        client._upload_flow(bucket, "data.bin", str(path))
        gc.collect()
    assert resource_warnings(caught) == []
    assert stored(client, bucket) == {"data.bin": body}
    assert content_type(client, bucket, "data.bin") == "application/pdf"
    assert log.calls == []


@pytest.mark.parametrize("data", ["\ud800", "x\udc80y"])
def test_upload_flow_surrogate_uploads_nothing(real, data):
    client, bucket, log = real
    assert client._upload_flow(bucket, "s.txt", data) is None
    assert log.calls == [("warning", (WARNING_TEXT,), {})]
    assert stored(client, bucket) == {}


@pytest.mark.parametrize("data", [b"x", "x"])
def test_upload_flow_missing_bucket(real, data):
    client, _, log = real
    with pytest.raises(S3Error) as info:
        client._upload_flow("no-such-bucket", "x.txt", data)
    assert info.value.code == "NoSuchBucket"
    assert log.calls == []


@pytest.mark.parametrize("parallel", [1, 4])
def test_upload_and_download_large_file(real, tmp_path, parallel):
    client, bucket, log = real
    body = os.urandom(11 * 1024 * 1024 + 12345)
    source = write(tmp_path / "big.bin", body)
    assert client._upload_file(bucket, "big\\blob.pdf", str(source), parallel) is None
    stat = client._engine.stat_object(bucket, "big/blob.pdf")
    assert stat.size == len(body)
    assert stat.content_type == "application/pdf"
    assert stat.etag.endswith("-3")  # stored in three parts
    target = tmp_path / "down" / "copy.bin"
    assert client._download_file(bucket, "big/blob.pdf", str(target)) is True
    assert hashlib.sha256(target.read_bytes()).digest() == hashlib.sha256(body).digest()
    assert log.calls == []


def test_upload_file_missing_local_file(real, tmp_path):
    client, bucket, log = real
    with pytest.raises(OSError):
        client._upload_file(bucket, "a.txt", str(tmp_path / "missing.txt"))
    assert stored(client, bucket) == {} and log.calls == []


def test_upload_dir_round_trip(real, tmp_path):
    client, bucket, log = real
    photos = tree(tmp_path / "photos", ["a.txt", "x/y/z.txt", ".hidden", "empty/", "x/pic.jpg"])
    os.symlink(tree(tmp_path / "other", ["o.pdf"]), photos / "link")
    os.symlink(write(tmp_path / "lone.txt", "lone"), photos / "lonelink.txt")
    assert client._upload_dir(bucket, str(photos)) is None
    assert stored(client, bucket) == {
        "photos/a.txt": b"a.txt",
        "photos/x/y/z.txt": b"x/y/z.txt",
        "photos/.hidden": b".hidden",
        "photos/x/pic.jpg": b"x/pic.jpg",
        "photos/link/o.pdf": b"o.pdf",
        "photos/lonelink.txt": b"lone",
    }
    assert content_type(client, bucket, "photos/x/pic.jpg") == "image/jpeg"
    assert content_type(client, bucket, "photos/link/o.pdf") == "application/pdf"
    assert log.calls == []


def test_upload_dir_failure_keeps_earlier_objects(real, ostrel, tmp_path, monkeypatch):
    client, bucket, log = real
    photos = tree(tmp_path / "photos", ["a.txt", "sub/b.txt", "z.txt"])
    order = {str(photos): ["a.txt", "sub", "z.txt"],  # "gone.txt" went between the listing and its upload
             os.path.join(str(photos), "sub"): ["b.txt", "gone.txt"]}
    monkeypatch.setattr(ostrel, "os", types.SimpleNamespace(
        listdir=lambda path: list(order[path]), path=os.path, stat=os.stat))
    with pytest.raises(OSError):
        client._upload_dir(bucket, str(photos))
    assert stored(client, bucket) == {"photos/a.txt": b"a.txt", "photos/sub/b.txt": b"sub/b.txt"}
    assert log.calls == []


def test_upload_dir_missing_bucket(real, tmp_path):
    client, bucket, log = real
    photos = tree(tmp_path / "photos", ["a.txt"])
    with pytest.raises(S3Error):
        client._upload_dir("no-such-bucket", str(photos))
    assert log.calls == []


def put(client, bucket, name, data):
    client._engine.put_object(bucket, name, io.BytesIO(data), len(data))


@pytest.mark.parametrize("prefix", ["photos", "photos/"])
@pytest.mark.parametrize("slash", ["", "/"])
def test_download_dir_round_trip(real, tmp_path, prefix, slash):
    """Only the folder's own objects are written, all inside the target; on
    POSIX a backslash is an ordinary file-name character."""
    client, bucket, log = real
    for name in TABLE_OBJECTS + ["photos/..\\x", "photos/sub/x.jpg", "photos/sub/", "photos/ü +%&?.txt"]:
        put(client, bucket, name, name.encode())
    out = tmp_path / "out"
    assert client._download_dir(bucket, prefix, str(out) + slash) is None
    written = {str(p.relative_to(tmp_path)): p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()}
    assert written == {os.path.join("out", "a.jpg"): b"photos/a.jpg",
                       os.path.join("out", "..\\x"): b"photos/..\\x",
                       os.path.join("out", "ü +%&?.txt"): "photos/ü +%&?.txt".encode()}
    assert log.calls == []


@pytest.mark.timeout(30)
def test_sixteen_workers_against_the_server(ostrel, s3_config, bucket, tmp_path, caplog):
    """The HTTP pool holds a connection per thread: urllib3 drops none."""
    caplog.set_level(logging.WARNING, logger="urllib3")
    client = ostrel.TavrinOstrel({**s3_config, "workers": 16})
    client._connect()
    files = [f"d{i % 4}/f{i}.txt" for i in range(48)]
    client._upload_dir(bucket, str(tree(tmp_path / "photos", files)))
    assert stored(client, bucket) == {f"photos/{f}": f.encode() for f in files}
    client._download_dir(bucket, "photos/d1", str(tmp_path / "out"))
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == sorted(f[3:] for f in files if f[:2] == "d1")
    assert [r.getMessage() for r in caplog.records] == [] and pool_threads() == []


def test_download_dir_empty_bucket(real, tmp_path):
    client, bucket, log = real
    out = tmp_path / "out"
    assert client._download_dir(bucket, "photos", str(out)) is None
    assert not out.exists() and log.calls == []


def test_download_dir_failure_keeps_earlier_files(real, tmp_path):
    client, bucket, log = real
    for name in ["p/1.txt", "p/2.txt", "p/3.txt"]:
        put(client, bucket, name, name.encode())
    out = tmp_path / "out"
    (out / "2.txt").mkdir(parents=True)  # a directory where a file must go
    with pytest.raises(ValueError):
        client._download_dir(bucket, "p", str(out))
    assert (out / "1.txt").read_bytes() == b"p/1.txt"
    assert not (out / "3.txt").exists()
    assert log.calls == []


def net_proxy(target_port, **options):
    """The benchmarks' network proxy (bench/netproxy.py, a process of its own)."""
    path = pathlib.Path(__file__).parents[1] / "bench" / "netproxy.py"
    spec = importlib.util.spec_from_file_location("netproxy", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.net_proxy(target_port, **options)


@pytest.mark.timeout(20)
@pytest.mark.parametrize("workers", [None, 4])
def test_download_dir_through_reset_connections(ostrel, client, s3_config, tmp_path, workers):
    """Every object's first GET is reset after at most 1 MiB of the answer,
    while its body streams: the folder still arrives whole, with no part file."""
    client._engine.make_bucket("cuts")
    files = {"big.bin": os.urandom(3 << 20), "mid.bin": os.urandom((1 << 20) + 1), "small.txt": b"small"}
    for name, data in files.items():
        put(client, "cuts", f"p/{name}", data)
    with net_proxy(s3_config["port"], cut_share=1.0, cut_bytes=1 << 20, seed=18, max_cuts_per_request=1) as proxy:
        config = {**s3_config, "port": proxy.port, **({"workers": workers} if workers else {})}
        through = ostrel.TavrinOstrel(config)
        through._connect()
        assert through._download_dir("cuts", "p", str(tmp_path / "out")) is None
    digests = {name: hashlib.sha256(data).hexdigest() for name, data in files.items()}
    assert {p.name: hashlib.sha256(p.read_bytes()).hexdigest() for p in (tmp_path / "out").iterdir()} == digests
    assert proxy.stats["cuts"] == 2


def test_download_dir_missing_bucket(real, tmp_path):
    client, _, log = real
    with pytest.raises(S3Error):
        client._download_dir("no-such-bucket", "p", str(tmp_path))
    assert list(tmp_path.iterdir()) == [] and log.calls == []


def test_download_flow_invalid_utf8_from_server(real):
    client, bucket, log = real
    put(client, bucket, "bin", b"\x80\x81")
    with pytest.raises(UnicodeDecodeError):
        client._download_flow(bucket, "bin")
    assert log.calls == []


@pytest.mark.parametrize("method, args", [
    ("_download_flow", ("missing.txt",)),
    ("_download_file", ("missing.txt", "TARGET")),
])
def test_download_missing_object(real, tmp_path, method, args):
    client, bucket, log = real
    target = tmp_path / "t.txt"
    args = tuple(str(target) if a == "TARGET" else a for a in args)
    with pytest.raises(S3Error) as info:
        getattr(client, method)(bucket, *args)
    assert info.value.code == "NoSuchKey"
    assert list(tmp_path.iterdir()) == [] and log.calls == []


# ===================================================== argument conventions

@pytest.mark.parametrize("method, args, kwargs, message", [
    ("_upload_flow", ("b", "o"), {}, "_upload_flow() takes exactly 4 positional arguments (3 given)"),
    ("_upload_flow", ("b", "o", "d", "x"), {}, "_upload_flow() takes exactly 4 positional arguments (5 given)"),
    ("_upload_file", ("b", "o"), {}, "_upload_file() takes at least 4 positional arguments (3 given)"),
    ("_upload_file", ("b", "o", "f", 3, 4), {}, "_upload_file() takes at most 5 positional arguments (6 given)"),
    ("_upload_dir", (), {}, "_upload_dir() takes at least 3 positional arguments (1 given)"),
    ("_upload_dir", ("b", "d", 3, None, 5), {}, "_upload_dir() takes at most 5 positional arguments (6 given)"),
    ("_upload_dir", ("b", "d"), {"parallel_uploads": 2}, "_upload_dir() got an unexpected keyword argument 'parallel_uploads'"),
    ("_upload_dir", ("b", "d", 2), {"parallel": 2}, "_upload_dir() got multiple values for keyword argument 'parallel'"),
    ("_download_flow", ("b",), {}, "_download_flow() takes exactly 3 positional arguments (2 given)"),
    ("_download_file", ("b", "o"), {}, "_download_file() takes exactly 4 positional arguments (3 given)"),
    ("_download_dir", ("b", "p", "d", "x"), {}, "_download_dir() takes exactly 4 positional arguments (5 given)"),
    ("_download_dir", ("b", "p"), {"dir_path": "d", "target": 1}, "_download_dir() got an unexpected keyword argument 'target'"),
])
def test_argument_errors_before_any_work(recorder_client, method, args, kwargs, message):
    c, engine, log = recorder_client()
    with pytest.raises(TypeError) as info:
        getattr(c, method)(*args, **kwargs)
    assert str(info.value) == message
    assert engine.calls == [] and log.calls == []


def test_keyword_forms(recorder_client, tmp_path):
    c, engine, _ = recorder_client(get_object=Response(b"t"))
    c._upload_flow(data=b"d", object_name="o.txt", bucket_name=BUCKET)
    c._upload_file(BUCKET, file_name="/f", object_name="a\\b.txt", parallel=9)
    c._upload_dir(bucket_name=BUCKET, dir_path=str(tree(tmp_path / "d", ["x.txt"])), base_dir="k", parallel=1)
    assert c._download_flow(object_name="o", bucket_name=BUCKET) == "t"
    assert c._download_file(file_name="/t", bucket_name=BUCKET, object_name="o") is True
    assert [(n, a[:2]) for n, a, _ in engine.calls] == [
        ("put_object", (BUCKET, "o.txt")), ("fput_object", (BUCKET, "a/b.txt")),
        ("fput_object", (BUCKET, "k/x.txt")), ("get_object", (BUCKET, "o")),
        ("fget_object", (BUCKET, "o"))]
    assert engine.calls[1][2]["num_parallel_uploads"] == 9
    assert engine.calls[2][2]["num_parallel_uploads"] == 1
