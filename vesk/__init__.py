"""vesk: hybrid (keyword + semantic) search over an in-memory collection.

>>> import numpy as np
>>> import vesk
>>> col = vesk.Collection(dim=4)
>>> col.add(["a", "b"], ["red apples and pears", "green pears"],
...         embeddings=[[1, 0, 0, 0], [0, 1, 0, 0]],
...         metadata=[{"year": 2021}, {"year": 2019}])
(2, 0)
>>> [hit.id for hit in col.search("pears", where={"year": {"$gte": 2020}})]
['a']

:class:`Collection` is the whole API; :class:`Document` and :class:`Hit` are
the values it returns, and every exception it raises derives from
:class:`VeskError`. The exact, low-level index that ``vesk`` is built beside
is the ``vesk_core`` module.
"""

from __future__ import annotations

from importlib import metadata as _metadata

from .collection import Collection
from .errors import (
    DimensionMismatchError,
    DocumentNotFoundError,
    FilterError,
    InvalidInputError,
    InvalidTypeError,
    UnknownLanguageError,
    VeskError,
)
from .files import FileFormatError, load
from .types import Document, Hit


def _version() -> str:
    for dist in ("vesk", "vesk_core"):
        try:
            return _metadata.version(dist)
        except _metadata.PackageNotFoundError:
            continue
    return "0+unknown"


__version__ = _version()

__all__ = [
    "Collection",
    "Document",
    "Hit",
    "VeskError",
    "InvalidInputError",
    "InvalidTypeError",
    "DimensionMismatchError",
    "FilterError",
    "UnknownLanguageError",
    "DocumentNotFoundError",
    "FileFormatError",
    "load",
    "__version__",
]
