"""``python -m tavrin_minio``: the ``tavrin-minio`` command."""

from .cli import main

if __name__ == "__main__":
    raise SystemExit(main())
