"""Entry point: `python bench/comparison [options]`, or `python -m comparison` with
bench/ on the path. The memory rows re-run this file in child processes."""
import os
import sys

if __package__ in (None, ""):
    # Run as a directory: sys.path[0] is this package's folder; put its parent
    # (bench/) there instead so that the package and datagen import by name.
    sys.path[0] = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    from comparison.cli import main
else:
    from .cli import main

sys.exit(main())
