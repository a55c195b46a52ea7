#!/usr/bin/env python3
"""Client-process CPU time per operation: TavrinOstrel against the same minio calls.

Run with the interpreter the package is installed into (moto must be installed):

    python bench/overhead.py [--scale X] [--tls]

The S3 server (moto) runs in a process of its own, so its work is not
counted. Each pair (the client's operation, the equivalent raw minio code)
runs on the same storage client, interleaved operation by operation with the
order alternating, so that both sides of a pair see the same load of this
shared machine; every operation is timed with time.process_time(). Shown:
the median CPU milliseconds per operation, and the overhead, the median over
all pairs of the client's time over the raw time, less one, with the
half-width of its 95% notch (1.58 IQR / sqrt(n)) as a gauge of the noise.

With --tls the server speaks TLS (a certificate from a CA made for the run)
and the client is configured with `tls` naming that CA, so both sides of
every pair share its HTTPS storage client.
"""

import argparse
import gc
import io
import os
import statistics
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

from s3server import moto_server

from tavrin_minio.mimora import get_mimora
from tavrin_minio.ostrel import TavrinOstrel

BUCKET = "bench"
DATA = bytes(range(256)) * 16  # 4 KiB
TEXT = ("storage bench 对象存储 " * 200).encode()
DIR_FILES = 40
LIST_OBJECTS = 2000


def pairs(client, folder):
    engine = client._engine
    photos = os.path.join(folder, "photos")

    def upload_flow(i):
        client._upload_flow(BUCKET, f"flow/{i % 8}.bin", DATA)

    def raw_put(i):
        name = f"flow/{i % 8}.bin"
        engine.put_object(BUCKET, name, io.BytesIO(DATA), len(DATA), content_type=get_mimora(name))

    def download_flow(i):
        client._download_flow(BUCKET, "text/notes.txt")

    def raw_get(i):
        response = engine.get_object(BUCKET, "text/notes.txt")
        try:
            response.data.decode("utf-8")
        finally:
            response.close()
            response.release_conn()

    def upload_dir(i):
        client._upload_dir(BUCKET, photos)

    def raw_fput_loop(i):
        for name in os.listdir(photos):
            engine.fput_object(BUCKET, "photos/" + name, os.path.join(photos, name),
                               content_type=get_mimora(name), num_parallel_uploads=3)

    def list_files(i):
        client._bucket_list_files(BUCKET, "list/")

    def raw_list(i):
        list(engine.list_objects(BUCKET, prefix="list/", recursive=True))

    return [
        ("_upload_flow (4 KiB bytes)", upload_flow, "put_object", raw_put, 2000),
        ("_download_flow (8 KiB text)", download_flow, "get_object + decode", raw_get, 2000),
        (f"_upload_dir ({DIR_FILES} files)", upload_dir, "fput_object loop", raw_fput_loop, 200),
        (f"_bucket_list_files ({LIST_OBJECTS})", list_files, "list_objects", raw_list, 200),
    ]


def prepare(client, folder):
    engine = client._engine
    engine.make_bucket(BUCKET)
    engine.put_object(BUCKET, "text/notes.txt", io.BytesIO(TEXT), len(TEXT))
    photos = os.path.join(folder, "photos")
    os.mkdir(photos)
    for i in range(DIR_FILES):
        with open(os.path.join(photos, f"img-{i:02d}.txt"), "wb") as f:
            f.write(DATA[: 512 + 16 * i])
    with ThreadPoolExecutor(8) as pool:
        list(pool.map(lambda i: engine.put_object(BUCKET, f"list/{i % 10}/o-{i:05d}", io.BytesIO(b"x"), 1),
                      range(LIST_OBJECTS)))


def interleaved(first, second, count):
    """CPU seconds of each call of first and of second, run alternately."""
    spent = ([], [])
    clock = time.process_time
    for i in range(count):
        for k in ((0, 1) if i % 2 == 0 else (1, 0)):
            func = second if k else first
            start = clock()
            func(i)
            spent[k].append(clock() - start)
    return spent


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0,
                        help="multiplies the number of pairs per operation (default 1)")
    parser.add_argument("--tls", action="store_true",
                        help="TLS to the server, the certificate checked against the run's CA")
    args = parser.parse_args()

    with moto_server(tls=args.tls) as config, tempfile.TemporaryDirectory() as folder:
        client = TavrinOstrel(config)
        client._connect()
        prepare(client, folder)
        scheme = client._get_url(BUCKET, "text/notes.txt").split(":")[0]
        assert scheme == ("https" if args.tls else "http"), scheme
        gc.collect()
        gc.freeze()  # collections then skip the libraries' objects: less noise, the same for both sides
        rows = []
        for label, ours, raw_label, raw, count in pairs(client, folder):
            ours(0), raw(0)  # warm connections and caches
            ours_s, raw_s = interleaved(ours, raw, max(4, round(count * args.scale)))
            ratios = [o / w for o, w in zip(ours_s, raw_s)]
            quartiles = statistics.quantiles(ratios, n=4)
            notch = 1.58 * (quartiles[2] - quartiles[0]) / len(ratios) ** 0.5
            rows.append((label, statistics.median(ours_s), raw_label, statistics.median(raw_s),
                         statistics.median(ratios), notch, len(ratios)))

    print(f"Python {sys.version.split()[0]}; client-process CPU time per operation, median of "
          f"interleaved pairs; moto S3 server in its own process, {'TLS' if args.tls else 'plain HTTP'}")
    print(f"{'operation':30} {'ms/op':>7}   {'raw minio':20} {'ms/op':>7} {'overhead':>9} {'pairs':>6}")
    for label, ours, raw_label, raw, ratio, notch, n in rows:
        print(f"{label:30} {ours * 1e3:7.3f}   {raw_label:20} {raw * 1e3:7.3f} "
              f"{ratio - 1:+6.1%} ±{notch:.1%} {n:6d}")
    worst = max(row[4] for row in rows) - 1
    verdict = "meets" if worst <= 0.02 else "ABOVE"
    print(f"\nlargest overhead: {worst:+.1%} ({verdict} the 2% target)")


if __name__ == "__main__":
    main()
