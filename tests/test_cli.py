"""The tavrin-minio command, run in a subprocess against the S3 server with a
configuration file in a temporary folder, and the tree transfers behind it."""

import json
import os
import signal
import socket
import subprocess
import sys
import threading
import urllib.request

import pytest

from tavrin_minio.profiles import ProfileError, load_profile

EXCLUDED_TREE = {
    "a.txt": b"a", "a.tmp": b"t", "cache": b"c",
    "sub/b.txt": b"b", "sub/b.tmp": b"t", "sub/cache/x.txt": b"x", "sub/deep/c.txt": b"c",
    "docs/r.md": b"r", "docs/inner/s.md": b"s",
}


def toml(profile):
    """A TOML table of the profile's keys (None values left out)."""
    lines = ["[default]"]
    for key, value in profile.items():
        if value is not None:
            lines.append(f"{key} = {json.dumps(value)}")
    return "\n".join(lines) + "\n"


def write_tree(root, files):
    for name, data in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)


def local_files(root):
    """{relative path: bytes} of the files under root (links as "->target")."""
    found = {}
    for folder, dirs, files in os.walk(root):
        for name in files + [d for d in dirs if os.path.islink(os.path.join(folder, d))]:
            path = os.path.join(folder, name)
            rel = os.path.relpath(path, root).replace(os.sep, "/")
            found[rel] = f"->{os.readlink(path)}".encode() if os.path.islink(path) else open(path, "rb").read()
    return found


@pytest.fixture
def cli(s3_config, tmp_path):
    """run(*args, profile=None, expect=0) -> CompletedProcess: the command with
    a configuration file holding the S3 server's profile (or `profile`)."""
    def run(*args, profile=None, expect=0, timeout=60, text=True, input=None):
        config = tmp_path / "config.toml"
        config.write_text(toml(profile or s3_config), encoding="utf-8")
        config.chmod(0o600)
        done = subprocess.run([sys.executable, "-m", "tavrin_minio", "--config", str(config), *args],
                              capture_output=True, text=text, timeout=timeout, cwd=tmp_path, input=input)
        if expect is not None:
            assert done.returncode == expect, (done.stdout, done.stderr)
        return done
    return run


def records(done):
    return [json.loads(line) for line in done.stdout.splitlines()]


def keys(client, bucket):
    return sorted(o.object_name for o in client._engine.list_objects(bucket, recursive=True))


# Each command once, in three groups that run side by side (each a run of whole processes).

def test_each_bucket_command(cli, bucket):
    assert cli("mb", "s3://made-here", "--location", "us-east-1").stdout == ""
    assert set(cli("ls").stdout.split()) == {bucket, "made-here"}
    cli("rb", "s3://made-here")
    assert cli("ls").stdout.split() == [bucket]


def test_each_command_on_one_object(cli, client, bucket, tmp_path):
    write_tree(tmp_path / "tree", {"one.txt": b"1"})
    assert cli("cp", str(tmp_path / "tree/one.txt"), f"s3://{bucket}/up/").stdout.startswith("upload: ")
    assert keys(client, bucket) == ["up/one.txt"]
    (tmp_path / "out").mkdir()
    cli("cp", f"s3://{bucket}/up/one.txt", str(tmp_path / "out"))
    assert (tmp_path / "out/one.txt").read_bytes() == b"1"
    assert cli("cat", f"s3://{bucket}/up/one.txt").stdout == "1"
    url = cli("url", f"s3://{bucket}/up/one.txt", "--days", "1").stdout.strip()
    with urllib.request.urlopen(url) as response:
        assert response.read() == b"1"
    cli("rm", f"s3://{bucket}/up/one.txt")
    assert keys(client, bucket) == []


def test_each_command_on_a_folder(cli, client, bucket, tmp_path):
    write_tree(tmp_path / "tree", {"one.txt": b"1", "d/two.bin": b"22", "d/e/three": b"333"})
    # Global options after the command, a progress bar forced on a pipe.
    done = cli("cp", "-r", str(tmp_path / "tree"), f"s3://{bucket}/t", "--workers", "3", "--progress")
    assert f"upload {tmp_path / 'tree'}" in done.stderr and "files" in done.stderr and "upload_dir" not in done.stderr
    assert [line.split(": ")[0] for line in done.stdout.splitlines()] == ["upload"] * 3  # whole lines
    assert keys(client, bucket) == ["t/d/e/three", "t/d/two.bin", "t/one.txt"]
    level = cli("ls", f"s3://{bucket}/t/").stdout
    assert level == cli("ls", f"s3://{bucket}/t").stdout
    assert sorted(line.split()[-1] for line in level.splitlines()) == ["t/d/", "t/one.txt"]
    assert [line.split()[-1] for line in cli("ls", "-r", f"s3://{bucket}/t").stdout.splitlines()] == \
        ["t/d/e/three", "t/d/two.bin", "t/one.txt"]
    cli("cp", "-r", f"s3://{bucket}/t", str(tmp_path / "back"))
    assert local_files(tmp_path / "back") == local_files(tmp_path / "tree")
    cli("rm", "-r", f"s3://{bucket}/t/d")
    assert keys(client, bucket) == ["t/one.txt"]
    cli("rm", "-r", f"s3://{bucket}", "--force")
    assert keys(client, bucket) == []


@pytest.fixture
def silent_server():
    """A listening socket on 127.0.0.1 that never answers."""
    with socket.socket() as server:
        server.bind(("127.0.0.1", 0))
        server.listen(16)
        server.settimeout(30)
        yield server


@pytest.mark.parametrize("args, profile_change, status, message", [
    (["ls", "--no-such-option"], {}, 2, "unrecognized arguments"),
    (["ls", "s3:///key"], {}, 2, "malformed path"),
    (["cp", "a", "b"], {}, 2, "one of SOURCE and TARGET"),
    (["--profile", "other", "ls"], {}, 2, "profile 'other' not found"),
    (["ls"], {"host": None}, 2, "缺少必填参数：['host']"),
    (["ls"], {"workers": 0}, 2, "workers"),
    (["rm", "-r", "s3://{bucket}"], {}, 2, "--force"),
    (["mb", "s3://{bucket}"], {}, 1, "桶已存在"),
    (["rb", "s3://no-such-bucket"], {}, 1, "桶不存在"),
    (["cat", "s3://no-such-bucket/key"], {}, 1, "NoSuchBucket"),
    (["cp", "missing-file", "s3://{bucket}/k"], {}, 1, "FileNotFoundError"),
    (["cp", "-", "s3://{bucket}/d/"], {}, 2, "cp - needs the object's key"),
    (["ls"], {"password": 12345}, 2, "password must be a string (the secret key), not an integer"),
    (["ls"], {"host": "127.0.0.1:5177"}, 2, "host must be a host name or IP address, without a port"),
    (["ls"], {"workrs": 8}, 2, "unknown key 'workrs'; did you mean 'workers'?"),
    (["ls"], {"digest_cache": 3}, 2, "digest_cache must be true, false or the path of a cache file, not 3"),
    (["ls"], {"ssh": True}, 2, "ssh = true needs ssh_host"),
    (["url", "s3://{bucket}/k", "--days", "8"], {}, 2, "at most 7, not '8'"),
    (["url", "s3://{bucket}/k", "--days", "nan"], {}, 2, "at most 7, not 'nan'"),
    (["url", "s3://{bucket}/k"], {"ssh": True, "ssh_host": "127.0.0.1", "ssh_user": "u", "ssh_password": "pw"},
     2, "url: this profile reaches the storage through an SSH tunnel"),
])
def test_exit_status(cli, s3_config, bucket, args, profile_change, status, message):
    profile = {**s3_config, "password": "pw-never-shown", **profile_change}
    done = cli(*[a.format(bucket=bucket) for a in args], profile=profile, expect=status)
    lines = done.stderr.strip().splitlines()
    assert message in lines[-1] and "Traceback" not in done.stderr
    assert "pw-never-shown" not in done.stderr + done.stdout and "12345" not in done.stderr
    assert len(lines) == 1 or lines[0].startswith("usage:")  # argparse shows the usage first


@pytest.mark.parametrize("verify, status", [(None, 1), (False, 0)])
def test_cat_of_corrupted_bytes_exits_1(cli, client, s3_config, bucket, verify, status):
    """cat has written the bytes before they can be judged: a mismatch with
    the ETag exits with status 1 and says why; verify = false writes them as
    they came."""
    from test_transfers import net_proxy

    data = os.urandom(3 * 1024 * 1024)
    client._upload_flow(bucket, "c.bin", data)
    with net_proxy(s3_config["port"], flip_at=1024 * 1024) as proxy:
        done = cli("cat", f"s3://{bucket}/c.bin", profile={**s3_config, "port": proxy.port, "verify": verify},
                   expect=status, text=False)
    assert len(done.stdout) == len(data) and done.stdout != data
    assert (b"verify: False" in done.stderr) is (status == 1)


def test_missing_config_file_and_ctrl_c(tmp_path, s3_config, silent_server):
    done = subprocess.run([sys.executable, "-m", "tavrin_minio", "--config", str(tmp_path / "none.toml"), "ls"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 2 and "not found" in done.stderr
    config = tmp_path / "silent.toml"
    host, port = silent_server.getsockname()
    # The timeout bounds the wait where the signal reaches another thread than
    # the one blocked in recv() (sanitizer runtimes start threads of their own).
    config.write_text(toml({**s3_config, "host": host, "port": port, "timeout": 5}), encoding="utf-8")
    config.chmod(0o644)
    process = subprocess.Popen([sys.executable, "-m", "tavrin_minio", "--config", str(config), "cat", "s3://bucket/k"],
                               stderr=subprocess.PIPE, text=True)
    connection, _ = silent_server.accept()  # the command waits for its first answer
    with connection:
        process.send_signal(signal.SIGINT)
        _, err = process.communicate(timeout=30)
    assert process.returncode == 130, err
    assert "accessible by others" in err and "interrupted" in err


def test_help_and_version_do_not_import_the_client():
    code = ("import sys; from tavrin_minio.cli import main\n"
            "for argv in (['--help'], ['sync', '--help'], ['--version']):\n"
            "    assert main(argv) == 0\n"
            "print(sorted(m for m in sys.modules if m.split('.')[0] in ('minio', 'urllib3', 'tavrin_minio')))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, check=True)
    assert done.stdout.splitlines()[-1] == "['tavrin_minio', 'tavrin_minio.cli']"
    assert "--exclude" in done.stdout and "0.1.0" in done.stdout


@pytest.mark.parametrize("argv, command", [
    (["sync", "a", "s3://b/p", "--delete", "--exclude", "*.tmp", "--quiet"], "sync"),
    (["--profile", "sync", "ls", "-r", "s3://b"], "ls"),  # a profile named as a command
    (["--prof=cp", "--workers", "4", "cp", "-r", "a", "s3://b/"], "cp"),
    (["--debug", "url", "s3://b/k", "--days", "2"], "url"),
    (["--json", "stat", "s3://b/k"], "stat"),
])
def test_one_commands_parser_parses_as_the_whole(argv, command):
    from tavrin_minio.cli import _command_of, build_parser

    assert _command_of(argv) == command
    assert build_parser(command).parse_args(argv) == build_parser().parse_args(argv)


@pytest.mark.parametrize("argv", [["--config"], ["--workers", "0", "sync", "a", "b"], ["synk", "a", "b"],
                                  ["sync", "a"]])
def test_usage_errors_read_as_the_whole_parsers(argv, capsys):
    from tavrin_minio.cli import build_parser, main

    assert main(argv) == 2
    err = capsys.readouterr().err
    with pytest.raises(SystemExit):
        build_parser().parse_args(argv)
    assert err == capsys.readouterr().err


def test_json_records_and_unchanged_reruns(cli, client, bucket, s3_config, tmp_path):
    write_tree(tmp_path / "tree", {"a.txt": b"a", "d/b.txt": b"bb"})
    target = f"s3://{bucket}/p"
    cache = tmp_path / "own-digests.sqlite3"  # a profile's digest_cache names the cache file
    up = records(cli("sync", str(tmp_path / "tree"), target, "--json", profile={**s3_config, "digest_cache": str(cache)}))
    assert cache.is_file()
    assert sorted(up, key=lambda r: r["target"]) == [
        {"action": "upload", "source": str(tmp_path / "tree/a.txt"), "target": f"{target}/a.txt", "size": 1},
        {"action": "upload", "source": str(tmp_path / "tree/d/b.txt"), "target": f"{target}/d/b.txt", "size": 2}]
    assert cli("sync", str(tmp_path / "tree"), target, "--json").stdout == ""
    down = records(cli("sync", target + "/", str(tmp_path / "back"), "--json"))
    assert {(r["action"], r["source"], r["size"]) for r in down} == \
        {("download", f"{target}/a.txt", 1), ("download", f"{target}/d/b.txt", 2)}
    assert cli("sync", target, str(tmp_path / "back"), "--json").stdout == ""
    (tmp_path / "tree/a.txt").write_bytes(b"A")  # same size, other content
    assert cli("sync", str(tmp_path / "tree"), target, "--size-only", "--json").stdout == ""
    assert [r["target"] for r in records(cli("sync", str(tmp_path / "tree"), target, "--json"))] == [f"{target}/a.txt"]
    listed = records(cli("ls", target, "--json"))
    assert listed[0].keys() == {"key", "size", "etag", "last_modified"} and listed[0]["last_modified"].endswith("Z")
    assert listed[1] == {"prefix": "p/d/"}
    assert records(cli("ls", "--json"))[0].keys() == {"name", "created"}


@pytest.mark.parametrize("pattern, left_out", [
    ("*.tmp", {"a.tmp", "sub/b.tmp"}),                           # a name at any depth
    ("/sub/b.*", {"sub/b.txt", "sub/b.tmp"}),                    # the path from the folder
    ("docs/*.md", {"docs/r.md"}),                                # "*" stays within a name
    ("**/*.md", {"docs/r.md", "docs/inner/s.md"}),               # "**" crosses folders
    ("cache/", {"sub/cache/x.txt"}),                             # folders only: the file "cache" stays
    ("[ab].t?t", {"a.txt", "sub/b.txt"}),
    ("/sub/**.txt", {"sub/b.txt", "sub/cache/x.txt", "sub/deep/c.txt"}),  # "**" crosses folders without "/"
    ("sub/**/b.txt", {"sub/b.txt"}),                                      # "**/" also matches nothing
])
def test_exclude(cli, client, bucket, tmp_path, pattern, left_out):
    write_tree(tmp_path / "tree", EXCLUDED_TREE)
    cli("sync", str(tmp_path / "tree"), f"s3://{bucket}/p", "--exclude", pattern)
    assert keys(client, bucket) == sorted(f"p/{name}" for name in EXCLUDED_TREE if name not in left_out)
    # Downloads leave out the same paths, and nothing under an excluded folder is fetched.
    client._upload_tree(bucket, str(tmp_path / "tree"), "all")
    cli("cp", "-r", f"s3://{bucket}/all", str(tmp_path / "back"), "--exclude", pattern)
    assert set(local_files(tmp_path / "back")) == set(EXCLUDED_TREE) - left_out


def test_upload_delete_stays_inside_the_folder_and_spares_excluded(cli, client, bucket, tmp_path):
    write_tree(tmp_path / "tree", {"keep.txt": b"k"})
    for name in ["p/stale.txt", "p/sub/stale", "p/old.tmp", "p-sibling/x", "px", "other/p/y"]:
        client._upload_flow(bucket, name, b"x")
    done = cli("sync", str(tmp_path / "tree"), f"s3://{bucket}/p", "--delete", "--exclude", "*.tmp")
    assert "delete: s3://" in done.stdout
    assert keys(client, bucket) == ["other/p/y", "p-sibling/x", "p/keep.txt", "p/old.tmp", "px"]


def test_download_delete_removes_links_not_their_targets(cli, client, bucket, tmp_path):
    client._upload_flow(bucket, "p/keep.txt", b"k")
    outside = tmp_path / "outside"
    write_tree(outside, {"precious": b"p"})
    back = tmp_path / "back"
    write_tree(back, {"extra.txt": b"e", "gone/deeper/f": b"f", "notes.tmp": b"n"})
    (back / "link-file").symlink_to(outside / "precious")
    (back / "link-dir").symlink_to(outside)
    cli("sync", f"s3://{bucket}/p", str(back), "--delete", "--exclude", "*.tmp")
    assert local_files(back) == {"keep.txt": b"k", "notes.tmp": b"n"}
    assert not (back / "gone").exists()  # left empty by the deletion
    assert local_files(outside) == {"precious": b"p"}


@pytest.mark.parametrize("direction", ["up-dangling", "up-cycle", "down"])
def test_nothing_is_deleted_after_a_failure(cli, client, bucket, tmp_path, direction):
    if direction.startswith("up"):
        write_tree(tmp_path / "tree", {"ok.txt": b"o"})
        if direction == "up-dangling":
            (tmp_path / "tree/broken").symlink_to(tmp_path / "nowhere")
        else:
            (tmp_path / "tree/loop").symlink_to(tmp_path / "tree")
        client._upload_flow(bucket, "p/stale", b"s")
        ends = [str(tmp_path / "tree"), f"s3://{bucket}/p", "--delete"]
        planned = records(cli("sync", *ends, "--dry-run", "--json", expect=1))
        assert [(r["action"], r["target"]) for r in planned] == [("upload", f"s3://{bucket}/p/ok.txt")]
        done = cli("sync", *ends, expect=1)  # the link skipped with a warning, the rest sent
        assert keys(client, bucket) == ["p/ok.txt", "p/stale"]
        assert ("链接目标不存在，已跳过：" if direction == "up-dangling" else "目录链接成环，已跳过：") in done.stderr
    else:
        for name in ["p/ok", "p/a", "p/a/b"]:  # "a/b" needs a folder where "a" is a file
            client._upload_flow(bucket, name, b"x")
        write_tree(tmp_path / "back", {"stale": b"s"})
        done = cli("sync", f"s3://{bucket}/p", str(tmp_path / "back"), "--delete", expect=1)
        assert local_files(tmp_path / "back") == {"stale": b"s", "ok": b"x", "a": b"x"}
        assert "对象与本地路径冲突，已跳过：p/a/b" in done.stderr


def test_download_refuses_unsafe_names_and_links_out(cli, client, s3_config, bucket, tmp_path):
    import boto3  # the client library refuses to store names with "." or ".." segments

    s3 = boto3.client("s3", endpoint_url=f"http://{s3_config['host']}:{s3_config['port']}", region_name="us-east-1",
                      aws_access_key_id=s3_config["user"], aws_secret_access_key=s3_config["password"])
    for name in ["p/ok", "p/x/../../escape", "p/./dot", "p/a//b", "p/link/inside", "p/empty/"]:
        s3.put_object(Bucket=bucket, Key=name, Body=b"x")
    back = tmp_path / "back"
    back.mkdir()
    (back / "link").symlink_to(tmp_path / "outside", target_is_directory=True)
    (tmp_path / "outside").mkdir()
    done = cli("cp", "-r", f"s3://{bucket}/p", str(back), expect=1)
    assert "对象名不能用作本地文件名，已跳过：p/x/../../escape" in done.stderr
    assert "对象名不能用作本地文件名，已跳过：p/a//b" in done.stderr
    assert "对象名不能用作本地文件名，已跳过：p/./dot" in done.stderr
    assert "对象与本地路径冲突，已跳过：p/link/inside" in done.stderr
    assert local_files(back) == {"ok": b"x", "link": f"->{tmp_path / 'outside'}".encode()}
    assert (back / "empty").is_dir() and not (tmp_path / "escape").exists()
    assert list((tmp_path / "outside").iterdir()) == []


@pytest.mark.parametrize("direction", ["up", "down"])
def test_dry_run_changes_nothing(cli, client, bucket, tmp_path, direction):
    write_tree(tmp_path / "tree", {"new.txt": b"n", "d/changed": b"local"})
    write_tree(tmp_path / "back", {"new.txt": b"n", "d/changed": b"local", "extra": b"e"})
    for name, data in [("p/d/changed", b"remote"), ("p/stale", b"s"), ("p/new.txt", b"n")]:
        client._upload_flow(bucket, name, data)
    local = tmp_path / ("tree" if direction == "up" else "back")
    ends = [str(local), f"s3://{bucket}/p"][::1 if direction == "up" else -1]
    before = (keys(client, bucket), client._download_flow(bucket, "p/d/changed"), local_files(local))
    planned = records(cli("sync", *ends, "--delete", "--dry-run", "--json"))
    assert before == (keys(client, bucket), client._download_flow(bucket, "p/d/changed"), local_files(local))
    if direction == "up":
        assert {(r["action"], r["target"]) for r in planned} == {
            ("upload", f"s3://{bucket}/p/d/changed"), ("delete", f"s3://{bucket}/p/stale")}
    else:
        assert {(r["action"], r["target"]) for r in planned} == {
            ("download", str(local / "d/changed")), ("download", str(local / "stale")), ("delete", str(local / "extra"))}
    assert "(dry run) " in cli("sync", *ends, "--dry-run").stdout


def test_tree_methods_for_python_callers(client, bucket, tmp_path):
    write_tree(tmp_path / "tree", {"a": b"a", "d/b": b"b"})
    seen = []
    done = client._upload_tree(bucket, tmp_path / "tree", "p/", report=seen.append)
    assert sorted(r["target"] for r in done) == [f"s3://{bucket}/p/a", f"s3://{bucket}/p/d/b"] and seen == done
    assert client._list_folder(bucket, "p")[-1] == {"prefix": "p/d/"}
    with pytest.raises(TypeError, match="positional"):
        client._upload_tree(bucket, str(tmp_path / "tree"), "p", ["*.tmp"])
    with pytest.raises(TypeError, match="exclude"):
        client._upload_tree(bucket, str(tmp_path / "tree"), exclude="*.tmp")
    with pytest.raises(ValueError, match="empty"):
        client._download_tree(bucket, "p", str(tmp_path / "x"), exclude=["/"])
    assert [r["action"] for r in client._remove_tree(bucket, "p", dry_run=True)] == ["delete", "delete"]
    assert keys(client, bucket) == ["p/a", "p/d/b"]


@pytest.mark.parametrize("environment, profile, expected", [
    ({"TAVRIN_MINIO_CONFIG": "{dir}/named.toml"}, None, "named"),
    ({"TAVRIN_MINIO_CONFIG": "{dir}/named.toml", "config_file": "{dir}/xdg/tavrin_minio/config.toml"}, None, "xdg"),
    ({"XDG_CONFIG_HOME": "{dir}/xdg"}, None, "xdg"),
    ({"XDG_CONFIG_HOME": "{dir}/xdg", "TAVRIN_MINIO_PROFILE": "second"}, None, "xdg-second"),
    ({"XDG_CONFIG_HOME": "{dir}/xdg", "TAVRIN_MINIO_PROFILE": "second"}, "default", "xdg"),
])
def test_where_the_profile_comes_from(monkeypatch, tmp_path, environment, profile, expected):
    (tmp_path / "named.toml").write_text('[default]\nhost = "named"\n')
    (tmp_path / "xdg/tavrin_minio").mkdir(parents=True)
    (tmp_path / "xdg/tavrin_minio/config.toml").write_text('[default]\nhost = "xdg"\n[second]\nhost = "xdg-second"\n')
    for name in ("TAVRIN_MINIO_CONFIG", "TAVRIN_MINIO_PROFILE", "XDG_CONFIG_HOME"):
        monkeypatch.delenv(name, raising=False)
    config_file = environment.pop("config_file", "").format(dir=tmp_path) or None  # --config wins
    for name, value in environment.items():
        monkeypatch.setenv(name, value.format(dir=tmp_path))
    assert load_profile(profile, config_file)["host"] == expected
    (tmp_path / "named.toml").write_text("not toml [")
    monkeypatch.setenv("TAVRIN_MINIO_CONFIG", str(tmp_path / "named.toml"))
    with pytest.raises(ProfileError, match="not valid TOML"):
        load_profile()


@pytest.mark.sshd
def test_a_profile_through_the_tunnel(cli, sshd_server, s3_config, client, bucket, tmp_path):
    profile = sshd_server.ssh_config(s3_config["host"], s3_config["port"],
                                     user=s3_config["user"], password=s3_config["password"])
    write_tree(tmp_path / "tree", {"a": b"a", "d/b": b"b"})
    cli("sync", str(tmp_path / "tree"), f"s3://{bucket}/p", profile=profile)
    assert keys(client, bucket) == ["p/a", "p/d/b"]
    assert cli("cat", f"s3://{bucket}/p/d/b", profile=profile).stdout == "b"


@pytest.mark.sshd
@pytest.mark.parametrize("change, message", [
    ({"port": 1}, "forward to 127.0.0.1:1 through root@127.0.0.1:{ssh_port} failed: the SSH server cannot reach it"),
    ({"ssh_rsa_pwd": "wrong"}, "SSH login to root@127.0.0.1:{ssh_port}: key file {key} cannot be used: a wrong passphrase"),
])
def test_tunnel_failures_name_the_server_or_key_file(cli, sshd_server, s3_config, change, message):
    """One line of ours, no bare paramiko line beside it."""
    profile = {**sshd_server.ssh_config(s3_config["host"], s3_config["port"], user="u", password="p"), **change}
    done = cli("ls", profile=profile, expect=1)
    errors = [line for line in done.stderr.splitlines() if "warning: " not in line]
    expected = "tavrin-minio: error: TavrinSSHError: " + message.format(ssh_port=sshd_server.port,
                                                                         key=sshd_server.key_path)
    assert len(errors) == 1 and errors[0].startswith(expected), done.stderr


class Stream:
    """A response of the client library: `chunks` to read (an exception in
    them is raised when reached), then the end."""

    def __init__(self, chunks, status=200):
        self.chunks, self.status, self.headers = list(chunks), status, {"ETag": '"e1"'}

    def read(self, amount):
        chunk = self.chunks.pop(0) if self.chunks else b""
        if isinstance(chunk, BaseException):
            raise chunk
        return chunk

    def close(self):
        pass

    def release_conn(self):
        pass


@pytest.mark.parametrize("second, expected", [
    (Stream([b"def"], status=206), b"abcdef"),
    (Stream([b"abcdef"], status=200), ConnectionError),  # a server that ignored the range
])
def test_download_stream_goes_on_from_the_byte_reached(recorder_client, second, expected):
    import io

    from urllib3.exceptions import ProtocolError

    answers = [Stream([b"abc", ProtocolError("Connection broken")]), second]
    client, engine, _ = recorder_client(get_object=lambda *args, **kwargs: answers.pop(0))
    out = io.BytesIO()
    if expected is ConnectionError:
        with pytest.raises(ConnectionError, match="whole object"):
            client._download_stream("b", "k", out)
        assert out.getvalue() == b"abc"
    else:
        assert client._download_stream("b", "k", out) == 6 and out.getvalue() == expected
    assert engine.calls[1] == ("get_object", ("b", "k"), {"offset": 3, "length": 0,
                                                          "request_headers": {"If-Match": '"e1"'}})


def test_ls_exit_status_tells_whether_it_exists(cli, client, bucket):
    assert cli("ls", f"s3://{bucket}").stdout == ""  # the root of an empty bucket
    client._upload_flow(bucket, "d/k.txt", b"k")
    assert cli("ls", f"s3://{bucket}/d/k.txt").stdout.split()[-2:] == ["1", "d/k.txt"]
    for missing in ["d/k", "d/nothing/", "nothing"]:
        assert "no such object or folder" in cli("ls", f"s3://{bucket}/{missing}", expect=1).stderr
    assert [r["key"] for r in records(cli("--json", "ls", f"s3://{bucket}/d"))] == ["d/k.txt"]  # --json first


def test_cp_into_a_new_folder_and_cp_r_of_an_object(cli, client, bucket, tmp_path):
    client._upload_flow(bucket, "t/top.txt", b"top")
    cli("cp", f"s3://{bucket}/t/top.txt", "newdir/")
    assert local_files(tmp_path / "newdir") == {"top.txt": b"top"}
    cli("cp", "-r", f"s3://{bucket}/t/top.txt", "rr")
    assert local_files(tmp_path / "rr") == {"top.txt": b"top"}
    assert "no such object or folder" in cli("cp", "-r", f"s3://{bucket}/t/none", "empty", expect=1).stderr
    assert not (tmp_path / "empty").exists()


@pytest.mark.timeout(60)
@pytest.mark.parametrize("source, size", [("-", 5), ("-", 16 * 1024 * 1024 + 5), ("fifo", 3), ("file", 4)])
def test_cp_streams_and_files(cli, client, bucket, tmp_path, source, size):
    """Standard input and a pipe are read to their end, of no known length:
    one request, or the parts of a multipart upload; `-` as the target is
    standard output. Each transfer's record carries its size."""
    data = os.urandom(size)
    writer = None
    if source == "fifo":
        source = str(tmp_path / "fifo")
        os.mkfifo(source)
        writer = threading.Thread(target=lambda: (tmp_path / "fifo").write_bytes(data))
        writer.start()
    elif source == "file":
        source = str(tmp_path / "file")
        (tmp_path / "file").write_bytes(data)
    done = cli("cp", source, f"s3://{bucket}/s.bin", "--json", input=data if source == "-" else None, text=False)
    if writer is not None:
        writer.join()
    assert records(done) == [{"action": "upload", "source": source, "target": f"s3://{bucket}/s.bin", "size": size}]
    assert client._engine.stat_object(bucket, "s.bin").etag.endswith("-2") is (size > 16 * 1024 * 1024)
    assert cli("cp", f"s3://{bucket}/s.bin", "-", text=False).stdout == data
    got = str(tmp_path / "got.bin")
    assert records(cli("--json", "cp", f"s3://{bucket}/s.bin", got)) == \
        [{"action": "download", "source": f"s3://{bucket}/s.bin", "target": got, "size": size}]


def test_a_failed_stream_upload_leaves_no_parts(client, bucket):
    class Broken:
        def __init__(self):
            self.reads = 0

        def read(self, size):
            self.reads += 1
            if self.reads > 1:
                raise OSError("the stream broke")
            return bytes(size)

    with pytest.raises(OSError, match="broke"):
        client._upload_stream(bucket, "s.bin", Broken())
    assert keys(client, bucket) == []
    assert not client._engine._list_multipart_uploads(bucket).uploads


@pytest.mark.parametrize("when, status, message", [
    ("after", 0, None),
    ("before", 130, "interrupted: nothing done"),
    ("tree", 130, "interrupted: 1 transfers complete before it, the rest not done"),
])
def test_ctrl_c_after_the_work_is_done(monkeypatch, cli, client, bucket, tmp_path, capsys, when, status, message):
    """Ctrl-C as an upload ends: done when the object is there whole, else
    exit 130 saying what was complete."""
    from tavrin_minio.cli import main
    from tavrin_minio.ostrel import TavrinOstrel

    real = TavrinOstrel._upload_file

    def upload_then_interrupt(self, *args, **kwargs):
        if when == "after":
            real(self, *args, **kwargs)
        raise KeyboardInterrupt

    def one_then_interrupt(self, bucket_name, dir_path, prefix, *, report, **options):
        report({"action": "upload", "source": "f", "target": f"s3://{bucket_name}/{prefix}/f", "size": 1})
        raise KeyboardInterrupt

    monkeypatch.setattr(TavrinOstrel, "_upload_file", upload_then_interrupt)
    monkeypatch.setattr(TavrinOstrel, "_upload_tree", one_then_interrupt)
    (tmp_path / "f").write_bytes(b"f")
    cli("ls")  # writes the configuration file
    command = ["sync", str(tmp_path), f"s3://{bucket}/t"] if when == "tree" else \
        ["cp", str(tmp_path / "f"), f"s3://{bucket}/f"]
    assert main(["--config", str(tmp_path / "config.toml"), *command]) == status
    assert keys(client, bucket) == (["f"] if when == "after" else [])
    err = capsys.readouterr().err
    assert (message in err) if message else "interrupted" not in err


def test_rm_r_sync_delete_and_sibling_links(cli, client, bucket, tmp_path):
    for name in ["a/b/x", "a/bc", "p/d/", "p/d/f", "p/stale"]:
        client._upload_flow(bucket, name, b"x")
    cli("rm", "-r", f"s3://{bucket}/a/b")
    assert keys(client, bucket) == ["a/bc", "p/d/", "p/d/f", "p/stale"]
    write_tree(tmp_path / "tree", {"d/f": b"x", "shared/s.txt": b"s"})
    (tmp_path / "tree/zlink").symlink_to(tmp_path / "tree/shared")  # walked after its target: not a cycle
    cli("sync", str(tmp_path / "tree"), f"s3://{bucket}/p", "--delete")
    assert keys(client, bucket) == ["a/bc", "p/d/", "p/d/f", "p/shared/s.txt", "p/zlink/s.txt"]
