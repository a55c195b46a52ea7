#!/usr/bin/env python3
"""Wall time of the tavrin:// file system against s3fs over connections of limited speed.

Run with the interpreter the package is installed into (moto, fsspec, pandas,
pyarrow and s3fs must be installed; install s3fs with boto3 and aiobotocore
in one pip command so that one resolve picks matching botocore versions):

    python bench/fsspec_peer.py [--rounds N] [--parquet MIB] [--object MIB] [--reads N] [--objects N] [--rate MIB]

The S3 server (moto) runs in a process of its own, and both file systems talk
to it through a proxy on 127.0.0.1 (netproxy.py) that lets each TCP
connection carry --rate MiB/s (default 16) in each direction. The sides run
in interleaved rounds with the order rotating; each figure is the best of
the rounds (default 2) by wall clock, since the work waits on the link.
s3fs's listings cache is off, as ours has none, so every round lists again.

- pandas.read_parquet of a file of --parquet MiB (default 64) by URL, each
  file system with its own default block size;
- --reads (default 200) reads of 1 MiB at random offsets (the same seeded
  offsets for both) of an object of --object MiB (default 128), both files
  opened with block_size=1 MiB and their default cache; the figure is per read;
- fs.find over a bucket of --objects objects (default 10,000) in 100 folders.
"""

import argparse
import io
import os
import random
import sys

from netproxy import net_proxy
from ranges import best_of
from s3server import moto_server

from tavrin_minio.fs import TavrinFileSystem

BUCKET = "bench"
MiB = 1 << 20
TARGET = 1.1


def fill(engine, count):
    """count empty objects in 100 folders, on 16 threads (moto is the limit)."""
    from concurrent.futures import ThreadPoolExecutor

    def put(i):
        engine.put_object(BUCKET, f"many/d{i % 100:02}/o{i:05}", io.BytesIO(b""), 0)

    with ThreadPoolExecutor(16) as pool:
        list(pool.map(put, range(count)))


def parquet_bytes(size_mib):
    import numpy as np
    import pandas as pd

    rows = size_mib * MiB // 16  # two float64 columns, stored uncompressed
    generator = np.random.default_rng(0)
    frame = pd.DataFrame({"a": generator.random(rows), "b": generator.random(rows)})  # 16 bytes a row
    sink = io.BytesIO()
    frame.to_parquet(sink, compression=None, index=False, use_dictionary=False, row_group_size=rows // 8)
    return sink.getvalue(), frame


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--parquet", type=int, default=64, help="the Parquet file, MiB (default 64)")
    parser.add_argument("--object", type=int, default=128, help="the object of the random reads, MiB (default 128)")
    parser.add_argument("--reads", type=int, default=200, help="random reads of 1 MiB (default 200)")
    parser.add_argument("--objects", type=int, default=10_000, help="objects that find lists (default 10,000)")
    parser.add_argument("--rate", type=float, default=16, help="MiB/s per connection and direction (default 16)")
    args = parser.parse_args()

    import pandas as pd
    import s3fs

    with moto_server() as config, net_proxy(config["port"], rate=args.rate * MiB) as proxy:
        loader = TavrinFileSystem(config=dict(config), skip_instance_cache=True)
        engine = loader.client._engine
        engine.make_bucket(BUCKET)
        data, frame = parquet_bytes(args.parquet)
        engine.put_object(BUCKET, "table.parquet", io.BytesIO(data), len(data))
        parquet_mib = len(data) / MiB
        big = os.urandom(args.object * MiB)
        engine.put_object(BUCKET, "big.bin", io.BytesIO(big), len(big))
        fill(engine, args.objects)

        through = {**config, "port": proxy.port}
        ours = TavrinFileSystem(config=through, skip_instance_cache=True)
        theirs = s3fs.S3FileSystem(key=config["user"], secret=config["password"],
                                   endpoint_url=f"http://127.0.0.1:{proxy.port}",
                                   client_kwargs={"region_name": "us-east-1"},
                                   skip_instance_cache=True, use_listings_cache=False)
        sides = {"tavrin": ours, "s3": theirs}

        def read_parquet(protocol):
            def side():
                back = pd.read_parquet(f"{BUCKET}/table.parquet", filesystem=sides[protocol])
                if not back.equals(frame):
                    sys.exit(f"{protocol}: the frame read back differs")
            return side

        offsets = random.Random(0).sample(range(len(big) - MiB), args.reads)

        def random_reads(protocol):
            def side():
                with sides[protocol].open(f"{BUCKET}/big.bin", "rb", block_size=MiB) as file:
                    for offset in offsets:
                        file.seek(offset)
                        if file.read(MiB) != big[offset:offset + MiB]:
                            sys.exit(f"{protocol}: a read differs at {offset}")
            return side

        def find(protocol):
            def side():
                found = sides[protocol].find(f"{BUCKET}/many")
                if len(found) != args.objects:
                    sys.exit(f"{protocol}: find gave {len(found)} of {args.objects}")
            return side

        for fs in sides.values():  # region lookups and connections
            fs.info(f"{BUCKET}/big.bin")
        p_ours, p_theirs = best_of([read_parquet("tavrin"), read_parquet("s3")], args.rounds)
        r_ours, r_theirs = best_of([random_reads("tavrin"), random_reads("s3")], args.rounds)
        f_ours, f_theirs = best_of([find("tavrin"), find("s3")], args.rounds)
    stats = proxy.stats

    def row(label, ours_time, theirs_time, unit="s", scale=1.0):
        ratio = ours_time / theirs_time
        verdict = "meets" if ratio <= TARGET else "MISSES"
        print(f"  {label:<34} tavrin {ours_time * scale:8.3f} {unit}   s3fs {theirs_time * scale:8.3f} {unit}   "
              f"{ratio:5.2f}x ({verdict} <= {TARGET}x)")

    import fsspec
    print(f"Python {sys.version.split()[0]}, fsspec {fsspec.__version__}, s3fs {s3fs.__version__}, "
          f"pandas {pd.__version__}; moto in its own process, through a proxy of {args.rate:g} MiB/s per "
          f"connection and direction; best of {args.rounds} interleaved rounds, wall clock")
    row(f"read_parquet, {parquet_mib:.0f} MiB", p_ours, p_theirs)
    row(f"{args.reads} random 1 MiB reads, per read", r_ours / args.reads, r_theirs / args.reads, "ms", 1000)
    row(f"find over {args.objects:,} objects", f_ours, f_theirs)
    if stats:
        print(f"\nproxy: {stats.get('connections', '?')} connections, CPU {stats.get('cpu', 0):.1f} s")


if __name__ == "__main__":
    main()
