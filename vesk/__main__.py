"""``python -m vesk``: the ``vesk`` command line (see :mod:`vesk.cli`)."""

from vesk.cli import main

raise SystemExit(main())
