"""Value types returned by :class:`vesk.Collection`: :class:`Document` and :class:`Hit`.

Both are frozen dataclasses with slots: fields cannot be reassigned, two
values with equal fields compare equal, and they pickle::

    >>> import pickle
    >>> from vesk import Document
    >>> doc = Document("a1", "How to read a CSV file", {"lang": "en"})
    >>> doc
    Document(id='a1', text='How to read a CSV file', metadata={'lang': 'en'})
    >>> pickle.loads(pickle.dumps(doc)) == doc
    True

The ``metadata`` dict is a copy made for this value; changing it changes
neither the collection nor other values.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

__all__ = ["Document", "Hit", "MetadataValue"]

MetadataValue = str | int | float | bool

_TEXT_REPR_LIMIT = 80


def _short_text(text: str) -> str:
    """repr() of ``text``, cut to about 80 characters with an ellipsis."""
    if len(text) <= _TEXT_REPR_LIMIT:
        return repr(text)
    return repr(text[: _TEXT_REPR_LIMIT - 1] + "\u2026")


def _score_repr(score: float | None) -> str:
    """The shortest decimal that reads back as the same 32-bit float."""
    if score is None:
        return "None"
    return repr(float(np.format_float_positional(np.float32(score), unique=True, trim="-")))


def _metadata_hash(metadata: dict[str, MetadataValue]) -> int:
    return hash(frozenset(metadata.items()))


@dataclass(frozen=True, slots=True)
class Document:
    """A stored document: its id, its text and its metadata.

    ``metadata`` maps str keys to str, int, float or bool values; it is empty
    when the document has none.

    >>> Document("b7", "Parsing command line options")
    Document(id='b7', text='Parsing command line options', metadata={})
    """

    id: str
    text: str
    metadata: dict[str, MetadataValue] = field(default_factory=dict)

    def __hash__(self) -> int:
        return hash((self.id, self.text, _metadata_hash(self.metadata)))

    def __repr__(self) -> str:
        return f"Document(id={self.id!r}, text={_short_text(self.text)}, metadata={self.metadata!r})"


@dataclass(frozen=True, slots=True)
class Hit:
    """One search result.

    ``score`` is what the result was ranked by: the BM25 score for a
    keyword-only search, the inner product for a semantic-only search and the
    fused score for a hybrid one. ``keyword_rank``/``keyword_score`` and
    ``dense_rank``/``dense_score`` tell where the document stood in each
    side's candidate list (ranks count from 1); they are ``None`` for a side
    that did not run or did not list the document.

    Scores are 32-bit floats widened to Python floats; the repr shows the
    shortest decimal of the 32-bit value.

    >>> Hit("a1", 0.016393442, "How to read a CSV file", {}, 1, 2.5, 1, 0.75)
    Hit(id='a1', score=0.016393442, text='How to read a CSV file', metadata={}, keyword_rank=1, keyword_score=2.5, dense_rank=1, dense_score=0.75)
    """

    id: str
    score: float
    text: str
    metadata: dict[str, MetadataValue] = field(default_factory=dict)
    keyword_rank: int | None = None
    keyword_score: float | None = None
    dense_rank: int | None = None
    dense_score: float | None = None

    def __hash__(self) -> int:
        return hash(
            (
                self.id,
                self.score,
                self.text,
                _metadata_hash(self.metadata),
                self.keyword_rank,
                self.keyword_score,
                self.dense_rank,
                self.dense_score,
            )
        )

    def __repr__(self) -> str:
        return (
            f"Hit(id={self.id!r}, score={_score_repr(self.score)}, text={_short_text(self.text)}, "
            f"metadata={self.metadata!r}, keyword_rank={self.keyword_rank!r}, "
            f"keyword_score={_score_repr(self.keyword_score)}, dense_rank={self.dense_rank!r}, "
            f"dense_score={_score_repr(self.dense_score)})"
        )
