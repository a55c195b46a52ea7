#!/usr/bin/env python3
"""Per-call cost of tavrin_minio.mimora.get_mimora next to pure-Python lookups.

Run with the interpreter the package is installed into:

    python bench/mimora.py [--repeat N] [--target SECONDS]

Every candidate is timed on the same corpus in this one process; the figure
shown is the best of several repetitions, in nanoseconds per call.
"""

import argparse
import mimetypes
import os
import random
import sys
import timeit

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
from mime_table import DEFAULT, TABLE  # noqa: E402

from tavrin_minio.mimora import get_mimora  # noqa: E402


def lookup_module_dict(name):
    return TABLE.get(name.split(".")[-1], DEFAULT)


def _make_rebuilding_lookup():
    # A dict display with all entries inside the function body, so the table
    # is built anew on every call, as a plain Python port would do.
    entries = ",\n        ".join(f"{k!r}: {v!r}" for k, v in TABLE.items())
    source = (
        "def lookup_rebuilt_dict(name):\n"
        f"    table = {{\n        {entries}\n    }}\n"
        f"    return table.get(name.split('.')[-1], {DEFAULT!r})\n"
    )
    namespace = {}
    exec(compile(source, "<lookup_rebuilt_dict>", "exec"), namespace)
    return namespace["lookup_rebuilt_dict"]


lookup_rebuilt_dict = _make_rebuilding_lookup()


def lookup_mimetypes(name):
    return mimetypes.guess_type(name)[0] or DEFAULT


def build_corpus(size=400, seed=20240607):
    """Object keys and file paths as an upload would see them."""
    rng = random.Random(seed)
    known = ["pdf", "jpg", "jpeg", "png", "gif", "html", "htm", "css", "js", "txt",
             "csv", "xml", "svg", "mp4", "mp3", "wav", "avi", "doc", "xls", "ppt",
             "tif", "ico", "rtf", "swf", "IVF", "bmp", "exe", "dll", "eml", "java"]
    unknown = ["zip", "gz", "json", "log", "md", "webp", "docx", "xlsx", "pptx",
               "parquet", "yaml", "tar", "7z", "PDF", "JPG", "bak", "tmp", ""]
    dirs = ["", "", "uploads/", "logs/2024.01/", "backup/db.old/", "data/raw/",
            "C:\\Users\\li\\Documents\\", "用户/文档/", "photos/2023/"]
    stems = ["report", "IMG_0001", "invoice-2024-05", "index", "styles.min",
             "readme", "年度报告", "résumé", "archive.tar", "v1.2.3", "photo", "data"]
    corpus = []
    for _ in range(size):
        roll = rng.random()
        suffix = rng.choice(known if roll < 0.6 else unknown)
        name = rng.choice(dirs) + rng.choice(stems)
        if roll > 0.95:
            corpus.append(name.replace(".", "_"))            # no suffix at all
        else:
            corpus.append(name + "." + suffix)
    return corpus


def time_candidates(funcs, corpus, repeat, target):
    """Best ns per call for each function.

    The repetitions are interleaved (one round times every candidate once)
    so that a change in machine load during the run hits all of them alike.
    """
    timers, numbers = [], []
    for func in funcs:
        timer = timeit.Timer("for n in corpus: f(n)", globals={"corpus": corpus, "f": func})
        number, elapsed = timer.autorange()
        timers.append(timer)
        numbers.append(max(1, int(number * target / max(elapsed, 1e-9))))
    best = [float("inf")] * len(funcs)
    for _ in range(repeat):
        for i, (timer, number) in enumerate(zip(timers, numbers)):
            best[i] = min(best[i], timer.timeit(number) / number)
    return [b / len(corpus) * 1e9 for b in best]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=9)
    parser.add_argument("--target", type=float, default=0.2,
                        help="seconds per timing of one candidate (default 0.2)")
    args = parser.parse_args()

    corpus = build_corpus()
    mimetypes.init()
    for name in corpus:
        expected = lookup_module_dict(name)
        assert get_mimora(name) == expected == lookup_rebuilt_dict(name), name
    hits = sum(lookup_module_dict(n) != DEFAULT for n in corpus)

    candidates = [
        ("get_mimora (native)", get_mimora),
        ("(a) Python, module-level dict", lookup_module_dict),
        ("(b) Python, dict built per call", lookup_rebuilt_dict),
        ("(c) mimetypes.guess_type", lookup_mimetypes),
    ]
    funcs = [func for _, func in candidates] + [lambda n: None]
    *timings, loop = time_candidates(funcs, corpus, args.repeat, args.target)
    results = [(label, ns) for (label, _), ns in zip(candidates, timings)]

    print(f"Python {sys.version.split()[0]}; corpus of {len(corpus)} names, "
          f"{hits} with a table suffix; best of {args.repeat}")
    print(f"{'candidate':34} {'ns/call':>10} {'vs native':>10}")
    native = results[0][1]
    for label, ns in results:
        print(f"{label:34} {ns:10.1f} {ns / native:9.2f}x")
    print(f"{'(empty Python call, for scale)':34} {loop:10.1f}")
    speedup = results[1][1] / native
    verdict = "meets" if speedup >= 3.0 else "BELOW"
    print(f"\nspeedup of get_mimora over (a): {speedup:.2f}x ({verdict} the 3x target)")


if __name__ == "__main__":
    main()
