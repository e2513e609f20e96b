"""The libraries vesk_core is measured against: bm25s, tantivy and plain NumPy."""
from __future__ import annotations

import numpy as np

import datagen

from . import K


class Bm25sPeer:
    """bm25s, method "lucene", k1 1.2, b 0.75, NLTK English stop words, Snowball stemmer.

    backend "numpy" is bm25s's default; "numba" is its compiled backend (needs the
    numba package), which is what a user after speed would pick.
    """

    def __init__(self, stopwords: list[str], backend: str = "numpy"):
        import bm25s
        import Stemmer
        from bm25s.tokenization import Tokenizer
        self.bm25s = bm25s
        self.backend = backend
        self.stemmer = Stemmer.Stemmer("english")
        self.stopwords = stopwords
        self.tokenizer = Tokenizer(stopwords=stopwords, stemmer=self.stemmer.stemWord)
        self.retriever = None
        self.ids: list[str] = []

    def new_tokenizer(self):
        from bm25s.tokenization import Tokenizer
        return Tokenizer(stopwords=self.stopwords, stemmer=self.stemmer.stemWord)

    def build(self, texts: list[str], ids: list[str]):
        self.tokenizer = self.new_tokenizer()
        toks = self.tokenizer.tokenize(texts, show_progress=False, return_as="ids")
        self.retriever = self.reindex(toks)
        self.ids = ids
        return toks

    def reindex(self, toks):
        r = self.bm25s.BM25(method="lucene", k1=1.2, b=0.75, backend=self.backend)
        r.index(toks, show_progress=False)
        return r

    def query(self, q: str):
        qt = self.tokenizer.tokenize([q], update_vocab=False, show_progress=False,
                                     return_as="ids")
        res, sc = self.retriever.retrieve(qt, k=K, show_progress=False,
                                          backend_selection=self.backend)
        ids = self.ids
        return [(ids[i], s) for i, s in zip(res[0].tolist(), sc[0].tolist())]


def numba_available() -> bool:
    try:
        import numba  # noqa: F401
        return True
    except Exception:   # noqa: BLE001
        return False


BM25S_NUMPY = "bm25s (NumPy backend, 1 thread)"
BM25S_NUMBA = "bm25s (numba backend, 1 thread)"
TANTIVY = "tantivy (RAM, 1 thread)"


def bm25s_peers(bm, bmn) -> list:
    """(row name, peer) of the bm25s backends that were built (bm or bmn may be None)."""
    out = []
    if bm is not None:
        out.append((BM25S_NUMPY, bm))
    if bmn is not None:
        out.append((BM25S_NUMBA, bmn))
    return out


def fastest_bm25s(peers: list) -> list:
    """The numba backend's entry when it is there, else the NumPy backend's."""
    numba = [p for p in peers if p[0] == BM25S_NUMBA]
    return numba or peers[:1]


class TantivyPeer:
    """tantivy in RAM, one writer thread, NLTK stop words and the English stemmer."""

    def __init__(self, stopwords: list[str]):
        import tantivy
        self.t = tantivy
        self.stopwords = stopwords
        self.index = None

    def _new_index(self):
        t = self.t
        sb = t.SchemaBuilder()
        sb.add_text_field("id", stored=True, tokenizer_name="raw")
        sb.add_text_field("body", stored=False, tokenizer_name="en_nltk", index_option="freq")
        schema = sb.build()
        index = t.Index(schema)
        an = (t.TextAnalyzerBuilder(t.Tokenizer.simple())
              .filter(t.Filter.lowercase())
              .filter(t.Filter.custom_stopword(self.stopwords))
              .filter(t.Filter.stemmer("english"))
              .build())
        index.register_tokenizer("en_nltk", an)
        return index

    def build(self, texts: list[str], ids: list[str]):
        t = self.t
        index = self._new_index()
        w = index.writer(heap_size=256_000_000, num_threads=1)
        for i, tx in zip(ids, texts):
            w.add_document(t.Document(id=i, body=tx))
        w.commit()
        w.wait_merging_threads()
        index.reload()
        self.index = index
        self.searcher = index.searcher()

    def writer(self):
        return self.index.writer(heap_size=64_000_000, num_threads=1)

    def query(self, q: str):
        try:
            query = self.index.parse_query(q, ["body"])
        except ValueError:
            # Every word of the query is a stop word: tantivy's parser refuses it.
            return []
        s = self.searcher
        hits = s.search(query, K).hits
        return [(s.doc(a)["id"][0], sc) for sc, a in hits]


_PEER_TEXTS: list = [None, None]      # (corpus, its searchable texts)


def peer_texts(c: datagen.Corpus) -> list[str]:
    """What the keyword peers index: each document's text followed by its metadata as
    'key value' pieces, the same searchable text that vesk_core indexes."""
    if _PEER_TEXTS[0] is not c:
        _PEER_TEXTS[:] = [c, [datagen.searchable_text(t, m) for t, m in zip(c.texts, c.metadata)]]
    return _PEER_TEXTS[1]


def forget_peer_texts() -> None:
    """Drops the cached texts of peer_texts() (at the end of a corpus size)."""
    _PEER_TEXTS[:] = [None, None]


def numpy_topk(E: np.ndarray, q: np.ndarray, k: int = K):
    s = E @ q
    top = np.argpartition(s, -k)[-k:]
    return top[np.argsort(-s[top], kind="stable")]
