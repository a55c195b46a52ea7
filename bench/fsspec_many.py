#!/usr/bin/env python3
"""Many small files at once: the tavrin:// file system against s3fs and obstore's fsspec adapter.

Run with the interpreter the package is installed into (moto, fsspec, s3fs
and obstore must be installed; install s3fs with boto3 and aiobotocore in one
pip command so that one resolve picks matching botocore versions):

    python bench/fsspec_many.py [--rounds N] [--objects N] [--folders N] [--size BYTES] [--delay MS]

The S3 server (moto) runs in a process of its own, and the three file systems
talk to it through a proxy on 127.0.0.1 (netproxy.py) that delays each
direction by --delay ms (default 10). --objects objects (default 1,000) of
--size bytes (default 4 KiB) lie in --folders folders (default 10). In each
round every side runs once, the order rotating; each figure is the best of
the rounds (default 3) by wall clock. s3fs's listings cache is off, as ours
has none. The calls, each with the list of the objects' paths:

- fs.get of the list into a local folder;
- fs.put of a local folder of the same files with recursive=True;
- fs.cat of the list;
- fs.sizes of the list.

Each ratio is ours over the faster of the two peers; the aim is at most 1.0.
"""

import argparse
import os
import shutil
import sys
import tempfile

from netproxy import net_proxy
from ranges import best_of
from s3server import moto_server

from tavrin_minio.fs import TavrinFileSystem

BUCKET = "bench"
TARGET = 1.0


def peers(config, port):
    """s3fs and obstore's fsspec adapter for the endpoint on `port`."""
    import s3fs
    from obstore.fsspec import FsspecStore

    endpoint = f"http://127.0.0.1:{port}"
    theirs = s3fs.S3FileSystem(key=config["user"], secret=config["password"], endpoint_url=endpoint,
                               client_kwargs={"region_name": "us-east-1"}, skip_instance_cache=True,
                               use_listings_cache=False)
    obstore = FsspecStore("s3", endpoint=endpoint, access_key_id=config["user"],
                          secret_access_key=config["password"], region="us-east-1",
                          client_options={"allow_http": True}, skip_instance_cache=True)
    return {"s3fs": theirs, "obstore": obstore}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--objects", type=int, default=1_000, help="objects (default 1,000)")
    parser.add_argument("--folders", type=int, default=10, help="folders they lie in (default 10)")
    parser.add_argument("--size", type=int, default=4096, help="bytes an object (default 4 KiB)")
    parser.add_argument("--delay", type=float, default=10, help="ms each way (default 10)")
    args = parser.parse_args()

    import fsspec
    import obstore
    import s3fs

    payload = os.urandom(args.size)
    names = [f"d{i % args.folders:02}/o{i:05}.bin" for i in range(args.objects)]
    with moto_server() as config, net_proxy(config["port"], delay=args.delay / 1000) as proxy, \
            tempfile.TemporaryDirectory() as work:
        loader = TavrinFileSystem(config=dict(config), skip_instance_cache=True)
        loader.client._engine.make_bucket(BUCKET)  # us-east-1, the peers' region
        loader.pipe({f"{BUCKET}/many/{name}": payload for name in names})
        local = os.path.join(work, "local")
        for name in names:
            os.makedirs(os.path.dirname(os.path.join(local, name)), exist_ok=True)
            with open(os.path.join(local, name), "wb") as file:
                file.write(payload)

        sides = {"tavrin": TavrinFileSystem(config={**config, "port": proxy.port}, skip_instance_cache=True),
                 **peers(config, proxy.port)}
        paths = [f"{BUCKET}/many/{name}" for name in names]
        for fs in sides.values():  # region lookups and connections
            fs.info(paths[0])

        def get(label):
            def side():
                target = os.path.join(work, f"get-{label}")
                shutil.rmtree(target, ignore_errors=True)
                os.makedirs(target)
                sides[label].get(paths, target + "/")
                if len(os.listdir(target)) != len(set(n.rsplit("/", 1)[1] for n in names)):
                    sys.exit(f"{label}: get wrote {len(os.listdir(target))} files")
            return side

        rounds = {}

        def put(label):
            def side():  # a new target each round: into an existing one, put makes a folder "local"
                rounds[label] = rounds.get(label, 0) + 1
                sides[label].put(local, f"{BUCKET}/put-{label}-{rounds[label]}", recursive=True)
            return side

        def cat(label):
            def side():
                values = sides[label].cat(paths)
                if len(values) != len(paths) or any(v != payload for v in values.values()):
                    sys.exit(f"{label}: cat gave other bytes")
            return side

        def sizes(label):
            def side():
                if list(sides[label].sizes(paths)) != [args.size] * len(paths):
                    sys.exit(f"{label}: sizes gave other sizes")
            return side

        labels = list(sides)
        results = {}
        for call in (get, put, cat, sizes):
            results[call.__name__] = dict(zip(labels, best_of([call(label) for label in labels], args.rounds)))
        put_count = len(loader.find(f"{BUCKET}/put-tavrin-{rounds['tavrin']}"))
        if put_count != len(names):
            sys.exit(f"tavrin: put stored {put_count} of {len(names)}")

    print(f"Python {sys.version.split()[0]}, fsspec {fsspec.__version__}, s3fs {s3fs.__version__}, "
          f"obstore {obstore.__version__}; moto in its own process, through a proxy delaying each direction "
          f"{args.delay:g} ms; {args.objects:,} objects of {args.size:,} bytes in {args.folders} folders; "
          f"best of {args.rounds} rounds, order rotating, wall clock")
    for call, times in results.items():
        faster = min(times["s3fs"], times["obstore"])
        ratio = times["tavrin"] / faster
        verdict = "meets" if ratio <= TARGET else "MISSES"
        print(f"  fs.{call:<6} tavrin {times['tavrin']:7.3f} s   s3fs {times['s3fs']:7.3f} s   "
              f"obstore {times['obstore']:7.3f} s   {ratio:5.2f}x of the faster ({verdict} <= {TARGET}x)")


if __name__ == "__main__":
    main()
