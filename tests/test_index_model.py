"""Random sequences of changes, saves and loads against a plain Python model.

The model is a list of documents in storage order; each keeps its id, text,
metadata and embedding (None while it is missing: loaded without one and not
upserted since). After every step the index must hold exactly the model, a
semantic and a keyword query must rank like an index built from scratch over
the same documents, and no query may raise an internal failure.
"""

import struct

from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

import vesk_core

IDS = st.sampled_from(["a", "b", "c", "d", "e"])
WORDS = st.sampled_from(["red", "apple", "blue", "sky", "fox", "the", "quick"])
TEXTS = st.lists(WORDS, max_size=4).map(" ".join)
VALUES = st.sampled_from([0.0, 1.0, -1.0, 0.5, 2.0, -0.25])
EMBEDDINGS = st.lists(VALUES, min_size=3, max_size=3)
DOCS = st.lists(st.tuples(IDS, TEXTS, EMBEDDINGS), max_size=4)
QUERY = [1.0, -0.5, 0.25]


def bits(x):
    return struct.pack("<f", x)


def answer(result):
    return [(d.id, bits(d.score)) for d in result.docs]


def rebuilt(docs):
    """An index built from scratch over (id, text, metadata, embedding) rows."""
    fresh = vesk_core.Index("fresh", "vesk-minilm")
    if docs:
        fresh.add_documents(
            [vesk_core.DocumentInfo(i, t, m) for i, t, m, _ in docs],
            [e for *_, e in docs],
        )
    return fresh


class IndexModel(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.index = vesk_core.Index("model", "vesk-minilm")
        self.docs = []  # [id, text, metadata, embedding or None]

    def find(self, doc_id):
        return next((d for d in self.docs if d[0] == doc_id), None)

    @rule(batch=DOCS, upsert=st.booleans())
    def add(self, batch, upsert):
        added = updated = 0
        for doc_id, text, emb in batch:
            found = self.find(doc_id)
            if found is None:
                self.docs.append([doc_id, text, None, emb])
                added += 1
            elif upsert:
                found[1:] = [text, None, emb]
                updated += 1
        got = self.index.add_documents(
            [vesk_core.DocumentInfo(i, t) for i, t, _ in batch],
            [e for *_, e in batch],
            vesk_core.AddDocumentsOptions(upsert),
        )
        assert got == (added, updated)

    @rule(ids=st.lists(IDS, max_size=3))
    def delete(self, ids):
        before = len(self.docs)
        self.docs = [d for d in self.docs if d[0] not in ids]
        assert self.index.delete_documents(ids) == before - len(self.docs)

    @rule()
    def clear(self):
        self.index.clear()
        self.docs = []

    @rule()
    def save_and_load(self):
        blob = vesk_core.serializeToBinary(self.index.serialize())
        loaded = vesk_core.Index("other", "vesk-minilm")
        loaded.deserialize(vesk_core.deserializeFromBinary(blob))
        self.index = loaded
        for d in self.docs:
            d[1:3] = ["", {}]

    @rule()
    def load_ids_only(self):
        """A partial restore: the ids come back, the embeddings do not."""
        saved = self.index.serialize()
        saved.embeddings = []
        self.index.deserialize(saved)
        for d in self.docs:
            d[1:] = ["", {}, None]

    @invariant()
    def holds_the_model(self):
        got = self.index.get_documents()
        assert [(d.id, d.text, d.metadata) for d in got] == [tuple(d[:3]) for d in self.docs]
        saved = self.index.serialize().embeddings
        if all(d[3] is None for d in self.docs):
            assert saved == []
        else:
            want = [d[3] if d[3] is not None else [] for d in self.docs]
            assert [[bits(x) for x in e] for e in saved] == [[bits(x) for x in e] for e in want]

    @invariant()
    def answers_like_a_rebuilt_index(self):
        with_embedding = [d for d in self.docs if d[3] is not None]
        semantic = self.index.query("", 10, QUERY, 1.0)
        assert answer(semantic) == answer(rebuilt(with_embedding).query("", 10, QUERY, 1.0))
        padded = [d[:3] + [d[3] or [0.0, 0.0, 0.0]] for d in self.docs]
        for text in ["red apple", "the quick fox", "sky"]:
            keyword = self.index.query(text, 10, [], 0.0)
            assert answer(keyword) == answer(rebuilt(padded).query(text, 10, [], 0.0))
        self.index.query("blue fox", 3, QUERY, 0.5)  # fused: must not raise


TestIndexModel = IndexModel.TestCase
TestIndexModel.settings = settings(max_examples=150, stateful_step_count=25, deadline=None)
