"""Copies and moves inside the store, wildcard sources, include filters,
inspection and dry runs: the tavrin-minio command and the client methods
behind it."""

import os
from types import SimpleNamespace

import pytest

from minio.error import S3Error

from tavrin_minio import IntegrityError
from test_cli import cli, keys, local_files, records, write_tree  # noqa: F401  (cli: a fixture)


def put(client, bucket, files):
    for name, data in files.items():
        client._upload_flow(bucket, name, data)


def content(client, bucket, name):
    return client._download_flow(bucket, name).encode()


@pytest.fixture
def second(client):
    name = "second-bucket"
    client._engine.make_bucket(name)
    return name


class NoBytes:
    """A storage client through which no object's bytes may pass."""

    def __init__(self, engine, calls):
        self._engine, self._calls = engine, calls

    def __getattr__(self, name):
        if name in ("get_object", "fget_object", "put_object", "fput_object"):
            raise AssertionError(f"{name} called: the copy went through the client")
        attribute = getattr(self._engine, name)
        if name == "list_objects":
            def listing(*args, **kwargs):
                self._calls.append(kwargs.get("prefix"))
                return attribute(*args, **kwargs)
            return listing
        return attribute


def test_store_to_store_copies_and_moves(cli, client, bucket, second):
    put(client, bucket, {"p/a.txt": "a", "p/d/b.txt": "b", "p/d/c.csv": "c", "x.txt": "x"})
    listings = []
    client._engine = NoBytes(client._engine, listings)
    copied = client._copy_tree(bucket, "p", second, "q")
    assert sorted(r["target"] for r in copied) == [f"s3://{second}/q/{n}" for n in ("a.txt", "d/b.txt", "d/c.csv")]
    assert {r["action"] for r in copied} == {"copy"} and sorted(r["size"] for r in copied) == [1, 1, 1]
    assert listings == ["p/"]
    assert client._copy_object(bucket, "x.txt", second, "y.txt") == 1
    client._engine = client._engine._engine
    assert content(client, second, "q/d/b.txt") == b"b" and keys(client, bucket) == ["p/a.txt", "p/d/b.txt",
                                                                                       "p/d/c.csv", "x.txt"]
    # sync: only what differs, and --delete keeps a marker of a folder with files
    put(client, second, {"q/a.txt": "changed", "q/stale": "s", "q/d/": ""})
    done = records(cli("sync", f"s3://{bucket}/p", f"s3://{second}/q", "--delete", "--json"))
    assert sorted((r["action"], r["target"]) for r in done) == [
        ("copy", f"s3://{second}/q/a.txt"), ("delete", f"s3://{second}/q/stale")]
    assert keys(client, second) == ["q/a.txt", "q/d/", "q/d/b.txt", "q/d/c.csv", "y.txt"]
    # mv: the sources go once copied
    assert cli("mv", f"s3://{bucket}/x.txt", f"s3://{second}/").stdout.startswith("move: ")
    cli("mv", "-r", f"s3://{bucket}/p/d", f"s3://{second}/moved")
    assert keys(client, bucket) == ["p/a.txt"]
    assert [k for k in keys(client, second) if not k.startswith("q/")] == [
        "moved/b.txt", "moved/c.csv", "x.txt", "y.txt"]


def test_move_keeps_a_source_whose_copy_does_not_match(client, bucket, second):
    put(client, bucket, {"k": "data"})
    stat = client._engine.stat_object

    class Shrunk:
        def __getattr__(self, name):
            return getattr(client._engine_real, name)

        def stat_object(self, bucket_name, object_name):
            found = stat(bucket_name, object_name)
            return SimpleNamespace(size=found.size - 1, etag=found.etag) if bucket_name == second else found

    client._engine_real = client._engine
    client._engine = Shrunk()
    with pytest.raises(IntegrityError, match="source is kept"):
        client._copy_object(bucket, "k", second, "k", move=True)
    with pytest.raises(IntegrityError):
        client._copy_tree(bucket, "", second, "t", move=True)
    client._engine = client._engine_real
    assert keys(client, bucket) == ["k"]


def test_mv_between_local_files_and_the_store(cli, client, bucket, tmp_path):
    write_tree(tmp_path / "up", {"one.txt": b"1", "d/two.txt": b"22"})
    cli("mv", str(tmp_path / "up/one.txt"), f"s3://{bucket}/m/")
    cli("mv", "-r", str(tmp_path / "up/d"), f"s3://{bucket}/m/d")
    assert local_files(tmp_path / "up") == {} and keys(client, bucket) == ["m/d/two.txt", "m/one.txt"]
    (tmp_path / "down").mkdir()
    cli("mv", f"s3://{bucket}/m/one.txt", str(tmp_path / "down"))
    cli("mv", "-r", f"s3://{bucket}/m/d", str(tmp_path / "down/d"))
    assert local_files(tmp_path / "down") == {"one.txt": b"1", "d/two.txt": b"22"} and keys(client, bucket) == []


class OtherETags:
    """A storage client whose listings show an ETag no content of the tests has."""

    def __init__(self, engine):
        self._engine = engine

    def __getattr__(self, name):
        attribute = getattr(self._engine, name)
        if name == "stat_object":
            return lambda *args, **kwargs: Listed(attribute(*args, **kwargs))
        if name != "list_objects":
            return attribute
        return lambda *args, **kwargs: [Listed(entry) for entry in attribute(*args, **kwargs)]


class Listed:
    def __init__(self, entry):
        self._entry, self.etag = entry, "0" * 32

    def __getattr__(self, name):
        return getattr(self._entry, name)


@pytest.mark.parametrize("how", ["file up", "tree up", "tree down"])
def test_move_keeps_a_source_whose_transfer_does_not_check_out(client, bucket, tmp_path, caplog, how):
    write_tree(tmp_path / "up", {"a.txt": b"a", "d/b.txt": b"b"})
    client._upload_tree(bucket, str(tmp_path / "up"), "m")
    client._engine = OtherETags(client._engine)
    if how == "file up":  # stored, but not stated as the file's content: kept
        with pytest.raises(IntegrityError, match="the file is kept"):
            client._move_file_up(bucket, "m/a.txt", str(tmp_path / "up/a.txt"))
    elif how == "tree up":  # the listing does not show the files' content: kept, warned about, recorded
        done = client._move_tree_up(bucket, str(tmp_path / "up"), "m")
        assert sorted(r["action"] for r in done) == ["skip", "skip", "upload", "upload"]
        assert "does not match the file" in caplog.text
    else:  # the download is refused: nothing goes
        with pytest.raises(S3Error, match="PreconditionFailed"):
            client._move_tree_down(bucket, "m", str(tmp_path / "down"))
    client._engine = client._engine._engine
    assert keys(client, bucket) == ["m/a.txt", "m/d/b.txt"] and len(local_files(tmp_path / "up")) == 2


def test_mv_of_a_wildcard_and_a_failed_mv(cli, client, bucket, tmp_path):
    put(client, bucket, {"p/a.csv": "a", "p/b.txt": "b", "p/sub/c.csv": "c"})
    cli("mv", f"s3://{bucket}/p/*.csv", str(tmp_path / "dir"))
    assert local_files(tmp_path / "dir") == {"a.csv": b"a"} and keys(client, bucket) == ["p/b.txt", "p/sub/c.csv"]
    done = cli("mv", "-r", str(tmp_path / "dir"), "s3://no-such-bucket/x", expect=1)
    assert "NoSuchBucket" in done.stderr and local_files(tmp_path / "dir") == {"a.csv": b"a"}


WILD = {"p/a.csv": "a", "p/b.txt": "b", "p/sub/c.csv": "c", "p/sub/deep/d.csv": "d", "logs/2026-01.txt": "1",
        "logs/2026-02/x.txt": "2", "logs/2025-12.txt": "0"}


@pytest.mark.parametrize("pattern, selected", [
    ("p/*.csv", ["p/a.csv"]),                                 # "*" stays within a name
    ("p/**/*.csv", ["p/a.csv", "p/sub/c.csv", "p/sub/deep/d.csv"]),
    ("p/?.[bt]xt", ["p/b.txt"]),
    ("p/*/*.csv", ["p/sub/c.csv"]),
    ("logs/2026-*", ["logs/2026-01.txt"]),                   # not what lies below logs/2026-02/
    ("p/*.none", []),
])
def test_wildcards_select_from_one_listing(client, bucket, tmp_path, pattern, selected):
    put(client, bucket, WILD)
    listings = []
    client._engine = NoBytes(client._engine, listings)
    dry = client._remove_tree(bucket, pattern, wildcard=True, dry_run=True)
    assert sorted(r["target"] for r in dry) == [f"s3://{bucket}/{k}" for k in selected]
    assert listings == [pattern[:min(pattern.index(c) for c in "*?[" if c in pattern)]]
    assert sorted(e["key"] for e in client._list_folder(bucket, pattern, wildcard=True)) == selected
    client._engine = client._engine._engine
    client._download_tree(bucket, pattern, str(tmp_path / "out"), wildcard=True)
    folder = pattern[:pattern.rindex("/", 0, min(pattern.index(c) for c in "*?[" if c in pattern)) + 1]
    assert sorted(local_files(tmp_path / "out")) == [k[len(folder):] for k in selected]


def test_wildcard_commands(cli, client, bucket, tmp_path):
    put(client, bucket, WILD)
    cli("cp", f"s3://{bucket}/p/**/*.csv", str(tmp_path / "dir"))
    assert local_files(tmp_path / "dir") == {"a.csv": b"a", "sub/c.csv": b"c", "sub/deep/d.csv": b"d"}
    assert [line.split()[-1] for line in cli("ls", f"s3://{bucket}/p/*.txt").stdout.splitlines()] == ["p/b.txt"]
    assert "no object matches" in cli("ls", f"s3://{bucket}/p/*.none", expect=1).stderr
    cli("rm", f"s3://{bucket}/logs/2026-*")
    cli("cp", f"s3://{bucket}/p/*", f"s3://{bucket}/copied/")
    assert keys(client, bucket) == ["copied/a.csv", "copied/b.txt", "logs/2025-12.txt", "logs/2026-02/x.txt",
                                    "p/a.csv", "p/b.txt", "p/sub/c.csv", "p/sub/deep/d.csv"]


class Walked:
    """The os module, noting each folder listed."""

    def __init__(self, walked):
        self._walked = walked

    def __getattr__(self, name):
        return getattr(os, name)

    def listdir(self, path):
        self._walked.append(str(path))
        return os.listdir(path)


@pytest.mark.parametrize("rules, sent", [
    ([("exclude", "*"), ("include", "*.txt")], ["a.txt", "sub/c.txt", "tmp/d.txt"]),   # whole paths decide
    ([("include", "*.txt"), ("exclude", "*")], []),                                     # the later one wins
    ([("exclude", "tmp/"), ("include", "tmp/d.txt")], ["a.txt", "b.csv", "sub/c.txt", "tmp/d.txt"]),
    ([("exclude", "tmp/")], ["a.txt", "b.csv", "sub/c.txt"]),
])
def test_include_and_exclude_in_order(client, bucket, tmp_path, monkeypatch, ostrel, rules, sent):
    write_tree(tmp_path / "t", {"a.txt": b"a", "b.csv": b"b", "sub/c.txt": b"c", "tmp/d.txt": b"d"})
    walked = []
    monkeypatch.setattr(ostrel, "os", Walked(walked))
    client._upload_tree(bucket, str(tmp_path / "t"), "up", filters=rules)
    monkeypatch.undo()
    assert keys(client, bucket) == [f"up/{name}" for name in sent]
    # without an include, an excluded folder is never walked
    assert (str(tmp_path / "t" / "tmp") in walked) == any(kind == "include" for kind, _ in rules)
    back = client._download_tree(bucket, "up", str(tmp_path / "back"), filters=rules)
    assert sorted(r["target"].replace(str(tmp_path / "back") + "/", "") for r in back) == sent


def test_include_from_the_command_line(cli, client, bucket, tmp_path):
    write_tree(tmp_path / "t", {"a.txt": b"a", "b.csv": b"b", "sub/c.txt": b"c"})
    cli("cp", "-r", str(tmp_path / "t"), f"s3://{bucket}/t", "--exclude", "*", "--include", "*.txt")
    assert keys(client, bucket) == ["t/a.txt", "t/sub/c.txt"]


@pytest.mark.parametrize("filters, error", [
    ([("exclude", "")], ValueError), ([("keep", "*")], ValueError), (["*"], ValueError), ("*", TypeError),
    ([("include", 1)], TypeError),
])
def test_bad_filters(client, bucket, tmp_path, filters, error):
    with pytest.raises(error, match="filters"):
        client._upload_tree(bucket, str(tmp_path), filters=filters)


def test_inspection(cli, client, bucket):
    client._engine.put_object(bucket, "p/k.txt", __import__("io").BytesIO(b"x" * 2048), 2048,
                              content_type="text/plain", metadata={"owner": "me"})
    put(client, bucket, {"p/sub/l": "12345"})
    stat = records(cli("stat", f"s3://{bucket}/p/k.txt", "--json"))[0]
    assert stat["size"] == 2048 and stat["content_type"] == "text/plain" and stat["etag"]
    assert stat["metadata"].get("x-amz-meta-owner") == "me" and stat["last_modified"].endswith("Z")
    assert "Metadata:      x-amz-meta-owner: me" in cli("stat", f"s3://{bucket}/p/k.txt").stdout
    assert cli("du", f"s3://{bucket}/p").stdout.strip() == f"2053 bytes in 2 objects: s3://{bucket}/p"
    assert cli("du", "-H", f"s3://{bucket}/p").stdout.startswith("2.0 KiB in 2 objects")
    listed = cli("ls", "-r", "-H", "--summarize", f"s3://{bucket}/p").stdout.splitlines()
    assert "2.0 KiB" in listed[0] and listed[-2:] == ["Total Objects: 2", "   Total Size: 2.0 KiB"]
    assert "NoSuchKey" in cli("stat", f"s3://{bucket}/none", expect=1).stderr


def test_rb_force_and_dry_runs(cli, client, bucket, tmp_path):
    put(client, bucket, {"a": "1", "d/b": "2"})
    (tmp_path / "f.txt").write_bytes(b"f")
    before = keys(client, bucket)
    for args in (["rb", "--force", f"s3://{bucket}"], ["rm", "-r", f"s3://{bucket}/d"], ["rm", f"s3://{bucket}/a"],
                 ["rm", f"s3://{bucket}/*"], ["mb", "s3://new-bucket"], ["cp", str(tmp_path / "f.txt"), f"s3://{bucket}/"],
                 ["mv", f"s3://{bucket}/a", str(tmp_path)], ["cp", "-r", f"s3://{bucket}/d", f"s3://{bucket}/e"],
                 ["mv", "-r", str(tmp_path), f"s3://{bucket}/up"], ["sync", f"s3://{bucket}/d", f"s3://{bucket}/e"]):
        done = cli(*args, "--dry-run")
        assert done.stdout and all(line.startswith("(dry run) ") for line in done.stdout.splitlines()), args
    assert keys(client, bucket) == before and sorted(b.name for b in client._bucket_list()) == [bucket]
    assert (tmp_path / "f.txt").exists()
    assert "BucketNotEmpty" in cli("rb", f"s3://{bucket}", expect=1).stderr
    cli("rb", "--force", f"s3://{bucket}")
    assert bucket not in [b.name for b in client._bucket_list()]
