#!/usr/bin/env python3
"""Downloads through a network that resets connections: does every round complete, whole, and leave nothing behind?

Run with the interpreter the package is installed into (moto, which brings
boto3, must be installed):

    python bench/faults.py [--rounds N] [--share S] [--cut-mib M] [--bound K] [--seed N]

The S3 server (moto) runs in a process of its own; every client talks to it
through the proxy of netproxy.py, which resets --share (default 0.5) of the
connections after a uniformly drawn number of response bytes, up to --cut-mib
(default 3) MiB, drawn from --seed. Five cases, in interleaved rounds with
the order rotating:

- _download_file of an 11 MiB object, and as the anchor boto3's
  download_file (s3transfer) of the same object;
- _download_dir of a 27-file folder (one file of 11 MiB, five of 1 to 3 MiB,
  21 of 1 to 256 KiB: 23.6 MiB), serial and with workers=8, and as the anchor
  boto3's download_file of each of the folder's objects on 8 threads.

Each round downloads into a new folder and then checks it: a round is
completed when the call returned; a file is whole when its sha256 is the
source's, corrupt when a file of its final name holds anything else; any
other file in the folder is left over (`<file>.<etag>.part.minio` from the
client library, s3transfer's temporary files). Shown per case: completed
rounds, whole files, corrupt files, leftover files (of them, part files), the
median wall time of the completed rounds, and the cuts the proxy made during
the case's rounds.

The whole run is made twice: with the proxy's bound (a request, the same
method and path, is cut at most --bound times, default 2, in a round), where
a client that requests a broken body again always gets through; and without
it, where a request can be cut on every attempt and a round may fail.
"""

import argparse
import collections
import hashlib
import io
import logging
import os
import random
import shutil
import statistics
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

import boto3
from botocore.config import Config
from netproxy import net_proxy
from s3server import moto_server

from tavrin_minio.ostrel import TavrinOstrel

BUCKET = "faults"
MIB = 1 << 20
BIG = "big.bin"
FOLDER = "set"
WORKERS = 8


def folder_sizes():
    sizes = [11 * MIB] + [int(m * MIB) for m in (1, 1.5, 2, 2.5, 3)]
    return sizes + [1024 + (255 * 1024 * i) // 20 for i in range(21)]  # 1 KiB to 256 KiB


def make_objects(engine, seed):
    """Uploads the objects straight to moto; returns {object name: sha256}."""
    draw = random.Random(seed)
    objects = {BIG: draw.randbytes(11 * MIB)}
    for i, size in enumerate(folder_sizes()):
        objects[f"{FOLDER}/f{i:02d}.bin"] = draw.randbytes(size)
    engine.make_bucket(BUCKET)
    for name, data in objects.items():
        engine.put_object(BUCKET, name, io.BytesIO(data), len(data))
    return {name: hashlib.sha256(data).hexdigest() for name, data in objects.items()}


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(MIB):
            digest.update(block)
    return digest.hexdigest()


class Case:
    def __init__(self, label, run, expected):
        self.label, self.run, self.expected = label, run, expected  # expected: {local name: sha256}
        self.rounds = self.completed = self.whole = self.corrupt = self.left = self.parts = self.cuts = 0
        self.times = []
        self.errors = collections.Counter()

    def round(self, target):
        os.mkdir(target)
        start = time.perf_counter()
        try:
            self.run(target)
        except Exception as error:  # noqa: BLE001  (counted and shown, not hidden)
            self.errors[type(error).__name__] += 1
        else:
            self.times.append(time.perf_counter() - start)
            self.completed += 1
        self.rounds += 1
        for name, digest in self.expected.items():
            path = os.path.join(target, name)
            if os.path.exists(path):
                if sha256(path) == digest:
                    self.whole += 1
                else:
                    self.corrupt += 1
        for folder, _, files in os.walk(target):
            for name in files:
                if os.path.relpath(os.path.join(folder, name), target) not in self.expected:
                    self.left += 1
                    self.parts += name.endswith(".part.minio")
        shutil.rmtree(target)

    def row(self):
        files = self.rounds * len(self.expected)
        wall = f"{statistics.median(self.times):.2f} s" if self.times else "–"
        return (f"{self.label:46} {f'{self.completed}/{self.rounds}':>9} {f'{self.whole}/{files}':>11} "
                f"{self.corrupt:>7} {f'{self.left} ({self.parts})':>12} {wall:>10} {self.cuts:>5}")


def cases(config, port, sources):
    through = dict(config, port=port)
    serial = TavrinOstrel(dict(through))
    pooled = TavrinOstrel(dict(through, workers=WORKERS))
    for client in (serial, pooled):
        client._connect()
        client._engine.bucket_exists(BUCKET)  # the region lookup, before the rounds
    s3 = boto3.client("s3", endpoint_url=f"http://127.0.0.1:{port}", aws_access_key_id=config["user"],
                      aws_secret_access_key=config["password"],
                      config=Config(region_name="us-east-1", s3={"addressing_style": "path"}))

    def boto3_folder(target):
        listed = s3.list_objects_v2(Bucket=BUCKET, Prefix=FOLDER + "/", Delimiter="/")["Contents"]
        names = [o["Key"] for o in listed]
        with ThreadPoolExecutor(WORKERS) as pool:
            list(pool.map(lambda name: s3.download_file(BUCKET, name, os.path.join(target, name[len(FOLDER) + 1:])),
                          names))

    big = {BIG: sources[BIG]}
    folder = {name[len(FOLDER) + 1:]: digest for name, digest in sources.items() if name.startswith(FOLDER + "/")}
    return [
        Case("_download_file, 11 MiB", lambda t: serial._download_file(BUCKET, BIG, os.path.join(t, BIG)), big),
        Case("boto3 download_file, 11 MiB (anchor)", lambda t: s3.download_file(BUCKET, BIG, os.path.join(t, BIG)),
             big),
        Case(f"_download_dir, {len(folder)} files, serial", lambda t: serial._download_dir(BUCKET, FOLDER, t), folder),
        Case(f"_download_dir, {len(folder)} files, workers={WORKERS}",
             lambda t: pooled._download_dir(BUCKET, FOLDER, t), folder),
        Case(f"boto3 download_file × {len(folder)}, {WORKERS} threads (anchor)", boto3_folder, folder),
    ]


def run(config, sources, folder, args, bound):
    with net_proxy(config["port"], cut_share=args.share, cut_bytes=int(args.cut_mib * MIB), seed=args.seed,
                   max_cuts_per_request=bound) as proxy:
        sides = cases(config, proxy.port, sources)
        proxy.new_round()
        for r in range(args.rounds):
            for k in range(len(sides)):
                side = sides[(k + r) % len(sides)]
                side.round(os.path.join(folder, f"round-{r}-{k}"))
                side.cuts += proxy.new_round()
    title = f"at most {bound} cuts of a request in a round" if bound is not None else "no bound on cuts"
    print(f"\nThrough the proxy, {title}: {args.rounds} rounds per case")
    print(f"{'case':46} {'completed':>9} {'whole files':>11} {'corrupt':>7} {'left (part)':>12} "
          f"{'wall/round':>10} {'cuts':>5}")
    for side in sides:
        print(side.row())
    for side in sides:
        if side.errors:
            failed = ", ".join(f"{name} ×{count}" for name, count in side.errors.most_common())
            print(f"{side.label}: failed rounds raised {failed}")
    stats = proxy.stats
    print(f"proxy: {stats['connections']:,} connections, {stats['cuts']} cut, {stats['cuts_spared']} spared by the "
          f"bound; CPU {stats['cpu']:.1f} s in {stats['wall']:.0f} s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=10, help="rounds per case (default 10)")
    parser.add_argument("--share", type=float, default=0.5, help="share of connections cut (default 0.5)")
    parser.add_argument("--cut-mib", type=float, default=3.0, help="cut after at most this many MiB (default 3)")
    parser.add_argument("--bound", type=int, default=2, help="cuts of one request in a round at most (default 2)")
    parser.add_argument("--seed", type=int, default=1, help="of the proxy's draws and of the data (default 1)")
    args = parser.parse_args()
    # urllib3 warns of every request it makes again after a broken connection; the cuts are counted instead.
    logging.getLogger("urllib3").setLevel(logging.ERROR)

    print(f"Python {sys.version.split()[0]}; moto S3 server in its own process; {args.share:g} of the connections "
          f"reset after 1 byte to {args.cut_mib:g} MiB of the response (seed {args.seed})")
    with moto_server() as config, tempfile.TemporaryDirectory() as folder:
        engine = TavrinOstrel(dict(config))
        engine._connect()
        sources = make_objects(engine._engine, args.seed)
        run(config, sources, folder, args, args.bound)
        run(config, sources, folder, args, None)


if __name__ == "__main__":
    main()
