"""The documentation under docs/: its runnable examples run against the S3
server, and each command's page names every option of its --help.

A code block runs when the line before its fence is ``<!-- runnable -->``.
Examples take the connection from the default profile of the configuration
file, which the ``profile`` fixture writes for the server and names by
TAVRIN_MINIO_CONFIG, and run in a folder of their own. Python blocks run in a
fresh namespace; shell blocks run under bash, with ``tavrin-minio`` the
command of this interpreter's installation.
"""

import argparse
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

DOCS = Path(__file__).resolve().parent.parent / "docs"
MARK = "<!-- runnable -->"
RUNNABLE = re.compile(r"^<!-- runnable -->\n```(python|sh)\n(.*?)^```$", re.M | re.S)
# Libraries of the file system's recipes that an installation may lack.
OPTIONAL = {"dask", "duckdb", "polars", "xarray", "scipy"}


def pages():
    return sorted(DOCS.rglob("*.md")) if DOCS.is_dir() else []


def examples():
    found = []
    for page in pages():
        text = page.read_text(encoding="utf-8")
        for match in RUNNABLE.finditer(text):
            line = text.count("\n", 0, match.start()) + 3  # the block's first line
            found.append(pytest.param(match.group(1), match.group(2),
                                      id=f"{page.relative_to(DOCS).as_posix()}:{line}"))
    return found


def test_every_mark_opens_a_runnable_block():
    """A marker before anything but a python or sh block would leave that block untested."""
    assert pages(), f"no documentation under {DOCS}"
    for page in pages():
        text = page.read_text(encoding="utf-8")
        assert len(re.findall(rf"^{MARK}$", text, re.M)) == len(RUNNABLE.findall(text)), page.name


@pytest.fixture
def profile(s3_config, tmp_path, monkeypatch):
    """The default profile for the S3 server; the working folder is empty."""
    path = tmp_path / "config.toml"
    path.write_text("[default]\n" + "".join(f"{key} = {value!r}\n" for key, value in s3_config.items()),
                    encoding="utf-8")
    path.chmod(0o600)
    monkeypatch.setenv("TAVRIN_MINIO_CONFIG", str(path))
    monkeypatch.delenv("TAVRIN_MINIO_PROFILE", raising=False)
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    from tavrin_minio.fs import TavrinFileSystem

    TavrinFileSystem.clear_instance_cache()  # a cached instance would hold another test's client
    yield work
    TavrinFileSystem.clear_instance_cache()


@pytest.mark.parametrize("language, code", examples())
def test_example_runs(profile, language, code, request):
    name = request.node.callspec.id
    if language == "python":
        try:
            exec(compile(code, name, "exec"), {"__name__": "__docs__"})
        except ModuleNotFoundError as error:
            if (error.name or "").partition(".")[0] not in OPTIONAL:
                raise
            pytest.skip(f"{error.name} is not installed")
        return
    shell = f'tavrin-minio() {{ "{sys.executable}" -m tavrin_minio "$@"; }}\n{code}'
    done = subprocess.run(["bash", "-euo", "pipefail", "-c", shell], capture_output=True, text=True,
                          env=os.environ, timeout=50)
    assert done.returncode == 0, f"{name} exited {done.returncode}:\n{done.stdout}\n{done.stderr}"


def commands():
    from tavrin_minio.cli import build_parser

    parser = build_parser()
    sub = next(action for action in parser._actions if isinstance(action, argparse._SubParsersAction))
    return sub.choices


def test_every_command_has_a_page():
    documented = {page.stem for page in (DOCS / "cli").glob("*.md")} - {"index"}
    assert documented == set(commands())
    index = (DOCS / "cli" / "index.md").read_text(encoding="utf-8")
    assert all(f"]({name}.md)" in index for name in commands())


@pytest.mark.parametrize("name", sorted(commands()))
def test_command_page_names_every_option(name):
    """Every option that `tavrin-minio NAME --help` shows is on the command's page."""
    text = (DOCS / "cli" / f"{name}.md").read_text(encoding="utf-8")
    shown = set(re.findall(r"(?<![\w-])(--?[A-Za-z][\w-]*)", commands()[name].format_help()))
    assert shown >= {"--help", "--config", "--profile"}  # the options were found at all
    missing = sorted(option for option in shown if not re.search(rf"(?<![\w-]){option}(?![\w-])", text))
    assert not missing, f"docs/cli/{name}.md lacks {missing}"


def test_readme_links_reach_pages():
    """The README's links into docs/ name pages and headings that exist."""
    readme = DOCS.parent / "README.md"
    if not readme.is_file():
        pytest.skip("no README.md beside docs/")
    links = re.findall(r"\]\((docs/[^)#]+)(?:#([^)]+))?\)", readme.read_text(encoding="utf-8"))
    assert links
    for path, anchor in links:
        page = DOCS.parent / path
        assert page.is_file(), path
        if anchor:
            headings = re.findall(r"^#+ (.+)$", page.read_text(encoding="utf-8"), re.M)
            slugs = {re.sub(r"[^\w\- ]", "", heading).strip().lower().replace(" ", "-") for heading in headings}
            assert anchor in slugs, f"{path}#{anchor}"
