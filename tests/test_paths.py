"""UPath("tavrin://...") (tavrin_minio.paths): parsed as s3:// paths are, in a
fresh process too, and its file operations against moto."""

import json
import subprocess
import sys
import uuid

import pytest

pytest.importorskip("upath")

# Run first thing in a fresh process, under -W error: the lexical answers of a
# tavrin:// path and of its s3:// twin.
FRESH = r"""
import json, sys
from upath import UPath

def answers(protocol):
    p = UPath(f"{protocol}://media/tables/day.csv", **({"config": {}} if protocol == "tavrin" else {}))
    return {
        "class": type(p).__name__, "name": p.name, "stem": p.stem, "suffix": p.suffix, "anchor": p.anchor,
        "parts": list(p.parts), "parents": [str(q) for q in p.parents], "with_name": str(p.with_name("night.csv")),
        "with_suffix": str(p.with_suffix(".txt")), "joinpath": str(p.parent.joinpath("x", "y.bin")),
        "relative_to": str(p.relative_to(p.parent.parent)), "bucket_parent": str(p.parent.parent.parent),
        "match": [p.match("*.csv"), p.match("tables/*.csv"), p.match("other/*.csv")],
    }

tavrin = answers("tavrin")
print(json.dumps([tavrin, answers("s3")]))
"""


def test_fresh_process_parses_as_s3():
    run = subprocess.run([sys.executable, "-W", "error", "-c", FRESH], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    tavrin, s3 = json.loads(run.stdout)
    assert tavrin.pop("class") == "TavrinPath" and s3.pop("class") == "S3Path"
    assert tavrin == json.loads(json.dumps(s3).replace("s3://", "tavrin://"))
    assert (tavrin["name"], tavrin["anchor"], tavrin["parts"]) == ("day.csv", "media/", ["media/", "tables", "day.csv"])
    assert tavrin["with_name"] == "tavrin://media/tables/night.csv"
    assert tavrin["parents"] == ["tavrin://media/tables", "tavrin://media/"]


@pytest.fixture
def root(s3_config):
    from upath import UPath

    from tavrin_minio.fs import TavrinFileSystem

    bucket = f"p-{uuid.uuid4().hex[:12]}"
    TavrinFileSystem(config=s3_config, skip_instance_cache=True).mkdir(bucket)
    return UPath(f"tavrin://{bucket}", config=s3_config, skip_instance_cache=True)


def test_file_operations(root):
    from upath import UnsupportedOperation

    (root / "tables").mkdir()
    assert (root / "tables").is_dir() and list((root / "tables").iterdir()) == []
    with pytest.raises(FileExistsError):
        (root / "tables").mkdir()
    with pytest.raises(FileNotFoundError):
        (root / "no" / "such").mkdir()
    (root / "no" / "such").mkdir(parents=True)
    (root / "tables" / "day.csv").write_text("a,b\n")
    (root / "tables" / "deep" / "x.txt").touch()
    assert sorted(p.name for p in (root / "tables").iterdir()) == ["day.csv", "deep"]
    assert [p.name for p in root.glob("tables/*.csv")] == ["day.csv"]
    (root / "both").write_bytes(b"an object and a folder")
    (root / "both" / "inner").write_bytes(b"x")
    assert (root / "both").is_dir() and [p.name for p in (root / "both").iterdir()] == ["inner"]
    assert sorted(str(p.relative_to(root)) for p in root.rglob("*.txt")) == ["tables/deep/x.txt"]

    moved = (root / "tables" / "day.csv").rename(f"{root.drive}/tables/night.csv")
    assert moved == root / "tables" / "night.csv" and moved.read_text() == "a,b\n"
    assert not (root / "tables" / "day.csv").exists()
    with pytest.raises(UnsupportedOperation, match="cwd"):  # no working folder to be relative to
        moved.rename("night.csv")

    moved.unlink()
    with pytest.raises(FileNotFoundError):
        moved.unlink()
    (root / "tables" / "deep").rmdir(recursive=True)
    (root / "no" / "such").rmdir(recursive=False)
    assert sorted(p.name for p in root.iterdir()) == ["both", "no", "tables"]
    assert not (root / "tables" / "deep").exists() and not (root / "no" / "such").exists()
