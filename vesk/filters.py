"""Metadata filters: the ``where=`` argument of searches.

A filter is a dict in the style of MongoDB queries:

* ``{"lang": "en"}``: ``lang`` equals ``"en"``
* ``{"year": {"$gte": 2020}}``: ``year`` is a number >= 2020
* ``{"year": {"$gte": 2020, "$lt": 2024}}``: both conditions (a range)
* ``{"lang": {"$in": ["en", "fr"]}}``: ``lang`` is one of the values
* ``{"lang": {"$nin": ["de"]}}``: ``lang`` is none of them, or is missing
* ``{"draft": {"$ne": True}}``: ``draft`` is not ``True``, or is missing
* ``{"$or": [{"lang": "en"}, {"top": True}]}``: at least one of the filters
* ``{"$and": [...]}``: all of the filters
* ``{"lang": "en", "year": 2024}``: several keys, all must hold

Operators: ``$eq``, ``$ne``, ``$gt``, ``$gte``, ``$lt``, ``$lte``, ``$in``,
``$nin``; combinators: ``$and``, ``$or`` (each takes a non-empty list of
filters). An empty dict matches every document.

How values compare:

* int and float compare numerically, exactly (``{"n": 2}`` matches the
  stored value ``2.0``); ``bool`` is not a number (``{"n": 1}`` does not
  match ``True``) and compares only with bools (``False < True``); str
  compares with str only, by code point (so ISO dates such as
  ``"2024-05-01"`` order correctly with ``$gte``/``$lt``).
* Values of kinds that do not compare (a str against a number, a bool
  against a number) are neither equal nor ordered: ``$eq``, ``$in`` and the
  ranges do not match them, ``$ne`` and ``$nin`` do.
* A document that lacks the key never matches ``$eq``, ``$in`` or a range,
  and always matches ``$ne`` and ``$nin``: "not equal to x" holds for a
  document that has no value at all. This mirrors MongoDB.

:func:`compile_filter` turns the dict into the normalized tree that the native
engine evaluates::

    >>> compile_filter({"year": {"$gte": 2020}, "lang": {"$in": ["en", "fr"]}})
    ('and', [('cmp', 'year', 'gte', 2020), ('cmp', 'lang', 'in', ['en', 'fr'])])
    >>> compile_filter({"lang": "en"})
    ('cmp', 'lang', 'eq', 'en')
"""

from __future__ import annotations

import json
import math
import numbers
from collections.abc import Mapping
from typing import Any, TypeAlias

import numpy as np

from .errors import FilterError

__all__ = ["compile_filter", "CompiledFilter", "OPERATORS"]

CompiledFilter: TypeAlias = tuple[Any, ...]

#: Field operators and the name the engine knows them by.
OPERATORS = {
    "$eq": "eq",
    "$ne": "ne",
    "$gt": "gt",
    "$gte": "gte",
    "$lt": "lt",
    "$lte": "lte",
    "$in": "in",
    "$nin": "nin",
}
_LISTS = {"$in", "$nin"}
_COMBINATORS = {"$and": "and", "$or": "or"}

_INT64_MIN = -(2**63)
_INT64_MAX = 2**63 - 1


def _known(names: Any) -> str:
    return ", ".join(sorted(names))


def plain_value(value: Any, where: str, error: type[Exception]) -> str | int | float | bool | None:
    """``value`` as a plain str, int (64-bit), finite float or bool, or None when
    it is of none of those types; out-of-range numbers raise ``error``."""
    if isinstance(value, (str, bool)):
        return value
    if isinstance(value, np.bool_):
        return bool(value)
    if isinstance(value, numbers.Integral):
        v = int(value)
        if not _INT64_MIN <= v <= _INT64_MAX:
            raise error(f"{where}: integer {v} is outside the 64-bit range")
        return v
    if isinstance(value, numbers.Real):
        f = float(value)
        if not math.isfinite(f):
            raise error(f"{where}: {f} is not a finite number")
        return f
    return None


def _scalar(value: Any, where: str) -> str | int | float | bool:
    """A filter operand as a plain Python str, int, float or bool."""
    if value is None:
        raise FilterError(f"{where}: None is not a metadata value (to match documents without a key use $ne or $nin)")
    plain = plain_value(value, where, FilterError)
    if plain is None:
        raise FilterError(f"{where}: expected a str, int, float or bool, got {type(value).__name__}")
    return plain


def _field(key: str, condition: Any) -> CompiledFilter:
    """The compiled form of ``{key: condition}``."""
    where = f"filter on {key!r}"
    if not isinstance(condition, Mapping):
        if isinstance(condition, (list, tuple, set, frozenset)):
            raise FilterError(f"{where}: a list is not a metadata value; use {{'$in': [...]}} to match any of several values")
        return ("cmp", key, "eq", _scalar(condition, where))
    if not condition:
        raise FilterError(f"{where}: empty operator dict")
    parts: list[CompiledFilter] = []
    for op, operand in condition.items():
        if not isinstance(op, str) or op not in OPERATORS:
            hint = " (operators start with '$')" if isinstance(op, str) and not op.startswith("$") else ""
            raise FilterError(f"{where}: unknown operator {op!r}{hint}; known operators: {_known(OPERATORS)}")
        at = f"{where}, {op}"
        if op in _LISTS:
            if isinstance(operand, (str, bytes)) or not isinstance(operand, (list, tuple, set, frozenset)):
                raise FilterError(f"{at}: expected a list of values, got {type(operand).__name__}")
            value: Any = [_scalar(v, at) for v in operand]
        else:
            value = _scalar(operand, at)
        parts.append(("cmp", key, OPERATORS[op], value))
    return parts[0] if len(parts) == 1 else ("and", parts)


def _filter(node: Any, where: str) -> CompiledFilter:
    if not isinstance(node, Mapping):
        raise FilterError(f"{where}: a filter must be a dict, got {type(node).__name__}")
    if not node:
        raise FilterError(f"{where}: empty filter inside $and/$or")
    parts: list[CompiledFilter] = []
    for key, condition in node.items():
        if not isinstance(key, str):
            raise FilterError(f"{where}: keys must be str, got {type(key).__name__}")
        if key.startswith("$"):
            if key not in _COMBINATORS:
                raise FilterError(
                    f"{where}: unknown operator {key!r} at the top of a filter; "
                    f"known there: {_known(_COMBINATORS)}; field operators go inside {{key: {{...}}}}"
                )
            if not isinstance(condition, (list, tuple)) or not condition:
                raise FilterError(f"{where}: {key} takes a non-empty list of filters")
            subs = [_filter(sub, f"{key}[{i}]") for i, sub in enumerate(condition)]
            parts.append(subs[0] if len(subs) == 1 else (_COMBINATORS[key], subs))
        else:
            parts.append(_field(key, condition))
    return parts[0] if len(parts) == 1 else ("and", parts)


def compile_filter(where: Mapping[str, Any] | None) -> CompiledFilter | None:
    """The normalized filter tree for ``where``, or ``None`` when it filters nothing.

    Raises :class:`vesk.FilterError` (a ``ValueError``) with a message that
    names the faulty part when ``where`` is malformed::

        >>> compile_filter({"year": {"$after": 2020}})
        Traceback (most recent call last):
        ...
        vesk.errors.FilterError: filter on 'year': unknown operator '$after'; known operators: $eq, $gt, $gte, $in, $lt, $lte, $ne, $nin
    """
    if where is None:
        return None
    if not isinstance(where, Mapping):
        raise FilterError(f"where must be a dict, got {type(where).__name__}")
    if not where:
        return None
    return _filter(where, "where")


def filter_from_json(text: str, name: str) -> dict[str, Any] | None:
    """The filter written as JSON text (the command line's and the page's form), ``None`` for blank text.

    Raises ``ValueError`` naming the parameter (``name``) when the text is not
    JSON or not a JSON object; :func:`compile_filter` checks the rest::

        >>> filter_from_json('{"year": {"$gte": 2020}}', "where")
        {'year': {'$gte': 2020}}
        >>> filter_from_json("[1]", "--where")
        Traceback (most recent call last):
        ...
        ValueError: --where must be a JSON object such as {"lang": "en"}, not list
    """
    if text.strip() == "":
        return None
    try:
        where = json.loads(text)
    except json.JSONDecodeError as exc:
        raise ValueError(f"{name} is not valid JSON: {exc.msg} (line {exc.lineno}, column {exc.colno})") from None
    if not isinstance(where, dict):
        raise ValueError(f'{name} must be a JSON object such as {{"lang": "en"}}, not {type(where).__name__}')
    return where
