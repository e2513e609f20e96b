"""Exceptions raised by :mod:`vesk`.

Every exception that ``vesk`` raises on purpose derives from :class:`VeskError`,
so ``except vesk.VeskError`` catches them all. The classes for bad input also
derive from the matching built-in exception (:class:`ValueError`,
:class:`TypeError` or :class:`KeyError`), so code written against the usual
Python conventions keeps working::

    >>> import vesk
    >>> issubclass(vesk.InvalidInputError, ValueError)
    True
    >>> issubclass(vesk.InvalidTypeError, TypeError)
    True

A call that raises one of these changes nothing in the collection.
"""

from __future__ import annotations

__all__ = [
    "VeskError",
    "InvalidInputError",
    "InvalidTypeError",
    "DimensionMismatchError",
    "FilterError",
    "UnknownLanguageError",
    "DocumentNotFoundError",
]


class VeskError(Exception):
    """Base class of every exception raised by ``vesk``."""


class InvalidInputError(VeskError, ValueError):
    """An argument has the right type but a value that cannot be used.

    Examples: lists of different lengths, an ``alpha`` outside [0, 1], a NaN in
    an embedding.
    """


class InvalidTypeError(VeskError, TypeError):
    """An argument has the wrong type (for example an id that is not a ``str``)."""


class DimensionMismatchError(InvalidInputError):
    """An embedding or query vector does not have the collection's ``dim`` values."""


class FilterError(InvalidInputError):
    """A ``where`` filter is malformed (unknown operator, wrong operand, ...)."""


class UnknownLanguageError(InvalidInputError):
    """The ``language`` is not one the tokenizer knows; the message lists those it does."""


class DocumentNotFoundError(VeskError, KeyError):
    """The id names no document of the collection."""

    def __str__(self) -> str:  # KeyError would show the repr of the message
        return str(self.args[0]) if self.args else ""
