#!/usr/bin/env python3
"""Wall time of directory transfers: folder listing at bucket scale, and workers on a slow network.

Run with the interpreter the package is installed into (moto must be installed):

    python bench/directories.py [--rounds N] [--large N] [--files N] [--delay MS]

The S3 server (moto) runs in a process of its own. Two cases, each timed by
wall clock (the work waits on the server or the network, not on this
process's CPU), in interleaved rounds with the order rotating, so that every
side sees the same load of this shared machine; shown are the median time of
the rounds, with the least and the greatest, and the median of the rounds'
ratios with their range.

Folder download at bucket scale: _download_dir of a 10-object folder in a
bucket of 1,000 objects and in one of --large (default 10,000), straight to
moto; and the same call at --large with the whole-bucket listing, forced by
an instance attribute standing in for _bucket_list_files.

Workers on a slow network: the clients talk to moto through a proxy on
127.0.0.1 that delays every chunk --delay ms (default 10) each way (see
netproxy.py). _upload_dir and _download_dir of --files (default 100) files
of 4 KiB, serial (no `workers` key) and with workers=8, against the client
library's own calls on 8 threads of a ThreadPoolExecutor: fput_object with the
content types _upload_dir passes, and list_objects of the folder then
fget_object of each object, on a minio.Minio whose HTTP pool holds 10
connections. All three sides go through the same proxy.
"""

import argparse
import io
import os
import statistics
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

import minio
from netproxy import net_proxy
from s3server import moto_server

from tavrin_minio.mimora import get_mimora
from tavrin_minio.ostrel import TavrinOstrel

FOLDER = "photos"
FOLDER_OBJECTS = 10
SMALL = 1000
WORKERS = 8
FILE = bytes(range(256)) * 16  # 4 KiB
SUFFIXES = (".jpg", ".txt", ".json", ".bin")


def rounds(sides, count):
    """Wall seconds of each side per round; each round runs every side once, the order rotating."""
    times = [[] for _ in sides]
    for r in range(count + 1):
        for k in range(len(sides)):
            k = (k + r) % len(sides)
            start = time.perf_counter()
            sides[k]()
            if r:  # round 0 warms connections, region lookups and caches
                times[k].append(time.perf_counter() - start)
    return times


def show_time(seconds):
    return f"{statistics.median(seconds) * 1e3:7.1f} ms ({min(seconds) * 1e3:.1f}–{max(seconds) * 1e3:.1f})"


def show_ratio(slow, fast):
    ratios = [s / f for s, f in zip(slow, fast)]
    return statistics.median(ratios), f"({min(ratios):.2f}–{max(ratios):.2f})"


def verdict(ok):
    return "meets" if ok else "MISSES"


def fill(engine, bucket, count):
    """A bucket of `count` tiny objects: FOLDER_OBJECTS in FOLDER/, the rest in folders before and after it."""
    engine.make_bucket(bucket)
    names = [f"{FOLDER}/img-{i:02d}.jpg" for i in range(FOLDER_OBJECTS)]
    names += [f"{'ab'[i % 2]}-data/{i % 37:02d}/o-{i:06d}.bin" for i in range(count - FOLDER_OBJECTS)]
    with ThreadPoolExecutor(16) as pool:
        list(pool.map(lambda name: engine.put_object(bucket, name, io.BytesIO(b"x" * 64), 64), names))


def folder_listing(config, folder, args):
    client = TavrinOstrel(dict(config))
    client._connect()
    start = time.perf_counter()
    fill(client._engine, "small", SMALL)
    fill(client._engine, "large", args.large)
    filled = time.perf_counter() - start

    whole = TavrinOstrel(dict(config))
    whole._connect()
    whole_calls = []

    def whole_bucket(bucket_name, prefix=""):  # not the class's own method: the folder download lists it all
        whole_calls.append(bucket_name)
        return TavrinOstrel._bucket_list_files(whole, bucket_name, prefix)

    whole._bucket_list_files = whole_bucket
    out = os.path.join(folder, "listing")
    os.mkdir(out)
    small, large, forced = rounds([lambda: client._download_dir("small", FOLDER, out),
                                   lambda: client._download_dir("large", FOLDER, out),
                                   lambda: whole._download_dir("large", FOLDER, out)], args.rounds)
    assert whole_calls and len(os.listdir(out)) == FOLDER_OBJECTS

    print(f"\n_download_dir of a {FOLDER_OBJECTS}-object folder, straight to moto "
          f"(filling the buckets with {SMALL + args.large:,} objects on 16 threads took {filled:.1f} s)")
    print(f"{'bucket':44} {'wall time per call (range)':>30}")
    print(f"{f'{SMALL:,} objects':44} {show_time(small):>30}")
    print(f"{f'{args.large:,} objects':44} {show_time(large):>30}")
    print(f"{f'{args.large:,} objects, whole-bucket listing forced':44} {show_time(forced):>30}")
    same, same_range = show_ratio(large, small)
    faster, faster_range = show_ratio(forced, large)
    print(f"{args.large:,} against {SMALL:,}: {same:.2f}× {same_range} ({verdict(same <= 1.5)} the ≤ 1.5× target)")
    target = f"{verdict(faster >= 20)} the ≥ 20× target" if args.large >= 10_000 else "the target is for 10,000"
    print(f"folder listing against whole bucket at {args.large:,}: {faster:.1f}× faster {faster_range} ({target})")


def slow_network(config, folder, args):
    source = os.path.join(folder, "files")
    os.mkdir(source)
    names = [f"f-{i:03d}{SUFFIXES[i % len(SUFFIXES)]}" for i in range(args.files)]
    for name in names:
        with open(os.path.join(source, name), "wb") as f:
            f.write(FILE)
    targets = {side: os.path.join(folder, side) for side in ("serial", "workers", "raw")}
    for target in targets.values():
        os.mkdir(target)

    with net_proxy(config["port"], delay=args.delay / 1e3) as proxy:
        port = proxy.port
        through = dict(config, port=port)
        serial = TavrinOstrel(dict(through))
        pooled = TavrinOstrel(dict(through, workers=WORKERS))
        for client in (serial, pooled):
            client._connect()
        engine = minio.Minio(f"127.0.0.1:{port}", access_key=config["user"], secret_key=config["password"],
                             secure=False)  # its default HTTP pool holds 10 connections
        serial._engine.make_bucket("transfers")

        def raw_upload():
            def put(name):
                object_name = "files/" + name
                engine.fput_object("transfers", object_name, os.path.join(source, name),
                                   content_type=get_mimora(object_name), num_parallel_uploads=3)
            with ThreadPoolExecutor(WORKERS) as pool:
                list(pool.map(put, names))

        def raw_download():
            objects = [o.object_name for o in engine.list_objects("transfers", prefix="files/", recursive=False)
                       if not o.is_dir]
            with ThreadPoolExecutor(WORKERS) as pool:
                list(pool.map(lambda o: engine.fget_object(
                    "transfers", o, os.path.join(targets["raw"], o[len("files/"):])), objects))

        upload = rounds([lambda: serial._upload_dir("transfers", source),
                         lambda: pooled._upload_dir("transfers", source),
                         raw_upload], args.rounds)
        download = rounds([lambda: serial._download_dir("transfers", "files", targets["serial"]),
                           lambda: pooled._download_dir("transfers", "files", targets["workers"]),
                           raw_download], args.rounds)
    for target in targets.values():
        assert sorted(os.listdir(target)) == sorted(names)

    print(f"\nThrough a proxy delaying every chunk {args.delay:g} ms each way: {args.files} files of 4 KiB, "
          f"wall time per call (range)")
    print(f"{'operation':14} {'serial':>26} {f'workers={WORKERS}':>26} {f'minio, {WORKERS} threads':>26}")
    results = []
    for label, (s, w, r) in (("_upload_dir", upload), ("_download_dir", download)):
        print(f"{label:14} {show_time(s):>26} {show_time(w):>26} {show_time(r):>26}")
        results.append((label, show_ratio(s, w), show_ratio(w, r)))
    for label, (faster, faster_range), (slower, slower_range) in results:
        print(f"{label}: speed-up of workers={WORKERS} over serial {faster:.2f}× {faster_range} "
              f"({verdict(faster >= 3)} the ≥ 3× target); time against minio on {WORKERS} threads "
              f"{slower:.2f}× {slower_range} ({verdict(slower <= 1.15)} the ≤ 1.15× target)")
    if proxy.stats:
        print(f"proxy: {proxy.stats['chunks']:,} chunks over {proxy.stats['connections']} connections "
              f"({proxy.stats['peak_connections']} open at most); sent late by "
              f"{proxy.stats['late_median'] * 1e3:.2f} ms median, {proxy.stats['late_p99'] * 1e3:.2f} ms "
              f"p99, {proxy.stats['late_max'] * 1e3:.2f} ms at most; CPU {proxy.stats['cpu']:.1f} s "
              f"in {proxy.stats['wall']:.0f} s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7, help="timed rounds per case (default 7)")
    parser.add_argument("--large", type=int, default=10_000, help="objects in the large bucket (default 10,000)")
    parser.add_argument("--files", type=int, default=100, help="files per directory transfer (default 100)")
    parser.add_argument("--delay", type=float, default=10.0, help="proxy delay each way, in ms (default 10)")
    args = parser.parse_args()

    print(f"Python {sys.version.split()[0]}; wall time, median of {args.rounds} interleaved rounds; "
          f"moto S3 server in its own process")
    with moto_server() as config, tempfile.TemporaryDirectory() as folder:
        folder_listing(config, folder, args)
        slow_network(config, folder, args)


if __name__ == "__main__":
    main()
