#!/usr/bin/env python3
"""The cost of checking downloads against the object's ETag: `verify` on (the default) against verify: False.

Run with the interpreter the package is installed into (moto and boto3 must be installed):

    python bench/verify.py [--rounds N] [--size MIB] [--rate MIB] [--files N] [--delay MS]

The S3 server (moto) runs in a process of its own, and the clients talk to
it through a proxy on 127.0.0.1 (netproxy.py). Each part times the same
download with checking on and off in interleaved rounds (default 3), the
order rotating; the figure is the best round by wall clock, with the median
CPU time of the client process (its threads included) beside it, and the
median of the rounds' own ratios (each round runs both sides back to back),
steadier than the best rounds when other work shares the machine.

a) One object of --size MiB (default 128), downloaded by _download_file
   with workers=8 through a proxy that lets each connection carry --rate
   MiB/s (default 16), stored three ways: by _upload_file with workers=8
   (8 MiB parts), by the client library's fput_object (5 MiB parts) and in
   one request (a plain ETag). Checked or not, the ranges are the same
   8 MiB ones; the check hashes the content as they arrive. Gate: at most
   1.05× for each. Then the 5 MiB-part object, checked, against boto3's
   download_file with TransferConfig(max_concurrency=8) (gate: at most
   1.15×) and against our download without `workers`, one stream (gate:
   at least 4× faster).
b) One object of half that size, uploaded by the client library's
   fput_object (5 MiB parts), downloaded by _download_file without
   `workers` through the same throttle: the check reads the file once after
   the download. Gate: at most 1.10×.
c) A folder of --files files of 4 KiB (default 1,000), downloaded by
   _download_dir with workers=8 through a proxy that delays every chunk
   --delay ms (default 10) each way: a request more per file would show as
   about 1.5×. Gate: at most 1.05×.

Every download is checked after its round (sha256 of the file, or the
count of files).
"""

import argparse
import hashlib
import io
import os
import shutil
import statistics
import sys
import tempfile
import time

import boto3
from boto3.s3.transfer import TransferConfig
from botocore.config import Config

from bigfiles import Mismatch, Side, ratio, rounds
from faults import sha256
from netproxy import net_proxy
from s3server import moto_server

from tavrin_minio.ostrel import TavrinOstrel

BUCKET = "verify"
MiB = 1 << 20
WORKERS = 8
GATES = {"a": 1.05, "b": 1.10, "c": 1.05, "boto3": 1.15, "serial": 4.0}


class TimedSide(Side):
    """A Side that also keeps the client process's CPU time of each round: a
    steadier gauge than the wall clock on a shared machine."""

    def __init__(self, label, run, prepare=None, check=None):
        self.cpu = []

        def timed():
            start = time.process_time()
            run()
            self.cpu.append(time.process_time() - start)

        super().__init__(label, timed, prepare, check)

    def shown(self):
        return f"{super().shown()}  (CPU {statistics.median(self.cpu):.2f} s)" if self.cpu else super().shown()


def shown_ratio(on, off, gate):
    """The ratio of the best rounds against the gate, and the median of the rounds' own ratios."""
    text = ratio(on, off, gate, "verify: False")
    if len(on.times) == len(off.times) > 1:
        each = sorted(a / b for a, b in zip(on.times, off.times))
        text += f"; rounds' ratios: median {statistics.median(each):.2f} ({each[0]:.2f} to {each[-1]:.2f})"
    return text


def client(config, port, **keys):
    made = TavrinOstrel({**config, "host": "127.0.0.1", "port": port, **keys})
    made._connect()
    made._engine.bucket_exists(BUCKET)  # region lookup and a first connection
    return made


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--size", type=int, default=128, help="a), MiB (default 128); b) is half of it")
    parser.add_argument("--rate", type=float, default=16, help="MiB/s per connection and direction (default 16)")
    parser.add_argument("--files", type=int, default=1000, help="c), files of 4 KiB (default 1,000)")
    parser.add_argument("--delay", type=float, default=10, help="c), ms each way (default 10)")
    args = parser.parse_args()

    with moto_server() as config, tempfile.TemporaryDirectory() as folder:
        direct = TavrinOstrel(dict(config, workers=WORKERS))
        direct._connect()
        engine = direct._engine
        engine.make_bucket(BUCKET)

        big = os.urandom(args.size * MiB)
        source = os.path.join(folder, "source.bin")
        with open(source, "wb") as file:
            file.write(big)
        direct._upload_file(BUCKET, "parts.bin", source)  # 8 MiB parts
        engine.fput_object(BUCKET, "five.bin", source)  # the client library's 5 MiB parts
        engine.put_object(BUCKET, "plain.bin", io.BytesIO(big), len(big), part_size=len(big))  # one request
        half = big[:len(big) // 2]
        with open(source, "wb") as file:
            file.write(half)
        engine.fput_object(BUCKET, "half.bin", source)  # the client library's 5 MiB parts
        os.remove(source)
        digests = {name: hashlib.sha256(big).hexdigest() for name in ("parts.bin", "five.bin", "plain.bin")}
        digests["half.bin"] = hashlib.sha256(half).hexdigest()
        del big, half
        small = os.urandom(4096)
        for i in range(args.files):
            engine.put_object(BUCKET, f"many/{i:05}.bin", io.BytesIO(small), len(small))
        target = os.path.join(folder, "down")

        def fresh():
            shutil.rmtree(target, ignore_errors=True)
            os.mkdir(target)

        def whole(name):
            def check():
                if sha256(os.path.join(target, name)) != digests[name]:
                    raise Mismatch(f"{name} differs from the object")
            return check

        def counted():
            if len(os.listdir(target)) != args.files:
                raise Mismatch("files missing")

        def file_sides(label, name, on, off):
            run = {side: (lambda c=c: c._download_file(BUCKET, name, os.path.join(target, name)))
                   for side, c in (("on", on), ("off", off))}
            return (TimedSide(f"{label}, verify on", run["on"], fresh, whole(name)),
                    TimedSide(f"{label}, verify: False", run["off"], fresh, whole(name)))

        with net_proxy(config["port"], rate=args.rate * MiB) as throttle:
            pooled_on = client(config, throttle.port, workers=WORKERS)
            pooled_off = client(config, throttle.port, workers=WORKERS, verify=False)
            plain_on = client(config, throttle.port)
            plain_off = client(config, throttle.port, verify=False)
            a = file_sides(f"workers={WORKERS}, 8 MiB parts", "parts.bin", pooled_on, pooled_off)
            rounds(list(a), args.rounds)
            a_five = file_sides(f"workers={WORKERS}, 5 MiB parts", "five.bin", pooled_on, pooled_off)
            rounds(list(a_five), args.rounds)
            a_plain = file_sides(f"workers={WORKERS}, plain ETag", "plain.bin", pooled_on, pooled_off)
            rounds(list(a_plain), args.rounds)
            s3 = boto3.client("s3", endpoint_url=f"http://127.0.0.1:{throttle.port}", region_name="us-east-1",
                              aws_access_key_id=config["user"], aws_secret_access_key=config["password"],
                              config=Config(s3={"addressing_style": "path"}, max_pool_connections=2 * WORKERS))
            transfer = TransferConfig(max_concurrency=WORKERS)
            five = os.path.join(target, "five.bin")

            def run_five():
                pooled_on._download_file(BUCKET, "five.bin", five)

            peers = (TimedSide(f"workers={WORKERS}, verify on", run_five, fresh, whole("five.bin")),
                     TimedSide(f"boto3 download_file, {WORKERS} threads",
                               lambda: s3.download_file(BUCKET, "five.bin", five, Config=transfer), fresh,
                               whole("five.bin")),
                     TimedSide("no workers (one stream), verify on",
                               lambda: plain_on._download_file(BUCKET, "five.bin", five), fresh, whole("five.bin")))
            rounds(list(peers), args.rounds)
            b = file_sides("no workers, 5 MiB parts", "half.bin", plain_on, plain_off)
            rounds(list(b), args.rounds)

        with net_proxy(config["port"], delay=args.delay / 1000) as delayed:
            many_on = client(config, delayed.port, workers=WORKERS)
            many_off = client(config, delayed.port, workers=WORKERS, verify=False)
            c = (TimedSide("_download_dir, verify on", lambda: many_on._download_dir(BUCKET, "many", target), fresh,
                      counted),
                 TimedSide("_download_dir, verify: False", lambda: many_off._download_dir(BUCKET, "many", target), fresh,
                      counted))
            rounds(list(c), args.rounds)

    print(f"Python {sys.version.split()[0]}; moto in its own process, through a proxy on 127.0.0.1; best of "
          f"{args.rounds} interleaved rounds, wall clock; every download checked after its round")
    print(f"\na) one object of {args.size} MiB, _download_file with workers={WORKERS}, {args.rate:g} MiB/s per "
          f"connection")
    for sides in (a, a_five, a_plain):
        for side in sides:
            print(f"  {side.label:42} {side.shown():>24}")
        print(f"  {shown_ratio(*sides, GATES['a'])}")
    ours, boto, serial = peers
    print("  the 5 MiB-part object, checked, against boto3 and one stream (rounds of their own):")
    for side in peers:
        print(f"  {side.label:42} {side.shown():>24}")
    print(f"  {ratio(ours, boto, GATES['boto3'])}")
    if ours.best and serial.best:
        faster = serial.best / ours.best
        print(f"  one stream / workers={WORKERS}: {faster:.2f}× faster "
              f"({'meets' if faster >= GATES['serial'] else 'MISSES'} >= {GATES['serial']:g})")
    print(f"\nb) one object of {args.size // 2} MiB, _download_file without workers, {args.rate:g} MiB/s")
    for side in b:
        print(f"  {side.label:42} {side.shown():>24}")
    print(f"  {shown_ratio(*b, GATES['b'])}")
    print(f"\nc) a folder of {args.files} files of 4 KiB, _download_dir with workers={WORKERS}, {args.delay:g} ms "
          f"each way")
    for side in c:
        print(f"  {side.label:42} {side.shown():>24}")
    print(f"  {shown_ratio(*c, GATES['c'])}")


if __name__ == "__main__":
    main()
