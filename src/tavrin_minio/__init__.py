"""Client for S3-compatible object storage.

Modules:

- ``tavrin_minio.ostrel``: the client class ``TavrinOstrel``.
- ``tavrin_minio.mimora``: ``get_mimora(name)``, the MIME type of a file or
  object name by its last suffix.
"""

__version__ = "0.1.0"
