"""The progress records of transfers, and the terminal bar of ``progress=True``."""

import importlib
from typing import Any, NamedTuple


class Progress(NamedTuple):
    """How far one call of ``_upload_dir``, ``_download_dir``, ``_upload_file``
    or ``_download_file`` has got; the counters never go down from one record
    to the next, and ``finished`` is true on the last record of the call."""

    operation: str  # "upload_dir", "download_dir", "upload_file" or "download_file"
    name: str  # the object the latest change was about ("" before the first)
    files_done: int  # objects finished, skipped ones included
    files_total: int
    bytes_done: int
    bytes_total: int
    skipped: int  # files left alone because their content matched (skip_unchanged)
    finished: bool


# What a person reads for each operation on the bar.
_LABELS = {"upload_dir": "upload", "download_dir": "download", "upload_file": "upload", "download_file": "download"}


class Bar:
    """What ``progress=True`` hands the records to: one tqdm bar on stderr for
    one call, made with its first record and closed with its last."""

    def __init__(self, operation: str, subject: object) -> None:
        self._description = f"{_LABELS.get(operation, operation)} {subject}"
        self._bar: Any = None

    def __call__(self, record: Progress) -> None:
        bar = self._bar
        if bar is None:
            tqdm = importlib.import_module("tqdm").tqdm
            bar = self._bar = tqdm(total=record.bytes_total, desc=self._description, unit="B", unit_scale=True,
                                   unit_divisor=1024, postfix=f"{record.files_done}/{record.files_total} files")
        elif bar.total != record.bytes_total:
            bar.total = record.bytes_total
        bar.set_postfix_str(f"{record.files_done}/{record.files_total} files", refresh=False)
        bar.update(record.bytes_done - bar.n)
        if record.finished:
            bar.close()


def write_line(text: str, file: Any) -> None:
    """`text` as one line on `file` through tqdm's writer, which clears the
    bars on the terminal first and draws them again after it."""
    importlib.import_module("tqdm").tqdm.write(text, file=file)
