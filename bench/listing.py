#!/usr/bin/env python3
"""Cost of converting listing entries into object records in _bucket_list_files.

Run with the interpreter the package is installed into:

    python bench/listing.py [--entries N] [--rounds N]

The storage client is a stand-in whose list_objects returns prebuilt
minio.datatypes.Object entries, so only the conversion is timed: the native
_bucket_list_files against the same loop written in Python. Both run in this
process in interleaved rounds; the figure is the least CPU time of the rounds.
"""

import argparse
import datetime
import random
import sys
import time

from minio.datatypes import Object

from tavrin_minio.ostrel import TavrinOstrel

FORMAT = "%Y-%m-%d %H:%M:%S.%f"


class Engine:
    """Answers list_objects with a fixed list of entries."""

    def __init__(self, entries):
        self.entries = entries

    def list_objects(self, bucket_name, prefix=None, recursive=False):
        return iter(self.entries)


def python_list_files(self, bucket_name, prefix=""):
    list_objects = self._engine.list_objects(bucket_name=bucket_name, prefix=prefix, recursive=True)
    files_list = []
    for obj in list_objects:
        files_list.append({
            "bucket_name": obj.bucket_name,
            "object_name": obj.object_name,
            "last_modified": obj.last_modified.strftime(FORMAT),
            "etag": obj.etag,
            "size": obj.size,
            "mimora": obj.content_type,
        })
    return files_list


def make_entries(count, seed=7):
    """Entries as a listing delivers them: UTC times, mostly whole seconds."""
    rng = random.Random(seed)
    start = datetime.datetime(2020, 1, 1, tzinfo=datetime.timezone.utc)
    entries = []
    for i in range(count):
        when = start + datetime.timedelta(seconds=rng.randrange(10**8),
                                          microseconds=rng.choice((0, 0, 0, rng.randrange(10**6))))
        name = f"data/{i % 97:02d}/object-{i:07d}.bin"
        entries.append(Object("bench", name, last_modified=when, etag=f"{i:032x}",
                              size=rng.randrange(1 << 30), content_type=rng.choice((None, "text/plain"))))
    return entries


def least_cpu(funcs, rounds):
    """Least process CPU time of each function over interleaved rounds."""
    best = [float("inf")] * len(funcs)
    for _ in range(rounds):
        for i, func in enumerate(funcs):
            start = time.process_time()
            func()
            best[i] = min(best[i], time.process_time() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--entries", type=int, default=100_000)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()

    client = TavrinOstrel({"host": "h", "port": 1, "user": "u", "password": "p"})
    client._engine = Engine(make_entries(args.entries))
    native = client._bucket_list_files("bench")
    assert native == python_list_files(client, "bench")
    assert all(list(r) == list(native[0]) for r in native)
    del native

    native_s, python_s = least_cpu([lambda: client._bucket_list_files("bench"),
                                    lambda: python_list_files(client, "bench")], args.rounds)
    per = 1e9 / args.entries
    print(f"Python {sys.version.split()[0]}; {args.entries} minio.datatypes.Object entries; "
          f"least CPU time of {args.rounds} rounds")
    print(f"{'candidate':34} {'ms':>9} {'ns/entry':>9} {'vs native':>10}")
    print(f"{'_bucket_list_files (native)':34} {native_s * 1e3:9.1f} {native_s * per:9.0f} {1:9.2f}x")
    print(f"{'Python loop':34} {python_s * 1e3:9.1f} {python_s * per:9.0f} {python_s / native_s:9.2f}x")
    speedup = python_s / native_s
    verdict = "meets" if speedup >= 5.0 else "BELOW"
    print(f"\nspeedup over the Python loop: {speedup:.2f}x ({verdict} the 5x target)")


if __name__ == "__main__":
    main()
