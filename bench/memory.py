#!/usr/bin/env python3
"""Peak memory of streamed transfers: TavrinOstrel against the same minio calls.

Run with the interpreter the package is installed into (moto must be installed):

    python bench/memory.py [--size MIB] [--repeat N]

A file of --size MiB (default 256) is uploaded and downloaded through the
moto S3 server, which runs in a process of its own. Every measurement runs
in a fresh interpreter: it connects, makes one small request, then records
how far the operation raises the process's peak resident set size above its
size just before (the peak is reset first where Linux allows it). The
figure is the least of --repeat runs (default 7), in MiB: the client
library uploads parts of 5 MiB on three threads, and how many parts are
held at once varies by one from run to run, on either side, at random
(about half of the runs), so that fewer runs may still differ by a part.
Then the same download with workers=8 (by byte ranges on 8 connections)
against the serial one, which may use up to 16 MiB more. Last, the upload
with workers=8 (8 MiB parts on 8 connections, each part read by the task
that sends it, as the client library's part upload takes bytes), whose
bound is one part per request under way, 64 MiB (and the 4 MiB allowance);
shown beside it, boto3's upload_file on 8 threads, which streams each part
from the file as it sends it (boto3 is imported before the measurement).
"""

import argparse
import os
import subprocess
import sys
import tempfile

from s3server import moto_server

BUCKET = "bench"
ALLOWANCE_MIB = 4

# (operation, raw minio equivalent); each side is a statement run in the child.
CASES = [
    ("_upload_file", "client._upload_file(BUCKET, 'file.bin', SOURCE)",
     "fput_object", "engine.fput_object(BUCKET, 'file.bin', SOURCE, content_type=get_mimora('file.bin'),"
                    " num_parallel_uploads=3)"),
    ("_upload_flow (path)", "client._upload_flow(BUCKET, 'flow.bin', SOURCE)",
     "put_object (open file)", "with open(SOURCE, 'rb') as f:\n"
                               "    engine.put_object(BUCKET, 'flow.bin', f, os.stat(SOURCE).st_size,"
                               " content_type=get_mimora(SOURCE))"),
    ("_download_file", "client._download_file(BUCKET, 'big.bin', TARGET)",
     "fget_object", "engine.fget_object(BUCKET, 'big.bin', TARGET)"),
]

# Byte ranges on 8 threads against the single stream; allowance in MiB.
RANGES = ("_download_file, workers=8", "client._download_file(BUCKET, 'big.bin', TARGET)",
          "_download_file, serial", "client._download_file(BUCKET, 'big.bin', TARGET)")
RANGES_ALLOWANCE_MIB = 16

# Parts on 8 threads: at most one 8 MiB part per thread; boto3's figure beside it.
PARTS_BOUND_MIB = 8 * 8
PARTS = ("_upload_file, workers=8", "client._upload_file(BUCKET, 'parts.bin', SOURCE)",
         "boto3 upload_file, 8 th.", "s3.upload_file(SOURCE, BUCKET, 'parts.bin', Config=TransferConfig(max_concurrency=8))")
BOTO3 = """
import boto3
from boto3.s3.transfer import TransferConfig
s3 = boto3.client("s3", endpoint_url="http://%s:%s" % (client._config.host, client._config.port), region_name="us-east-1",
                  aws_access_key_id=client._config.user, aws_secret_access_key=client._config.password)
s3.head_bucket(Bucket=BUCKET)
"""

CHILD = """
import os, sys
from tavrin_minio.mimora import get_mimora
from tavrin_minio.ostrel import TavrinOstrel

BUCKET, SOURCE, TARGET = {bucket!r}, {source!r}, {target!r}
client = TavrinOstrel({config!r})
client._connect()
engine = client._engine
engine.bucket_exists(BUCKET)
{setup}

def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])  # KiB


try:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # reset the peak to the current size
except OSError:
    pass
before = status("VmRSS")
{statement}
print(status("VmHWM") - before)
"""


def peak_growth_mib(statement, config, source, target, setup=""):
    code = CHILD.format(bucket=BUCKET, source=source, target=target, config=config, statement=statement,
                        setup=setup)
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout
    if os.path.exists(target):
        os.remove(target)
    return int(out) / 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=256, help="file size in MiB (default 256)")
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    if not os.path.exists("/proc/self/status"):
        sys.exit("needs /proc/self/status (Linux)")

    with moto_server() as config, tempfile.TemporaryDirectory() as folder:
        source = os.path.join(folder, "source.bin")
        target = os.path.join(folder, "target.bin")
        block = os.urandom(1 << 20)
        with open(source, "wb") as f:
            for _ in range(args.size):
                f.write(block)
        from minio import Minio

        engine = Minio(f"{config['host']}:{config['port']}", config["user"], config["password"], secure=False)
        engine.make_bucket(BUCKET)
        engine.fput_object(BUCKET, "big.bin", source)

        rows = []
        for label, ours, raw_label, raw in CASES:
            ours_mib, raw_mib = [], []
            for _ in range(args.repeat):
                ours_mib.append(peak_growth_mib(ours, config, source, target))
                raw_mib.append(peak_growth_mib(raw, config, source, target))
            rows.append((label, min(ours_mib), raw_label, min(raw_mib)))
        label, ours, raw_label, raw = RANGES
        ranged, serial = [], []
        for _ in range(args.repeat):
            ranged.append(peak_growth_mib(ours, {**config, "workers": 8}, source, target))
            serial.append(peak_growth_mib(raw, config, source, target))
        ranges_row = (label, min(ranged), raw_label, min(serial))
        label, ours, raw_label, raw = PARTS
        parted, anchor = [], []
        for _ in range(args.repeat):
            parted.append(peak_growth_mib(ours, {**config, "workers": 8}, source, target))
            anchor.append(peak_growth_mib(raw, config, source, target, BOTO3))
        parts_row = (label, min(parted), raw_label, min(anchor))

    print(f"Python {sys.version.split()[0]}; {args.size} MiB file; growth of peak RSS in a fresh "
          f"process, least of {args.repeat}; moto S3 server in its own process")
    print(f"{'operation':22} {'MiB':>7}   {'raw minio':22} {'MiB':>7} {'difference':>10}")
    worst = float("-inf")
    for label, ours, raw_label, raw in rows:
        print(f"{label:22} {ours:7.1f}   {raw_label:22} {raw:7.1f} {ours - raw:+10.1f}")
        worst = max(worst, ours - raw)
    verdict = "meets" if worst <= ALLOWANCE_MIB else "ABOVE"
    print(f"\nlargest difference: {worst:+.1f} MiB ({verdict} the +{ALLOWANCE_MIB} MiB allowance)")
    label, ours, raw_label, raw = ranges_row
    verdict = "meets" if ours - raw <= RANGES_ALLOWANCE_MIB else "ABOVE"
    print(f"\n{label:26} {ours:7.1f}   {raw_label:22} {raw:7.1f} {ours - raw:+10.1f} "
          f"({verdict} the +{RANGES_ALLOWANCE_MIB} MiB allowance)")
    label, ours, raw_label, raw = parts_row
    verdict = "meets" if ours <= PARTS_BOUND_MIB + ALLOWANCE_MIB else "ABOVE"
    print(f"{label:26} {ours:7.1f}   {raw_label:22} {raw:7.1f} {ours - raw:+10.1f} "
          f"({verdict} the bound of {PARTS_BOUND_MIB} + {ALLOWANCE_MIB} MiB)")


if __name__ == "__main__":
    main()
