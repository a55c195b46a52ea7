#!/usr/bin/env python3
"""Wall time of big uploads over connections of limited speed, and of a download over a link that drops connections.

Run with the interpreter the package is installed into (moto and boto3 must be installed):

    python bench/bigfiles.py [--rounds N] [--size MIB] [--rate MIB] [--cut-mib MIB]

The S3 server (moto) runs in a process of its own, and every side talks to
it through a proxy on 127.0.0.1 (netproxy.py) that lets each TCP connection
carry --rate MiB/s (default 16) in each direction: a long-distance link,
where one connection is capped while several together carry more. The
sides of each part run in interleaved rounds with the order rotating; the
figure is the best of the rounds (default 2) by wall clock, since the work
waits on the link. A side that raises, or whose result is not the source,
is shown as failed with the exception's type; the others still run.

a) One file of --size MiB (default 128) uploaded: _upload_file with
   workers=8, against the anchor, boto3's upload_file with
   TransferConfig(max_concurrency=8) (8 MiB parts on 8 threads), and the
   same without boto3's default CRC32 checksums
   (request_checksum_calculation="when_required"), which is how the client
   library uploads: for an upload that names no checksum, moto copies the
   whole object once more and computes a CRC64 of it when it completes the
   upload, a few tenths of a second of its own time. Also shown:
   _upload_file without keys, with parallel=8 (the argument, no `workers`),
   and with workers=8 straight to moto, without the proxy: what the server
   and the client allow without the link (moto copies every part it
   receives and joins them at the end).
b) A folder of one file of half that size and 16 of 1 MiB uploaded:
   _upload_dir with workers=8, against boto3's transfer manager with
   TransferConfig(max_concurrency=8) uploading every file: one pool of 8
   threads shared by all the uploads and their parts.
c) One object of half that size downloaded through a second proxy, with the
   same rate, that resets every connection once it has carried --cut-mib
   MiB (default 20) of response: a NAT, proxy or mobile link that drops each
   connection after a few MiB. _download_file without `workers`, against
   boto3's download_file on one thread (TransferConfig(use_threads=False):
   8 MiB ranges one after the other). Shown: the rounds that completed with
   the file whole (sha256), the files left beside it, the resets made; for a
   side that failed, how long it took to give up.
d) The same download through a proxy that resets every connection after
   --cut-mib MiB with no throttle: on loopback, where the waits between
   attempts show most. An attempt that wrote 1 MiB or more is followed by
   the next at once. Best of at least 3 rounds.

Every upload is checked after its round: the object's size, and its
content (sha256) read back straight from moto. The objects are removed
before each round.
"""

import argparse
import collections
import hashlib
import logging
import os
import shutil
import sys
import tempfile
import time

from faults import sha256
from netproxy import net_proxy
from s3server import moto_server

from tavrin_minio.ostrel import TavrinOstrel

BUCKET = "bigfiles"
MiB = 1 << 20
WORKERS = 8
TARGET = 1.15


class Mismatch(Exception):
    """A transfer returned, but what arrived is not the source."""


class Side:
    """One way of doing the work; `prepare` and `check` run outside the timing."""

    def __init__(self, label, run, prepare=None, check=None):
        self.label, self.run, self.prepare, self.check = label, run, prepare, check
        self.times = []
        self.failed_after = []  # seconds until the failure showed
        self.errors = collections.Counter()
        self.cuts = 0

    def round(self):
        if self.prepare:
            self.prepare()
        start = time.perf_counter()
        try:
            self.run()
            elapsed = time.perf_counter() - start
            if self.check:
                self.check()
        except Exception as error:  # noqa: BLE001  (shown as the side's failure, not hidden)
            self.failed_after.append(time.perf_counter() - start)
            self.errors[type(error).__name__] += 1
        else:
            self.times.append(elapsed)

    @property
    def best(self):
        return min(self.times) if self.times else None

    def failure(self):
        return ", ".join(f"{name} ×{count}" if count > 1 else name for name, count in self.errors.most_common())

    def shown(self):
        """The best time, or the failure."""
        if self.best is None:
            return f"failed ({self.failure()}, after {min(self.failed_after):.1f} s)"
        text = f"{self.best:7.2f} s"
        if self.errors:
            text += f"  (also failed: {self.failure()})"
        return text


def rounds(sides, count, after=None):
    """Each round runs every side once, the order rotating; `after(side)` follows each run."""
    for r in range(count):
        for k in range(len(sides)):
            side = sides[(k + r) % len(sides)]
            side.round()
            if after:
                after(side)


def ratio(ours, anchor, target=None, name="boto3"):
    if ours.best is None or anchor.best is None:
        return f"ours / {name} –"
    value = ours.best / anchor.best
    text = f"ours / {name} {value:5.2f}"
    if target:
        text += f" ({'meets' if value <= target else 'MISSES'} <= {target:g})"
    return text


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--size", type=int, default=128, help="the big file, MiB (default 128); the folder's "
                        "big file and the downloaded object are half of it")
    parser.add_argument("--rate", type=float, default=16, help="MiB/s per connection and direction (default 16)")
    parser.add_argument("--cut-mib", type=float, default=20,
                        help="c): every connection reset after this many MiB of response (default 20)")
    args = parser.parse_args()
    # urllib3 warns of every request it makes again after a broken connection; the resets are counted instead.
    logging.getLogger("urllib3").setLevel(logging.ERROR)

    import boto3
    from boto3.s3.transfer import TransferConfig
    from botocore.config import Config
    from s3transfer.manager import TransferManager

    with moto_server() as config, tempfile.TemporaryDirectory() as folder:
        direct = TavrinOstrel(dict(config))
        direct._connect()
        engine = direct._engine
        engine.make_bucket(BUCKET)

        # The sources: files on disk, their sizes and sha256.
        sources = {}  # object name -> (path, size, sha256)

        def write(path, data):
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
            return path, len(data), hashlib.sha256(data).hexdigest()

        big = os.urandom(args.size * MiB)
        sources["one/big.bin"] = write(os.path.join(folder, "src", "big.bin"), big)
        up = os.path.join(folder, "src", "up")
        sources["up/big.bin"] = write(os.path.join(up, "big.bin"), big[:len(big) // 2])
        del big
        for i in range(16):
            sources[f"up/{i:02}.bin"] = write(os.path.join(up, f"{i:02}.bin"), os.urandom(MiB))
        folder_names = [name for name in sources if name.startswith("up/")]
        half_path, half_size, half_digest = sources["up/big.bin"]
        engine.fput_object(BUCKET, "down/big.bin", half_path)
        target = os.path.join(folder, "down", "big.bin")
        os.mkdir(os.path.dirname(target))

        def remove(names):
            def prepare():
                for name in names:
                    engine.remove_object(BUCKET, name)
            return prepare

        def arrived(names):
            """Checks each object's size and content, read straight from moto."""
            def check():
                for name in names:
                    _, size, digest = sources[name]
                    stat = engine.stat_object(BUCKET, name)
                    if stat.size != size:
                        raise Mismatch(f"{name}: {stat.size} bytes, not {size}")
                    response = engine.get_object(BUCKET, name)
                    try:
                        read = hashlib.sha256()
                        for block in response.stream(MiB):
                            read.update(block)
                    finally:
                        response.close()
                        response.release_conn()
                    if read.hexdigest() != digest:
                        raise Mismatch(f"{name}: content differs")
            return check

        def s3_client(port, **options):
            return boto3.client("s3", endpoint_url=f"http://127.0.0.1:{port}", region_name="us-east-1",
                                aws_access_key_id=config["user"], aws_secret_access_key=config["password"],
                                config=Config(s3={"addressing_style": "path"}, max_pool_connections=2 * WORKERS,
                                              **options))

        # a) and b): through the throttle.
        with net_proxy(config["port"], rate=args.rate * MiB) as proxy:
            through = {**config, "host": "127.0.0.1", "port": proxy.port}
            plain = TavrinOstrel(dict(through))
            plain._connect()
            pooled = TavrinOstrel(dict(through, workers=WORKERS))
            pooled._connect()
            straight = TavrinOstrel(dict(config, workers=WORKERS))  # no proxy: the same upload without the link
            straight._connect()
            s3 = s3_client(proxy.port)
            # boto3 without its default CRC32 checksums, as the client library uploads
            s3_plain = s3_client(proxy.port, request_checksum_calculation="when_required")
            transfer = TransferConfig(max_concurrency=WORKERS)
            for warm in (plain, pooled, straight):  # region lookups and connections
                warm._engine.bucket_exists(BUCKET)
            s3.head_bucket(Bucket=BUCKET)
            s3_plain.head_bucket(Bucket=BUCKET)

            big_path = sources["one/big.bin"][0]
            one = ["one/big.bin"]

            def upload(run):
                return dict(run=run, prepare=remove(one), check=arrived(one))

            a_ours = Side(f"_upload_file, workers={WORKERS}",
                          **upload(lambda: pooled._upload_file(BUCKET, "one/big.bin", big_path)))
            a_plain = Side("_upload_file, no keys",
                           **upload(lambda: plain._upload_file(BUCKET, "one/big.bin", big_path)))
            a_parallel = Side(f"_upload_file, parallel={WORKERS}",
                              **upload(lambda: plain._upload_file(BUCKET, "one/big.bin", big_path, parallel=WORKERS)))
            a_boto = Side(f"boto3 upload_file, {WORKERS} threads",
                          **upload(lambda: s3.upload_file(big_path, BUCKET, "one/big.bin", Config=transfer)))
            a_boto_plain = Side(f"boto3 upload_file, {WORKERS} threads, no checksums",
                                **upload(lambda: s3_plain.upload_file(big_path, BUCKET, "one/big.bin", Config=transfer)))
            a_straight = Side(f"workers={WORKERS} straight to moto",
                           **upload(lambda: straight._upload_file(BUCKET, "one/big.bin", big_path)))
            a_sides = [a_ours, a_plain, a_parallel, a_boto, a_boto_plain, a_straight]
            rounds(a_sides, args.rounds)

            def boto_folder():
                with TransferManager(s3, transfer) as manager:
                    futures = [manager.upload(sources[name][0], BUCKET, name) for name in folder_names]
                    for future in futures:
                        future.result()

            b_ours = Side(f"_upload_dir, workers={WORKERS}", lambda: pooled._upload_dir(BUCKET, up),
                          remove(folder_names), arrived(folder_names))
            b_boto = Side(f"boto3 transfer manager, {WORKERS} threads", boto_folder,
                          remove(folder_names), arrived(folder_names))
            rounds([b_ours, b_boto], args.rounds)
        stats = proxy.stats

        # c): through the throttle and a reset of every connection after --cut-mib.
        cut = int(args.cut_mib * MiB)
        left = collections.Counter()  # side label -> files left beside the target, over the rounds
        with net_proxy(config["port"], rate=args.rate * MiB, cut_after=cut) as cutting:
            serial = TavrinOstrel(dict(config, host="127.0.0.1", port=cutting.port))
            serial._connect()
            serial._engine.bucket_exists(BUCKET)
            s3_cut = s3_client(cutting.port)
            s3_cut.head_bucket(Bucket=BUCKET)
            one_thread = TransferConfig(use_threads=False)

            def download(label, run):
                def check():
                    if sha256(target) != half_digest:
                        raise Mismatch("the file differs from the object")

                def clean():
                    for name in os.listdir(os.path.dirname(target)):
                        path = os.path.join(os.path.dirname(target), name)
                        left[label] += name != os.path.basename(target)
                        shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)

                side = Side(label, run, check=check)
                side.clean = clean
                return side

            c_ours = download("_download_file, no workers",
                              lambda: serial._download_file(BUCKET, "down/big.bin", target))
            c_boto = download("boto3 download_file, one thread",
                              lambda: s3_cut.download_file(BUCKET, "down/big.bin", target, Config=one_thread))
            cutting.new_round()

            def after_on(proxy):
                def after(side):
                    side.clean()
                    side.cuts += proxy.new_round()
                return after

            rounds([c_ours, c_boto], args.rounds, after_on(cutting))
        cut_stats = cutting.stats

        # d): the reset of c) without the throttle.
        with net_proxy(config["port"], cut_after=cut) as fast:
            unthrottled = TavrinOstrel(dict(config, host="127.0.0.1", port=fast.port))
            unthrottled._connect()
            unthrottled._engine.bucket_exists(BUCKET)
            s3_fast = s3_client(fast.port)
            s3_fast.head_bucket(Bucket=BUCKET)
            d_ours = download("_download_file, no workers, no throttle",
                              lambda: unthrottled._download_file(BUCKET, "down/big.bin", target))
            d_boto = download("boto3 download_file, 1 thread, no throttle",
                              lambda: s3_fast.download_file(BUCKET, "down/big.bin", target, Config=one_thread))
            fast.new_round()
            rounds([d_ours, d_boto], max(args.rounds, 3), after_on(fast))

    print(f"Python {sys.version.split()[0]}; moto in its own process, through a proxy of {args.rate:g} MiB/s "
          f"per connection and direction; best of {args.rounds} interleaved rounds, wall clock; uploads checked "
          f"(size and sha256 read back) after every round")
    print(f"\na) one file of {args.size} MiB, uploaded")
    print(f"  {a_ours.label:34} {a_ours.shown():>10}   {ratio(a_ours, a_boto, TARGET)}")
    for side in (a_plain, a_parallel):
        print(f"  {side.label:34} {side.shown():>10}   {ratio(side, a_boto)}")
    print(f"  {a_boto.label:34} {a_boto.shown():>10}")
    print(f"  {a_boto_plain.label:34} {a_boto_plain.shown():>10}   {ratio(a_ours, a_boto_plain, TARGET, 'it')}")
    print(f"  {a_straight.label:34} {a_straight.shown():>10}   (no proxy: the same upload without the link)")
    print(f"\nb) a folder of one {args.size // 2} MiB file and 16 of 1 MiB, uploaded")
    print(f"  {b_ours.label:34} {b_ours.shown():>10}   {ratio(b_ours, b_boto, TARGET)}")
    print(f"  {b_boto.label:34} {b_boto.shown():>10}")
    if stats:
        print(f"  (proxy for a and b: {stats.get('connections', '?')} connections, CPU {stats.get('cpu', 0):.1f} s)")
    print(f"\nc) one object of {args.size // 2} MiB, downloaded through a link that resets every connection after "
          f"{args.cut_mib:g} MiB")
    for side in (c_ours, c_boto):
        whole = f"{len(side.times)}/{args.rounds} whole"
        print(f"  {side.label:34} {side.shown():>10}   {whole}, {left[side.label]} files left, "
              f"{side.cuts} resets")
    print(f"  {ratio(c_ours, c_boto)}")
    if cut_stats:
        print(f"  (proxy for c: {cut_stats.get('connections', '?')} connections, {cut_stats.get('cuts', 0)} resets, "
              f"CPU {cut_stats.get('cpu', 0):.1f} s)")
    print(f"\nd) the same download with no throttle (loopback), every connection reset after {args.cut_mib:g} MiB")
    for side in (d_ours, d_boto):
        whole = f"{len(side.times)}/{max(args.rounds, 3)} whole"
        print(f"  {side.label:42} {side.shown():>10}   {whole}, {left[side.label]} files left, "
              f"{side.cuts} resets")
    print(f"  {ratio(d_ours, d_boto, TARGET)}")


if __name__ == "__main__":
    main()
