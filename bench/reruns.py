#!/usr/bin/env python3
"""Wall time of re-runs with skip_unchanged, and the cost of a progress callable.

Run with the interpreter the package is installed into (moto must be installed):

    python bench/reruns.py [--rounds N] [--files N] [--folders N] [--download N] [--delay MS]

The S3 server (moto) runs in a process of its own; the clients talk to it
through a proxy on 127.0.0.1 that delays every chunk --delay ms (default 10)
each way (netproxy.py), with workers=8. The tree: --files files of 4 KiB
(default 1,000) in --folders folders (default 10). Each round, in a bucket
of its own (moto's folder listing reads its whole bucket, so the buckets stay
alike):

- upload: the first _upload_dir of the tree with skip_unchanged (nothing in
  the bucket yet), the re-run on the unchanged tree, and a re-run after
  --changed files (default 10, one per folder) got other content of the same
  size, which must call _upload_file for exactly those;
- download: the first _download_dir of one folder of the tree (default 100
  files) into an empty directory with skip_unchanged, and the re-run;
- progress: the first _upload_dir of the tree without the keys and with a
  progress callable (no skip_unchanged), into buckets of their own, the
  order rotating from round to round.

Shown are the median wall time of the rounds (round 0 warms up and is not
counted) with the least and the greatest, and the median of the rounds'
ratios with their range. The progress row also gives the client process's
CPU time per upload with and without the callable, a steadier gauge on a
shared machine.
"""

import argparse
import os
import statistics
import sys
import tempfile
import time

from directories import show_ratio, show_time, verdict
from netproxy import net_proxy
from s3server import moto_server

from tavrin_minio.ostrel import TavrinOstrel

WORKERS = 8
FILE = bytes(range(256)) * 16  # 4 KiB


class Counting(TavrinOstrel):
    """Notes the objects it uploads."""

    uploaded: list = []

    def _upload_file(self, bucket_name, object_name, file_name, parallel=3):
        self.uploaded.append(object_name)
        return super()._upload_file(bucket_name, object_name, file_name, parallel)


def timed(call, *args):
    wall, cpu = time.perf_counter(), time.process_time()
    call(*args)
    return time.perf_counter() - wall, time.process_time() - cpu


def make_tree(root, files, folders):
    paths = []
    for i in range(files):
        path = os.path.join(root, f"d{i % folders}", f"f-{i:04d}.bin")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(FILE)
        paths.append(path)
    return paths


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5, help="timed rounds (default 5)")
    parser.add_argument("--files", type=int, default=1000, help="files in the tree (default 1,000)")
    parser.add_argument("--folders", type=int, default=10, help="folders they are spread over (default 10)")
    parser.add_argument("--changed", type=int, default=10, help="files changed before the last re-run (default 10)")
    parser.add_argument("--delay", type=float, default=10.0, help="proxy delay each way, in ms (default 10)")
    args = parser.parse_args()
    per_folder = args.files // args.folders

    print(f"Python {sys.version.split()[0]}; wall time, median of {args.rounds} rounds; moto S3 server in its own "
          f"process, through a proxy delaying every chunk {args.delay:g} ms each way; workers={WORKERS}")
    times = {key: [] for key in ("first", "rerun", "changed", "down_first", "down_rerun", "plain", "progress")}
    cpu = {"plain": [], "progress": []}
    records = []
    with moto_server() as config, tempfile.TemporaryDirectory() as folder, \
            net_proxy(config["port"], delay=args.delay / 1e3) as proxy:
        through = dict(config, port=proxy.port)
        skipping = Counting(dict(through, workers=WORKERS, skip_unchanged=True))
        plain = TavrinOstrel(dict(through, workers=WORKERS))
        reporting = TavrinOstrel(dict(through, workers=WORKERS, progress=records.append))
        for client in (skipping, plain, reporting):
            client._connect()
        root = os.path.join(folder, "tree")
        paths = make_tree(root, args.files, args.folders)
        changed = paths[:args.changed]  # f-0000 .. f-0009: one in each of the first folders

        for r in range(args.rounds + 1):
            bucket = f"rerun-{r}"
            skipping._engine.make_bucket(bucket)
            first = timed(skipping._upload_dir, bucket, root)
            rerun = timed(skipping._upload_dir, bucket, root)
            for path in changed:
                with open(path, "wb") as f:
                    f.write(bytes([r + 1]) * len(FILE))
            Counting.uploaded.clear()
            change = timed(skipping._upload_dir, bucket, root)
            expected = sorted(os.path.relpath(p, folder).replace(os.sep, "/") for p in changed)
            assert sorted(Counting.uploaded) == expected, (len(Counting.uploaded), Counting.uploaded[:5])

            out = os.path.join(folder, f"out-{r}")
            down_first = timed(skipping._download_dir, bucket, "tree/d5", out)
            down_rerun = timed(skipping._download_dir, bucket, "tree/d5", out)
            assert len(os.listdir(out)) == per_folder

            sides = [("plain", plain), ("progress", reporting)]
            measured = {}
            for name, client in sides if r % 2 == 0 else sides[::-1]:
                target = f"{name}-{r}"
                client._engine.make_bucket(target)
                if client is reporting:
                    records.clear()
                measured[name] = timed(client._upload_dir, target, root)
            assert records[-1].finished and records[-1].files_done == args.files, records[-1]
            if r:  # round 0 warms connections, region lookups and caches
                for key, value in (("first", first), ("rerun", rerun), ("changed", change),
                                   ("down_first", down_first), ("down_rerun", down_rerun),
                                   ("plain", measured["plain"]), ("progress", measured["progress"])):
                    times[key].append(value[0])
                for key in cpu:
                    cpu[key].append(measured[key][1])
            records_made = len(records)

    print(f"\n_upload_dir of {args.files:,} files of 4 KiB in {args.folders} folders, with skip_unchanged")
    print(f"{'run':44} {'wall time per call (range)':>30}")
    print(f"{'first (empty bucket)':44} {show_time(times['first']):>30}")
    print(f"{'re-run, nothing changed':44} {show_time(times['rerun']):>30}")
    print(f"{f're-run, {args.changed} changed (exactly those uploaded)':44} {show_time(times['changed']):>30}")
    print(f"\n_download_dir of one folder of {per_folder} files, with skip_unchanged")
    print(f"{'first (empty directory)':44} {show_time(times['down_first']):>30}")
    print(f"{'re-run, nothing changed':44} {show_time(times['down_rerun']):>30}")
    print(f"\nfirst _upload_dir of the tree, with and without a progress callable ({records_made} records a call)")
    print(f"{'without':44} {show_time(times['plain']):>30}   CPU {statistics.median(cpu['plain']) * 1e3:.0f} ms")
    print(f"{'with progress':44} {show_time(times['progress']):>30}   "
          f"CPU {statistics.median(cpu['progress']) * 1e3:.0f} ms")

    up, up_range = show_ratio(times["first"], times["rerun"])
    down, down_range = show_ratio(times["down_first"], times["down_rerun"])
    cost, cost_range = show_ratio(times["progress"], times["plain"])
    print(f"\nupload re-run: {up:.1f}× faster than the first {up_range} ({verdict(up >= 5)} the ≥ 5× target)")
    print(f"download re-run: {down:.1f}× faster than the first {down_range} ({verdict(down >= 8)} the ≥ 8× target)")
    print(f"progress callable: {(cost - 1) * 100:+.1f}% of the upload's time {cost_range} "
          f"({verdict(cost <= 1.02)} the ≤ +2% target); CPU "
          f"{(statistics.median(cpu['progress']) / statistics.median(cpu['plain']) - 1) * 100:+.1f}%")


if __name__ == "__main__":
    main()
