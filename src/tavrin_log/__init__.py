"""Warnings of the tavrin_minio client, routed through the standard ``logging`` module.

Everything goes to the logger named ``"tavrin_minio"``.  As a library this
package attaches only a ``NullHandler`` to it, so nothing is printed unless the
application configures logging (``logging.basicConfig()``, its own handlers, ...).

``TavrinLog(file=True)`` additionally writes to ``tavrin_minio.log`` in the
current working directory (resolved when the object is built); ``file`` may
also be a path of its own.  The file is opened in append mode, UTF-8, on the
first record.  Several ``TavrinLog`` objects for the same file share one
handler on the logger.
"""

import logging
import os
import threading

__all__ = ["TavrinLog", "LOGGER_NAME", "DEFAULT_LOG_FILE"]

LOGGER_NAME = "tavrin_minio"
DEFAULT_LOG_FILE = "tavrin_minio.log"
_FORMAT = "%(asctime)s %(levelname)s %(name)s: %(message)s"

_logger = logging.getLogger(LOGGER_NAME)
_logger.addHandler(logging.NullHandler())
_handlers_lock = threading.Lock()


class TavrinLog:
    """Logs warnings on the ``"tavrin_minio"`` logger, and to a file when asked.

    ``file`` is False (no file), True (``tavrin_minio.log`` in the current
    working directory) or a path.  Items that are not text, such as the error
    records of a bulk removal, are logged by their ``str()``.
    """

    def __init__(self, file: bool | str | os.PathLike[str] | None = False) -> None:
        self.logger = _logger
        self.path: str | None = None
        if file is False or file is None:
            return
        path = os.path.abspath(DEFAULT_LOG_FILE if file is True else os.fspath(file))
        with _handlers_lock:
            if not any(isinstance(h, logging.FileHandler) and h.baseFilename == path
                       for h in _logger.handlers):
                handler = logging.FileHandler(path, encoding="utf-8", delay=True)
                handler.setFormatter(logging.Formatter(_FORMAT))
                _logger.addHandler(handler)
        self.path = path

    def warning(self, item: object) -> None:
        """Log ``item`` (by its ``str()``) at WARNING level."""
        self.logger.warning("%s", item)
