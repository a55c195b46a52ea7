#!/usr/bin/env python3
"""Wall time of big downloads over connections of limited speed: byte ranges in parallel.

Run with the interpreter the package is installed into (moto and boto3 must be installed):

    python bench/ranges.py [--rounds N] [--size MIB] [--rate MIB]

The S3 server (moto) runs in a process of its own, and every side talks to
it through a proxy on 127.0.0.1 (netproxy.py) that lets each TCP connection
carry --rate MiB/s (default 16) in each direction: a long-distance link,
where one connection is capped while several together carry more. The
sides run in interleaved rounds with the order rotating; the figure is the
best of the rounds (default 2) by wall clock, since the work waits on the
link.

One object of --size MiB (default 128): _download_file serial (no
`workers`: the client library's single stream), with workers=8 (8 MiB
ranges on 8 connections), and the anchor, boto3's download_file with
TransferConfig(max_concurrency=8), which also fetches ranges on 8 threads.

A folder of one object of half that size and 16 of 1 MiB: _download_dir
with workers=8, against boto3's transfer manager with
TransferConfig(max_concurrency=8) downloading every object of the listing:
one pool of 8 threads shared by all the downloads and their ranges.

Also shown: the ranged download straight to moto, without the proxy. moto
reads an object's whole value for every request, a range included, so 16
ranges of a 128 MiB object cost it about as much as 16 whole downloads: that
floor, not the link, bounds the ranged sides here.
"""

import argparse
import hashlib
import io
import os
import sys
import tempfile
import time

from faults import sha256
from netproxy import net_proxy
from s3server import moto_server

from tavrin_minio.ostrel import TavrinOstrel

BUCKET = "bench"
MiB = 1 << 20
WORKERS = 8


def best_of(sides, rounds):
    """Best wall seconds of each side; each round runs every side once, the order rotating."""
    times = [[] for _ in sides]
    for r in range(rounds):
        for k in range(len(sides)):
            k = (k + r) % len(sides)
            start = time.perf_counter()
            sides[k]()
            times[k].append(time.perf_counter() - start)
    return [min(t) for t in times]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--size", type=int, default=128, help="the big object, MiB (default 128)")
    parser.add_argument("--rate", type=float, default=16, help="MiB/s per connection and direction (default 16)")
    args = parser.parse_args()

    import boto3
    from boto3.s3.transfer import TransferConfig
    from botocore.config import Config
    from s3transfer.manager import TransferManager

    with moto_server() as config, tempfile.TemporaryDirectory() as folder, \
            net_proxy(config["port"], rate=args.rate * MiB) as proxy:
        direct = TavrinOstrel(dict(config))
        direct._connect()
        engine = direct._engine
        engine.make_bucket(BUCKET)
        big = os.urandom(args.size * MiB)
        engine.put_object(BUCKET, "one/big.bin", io.BytesIO(big), len(big))
        folder_objects = {"dir/big.bin": big[:len(big) // 2]}
        folder_objects.update({f"dir/{i:02}.bin": os.urandom(MiB) for i in range(16)})
        for name, body in folder_objects.items():
            engine.put_object(BUCKET, name, io.BytesIO(body), len(body))
        expected = {name: hashlib.sha256(body).hexdigest() for name, body in folder_objects.items()}
        expected["one/big.bin"] = hashlib.sha256(big).hexdigest()
        del big

        through = {**config, "host": "127.0.0.1", "port": proxy.port}
        serial = TavrinOstrel(dict(through))
        serial._connect()
        ranged = TavrinOstrel(dict(through, workers=WORKERS))
        ranged._connect()
        s3 = boto3.client("s3", endpoint_url=f"http://127.0.0.1:{proxy.port}", region_name="us-east-1",
                          aws_access_key_id=config["user"], aws_secret_access_key=config["password"],
                          config=Config(s3={"addressing_style": "path"}, max_pool_connections=2 * WORKERS))
        transfer = TransferConfig(max_concurrency=WORKERS)
        target = os.path.join(folder, "big.bin")

        def check(path, name):
            if sha256(path) != expected[name]:
                sys.exit(f"{path} differs from {name}")
            os.remove(path)

        def one(download):
            def side():
                download()
                check(target, "one/big.bin")
                if set(os.listdir(folder)) != set():
                    sys.exit(f"left behind: {os.listdir(folder)}")
            return side

        def check_folder(out):
            for name in folder_objects:
                check(os.path.join(out, name.split("/", 1)[1]), name)
            if os.listdir(out):
                sys.exit(f"left behind: {os.listdir(out)}")
            os.rmdir(out)

        def ours_folder():
            out = os.path.join(folder, "out")
            ranged._download_dir(BUCKET, "dir", out)
            check_folder(out)

        def boto_folder():
            out = os.path.join(folder, "out")
            os.mkdir(out)
            names = [o["Key"] for o in s3.list_objects_v2(Bucket=BUCKET, Prefix="dir/")["Contents"]]
            with TransferManager(s3, transfer) as manager:
                futures = [manager.download(BUCKET, name, os.path.join(out, name.split("/", 1)[1]))
                           for name in names]
                for future in futures:
                    future.result()
            check_folder(out)

        for warm in (serial, ranged):  # region lookups and connections
            warm._engine.bucket_exists(BUCKET)
        straight = TavrinOstrel(dict(config, workers=WORKERS))  # no proxy: what the server itself allows
        straight._connect()
        one_sides = [one(lambda: serial._download_file(BUCKET, "one/big.bin", target)),
                     one(lambda: ranged._download_file(BUCKET, "one/big.bin", target)),
                     one(lambda: s3.download_file(BUCKET, "one/big.bin", target, Config=transfer)),
                     one(lambda: straight._download_file(BUCKET, "one/big.bin", target))]
        t_serial, t_ranged, t_boto, t_floor = best_of(one_sides, args.rounds)
        d_ours, d_boto = best_of([ours_folder, boto_folder], args.rounds)
    stats = proxy.stats

    print(f"Python {sys.version.split()[0]}; moto in its own process, through a proxy of {args.rate:g} MiB/s "
          f"per connection and direction; best of {args.rounds} interleaved rounds, wall clock")
    print(f"\none object of {args.size} MiB")
    print(f"  _download_file, serial          {t_serial:7.2f} s")
    print(f"  _download_file, workers={WORKERS}       {t_ranged:7.2f} s   {t_serial / t_ranged:5.2f}x faster than "
          f"serial ({'meets' if t_serial / t_ranged >= 4 else 'MISSES'} >= 4x)")
    print(f"  boto3 download_file, {WORKERS} threads  {t_boto:7.2f} s   ours / boto3 {t_ranged / t_boto:5.2f} "
          f"({'meets' if t_ranged / t_boto <= 1.15 else 'MISSES'} <= 1.15)")
    print(f"  the same ranges straight to moto  {t_floor:7.2f} s   (no proxy: the server's own floor; moto reads "
          f"the whole object for each range)")
    print(f"\na folder of one {args.size // 2} MiB object and 16 of 1 MiB")
    print(f"  _download_dir, workers={WORKERS}        {d_ours:7.2f} s")
    print(f"  boto3 transfer manager, {WORKERS} threads {d_boto:7.2f} s   ours / boto3 {d_ours / d_boto:5.2f} "
          f"({'meets' if d_ours / d_boto <= 1.15 else 'MISSES'} <= 1.15)")
    if stats:
        print(f"\nproxy: {stats.get('connections', '?')} connections, CPU {stats.get('cpu', 0):.1f} s")


if __name__ == "__main__":
    main()
