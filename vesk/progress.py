"""Progress bars for long work (embedding many texts, adding many documents).

``progress`` parameters across the package take ``None``, ``True`` or
``False``: ``None`` shows a bar only when standard error is a terminal and
the work is long enough to be worth one, ``True`` always shows one (on
standard error), ``False`` never does. Bars come from ``tqdm``; without it
installed, ``None`` shows nothing and ``True`` raises ImportError.
"""

from __future__ import annotations

import sys
from typing import Any

__all__ = ["bar", "wanted"]

#: Below this many texts (or documents) ``progress=None`` shows no bar.
AUTO_MINIMUM = 500


def wanted(progress: bool | None, size: int) -> bool:
    """Whether a piece of work of ``size`` items gets a bar under ``progress``."""
    if progress is not None and not isinstance(progress, bool):
        from .errors import InvalidTypeError

        raise InvalidTypeError(f"progress must be None, True or False, not {type(progress).__name__}")
    if progress is None:
        stream = sys.stderr
        return size >= AUTO_MINIMUM and stream is not None and hasattr(stream, "isatty") and stream.isatty()
    return progress


class _NoBar:
    """Stands in for a bar that is not shown."""

    def update(self, n: float = 1) -> None:
        pass

    def set_postfix_str(self, s: str = "", refresh: bool = True) -> None:
        pass

    def close(self) -> None:
        pass

    def __enter__(self) -> _NoBar:
        return self

    def __exit__(self, *exc: object) -> None:
        pass


def bar(progress: bool | None, size: int, **kwargs: Any) -> Any:
    """A tqdm bar (a context manager with ``update``) when one is wanted, else a no-op stand-in.

    ``size`` decides the ``None`` case; ``kwargs`` go to ``tqdm`` (``total``,
    ``desc``, ``unit``, ``bar_format``...).
    """
    if not wanted(progress, size):
        return _NoBar()
    try:
        from tqdm.auto import tqdm
    except ImportError:
        if progress:
            raise ImportError("progress bars need the tqdm package: python -m pip install tqdm") from None
        return _NoBar()
    kwargs.setdefault("file", sys.stderr)
    kwargs.setdefault("dynamic_ncols", True)
    kwargs.setdefault("leave", True)
    return tqdm(**kwargs)
