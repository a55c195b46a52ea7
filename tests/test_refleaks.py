"""Reference leaks in the native code: each operation, on its success and on
its error paths, is run many times against recording stand-ins; a leak of one
object per call shows as a steady growth of the interpreter's allocated blocks
or of the arguments' reference counts."""

import gc
import io
import sys
import tracemalloc
import warnings

import pytest
from minio.error import S3Error

ROUNDS = 1000


def allocated_after(func, rounds):
    for _ in range(rounds):
        try:
            func()
        except Exception:
            pass
    gc.collect()
    return sys.getallocatedblocks()


def traced_growth(func, rounds):
    """Blocks that `rounds` calls of `func` allocated and still hold, by the
    tracebacks tracemalloc keeps: only those whose innermost Python frame is
    in this file (the native code's own, called from here) count, so other
    threads' allocations and the standard library's caches are no noise
    here. For calls too slow for many rounds."""
    tracemalloc.start(32)
    try:
        allocated_after(func, 5)
        before = tracemalloc.take_snapshot()
        allocated_after(func, rounds)
        after = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    mine = [tracemalloc.Filter(True, __file__)]  # made here or by the native code called from here
    return sum(stat.count_diff for stat in after.filter_traces(mine).compare_to(before.filter_traces(mine), "filename"))


def assert_no_leak(func, *watched):
    """A leak grows every measurement by at least one block per call; threads
    other tests left running (the session's servers) and the allocator's own
    caches add growth that does not repeat, so up to three measurements are
    made and one below the limit is enough."""
    allocated_after(func, 50)  # warm caches, interned strings, free lists
    counts = [sys.getrefcount(obj) for obj in watched]
    growth = []
    for _ in range(3):
        before = allocated_after(func, 0)
        growth.append(allocated_after(func, ROUNDS) - before)
        if growth[-1] < ROUNDS // 3:
            break
    assert growth[-1] < ROUNDS // 3, f"{growth} blocks after {ROUNDS} calls each"
    assert [sys.getrefcount(obj) for obj in watched] == counts


@pytest.mark.skipif(sys.getallocatedblocks() == 0, reason="blocks are not counted without pymalloc (PYTHONMALLOC=malloc)")
def test_a_leak_of_one_object_per_call_is_caught():
    kept = []
    with pytest.raises(AssertionError, match="blocks after"):
        assert_no_leak(lambda: kept.append(object()))
    assert traced_growth(lambda: kept.append(object()), 30) >= 30


class Entry:
    def __init__(self, name):
        import datetime

        self.bucket_name, self.object_name, self.etag, self.size, self.content_type = "b", name, "e", 1, None
        self.last_modified = datetime.datetime(2024, 1, 2, 3, 4, 5)
        self.is_dir = name.endswith("/")



class Response:
    def __init__(self, data, headers=None):
        self.data, self.headers = data, headers

    def close(self):
        pass


class Stat:
    size, etag = 16 * 1024 * 1024, "e"
    content_type, last_modified, metadata = "text/plain", None, {"x-amz-meta-a": "b"}


class Smaller(Stat):
    size = 1


def raising(make):
    """A stand-in result that raises a fresh exception on each call (re-raising
    one instance would grow its traceback)."""

    def result(*args, **kwargs):
        raise make()

    return result


class PartThenBroken:
    """A stream that gives one whole part of a stream upload, then fails."""

    PART = bytes(16 * 1024 * 1024)

    def __init__(self):
        self.given = False

    def read(self, size):
        if self.given:
            raise OSError("the stream broke")
        self.given = True
        return self.PART


def s3_error():
    return raising(lambda: S3Error("NoSuchKey", "m", "r", "q", "h", None))


def workers(client):
    """The client, set to transfer directories on two threads."""
    client._config.set("workers", 2)
    return client


def reporting(client, threads=2):
    """The client with a progress callable and skip_unchanged, on `threads` threads."""
    client._config.set("progress", lambda record: None)
    client._config.set("skip_unchanged", True)
    client._config.set("workers", threads)
    return client


def reported(*args, progress, **kwargs):
    """A file transfer of the client library that reports 1 byte."""
    progress.set_meta(object_name=args[1], total_length=1)
    progress.update(1)


def listed(content):
    """A folder listing of the one file of `cases`, "x.txt", as an object
    holding `content` (the file's is b"x"); a fresh ETag each time."""
    import hashlib
    import types

    return lambda **kw: [types.SimpleNamespace(object_name=kw["prefix"] + "x.txt", size=1,
                                               etag=hashlib.md5(content).hexdigest())]


NAME = "photos/a.txt"
PAYLOAD = b"\xff\xfe" * 4


class Rest:
    """The rest of an object from a byte on, as the client library answers a range."""
    status, headers = 206, {"Content-Range": "bytes 1048576-1048579/1048580"}

    def __init__(self, *args, **kwargs):
        self.chunks = [b"rest"]

    def read(self, amount):
        return self.chunks.pop() if self.chunks else b""

    def close(self):
        pass

    def release_conn(self):
        pass


class Whole(Rest):
    """A whole object, as the client library answers a request without a range."""
    status, headers = 200, {}


def broken_after_a_mib(bucket, name, path):
    """The client library's file download whose stream broke after 1 MiB."""
    from urllib3.exceptions import ProtocolError

    with open(f"{path}.e.part.minio", "wb") as part:
        part.truncate(1 << 20)
    raise ProtocolError("Connection broken")


def fetched(etag, **answers):
    """The client library's file download writing b"x" and returning a stat
    of `etag` (no encryption headers)."""
    import types

    def fget_object(bucket, name, path):
        with open(path, "wb") as file:
            file.write(b"x")
        return types.SimpleNamespace(etag=etag, size=1, metadata={})

    return {"fget_object": fget_object, **answers}


X_MD5 = "9dd4e461268c8034f5c8564e155c67a6"  # md5(b"x")


def cases(tmp_path):
    local = tmp_path / "file.txt"
    local.write_bytes(b"data")
    big = tmp_path / "big.bin"
    with open(big, "wb") as file:
        file.truncate(16 * 1024 * 1024)
    tree = tmp_path / "tree"
    (tree / "sub").mkdir(parents=True)
    (tree / "sub" / "x.txt").write_text("x")
    return {
        "create_bucket": ({"bucket_exists": False}, lambda c: c._create_bucket(NAME)),
        "create_bucket_exists": ({"bucket_exists": True}, lambda c: c._create_bucket(NAME, "eu", True)),
        "remove_bucket": ({"bucket_exists": False}, lambda c: c._remove_bucket(NAME)),
        "bucket_policy_error": ({"get_bucket_policy": s3_error()}, lambda c: c._bucket_policy(NAME)),
        "bucket_policy_other": ({"get_bucket_policy": raising(lambda: KeyError("x"))}, lambda c: c._bucket_policy(NAME)),
        "list_files": ({"list_objects": lambda **kw: [Entry(NAME), Entry("b")]},
                       lambda c: c._bucket_list_files(NAME, prefix="p")),
        "list_files_error": ({"list_objects": lambda **kw: [Entry(NAME), None]}, lambda c: c._bucket_list_files(NAME)),
        "upload_text": ({}, lambda c: c._upload_flow("b", NAME, "text 你好")),
        "upload_bytes": ({}, lambda c: c._upload_flow("b", NAME, PAYLOAD)),
        "upload_file": ({}, lambda c: c._upload_flow("b", NAME, str(local))),
        "upload_file_error": ({"put_object": s3_error()}, lambda c: c._upload_flow("b", NAME, str(local))),
        "upload_surrogate": ({}, lambda c: c._upload_flow("b", NAME, "\ud800")),
        "upload_none": ({}, lambda c: c._upload_flow("b", NAME, None)),
        "upload_dir": ({}, lambda c: c._upload_dir("b", str(tree), 2)),
        "download_flow": ({"get_object": lambda b, o: Response(b"ok")}, lambda c: c._download_flow("b", NAME)),
        "download_flow_bad": ({"get_object": lambda b, o: Response(PAYLOAD)}, lambda c: c._download_flow("b", NAME)),
        "download_dir": ({"list_objects": lambda **kw: [Entry(NAME), Entry("photos/z/y")]},
                         lambda c: c._download_dir("b", "photos", str(tmp_path))),
        "download_dir_empty": ({}, lambda c: c._download_dir("b", "", "d")),
        "upload_dir_workers": ({}, lambda c: workers(c)._upload_dir("b", str(tree), 2)),
        "upload_dir_workers_error": ({"fput_object": s3_error()}, lambda c: workers(c)._upload_dir("b", str(tree))),
        "download_dir_workers": ({"list_objects": lambda **kw: [Entry(NAME), Entry("photos/z/y")]},
                                 lambda c: workers(c)._download_dir("b", "photos", str(tmp_path))),
        "download_file_ranges_error": ({"stat_object": lambda b, o: Stat(), "get_object": s3_error()},
                                       lambda c: workers(c)._download_file("b", NAME, str(tmp_path / "big"))),
        "upload_file_parts": ({"_create_multipart_upload": "id", "_upload_part": "etag"},
                              lambda c: workers(c)._upload_file("b", NAME, str(big))),
        "upload_file_parts_error": ({"_upload_part": s3_error(), "_abort_multipart_upload": s3_error()},
                                    lambda c: workers(c)._upload_file("b", NAME, str(big))),
        "download_file_resumed": ({"fget_object": broken_after_a_mib, "get_object": Rest},
                                  lambda c: c._download_file("b", NAME, str(tmp_path / "resumed"))),
        "upload_dir_unchanged": ({"list_objects": listed(b"x")},
                                 lambda c: reporting(c)._upload_dir("b", str(tree))),
        "upload_dir_changed": ({"list_objects": listed(b"y"), "fput_object": reported},
                               lambda c: reporting(c)._upload_dir("b", str(tree))),
        "download_dir_reported": ({"list_objects": listed(b"y"), "fget_object": reported},
                                  lambda c: reporting(c)._download_dir("b", "photos", str(tmp_path))),
        "download_file_reported": ({"fget_object": reported},
                                   lambda c: reporting(c, None)._download_file("b", NAME, str(local))),
        "download_file_verified": (fetched(X_MD5), lambda c: c._download_file("b", NAME, str(local))),
        # a multipart ETag of no known part size; the server names no parts count: not checked
        "download_file_parts_asked": (fetched(f"{X_MD5}-2", stat_object=Stat()),
                                      lambda c: c._download_file("b", NAME, str(local))),
        "download_flow_verified": ({"get_object": lambda b, o: Response(b"x", {"etag": f'"{X_MD5}"'})},
                                   lambda c: c._download_flow("b", NAME)),
        "remove_objects": ({"remove_objects": lambda b, it: iter([list(it)[0]])},
                           lambda c: c._remove_objects("b", [NAME, "x"])),
        "get_url": ({}, lambda c: c._get_url(NAME, NAME, 0.5)),
        "upload_tree": ({"list_objects": listed(b"y"), "remove_objects": lambda b, it: iter([list(it)[0]])},
                        lambda c: reporting(c)._upload_tree("b", str(tree), "p", exclude=["*.tmp", "/a/**/b"],
                                                            skip_unchanged=True, delete=True, report=lambda r: None)),
        "upload_tree_bad_exclude": ({}, lambda c: c._upload_tree("b", str(tree), exclude=["ok", 1])),
        "download_tree": ({"list_objects": lambda **kw: [Entry("p/a.txt"), Entry("p/z/../y"), Entry("p/a.txt/b"),
                                                         Entry("p/d/")], "get_object": Whole},
                          lambda c: reporting(c)._download_tree("b", "p", str(tmp_path / "down"), skip_unchanged=True,
                                                                delete=True, exclude=["[!x]*.tmp"])),
        "download_tree_dry": ({"list_objects": lambda **kw: [Entry("p/a.txt")]},
                              lambda c: c._download_tree("b", "p", str(tree), delete=True, dry_run=True)),
        "remove_tree": ({"list_objects": lambda **kw: [Entry(NAME)], "remove_objects": lambda b, it: iter([])},
                        lambda c: c._remove_tree("b", "photos")),
        "list_folder": ({"list_objects": lambda **kw: [Entry(NAME), Entry("photos/")]},
                        lambda c: c._list_folder("b", "photos", recursive=True)),
        "download_stream": ({"get_object": Whole}, lambda c: c._download_stream("b", NAME, io.BytesIO())),
        "copy_tree": ({"list_objects": lambda **kw: [Entry("p/a.txt"), Entry("p/d/")], "stat_object": lambda b, o: Stat(),
                       "remove_objects": lambda b, it: iter([list(it)[0]])},
                      lambda c: workers(c)._copy_tree("b", "p", "c", "q", filters=[("exclude", "*.tmp"), ("include", "a*")],
                                                      skip_unchanged=True, delete=True, move=True, report=lambda r: None)),
        "copy_tree_wildcard_dry": ({"list_objects": lambda **kw: [Entry("p/a.txt"), Entry("p/b/c.txt")]},
                                   lambda c: c._copy_tree("b", "p/[ab]*.txt", "c", wildcard=True, dry_run=True)),
        "copy_object_move": ({"stat_object": lambda b, o: Stat()}, lambda c: c._copy_object("b", NAME, "c", NAME, move=True)),
        "copy_object_mismatch": ({"stat_object": lambda b, o: Stat() if b == "b" else Smaller()},
                                 lambda c: c._copy_object("b", NAME, "c", NAME, move=True)),
        "move_tree_up_kept": ({"list_objects": listed(b"y")}, lambda c: c._move_tree_up("b", str(tree / "sub"), "p")),
        "move_file_up_kept": ({"stat_object": lambda b, o: Stat()},
                              lambda c: c._move_file_up("b", NAME, str(tree / "sub" / "x.txt"))),
        "move_tree_down": ({"list_objects": lambda **kw: [Entry("p/a.txt")], "get_object": Whole,
                            "remove_objects": lambda b, it: iter([list(it)[0]])},
                           lambda c: c._move_tree_down("b", "p", str(tmp_path / "moved"), report=lambda r: None)),
        "folder_usage": ({"list_objects": lambda **kw: [Entry("p/a"), Entry("p/b/c")]},
                         lambda c: c._folder_usage("b", "p/*", wildcard=True)),
        "stat_object": ({"stat_object": lambda b, o: Stat()}, lambda c: c._stat_object("b", NAME)),
        "upload_stream": ({}, lambda c: c._upload_stream("b", NAME, io.BytesIO(PAYLOAD))),
        "upload_stream_parts_error": ({}, lambda c: c._upload_stream("b", NAME, PartThenBroken())),
        "folder_tree": ({"list_objects": lambda **kw: [Entry("p/a/b.txt"), Entry("p/a/c"), Entry("p/d/"), Entry("p//x"),
                                                       Entry("p/")]},
                        lambda c: c._folder_tree("b", "p", "b/p")),
        "folder_tree_bad_root": ({"list_objects": lambda **kw: [Entry("p/a")]}, lambda c: c._folder_tree("b", "p", 1)),
        "transfer_many": ({"get_object": Whole, "stat_object": lambda b, o: Stat(), "copy_object": None},
                          lambda c: [workers(c)._transfer_many(action, pairs) for action, pairs in (
                              ("read", [(f"b/{NAME}", None), (f"b/{NAME}", (1, 3)), (f"b/{NAME}", (2, 1))]),
                              ("size", [(f"b/{NAME}", None)]), ("copy", [(f"b/{NAME}", "b/x")]),
                              ("fetch", [(f"b/{NAME}", str(tmp_path / "fetched" / "f"))]),
                              ("upload", [(str(local), f"b/{NAME}")]))]),
        "transfer_many_errors": ({"stat_object": s3_error(), "fget_object": s3_error()},
                                 lambda c: (c._transfer_many("size", [(f"b/{NAME}", None)] * 3, return_exceptions=True,
                                                             report=lambda i: None),
                                            workers(c)._transfer_many("download", [(f"b/{NAME}", str(local))] * 3),
                                            c._transfer_many("fetch", [(f"b/{NAME}", str(tmp_path / "f"))] * 2,
                                                             return_exceptions=True),
                                            c._transfer_many("fetch", [(f"b/{NAME}", str(tmp_path))],
                                                             return_exceptions=True))),
        "transfer_many_bad": ({}, lambda c: c._transfer_many("read", [(f"b/{NAME}", None), ("nobucket", None)])),
        "argument_error": ({}, lambda c: c._create_bucket(NAME, bucket_name=NAME)),
        "argument_error_count": ({}, lambda c: c._get_url(NAME, NAME, 1, 2)),
    }


@pytest.mark.parametrize("case", [
    "create_bucket", "create_bucket_exists", "remove_bucket", "bucket_policy_error", "bucket_policy_other",
    "list_files", "list_files_error", "upload_text", "upload_bytes", "upload_file", "upload_file_error",
    "upload_surrogate", "upload_none", "upload_dir", "download_flow", "download_flow_bad", "download_dir",
    "download_dir_empty", "upload_dir_workers", "upload_dir_workers_error", "download_dir_workers", "download_file_ranges_error",
    "upload_file_parts", "upload_file_parts_error", "download_file_resumed",
    "upload_dir_unchanged", "upload_dir_changed", "download_dir_reported", "download_file_reported",
    "download_file_verified", "download_file_parts_asked", "download_flow_verified", "remove_objects", "get_url", "argument_error", "argument_error_count",
    "upload_tree", "upload_tree_bad_exclude", "download_tree", "download_tree_dry", "remove_tree", "list_folder",
    "download_stream", "copy_tree", "copy_tree_wildcard_dry", "copy_object_move", "copy_object_mismatch",
    "folder_usage", "stat_object", "move_tree_up_kept", "move_tree_down", "move_file_up_kept",
    "upload_stream", "upload_stream_parts_error",
    "download_stream", "folder_tree", "folder_tree_bad_root", "transfer_many", "transfer_many_errors", "transfer_many_bad",
])
def test_operation_does_not_leak(recorder_client, tmp_path, case):
    results, call = cases(tmp_path)[case]
    client, _, _ = recorder_client(**results)
    client._engine = _Silent(client._engine)
    client._log = _Silent(client._log)
    if case == "download_file_resumed":  # it writes 1 MiB per call: few calls, traced
        counts = [sys.getrefcount(obj) for obj in (NAME, PAYLOAD)]
        assert traced_growth(lambda: call(client), 30) < 10
        assert [sys.getrefcount(obj) for obj in (NAME, PAYLOAD)] == counts
        return
    assert_no_leak(lambda: call(client), NAME, PAYLOAD)


class _Silent:
    """Forwards to a Recorder but keeps no call history (which would grow)."""

    def __init__(self, recorder):
        self._recorder = recorder

    def __getattr__(self, name):
        method = getattr(self._recorder, name)

        def call(*args, **kwargs):
            try:
                return method(*args, **kwargs)
            finally:
                self._recorder.calls.clear()

        return call


def test_construction_and_configuration_do_not_leak(ostrel):
    good = {"host": "h", "port": 1, "user": "u", "password": "p"}
    assert_no_leak(lambda: ostrel.TavrinOstrel(dict(good)))
    assert_no_leak(lambda: ostrel.TavrinOstrel({"port": 1, "secure": "x"}))
    assert_no_leak(lambda: ostrel.TavrinOstrel(None))
    assert_no_leak(lambda: ostrel.TavrinOstrel({**good, "timeout": float("nan")}))
    assert_no_leak(lambda: ostrel.TavrinOstrel({**good, "progress": 1}))
    assert_no_leak(ostrel.TavrinOstrel({**good, "timeout": 0.5})._connect)
    assert_no_leak(lambda: ostrel.TavrinOstrel({**good, "tls": b"ca.pem"}))
    tunnelled = ostrel.TavrinOstrel({**good, "tls": True})  # as a tunnel's configuration reads
    tunnelled._config.set("ssh", True)
    tunnelled._config.set("target_host", "storage.example")
    assert_no_leak(tunnelled._connect)
    with warnings.catch_warnings():  # pytest's own recording of warnings would grow
        warnings.simplefilter("ignore")
        assert_no_leak(ostrel.TavrinOstrel({**good, "secure": True})._connect)
