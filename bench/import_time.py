#!/usr/bin/env python3
"""Time that `import tavrin_minio.ostrel` adds once minio is imported.

Run with the interpreter the package is installed into:

    python bench/import_time.py [--runs N]

Every figure comes from fresh interpreters (one per run): the import of
minio first, then the timed import(s); the median of the runs is shown, in
milliseconds, next to the time of `import minio` itself for scale.
"""

import argparse
import statistics
import subprocess
import sys
import tempfile

PROBE = """
import sys, time
t0 = time.perf_counter()
import minio, minio.deleteobjects, minio.error
t1 = time.perf_counter()
split = sys.argv.index("--")
for name in sys.argv[1:split]:
    __import__(name)
t2 = time.perf_counter()
for name in sys.argv[split + 1:]:
    __import__(name)
t3 = time.perf_counter()
print(t1 - t0, t3 - t2)
"""

COMPANIONS = ["tavrin_log", "tavrin_var", "tavrin_ssh"]

# (label, imported before the timer, timed imports); all after minio. The
# rows below the first split ostrel's import into its parts.
ROWS = [
    ("tavrin_minio.ostrel (all of it)", [], ["tavrin_minio.ostrel"]),
    ("  tavrin_minio.mimora", [], ["tavrin_minio.mimora"]),
    ("  companions (log, var, ssh)", [], COMPANIONS),
    ("  ostrel itself, the others loaded", COMPANIONS + ["tavrin_minio.mimora"], ["tavrin_minio.ostrel"]),
]


def measure(preload, modules, runs):
    """Medians of the time of `import minio` and of the timed imports, in seconds."""
    minio_s, added_s = [], []
    with tempfile.TemporaryDirectory() as empty:  # the working directory is on sys.path
        for _ in range(runs):
            out = subprocess.run([sys.executable, "-c", PROBE, *preload, "--", *modules], check=True,
                                 capture_output=True, text=True, cwd=empty).stdout.split()
            minio_s.append(float(out[0]))
            added_s.append(float(out[1]))
    return statistics.median(minio_s), statistics.median(added_s)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=41)
    args = parser.parse_args()

    results = [(label, *measure(preload, modules, args.runs)) for label, preload, modules in ROWS]
    minio_ms = statistics.median(m for _, m, _ in results) * 1e3
    print(f"Python {sys.version.split()[0]}; median of {args.runs} fresh interpreters; "
          f"`import minio` itself: {minio_ms:.1f} ms")
    print(f"{'import after minio':40} {'ms':>7} {'vs minio':>9}")
    for label, _, added in results:
        print(f"{label:40} {added * 1e3:7.2f} {added * 1e3 / minio_ms:8.1%}")
    total = results[0][2] * 1e3
    verdict = "meets" if total <= 2.0 else "ABOVE"
    print(f"\ntavrin_minio.ostrel adds {total:.2f} ms ({verdict} the 2 ms target)")


if __name__ == "__main__":
    main()
