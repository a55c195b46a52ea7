"""``python -m tavrin_minio``: the ``tavrin-minio`` command."""

from .cli import main

raise SystemExit(main())
